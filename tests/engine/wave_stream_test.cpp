// The stream object: format parsing, the KS state machine, watermarks, revocation, positions.
#include <cstring>

#include "core/driver_state.h"
#include "engine/wave_stream.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "support/stream_fixture.h"

namespace {

// A port stream that hands out 4096-byte mappings of its own memory on request.
class FakePortStream : public IPortWavePciStream {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP_(NTSTATUS) GetMapping(PVOID tag, PPHYSICAL_ADDRESS, PVOID* virtualAddress, PULONG byteCount,
                                       PULONG flags) override
    {
        tags.push_back(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(tag)));
        *virtualAddress = memory;
        *byteCount = sizeof(memory);
        *flags = 0;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) ReleaseMapping(PVOID) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) TerminatePacket() override { return STATUS_NOT_IMPLEMENTED; }

    ULONG references = 0;
    std::vector<ULONG> tags;
    UCHAR memory[4096] = {};
};

class WaveStreamTest : public StreamTest {
protected:
    // A stream made directly on the miniport, outside any port: for states the port never asks for.
    WaveStream* DirectStream(BOOLEAN capture)
    {
        WaveStream* stream = WaveStream::Create(nullptr, miniport, &portStream, 0, capture);
        EXPECT_NE(stream, nullptr);
        return stream;
    }

    std::vector<uint8_t> WaveFormatBytes(WORD tag, WORD cbSize, WORD bits, WORD validBits, const GUID& subFormat)
    {
        WAVEFORMATEXTENSIBLE format = host::PcmWaveFormatExtensible(48000, bits, 2, 0x3, validBits);
        format.Format.wFormatTag = tag;
        format.Format.cbSize = cbSize;
        format.SubFormat = subFormat;
        return host::WaveDataFormat(&format, cbSize == 0 ? sizeof(WAVEFORMATEX) : sizeof(WAVEFORMATEXTENSIBLE));
    }

    FakePortStream portStream;
};

}  // namespace

TEST_F(WaveStreamTest, FormatParseFollowsCbSizeAndTag)
{
    struct Case {
        const char* name;
        WORD tag;
        WORD cbSize;
        WORD bits;
        WORD validBits;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"plain PCM", WAVE_FORMAT_PCM, 0, 16, 16, STATUS_SUCCESS},
        {"cbSize 0 with the float tag", WAVE_FORMAT_IEEE_FLOAT, 0, 16, 16, STATUS_INVALID_PARAMETER},
        {"cbSize 2", WAVE_FORMAT_PCM, 2, 16, 16, STATUS_INVALID_PARAMETER},
        {"cbSize 22, any tag, PCM subformat", 0x1234, 22, 16, 16, STATUS_SUCCESS},
        {"cbSize 22 with no valid bits", WAVE_FORMAT_EXTENSIBLE, 22, 16, 0, STATUS_INVALID_PARAMETER},
        {"24 valid bits in a 32-bit container", WAVE_FORMAT_EXTENSIBLE, 22, 32, 24, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = WaveFormatBytes(c.tag, c.cbSize, c.bits, c.validBits, KSDATAFORMAT_SUBTYPE_PCM);
        WAVEFORMATEXTENSIBLE parsed{};
        NTSTATUS status = ParseDataFormat(reinterpret_cast<const KSDATAFORMAT*>(bytes.data()), &parsed);
        EXPECT_EQ(status, c.expected) << c.name;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(parsed.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE) << c.name;
            EXPECT_EQ(parsed.Format.cbSize, 22) << c.name;
            EXPECT_EQ(miniport->ValidateFormat(&parsed), STATUS_SUCCESS) << c.name;
        }
    }
    std::vector<uint8_t> floatSub = WaveFormatBytes(WAVE_FORMAT_EXTENSIBLE, 22, 32, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    WAVEFORMATEXTENSIBLE parsed{};
    EXPECT_EQ(ParseDataFormat(reinterpret_cast<const KSDATAFORMAT*>(floatSub.data()), &parsed),
              STATUS_INVALID_PARAMETER);
}

