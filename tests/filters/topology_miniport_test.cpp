// The topology miniport: its descriptor for each source line types mask, its line records, its
// pin names under MediaCategories, its masks, failures while it is built, and the handlers of the
// tables both filters share. Descriptors are compared as short texts that read like the tables.
#include <algorithm>
#include <cstring>

#include "core/driver_state.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/filter_tables.h"
#include "filters/topology_miniport.h"
#include "support/platform_fixture.h"

namespace {

const std::string Categories = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\MediaCategories";
constexpr GUID ZeroGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr UCHAR NameBase[8] = {0x9E, 0x63, 0x5B, 0x2C, 0x07, 0xD4, 0xE8, 0x15};  // with 4C2E-4A1D

// A GUID as the tables name it; a pin name GUID as its Data1 in hex.
std::string NameOf(const GUID* guid)
{
    if (guid == nullptr) {
        return "-";
    }
    const std::pair<const GUID*, const char*> known[] = {
        {&ZeroGuid, "0"}, {&KSCATEGORY_AUDIO, "AUDIO"}, {&KSNODETYPE_SPEAKER, "SPEAKER"},
        {&KSNODETYPE_LINE_CONNECTOR, "LINE_CONNECTOR"}, {&KSNODETYPE_MICROPHONE, "MICROPHONE"},
        {&KSNODETYPE_SPDIF_INTERFACE, "SPDIF_INTERFACE"}, {&KSNODETYPE_SUM, "SUM"}, {&KSNODETYPE_VOLUME, "VOLUME"},
        {&KSNODETYPE_MUTE, "MUTE"}, {&KSAUDFNAME_MASTER_VOLUME, "MASTER_VOLUME"},
        {&KSAUDFNAME_MASTER_MUTE, "MASTER_MUTE"}, {&KSAUDFNAME_LINE_VOLUME, "LINE_VOLUME"},
        {&KSAUDFNAME_LINE_MUTE, "LINE_MUTE"}, {&KSAUDFNAME_MIC_VOLUME, "MIC_VOLUME"},
        {&KSAUDFNAME_MIC_MUTE, "MIC_MUTE"}};
    for (const auto& [value, name] : known) {
        if (IsEqualGUIDAligned(*guid, *value)) {
            return name;
        }
    }
    char text[16];
    const bool nameGuid = guid->Data2 == 0x4C2E && guid->Data3 == 0x4A1D &&
                          std::memcmp(guid->Data4, NameBase, sizeof(NameBase)) == 0;
    std::snprintf(text, sizeof(text), nameGuid ? "%08X" : "?%08X", static_cast<unsigned>(guid->Data1));
    return text;
}

// "in LINE_CONNECTOR 0": data flow, category, name; "!" marks a pin that is not a plain bridge pin
// (no instances, the analog range alone, the common table, no communication).
std::vector<std::string> PinTexts(const PCFILTER_DESCRIPTOR* descriptor)
{
    std::vector<std::string> texts;
    for (ULONG i = 0; i < descriptor->PinCount; ++i) {
        const PCPIN_DESCRIPTOR& pin = descriptor->Pins[i];
        const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
        const bool bridge = pin.MaxGlobalInstanceCount == 0 && pin.MaxFilterInstanceCount == 0 &&
                            pin.MinFilterInstanceCount == 0 && pin.AutomationTable == &CommonProperties &&
                            ks.InterfacesCount == 0 && ks.MediumsCount == 0 && ks.DataRangesCount == 1 &&
                            ks.DataRanges[0] == &BridgeRange && ks.Communication == KSPIN_COMMUNICATION_NONE;
        texts.push_back(std::string(ks.DataFlow == KSPIN_DATAFLOW_IN ? "in " : "out ") + NameOf(ks.Category) + " " +
                        NameOf(ks.Name) + (bridge ? "" : " !"));
    }
    return texts;
}

// "VOLUME LINE_VOLUME volume": type, name, automation table.
std::vector<std::string> NodeTexts(const PCFILTER_DESCRIPTOR* descriptor)
{
    std::vector<std::string> texts;
    for (ULONG i = 0; i < descriptor->NodeCount; ++i) {
        const PCNODE_DESCRIPTOR& node = descriptor->Nodes[i];
        const PCAUTOMATION_TABLE* table = node.AutomationTable;
        const char* tableName = table == &CommonProperties       ? "common"
                                : table == &VolumeNodeProperties ? "volume"
                                : table == &MuteNodeProperties   ? "mute"
                                                                 : "?";
        texts.push_back(NameOf(node.Type) + " " + NameOf(node.Name) + " " + tableName + (node.Flags ? " !" : ""));
    }
    return texts;
}

// "F2>1.1": from node (F for the filter) and pin, to node and pin.
std::vector<std::string> ConnectionTexts(const PCFILTER_DESCRIPTOR* descriptor)
{
    auto node = [](ULONG id) { return id == KSFILTER_NODE ? std::string("F") : std::to_string(id); };
    std::vector<std::string> texts;
    for (ULONG i = 0; i < descriptor->ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = descriptor->Connections[i];
        texts.push_back(node(c.FromNode) + std::to_string(c.FromNodePin) + ">" + node(c.ToNode) + "." +
                        std::to_string(c.ToNodePin));
    }
    return texts;
}

class TopologyMiniportTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        savedOsVersion = Driver.OsVersion;
        host::RegistryCreateKey(Categories);  // every Windows has it
        adapter = Adapter::Create();
        ASSERT_NE(adapter, nullptr);
    }

    void TearDown() override
    {
        for (Cable* cable : cables) {
            Cable::Destroy(cable);
        }
        adapter->Release();
        Driver.OsVersion = savedOsVersion;
        EXPECT_EQ(host::LivePoolCount(), 0u) << "every object returned its pool";
        EXPECT_EQ(host::RegistryOpenHandleCount(), 0u);
        PlatformTest::TearDown();
    }

    // A cable with a topology miniport of the given types mask, initialised on `osVersion`.
    TopologyMiniport* Initialised(ULONG index, ULONG typesMask, ULONG osVersion, NTSTATUS expected = STATUS_SUCCESS)
    {
        Driver.OsVersion = osVersion;
        cables.push_back(Cable::Create(index, adapter));
        TopologyMiniport* miniport = TopologyMiniport::Create(cables.back());
        cables.back()->AttachTopologyMiniport(miniport);
        EXPECT_EQ(miniport->ApplySourceLineTypesMask(typesMask), STATUS_SUCCESS);
        EXPECT_EQ(miniport->Init(nullptr, nullptr, nullptr), expected) << "mask " << typesMask;
        return miniport;
    }

    void DestroyLastCable()
    {
        Cable::Destroy(cables.back());
        cables.pop_back();
    }

    static std::vector<std::string> CategoryKeys()
    {
        std::vector<std::string> keys = host::RegistrySubkeys(Categories);
        std::sort(keys.begin(), keys.end());
        return keys;
    }

    ULONG savedOsVersion = 0;
    Adapter* adapter = nullptr;
    std::vector<Cable*> cables;
};

