// The cable engine for 256 cables on the virtual clock: the CPU time spent per second of cable
// audio. One iteration is one second of audio, so the CPU column reads as CPU time per second of
// audio; with --benchmark_repetitions the "min" row is the figure least disturbed by other work.
#include <benchmark/benchmark.h>

#include "engine/audio_format.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "host/harness.h"
#include "src_linear_reference.h"
#include "streaming_scenario.h"
#include "support/recording_port.h"

#include <algorithm>
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

// 256 cables of the streaming scenario (streaming_scenario.h): each with a 44100 Hz and a
// 48000 Hz render client and two 48000 Hz capture clients, 16-bit stereo, 5-ms period: the whole
// engine with conversion, mixing and the port's buffer traffic. One iteration is one second of
// cable time on every cable. Goals: at most 40 ms of CPU per second of audio with the cable at
// 48000 Hz, 50 ms at 44100 Hz. Beside it, from the same run: the time libsamplerate's SRC_LINEAR
// takes for the scenario's resampling alone (src_linear_ms) and the engine's time as a share of
// it (vs_src_linear).
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
    const ULONG cables = static_cast<ULONG>(state.range(0));
    const bool firstRender44k = state.range(1) != 0;
    StreamingScenario scenario(cables, firstRender44k, static_cast<ULONG>(state.range(2)));
    double engineSeconds = 0;  // the cable time alone, as the benchmark's own timer counts it
    auto runSecond = [&](bool timed) {
        for (ULONGLONG elapsed = 0; elapsed < Second; elapsed += scenario.Step()) {
            if (timed) {
                state.PauseTiming();
            }
            scenario.TopUp();
            if (timed) {
                state.ResumeTiming();
            }
            const double start = ThreadCpuSeconds();
            host::AdvanceTime(scenario.Step());
            engineSeconds += timed ? ThreadCpuSeconds() - start : 0;
        }
    };
    // One untimed second first: from then on the clients' buffers come from memory already
    // mapped.
    runSecond(false);
    for (auto _ : state) {
        runSecond(true);
    }
    const double engineMs = 1e3 * engineSeconds / static_cast<double>(state.iterations());
    const double srcLinearMs = 1e3 * SrcLinearSeconds(ScenarioResampling(firstRender44k), cables);
    state.counters["underflows"] = scenario.Underflows();
    state.counters["overflows"] = scenario.Overflows();
    state.counters["src_linear_ms"] = srcLinearMs;
    state.counters["vs_src_linear"] = engineMs / srcLinearMs;
    state.SetLabel("one iteration = 1 s of audio on every cable");
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
