// The cable engine for 256 cables on the virtual clock: the CPU time spent per second of cable
// audio. One iteration is one second of audio, so the CPU column reads as CPU time per second of
// audio; with --benchmark_repetitions the "min" row is the figure least disturbed by other work.
#include <benchmark/benchmark.h>

#include "engine/audio_format.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "host/harness.h"
#include "host/wave_client.h"
#include "support/recording_port.h"

#include <malloc.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr ULONGLONG Second = 10000000;  // 100-ns units

// The processing cycle alone (timers, DPCs, the clock arithmetic and the chunk loop): no stream
// is open, so no data moves: the floor every cable pays. The argument is the timer period.
void BM_ProcessingCycle256Cables(benchmark::State& state)
{
    host::ResetPlatform();
    RecordingPort port;
    Adapter* adapter = Adapter::Create();
    WAVEFORMATEXTENSIBLE format;
    BuildExtensibleFormat(&format, 48000, 16, 2, 0, UseDefaultChannelMask);
    for (ULONG index = 0; index < 256; ++index) {
        Cable* cable = Cable::Create(index, adapter);
        WaveMiniport* miniport = WaveMiniport::Create(cable);
        miniport->Port = &port;
        miniport->MsPerInterrupt = static_cast<ULONG>(state.range(0));
        cable->AttachWaveMiniport(miniport);
        adapter->AddCable(cable);
        miniport->LockStateIdle();
        miniport->AcquireEngine(&format);
        miniport->UnlockStateIdle();
        miniport->StartTimer();
    }
    for (auto _ : state) {
        host::AdvanceTime(Second);
    }
    state.SetLabel("one iteration = 1 s of audio on every cable");
    for (ULONG index = 0; index < 256; ++index) {
        WaveMiniport* miniport = adapter->FindCable(index)->Wave;
        miniport->StopTimer();
        miniport->LockStateIdle();
        miniport->ReleaseEngine();
        miniport->UnlockStateIdle();
    }
    adapter->DestroyAllCables();
    adapter->Release();
}
BENCHMARK(BM_ProcessingCycle256Cables)->Arg(1)->Arg(5)->Arg(10)->Unit(benchmark::kMillisecond);

