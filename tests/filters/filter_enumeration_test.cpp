// A cable's two filters as a client sees them through their ports: every pin, node and
// connection enumerated by property requests, the pin names a Vista-or-later system shows, the
// per-cable instance limits enforced by the pin factory, and the format the filter proposes.
#include <cstring>
#include <sstream>
#include <string>

#include "core/driver_state.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_miniport.h"
#include "host/ks_client.h"
#include "host/port_topology.h"
#include "host/port_wave_pci.h"
#include "host/wave_client.h"
#include "support/platform_fixture.h"

namespace {

template <typename Record>
Record At(const host::PropertyReply& reply, size_t offset = 0)
{
    Record record{};
    if (reply.value.size() >= offset + sizeof(Record)) {
        std::memcpy(&record, reply.value.data() + offset, sizeof(Record));
    }
    return record;
}

// Short names for the GUIDs a cable's filters use, so that a description reads like a table.
std::string Named(const GUID& guid)
{
    const struct {
        const GUID* guid;
        const char* name;
    } names[] = {
        {&KSCATEGORY_AUDIO, "audio"},       {&PINNAME_CAPTURE, "capture"},
        {&KSNODETYPE_VOLUME, "volume"},     {&KSNODETYPE_MUTE, "mute"},
        {&KSNODETYPE_SUM, "sum"},           {&KSNODETYPE_SUPERMIX, "supermix"},
        {&KSNODETYPE_SRC, "src"},           {&KSNODETYPE_DAC, "dac"},
        {&KSNODETYPE_ADC, "adc"},           {&KSNODETYPE_LINE_CONNECTOR, "line"},
        {&KSNODETYPE_MICROPHONE, "mic"},    {&KSNODETYPE_SPDIF_INTERFACE, "spdif"},
        {&KSNODETYPE_SPEAKER, "speaker"},   {&KSDATAFORMAT_SUBTYPE_PCM, "pcm"},
        {&KSDATAFORMAT_SUBTYPE_ANALOG, "analog"}, {&KSCATEGORY_RENDER, "render"},
        {&KSCATEGORY_CAPTURE, "capture-category"}, {&KSCATEGORY_TOPOLOGY, "topology"},
    };
    for (const auto& entry : names) {
        if (IsEqualGUIDAligned(guid, *entry.guid)) {
            return entry.name;
        }
    }
    return "?";
}

std::string Node(ULONG node)
{
    return node == KSFILTER_NODE ? "pin" : "node" + std::to_string(node);
}

// What a client learns of a filter, one line per pin, then its categories, nodes and connections.
std::string Describe(host::KsFilter* filter)
{
    std::ostringstream text;
    auto pinValue = [filter](ULONG id, ULONG pin, ULONG size) {
        return host::SendProperty(filter, host::PinPropertyInput(id, pin), size);
    };
    ULONG pins = At<ULONG>(host::SendProperty(filter, host::PropertyInput(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES), 4));
    for (ULONG pin = 0; pin < pins; ++pin) {
        host::PropertyReply ranges = host::QueryProperty(filter, host::PinPropertyInput(KSPROPERTY_PIN_DATARANGES, pin));
        auto range = At<KSDATARANGE>(ranges, sizeof(KSMULTIPLE_ITEM));
        host::PropertyReply name = host::QueryProperty(filter, host::PinPropertyInput(KSPROPERTY_PIN_NAME, pin));
        text << pin << ": " << (At<ULONG>(pinValue(KSPROPERTY_PIN_DATAFLOW, pin, 4)) == KSPIN_DATAFLOW_IN ? "in" : "out")
             << (At<ULONG>(pinValue(KSPROPERTY_PIN_COMMUNICATION, pin, 4)) == KSPIN_COMMUNICATION_SINK ? " sink " : " ")
             << Named(At<GUID>(pinValue(KSPROPERTY_PIN_CATEGORY, pin, 16)))
             << " x" << At<KSPIN_CINSTANCES>(pinValue(KSPROPERTY_PIN_CINSTANCES, pin, 8)).PossibleCount << " "
             << Named(range.SubFormat) << range.FormatSize;
        if (NT_SUCCESS(name.status)) {
            std::u16string label(reinterpret_cast<const char16_t*>(name.value.data()));
            text << " \"" << std::string(label.begin(), label.end()) << "\"";
        }
        text << "\n";
    }
    host::PropertyReply categories =
        host::QueryProperty(filter, host::PropertyInput(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES));
    for (ULONG index = 0; index < At<KSMULTIPLE_ITEM>(categories).Count; ++index) {
        text << Named(At<GUID>(categories, sizeof(KSMULTIPLE_ITEM) + index * sizeof(GUID))) << " ";
    }
    text << "\n";
    host::PropertyReply nodes =
        host::QueryProperty(filter, host::PropertyInput(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES));
    for (ULONG node = 0; node < At<KSMULTIPLE_ITEM>(nodes).Count; ++node) {
        text << Named(At<GUID>(nodes, sizeof(KSMULTIPLE_ITEM) + node * sizeof(GUID))) << " ";
    }
    text << "\n";
    host::PropertyReply links =
        host::QueryProperty(filter, host::PropertyInput(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS));
    for (ULONG index = 0; index < At<KSMULTIPLE_ITEM>(links).Count; ++index) {
        auto link = At<KSTOPOLOGY_CONNECTION>(links, sizeof(KSMULTIPLE_ITEM) + index * sizeof(KSTOPOLOGY_CONNECTION));
        text << Node(link.FromNode) << "." << link.FromNodePin << ">" << Node(link.ToNode) << "." << link.ToNodePin
             << " ";
    }
    return text.str();
}

class FilterEnumerationTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        Driver.OsVersion = 0x0600;
        adapter = Adapter::Create();
    }
    void TearDown() override
    {
        CloseAll();
        PlatformTest::TearDown();
    }

    // Clients, filters and cables first; the ports then let their miniports go.
    void CloseAll()
    {
        for (host::WaveClient* client : clients) {
            delete client;
        }
        for (host::KsFilter* filter : filters) {
            filter->Release();
        }
        adapter->DestroyAllCables();
        for (auto& [wave, topology] : ports) {
            wave->ReleaseChildren();
            wave->Release();
            topology->ReleaseChildren();
            topology->Release();
        }
        adapter->Release();
        clients.clear();
        filters.clear();
        ports.clear();
        host::RunQueuedDpcs();
        EXPECT_EQ(host::LivePoolCount(), 0u);
        EXPECT_TRUE(host::RegistrySubkeys(MediaCategoriesPath).empty()) << "every pin name went with its filter";
    }

    // Cable `index` with both filters bound to their ports; returns the two filter handles.
    std::pair<host::KsFilter*, host::KsFilter*> InstallCable(ULONG index, ULONG maxInstances, ULONG sourceLines = 7)
    {
        Cable* cable = Cable::Create(index, adapter);
        cable->MaxInstances = maxInstances;
        cable->AttachWaveMiniport(WaveMiniport::Create(cable));
        cable->AttachTopologyMiniport(TopologyMiniport::Create(cable));
        cable->Topology->ApplySourceLineTypesMask(sourceLines);
        adapter->AddCable(cable);
        PPORT wave = nullptr;
        PPORT topology = nullptr;
        EXPECT_EQ(PcNewPort(&wave, CLSID_PortWavePci), STATUS_SUCCESS);
        EXPECT_EQ(PcNewPort(&topology, CLSID_PortTopology), STATUS_SUCCESS);
        auto* adapterUnknown = static_cast<IAdapterPowerManagement*>(adapter);
        EXPECT_EQ(wave->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(cable->Wave), adapterUnknown, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(topology->Init(nullptr, nullptr, static_cast<IMiniportTopology*>(cable->Topology), adapterUnknown,
                                 nullptr),
                  STATUS_SUCCESS);
        auto* wavePort = static_cast<host::PortWavePci*>(static_cast<IPortWavePci*>(wave));
        auto* topologyPort = static_cast<host::PortTopology*>(static_cast<IPortTopology*>(topology));
        ports.emplace_back(wavePort, topologyPort);
        host::KsFilter* waveFilter = nullptr;
        host::KsFilter* topologyFilter = nullptr;
        EXPECT_EQ(host::KsFilter::Open(wavePort, &waveFilter), STATUS_SUCCESS);
        EXPECT_EQ(host::KsFilter::Open(topologyPort, &topologyFilter), STATUS_SUCCESS);
        filters.push_back(waveFilter);
        filters.push_back(topologyFilter);
        return {waveFilter, topologyFilter};
    }

    Adapter* adapter = nullptr;
    std::vector<std::pair<host::PortWavePci*, host::PortTopology*>> ports;
    std::vector<host::KsFilter*> filters;
    std::vector<host::WaveClient*> clients;
};

}  // namespace

