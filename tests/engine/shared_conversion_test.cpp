// Capture streams of one cable that convert the mix alike share one conversion per chunk. Each
// must record exactly what it records alone: every capture stream of a shared cable has a twin,
// alone on a cable of its own with the same render data, clock, format, start time and client
// buffers, and the two recordings must match byte for byte.
#include <random>

#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "support/platform_fixture.h"
#include "support/stream_fixture.h"

namespace {

struct CaptureStream {
    ULONG rate;
    ULONG bits;
    ULONG channels;
    ULONGLONG startMs;
    // The client stops handing over buffers for this stretch (overflows), when lateUntilMs > 0.
    ULONGLONG lateFromMs;
    ULONGLONG lateUntilMs;
};

// Streams started together in one format, one started later in it, pairs in other formats
// (narrower, wider, more channels, lower rate), a pass-through stream and a late client.
const CaptureStream Captures[] = {
    {48000, 16, 2, 0, 0, 0},     {48000, 16, 2, 0, 0, 0},   {48000, 16, 2, 0, 800, 1100},
    {48000, 16, 2, 35, 0, 0},    {32000, 24, 1, 0, 0, 0},   {32000, 24, 1, 0, 0, 0},
    {96000, 32, 6, 0, 0, 0},     {8000, 8, 1, 215, 0, 0},   {8000, 8, 1, 215, 0, 0},
    {44100, 16, 2, 0, 0, 0},
};
constexpr size_t CaptureCount = sizeof(Captures) / sizeof(Captures[0]);

struct CableFormat {
    ULONG rate;
    ULONG bits;
};

class SharedConversionTest : public PlatformTest, public ::testing::WithParamInterface<CableFormat> {
protected:
    struct Rig {
        Cable* cable;
        WaveMiniport* miniport;
        host::PortWavePci* port;
    };

    void SetUp() override
    {
        PlatformTest::SetUp();
        host::SetDpcsRunWhenIrqlDrops(true);
        adapter = Adapter::Create();
        ASSERT_NE(adapter, nullptr);
        // Cable 0 carries every capture stream; cable n + 1 carries the twin of stream n alone.
        for (ULONG index = 0; index <= CaptureCount; ++index) {
            Rig rig{};
            rig.cable = Cable::Create(index, adapter);
            ASSERT_NE(rig.cable, nullptr);
            rig.miniport = WaveMiniport::Create(rig.cable);
            ASSERT_NE(rig.miniport, nullptr);
            rig.cable->AttachWaveMiniport(rig.miniport);
            adapter->AddCable(rig.cable);
            rig.port = host::PortWavePci::Create();
            ASSERT_EQ(rig.port->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(rig.miniport),
                                     static_cast<IAdapterPowerManagement*>(adapter), nullptr),
                      STATUS_SUCCESS);
            rigs.push_back(rig);
        }
    }

    void TearDown() override
    {
        clients.clear();
        for (Rig& rig : rigs) {
            rig.port->ReleaseChildren();
            rig.port->Release();
        }
        host::RunQueuedDpcs();
        adapter->DestroyAllCables();
        adapter->Release();
        EXPECT_EQ(host::LivePoolCount(), 0u);
        PlatformTest::TearDown();
    }

    host::WaveClient* Open(const Rig& rig, bool capture, ULONG rate, ULONG bits, ULONG channels)
    {
        host::WaveClientOptions options;
        options.pinId = capture ? 0 : 2;
        options.capture = capture;
        options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(rate, bits, channels));
        std::unique_ptr<host::WaveClient> client;
        EXPECT_EQ(host::WaveClient::Open(rig.port, options, &client), STATUS_SUCCESS);
        clients.push_back(std::move(client));
        return clients.back().get();
    }

    Adapter* adapter = nullptr;
    std::vector<Rig> rigs;
    std::vector<std::unique_ptr<host::WaveClient>> clients;
};

}  // namespace

