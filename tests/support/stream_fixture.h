// A cable with a real (stand-in) WavePci port bound to its wave miniport, and clients that open
// streams on it as applications do: the whole engine from client buffers to client buffers.
#pragma once

#include <memory>
#include <random>

#include "host/wave_client.h"
#include "support/platform_fixture.h"

class Adapter;
class Cable;
class WaveMiniport;

constexpr ULONGLONG Millisecond = 10000;  // interrupt-time units
constexpr ULONGLONG Second = 1000 * Millisecond;

class StreamTest : public PlatformTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens a render or capture client of the cable in `format` (a WAVEFORMATEX or extensible format
    // block as WaveDataFormat makes it). Fails the test when the open fails.
    host::WaveClient* Open(bool capture, const std::vector<uint8_t>& dataFormat);
    NTSTATUS TryOpen(bool capture, const std::vector<uint8_t>& dataFormat, host::WaveClient** client);
    // Steps a client to KSSTATE_RUN.
    void Run(host::WaveClient* client);
    void Close(host::WaveClient* client);
    // The client's play offset (its write offset for capture), checking the request succeeds.
    static ULONGLONG PlayOffset(host::WaveClient* client);

    Adapter* adapter = nullptr;
    Cable* cable = nullptr;
    WaveMiniport* miniport = nullptr;
    host::PortWavePci* port = nullptr;
    std::vector<std::unique_ptr<host::WaveClient>> clients;
};

// Keeps a render client supplied from a byte source and a capture client supplied with empty
// buffers of random sizes, as a busy application would, and collects what it plays and records.
class ClientFeeder {
public:
    ClientFeeder(host::WaveClient* client, bool capture, uint64_t seed, ULONG minBytes, ULONG maxBytes)
        : client_(client), capture_(capture), random_(seed), sizes_(minBytes, maxBytes)
    {
    }
    // Render: the bytes to play, in order; the feeder submits them in random pieces.
    void SetSource(std::vector<uint8_t> source) { source_ = std::move(source); }
    // Reaps completed buffers and keeps at least `queuedTarget` bytes in flight (render: until the
    // source is exhausted).
    void Pump(ULONG queuedTarget);
    const std::vector<uint8_t>& Recorded() const { return recorded_; }
    size_t Played() const { return played_; }
    size_t Submitted() const { return submitted_; }

private:
    host::WaveClient* client_;
    bool capture_;
    std::mt19937_64 random_;
    std::uniform_int_distribution<ULONG> sizes_;
    std::vector<uint8_t> source_;
    size_t submitted_ = 0;
    size_t played_ = 0;
    size_t inFlight_ = 0;
    std::vector<uint8_t> recorded_;
};

// Bytes from a seeded generator: the same seed gives the same bytes.
std::vector<uint8_t> RandomStreamBytes(size_t count, uint64_t seed);