TEST_F(WaveStreamTest, AnExtensibleFormatCutShortOfItsExtensionIsRefused)
{
    std::vector<uint8_t> bytes = WaveFormatBytes(WAVE_FORMAT_EXTENSIBLE, 22, 16, 16, KSDATAFORMAT_SUBTYPE_PCM);
    auto* header = reinterpret_cast<KSDATAFORMAT*>(bytes.data());
    header->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);  // claims only the WAVEFORMATEX
    WAVEFORMATEXTENSIBLE parsed{};
    EXPECT_EQ(ParseDataFormat(header, &parsed), STATUS_INVALID_PARAMETER);
}

TEST_F(WaveStreamTest, AnUnknownStateIsRefused)
{
    host::WaveClient* client = Open(false, host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2)));
    EXPECT_EQ(client->Pin()->MiniportStream()->SetState(static_cast<KSSTATE>(4)), STATUS_INVALID_PARAMETER);
}

TEST_F(WaveStreamTest, WatermarksFollowTheFormatOrTheDefaultsWithout)
{
    host::WaveClient* client = Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    auto* stream = static_cast<WaveStream*>(client->Pin()->MiniportStream());
    EXPECT_EQ(stream->LowWatermark, 8820u);
    EXPECT_EQ(stream->HighWatermark, 176400u);

    WaveStream* bare = DirectStream(FALSE);
    EXPECT_EQ(bare->LowWatermark, 4096u);
    EXPECT_EQ(bare->HighWatermark, 32768u);
    bare->Release();
}