using Texts = std::vector<std::string>;

}  // namespace

TEST_F(TopologyMiniportTest, DescriptorSizesAndLineRecordsFollowTheTypesMask)
{
    struct Case {
        ULONG mask;
        ULONG pins, nodes, connections;
        Texts lines;  // type, pin, volume node, mute node
    };
    const Case cases[] = {
        {1, 4, 5, 7, {"0 1 1 2", "1 3 3 4"}},
        {2, 4, 5, 7, {"0 1 1 2", "2 3 3 4"}},
        {3, 5, 7, 10, {"0 1 1 2", "1 3 3 4", "2 4 5 6"}},
        {4, 4, 5, 7, {"0 1 1 2", "3 3 3 4"}},
        {5, 5, 7, 10, {"0 1 1 2", "1 3 3 4", "3 4 5 6"}},
        {6, 5, 7, 10, {"0 1 1 2", "2 3 3 4", "3 4 5 6"}},
        {7, 6, 9, 13, {"0 1 1 2", "1 3 3 4", "2 4 5 6", "3 5 7 8"}},
    };
    for (const Case& c : cases) {
        TopologyMiniport* miniport = Initialised(0, c.mask, 0x0501);
        PPCFILTER_DESCRIPTOR d = nullptr;
        ASSERT_EQ(miniport->GetDescription(&d), STATUS_SUCCESS);
        EXPECT_EQ(std::vector<ULONG>({d->PinCount, d->NodeCount, d->ConnectionCount}),
                  std::vector<ULONG>({c.pins, c.nodes, c.connections}))
            << "mask " << c.mask;
        // The x64 sizes of PCPIN_DESCRIPTOR and PCNODE_DESCRIPTOR; the port's own categories.
        EXPECT_EQ(std::vector<ULONG>({d->Version, d->PinSize, d->NodeSize, d->CategoryCount}),
                  std::vector<ULONG>({0, 112, 32, 0}));
        EXPECT_EQ(d->AutomationTable, &TopologyFilterProperties);
        Texts lines;
        for (ULONG i = 0; i < miniport->LineCount; ++i) {
            const TopologyLine& line = miniport->Lines[i];
            lines.push_back(std::to_string(line.Type) + " " + std::to_string(line.PinId) + " " +
                            std::to_string(line.VolumeNode) + " " + std::to_string(line.MuteNode));
            for (ULONG channel = 0; channel < 8; ++channel) {
                EXPECT_TRUE(line.ChannelLevels[channel] == 0 && line.ChannelGains[channel].Numerator == 1 &&
                            line.ChannelGains[channel].Denominator == 1 && !line.ChannelMutes[channel])
                    << "mask " << c.mask << " line " << i << " channel " << channel;
            }
        }
        EXPECT_EQ(lines, c.lines) << "mask " << c.mask;
    }
}

