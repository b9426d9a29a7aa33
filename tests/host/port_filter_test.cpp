// The filter side of the stand-in's ports as a client reaches it: PcNewPort and IPort::Init, the
// descriptor enumerated through property requests, the routing of requests to automation tables,
// bad input, the data intersection, the pin factory's checks, instance limits and pool failures.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "fake_filters.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "host/ks_client.h"
#include "host/port_topology.h"
#include "host/wave_client.h"
#include "support/platform_fixture.h"

namespace {

constexpr ULONG CapturePin = 0;
constexpr ULONG RenderPin = 2;
const PIRP SomeIrp = reinterpret_cast<PIRP>(uintptr_t{0x1F0});

template <typename Record>
Record As(const std::vector<uint8_t>& bytes, size_t offset = 0)
{
    Record record{};
    EXPECT_GE(bytes.size(), offset + sizeof(Record));
    std::memcpy(&record, bytes.data() + offset, std::min(sizeof(Record), bytes.size() - std::min(bytes.size(), offset)));
    return record;
}

template <typename Record>
std::vector<uint8_t> Bytes(const Record& record)
{
    const auto* begin = reinterpret_cast<const uint8_t*>(&record);
    return {begin, begin + sizeof(record)};
}

std::vector<uint8_t> Format(ULONG rate, USHORT bits, USHORT channels)
{
    return host::WaveDataFormat(host::PcmWaveFormat(rate, bits, channels));
}

}  // namespace

class PortFilterTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        fake::handlerCalls.clear();
        fake::handlerBytes = 4;
    }

    void TearDown() override
    {
        for (host::WavePciPin* pin : pins) {
            pin->Close();
            pin->Release();
        }
        for (host::KsFilter* filter : filters) {
            filter->Release();
        }
        for (PPORT port : ports) {
            if (IPortWavePci* wave = nullptr; NT_SUCCESS(port->QueryInterface(IID_IPortWavePci, (PVOID*)&wave))) {
                static_cast<host::PortWavePci*>(wave)->ReleaseChildren();
                wave->Release();
            } else {
                static_cast<host::PortTopology*>(static_cast<IPortTopology*>(port))->ReleaseChildren();
            }
            port->Release();
        }
        for (fake::Miniport* miniport : miniports) {
            miniport->Release();
        }
        host::RunQueuedDpcs();
        EXPECT_EQ(host::LivePoolCount(), 0u) << "the ports returned their pool";
        PlatformTest::TearDown();
    }

    // A wave port initialised on a fake miniport whose stream pins allow `global`/`perFilter`.
    host::PortWavePci* WavePort(ULONG global = 20, ULONG perFilter = 20)
    {
        waveFilters.push_back(std::make_unique<fake::WaveFilter>(global));
        for (ULONG pin : {CapturePin, RenderPin}) {
            waveFilters.back()->pins[pin].MaxFilterInstanceCount = perFilter;
        }
        miniport = new fake::Miniport;
        miniport->descriptor = &waveFilters.back()->descriptor;
        miniports.push_back(miniport);
        PPORT port = nullptr;
        EXPECT_EQ(PcNewPort(&port, CLSID_PortWavePci), STATUS_SUCCESS);
        ports.push_back(port);
        EXPECT_EQ(port->Init(nullptr, nullptr, miniport, nullptr, nullptr), STATUS_SUCCESS);
        return static_cast<host::PortWavePci*>(static_cast<IPortWavePci*>(port));
    }

    host::KsFilter* Open(host::FilterPort* port)
    {
        host::KsFilter* filter = nullptr;
        EXPECT_EQ(host::KsFilter::Open(port, &filter), STATUS_SUCCESS);
        filters.push_back(filter);
        return filter;
    }

    NTSTATUS CreatePin(host::KsFilter* filter, const std::vector<uint8_t>& request, host::WavePciPin** pin = nullptr)
    {
        host::WavePciPin* created = nullptr;
        NTSTATUS status = filter->CreatePin(request.data(), static_cast<ULONG>(request.size()), &created);
        if (created != nullptr) {
            pins.push_back(created);
            created->MiniportStream()->Release();  // the fake's extra reference for a test's look
        }
        if (pin != nullptr) {
            *pin = created;
        }
        return status;
    }

    NTSTATUS CreatePin(host::KsFilter* filter, ULONG pinId, const std::vector<uint8_t>& format,
                       host::WavePciPin** pin = nullptr)
    {
        return CreatePin(filter, host::PinConnectRequest(pinId, reinterpret_cast<const KSDATAFORMAT*>(format.data())),
                         pin);
    }

    std::vector<std::unique_ptr<fake::WaveFilter>> waveFilters;
    std::vector<fake::Miniport*> miniports;
    fake::Miniport* miniport = nullptr;  // the latest
    std::vector<PPORT> ports;
    std::vector<host::KsFilter*> filters;
    std::vector<host::WavePciPin*> pins;
};

