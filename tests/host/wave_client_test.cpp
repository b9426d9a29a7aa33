// The client side of a wave pin: what an application hands the port when it creates a stream,
// and the buffers it submits and reaps, seen through the fake miniport.
#include <cstring>
#include <numeric>

#include "port_test_fixture.h"

namespace {

class WaveClientTest : public PortTest {
protected:
    void TearDown() override
    {
        client.reset();
        PortTest::TearDown();
    }

    void Open(bool capture, const std::vector<uint8_t>& format, POOL_TYPE poolType = NonPagedPool,
              bool discardContents = false)
    {
        host::WaveClientOptions options;
        options.discardContents = discardContents;
        options.pinId = capture ? 1 : 0;
        options.capture = capture;
        options.dataFormat = format;
        options.poolType = poolType;
        ASSERT_EQ(host::WaveClient::Open(port, options, &client), STATUS_SUCCESS);
        stream = miniport->lastStream;
    }

    // The bytes of every mapping the fake holds, in order.
    std::vector<uint8_t> HeldBytes() const
    {
        std::vector<uint8_t> bytes;
        for (const fake::HeldMapping& m : stream->held) {
            bytes.insert(bytes.end(), m.data, m.data + m.bytes);
        }
        return bytes;
    }

    std::unique_ptr<host::WaveClient> client;
};

std::vector<uint8_t> Pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

}  // namespace

TEST_F(WaveClientTest, NewStreamGetsTheFormatPackedAfterTheKsDataFormatWithPinDirectionAndPool)
{
    Open(true, host::WaveDataFormat(host::PcmWaveFormat(48000, 24, 2)), PagedPool);

    ASSERT_EQ(miniport->newStreams.size(), 1u);
    const fake::NewStreamCall& call = miniport->newStreams[0];
    EXPECT_EQ(call.pin, 1u);
    EXPECT_EQ(call.capture, TRUE);
    EXPECT_EQ(call.poolType, PagedPool);
    EXPECT_FALSE(call.outerUnknownGiven);
    ASSERT_EQ(call.dataFormat.size(), 82u);
    KSDATAFORMAT header;
    std::memcpy(&header, call.dataFormat.data(), sizeof(header));
    EXPECT_EQ(header.FormatSize, 82u);
    EXPECT_TRUE(header.MajorFormat == KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_TRUE(header.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_TRUE(header.Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    WAVEFORMATEX wave;
    std::memcpy(&wave, call.dataFormat.data() + 64, sizeof(wave));
    EXPECT_EQ(wave.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(wave.nSamplesPerSec, 48000u);
    EXPECT_EQ(wave.wBitsPerSample, 24);
    EXPECT_EQ(wave.nChannels, 2);
    EXPECT_EQ(wave.nBlockAlign, 6);
    EXPECT_EQ(wave.nAvgBytesPerSec, 288000u);
    EXPECT_EQ(wave.cbSize, 0);
}

TEST_F(WaveClientTest, AnExtensibleFormatTakesFortyBytesAfterTheKsDataFormat)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormatExtensible(44100, 32, 6, 0x3F, 24)));

    const std::vector<uint8_t>& bytes = miniport->newStreams[0].dataFormat;
    ASSERT_EQ(bytes.size(), 104u);
    WAVEFORMATEXTENSIBLE wave;
    std::memcpy(&wave, bytes.data() + 64, sizeof(wave));
    EXPECT_EQ(wave.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(wave.Format.cbSize, 22);
    EXPECT_EQ(wave.Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(wave.dwChannelMask, 0x3Fu);
    EXPECT_EQ(wave.Format.nBlockAlign, 24);
    EXPECT_TRUE(wave.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);
}

TEST_F(WaveClientTest, SetUpAsksTheAllocatorFramingOnceAndJoinsTheStreamsGroup)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));

    EXPECT_EQ(stream->framingCalls, 1);
    EXPECT_EQ(client->AllocatorFraming().Frames, 8u);
    EXPECT_EQ(client->AllocatorFraming().FrameSize, 2648u);
    EXPECT_EQ(client->Pin()->DmaChannel(), fake::UntouchableDmaChannel());
    EXPECT_EQ(client->Pin()->StreamServiceGroup(), miniport->streamGroup);
}

