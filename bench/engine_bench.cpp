// The cable engine's processing cycle for 256 cables on the virtual clock: the CPU time spent per
// second of cable audio (timers, DPCs, the clock arithmetic and the chunk loop): one iteration is
// one second of audio, so the CPU column reads as CPU time per second of audio. No stream is
// open, so no data moves: this is the floor every cable pays. The argument is the timer period.
#include <benchmark/benchmark.h>

#include "engine/audio_format.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "host/harness.h"
#include "host/wave_client.h"
#include "support/recording_port.h"

#include <malloc.h>

#include <memory>
#include <vector>

namespace {

constexpr ULONGLONG Second = 10000000;  // 100-ns units

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
// traffic. Each iteration queues one second of buffers on every client, runs one second of
// cable time and reaps. Goal: at most 50 ms of CPU per second of audio. The argument is the
// number of cables; the second run puts the 44100 Hz client first, so that it fixes the cable
// format and three of the four streams are resampled.
void BM_Streaming256Cables(benchmark::State& state)
{
    host::ResetPlatform();
    // The clients allocate their buffers afresh every second (192 KB each): keep them on the heap
    // and the freed memory mapped, so the figure measures the engine, not page faults on new
    // client memory.
    mallopt(M_MMAP_THRESHOLD, 16 << 20);  // 32 MiB is the most glibc takes
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    const ULONG Cables = static_cast<ULONG>(state.range(0));
    Adapter* adapter = Adapter::Create();
    std::vector<host::PortWavePci*> ports;
    std::vector<std::unique_ptr<host::WaveClient>> clients;
    struct ClientPlan {
        bool capture;
        ULONG rate;
    };
    // The 48000 Hz render client starts first and so fixes the cable format, as the majority
    // format of a cable would in practice: only the 44100 Hz client is resampled.
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
            options.pinId = plan.capture ? 2 : 0;
            options.capture = plan.capture;
            options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(plan.rate, 16, 2));
            std::unique_ptr<host::WaveClient> client;
            host::WaveClient::Open(port, options, &client);
            clients.push_back(std::move(client));
        }
    }
    std::vector<uint8_t> second48k(48000 * 4, 0x21);
    std::vector<uint8_t> second44k(44100 * 4, 0x12);
    auto queueSecond = [&] {
        for (size_t i = 0; i < clients.size(); ++i) {
            const ClientPlan& plan = plans[i % 4];
            if (plan.capture) {
                clients[i]->Read(plan.rate * 4);
            } else {
                std::vector<uint8_t>& data = plan.rate == 44100 ? second44k : second48k;
                clients[i]->Write(data.data(), static_cast<ULONG>(data.size()));
            }
        }
    };
    queueSecond();
    for (auto& client : clients) {
        client->SetState(KSSTATE_RUN);
    }
    auto runSecond = [&] {
        queueSecond();
        host::AdvanceTime(Second);
        for (auto& client : clients) {
            client->ReapDiscarding();
        }
    };
    // One untimed second first: the clients' second set of buffers then comes from memory
    // already mapped, as every later one does.
    runSecond();
    for (auto _ : state) {
        runSecond();
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
BENCHMARK(BM_Streaming256Cables)->Args({256, 0})->Args({256, 1})->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
