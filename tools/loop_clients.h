// The applications of tarnhost loop: a player that keeps a render client supplied from a sample
// source, and a recorder that keeps a capture client supplied with empty buffers and writes what
// comes back to a WAV file. Both keep QueueAheadMs of audio submitted, in buffers of BufferMs,
// so the stream never waits for them between two steps of the clock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/platform.h"
#include "host/wave_client.h"

#include "sample_source.h"
#include "wav_file.h"

namespace tarnhost {

// 40 ms buffers: the engine refills its mappings only when fewer than four are pending, so each
// buffer must hold well over one pass of the clock. 200 ms queued: many clock steps of margin.
constexpr unsigned BufferMs = 40;
constexpr unsigned QueueAheadMs = 200;

class Player {
public:
    explicit Player(std::unique_ptr<SampleSource> source);

    const SampleSource& Source() const { return *source_; }
    // The stream's format: the source's own.
    WAVEFORMATEXTENSIBLE Format() const { return format_; }
    void Attach(host::WaveClient* client) { client_ = client; }
    host::WaveClient* Client() const { return client_; }

    // Reaps completed buffers and tops up the queue. After the source's last frame comes a
    // queue's worth of silence, so the stream does not run dry before Finish stops it.
    void Pump();
    // Once the stream's position shows every frame of the source played, pauses the stream: a
    // player that has finished stops feeding its stream, it does not let it starve.
    void Finish();

private:
    void Submit(const std::vector<unsigned char>& bytes);

    std::unique_ptr<SampleSource> source_;
    WAVEFORMATEXTENSIBLE format_;
    host::WaveClient* client_ = nullptr;
    uint64_t inFlightBytes_ = 0;
    uint64_t silenceBytes_ = 0;  // submitted after the source's last frame
    bool paused_ = false;
};

class Recorder {
public:
    // Starts the WAV file (under a temporary name until Commit).
    Recorder(const std::string& path, const PcmLayout& layout);

    const std::string& Path() const { return path_; }
    const PcmLayout& Layout() const { return layout_; }
    WAVEFORMATEXTENSIBLE Format() const { return format_; }
    void Attach(host::WaveClient* client) { client_ = client; }
    // The length of the recording: what the stream captures beyond it is dropped.
    void SetTargetFrames(uint64_t frames) { targetBytes_ = frames * layout_.FrameBytes(); }

    // Reaps filled buffers into the file and keeps empty ones queued.
    void Pump();
    bool Complete() const { return writtenBytes_ == targetBytes_; }
    uint64_t WrittenFrames() const { return writtenBytes_ / layout_.FrameBytes(); }
    // Gives the finished file its name.
    void Commit() { writer_.Commit(); }

private:
    std::string path_;
    PcmLayout layout_;
    WAVEFORMATEXTENSIBLE format_;
    WavWriter writer_;
    host::WaveClient* client_ = nullptr;
    uint64_t inFlightBytes_ = 0;
    uint64_t targetBytes_ = 0;
    uint64_t writtenBytes_ = 0;
};

}  // namespace tarnhost
