// The stream object: format parsing, the KS state machine, watermarks, revocation, positions.
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "core/driver_state.h"
#include "engine/wave_stream.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "support/stream_fixture.h"

namespace {

// A port stream that hands out 4096-byte mappings of its own memory on request, or refuses with
// `refusal` while it is not STATUS_SUCCESS; it records the IRQL of every call and can run a hook
// (as the port's other threads would) between handing a mapping out and returning.
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
        callIrqls.push_back(KeGetCurrentIrql());
        if (refusal != STATUS_SUCCESS) {
            ++refused;
            return refusal;
        }
        tags.push_back(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(tag)));
        *virtualAddress = memory;
        *byteCount = sizeof(memory);
        *flags = 0;
        if (onMapping) {
            onMapping(tags.back());
        }
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) ReleaseMapping(PVOID tag) override
    {
        callIrqls.push_back(KeGetCurrentIrql());
        released.push_back(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(tag)));
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) TerminatePacket() override { return STATUS_NOT_IMPLEMENTED; }

    ULONG references = 0;
    NTSTATUS refusal = STATUS_SUCCESS;
    int refused = 0;
    std::vector<ULONG> tags;
    std::vector<ULONG> released;
    std::vector<KIRQL> callIrqls;
    std::function<void(ULONG)> onMapping;
    UCHAR memory[4096] = {};
};

// A DMA channel that only counts its references.
class CountingDmaChannel : public IDmaChannel {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG, PPHYSICAL_ADDRESS) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(void) FreeBuffer() override {}
    STDMETHODIMP_(ULONG) TransferCount() override { return 0; }
    STDMETHODIMP_(ULONG) MaximumBufferSize() override { return 0; }
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return 0; }
    STDMETHODIMP_(ULONG) BufferSize() override { return 0; }
    STDMETHODIMP_(void) SetBufferSize(ULONG) override {}
    STDMETHODIMP_(PVOID) SystemAddress() override { return nullptr; }
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override { return PHYSICAL_ADDRESS{}; }
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
    STDMETHODIMP_(void) CopyTo(PVOID, PVOID, ULONG) override {}
    STDMETHODIMP_(void) CopyFrom(PVOID, PVOID, ULONG) override {}

    LONG references = 0;
};

// An object aggregating a stream, as a port may: it counts the references the stream's delegating
// unknown passes to it.
class CountingOuter : public IUnknown {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }

    LONG references = 0;
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

    // A direct stream with a 48 kHz 16-bit stereo format, as NewStream's Init leaves it.
    WaveStream* StreamWithFormat(BOOLEAN capture)
    {
        WaveStream* stream = DirectStream(capture);
        WAVEFORMATEXTENSIBLE format = host::PcmWaveFormatExtensible(48000, 16, 2, 0x3, 16);
        PDMACHANNEL dma = nullptr;
        EXPECT_EQ(stream->Init(&format, &dma), STATUS_SUCCESS);
        return stream;
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

TEST_F(WaveStreamTest, PositionsNormaliseExactlyForEveryBlockAlignment)
{
    struct Row {
        ULONG rate;
        USHORT blockAlign;
        LONGLONG bytes;
        LONGLONG units;
    };
    const Row rows[] = {
        {44100, 4, 176400, 10000000},                   // a second of 16-bit stereo
        {44100, 6, 952560000, 36000000000},             // an hour of 24-bit stereo
        {44100, 6, 6, 227},                             // one frame: 226.76
        {44100, 6, 3, 113},                             // half a frame: 113.38
        {48000, 6, 6, 208},                             // 208.33
        {32000, 2, 2, 313},                             // 312.5 rounds up
        {8000, 1, 1, 1250},
        {192000, 32, 1592524800000, 2592000000000},     // three days of 8-channel 32-bit
        {192000, 32, 1592524800032, 2592000000052},     // and one frame more: 52.08
        {44100, 6, 0, 0},
    };
    WaveStream* stream = DirectStream(FALSE);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.rate) + " Hz, " + std::to_string(row.blockAlign) + "-byte frames, " +
                     std::to_string(row.bytes) + " bytes");
        // Only the frame size and the rate take part.
        stream->Format.Format.nSamplesPerSec = row.rate;
        stream->Format.Format.nBlockAlign = row.blockAlign;
        LONGLONG position = row.bytes;
        EXPECT_EQ(stream->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position, row.units);
    }
    stream->Release();
}

