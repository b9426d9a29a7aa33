// Where a played stream's sample bytes come from: a PCM WAV file, or a test tone made here.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "wav_file.h"

namespace tarnhost {

class SampleSource {
public:
    // Frames() of a source that never ends.
    static constexpr uint64_t Endless = std::numeric_limits<uint64_t>::max();

    virtual ~SampleSource() = default;
    // What the user knows the source by, for messages.
    virtual const std::string& Name() const = 0;
    virtual const PcmLayout& Layout() const = 0;
    // All the frames the source holds, or Endless.
    virtual uint64_t Frames() const = 0;
    // The next frames, up to `frames` of them; none once the source is used up.
    virtual std::vector<unsigned char> Read(size_t frames) = 0;
};

// A PCM WAV file as the convert command accepts it, at any sample rate: the cable it is played
// into decides whether it takes the rate.
std::unique_ptr<SampleSource> OpenWavSource(const std::string& path);

constexpr unsigned ToneRate = 48000;

// A 1 kHz sine at -6 dBFS, 48000 Hz 16-bit stereo, the same on both channels, for `frames` frames
// (Endless for as long as it is read).
std::unique_ptr<SampleSource> MakeToneSource(uint64_t frames);

}  // namespace tarnhost
