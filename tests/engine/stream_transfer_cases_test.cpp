// What a stream does with its client's buffers and the cable engine, seen through the stand-in
// port: channel gains applied on the way into the mix, mappings asked for in batches, and the
// engine given back when the stream cannot start. Expected values are worked out by hand.
#include <algorithm>

#include "engine/wave_stream.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "support/stream_fixture.h"

namespace {

using StreamTransferCasesTest = StreamTest;

std::vector<uint8_t> Stereo16(const std::vector<std::pair<int16_t, int16_t>>& frames)
{
    std::vector<uint8_t> bytes;
    for (auto [left, right] : frames) {
        for (int16_t sample : {left, right}) {
            bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(sample) & 0xFF));
            bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(sample) >> 8));
        }
    }
    return bytes;
}

}  // namespace

TEST_F(StreamTransferCasesTest, WithVolumeControlARenderStreamIsMixedAtItsChannelGains)
{
    miniport->VolumeControl = TRUE;
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = Open(false, format);
    host::WaveClient* capture = Open(true, format);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    auto* stream = static_cast<WaveStream*>(render->Pin()->MiniportStream());
    stream->ChannelGains[0] = ScalePair{1, 2};
    stream->ChannelGains[1] = ScalePair{1, 4};

    // Left at 1/2, right at 1/4, each (s x 65536 x n + d/2) / d truncated toward zero, then the
    // top 16 bits: 1000 -> 500 and 250; -1000 -> -500 and -250 (-32767999 and -16383999 have
    // their top bits at -500 and -250); 32767 -> 16383 and 8191.
    const std::vector<std::pair<int16_t, int16_t>> played = {{1000, 1000}, {-1000, -1000}, {32767, 32767}};
    const std::vector<std::pair<int16_t, int16_t>> mixed = {{500, 250}, {-500, -250}, {16383, 8191}};
    std::vector<uint8_t> source, expected;
    for (int repeat = 0; repeat < 160; ++repeat) {  // 480 frames, 10 ms
        for (size_t i = 0; i < played.size(); ++i) {
            std::vector<uint8_t> in = Stereo16({played[i]});
            std::vector<uint8_t> out = Stereo16({mixed[i]});
            source.insert(source.end(), in.begin(), in.end());
            expected.insert(expected.end(), out.begin(), out.end());
        }
    }
    expected.resize(2 * source.size(), 0);  // then silence
    ASSERT_EQ(render->Write(source.data(), static_cast<ULONG>(source.size())), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(static_cast<ULONG>(expected.size())), STATUS_SUCCESS);
    Run(render);
    Run(capture);

    host::AdvanceTime(25 * Millisecond);

    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    ASSERT_EQ(recorded[0].data.size(), expected.size());
    auto mismatch = std::mismatch(expected.begin(), expected.end(), recorded[0].data.begin());
    EXPECT_TRUE(mismatch.first == expected.end()) << "first difference at byte " << (mismatch.first - expected.begin());
}

TEST_F(StreamTransferCasesTest, MappingsAreAskedForOnlyWhenFewerThanFourArePending)
{
    // 48 kHz 16-bit stereo: 960 bytes a 5-ms pass, a low watermark of 9600 bytes. The client queues
    // forty 256-byte buffers, each one mapping.
    host::WaveClient* render = Open(false, host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2)));
    ASSERT_NE(render, nullptr);
    render->SetBufferPageOffsets({0});
    const std::vector<uint8_t> buffer(256, 0x11);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(render->Write(buffer.data(), static_cast<ULONG>(buffer.size())), STATUS_SUCCESS);
    }
    EXPECT_EQ(render->Pin()->UnreleasedMappingCount(), 0u) << "nothing is asked for before a pass";
    Run(render);

    // Pass 1 takes 16 mappings (the most a stream holds) and plays 3.75 of them: 13 held. Passes
    // 2 to 4 find 13, 9 and 5 pending, four or more, and take none: 7.5, 11.25 and 15 played.
    // Pass 5 finds one pending, takes 15 more and has played 18.75: 16 + 15 - 18 held.
    const size_t held[] = {13, 9, 5, 1, 13};
    for (size_t pass = 0; pass < std::size(held); ++pass) {
        host::AdvanceTime(5 * Millisecond);
        EXPECT_EQ(render->Pin()->UnreleasedMappingCount(), held[pass]) << "after pass " << pass + 1;
    }
    EXPECT_EQ(cable->RenderUnderflows, 0);
}

TEST_F(StreamTransferCasesTest, AStreamWhoseConverterRefusesTheFormatGivesTheEngineBack)
{
    // The cable allows 384 kHz, which the converter does not take.
    miniport->MaxSampleRate = 384000;
    host::WaveClient* fast = Open(false, host::WaveDataFormat(host::PcmWaveFormat(384000, 16, 2)));
    ASSERT_NE(fast, nullptr);

    EXPECT_EQ(fast->SetState(KSSTATE_ACQUIRE), STATUS_UNSUCCESSFUL);

    EXPECT_EQ(fast->State(), KSSTATE_STOP);
    EXPECT_EQ(miniport->EngineUsers, 0u);
    EXPECT_EQ(miniport->TimerUsers, 0);
    EXPECT_EQ(miniport->MixBuffer, nullptr);
    EXPECT_EQ(miniport->CableFormat.Format.wFormatTag, 0);
    // The next stream fixes the cable format afresh.
    host::WaveClient* next = Open(false, host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2)));
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(miniport->CableFormat.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(miniport->EngineUsers, 1u);
}

TEST_F(StreamTransferCasesTest, ACaptureClientLateWithItsBufferLosesOneChunkAndThenGetsEveryFrameInOrder)
{
    // 48 kHz 24-bit stereo: 6-byte frames, 240 frames a 5-ms pass.
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 24, 2));
    host::WaveClient* render = Open(false, format);
    host::WaveClient* capture = Open(true, format);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    constexpr size_t FrameBytes = 6;
    std::vector<uint8_t> played(1440 * FrameBytes);  // 30 ms
    for (size_t i = 0; i < played.size(); ++i) {
        played[i] = static_cast<uint8_t>(i % 251);
    }
    ASSERT_EQ(render->Write(played.data(), static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    Run(render);
    Run(capture);

    // Pass 1 converts frames 0..239 for the capture and keeps them; pass 2 finds no buffer for
    // them and loses frames 240..479 (one overflow).
    host::AdvanceTime(10 * Millisecond);
    EXPECT_EQ(cable->CaptureOverflows, 1);
    // A 20-ms buffer starting 95 bytes before a page end: 15 frames and 5 bytes fit before it, so
    // frame 15 goes out across the page.
    capture->SetBufferPageOffsets({4001});
    ASSERT_EQ(capture->Read(960 * FrameBytes), STATUS_SUCCESS);
    // Pass 3 writes the kept frames 0..239 and frames 480..719, passes 4 and 5 fill the rest.
    host::AdvanceTime(15 * Millisecond);

    std::vector<uint8_t> expected(played.begin(), played.begin() + 240 * FrameBytes);
    expected.insert(expected.end(), played.begin() + 480 * FrameBytes, played.begin() + 1200 * FrameBytes);
    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    ASSERT_EQ(recorded[0].data.size(), expected.size());
    auto mismatch = std::mismatch(expected.begin(), expected.end(), recorded[0].data.begin());
    EXPECT_TRUE(mismatch.first == expected.end()) << "first difference at byte " << (mismatch.first - expected.begin());
    EXPECT_EQ(cable->CaptureOverflows, 1);
}