TEST_F(WaveStreamTest, NormalisedPositionsAreTheNearestHundredNanosecondsOverManyFormatsAndPositions)
{
    std::mt19937_64 random(20261210);
    std::uniform_int_distribution<ULONG> rates(1000, 768000);
    std::uniform_int_distribution<unsigned> blockAligns(1, 64);
    // Up to a week of the largest frames at the highest rate.
    std::uniform_int_distribution<LONGLONG> positions(0, 64LL * 768000 * 7 * 86400);
    WaveStream* stream = DirectStream(FALSE);
    for (int i = 0; i < 100000; ++i) {
        const ULONG rate = rates(random);
        const auto blockAlign = static_cast<USHORT>(blockAligns(random));
        const LONGLONG bytes = (i % 4 == 0) ? positions(random) % 100000 : positions(random);
        stream->Format.Format.nSamplesPerSec = rate;
        stream->Format.Format.nBlockAlign = blockAlign;
        LONGLONG position = bytes;
        ASSERT_EQ(stream->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
        const __int128 perSecond = static_cast<__int128>(rate) * blockAlign;
        const auto expected = static_cast<LONGLONG>((static_cast<__int128>(bytes) * 10000000 + perSecond / 2) / perSecond);
        ASSERT_EQ(position, expected) << bytes << " bytes at " << rate << " Hz in " << blockAlign << "-byte frames";
    }
    stream->Release();
}

TEST_F(WaveStreamTest, APositionWithoutAFormatIsRefusedRatherThanDividedByZero)
{
    WaveStream* stream = DirectStream(FALSE);
    LONGLONG position = 4096;
    EXPECT_EQ(stream->NormalizePhysicalPosition(&position), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(position, 4096);
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

// The engine a stream holds, modelled apart from the stream: it is taken on leaving KSSTATE_STOP
// (or at KSSTATE_RUN after a failed restart left none) and given back on reaching KSSTATE_STOP; a
// format change outside RUN gives it back and takes it again. Every pair of requests, each with
// and without its allocations failing, must leave the cable's counts, timer and pool exactly so.
TEST_F(WaveStreamTest, EveryPairOfStateAndFormatRequestsKeepsTheEngineCountsExact)
{
    enum Kind { ToStop, ToAcquire, ToPause, ToRun, GoodFormat, BadFormat };
    const char* names[] = {"STOP", "ACQUIRE", "PAUSE", "RUN", "format 44.1 kHz", "format 96 kHz"};
    auto good = host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2));
    auto bad = host::WaveDataFormat(host::PcmWaveFormat(96000, 16, 2));  // above the limit set below
    miniport->MaxSampleRate = 48000;

    struct Model {
        KSSTATE state = KSSTATE_STOP;
        bool held = false;
        // The status the request gets; changes the model as the stream must change.
        NTSTATUS Apply(Kind kind, bool allocationFails)
        {
            if (kind <= ToRun) {
                auto target = static_cast<KSSTATE>(kind);
                if (target == state) {
                    return STATUS_SUCCESS;
                }
                if (target == KSSTATE_STOP) {
                    held = false;
                } else if (!held && (state == KSSTATE_STOP || target == KSSTATE_RUN)) {
                    if (allocationFails) {
                        return STATUS_INSUFFICIENT_RESOURCES;
                    }
                    held = true;
                }
                state = target;
                return STATUS_SUCCESS;
            }
            if (state == KSSTATE_RUN) {
                return STATUS_INVALID_DEVICE_REQUEST;
            }
            NTSTATUS status = (kind == BadFormat) ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
            if (state != KSSTATE_STOP) {
                held = !allocationFails;
                if (allocationFails && status == STATUS_SUCCESS) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                }
            }
            return status;
        }
    };

    const size_t poolBefore = host::LivePoolCount();
    int cases = 0;
    for (int first = ToStop; first <= BadFormat; ++first) {
        for (int second = ToStop; second <= BadFormat; ++second) {
            // No failure, or the mix buffer's (first) or the conversion buffer's (second) allocation
            // failing in the first or the second request.
            for (int failing = 0; failing <= 4; ++failing) {
                WaveStream* stream = StreamWithFormat(FALSE);
                Model model;
                // A start from STOP reaches the target in one request: the stream survives any order.
                const int steps[] = {first, second};
                for (int step = 0; step < 2; ++step) {
                    auto kind = static_cast<Kind>(steps[step]);
                    bool fails = (failing + 1) / 2 == step + 1;
                    std::string what = std::string(names[first]) + " then " + names[second] + ", failing " +
                                       std::to_string(failing) + ", after step " + std::to_string(step + 1);
                    if (fails) {
                        host::FailNthAllocation(failing % 2 == 1 ? 1 : 2);
                    }
                    NTSTATUS status = (kind <= ToRun) ? stream->SetState(static_cast<KSSTATE>(kind))
                                                      : stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(
                                                            (kind == GoodFormat ? good : bad).data()));
                    host::ClearPoolFaults();
                    EXPECT_EQ(status, model.Apply(kind, fails)) << what;
                    EXPECT_EQ(stream->State, model.state) << what;
                    EXPECT_EQ(miniport->EngineUsers, model.held ? 1u : 0u) << what;
                    EXPECT_EQ(miniport->TimerUsers, model.held ? 1 : 0) << what;
                    EXPECT_EQ(host::QueuedTimerCount(), model.held ? 1u : 0u) << what;
                    EXPECT_EQ(miniport->MixBuffer != nullptr, model.held) << what;
                    EXPECT_EQ(stream->ConversionBuffer != nullptr, model.held) << what;
                }
                stream->Release();
                EXPECT_EQ(miniport->EngineUsers, 0u);
                EXPECT_EQ(miniport->TimerUsers, 0);
                EXPECT_EQ(host::QueuedTimerCount(), 0u);
                EXPECT_EQ(miniport->CableFormat.Format.wFormatTag, 0);
                EXPECT_EQ(adapter->LiveStreams, 0);
                ASSERT_EQ(host::LivePoolCount(), poolBefore) << names[first] << " then " << names[second];
                ++cases;
            }
        }
    }
    EXPECT_EQ(cases, 180);
}