TEST_F(TopologyMiniportTest, LineInAloneAndMicrophoneWithSpdifGiveTheListedTopology)
{
    struct Case {
        ULONG mask;
        Texts pins, nodes, connections;
    };
    const Texts pins = {"out AUDIO -", "out SPEAKER MASTER_VOLUME", "in AUDIO -"};
    const Texts nodes = {"SUM - common", "VOLUME MASTER_VOLUME volume", "MUTE MASTER_MUTE mute"};
    const Texts connections = {"00>F.0", "F2>1.1", "10>2.1", "20>F.1"};
    auto join = [](Texts head, const Texts& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const Case cases[] = {
        {2, join(pins, {"in LINE_CONNECTOR 0"}), join(nodes, {"VOLUME LINE_VOLUME volume", "MUTE LINE_MUTE mute"}),
         join(connections, {"F3>3.1", "30>4.1", "40>0.1"})},
        {5, join(pins, {"in MICROPHONE 0", "in SPDIF_INTERFACE 0"}),
         join(nodes, {"VOLUME MIC_VOLUME volume", "MUTE MIC_MUTE mute", "VOLUME 0 volume", "MUTE 0 mute"}),
         join(connections, {"F3>3.1", "30>4.1", "40>0.1", "F4>5.1", "50>6.1", "60>0.2"})},
    };
    for (const Case& c : cases) {
        PPCFILTER_DESCRIPTOR d = nullptr;
        Initialised(0, c.mask, 0x0502)->GetDescription(&d);
        EXPECT_EQ(PinTexts(d), c.pins) << "mask " << c.mask;
        EXPECT_EQ(NodeTexts(d), c.nodes) << "mask " << c.mask;
        EXPECT_EQ(ConnectionTexts(d), c.connections) << "mask " << c.mask;
    }
}

TEST_F(TopologyMiniportTest, PinNamesAreRegisteredFromVistaOnAndRemovedWithTheMiniport)
{
    struct Case {
        ULONG osVersion;
        ULONG index;
        ULONG mask;
        Texts pins;                                           // from pin 1 on
        std::vector<std::pair<std::string, std::string>> keys;  // key name and its "Name", sorted
    };
    const Case cases[] = {
        {0x0600, 0, 7, {"out LINE_CONNECTOR 5A003000", "in AUDIO -", "in MICROPHONE 5A001000",
                        "in LINE_CONNECTOR 5A002000", "in SPDIF_INTERFACE 5A004000"},
         {{"{5a001000-4c2e-4a1d-9e63-5b2c07d4e815}", "Mic 1"},
          {"{5a002000-4c2e-4a1d-9e63-5b2c07d4e815}", "Tarn IN 1"},
          {"{5a003000-4c2e-4a1d-9e63-5b2c07d4e815}", "Tarn OUT 1"},
          {"{5a004000-4c2e-4a1d-9e63-5b2c07d4e815}", "S/PDIF 1"}}},
        {0x0601, 2, 2, {"out LINE_CONNECTOR 5A003002", "in AUDIO -", "in LINE_CONNECTOR 5A002002"},
         {{"{5a002002-4c2e-4a1d-9e63-5b2c07d4e815}", "Tarn IN 3"},
          {"{5a003002-4c2e-4a1d-9e63-5b2c07d4e815}", "Tarn OUT 3"}}},
        {0x0502, 0, 7,
         {"out SPEAKER MASTER_VOLUME", "in AUDIO -", "in MICROPHONE 0", "in LINE_CONNECTOR 0", "in SPDIF_INTERFACE 0"},
         {}},
        {0x0500, 0, 1, {"out SPEAKER MASTER_VOLUME", "in AUDIO -", "in MICROPHONE 0"}, {}},
    };
    const std::string unrelated = "{6994ad04-93ef-11d0-a3cc-00a0c9223196}";
    host::RegistrySetDword(Categories + "\\" + unrelated, "Display", 1);
    for (const Case& c : cases) {
        PPCFILTER_DESCRIPTOR d = nullptr;
        Initialised(c.index, c.mask, c.osVersion)->GetDescription(&d);
        const Texts pins = PinTexts(d);
        EXPECT_EQ(Texts(pins.begin() + 1, pins.end()), c.pins) << "OS " << std::hex << c.osVersion;
        Texts keys = {unrelated};
        for (const auto& [key, label] : c.keys) {
            keys.push_back(key);
            host::RegistryValueData name;
            ASSERT_TRUE(host::RegistryGetValue(Categories + "\\" + key, "Name", &name)) << key;
            std::u16string wide(label.begin(), label.end());
            EXPECT_EQ(name.type, static_cast<ULONG>(REG_SZ));
            EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name.data.data()), name.data.size() / 2),
                      wide + u'\0')
                << "the label, a space and the cable number, terminated";
            EXPECT_EQ(RegistryDword(Categories + "\\" + key, "Display"), 0u) << label;
        }
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(CategoryKeys(), keys) << "OS " << std::hex << c.osVersion;
        DestroyLastCable();
        EXPECT_EQ(CategoryKeys(), Texts{unrelated}) << "only its own keys are removed";
    }
}

