// The wave filter as its port sees it: the data-range intersection under each limiting mode and
// buffer size, the settings' setters, the pins' per-cable instance limits, the format proposal,
// and Init under every allocation failure.
#include <cstring>
#include <vector>

#include "engine/audio_format.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "host/ks_client.h"
#include "support/platform_fixture.h"
#include "support/recording_port.h"

namespace {

const GUID OtherGuid = {0x0badf00d, 0x1234, 0x5678, {0x9a, 0xbc, 0xde, 0xf0, 0x12, 0x34, 0x56, 0x78}};
constexpr uint8_t Guard = 0xCD;

class WaveFilterTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        adapter = Adapter::Create();
        ASSERT_NE(adapter, nullptr);
    }
    void TearDown() override
    {
        adapter->DestroyAllCables();
        adapter->Release();
        EXPECT_EQ(host::LivePoolCount(), 0u) << "every filter object returned its pool";
        PlatformTest::TearDown();
    }

    // Cable `index` with its wave miniport, not yet initialised.
    WaveMiniport* AddCable(ULONG index, ULONG maxInstances = 20)
    {
        Cable* cable = Cable::Create(index, adapter);
        EXPECT_NE(cable, nullptr);
        cable->MaxInstances = maxInstances;
        WaveMiniport* miniport = WaveMiniport::Create(cable);
        EXPECT_NE(miniport, nullptr);
        cable->AttachWaveMiniport(miniport);
        adapter->AddCable(cable);
        return miniport;
    }

    WaveMiniport* InitCable(ULONG index, ULONG maxInstances = 20)
    {
        WaveMiniport* miniport = AddCable(index, maxInstances);
        PSERVICEGROUP group = nullptr;
        EXPECT_EQ(miniport->Init(nullptr, nullptr, &port, &group), STATUS_SUCCESS);
        EXPECT_EQ(group, nullptr) << "the streams, not the port, get the service group";
        return miniport;
    }

    Adapter* adapter = nullptr;
    RecordingPort port;
};

// A client's range, its bounds in the order the cases below give them: rates, bits, channels.
KSDATARANGE_AUDIO ClientRange(ULONG minRate, ULONG maxRate, ULONG minBits, ULONG maxBits, ULONG maxChannels,
                              const GUID& specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)
{
    KSDATARANGE_AUDIO range = host::PcmDataRange(maxChannels, minBits, maxBits, minRate, maxRate);
    range.DataRange.Specifier = specifier;
    return range;
}

struct Proposal {
    ULONG rate, bits, channels, blockAlign, mask;
};

}  // namespace