// A client that only acquires and closes, as an audio engine probing a device does.
TEST_F(WaveStreamTest, AClientThatAcquiresAndClosesGivesTheEngineBack)
{
    host::WaveClient* client = Open(false, host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2)));
    ASSERT_EQ(client->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(miniport->EngineUsers, 1u);
    Close(client);
    EXPECT_EQ(miniport->EngineUsers, 0u);
    EXPECT_EQ(miniport->TimerUsers, 0);
    EXPECT_EQ(miniport->MixBuffer, nullptr);
    EXPECT_EQ(miniport->CableFormat.Format.wFormatTag, 0) << "no stale cable format binds the next client";
}

// A port may revoke a buffer while a refill is between the port's GetMapping and filing the
// mapping: the mapping is then counted as revoked and never used or released.
TEST_F(WaveStreamTest, AMappingRevokedWhileARefillFilesItIsCountedAndNeverUsed)
{
    WaveStream* stream = StreamWithFormat(FALSE);
    std::vector<ULONG> revokedCounts;
    portStream.onMapping = [&](ULONG tag) {
        if (tag == 2) {
            ULONG count = 0;
            PVOID tagPointer = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(tag));
            EXPECT_EQ(stream->RevokeMappings(tagPointer, tagPointer, &count), STATUS_SUCCESS);
            revokedCounts.push_back(count);
        }
    };
    ULONG obtained = stream->GetMappings();
    EXPECT_EQ(revokedCounts, std::vector<ULONG>{1});
    EXPECT_EQ(obtained, portStream.tags.size() - 1);
    EXPECT_EQ(stream->PendingBytes, obtained * 4096);
    ULONG remaining = 0;
    stream->RevokeMappings(reinterpret_cast<PVOID>(0ull), reinterpret_cast<PVOID>(0xFFFFFFFFull), &remaining);
    EXPECT_EQ(remaining, obtained) << "tag 2 is not among the mappings the stream holds";
    stream->Release();
}

