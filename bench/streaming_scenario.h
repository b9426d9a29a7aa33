// The streaming load the engine benchmarks measure: cables, each with a 44100 Hz and a 48000 Hz
// render client and two 48000 Hz capture clients, 16-bit stereo, 5-ms period, on the virtual
// clock. The clients keep a few buffers in flight in memory allocated once and cycled through,
// as audio applications do; topping them up is the applications' work, which the benchmarks
// leave out of their timing.
#pragma once

#include "engine/audio_format.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "host/harness.h"
#include "host/wave_client.h"

#include <malloc.h>

#include <memory>
#include <vector>

class StreamingScenario {
public:
    struct ClientPlan {
        bool capture;
        ULONG rate;
    };

    // firstRender44k: the 44100 Hz render client starts first and so fixes the cable format, and
    // three of the four streams are resampled; otherwise only the 44100 Hz client is. With short
    // buffers (10 ms) three are in flight, 30 ms ahead of the clock, as a shared-mode audio
    // engine keeps its periods queued; with long ones (1000 ms) the one played and the next.
    StreamingScenario(ULONG cables, bool firstRender44k, ULONG bufferMs)
        : bufferMs_(bufferMs), buffersInFlight_((bufferMs >= 1000) ? 2 : 30 / bufferMs),
          plans_(firstRender44k ? Minority : Majority)
    {
        host::ResetPlatform();
        // Keep freed client buffers on the heap and mapped, so that no page faults on client
        // memory land in the timed part.
        mallopt(M_MMAP_THRESHOLD, 16 << 20);  // 32 MiB is the most glibc takes
        mallopt(M_TRIM_THRESHOLD, 256 << 20);
        adapter_ = Adapter::Create();
        for (ULONG index = 0; index < cables; ++index) {
            Cable* cable = Cable::Create(index, adapter_);
            WaveMiniport* miniport = WaveMiniport::Create(cable);
            cable->AttachWaveMiniport(miniport);
            adapter_->AddCable(cable);
            host::PortWavePci* port = host::PortWavePci::Create();
            port->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(miniport), nullptr, nullptr);
            ports_.push_back(port);
            for (int slot = 0; slot < 4; ++slot) {
                const ClientPlan& plan = plans_[slot];
                host::WaveClientOptions options;
                options.pinId = plan.capture ? WaveCapturePin : WaveRenderPin;
                options.capture = plan.capture;
                options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(plan.rate, 16, 2));
                options.discardContents = true;
                std::unique_ptr<host::WaveClient> client;
                host::WaveClient::Open(port, options, &client);
                client->UseBufferSlots(buffersInFlight_, BufferBytes(plan.rate));
                clients_.push_back(std::move(client));
            }
        }
        // A buffer's worth of a steady non-silent pattern for each render rate.
        buffer48k_.assign(BufferBytes(48000), 0x21);
        buffer44k_.assign(BufferBytes(44100), 0x12);
        TopUp();
        for (auto& client : clients_) {
            client->SetState(KSSTATE_RUN);
        }
    }

    ~StreamingScenario()
    {
        clients_.clear();
        for (host::PortWavePci* port : ports_) {
            port->ReleaseChildren();
            port->Release();
        }
        host::RunQueuedDpcs();
        adapter_->DestroyAllCables();
        adapter_->Release();
    }

    StreamingScenario(const StreamingScenario&) = delete;
    StreamingScenario& operator=(const StreamingScenario&) = delete;

    // The clock advances by one client buffer per step (100-ns units).
    ULONGLONG Step() const { return bufferMs_ * 10000ULL; }

    // Reaps the clients' finished buffers and queues new ones until each has its buffers in
    // flight again.
    void TopUp()
    {
        for (size_t i = 0; i < clients_.size(); ++i) {
            host::WaveClient& client = *clients_[i];
            client.ReapDiscarding();
            const ClientPlan& plan = plans_[i % 4];
            while (client.InFlight() < buffersInFlight_) {
                if (plan.capture) {
                    client.Read(BufferBytes(plan.rate));
                } else {
                    std::vector<uint8_t>& data = (plan.rate == 44100) ? buffer44k_ : buffer48k_;
                    client.Write(data.data(), static_cast<ULONG>(data.size()));
                }
            }
        }
    }

    // Capture chunks that took another stream's conversion, and chunks processed, over all cables.
    ULONGLONG SharedConversions() const { return SumOfMiniports(&WaveMiniport::SharedConversions); }
    ULONGLONG Chunks() const { return SumOfMiniports(&WaveMiniport::ChunksProcessed); }

    LONG Underflows() const { return SumOf(&Cable::RenderUnderflows); }
    LONG Overflows() const { return SumOf(&Cable::CaptureOverflows); }

private:
    static constexpr ClientPlan Majority[4] = {{false, 48000}, {false, 44100}, {true, 48000}, {true, 48000}};
    static constexpr ClientPlan Minority[4] = {{false, 44100}, {false, 48000}, {true, 48000}, {true, 48000}};

    ULONG BufferBytes(ULONG rate) const { return rate * bufferMs_ / 1000 * 4; }

    LONG SumOf(LONG Cable::*counter) const
    {
        LONG sum = 0;
        for (size_t index = 0; index < ports_.size(); ++index) {
            sum += adapter_->FindCable(static_cast<ULONG>(index))->*counter;
        }
        return sum;
    }

    ULONGLONG SumOfMiniports(ULONGLONG WaveMiniport::*counter) const
    {
        ULONGLONG sum = 0;
        for (size_t index = 0; index < ports_.size(); ++index) {
            sum += adapter_->FindCable(static_cast<ULONG>(index))->Wave->*counter;
        }
        return sum;
    }

    ULONG bufferMs_;
    size_t buffersInFlight_;
    const ClientPlan* plans_;
    Adapter* adapter_ = nullptr;
    std::vector<host::PortWavePci*> ports_;
    std::vector<std::unique_ptr<host::WaveClient>> clients_;
    std::vector<uint8_t> buffer48k_;
    std::vector<uint8_t> buffer44k_;
};