TEST_F(WaveClientTest, AFailedNewStreamFailsTheOpenWithItsStatus)
{
    miniport->newStreamStatus = STATUS_INVALID_PARAMETER;
    host::WaveClientOptions options;
    options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2));
    EXPECT_EQ(host::WaveClient::Open(port, options, &client), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client, nullptr);
}

TEST_F(WaveClientTest, AFormatShorterThanItsFormatSizeIsRefusedBeforeThePort)
{
    host::WaveClientOptions options;
    options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2));
    options.dataFormat.resize(70);
    EXPECT_EQ(host::WaveClient::Open(port, options, &client), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(miniport->newStreams.empty());
}

TEST_F(WaveClientTest, RenderBuffersOfAnySizeReachTheMiniportInOrderAndComeBackWithTheirData)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    const ULONG sizes[] = {1, 4095, 4096, 10000, 3, 7};
    std::vector<uint8_t> all;
    for (size_t i = 0; i < std::size(sizes); ++i) {
        std::vector<uint8_t> data = Pattern(sizes[i], static_cast<uint8_t>(i * 31));
        ASSERT_EQ(client->Write(data.data(), sizes[i]), STATUS_SUCCESS);
        all.insert(all.end(), data.begin(), data.end());
    }
    EXPECT_EQ(client->InFlight(), std::size(sizes));

    stream->AcquireAll();
    EXPECT_EQ(HeldBytes(), all);
    stream->ReleaseAll();

    std::vector<host::ReapedBuffer> reaped = client->Reap();
    ASSERT_EQ(reaped.size(), std::size(sizes));
    size_t offset = 0;
    for (size_t i = 0; i < reaped.size(); ++i) {
        EXPECT_EQ(reaped[i].status, STATUS_SUCCESS);
        EXPECT_EQ(reaped[i].bytes, sizes[i]);
        EXPECT_EQ(reaped[i].data, std::vector<uint8_t>(all.begin() + offset, all.begin() + offset + sizes[i]));
        offset += sizes[i];
    }
    EXPECT_EQ(client->InFlight(), 0u);
    EXPECT_TRUE(client->Reap().empty());
}

TEST_F(WaveClientTest, ReapDiscardingCountsAndForgetsOnlyTheCompletedBuffers)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    std::vector<uint8_t> data = Pattern(5000, 3);
    ASSERT_EQ(client->Write(data.data(), 5000), STATUS_SUCCESS);
    ASSERT_EQ(client->Write(data.data(), 10), STATUS_SUCCESS);
    ASSERT_EQ(client->Write(data.data(), 4000), STATUS_SUCCESS);
    stream->AcquireAll();
    EXPECT_EQ(client->ReapDiscarding(), 0u);  // held by the miniport, not completed yet

    stream->ReleaseAll();
    ASSERT_EQ(client->Write(data.data(), 700), STATUS_SUCCESS);

    EXPECT_EQ(client->ReapDiscarding(), 3u);
    EXPECT_EQ(client->InFlight(), 1u);
    EXPECT_TRUE(client->Reap().empty());
    EXPECT_EQ(client->ReapDiscarding(), 0u);
}

TEST_F(WaveClientTest, BuffersStartAtTheTableOfPageOffsetsInTurn)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    const ULONG expected[] = {0, 1000, 4095, 6, 2048, 3001, 0};
    for (size_t i = 0; i < std::size(expected); ++i) {
        uint8_t byte = 0;
        ASSERT_EQ(client->Write(&byte, 1), STATUS_SUCCESS);
    }
    stream->AcquireAll();
    ASSERT_EQ(stream->held.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(stream->held[i].data) % 4096, expected[i]) << "buffer " << i;
    }

    client->SetBufferPageOffsets({12});
    uint8_t byte = 0;
    ASSERT_EQ(client->Write(&byte, 1), STATUS_SUCCESS);
    stream->AcquireAll();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(stream->held.back().data) % 4096, 12u);
}

