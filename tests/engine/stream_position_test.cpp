// A stream's position as the port reads it: it moves with cable time in whole stream frames,
// carrying what is left over when the stream's rate differs from the cable's, starts again at
// KSSTATE_STOP, and converts to time as the port asks. Also what the port is told of the stream
// (the prefetch offset). Expected values are worked out by hand in the comments.
#include "filters/wave_miniport.h"
#include "support/stream_fixture.h"

namespace {

struct PcmShape {
    ULONG rate;
    USHORT bits;
    USHORT channels;
};

std::vector<uint8_t> FormatOf(PcmShape shape)
{
    return host::WaveDataFormat(host::PcmWaveFormat(shape.rate, shape.bits, shape.channels));
}

class StreamPositionTest : public StreamTest {
protected:
    // Fixes the cable format with a capture client that runs (it records nothing: no buffers)
    // and starts a render client of `stream` beside it at the same instant. Neither has data;
    // positions move all the same.
    host::WaveClient* StartBeside(PcmShape cableShape, PcmShape streamShape)
    {
        host::WaveClient* cableClient = Open(true, FormatOf(cableShape));
        EXPECT_NE(cableClient, nullptr);
        EXPECT_EQ(cableClient->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        EXPECT_EQ(miniport->CableFormat.Format.nSamplesPerSec, cableShape.rate);
        host::WaveClient* client = Open(false, FormatOf(streamShape));
        EXPECT_NE(client, nullptr);
        EXPECT_EQ(client->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        return client;
    }
};

}  // namespace

TEST_F(StreamPositionTest, MovesWithCableTimeInWholeFramesCarryingTheRemainder)
{
    struct Checkpoint {
        ULONG ms;  // since both clients started
        ULONGLONG bytes;
    };
    struct Case {
        const char* name;
        PcmShape cable, stream;
        std::vector<Checkpoint> checkpoints;
    };
    // The cable moves rate x time frames; the stream has played (its rate / cable rate) of them,
    // rounded down to whole frames, and nothing is lost between 5-ms passes.
    const Case cases[] = {
        // 5 ms: 240 cable frames -> 220.5 -> 220 frames (880 bytes); 10 ms: 441 exactly, not 440 as
        // two passes rounded down each would make it; 15 ms: 661.5 -> 661; 1 s: 44100 frames.
        {"44.1 kHz stream on a 48 kHz cable", {48000, 16, 2}, {44100, 16, 2},
         {{5, 880}, {10, 1764}, {15, 2644}, {1000, 176400}}},
        // 10 ms: 441 cable frames (220 and 221 in the passes) -> 480 stream frames of 2 bytes.
        {"48 kHz mono stream on a 44.1 kHz cable", {44100, 16, 2}, {48000, 16, 1},
         {{10, 960}, {20, 1920}, {1000, 96000}}},
        // 10 ms: 220.5 -> 220 one-byte frames; 20 ms: 441.
        {"22.05 kHz 8-bit stream on a 48 kHz cable", {48000, 16, 2}, {22050, 8, 1},
         {{10, 220}, {20, 441}, {1000, 22050}}},
        // Twice the cable rate in 18-byte frames: 480 frames per 5 ms.
        {"96 kHz 24-bit 6-channel stream on a 48 kHz cable", {48000, 16, 2}, {96000, 24, 6},
         {{5, 8640}, {10, 17280}}},
        // 24 times an 8 kHz cable in 8-byte frames: 960 frames per 5 ms.
        {"192 kHz 32-bit stereo stream on an 8 kHz cable", {8000, 8, 1}, {192000, 32, 2}, {{5, 7680}, {10, 15360}}},
        {"equal rate, other width and channels", {48000, 16, 2}, {48000, 8, 1}, {{10, 480}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::WaveClient* client = StartBeside(c.cable, c.stream);
        ASSERT_NE(client, nullptr);
        ULONG elapsed = 0;
        for (const Checkpoint& checkpoint : c.checkpoints) {
            host::AdvanceTime((checkpoint.ms - elapsed) * Millisecond);
            elapsed = checkpoint.ms;
            EXPECT_EQ(PlayOffset(client), checkpoint.bytes) << "after " << checkpoint.ms << " ms";
        }
        clients.clear();
        ASSERT_EQ(miniport->EngineUsers, 0u);
    }
}

TEST_F(StreamPositionTest, StopStartsThePositionAgainWithNothingCarriedOver)
{
    host::WaveClient* client = StartBeside({48000, 16, 2}, {44100, 16, 2});
    ASSERT_NE(client, nullptr);
    // 5 ms: 220.5 frames, of which half a frame is carried.
    host::AdvanceTime(5 * Millisecond);
    ASSERT_EQ(PlayOffset(client), 880u);

    ASSERT_EQ(client->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(PlayOffset(client), 0u);
    ASSERT_EQ(client->SetState(KSSTATE_RUN), STATUS_SUCCESS);

    // Again 220 frames, not 221 as the dropped half frame would make them; then 441 at 10 ms.
    host::AdvanceTime(5 * Millisecond);
    EXPECT_EQ(PlayOffset(client), 880u);
    host::AdvanceTime(5 * Millisecond);
    EXPECT_EQ(PlayOffset(client), 1764u);
}

TEST_F(StreamPositionTest, BytesNormaliseToHundredNanosecondUnitsRounded)
{
    struct Case {
        PcmShape shape;
        LONGLONG bytes;
        LONGLONG expected;
    };
    // bytes x 10000000 / (block align x rate), rounded to the nearest.
    const Case cases[] = {
        {{44100, 16, 2}, 176400, 10000000},  // one second
        {{44100, 16, 2}, 4, 227},            // one frame: 226.76
        {{48000, 16, 2}, 6, 313},            // a frame and a half: 312.5 rounds up
        {{22050, 8, 1}, 1, 454},             // 453.51
        {{44100, 24, 2}, 264600, 10000000},  // one second of 6-byte frames, exactly
        {{48000, 16, 2}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        host::WaveClient* client = Open(false, FormatOf(c.shape));
        ASSERT_NE(client, nullptr);
        LONGLONG position = c.bytes;
        EXPECT_EQ(client->Pin()->MiniportStream()->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position, c.expected);
        Close(client);
    }
}

TEST_F(StreamPositionTest, ThePortIsToldToPrefetchThirtyTwoFrames)
{
    struct Case {
        PcmShape shape;
        ULONG expected;  // 32 x block align
    };
    const Case cases[] = {
        {{48000, 16, 2}, 128},
        {{8000, 8, 1}, 32},
        {{96000, 24, 6}, 576},
        {{192000, 32, 8}, 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        host::WaveClient* client = Open(false, FormatOf(c.shape));
        ASSERT_NE(client, nullptr);
        ULONG offset = 0;
        EXPECT_TRUE(client->Pin()->PreFetchOffsetSet(&offset));
        EXPECT_EQ(offset, c.expected);
        Close(client);
    }
}