TEST_F(PortFilterTest, PcNewPortMakesTheTwoPortClassesOnly)
{
    const struct {
        const GUID* classId;
        NTSTATUS status;
        const GUID* iid;
        const GUID* otherIid;
    } rows[] = {
        {&CLSID_PortWavePci, STATUS_SUCCESS, &IID_IPortWavePci, &IID_IPortTopology},
        {&CLSID_PortTopology, STATUS_SUCCESS, &IID_IPortTopology, &IID_IPortWavePci},
        {&IID_IPort, STATUS_INVALID_PARAMETER, nullptr, nullptr},
    };
    for (const auto& row : rows) {
        PPORT port = reinterpret_cast<PPORT>(uintptr_t{1});
        ASSERT_EQ(PcNewPort(&port, *row.classId), row.status);
        if (row.iid == nullptr) {
            EXPECT_EQ(port, nullptr);
            continue;
        }
        PVOID object = nullptr;
        EXPECT_EQ(port->QueryInterface(*row.iid, &object), STATUS_SUCCESS);
        EXPECT_EQ(port->QueryInterface(*row.otherIid, &object), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(port->Release(), 1u);  // the QueryInterface's
        EXPECT_EQ(port->Release(), 0u);
    }
}

TEST_F(PortFilterTest, InitTakesTheDescriptorOrFailsAndLetsTheMiniportGo)
{
    const struct {
        bool answersTopology;
        NTSTATUS initStatus;
        NTSTATUS descriptionStatus;
        ULONG pinSize;
        NTSTATUS status;
        const char* violation;
    } rows[] = {
        {true, STATUS_SUCCESS, STATUS_SUCCESS, sizeof(PCPIN_DESCRIPTOR), STATUS_SUCCESS, nullptr},
        {false, STATUS_SUCCESS, STATUS_SUCCESS, sizeof(PCPIN_DESCRIPTOR), STATUS_INVALID_PARAMETER, nullptr},
        {true, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS, sizeof(PCPIN_DESCRIPTOR), STATUS_INSUFFICIENT_RESOURCES,
         nullptr},
        {true, STATUS_SUCCESS, STATUS_NOT_IMPLEMENTED, sizeof(PCPIN_DESCRIPTOR), STATUS_NOT_IMPLEMENTED, nullptr},
        {true, STATUS_SUCCESS, STATUS_SUCCESS, 64, STATUS_INVALID_PARAMETER, "INVALID_FILTER_DESCRIPTOR"},
    };
    for (const auto& row : rows) {
        auto* topology = new fake::TopologyMiniport;
        topology->answersTopology = row.answersTopology;
        topology->initStatus = row.initStatus;
        topology->descriptionStatus = row.descriptionStatus;
        topology->filter.descriptor.PinSize = row.pinSize;
        host::PortTopology* port = host::PortTopology::Create();
        EXPECT_EQ(port->Init(nullptr, nullptr, topology, nullptr, nullptr), row.status);
        std::vector<host::Violation> violations = host::TakeViolations();
        EXPECT_EQ(violations.size(), row.violation != nullptr ? 1u : 0u);
        if (row.violation != nullptr && !violations.empty()) {
            EXPECT_EQ(violations[0].rule, row.violation);
        }
        EXPECT_EQ(topology->references.load(), NT_SUCCESS(row.status) ? 2 : 1) << "the port holds it only on success";
        host::KsFilter* filter = nullptr;
        EXPECT_EQ(host::KsFilter::Open(port, &filter), NT_SUCCESS(row.status) ? STATUS_SUCCESS
                                                                               : STATUS_INVALID_DEVICE_STATE);
        if (filter != nullptr) {
            filter->Release();
        }
        port->Release();
        EXPECT_EQ(topology->references.load(), 1);
        topology->Release();
    }
    // A wave miniport without a descriptor is refused unless the port was told to run one.
    for (bool allow : {false, true}) {
        auto* bare = new fake::Miniport;
        host::PortWavePci* port = host::PortWavePci::Create();
        port->AllowMissingDescription(allow);
        EXPECT_EQ(port->Init(nullptr, nullptr, bare, nullptr, nullptr),
                  allow ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(port->Miniport() != nullptr, allow);
        port->ReleaseChildren();
        port->Release();
        bare->Release();
    }
}

TEST_F(PortFilterTest, RequestsReachTheRightTableWithTheRequestFilledIn)
{
    host::KsFilter* filter = Open(WavePort());
    host::WavePciPin* render = nullptr;
    ASSERT_EQ(CreatePin(filter, RenderPin, Format(48000, 16, 2), &render), STATUS_SUCCESS);
    const std::vector<uint8_t> channel = {3, 0, 0, 0};
    const ULONG get = KSPROPERTY_TYPE_GET;
    const ULONG topologyGet = KSPROPERTY_TYPE_TOPOLOGY | get;
    const struct {
        bool onPin;
        std::vector<uint8_t> input;
        ULONG valueSize;
        const PCPROPERTY_ITEM* item;  // null: no handler runs
        ULONG node;
        ULONG verb;
        std::vector<uint8_t> instance;
        NTSTATUS status;
        ULONG bytes;
    } rows[] = {
        {false, host::PropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES), 4, &fake::FilterItems[0],
         KSFILTER_NODE, get, {}, STATUS_SUCCESS, 4},
        {false, host::PropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES), 0, &fake::FilterItems[0],
         KSFILTER_NODE, get, {}, STATUS_BUFFER_OVERFLOW, 4},
        {false, [] { auto in = host::PropertyInput(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION); in.insert(in.end(), {3, 0, 0, 0, 0, 0, 0, 0}); return in; }(), 32, &fake::FilterItems[3],
         KSFILTER_NODE, get, {3, 0, 0, 0, 0, 0, 0, 0}, STATUS_SUCCESS, 4},  // the jack of pin 3 (KSP_PIN)
        {false, host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, get, 0, channel), 4,
         &fake::VolumeItems[1], 0, topologyGet, channel, STATUS_SUCCESS, 4},
        {false, host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, 0, channel),
         4, &fake::VolumeItems[1], 0, KSPROPERTY_TYPE_TOPOLOGY | KSPROPERTY_TYPE_SET, channel, STATUS_SUCCESS, 4},
        {true, host::PropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES), 8, &fake::StreamPinItems[1],
         KSFILTER_NODE, get, {}, STATUS_SUCCESS, 4},
        {true, host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, get, 3), 4,
         &fake::CommonItems[0], 3, topologyGet, {}, STATUS_SUCCESS, 4},
        // The pin's item lacks basic support: the port answers with the item's access flags.
        {true, host::PropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_BASICSUPPORT), 4,
         nullptr, 0, 0, {}, STATUS_SUCCESS, 4},
        // A handler's STATUS_NOT_FOUND leaves CINSTANCES to the port: one render pin is open.
        {false, host::PinPropertyInput(KSPROPERTY_PIN_CINSTANCES, RenderPin), 8, nullptr, 0, 0, {}, STATUS_SUCCESS, 8},
        {false, [] { auto in = host::PropertyInput(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT); return in; }(),
         4, nullptr, 0, 0, {}, STATUS_INVALID_DEVICE_REQUEST, 0},  // the item takes set only
        {false, host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, get, 2), 4, nullptr, 0, 0,
         {}, STATUS_NOT_FOUND, 0},  // node 2 has no table
    };
    int row = 0;
    for (const auto& r : rows) {
        fake::handlerCalls.clear();
        std::vector<uint8_t> value(r.valueSize);
        host::KsPropertyBuffers buffers;
        buffers.input = r.input.data();
        buffers.inputSize = static_cast<ULONG>(r.input.size());
        buffers.output = value.empty() ? nullptr : value.data();
        buffers.outputSize = r.valueSize;
        buffers.irp = SomeIrp;
        ULONG bytes = 99;
        EXPECT_EQ(r.onPin ? render->Property(buffers, &bytes) : filter->Property(buffers, &bytes), r.status) << row;
        EXPECT_EQ(bytes, r.bytes) << row;
        ASSERT_EQ(fake::handlerCalls.size(), r.item != nullptr ? 1u : 0u) << row;
        if (r.item != nullptr) {
            const fake::HandlerCall& call = fake::handlerCalls[0];
            EXPECT_EQ(call.item, r.item) << row;
            EXPECT_EQ(call.major, static_cast<PUNKNOWN>(miniport)) << row;
            EXPECT_EQ(call.minor, r.onPin ? static_cast<PUNKNOWN>(render->MiniportStream()) : nullptr) << row;
            EXPECT_EQ(call.node, r.node) << row;
            EXPECT_EQ(call.verb, r.verb) << row;
            EXPECT_EQ(call.instance, r.instance) << row;
            EXPECT_EQ(call.valueSize, r.valueSize) << row;
            EXPECT_EQ(call.irp, SomeIrp) << row;
        }
        ++row;
    }
    // A handler that claims more than the buffer holds is reported; the client gets its buffer's worth.
    host::PropertyReply overclaimed =
        host::SendProperty(filter, host::PropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY), 8);
    EXPECT_EQ(overclaimed.bytes, 8u);
    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "PROPERTY_VALUE_OVERRUN");
}