// 256 cables, each with a 44100 Hz and a 48000 Hz render client and two 48000 Hz capture clients,
// 16-bit stereo, 5-ms period: the whole engine with conversion, mixing and the port's buffer
// traffic. One iteration is one second of cable time on every cable. Goal: at most 50 ms of CPU
// per second of audio.
//
// Arguments: the number of cables; which render client starts first (0: the 48000 Hz one, so
// only the 44100 Hz client is resampled; 1: the 44100 Hz one, so that it fixes the cable format
// and three of the four streams are resampled); the client buffer length in milliseconds. With
// 10-ms buffers the clients behave as audio applications do, keeping a few short buffers in
// flight in memory allocated once and cycled through, so the data stays in the caches; with
// 1000-ms buffers every second of audio on every client is memory last touched two seconds
// before, 190 MB a second over 256 cables, and the figure shows what that memory traffic adds.
// Only the cable time is timed: queueing and reaping the clients' buffers is the applications'
// work, not the driver's.
void BM_Streaming256Cables(benchmark::State& state)
{
    host::ResetPlatform();
    // Keep freed client buffers on the heap and mapped, so that no page faults on client memory
    // land in the timed part.
    mallopt(M_MMAP_THRESHOLD, 16 << 20);  // 32 MiB is the most glibc takes
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    const ULONG Cables = static_cast<ULONG>(state.range(0));
    const ULONG BufferMs = static_cast<ULONG>(state.range(2));
    // Short buffers: three in flight, 30 ms ahead of the clock, as a shared-mode audio engine
    // keeps its 10-ms periods queued; the clients are topped up every buffer length, so none
    // runs dry. Long buffers: the one being played and the next.
    const size_t BuffersInFlight = (BufferMs >= 1000) ? 2 : 30 / BufferMs;
    Adapter* adapter = Adapter::Create();
    std::vector<host::PortWavePci*> ports;
    std::vector<std::unique_ptr<host::WaveClient>> clients;
    struct ClientPlan {
        bool capture;
        ULONG rate;
    };
    const ClientPlan majorityFirst[] = {{false, 48000}, {false, 44100}, {true, 48000}, {true, 48000}};
    const ClientPlan minorityFirst[] = {{false, 44100}, {false, 48000}, {true, 48000}, {true, 48000}};
    const ClientPlan* plans = state.range(1) == 0 ? majorityFirst : minorityFirst;
    for (ULONG index = 0; index < Cables; ++index) {
        Cable* cable = Cable::Create(index, adapter);
        WaveMiniport* miniport = WaveMiniport::Create(cable);
        cable->AttachWaveMiniport(miniport);
        adapter->AddCable(cable);
        host::PortWavePci* port = host::PortWavePci::Create();
        port->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(miniport), nullptr, nullptr);
        ports.push_back(port);
        for (int slot = 0; slot < 4; ++slot) {
            const ClientPlan& plan = plans[slot];
            host::WaveClientOptions options;
            options.pinId = plan.capture ? WaveCapturePin : WaveRenderPin;
            options.capture = plan.capture;
            options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(plan.rate, 16, 2));
            std::unique_ptr<host::WaveClient> client;
            host::WaveClient::Open(port, options, &client);
            client->UseBufferSlots(BuffersInFlight, plan.rate * BufferMs / 1000 * 4);
            clients.push_back(std::move(client));
        }
    }
    // A buffer's worth of a steady non-silent pattern for each render rate.
    std::vector<uint8_t> buffer48k(48 * BufferMs * 4, 0x21);
    std::vector<uint8_t> buffer44k(44100 * BufferMs / 1000 * 4, 0x12);
    auto topUp = [&] {
        for (size_t i = 0; i < clients.size(); ++i) {
            host::WaveClient& client = *clients[i];
            client.ReapDiscarding();
            const ClientPlan& plan = plans[i % 4];
            while (client.InFlight() < BuffersInFlight) {
                if (plan.capture) {
                    client.Read(plan.rate * BufferMs / 1000 * 4);
                } else {
                    std::vector<uint8_t>& data = plan.rate == 44100 ? buffer44k : buffer48k;
                    client.Write(data.data(), static_cast<ULONG>(data.size()));
                }
            }
        }
    };
    const ULONGLONG step = BufferMs * 10000ULL;  // 100-ns units
    auto runSecond = [&](bool timed) {
        for (ULONGLONG elapsed = 0; elapsed < Second; elapsed += step) {
            if (timed) {
                state.PauseTiming();
            }
            topUp();
            if (timed) {
                state.ResumeTiming();
            }
            host::AdvanceTime(step);
        }
    };
    topUp();
    for (auto& client : clients) {
        client->SetState(KSSTATE_RUN);
    }
    // One untimed second first: from then on the clients' buffers come from memory already
    // mapped.
    runSecond(false);
    for (auto _ : state) {
        runSecond(true);
    }
    LONG underflows = 0, overflows = 0;
    for (ULONG index = 0; index < Cables; ++index) {
        underflows += adapter->FindCable(index)->RenderUnderflows;
        overflows += adapter->FindCable(index)->CaptureOverflows;
    }
    state.counters["underflows"] = underflows;
    state.counters["overflows"] = overflows;
    state.SetLabel("one iteration = 1 s of audio on every cable");
    clients.clear();
    for (host::PortWavePci* port : ports) {
        port->ReleaseChildren();
        port->Release();
    }
    host::RunQueuedDpcs();
    adapter->DestroyAllCables();
    adapter->Release();
}
BENCHMARK(BM_Streaming256Cables)
    ->ArgNames({"cables", "first44k", "bufferms"})
    ->Args({256, 0, 10})
    ->Args({256, 1, 10})
    ->Args({256, 0, 1000})
    ->Args({256, 1, 1000})
    ->Args({16, 0, 10})
    ->Args({16, 1, 10})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    // With --benchmark_repetitions, the fastest repetition: other work on a shared machine only
    // ever adds time.
    ->ComputeStatistics("min", [](const std::vector<double>& values) {
        return *std::min_element(values.begin(), values.end());
    });

}  // namespace

BENCHMARK_MAIN();
