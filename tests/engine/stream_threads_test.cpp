// Several cables on real threads with two processors: client threads submit buffers and change
// states while the cables' DPCs run. Run under ThreadSanitizer as well.
#include <atomic>
#include <cstring>
#include <thread>

#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "host/wave_client.h"
#include "support/platform_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr ULONG CableCount = 3;
constexpr ULONG FrameBytes = 4;                // 8000 Hz 16-bit stereo: one 32-bit counter a frame
constexpr ULONG BufferBytes = 80 * FrameBytes;  // 10 ms
constexpr size_t QueuedBuffers = 50;           // half a second in flight

struct CableRig {
    Cable* cable = nullptr;
    host::PortWavePci* port = nullptr;
    std::unique_ptr<host::WaveClient> render;
    std::unique_ptr<host::WaveClient> capture;
    // Two more capture clients converting the mix alike, which share one conversion.
    std::unique_ptr<host::WaveClient> listeners[2];
};

class StreamThreadsTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        adapter = Adapter::Create();
        auto format = host::WaveDataFormat(host::PcmWaveFormat(8000, 16, 2));
        for (ULONG index = 0; index < CableCount; ++index) {
            CableRig& rig = rigs[index];
            rig.cable = Cable::Create(index, adapter);
            WaveMiniport* miniport = WaveMiniport::Create(rig.cable);
            rig.cable->AttachWaveMiniport(miniport);
            adapter->AddCable(rig.cable);
            rig.port = host::PortWavePci::Create();
            ASSERT_EQ(rig.port->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(miniport), nullptr, nullptr),
                      STATUS_SUCCESS);
            for (bool capture : {false, true}) {
                host::WaveClientOptions options;
                options.pinId = capture ? WaveCapturePin : WaveRenderPin;
                options.capture = capture;
                options.dataFormat = format;
                ASSERT_EQ(host::WaveClient::Open(rig.port, options, capture ? &rig.capture : &rig.render),
                          STATUS_SUCCESS);
            }
            for (std::unique_ptr<host::WaveClient>& listener : rig.listeners) {
                host::WaveClientOptions options;
                options.pinId = WaveCapturePin;
                options.capture = true;
                options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(11025, 16, 2));
                options.discardContents = true;
                ASSERT_EQ(host::WaveClient::Open(rig.port, options, &listener), STATUS_SUCCESS);
            }
        }
    }

    void TearDown() override
    {
        for (CableRig& rig : rigs) {
            rig.render.reset();
            rig.capture.reset();
            rig.listeners[0].reset();
            rig.listeners[1].reset();
            rig.port->ReleaseChildren();
            rig.port->Release();
        }
        host::RunQueuedDpcs();
        adapter->DestroyAllCables();
        adapter->Release();
        EXPECT_EQ(host::LivePoolCount(), 0u);
        PlatformTest::TearDown();
    }

    Adapter* adapter = nullptr;
    CableRig rigs[CableCount];
};

// One client thread per cable: plays a frame counter, records, and (on the churning cables)
// pauses and resumes both streams now and then.
struct ClientThread {
    void Loop(CableRig& rig, bool churn, const std::atomic<bool>& stop)
    {
        std::vector<uint8_t> buffer(BufferBytes);
        unsigned step = 0;
        while (!stop.load()) {
            for (const host::ReapedBuffer& done : rig.render->Reap()) {
                --renderInFlight;
                playedOk += done.status == STATUS_SUCCESS;
            }
            for (const host::ReapedBuffer& done : rig.capture->Reap()) {
                --captureInFlight;
                if (done.status == STATUS_SUCCESS) {
                    recorded.insert(recorded.end(), done.data.begin(), done.data.end());
                    recordedBytes.store(recorded.size());
                }
            }
            while (renderInFlight < QueuedBuffers) {
                for (ULONG offset = 0; offset < BufferBytes; offset += FrameBytes) {
                    std::memcpy(buffer.data() + offset, &nextFrame, FrameBytes);
                    ++nextFrame;
                }
                ASSERT_EQ(rig.render->Write(buffer.data(), BufferBytes), STATUS_SUCCESS);
                ++renderInFlight;
                ++submitted;
            }
            while (captureInFlight < QueuedBuffers) {
                ASSERT_EQ(rig.capture->Read(BufferBytes), STATUS_SUCCESS);
                ++captureInFlight;
            }
            for (std::unique_ptr<host::WaveClient>& listener : rig.listeners) {
                listener->ReapDiscarding();
                while (listener->InFlight() < QueuedBuffers) {
                    ASSERT_EQ(listener->Read(BufferBytes), STATUS_SUCCESS);
                }
            }
            if (churn && ++step % 7 == 0) {
                KSSTATE next = (step % 14 == 0) ? KSSTATE_RUN : KSSTATE_PAUSE;
                ASSERT_EQ(rig.render->SetState(next), STATUS_SUCCESS);
                ASSERT_EQ(rig.capture->SetState(next), STATUS_SUCCESS);
                for (std::unique_ptr<host::WaveClient>& listener : rig.listeners) {
                    ASSERT_EQ(listener->SetState(next), STATUS_SUCCESS);
                }
            }
            std::this_thread::sleep_for(2ms);
        }
    }

