// A cable whose timer DPC was held off for minutes, as after sleep or on a stalled processor, seen
// by its clients: one pass of bounded work, one underflow or overflow per running stream, and then
// ordinary passes on the virtual clock.
#include "filters/cable.h"
#include "support/stream_fixture.h"

namespace {

constexpr ULONGLONG Minute = 60 * Second;

}  // namespace

TEST_F(StreamTest, ATenMinuteStallCostsOneBoundedPassAndOneUnderflowOrOverflowPerRunningStream)
{
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = Open(false, format);
    host::WaveClient* capture = Open(true, format);
    Open(true, format);  // a stream that never runs: nothing of the stall is its loss
    // A second in 50-ms buffers on both sides: far more than the test plays, so no pass runs short.
    const std::vector<uint8_t> audio(9600, 0x11);
    for (int buffer = 0; buffer < 20; ++buffer) {
        ASSERT_EQ(render->Write(audio.data(), 9600), STATUS_SUCCESS);
        ASSERT_EQ(capture->Read(9600), STATUS_SUCCESS);
    }
    Run(render);
    Run(capture);
    host::AdvanceTime(100 * Millisecond);
    ASSERT_EQ(cable->RenderUnderflows, 0);
    ASSERT_EQ(cable->CaptureOverflows, 0);
    const ULONGLONG rendered = PlayOffset(render);
    const ULONGLONG captured = PlayOffset(capture);

    host::StallProcessor(0, 10 * Minute);
    host::AdvanceTime(10 * Minute);

    // The pass at the end of the stall: its 5-ms period and 100 ms more, 5040 frames of 4 bytes.
    EXPECT_EQ(PlayOffset(render) - rendered, 20160u);
    EXPECT_EQ(PlayOffset(capture) - captured, 20160u);
    EXPECT_EQ(cable->RenderUnderflows, 1);
    EXPECT_EQ(cable->CaptureOverflows, 1);

    host::AdvanceTime(50 * Millisecond);

    // Ten ordinary passes of 240 frames, and nothing more lost.
    EXPECT_EQ(PlayOffset(render) - rendered, 20160u + 9600);
    EXPECT_EQ(PlayOffset(capture) - captured, 20160u + 9600);
    EXPECT_EQ(cable->RenderUnderflows, 1);
    EXPECT_EQ(cable->CaptureOverflows, 1);
}

TEST_F(StreamTest, AMinuteAsleepCostsOneBoundedPassWithinTheDpcWatchdog)
{
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = Open(false, format);
    const std::vector<uint8_t> audio(9600, 0x11);
    for (int buffer = 0; buffer < 20; ++buffer) {
        ASSERT_EQ(render->Write(audio.data(), 9600), STATUS_SUCCESS);
    }
    Run(render);
    host::AdvanceTime(100 * Millisecond);
    const ULONGLONG rendered = PlayOffset(render);

    host::SimulateSleep(Minute);

    // Every timer overdue at once: one pass of its period and 100 ms more, then the rest dropped.
    EXPECT_EQ(PlayOffset(render) - rendered, 20160u);
    EXPECT_EQ(cable->RenderUnderflows, 1);
    EXPECT_TRUE(host::TakeViolations().empty());
}