TEST_F(WaveClientTest, SlottedBuffersLieEndToEndAndReuseTheSlotsOfReapedBuffers)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    ASSERT_EQ(client->UseBufferSlots(3, 1000), STATUS_SUCCESS);
    std::vector<uint8_t> data = Pattern(1200, 5);
    ASSERT_EQ(client->Write(data.data(), 1000), STATUS_SUCCESS);
    ASSERT_EQ(client->Write(data.data(), 960), STATUS_SUCCESS);
    ASSERT_EQ(client->Write(data.data(), 1200), STATUS_SUCCESS);  // larger than a slot: pages of its own
    ASSERT_EQ(client->Write(data.data(), 10), STATUS_SUCCESS);
    EXPECT_EQ(client->UseBufferSlots(2, 100), STATUS_INVALID_DEVICE_STATE);  // buffers in flight
    stream->AcquireAll();
    ASSERT_GE(stream->held.size(), 4u);
    const uint8_t* first = stream->held[0].data;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 4096, 0u);
    // 1000 | 960 | 1200 at the next page offset of the table (the first is 0) | 10 in the last slot.
    EXPECT_EQ(stream->held[1].data, first + 1000);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(stream->held[2].data) % 4096, 0u);
    EXPECT_NE(stream->held[2].data, first + 2000);
    EXPECT_EQ(stream->held.back().data, first + 2000);
    EXPECT_EQ(HeldBytes(), [&] {
        std::vector<uint8_t> expected(data.begin(), data.begin() + 1000);
        expected.insert(expected.end(), data.begin(), data.begin() + 960);
        expected.insert(expected.end(), data.begin(), data.end());
        expected.insert(expected.end(), data.begin(), data.begin() + 10);
        return expected;
    }());

    // Every slot is taken until a buffer in one is reaped: then it is the one used next.
    ASSERT_EQ(client->Write(data.data(), 20), STATUS_SUCCESS);
    stream->AcquireAll();
    EXPECT_NE(stream->held.back().data, first);
    stream->ReleaseOldest();  // the first buffer, in slot 0
    EXPECT_EQ(client->ReapDiscarding(), 1u);
    ASSERT_EQ(client->Write(data.data(), 30), STATUS_SUCCESS);
    stream->AcquireAll();
    EXPECT_EQ(stream->held.back().data, first);
    EXPECT_EQ(std::vector<uint8_t>(first, first + 30), std::vector<uint8_t>(data.begin(), data.begin() + 30));
}

TEST_F(WaveClientTest, CaptureBuffersStartUnfilledAndReturnWhatTheMiniportWrote)
{
    Open(true, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    client->SetBufferPageOffsets({4000});
    ASSERT_EQ(client->Read(5000), STATUS_SUCCESS);
    ASSERT_EQ(client->Read(300), STATUS_SUCCESS);
    stream->AcquireAll();
    ASSERT_EQ(stream->held.size(), 5u);  // 96 + 4096 + 808 | 96 + 204
    EXPECT_EQ(stream->held[0].data[0], host::UnfilledCaptureByte);
    std::vector<uint8_t> recorded = Pattern(5000, 9);
    size_t offset = 0;
    for (size_t i = 0; i < 3; ++i) {
        std::memcpy(stream->held[i].data, recorded.data() + offset, stream->held[i].bytes);
        offset += stream->held[i].bytes;
    }
    stream->ReleaseOldest();
    stream->ReleaseOldest();
    stream->ReleaseOldest();

    std::vector<host::ReapedBuffer> reaped = client->Reap();
    ASSERT_EQ(reaped.size(), 1u);
    EXPECT_EQ(reaped[0].status, STATUS_SUCCESS);
    EXPECT_EQ(reaped[0].bytes, 5000u);
    EXPECT_EQ(reaped[0].data, recorded);
    EXPECT_EQ(client->InFlight(), 1u);
}

TEST_F(WaveClientTest, ADiscardingClientReapsWithoutContentsAndStillPoisonsCompletedMemory)
{
    Open(true, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)), NonPagedPool, true);
    ASSERT_EQ(client->Read(300), STATUS_SUCCESS);
    stream->AcquireAll();
    ASSERT_EQ(stream->held.size(), 1u);
    uint8_t* memory = stream->held[0].data;
    stream->ReleaseOldest();
    std::vector<host::ReapedBuffer> reaped = client->Reap();
    ASSERT_EQ(reaped.size(), 1u);
    EXPECT_EQ(reaped[0].bytes, 300u);
    EXPECT_TRUE(reaped[0].data.empty());
    EXPECT_EQ(memory[0], host::CompletedBufferPoison);
    EXPECT_EQ(memory[299], host::CompletedBufferPoison);
}

