// Audio through a cable end to end: clients play into the render pin and record from the capture
// pin of one cable through the stand-in port, on the virtual clock.
#include <algorithm>

#include "engine/reference_converter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "support/stream_fixture.h"

namespace {

class StreamLoopbackTest : public StreamTest {
protected:
    // Advances the clock in steps, pumping every feeder after each.
    void RunFor(ULONGLONG duration, std::vector<ClientFeeder*> feeders, ULONG queuedTarget,
                ULONGLONG step = 10 * Millisecond)
    {
        for (ULONGLONG done = 0; done < duration; done += step) {
            for (ClientFeeder* feeder : feeders) {
                feeder->Pump(queuedTarget);
            }
            host::AdvanceTime(step);
        }
        for (ClientFeeder* feeder : feeders) {
            feeder->Pump(0);
        }
    }
};

}  // namespace

TEST_F(StreamLoopbackTest, EveryRenderedByteArrivesUnchangedOverAnHour)
{
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = Open(false, format);
    host::WaveClient* capture = Open(true, format);
    const ULONGLONG duration = 3600 * Second;
    const size_t totalBytes = 48000ull * 4 * 3600;
    // Sizes that are no multiple of the frame: frames straddle client buffers as well as pages.
    ClientFeeder player(render, false, 11, 3841, 9001);
    ClientFeeder recorder(capture, true, 12, 3841, 9001);
    const std::vector<uint8_t> source = RandomStreamBytes(totalBytes + 192000, 5);  // a second to spare
    player.SetSource(source);
    player.Pump(48000);
    recorder.Pump(48000);
    Run(render);
    Run(capture);

    RunFor(duration, {&player, &recorder}, 48000, 100 * Millisecond);

    EXPECT_EQ(cable->RenderUnderflows, 0);
    EXPECT_EQ(cable->CaptureOverflows, 0);
    EXPECT_GE(player.Played(), totalBytes - 9001);
    ASSERT_GE(recorder.Recorded().size(), totalBytes - 9001);
    EXPECT_TRUE(std::equal(recorder.Recorded().begin(), recorder.Recorded().end(), source.begin()))
        << "the capture is the render data byte for byte";
    KSAUDIO_POSITION renderPosition{}, capturePosition{};
    ASSERT_EQ(render->GetPosition(&renderPosition), STATUS_SUCCESS);
    ASSERT_EQ(capture->GetPosition(&capturePosition), STATUS_SUCCESS);
    EXPECT_EQ(renderPosition.PlayOffset, totalBytes);
    EXPECT_EQ(capturePosition.PlayOffset, totalBytes);
}

// A port may map a buffer in pieces of a page or of many contiguous pages, and may refuse a
// GetMapping for want of resources while data is queued (then no MappingAvailable follows).
TEST_F(StreamLoopbackTest, EveryByteArrivesUnchangedWhateverMappingsThePortHandsOut)
{
    struct Row {
        const char* what;
        host::MappingOptions options;
    };
    const Row rows[] = {
        {"a page per mapping", {1, 0, STATUS_INSUFFICIENT_RESOURCES}},
        {"runs of 4 contiguous pages", {4, 0, STATUS_INSUFFICIENT_RESOURCES}},
        {"runs of 16 contiguous pages", {16, 0, STATUS_INSUFFICIENT_RESOURCES}},
        {"every 7th GetMapping refused for resources", {1, 7, STATUS_INSUFFICIENT_RESOURCES}},
        // Mappings larger than the low watermark: a refusal must find the stream with data left.
        {"every 5th refused, runs of 16 pages", {16, 5, STATUS_INSUFFICIENT_RESOURCES}},
    };
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    const size_t totalBytes = 48000ull * 4 * 10;
    const std::vector<uint8_t> source = RandomStreamBytes(totalBytes + 192000, 6);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        port->SetMappingOptions(row.options);
        host::WaveClient* render = Open(false, format);
        host::WaveClient* capture = Open(true, format);
        ClientFeeder player(render, false, 21, 3841, 20001);
        ClientFeeder recorder(capture, true, 22, 3841, 20001);
        player.SetSource(source);
        player.Pump(48000);
        recorder.Pump(48000);
        Run(render);
        Run(capture);
        const LONG underflows = cable->RenderUnderflows;
        const LONG overflows = cable->CaptureOverflows;

        RunFor(10 * Second, {&player, &recorder}, 48000);

        EXPECT_EQ(cable->RenderUnderflows, underflows);
        EXPECT_EQ(cable->CaptureOverflows, overflows);
        ASSERT_GE(recorder.Recorded().size(), totalBytes - 20001);
        EXPECT_TRUE(std::equal(recorder.Recorded().begin(), recorder.Recorded().end(), source.begin()));
        Close(render);
        Close(capture);
    }
}