// Failing each allocation of creation and Init in turn: five in all, the object and its four
// arrays. Each fails the whole with no pool and no name left behind.
TEST_F(TopologyMiniportTest, EveryAllocationThatFailsFailsCreationOrInitAndLeavesNothing)
{
    Driver.OsVersion = 0x0600;
    cables.push_back(Cable::Create(0, adapter));
    const size_t poolBefore = host::LivePoolCount();
    uint64_t failures = 0;
    for (uint64_t failing = 1; failing < 20; ++failing) {
        const uint64_t injectedBefore = host::InjectedPoolFailures();
        host::FailNthAllocation(failing);
        TopologyMiniport* miniport = TopologyMiniport::Create(cables.back());
        NTSTATUS status = (miniport == nullptr) ? STATUS_INSUFFICIENT_RESOURCES
                                                : miniport->Init(nullptr, nullptr, nullptr);
        const bool injected = host::InjectedPoolFailures() != injectedBefore;
        host::ClearPoolFaults();
        if (miniport != nullptr) {
            miniport->Release();
        }
        EXPECT_EQ(host::LivePoolCount(), poolBefore) << "allocation " << failing;
        EXPECT_EQ(CategoryKeys(), Texts{}) << "allocation " << failing;
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        ++failures;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << failing;
    }
    EXPECT_EQ(failures, 5u);
}

// A key that cannot be made fails Init with the registry's status; every key made before it goes
// with the miniport, and a key of the same name left by an earlier run is not its to remove.
TEST_F(TopologyMiniportTest, ARegistryFailureFailsInitWithItsStatusAndLeavesNoKeyOfItsOwn)
{
    struct Case {
        std::string failing;  // below MediaCategories; empty: the MediaCategories key itself
        NTSTATUS status;
        size_t keysWhileAlive;
        bool leftByEarlierRun;
    };
    const std::string lineOut = "{5a003000-4c2e-4a1d-9e63-5b2c07d4e815}";
    const std::string mic = "{5a001000-4c2e-4a1d-9e63-5b2c07d4e815}";
    const std::string spdif = "{5a004000-4c2e-4a1d-9e63-5b2c07d4e815}";
    const Case cases[] = {
        {"", STATUS_ACCESS_DENIED, 0, false},           {lineOut, STATUS_ACCESS_DENIED, 0, false},
        {mic, STATUS_INSUFFICIENT_RESOURCES, 1, false}, {spdif, STATUS_ACCESS_DENIED, 3, false},
        {mic, STATUS_ACCESS_DENIED, 2, true},
    };
    for (const Case& c : cases) {
        const std::string failingPath = c.failing.empty() ? Categories : Categories + "\\" + c.failing;
        if (c.leftByEarlierRun) {
            host::RegistrySetDword(failingPath, "Display", 0);
        }
        host::RegistryFailAccess(failingPath, c.status);
        Initialised(0, 7, 0x0600, c.status);
        host::RegistryClearFaults();
        EXPECT_EQ(CategoryKeys().size(), c.keysWhileAlive) << c.failing;
        DestroyLastCable();
        EXPECT_EQ(CategoryKeys(), c.leftByEarlierRun ? Texts{c.failing} : Texts{}) << c.failing;
        host::RegistryClear();
        host::RegistryCreateKey(Categories);
    }
}