TEST_F(WaveClientTest, StoppingCancelsQueuedBuffersWhichAreReapedAsCancelled)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    ASSERT_EQ(client->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<uint8_t> data = Pattern(6000, 1);
    ASSERT_EQ(client->Write(data.data(), 6000), STATUS_SUCCESS);
    ASSERT_EQ(client->Write(data.data(), 100), STATUS_SUCCESS);
    stream->Acquire();

    ASSERT_EQ(client->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    std::vector<host::ReapedBuffer> reaped = client->Reap();
    ASSERT_EQ(reaped.size(), 2u);
    EXPECT_EQ(reaped[0].status, STATUS_CANCELLED);
    EXPECT_EQ(reaped[0].bytes, 0u);
    EXPECT_EQ(reaped[1].status, STATUS_CANCELLED);
    EXPECT_EQ(stream->revokes.size(), 1u);
    EXPECT_EQ(client->State(), KSSTATE_STOP);
}

TEST_F(WaveClientTest, ACancelledBufferIsRevokedAndReapedAsCancelled)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    std::vector<uint8_t> data = Pattern(100, 1);
    uint64_t id = 0;
    ASSERT_EQ(client->Write(data.data(), 100, &id), STATUS_SUCCESS);
    stream->Acquire();

    EXPECT_EQ(client->Cancel(id), STATUS_SUCCESS);
    EXPECT_EQ(stream->revokes.size(), 1u);
    std::vector<host::ReapedBuffer> reaped = client->Reap();
    ASSERT_EQ(reaped.size(), 1u);
    EXPECT_EQ(reaped[0].id, id);
    EXPECT_EQ(reaped[0].status, STATUS_CANCELLED);
    EXPECT_EQ(client->Cancel(id), STATUS_NOT_FOUND);
}

TEST_F(WaveClientTest, ClosingARunningClientStepsItsStreamDownAndReleasesIt)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    ASSERT_EQ(client->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    stream->states.clear();

    client.reset();

    EXPECT_EQ(stream->states, (std::vector<KSSTATE>{KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
    EXPECT_EQ(stream->references.load(), 1);
}

TEST_F(WaveClientTest, ADirectionMismatchOrAnEmptyBufferIsRefused)
{
    Open(true, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    uint8_t byte = 0;
    EXPECT_EQ(client->Write(&byte, 1), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(client->Read(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client->InFlight(), 0u);
}

TEST_F(WaveClientTest, SetFormatHandsTheNewFormatToTheStreamAndReportsItsAnswer)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    std::vector<uint8_t> format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 1));
    EXPECT_EQ(client->SetFormat(format), STATUS_SUCCESS);
    ASSERT_EQ(stream->formats.size(), 1u);
    EXPECT_EQ(stream->formats[0], format);

    stream->setFormatStatus = STATUS_INVALID_DEVICE_REQUEST;
    EXPECT_EQ(client->SetFormat(format), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(WaveClientTest, PositionReadsThePlayOffsetFromTheStream)
{
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    stream->position = 176400;
    KSAUDIO_POSITION position = {};
    ASSERT_EQ(client->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position.PlayOffset, 176400u);
    EXPECT_EQ(position.WriteOffset, 0u);
}