    uint32_t nextFrame = 1;  // 0 would look like silence
    size_t renderInFlight = 0;
    size_t captureInFlight = 0;
    size_t submitted = 0;
    size_t playedOk = 0;
    std::vector<uint8_t> recorded;
    std::atomic<size_t> recordedBytes{0};  // read by the test's thread while this one runs
};

}  // namespace

TEST_F(StreamThreadsTest, ClientsChurningOnSeveralCablesLoseAndDuplicateNothing)
{
    host::SetTimerDpcPlacement(host::TimerDpcPlacement::RoundRobin);
    for (CableRig& rig : rigs) {
        ASSERT_EQ(rig.render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(rig.capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        for (std::unique_ptr<host::WaveClient>& listener : rig.listeners) {
            ASSERT_EQ(listener->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        }
    }
    std::atomic<bool> stop{false};
    std::vector<ClientThread> clients(CableCount);
    host::StartRealTime();
    std::vector<std::thread> threads;
    for (ULONG index = 0; index < CableCount; ++index) {
        threads.emplace_back([&, index] { clients[index].Loop(rigs[index], index != 0, stop); });
    }
    // Cable 1 keeps running: wait until it has recorded two seconds of audio.
    bool enough = host::WaitUntil([&] { return clients[0].recordedBytes.load() >= 2 * 8000 * FrameBytes; }, 60s);
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (CableRig& rig : rigs) {
        EXPECT_EQ(rig.render->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(rig.capture->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        for (std::unique_ptr<host::WaveClient>& listener : rig.listeners) {
            EXPECT_EQ(listener->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        }
        EXPECT_GT(rig.cable->Wave->SharedConversions, 0u) << "the listeners shared the conversion of the mix";
    }
    host::StopRealTime();
    ASSERT_TRUE(enough);

    // Underflows insert silence but consume nothing, so the counter frames the capture heard
    // must follow each other without a gap or a repeat, wherever the silence fell.
    for (ULONG index = 0; index < CableCount; ++index) {
        SCOPED_TRACE(index + 1);
        const std::vector<uint8_t>& recorded = clients[index].recorded;
        uint32_t previous = 0;
        size_t heard = 0;
        size_t gaps = 0;
        for (size_t offset = 0; offset + FrameBytes <= recorded.size(); offset += FrameBytes) {
            uint32_t frame = 0;
            std::memcpy(&frame, recorded.data() + offset, FrameBytes);
            if (frame == 0) {
                continue;
            }
            if (previous != 0) {
                ASSERT_GT(frame, previous) << "a frame heard twice or out of order at byte " << offset;
                gaps += (frame != previous + 1);
            }
            previous = frame;
            ++heard;
        }
        EXPECT_GT(heard, 0u);
        if (index == 0) {
            EXPECT_LE(gaps, static_cast<size_t>(rigs[0].cable->CaptureOverflows))
                << "on the steady cable only a capture overflow may drop frames";
        }
    }
}