TEST_F(PortFilterTest, APinHandleAnswersItsStateFormatFramingAndPosition)
{
    host::KsFilter* filter = Open(WavePort());
    host::WavePciPin* render = nullptr;
    const std::vector<uint8_t> format = Format(48000, 16, 2);
    ASSERT_EQ(CreatePin(filter, RenderPin, format, &render), STATUS_SUCCESS);
    auto* stream = static_cast<fake::Stream*>(render->MiniportStream());
    stream->position = 4096;
    const std::vector<uint8_t> newFormat = Format(44100, 16, 2);
    const ULONG Get = KSPROPERTY_TYPE_GET, Set = KSPROPERTY_TYPE_SET;
    auto connection = [](ULONG id, ULONG flags) { return host::PropertyInput(KSPROPSETID_Connection, id, flags); };
    const struct {
        std::vector<uint8_t> input;
        std::vector<uint8_t> value;  // what a set sends; a get's buffer is valueSize bytes
        ULONG valueSize;
        NTSTATUS status;
        std::vector<uint8_t> answer;
    } rows[] = {
        {connection(KSPROPERTY_CONNECTION_STATE, Get), {}, 4, STATUS_SUCCESS, Bytes(KSSTATE_STOP)},
        {connection(KSPROPERTY_CONNECTION_STATE, Set), Bytes(KSSTATE_RUN), 4, STATUS_SUCCESS, {}},
        {connection(KSPROPERTY_CONNECTION_STATE, Get), {}, 4, STATUS_SUCCESS, Bytes(KSSTATE_RUN)},
        {connection(KSPROPERTY_CONNECTION_STATE, Set), {1, 0}, 2, STATUS_BUFFER_TOO_SMALL, {}},
        {connection(KSPROPERTY_CONNECTION_DATAFORMAT, Get), {}, 81, STATUS_BUFFER_TOO_SMALL, {}},
        {connection(KSPROPERTY_CONNECTION_DATAFORMAT, Get), {}, 100, STATUS_SUCCESS, format},
        {connection(KSPROPERTY_CONNECTION_DATAFORMAT, Set), newFormat, 82, STATUS_SUCCESS, {}},
        {connection(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, Get), {}, 24, STATUS_SUCCESS, Bytes(stream->framing)},
        {host::PropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION), {}, 15, STATUS_BUFFER_TOO_SMALL, {}},
        {host::PropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION), {}, 16, STATUS_SUCCESS,
         Bytes(KSAUDIO_POSITION{4096, 0})},  // render, nothing mapped yet
    };
    int row = 0;
    for (const auto& r : rows) {
        std::vector<uint8_t> value = r.value;
        value.resize(r.valueSize);
        host::KsPropertyBuffers buffers;
        buffers.input = r.input.data();
        buffers.inputSize = static_cast<ULONG>(r.input.size());
        buffers.output = value.data();
        buffers.outputSize = r.valueSize;
        ULONG bytes = 99;
        EXPECT_EQ(render->Property(buffers, &bytes), r.status) << row;
        EXPECT_EQ(bytes, r.answer.size()) << row;
        value.resize(std::min<size_t>(bytes, value.size()));
        EXPECT_EQ(value, r.answer) << row;
        ++row;
    }
    EXPECT_EQ(stream->states, (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));
    ASSERT_EQ(stream->formats.size(), 1u);
    EXPECT_EQ(stream->formats[0], newFormat);
    host::PropertyReply size = host::SendProperty(render, connection(KSPROPERTY_CONNECTION_DATAFORMAT, Get), 0);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size.bytes, 82u) << "the format the pin has now";
    render->SetState(KSSTATE_STOP);
}