TEST_F(WaveFilterTest, IntersectionProposesTheHighestFormatBothSidesAllow)
{
    const FormatLimits narrow = {44100, 48000, 16, 16, 2, 2};
    const KSDATARANGE_AUDIO wide = ClientRange(8000, 96000, 8, 24, 8);
    const WAVEFORMATEXTENSIBLE cd = [] {
        WAVEFORMATEXTENSIBLE format;
        BuildExtensibleFormat(&format, 44100, 16, 2, 0, UseDefaultChannelMask);
        return format;
    }();
    struct Case {
        const char* name;
        LONG limiting;
        bool cableFormat;
        KSDATARANGE_AUDIO client;
        ULONG bufferBytes;
        NTSTATUS status;
        Proposal expected;
    };
    const Case cases[] = {
        {"no limiting offers the absolute limits", 0, false, ClientRange(8000, 192000, 8, 32, 8), 104, STATUS_SUCCESS,
         {192000, 32, 8, 32, 0xFF}},
        {"the configured range", 1, false, wide, 104, STATUS_SUCCESS, {48000, 16, 2, 4, 0x3}},
        {"a client below the configured rates", 1, false, ClientRange(8000, 22050, 8, 24, 8), 104, STATUS_NO_MATCH, {}},
        {"a client above the configured rates", 1, false, ClientRange(96000, 192000, 8, 24, 8), 104, STATUS_NO_MATCH, {}},
        {"a client below the configured bits", 1, false, ClientRange(8000, 96000, 8, 8, 8), 104, STATUS_NO_MATCH, {}},
        {"a client above the configured bits", 1, false, ClientRange(8000, 96000, 24, 32, 8), 104, STATUS_NO_MATCH, {}},
        {"a client with too few channels", 1, false, ClientRange(8000, 96000, 8, 24, 1), 104, STATUS_NO_MATCH, {}},
        {"exactly the cable format", 2, true, wide, 104, STATUS_SUCCESS, {44100, 16, 2, 4, 0x3}},
        {"the configured range before a cable format", 2, false, wide, 104, STATUS_SUCCESS, {48000, 16, 2, 4, 0x3}},
        {"a DirectSound client", 1, false, ClientRange(8000, 96000, 8, 24, 8, KSDATAFORMAT_SPECIFIER_DSOUND), 104,
         STATUS_SUCCESS, {48000, 16, 2, 4, 0x3}},
        {"a larger buffer", 1, false, wide, 200, STATUS_SUCCESS, {48000, 16, 2, 4, 0x3}},
        {"one byte short", 1, false, wide, 103, STATUS_BUFFER_TOO_SMALL, {}},
        {"a size query", 1, false, wide, 0, STATUS_BUFFER_OVERFLOW, {}},
    };
    WaveMiniport* miniport = InitCable(0);
    ASSERT_EQ(miniport->ApplyFormatRanges(&narrow), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(miniport->ApplyFormatLimiting(c.limiting), STATUS_SUCCESS);
        if (c.cableFormat) {
            miniport->CableFormat = cd;
        } else {
            RtlZeroMemory(&miniport->CableFormat, sizeof(miniport->CableFormat));
        }
        std::vector<uint8_t> output(c.bufferBytes + 16, Guard);
        ULONG length = 0;
        KSDATARANGE_AUDIO client = c.client;
        NTSTATUS status = miniport->DataRangeIntersection(WaveRenderPin, &client.DataRange, nullptr, c.bufferBytes,
                                                          output.data(), &length);
        ASSERT_EQ(status, c.status);
        size_t written = 0;
        if (status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW) {
            EXPECT_EQ(length, 104u);
        }
        if (status == STATUS_SUCCESS) {
            written = 104;
            KSDATAFORMAT_WAVEFORMATEXTENSIBLE result;
            std::memcpy(&result, output.data(), sizeof(result));
            const WAVEFORMATEX& wave = result.WaveFormatExt.Format;
            EXPECT_EQ(result.DataFormat.FormatSize, 104u);
            EXPECT_EQ(result.DataFormat.SampleSize, c.expected.blockAlign);
            EXPECT_TRUE(IsEqualGUIDAligned(result.DataFormat.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
            EXPECT_TRUE(IsEqualGUIDAligned(result.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
            // Whatever the client's specifier, the layout written is the WAVEFORMATEX one.
            EXPECT_TRUE(IsEqualGUIDAligned(result.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
            EXPECT_EQ(wave.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
            EXPECT_EQ(wave.cbSize, 22);
            EXPECT_EQ(wave.nSamplesPerSec, c.expected.rate);
            EXPECT_EQ(result.WaveFormatExt.Samples.wValidBitsPerSample, c.expected.bits);
            EXPECT_EQ(wave.nChannels, c.expected.channels);
            EXPECT_EQ(wave.nBlockAlign, c.expected.blockAlign);
            EXPECT_EQ(wave.nAvgBytesPerSec, c.expected.blockAlign * c.expected.rate);
            EXPECT_EQ(result.WaveFormatExt.dwChannelMask, c.expected.mask);
        }
        for (size_t at = written; at < output.size(); ++at) {
            ASSERT_EQ(output[at], Guard) << "byte " << at << " written";
        }
    }
}

TEST_F(WaveFilterTest, IntersectionRefusesRangesThatAreNotPcmAudioOrTooShortToRead)
{
    WaveMiniport* miniport = InitCable(0);
    struct Case {
        const char* name;
        void (*change)(KSDATARANGE_AUDIO*);
    };
    const Case cases[] = {
        {"major format", [](KSDATARANGE_AUDIO* r) { r->DataRange.MajorFormat = OtherGuid; }},
        {"subformat", [](KSDATARANGE_AUDIO* r) { r->DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT; }},
        {"specifier", [](KSDATARANGE_AUDIO* r) { r->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE; }},
        // A plain 64-byte range has no audio limits to read.
        {"a plain range", [](KSDATARANGE_AUDIO* r) { r->DataRange.FormatSize = sizeof(KSDATARANGE); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KSDATARANGE_AUDIO client = ClientRange(8000, 96000, 8, 24, 8);
        c.change(&client);
        uint8_t output[104];
        std::memset(output, Guard, sizeof(output));
        ULONG length = 0;
        EXPECT_EQ(miniport->DataRangeIntersection(WaveCapturePin, &client.DataRange, nullptr, sizeof(output), output,
                                                  &length),
                  STATUS_NO_MATCH);
        EXPECT_EQ(output[0], Guard);
    }
}

TEST_F(WaveFilterTest, EachSetterTakesOnlyItsRangeAndChangesNothingOnRefusal)
{
    WaveMiniport* miniport = AddCable(0);
    struct Case {
        const char* name;
        NTSTATUS (*apply)(WaveMiniport*, ULONG);
        ULONG value;
        NTSTATUS status;
        ULONG (*read)(const WaveMiniport*);
        ULONG stored;  // what the field holds afterwards
    };
    auto ms = [](WaveMiniport* m, ULONG v) { return m->ApplyMsPerInterrupt(v); };
    auto msRead = [](const WaveMiniport* m) { return m->MsPerInterrupt; };
    auto limiting = [](WaveMiniport* m, ULONG v) { return m->ApplyFormatLimiting(static_cast<LONG>(v)); };
    auto limitingRead = [](const WaveMiniport* m) { return static_cast<ULONG>(m->FormatLimiting); };
    auto volume = [](WaveMiniport* m, ULONG v) { return m->ApplyVolumeControl(v); };
    auto volumeRead = [](const WaveMiniport* m) { return static_cast<ULONG>(m->VolumeControl); };
    const Case cases[] = {
        {"period 0", ms, 0, STATUS_INVALID_PARAMETER, msRead, 5},
        {"period 1", ms, 1, STATUS_SUCCESS, msRead, 1},
        {"period 20", ms, 20, STATUS_SUCCESS, msRead, 20},
        {"period 21", ms, 21, STATUS_INVALID_PARAMETER, msRead, 20},
        {"limiting -1", limiting, 0xFFFFFFFF, STATUS_INVALID_PARAMETER, limitingRead, 1},
        {"limiting 0", limiting, 0, STATUS_SUCCESS, limitingRead, 0},
        {"limiting 2", limiting, 2, STATUS_SUCCESS, limitingRead, 2},
        {"limiting 3", limiting, 3, STATUS_INVALID_PARAMETER, limitingRead, 2},
        {"volume 1", volume, 1, STATUS_SUCCESS, volumeRead, 1},
        {"volume 2", volume, 2, STATUS_INVALID_PARAMETER, volumeRead, 1},
        {"volume low byte 0", volume, 0x100, STATUS_SUCCESS, volumeRead, 0},
        {"volume low byte 1", volume, 0x201, STATUS_SUCCESS, volumeRead, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.apply(miniport, c.value), c.status);
        EXPECT_EQ(c.read(miniport), c.stored);
    }
}

TEST_F(WaveFilterTest, FormatRangesAreStoredAllSixOrNone)
{
    WaveMiniport* miniport = AddCable(0);
    const FormatLimits valid = {11025, 96000, 12, 24, 2, 6};
    struct Case {
        const char* broken;
        FormatLimits ranges;
    };
    const Case refused[] = {
        {"min rate below 8000", {7999, 96000, 12, 24, 2, 6}},
        {"max rate above 192000", {11025, 192001, 12, 24, 2, 6}},
        {"min rate above max rate", {96001, 96000, 12, 24, 2, 6}},
        {"min bits below 8", {11025, 96000, 7, 24, 2, 6}},
        {"max bits above 32", {11025, 96000, 12, 33, 2, 6}},
        {"min bits above max bits", {11025, 96000, 25, 24, 2, 6}},
        {"min channels below 1", {11025, 96000, 12, 24, 0, 6}},
        {"max channels above 8", {11025, 96000, 12, 24, 2, 9}},
        {"min channels above max channels", {11025, 96000, 12, 24, 7, 6}},
    };
    auto held = [miniport] {
        return std::vector<ULONG>{miniport->MinSampleRate,    miniport->MaxSampleRate, miniport->MinBitsPerSample,
                                  miniport->MaxBitsPerSample, miniport->MinChannels,   miniport->MaxChannels};
    };
    ASSERT_EQ(miniport->ApplyFormatRanges(&valid), STATUS_SUCCESS);
    const std::vector<ULONG> stored = {11025, 96000, 12, 24, 2, 6};
    EXPECT_EQ(held(), stored);
    for (const Case& c : refused) {
        SCOPED_TRACE(c.broken);
        EXPECT_EQ(miniport->ApplyFormatRanges(&c.ranges), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(held(), stored);
    }
}

TEST_F(WaveFilterTest, EachFilterShowsItsOwnCablesInstanceLimitOnTheStreamingPins)
{
    WaveMiniport* one = InitCable(0, 1);
    WaveMiniport* twenty = InitCable(1, 20);
    for (auto [miniport, limit] : {std::pair{one, 1u}, std::pair{twenty, 20u}}) {
        PPCFILTER_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(miniport->GetDescription(&descriptor), STATUS_SUCCESS);
        ASSERT_EQ(descriptor->PinCount, 4u);
        const ULONG expected[4] = {limit, 0, limit, 0};
        for (ULONG pin = 0; pin < 4; ++pin) {
            SCOPED_TRACE(pin);
            EXPECT_EQ(descriptor->Pins[pin].MaxGlobalInstanceCount, expected[pin]);
            EXPECT_EQ(descriptor->Pins[pin].MaxFilterInstanceCount, expected[pin]);
            EXPECT_EQ(descriptor->Pins[pin].MinFilterInstanceCount, 0u);
        }
    }
}

TEST_F(WaveFilterTest, TheFormatProposalAnswersWhetherAStreamWouldBeAcceptedNow)
{
    WaveMiniport* miniport = InitCable(0);
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    miniport->GetDescription(&descriptor);
    const PCAUTOMATION_TABLE* table = descriptor->AutomationTable;
    const PCPROPERTY_ITEM* item = nullptr;
    for (ULONG index = 0; index < table->PropertyCount; ++index) {
        if (IsEqualGUIDAligned(*table->Properties[index].Set, KSPROPSETID_Pin) &&
            table->Properties[index].Id == KSPROPERTY_PIN_PROPOSEDATAFORMAT) {
            item = &table->Properties[index];
        }
    }
    ASSERT_NE(item, nullptr);
    struct Case {
        const char* name;
        ULONG pin;
        ULONG rate;
        ULONG valueBytes;  // of the 104-byte format
        ULONG verb;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"render pin, in range", 2, 48000, 104, KSPROPERTY_TYPE_SET, STATUS_SUCCESS},
        {"capture pin, in range", 0, 8000, 104, KSPROPERTY_TYPE_SET, STATUS_SUCCESS},
        {"above the cable's rates", 2, 96000, 104, KSPROPERTY_TYPE_SET, STATUS_INVALID_PARAMETER},
        {"a bridge pin", 1, 48000, 104, KSPROPERTY_TYPE_SET, STATUS_INVALID_PARAMETER},
        {"a format longer than the buffer", 2, 48000, 100, KSPROPERTY_TYPE_SET, STATUS_INVALID_PARAMETER},
        {"a header-only buffer", 2, 48000, 63, KSPROPERTY_TYPE_SET, STATUS_BUFFER_TOO_SMALL},
        {"a size query", 2, 48000, 0, KSPROPERTY_TYPE_SET, STATUS_BUFFER_OVERFLOW},
        {"a get", 2, 48000, 104, KSPROPERTY_TYPE_GET, STATUS_INVALID_PARAMETER},
    };
    const FormatLimits configured = {8000, 48000, 8, 16, 1, 2};
    miniport->ApplyFormatRanges(&configured);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = {};
        format.DataFormat.FormatSize = sizeof(format);
        format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        BuildExtensibleFormat(&format.WaveFormatExt, c.rate, 16, 2, 0, UseDefaultChannelMask);
        ULONG pin = c.pin;
        PCPROPERTY_REQUEST request = {};
        request.MajorTarget = static_cast<IMiniportWavePci*>(miniport);
        request.Node = PCFILTER_NODE;
        request.PropertyItem = item;
        request.Verb = c.verb;
        request.InstanceSize = sizeof(pin);
        request.Instance = &pin;
        request.ValueSize = c.valueBytes;
        request.Value = &format;
        EXPECT_EQ(item->Handler(&request), c.status);
    }
}

TEST_F(WaveFilterTest, InitFailsWithTheStatusOfEachFailedAllocationAndLeaksNothing)
{
    for (uint64_t failing = 1;; ++failing) {
        SCOPED_TRACE(failing);
        WaveMiniport* miniport = AddCable(failing);
        host::FailNthAllocation(failing);
        PSERVICEGROUP group = nullptr;
        uint64_t injectedBefore = host::InjectedPoolFailures();
        NTSTATUS status = miniport->Init(nullptr, nullptr, &port, &group);
        bool injected = host::InjectedPoolFailures() > injectedBefore;
        host::ClearPoolFaults();
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    }
}