TEST_F(FilterEnumerationTest, EachFilterShowsItsWholeDescriptorToAClient)
{
    struct Case {
        ULONG sourceLines;
        const char* topology;
    };
    const char* wave =
        "0: out sink capture x20 pcm88\n"
        "1: in audio x0 analog64\n"
        "2: in sink audio x20 pcm88\n"
        "3: out audio x0 analog64\n"
        "audio render capture-category \n"
        "volume supermix src sum dac adc \n"
        "pin.2>node0.1 node0.0>node1.1 node1.0>node2.1 node2.0>node3.1 node3.0>node4.1 node4.0>pin.3 "
        "pin.1>node5.1 node5.0>pin.0 ";
    const Case cases[] = {
        {2,
         "0: out audio x0 analog64\n"
         "1: out line x0 analog64 \"Tarn OUT 1\"\n"
         "2: in audio x0 analog64\n"
         "3: in line x0 analog64 \"Tarn IN 1\"\n"
         "audio topology \n"
         "sum volume mute volume mute \n"
         "node0.0>pin.0 pin.2>node1.1 node1.0>node2.1 node2.0>pin.1 pin.3>node3.1 node3.0>node4.1 node4.0>node0.1 "},
        {5,
         "0: out audio x0 analog64\n"
         "1: out line x0 analog64 \"Tarn OUT 1\"\n"
         "2: in audio x0 analog64\n"
         "3: in mic x0 analog64 \"Mic 1\"\n"
         "4: in spdif x0 analog64 \"S/PDIF 1\"\n"
         "audio topology \n"
         "sum volume mute volume mute volume mute \n"
         "node0.0>pin.0 pin.2>node1.1 node1.0>node2.1 node2.0>pin.1 pin.3>node3.1 node3.0>node4.1 node4.0>node0.1 "
         "pin.4>node5.1 node5.0>node6.1 node6.0>node0.2 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sourceLines);
        auto [waveFilter, topologyFilter] = InstallCable(0, 20, c.sourceLines);
        EXPECT_EQ(Describe(waveFilter), wave);
        EXPECT_EQ(Describe(topologyFilter), c.topology);
        CloseAll();
        adapter = Adapter::Create();
    }
}

TEST_F(FilterEnumerationTest, EachCableAllowsItsOwnNumberOfStreamsPerPin)
{
    const WAVEFORMATEXTENSIBLE format = host::PcmWaveFormatExtensible(48000, 16, 2, 0x3, 16);
    for (auto [index, limit] : {std::pair{0u, 1u}, std::pair{1u, 20u}}) {
        SCOPED_TRACE(limit);
        host::KsFilter* filter = InstallCable(index, limit).first;
        for (ULONG pinId : {WaveCapturePin, WaveRenderPin}) {
            for (ULONG opened = 0; opened <= limit; ++opened) {
                host::WaveClientOptions options;
                options.filter = filter;
                options.pinId = pinId;
                options.dataFormat = host::WaveDataFormat(format);
                std::unique_ptr<host::WaveClient> client;
                NTSTATUS status = host::WaveClient::Open(ports.back().first, options, &client);
                EXPECT_EQ(NT_SUCCESS(status), opened < limit) << "stream " << opened + 1 << " of pin " << pinId;
                if (client) {
                    clients.push_back(client.release());
                }
            }
        }
    }
}

TEST_F(FilterEnumerationTest, TheProposedFormatFollowsTheCablesLimitingMode)
{
    host::KsFilter* filter = InstallCable(0, 20).first;
    WaveMiniport* miniport = adapter->FindCable(0)->Wave;
    const FormatLimits configured = {44100, 48000, 16, 16, 2, 2};
    miniport->ApplyFormatRanges(&configured);
    const KSDATARANGE_AUDIO client = host::PcmDataRange(8, 8, 24, 8000, 96000);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&client);
    struct Case {
        LONG limiting;
        ULONG rate, bits, channels;
    };
    for (const Case& c : {Case{0, 96000, 24, 8}, Case{1, 48000, 16, 2}}) {
        SCOPED_TRACE(c.limiting);
        miniport->ApplyFormatLimiting(c.limiting);
        std::vector<uint8_t> proposed;
        ASSERT_EQ(host::ProposeFormat(filter, WaveRenderPin, {std::vector<uint8_t>(bytes, bytes + sizeof(client))},
                                      &proposed),
                  STATUS_SUCCESS);
        ASSERT_EQ(proposed.size(), 104u);
        WAVEFORMATEXTENSIBLE format;
        std::memcpy(&format, proposed.data() + sizeof(KSDATAFORMAT), sizeof(format));
        EXPECT_EQ(format.Format.nSamplesPerSec, c.rate);
        EXPECT_EQ(format.Samples.wValidBitsPerSample, c.bits);
        EXPECT_EQ(format.Format.nChannels, c.channels);
    }
}