TEST_F(WaveStreamTest, RunWithoutAFormatIsRefused)
{
    WaveStream* bare = DirectStream(FALSE);
    EXPECT_EQ(bare->SetState(KSSTATE_ACQUIRE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bare->State, KSSTATE_STOP);
    EXPECT_EQ(bare->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(bare->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bare->State, KSSTATE_PAUSE);
    bare->Release();
    EXPECT_EQ(portStream.references, 0u);
}

TEST_F(WaveStreamTest, SetFormatIsRefusedWhileRunningAndRestartsStreamingInPause)
{
    host::WaveClient* client = Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    Run(client);
    auto newFormat = host::WaveDataFormat(host::PcmWaveFormat(22050, 8, 1));
    EXPECT_EQ(client->SetFormat(newFormat), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(miniport->CableFormat.Format.nSamplesPerSec, 44100u);

    ASSERT_EQ(client->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(client->SetFormat(newFormat), STATUS_SUCCESS);

    // The only stream gave the engine back and took it again: the cable format follows it.
    EXPECT_EQ(miniport->CableFormat.Format.nSamplesPerSec, 22050u);
    EXPECT_EQ(miniport->CableFormat.Format.nChannels, 1);
    EXPECT_EQ(miniport->EngineUsers, 1u);
    EXPECT_EQ(miniport->TimerUsers, 1);
    EXPECT_EQ(client->SetState(KSSTATE_RUN), STATUS_SUCCESS);
}

TEST_F(WaveStreamTest, AFormatOutsideTheLimitsKeepsThePreviousFormat)
{
    host::WaveClient* client = Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    miniport->MaxSampleRate = 48000;
    EXPECT_EQ(client->SetFormat(host::WaveDataFormat(host::PcmWaveFormat(96000, 16, 2))), STATUS_INVALID_PARAMETER);
    auto* stream = static_cast<WaveStream*>(client->Pin()->MiniportStream());
    EXPECT_EQ(stream->Format.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(stream->LowWatermark, 8820u);
}

TEST_F(WaveStreamTest, DestroyingARunningStreamReleasesTheEngineAndTheTimer)
{
    WaveStream* stream = DirectStream(FALSE);
    WAVEFORMATEXTENSIBLE format = host::PcmWaveFormatExtensible(48000, 16, 2, 0x3, 16);
    PDMACHANNEL dma = nullptr;
    ASSERT_EQ(stream->Init(&format, &dma), STATUS_SUCCESS);
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
        ASSERT_EQ(stream->SetState(state), STATUS_SUCCESS);
    }
    ASSERT_EQ(miniport->EngineUsers, 1u);

    stream->Release();

    EXPECT_EQ(miniport->EngineUsers, 0u);
    EXPECT_EQ(miniport->TimerUsers, 0);
    EXPECT_EQ(miniport->MixBuffer, nullptr);
    EXPECT_EQ(miniport->CableFormat.Format.wFormatTag, 0);
    EXPECT_EQ(adapter->LiveStreams, 0);
}

TEST_F(WaveStreamTest, RevokeMappingsCountsAnInclusiveRangeThatWrapsThroughZero)
{
    WaveStream* stream = DirectStream(FALSE);
    WAVEFORMATEXTENSIBLE format = host::PcmWaveFormatExtensible(48000, 16, 2, 0x3, 16);
    PDMACHANNEL dma = nullptr;
    ASSERT_EQ(stream->Init(&format, &dma), STATUS_SUCCESS);
    stream->NextTag = 0xFFFFFFFD;
    // Below the low watermark it takes mappings until the high watermark or 16 are pending.
    ASSERT_EQ(stream->GetMappings(), 16u);
    ASSERT_EQ(portStream.tags.size(), 16u);
    EXPECT_EQ(portStream.tags[0], 0xFFFFFFFDu);
    EXPECT_EQ(portStream.tags[3], 0u);

    ULONG revoked = 99;
    EXPECT_EQ(stream->RevokeMappings(reinterpret_cast<PVOID>(0xFFFFFFFEull), reinterpret_cast<PVOID>(1ull), &revoked),
              STATUS_SUCCESS);
    EXPECT_EQ(revoked, 4u);
    EXPECT_EQ(stream->RevokeMappings(reinterpret_cast<PVOID>(7ull), reinterpret_cast<PVOID>(7ull), &revoked),
              STATUS_SUCCESS);
    EXPECT_EQ(revoked, 1u) << "equal tags: one mapping";
    EXPECT_EQ(stream->RevokeMappings(reinterpret_cast<PVOID>(7ull), reinterpret_cast<PVOID>(7ull), &revoked),
              STATUS_SUCCESS);
    EXPECT_EQ(revoked, 0u) << "tag 7 is no longer pending";
    EXPECT_EQ(stream->PendingBytes, 11u * 4096);
    stream->Release();
}

TEST_F(WaveStreamTest, PositionsNormaliseToHundredNanosecondUnits)
{
    host::WaveClient* client = Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    LONGLONG position = 176400;
    EXPECT_EQ(client->Pin()->MiniportStream()->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 10000000);
    const KSALLOCATOR_FRAMING& framing = client->AllocatorFraming();
    EXPECT_EQ(framing.RequirementsFlags, 0x80000002u);
    EXPECT_EQ(framing.Frames, 8u);
    EXPECT_EQ(framing.FrameSize, 662u * 4);
    EXPECT_EQ(framing.FileAlignment, 3u);
}

TEST_F(WaveStreamTest, TheFirstStreamAsksForHalfThePeriodAsTimerResolution)
{
    // As DriverEntry leaves it: earlier tests in this program may have asked already.
    Driver.TimerResolutionUs = 0;
    host::TakeTimerResolutionCalls();
    Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    Open(true, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    auto calls = host::TakeTimerResolutionCalls();
    ASSERT_EQ(calls.size(), 1u) << "only the cable's first stream asks";
    EXPECT_EQ(calls[0].desiredTime, 25000u) << "2500 us: half the 5-ms period";
    EXPECT_EQ(calls[0].set, TRUE);
    EXPECT_EQ(Driver.TimerResolutionUs, 2500u);
}