TEST_F(StreamLoopbackTest, AnImpulseRenderedAtCableFrameNIsCapturedAtFrameN)
{
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 1));
    host::WaveClient* render = Open(false, format);
    host::WaveClient* capture = Open(true, format);
    constexpr size_t Frames = 4800;  // 100 ms
    constexpr size_t ImpulseFrame = 1234;
    std::vector<uint8_t> played(Frames * 2, 0);
    played[ImpulseFrame * 2] = 0x00;
    played[ImpulseFrame * 2 + 1] = 0x40;  // 0x4000
    ASSERT_EQ(render->Write(played.data(), static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    Run(render);
    Run(capture);

    // A capture stream writes out each chunk's converted mix in the pass after: one pass more.
    host::AdvanceTime(105 * Millisecond);

    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].data, played);
}

TEST_F(StreamLoopbackTest, TwoRenderFormatsMixIntoTwoCaptureFormatsAsAPlainModelSays)
{
    // The first render client fixes the cable format: 44100 Hz 16-bit stereo.
    WAVEFORMATEXTENSIBLE firstFormat = host::PcmWaveFormatExtensible(44100, 16, 2, 0x3, 16);
    WAVEFORMATEXTENSIBLE secondFormat = host::PcmWaveFormatExtensible(48000, 24, 1, 0x4, 24);
    WAVEFORMATEXTENSIBLE monoFormat = host::PcmWaveFormatExtensible(22050, 8, 1, 0x4, 8);
    WAVEFORMATEXTENSIBLE wideFormat = host::PcmWaveFormatExtensible(96000, 32, 2, 0x3, 32);
    host::WaveClient* first = Open(false, host::WaveDataFormat(firstFormat));
    host::WaveClient* second = Open(false, host::WaveDataFormat(secondFormat));
    host::WaveClient* mono = Open(true, host::WaveDataFormat(monoFormat));
    host::WaveClient* wide = Open(true, host::WaveDataFormat(wideFormat));

    constexpr ULONG Milliseconds = 400;
    auto bytesOf = [](const WAVEFORMATEXTENSIBLE& f, ULONG ms) {
        return f.Format.nBlockAlign * (f.Format.nSamplesPerSec * ms / 1000);
    };
    // More than the run needs, so no client runs dry.
    std::vector<uint8_t> firstData = RandomStreamBytes(bytesOf(firstFormat, Milliseconds + 100), 21);
    std::vector<uint8_t> secondData = RandomStreamBytes(bytesOf(secondFormat, Milliseconds + 100), 22);
    ASSERT_EQ(first->Write(firstData.data(), static_cast<ULONG>(firstData.size())), STATUS_SUCCESS);
    ASSERT_EQ(second->Write(secondData.data(), static_cast<ULONG>(secondData.size())), STATUS_SUCCESS);
    // A second buffer for each capture client keeps it from overflowing at the end.
    for (auto [format, client] : {std::pair{monoFormat, mono}, std::pair{wideFormat, wide}}) {
        ASSERT_EQ(client->Read(bytesOf(format, Milliseconds)), STATUS_SUCCESS);
        ASSERT_EQ(client->Read(bytesOf(format, 100)), STATUS_SUCCESS);
    }
    for (host::WaveClient* client : {first, second, mono, wide}) {
        Run(client);
    }

    // Capture delivers each chunk a pass later, and upsampling reads a source frame ahead.
    host::AdvanceTime((Milliseconds + 10) * Millisecond);

    // The expected mix, from a plain model: each render stream converted to the cable format by
    // the literal reference converter, the 16-bit samples added and clamped, the sum converted
    // to each capture format by the reference converter again.
    const ULONG cableBytes = bytesOf(firstFormat, Milliseconds);
    std::vector<int32_t> sum(cableBytes / 2, 0);
    for (auto [format, data] : {std::pair{firstFormat, &firstData}, std::pair{secondFormat, &secondData}}) {
        conversion_test::ReferenceConverter toCable(format.Format.nSamplesPerSec, format.Format.wBitsPerSample / 8,
                                                    format.Format.nChannels, 44100, 2, 2);
        ULONG consumed = 0;
        std::vector<UCHAR> converted = toCable.Convert(*data, cableBytes, &consumed, nullptr);
        ASSERT_EQ(converted.size(), cableBytes);
        for (size_t i = 0; i < sum.size(); ++i) {
            sum[i] += static_cast<int16_t>(converted[2 * i] | converted[2 * i + 1] << 8);
        }
    }
    std::vector<UCHAR> mix;
    for (int32_t value : sum) {
        int32_t clamped = std::clamp(value, -32768, 32767);
        mix.push_back(static_cast<UCHAR>(clamped & 0xFF));
        mix.push_back(static_cast<UCHAR>((clamped >> 8) & 0xFF));
    }
    for (auto [format, client] : {std::pair{monoFormat, mono}, std::pair{wideFormat, wide}}) {
        conversion_test::ReferenceConverter fromCable(44100, 2, 2, format.Format.nSamplesPerSec,
                                                      format.Format.wBitsPerSample / 8, format.Format.nChannels);
        ULONG consumed = 0;
        std::vector<UCHAR> expected = fromCable.Convert(mix, bytesOf(format, Milliseconds), &consumed, nullptr);
        // The last output frames would interpolate towards mix beyond the model's end.
        ASSERT_GE(expected.size() + 2 * format.Format.nBlockAlign, bytesOf(format, Milliseconds));
        std::vector<host::ReapedBuffer> recorded = client->Reap();
        ASSERT_GE(recorded.size(), 1u) << format.Format.nSamplesPerSec;
        ASSERT_GE(recorded[0].data.size(), expected.size());
        auto mismatch = std::mismatch(expected.begin(), expected.end(), recorded[0].data.begin());
        EXPECT_TRUE(mismatch.first == expected.end())
            << format.Format.nSamplesPerSec << " Hz: first difference at byte " << (mismatch.first - expected.begin())
            << " of " << expected.size();
    }
    EXPECT_EQ(cable->RenderUnderflows, 0);
    EXPECT_EQ(cable->CaptureOverflows, 0);
}