// MappingAvailable may come from a client thread at PASSIVE_LEVEL; the port calls it makes are
// made at DISPATCH_LEVEL, where that thread cannot be preempted while it holds the refill claim.
TEST_F(WaveStreamTest, MappingAvailableAtPassiveLevelCallsThePortAtDispatchLevel)
{
    WaveStream* stream = StreamWithFormat(FALSE);
    ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    stream->MappingAvailable();
    ASSERT_FALSE(portStream.callIrqls.empty());
    for (KIRQL irql : portStream.callIrqls) {
        EXPECT_EQ(irql, DISPATCH_LEVEL);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    stream->Release();
}

// Only "no buffer queued" is followed by the port's MappingAvailable; after any other refusal the
// stream asks again at its next refill.
TEST_F(WaveStreamTest, ARefusalOtherThanNotFoundIsRetriedWithoutAnArrival)
{
    struct Case {
        NTSTATUS refusal;
        bool arrival;
        bool askedAgain;
    };
    const Case cases[] = {
        {STATUS_NOT_FOUND, false, false},
        {STATUS_NOT_FOUND, true, true},
        {STATUS_INSUFFICIENT_RESOURCES, false, true},
        {STATUS_UNSUCCESSFUL, false, true},
    };
    for (const Case& c : cases) {
        WaveStream* stream = StreamWithFormat(FALSE);
        portStream.refusal = c.refusal;
        EXPECT_EQ(stream->GetMappings(), 0u);
        portStream.refusal = STATUS_SUCCESS;
        portStream.tags.clear();
        if (c.arrival) {
            stream->MappingAvailable();
        } else {
            stream->GetMappings();
        }
        EXPECT_EQ(!portStream.tags.empty(), c.askedAgain) << std::hex << c.refusal << " arrival " << c.arrival;
        stream->Release();
    }
}

// The port never releases the channel NewStream hands it: the stream holds it while it lives.
TEST_F(WaveStreamTest, EachStreamHoldsTheCablesDmaChannelWhileItLives)
{
    CountingDmaChannel channel;
    PDMACHANNEL own = miniport->DmaChannel;  // the miniport's own, which its destructor releases
    miniport->DmaChannel = &channel;
    std::vector<host::WaveClient*> opened;
    for (int i = 0; i < 3; ++i) {
        opened.push_back(Open(i == 1, host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2))));
        EXPECT_EQ(channel.references, i + 1);
    }
    for (host::WaveClient* client : opened) {
        Close(client);
    }
    EXPECT_EQ(channel.references, 0);
    miniport->DmaChannel = own;
}

// Under aggregation the stream's delegating unknown reaches the aggregating object; the creation
// reference is the stream's own, so a failed creation leaves neither the object's count nor pool.
TEST_F(WaveStreamTest, AnAggregatedStreamKeepsItsCreationReferenceOffTheAggregate)
{
    CountingOuter outer;
    miniport->MaxSampleRate = 48000;
    const size_t poolBefore = host::LivePoolCount();
    struct Case {
        ULONG rate;
        NTSTATUS expected;
    };
    for (const Case& c : {Case{96000, STATUS_INVALID_PARAMETER}, Case{48000, STATUS_SUCCESS}}) {
        auto dataFormat = host::WaveDataFormat(host::PcmWaveFormat(c.rate, 16, 2));
        PMINIPORTWAVEPCISTREAM stream = nullptr;
        PDMACHANNEL dma = nullptr;
        PSERVICEGROUP group = nullptr;
        NTSTATUS status = miniport->NewStream(&stream, &outer, NonPagedPool, &portStream, 0, FALSE,
                                              reinterpret_cast<PKSDATAFORMAT>(dataFormat.data()), &dma, &group);
        ASSERT_EQ(status, c.expected) << c.rate;
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(outer.references, 1) << "the caller's reference goes to the aggregate";
            stream->AddRef();
            EXPECT_EQ(outer.references, 2);
            stream->Release();
            stream->Release();
            EXPECT_EQ(outer.references, 0);
            EXPECT_EQ(adapter->LiveStreams, 1) << "the aggregate's hold keeps the stream";
            // The aggregate ends its hold through the stream's non-delegating unknown.
            static_cast<WaveStream*>(stream)->NonDelegatingRelease();
            group->Release();
        } else {
            EXPECT_EQ(outer.references, 0) << c.rate;
        }
        EXPECT_EQ(adapter->LiveStreams, 0) << c.rate;
        EXPECT_EQ(host::LivePoolCount(), poolBefore) << c.rate;
    }
}

// PortCls may hold the miniport, with running streams and the armed timer, past the cable's
// removal: the cable's locks and counters stay valid until the last of them goes.
TEST_F(WaveStreamTest, StreamsRunOnSafelyAfterTheirCableIsRemoved)
{
    auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    host::WaveClient* render = Open(false, format);
    host::WaveClient* capture = Open(true, format);
    std::vector<uint8_t> tone(48000 * 4, 0x11);
    ASSERT_EQ(render->Write(tone.data(), static_cast<ULONG>(tone.size())), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(9600), STATUS_SUCCESS);
    Run(render);
    Run(capture);
    host::AdvanceTime(10 * Millisecond);

    adapter->DestroyAllCables();
    host::AdvanceTime(50 * Millisecond);

    std::vector<host::ReapedBuffer> recorded = capture->Reap();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].data, std::vector<uint8_t>(9600, 0x11)) << "the mix went on after the removal";
    Close(render);
    Close(capture);
    EXPECT_EQ(miniport->TimerUsers, 0);
    EXPECT_EQ(host::QueuedTimerCount(), 0u);
}