TEST_F(TopologyMiniportTest, MaskSettersStoreOnlyAcceptedValues)
{
    struct Case {
        bool types;  // which setter
        ULONG value;
        NTSTATUS status;
        ULONG typesAfter, connectedAfter;
    };
    // In order on one miniport, which starts with types 7 and connected 2.
    const Case cases[] = {
        {true, 0, STATUS_INVALID_PARAMETER, 7, 2},  {true, 8, STATUS_INVALID_PARAMETER, 7, 2},
        {true, 0xF, STATUS_INVALID_PARAMETER, 7, 2}, {false, 8, STATUS_INVALID_PARAMETER, 7, 2},
        {false, 0, STATUS_INVALID_PARAMETER, 7, 2}, {false, 3, STATUS_SUCCESS, 7, 3},
        {true, 4, STATUS_SUCCESS, 4, 4},            {false, 1, STATUS_INVALID_PARAMETER, 4, 4},
        {false, 5, STATUS_INVALID_PARAMETER, 4, 4}, {true, 5, STATUS_SUCCESS, 5, 4},
        {false, 1, STATUS_SUCCESS, 5, 1},           {true, 3, STATUS_SUCCESS, 3, 1},
    };
    cables.push_back(Cable::Create(0, adapter));
    TopologyMiniport* miniport = TopologyMiniport::Create(cables.back());
    cables.back()->AttachTopologyMiniport(miniport);
    EXPECT_EQ(miniport->SourceLineTypesMask, 7u);
    EXPECT_EQ(miniport->ConnectedSourceLinesMask, 2u);
    for (const Case& c : cases) {
        NTSTATUS status = c.types ? miniport->ApplySourceLineTypesMask(c.value)
                                  : miniport->ApplyConnectedSourceLinesMask(c.value);
        EXPECT_EQ(std::vector<ULONG>({static_cast<ULONG>(status), miniport->SourceLineTypesMask,
                                      miniport->ConnectedSourceLinesMask}),
                  std::vector<ULONG>({static_cast<ULONG>(c.status), c.typesAfter, c.connectedAfter}))
            << (c.types ? "types " : "connected ") << c.value;
    }
}

// A types mask without the connected lines leaves the connected mask a non-empty subset of it:
// the lines still there, or every line when none is (the default, line in, without a line in).
// Each types mask is set on a fresh miniport, whose connected mask starts at the default 2.
TEST_F(TopologyMiniportTest, ConnectedMaskStaysANonEmptySubsetOfTheTypesMask)
{
    const std::pair<ULONG, ULONG> rows[] = {{7, 2}, {3, 2}, {2, 2}, {6, 2}, {1, 1}, {4, 4}, {5, 5}};
    for (const auto& [types, connected] : rows) {
        SCOPED_TRACE(types);
        cables.push_back(Cable::Create(0, adapter));
        TopologyMiniport* miniport = TopologyMiniport::Create(cables.back());
        cables.back()->AttachTopologyMiniport(miniport);
        ASSERT_EQ(miniport->ApplySourceLineTypesMask(types), STATUS_SUCCESS);
        EXPECT_EQ(miniport->ConnectedSourceLinesMask, connected);
        EXPECT_EQ(miniport->ApplyConnectedSourceLinesMask(miniport->ConnectedSourceLinesMask), STATUS_SUCCESS)
            << "the mask kept is one the setter accepts";
    }
}