TEST_F(StreamLoopbackTest, ARenderClientThatStopsSupplyingUnderflowsOncePerChunkAndKeepsMoving)
{
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = Open(false, format);
    std::vector<uint8_t> tenMs(1920, 0x11);
    ASSERT_EQ(render->Write(tenMs.data(), static_cast<ULONG>(tenMs.size())), STATUS_SUCCESS);
    Run(render);

    host::AdvanceTime(10 * Millisecond);
    EXPECT_EQ(cable->RenderUnderflows, 0);
    host::AdvanceTime(100 * Millisecond);

    // 5-ms passes, one chunk each, all dry after the first 10 ms.
    EXPECT_EQ(cable->RenderUnderflows, 20);
    KSAUDIO_POSITION position{};
    ASSERT_EQ(render->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position.PlayOffset, 110u * 192);
}

TEST_F(StreamLoopbackTest, AfterARefusedMappingTheStreamWaitsForTheNextBufferToArrive)
{
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = Open(false, format);
    host::WaveClient* capture = Open(true, format);
    Run(render);
    Run(capture);
    ASSERT_EQ(capture->Read(1920 * 20), STATUS_SUCCESS);

    // Nothing to play: the port refuses once and is not asked again while nothing arrives.
    host::AdvanceTime(50 * Millisecond);
    ULONG asked = render->Pin()->GetMappingCalls();
    EXPECT_GE(asked, 1u);
    host::AdvanceTime(50 * Millisecond);
    EXPECT_EQ(render->Pin()->GetMappingCalls(), asked);
    EXPECT_GT(cable->RenderUnderflows, 0);

    // The arrival is announced and the buffer plays from the next pass on, every byte of it.
    std::vector<uint8_t> tenMs(1920, 0x11);
    ASSERT_EQ(render->Write(tenMs.data(), static_cast<ULONG>(tenMs.size())), STATUS_SUCCESS);
    EXPECT_EQ(render->Pin()->MappingAvailableCalls(), 1u);
    host::AdvanceTime(100 * Millisecond);
    std::vector<host::ReapedBuffer> played = render->Reap();
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0].status, STATUS_SUCCESS);
    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    size_t loud = std::count(recorded[0].data.begin(), recorded[0].data.end(), 0x11);
    EXPECT_EQ(loud, tenMs.size());
}