TEST_F(PortFilterTest, BadInputGetsTheDocumentedStatusAndWritesNothingPastTheBuffer)
{
    host::KsFilter* filter = Open(WavePort());
    using host::PinPropertyInput;
    auto NodeInput = [](const GUID& set, ULONG id, ULONG node) {  // a filter property that names a node
        KSP_NODE input = {};
        input.Property.Set = set;
        input.Property.Id = id;
        input.Property.Flags = KSPROPERTY_TYPE_GET;
        input.NodeId = node;
        return Bytes(input);
    };
    auto topology = [](ULONG id) { return host::PropertyInput(KSPROPSETID_Topology, id); };
    auto intersection = [](ULONG listSize, ULONG rangeSize) {
        std::vector<uint8_t> extra = Bytes(KSMULTIPLE_ITEM{listSize, 1});
        KSDATARANGE_AUDIO range = host::PcmDataRange(2, 16, 16, 48000, 48000);
        range.DataRange.FormatSize = rangeSize;
        std::vector<uint8_t> bytes = Bytes(range);
        extra.insert(extra.end(), bytes.begin(), bytes.end());
        return PinPropertyInput(KSPROPERTY_PIN_DATAINTERSECTION, RenderPin, extra);
    };
    const std::vector<uint8_t> ctypes = host::PropertyInput(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES);
    const struct {
        std::vector<uint8_t> input;
        ULONG valueSize;
        NTSTATUS status;
        ULONG bytes;
    } rows[] = {
        {ctypes, 0, STATUS_BUFFER_OVERFLOW, 4},
        {ctypes, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {ctypes, 4, STATUS_SUCCESS, 4},
        {ctypes, 64, STATUS_SUCCESS, 4},
        {std::vector<uint8_t>(ctypes.begin(), ctypes.end() - 1), 4, STATUS_INVALID_BUFFER_SIZE, 0},
        {{}, 4, STATUS_INVALID_BUFFER_SIZE, 0},
        {host::PropertyInput(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_SET), 4,
         STATUS_INVALID_DEVICE_REQUEST, 0},
        {host::PropertyInput(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW), 4, STATUS_INVALID_BUFFER_SIZE, 0},
        {PinPropertyInput(KSPROPERTY_PIN_DATAFLOW, 4), 4, STATUS_INVALID_PARAMETER, 0},
        {PinPropertyInput(KSPROPERTY_PIN_DATAFLOW, 0xFFFFFFFF), 4, STATUS_INVALID_PARAMETER, 0},
        {PinPropertyInput(KSPROPERTY_PIN_CINSTANCES, CapturePin), 7, STATUS_BUFFER_TOO_SMALL, 0},
        {PinPropertyInput(KSPROPERTY_PIN_CATEGORY, CapturePin), 15, STATUS_BUFFER_TOO_SMALL, 0},
        {PinPropertyInput(KSPROPERTY_PIN_DATARANGES, CapturePin), 0, STATUS_BUFFER_OVERFLOW, 96},
        {PinPropertyInput(KSPROPERTY_PIN_DATARANGES, CapturePin), 4, STATUS_SUCCESS, 4},   // the size alone
        {PinPropertyInput(KSPROPERTY_PIN_DATARANGES, CapturePin), 8, STATUS_SUCCESS, 8},   // the header alone
        {PinPropertyInput(KSPROPERTY_PIN_DATARANGES, CapturePin), 95, STATUS_BUFFER_TOO_SMALL, 0},
        {PinPropertyInput(KSPROPERTY_PIN_DATARANGES, CapturePin), 200, STATUS_SUCCESS, 96},
        {PinPropertyInput(KSPROPERTY_PIN_NAME, CapturePin), 64, STATUS_NOT_FOUND, 0},
        {PinPropertyInput(99, CapturePin), 64, STATUS_NOT_FOUND, 0},
        {host::PropertyInput(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE), 4, STATUS_NOT_FOUND, 0},
        {topology(KSPROPERTY_TOPOLOGY_CONNECTIONS), 0, STATUS_BUFFER_OVERFLOW, 136},
        {topology(KSPROPERTY_TOPOLOGY_NODES), 103, STATUS_BUFFER_TOO_SMALL, 0},
        {topology(KSPROPERTY_TOPOLOGY_NAME), 64, STATUS_INVALID_BUFFER_SIZE, 0},  // no node id
        {NodeInput(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NAME, 6), 64, STATUS_INVALID_PARAMETER, 0},
        {NodeInput(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NAME, 0), 64, STATUS_NOT_FOUND, 0},  // no name
        {host::NodePropertyInput(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_GET, 6), 4,
         STATUS_INVALID_PARAMETER, 0},
        {PinPropertyInput(KSPROPERTY_PIN_DATAINTERSECTION, RenderPin), 104, STATUS_INVALID_BUFFER_SIZE, 0},
        {intersection(8 + 88 + 1, 88), 104, STATUS_INVALID_BUFFER_SIZE, 0},  // the list overruns the input
        {intersection(8 + 88, 89), 104, STATUS_INVALID_BUFFER_SIZE, 0},      // the range overruns the list
        {intersection(8 + 88, 10), 104, STATUS_INVALID_BUFFER_SIZE, 0},      // shorter than a KSDATARANGE
        {intersection(8 + 88, 88), 103, STATUS_BUFFER_TOO_SMALL, 0},
        {intersection(8 + 88, 88), 105, STATUS_SUCCESS, 104},
    };
    constexpr size_t Guard = 16;
    constexpr uint8_t Canary = 0xEE;
    int row = 0;
    for (const auto& r : rows) {
        for (size_t misalignment : {0, 1, 3, 7}) {
            std::vector<uint8_t> memory(Guard + misalignment + r.valueSize + Guard, Canary);
            std::vector<uint8_t> input(r.input.size() + misalignment);
            std::copy(r.input.begin(), r.input.end(), input.begin() + misalignment);
            host::KsPropertyBuffers buffers;
            buffers.input = input.data() + misalignment;
            buffers.inputSize = static_cast<ULONG>(r.input.size());
            buffers.output = memory.data() + Guard + misalignment;
            buffers.outputSize = r.valueSize;
            ULONG bytes = 99;
            EXPECT_EQ(filter->Property(buffers, &bytes), r.status) << row << " at +" << misalignment;
            EXPECT_EQ(bytes, r.bytes) << row;
            const size_t written = NT_SUCCESS(r.status) ? r.bytes : 0;
            const size_t untouchedFrom = Guard + misalignment + written;
            EXPECT_EQ(std::count(memory.begin(), memory.begin() + Guard + misalignment, Canary), Guard + misalignment);
            EXPECT_EQ(std::count(memory.begin() + untouchedFrom, memory.end(), Canary), memory.size() - untouchedFrom)
                << row << " wrote past its " << written << " bytes";
        }
        ++row;
    }
}

TEST_F(PortFilterTest, DataIntersectionAsksTheMiniportThenProposesTheHighestFormatInCommon)
{
    host::KsFilter* filter = Open(WavePort());
    KSDATARANGE wildcardAnalog = {};
    wildcardAnalog.FormatSize = sizeof(KSDATARANGE);
    const auto pcm = [](ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate) {
        return Bytes(host::PcmDataRange(channels, minBits, maxBits, minRate, maxRate));
    };
    std::vector<uint8_t> floatRange = pcm(2, 32, 32, 48000, 48000);
    reinterpret_cast<KSDATARANGE*>(floatRange.data())->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    std::vector<uint8_t> fromMiniport(104, 0x42);
    const struct {
        ULONG pin;
        std::vector<std::vector<uint8_t>> ranges;
        std::vector<uint8_t> miniportAnswer;  // empty: STATUS_NOT_IMPLEMENTED, the port's default
        NTSTATUS status;
        ULONG rate, validBits, containerBits, channels, mask;
    } rows[] = {
        {RenderPin, {pcm(8, 8, 24, 8000, 96000)}, {}, STATUS_SUCCESS, 96000, 24, 24, 8, 0xFF},
        {CapturePin, {pcm(2, 16, 16, 44100, 44100)}, {}, STATUS_SUCCESS, 44100, 16, 16, 2, 0x3},
        {RenderPin, {pcm(1, 8, 20, 8000, 22050)}, {}, STATUS_SUCCESS, 22050, 20, 24, 1, 0x4},
        {RenderPin, {floatRange, pcm(6, 8, 32, 8000, 192000)}, {}, STATUS_SUCCESS, 192000, 32, 32, 6, 0x3F},
        {RenderPin, {pcm(2, 16, 16, 200000, 300000)}, {}, STATUS_NO_MATCH, 0, 0, 0, 0, 0},
        {RenderPin, {pcm(2, 40, 48, 48000, 48000)}, {}, STATUS_NO_MATCH, 0, 0, 0, 0, 0},
        {RenderPin, {pcm(2, 16, 16, 48000, 48000)}, fromMiniport, STATUS_SUCCESS, 0, 0, 0, 0, 0},
        {1, {Bytes(wildcardAnalog)}, {}, STATUS_SUCCESS, 0, 0, 0, 0, 0},
    };
    int row = 0;
    for (const auto& r : rows) {
        miniport->intersection = r.miniportAnswer;
        miniport->intersections.clear();
        std::vector<uint8_t> format;
        ASSERT_EQ(host::ProposeFormat(filter, r.pin, r.ranges, &format), r.status) << row;
        if (!r.miniportAnswer.empty()) {
            EXPECT_EQ(format, r.miniportAnswer);
            EXPECT_EQ(miniport->intersections, (std::vector<ULONG>{RenderPin, RenderPin})) << "size, then format";
        } else if (r.pin == 1) {
            auto bridge = As<KSDATAFORMAT>(format);
            EXPECT_EQ(format.size(), 64u);
            EXPECT_EQ(bridge.FormatSize, 64u);
            EXPECT_TRUE(bridge.MajorFormat == KSDATAFORMAT_TYPE_AUDIO && bridge.SubFormat == KSDATAFORMAT_SUBTYPE_ANALOG &&
                        bridge.Specifier == KSDATAFORMAT_SPECIFIER_NONE);
        } else if (NT_SUCCESS(r.status)) {
            ASSERT_EQ(format.size(), 104u) << row;
            auto result = As<KSDATAFORMAT_WAVEFORMATEXTENSIBLE>(format);
            const WAVEFORMATEXTENSIBLE& wave = result.WaveFormatExt;
            EXPECT_EQ(result.DataFormat.FormatSize, 104u);
            EXPECT_EQ(wave.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
            EXPECT_EQ(wave.Format.cbSize, 22);
            EXPECT_EQ(wave.Format.nSamplesPerSec, r.rate) << row;
            EXPECT_EQ(wave.Samples.wValidBitsPerSample, r.validBits) << row;
            EXPECT_EQ(wave.Format.wBitsPerSample, r.containerBits) << row;
            EXPECT_EQ(wave.Format.nChannels, r.channels) << row;
            EXPECT_EQ(wave.dwChannelMask, r.mask) << row;
            EXPECT_EQ(wave.Format.nBlockAlign, r.containerBits / 8 * r.channels) << row;
            EXPECT_EQ(result.DataFormat.SampleSize, wave.Format.nBlockAlign) << row;
            EXPECT_EQ(wave.Format.nAvgBytesPerSec, wave.Format.nBlockAlign * r.rate) << row;
        }
        ++row;
    }
}

TEST_F(PortFilterTest, PinCreationChecksTheRequestBeforeTheMiniportSeesIt)
{
    host::KsFilter* filter = Open(WavePort());
    using Edit = void (*)(KSPIN_CONNECT*, KSDATAFORMAT_WAVEFORMATEX*, std::vector<uint8_t>*);
    const struct {
        const char* what;
        ULONG pinId;
        Edit edit;
        NTSTATUS status;
    } rows[] = {
        {"render", RenderPin, nullptr, STATUS_SUCCESS},
        {"capture", CapturePin, nullptr, STATUS_SUCCESS},
        {"a bridge pin", 1, nullptr, STATUS_INVALID_PARAMETER},
        {"no such pin", 4, nullptr, STATUS_INVALID_PARAMETER},
        {"a peer handle", RenderPin, [](KSPIN_CONNECT* c, auto, auto) { c->PinToHandle = c; }, STATUS_INVALID_PARAMETER},
        {"another interface", RenderPin, [](KSPIN_CONNECT* c, auto, auto) { c->Interface.Id = 1; }, STATUS_NO_MATCH},
        {"another medium", RenderPin, [](KSPIN_CONNECT* c, auto, auto) { c->Medium.Set = KSPROPSETID_Pin; },
         STATUS_NO_MATCH},
        {"a truncated request", RenderPin, [](auto, auto, std::vector<uint8_t>* r) { r->resize(72 + 63); },
         STATUS_INVALID_PARAMETER},
        {"a format longer than the request", RenderPin,
         [](auto, KSDATAFORMAT_WAVEFORMATEX* f, auto) { f->DataFormat.FormatSize += 1; }, STATUS_INVALID_PARAMETER},
        {"float samples", RenderPin,
         [](auto, KSDATAFORMAT_WAVEFORMATEX* f, auto) { f->DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT; },
         STATUS_NO_MATCH},
        {"a DirectSound specifier", RenderPin,
         [](auto, KSDATAFORMAT_WAVEFORMATEX* f, auto) { f->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND; },
         STATUS_NO_MATCH},
        {"4000 Hz", RenderPin, [](auto, KSDATAFORMAT_WAVEFORMATEX* f, auto) { f->WaveFormatEx.nSamplesPerSec = 4000; },
         STATUS_NO_MATCH},
        {"192001 Hz", CapturePin,
         [](auto, KSDATAFORMAT_WAVEFORMATEX* f, auto) { f->WaveFormatEx.nSamplesPerSec = 192001; }, STATUS_NO_MATCH},
        {"7 bits", RenderPin, [](auto, KSDATAFORMAT_WAVEFORMATEX* f, auto) { f->WaveFormatEx.wBitsPerSample = 7; },
         STATUS_NO_MATCH},
        {"9 channels", RenderPin, [](auto, KSDATAFORMAT_WAVEFORMATEX* f, auto) { f->WaveFormatEx.nChannels = 9; },
         STATUS_NO_MATCH},
    };
    size_t streams = 0;
    for (const auto& row : rows) {
        std::vector<uint8_t> format = Format(48000, 16, 2);
        std::vector<uint8_t> request = host::PinConnectRequest(row.pinId, reinterpret_cast<const KSDATAFORMAT*>(format.data()));
        if (row.edit != nullptr) {
            row.edit(reinterpret_cast<KSPIN_CONNECT*>(request.data()),
                     reinterpret_cast<KSDATAFORMAT_WAVEFORMATEX*>(request.data() + sizeof(KSPIN_CONNECT)), &request);
        }
        host::WavePciPin* pin = nullptr;
        EXPECT_EQ(CreatePin(filter, request, &pin), row.status) << row.what;
        streams += NT_SUCCESS(row.status) ? 1 : 0;
        ASSERT_EQ(miniport->newStreams.size(), streams) << row.what << ": only an accepted request reaches NewStream";
        if (pin != nullptr) {
            EXPECT_EQ(miniport->newStreams.back().capture, row.pinId == CapturePin ? TRUE : FALSE) << row.what;
            EXPECT_EQ(miniport->newStreams.back().pin, row.pinId);
            EXPECT_EQ(miniport->newStreams.back().dataFormat, format) << row.what;
        }
    }
    EXPECT_EQ(filter->Instances(RenderPin) + filter->Instances(CapturePin), 2u) << "refusals took no instance";

    // An application's client through the factory: its direction is the pin's data flow.
    host::WaveClientOptions options;
    options.filter = filter;
    options.pinId = CapturePin;
    options.dataFormat = Format(44100, 16, 2);
    std::unique_ptr<host::WaveClient> client;
    ASSERT_EQ(host::WaveClient::Open(nullptr, options, &client), STATUS_SUCCESS);
    client->Pin()->MiniportStream()->Release();  // the fake's extra reference
    EXPECT_TRUE(client->Pin()->Capture());
    EXPECT_EQ(client->Write("x", 1), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(filter->Instances(CapturePin), 2u);
}

TEST_F(PortFilterTest, InstanceLimitsHoldPerFilterAndAcrossTheFiltersOfAPort)
{
    const struct {
        ULONG global, perFilter;
        ULONG perHandle[2];  // pins each of two filter handles gets on each stream pin
    } rows[] = {{1, 1, {1, 0}}, {20, 20, {20, 0}}, {3, 2, {2, 1}}, {0, 0, {0, 0}}, {ULONG(-1), 2, {2, 2}}};
    for (const auto& row : rows) {  // all ports at once, so each keeps its own limits
        host::PortWavePci* port = WavePort(row.global, row.perFilter);
        host::KsFilter* handles[2] = {Open(port), Open(port)};
        for (ULONG pinId : {CapturePin, RenderPin}) {
            for (int h = 0; h < 2; ++h) {
                for (ULONG i = 0; i < row.perHandle[h]; ++i) {
                    ASSERT_EQ(CreatePin(handles[h], pinId, Format(44100, 16, 2)), STATUS_SUCCESS) << row.global;
                }
                EXPECT_EQ(CreatePin(handles[h], pinId, Format(44100, 16, 2)), STATUS_INSUFFICIENT_RESOURCES)
                    << row.global << "/" << row.perFilter << " on handle " << h;
                auto filterCount = As<KSPIN_CINSTANCES>(
                    host::SendProperty(handles[h], host::PinPropertyInput(KSPROPERTY_PIN_CINSTANCES, pinId), 8).value);
                EXPECT_EQ(filterCount.PossibleCount, row.perFilter);
                EXPECT_EQ(filterCount.CurrentCount, row.perHandle[h]);
            }
            auto global = As<KSPIN_CINSTANCES>(
                host::SendProperty(handles[0], host::PinPropertyInput(KSPROPERTY_PIN_GLOBALCINSTANCES, pinId), 8).value);
            EXPECT_EQ(global.PossibleCount, row.global);
            EXPECT_EQ(global.CurrentCount, row.perHandle[0] + row.perHandle[1]);
        }
    }
    // A closed pin gives its instance back: on the port limited to one, a new pin fits again.
    host::WavePciPin* only = pins.front();
    ASSERT_EQ(only->Filter(), filters[0]);
    only->Close();
    EXPECT_EQ(CreatePin(filters[0], only->PinId(), Format(44100, 16, 2)), STATUS_SUCCESS);
}

// The driver's own miniport behind the factory (its descriptor is the fake's twin here): every pool
// allocation of binding the descriptor, the filter handle, the pin and the driver's stream fails
// once, and each failure leaves the pool as it was.
TEST_F(PortFilterTest, EveryAllocationFromDescriptorToDriverStreamFailsCleanly)
{
    Adapter* adapter = Adapter::Create();
    ASSERT_NE(adapter, nullptr);
    Cable* cable = Cable::Create(0, adapter);
    ASSERT_NE(cable, nullptr);
    WaveMiniport* driverMiniport = WaveMiniport::Create(cable);
    ASSERT_NE(driverMiniport, nullptr);
    cable->AttachWaveMiniport(driverMiniport);
    adapter->AddCable(cable);
    fake::WaveFilter described(20);
    host::PortWavePci* port = host::PortWavePci::Create();
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(driverMiniport->Init(adapter, nullptr, port, &group), STATUS_SUCCESS);
    const size_t poolBefore = host::LivePoolCount();
    const std::vector<uint8_t> format = Format(48000, 16, 2);
    const std::vector<uint8_t> request = host::PinConnectRequest(RenderPin, reinterpret_cast<const KSDATAFORMAT*>(format.data()));
    uint64_t failing = 1;
    for (;; ++failing) {
        host::FailNthAllocation(failing);
        host::KsFilter* filter = nullptr;
        host::WavePciPin* pin = nullptr;
        NTSTATUS status = port->BindMiniport(driverMiniport, &described.descriptor);
        if (NT_SUCCESS(status)) {
            status = host::KsFilter::Open(port, &filter);
        }
        if (NT_SUCCESS(status)) {
            status = filter->CreatePin(request.data(), static_cast<ULONG>(request.size()), &pin);
        }
        const uint64_t injected = host::InjectedPoolFailures();
        host::ClearPoolFaults();
        if (pin != nullptr) {
            pin->Close();
            pin->Release();
        }
        if (filter != nullptr) {
            EXPECT_EQ(filter->Instances(RenderPin), 0u);
            filter->Release();
        }
        port->ReleaseChildren();
        EXPECT_EQ(host::LivePoolCount(), poolBefore) << "allocation " << failing;
        if (injected == failing - 1) {  // nothing left to fail: every step succeeded
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << failing;
    }
    EXPECT_GE(failing - 1, 4u) << "the pin table copy, the filter handle, the pin and the driver's stream";
    port->Release();
    host::RunQueuedDpcs();
    adapter->DestroyAllCables();
    adapter->Release();
}