TEST_P(SharedConversionTest, EachCaptureStreamRecordsWhatItRecordsAlone)
{
    const CableFormat format = GetParam();
    const ULONGLONG duration = 2 * Second;
    const ULONG renderFrameBytes = format.bits / 8 * 2;
    const std::vector<uint8_t> source = RandomStreamBytes(format.rate * renderFrameBytes * 3, format.rate);

    // The render stream starts first on every cable and fixes the cable's format.
    std::vector<std::unique_ptr<ClientFeeder>> players;
    for (size_t index = 0; index < rigs.size(); ++index) {
        host::WaveClient* render = Open(rigs[index], false, format.rate, format.bits, 2);
        players.push_back(std::make_unique<ClientFeeder>(render, false, 7, 3000, 9000));
        players.back()->SetSource(source);
        players.back()->Pump(format.rate * renderFrameBytes / 10);
        ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    // Each capture stream on cable 0 and its twin, fed alike: buffer sizes that are no multiple
    // of the frame, so frames straddle buffers.
    struct Recorder {
        const CaptureStream* plan;
        host::WaveClient* client[2];
        std::unique_ptr<ClientFeeder> feeder[2];
    };
    std::vector<Recorder> recorders(CaptureCount);
    for (size_t n = 0; n < CaptureCount; ++n) {
        const CaptureStream& plan = Captures[n];
        recorders[n].plan = &plan;
        for (int side = 0; side < 2; ++side) {
            const Rig& rig = rigs[(side == 0) ? 0 : n + 1];
            recorders[n].client[side] = Open(rig, true, plan.rate, plan.bits, plan.channels);
            recorders[n].feeder[side] =
                std::make_unique<ClientFeeder>(recorders[n].client[side], true, 100 + n, 1001, 4999);
        }
    }
    for (ULONGLONG elapsed = 0; elapsed < duration; elapsed += 5 * Millisecond) {
        const ULONGLONG ms = elapsed / Millisecond;
        for (auto& player : players) {
            player->Pump(format.rate * renderFrameBytes / 20);
        }
        for (Recorder& recorder : recorders) {
            const CaptureStream& plan = *recorder.plan;
            const bool late = ms >= plan.lateFromMs && ms < plan.lateUntilMs;
            for (int side = 0; side < 2; ++side) {
                if (ms == plan.startMs) {
                    ASSERT_EQ(recorder.client[side]->SetState(KSSTATE_RUN), STATUS_SUCCESS);
                }
                if (ms >= plan.startMs && !late) {
                    recorder.feeder[side]->Pump(plan.rate * plan.bits / 8 * plan.channels / 25);
                }
            }
        }
        host::AdvanceTime(5 * Millisecond);
    }

    LONG twinOverflows = 0;
    const LONG renderUnderflows = rigs[0].cable->RenderUnderflows;
    for (size_t n = 0; n < CaptureCount; ++n) {
        SCOPED_TRACE(::testing::Message() << "capture stream " << n);
        Recorder& recorder = recorders[n];
        for (int side = 0; side < 2; ++side) {
            recorder.feeder[side]->Pump(0);
        }
        const std::vector<uint8_t>& shared = recorder.feeder[0]->Recorded();
        const std::vector<uint8_t>& alone = recorder.feeder[1]->Recorded();
        EXPECT_GT(alone.size(), recorder.plan->rate * recorder.plan->bits / 8 * recorder.plan->channels);
        EXPECT_TRUE(shared == alone) << shared.size() << " bytes recorded sharing, " << alone.size() << " alone";
        KSAUDIO_POSITION sharedPosition{}, alonePosition{};
        ASSERT_EQ(recorder.client[0]->GetPosition(&sharedPosition), STATUS_SUCCESS);
        ASSERT_EQ(recorder.client[1]->GetPosition(&alonePosition), STATUS_SUCCESS);
        EXPECT_EQ(sharedPosition.PlayOffset, alonePosition.PlayOffset);
        twinOverflows += rigs[n + 1].cable->CaptureOverflows;
        EXPECT_EQ(rigs[n + 1].cable->RenderUnderflows, renderUnderflows) << "the mix is the same on every cable";
        EXPECT_EQ(rigs[n + 1].miniport->SharedConversions, 0u) << "a stream alone shares nothing";
    }
    EXPECT_GT(rigs[3].cable->CaptureOverflows, 0) << "the late client overflowed";
    EXPECT_EQ(rigs[0].cable->CaptureOverflows, twinOverflows);
    // Per chunk at least the second 48 kHz stream and the second 32 kHz one take a conversion.
    EXPECT_GT(rigs[0].miniport->SharedConversions, 2 * rigs[0].miniport->ChunksProcessed * 9 / 10)
        << rigs[0].miniport->ChunksProcessed << " chunks";
}

INSTANTIATE_TEST_SUITE_P(CableFormats, SharedConversionTest,
                         ::testing::Values(CableFormat{44100, 16}, CableFormat{48000, 24}),
                         [](const ::testing::TestParamInfo<CableFormat>& info) {
                             return "Cable" + std::to_string(info.param.rate) + "Hz" +
                                    std::to_string(info.param.bits) + "Bit";
                         });