TEST_F(StreamLoopbackTest, ACaptureClientThatStopsTakingBuffersOverflowsOncePerChunkAndKeepsMoving)
{
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* capture = Open(true, format);
    ASSERT_EQ(capture->Read(1920), STATUS_SUCCESS);
    Run(capture);

    // The 10-ms buffer is full after the third pass (capture delivers a pass late).
    host::AdvanceTime(15 * Millisecond);
    EXPECT_EQ(cable->CaptureOverflows, 0);
    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].data, std::vector<uint8_t>(1920, 0)) << "silence: nothing plays into the cable";
    host::AdvanceTime(5 * Millisecond);
    LONG before = cable->CaptureOverflows;
    host::AdvanceTime(100 * Millisecond);

    EXPECT_EQ(cable->CaptureOverflows - before, 20) << "one per 5-ms chunk";
    KSAUDIO_POSITION position{};
    ASSERT_EQ(capture->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position.PlayOffset, 120u * 192);
}

TEST_F(StreamLoopbackTest, APausedStreamContributesNothingAndItsPositionStandsStill)
{
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = Open(false, format);
    host::WaveClient* capture = Open(true, format);
    std::vector<uint8_t> loud(192 * 200, 0x22);
    ASSERT_EQ(render->Write(loud.data(), static_cast<ULONG>(loud.size())), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(192 * 50), STATUS_SUCCESS);
    ASSERT_EQ(render->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    Run(capture);

    host::AdvanceTime(55 * Millisecond);

    KSAUDIO_POSITION position{};
    ASSERT_EQ(render->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position.PlayOffset, 0u);
    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].data, std::vector<uint8_t>(192 * 50, 0));
    EXPECT_EQ(cable->RenderUnderflows, 0) << "a paused stream is not starved";
}

TEST_F(StreamLoopbackTest, WithoutARenderStreamAnEightBitCaptureRecordsSilence)
{
    host::WaveClient* capture = Open(true, host::WaveDataFormat(host::PcmWaveFormat(8000, 8, 1)));
    ASSERT_EQ(capture->Read(80), STATUS_SUCCESS);
    Run(capture);
    host::AdvanceTime(15 * Millisecond);
    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].data, std::vector<uint8_t>(80, 0x80));
}

TEST_F(StreamLoopbackTest, AStreamNeedingMoreThanSixteenPagesAPassNeitherUnderflowsNorOverflows)
{
    // 192 kHz, 8 channels of 32 bits, 20-ms period: 122880 bytes a pass, 30 pages.
    miniport->MsPerInterrupt = 20;
    WAVEFORMATEXTENSIBLE wide = host::PcmWaveFormatExtensible(192000, 32, 8, 0xFF, 32);
    host::WaveClient* render = Open(false, host::WaveDataFormat(wide));
    host::WaveClient* capture = Open(true, host::WaveDataFormat(wide));
    const ULONG second = 192000 * 32;
    const std::vector<uint8_t> played = RandomStreamBytes(second + second / 2, 31);
    ASSERT_EQ(render->Write(played.data(), static_cast<ULONG>(played.size())), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(second), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(second / 2), STATUS_SUCCESS);
    Run(render);
    Run(capture);

    host::AdvanceTime(1040 * Millisecond);

    EXPECT_EQ(cable->RenderUnderflows, 0);
    EXPECT_EQ(cable->CaptureOverflows, 0);
    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_GE(recorded.size(), 1u);
    EXPECT_TRUE(std::equal(recorded[0].data.begin(), recorded[0].data.end(), played.begin()));
}