TEST_F(TopologyMiniportTest, IdentityNameAndTheCablesHold)
{
    struct Case {
        ULONG index;
        std::u16string name;
    };
    for (const Case& c : {Case{0, u"topo1"}, Case{9, u"topo10"}, Case{255, u"topo256"}}) {
        EXPECT_EQ(std::u16string(Initialised(c.index, 7, 0x0501)->Name), c.name);
    }
    TopologyMiniport* miniport = cables.front()->Topology;
    const PVOID primary = static_cast<IMiniportTopology*>(miniport);
    for (const GUID* iid : {&IID_IUnknown, &IID_IMiniport, &IID_IMiniportTopology}) {
        PVOID found = nullptr;
        EXPECT_EQ(miniport->QueryInterface(*iid, &found), STATUS_SUCCESS);
        EXPECT_EQ(found, primary);
        miniport->Release();
    }
    PVOID other = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(miniport->NonDelegatingQueryInterface(IID_IMiniportWavePci, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(miniport->DataRangeIntersection(0, nullptr, nullptr, 0, nullptr, nullptr), STATUS_NOT_IMPLEMENTED);

    // As PortCls may: hold the miniport past the cable's teardown, which drops the cable's hold
    // but keeps the storage the miniport reads.
    miniport->AddRef();
    Cable* cable = cables.front();
    cables.erase(cables.begin());
    Cable::Destroy(cable);
    EXPECT_EQ(miniport->CableOwner, cable);
    EXPECT_EQ(miniport->CableOwner->Topology, nullptr) << "the cable no longer holds its miniport";
    EXPECT_EQ(miniport->Release(), 0u);
}

TEST_F(TopologyMiniportTest, SharedTablesAnswerCpuResourcesAndLeaveNamesToThePort)
{
    struct Case {
        ULONG verb;
        ULONG valueSize;
        NTSTATUS status;
        ULONG sizeAfter;
        std::vector<ULONG> words;  // the value's first ULONGs as written
    };
    // KSPROPTYPESETID_General {97E99BA0-BDEA-11CF-A5D6-28DB04C10000} as four ULONGs; VT_UI4 is 19.
    const std::vector<ULONG> description = {0x201, 40, 0x97E99BA0, 0x11CFBDEA, 0xDB28D6A5, 0x0000C104, 19, 0, 0, 0};
    const ULONG get = KSPROPERTY_TYPE_GET;
    const ULONG basic = KSPROPERTY_TYPE_BASICSUPPORT;
    const Case cases[] = {
        {get, 8, STATUS_SUCCESS, 4, {0}},           {get, 4, STATUS_SUCCESS, 4, {0}},
        {get, 3, STATUS_BUFFER_TOO_SMALL, 3, {}},   {get, 0, STATUS_BUFFER_OVERFLOW, 4, {}},
        {basic, 0, STATUS_BUFFER_OVERFLOW, 40, {}}, {basic, 2, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {basic, 4, STATUS_SUCCESS, 4, {0x201}},     {basic, 39, STATUS_SUCCESS, 4, {0x201}},
        {basic, 48, STATUS_SUCCESS, 40, description},
    };
    ASSERT_EQ(CommonProperties.PropertyCount, 3u);
    const PCPROPERTY_ITEM& cpu = CommonProperties.Properties[0];
    EXPECT_TRUE(IsEqualGUIDAligned(*cpu.Set, KSPROPSETID_Audio) && cpu.Id == KSPROPERTY_AUDIO_CPU_RESOURCES);
    for (const Case& c : cases) {
        std::vector<ULONG> buffer(16, 0xA5A5A5A5);
        PCPROPERTY_REQUEST request = {};
        request.PropertyItem = &cpu;
        request.Verb = c.verb;
        request.ValueSize = c.valueSize;
        request.Value = buffer.data();
        EXPECT_EQ(cpu.Handler(&request), c.status) << "verb " << c.verb << " size " << c.valueSize;
        EXPECT_EQ(request.ValueSize, c.sizeAfter) << "verb " << c.verb << " size " << c.valueSize;
        std::vector<ULONG> expected = c.words;
        expected.resize(16, 0xA5A5A5A5);
        EXPECT_EQ(buffer, expected) << "verb " << c.verb << " size " << c.valueSize << ": nothing else written";
    }
    for (ULONG item = 1; item < CommonProperties.PropertyCount; ++item) {
        PCPROPERTY_REQUEST request = {};
        request.PropertyItem = &CommonProperties.Properties[item];
        request.Verb = KSPROPERTY_TYPE_GET;
        EXPECT_EQ(CommonProperties.Properties[item].Handler(&request), STATUS_NOT_FOUND);
    }
    EXPECT_EQ(BridgeRange.FormatSize, 64u);
    EXPECT_TRUE(IsEqualGUIDAligned(BridgeRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUIDAligned(BridgeRange.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
    EXPECT_TRUE(IsEqualGUIDAligned(BridgeRange.Specifier, KSDATAFORMAT_SPECIFIER_NONE));
}
