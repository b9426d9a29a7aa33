// The topology miniport: its descriptor for each source line types mask, its line records, its
// pin names under MediaCategories, its masks, failures while it is built, and the handlers of the
// tables both filters share.
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
        PlatformTest::TearDown();
    }

    // A cable with a topology miniport of the given types mask, initialised on `osVersion`.
    TopologyMiniport* Initialised(ULONG index, ULONG typesMask, ULONG osVersion, NTSTATUS expected = STATUS_SUCCESS)
    {
        Driver.OsVersion = osVersion;
        Cable* cable = Cable::Create(index, adapter);
        EXPECT_NE(cable, nullptr);
        cables.push_back(cable);
        TopologyMiniport* miniport = TopologyMiniport::Create(cable);
        EXPECT_NE(miniport, nullptr);
        cable->AttachTopologyMiniport(miniport);
        EXPECT_EQ(miniport->ApplySourceLineTypesMask(typesMask), STATUS_SUCCESS);
        EXPECT_EQ(miniport->Init(nullptr, nullptr, nullptr), expected) << "mask " << typesMask;
        return miniport;
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

struct ExpectedPin {
    KSPIN_DATAFLOW flow;
    const GUID* category;
    const GUID* name;  // null: no name
};

struct ExpectedNode {
    const GUID* type;
    const GUID* name;  // null: no name
    const PCAUTOMATION_TABLE* automation;
};

void ExpectSameGuid(const GUID* actual, const GUID* expected, const std::string& what)
{
    if (expected == nullptr) {
        EXPECT_EQ(actual, nullptr) << what;
        return;
    }
    ASSERT_NE(actual, nullptr) << what;
    EXPECT_TRUE(IsEqualGUIDAligned(*actual, *expected)) << what;
}

}  // namespace

TEST_F(TopologyMiniportTest, DescriptorSizesAndLineRecordsFollowTheTypesMask)
{
    struct Case {
        ULONG mask;
        ULONG pins, nodes, connections;
        ULONG types[4];  // of lines 0..; the rest 0
    };
    const Case cases[] = {
        {1, 4, 5, 7, {0, 1}},    {2, 4, 5, 7, {0, 2}},    {3, 5, 7, 10, {0, 1, 2}},    {4, 4, 5, 7, {0, 3}},
        {5, 5, 7, 10, {0, 1, 3}}, {6, 5, 7, 10, {0, 2, 3}}, {7, 6, 9, 13, {0, 1, 2, 3}},
    };
    for (const Case& c : cases) {
        TopologyMiniport* miniport = Initialised(0, c.mask, 0x0501);
        PPCFILTER_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(miniport->GetDescription(&descriptor), STATUS_SUCCESS);
        ASSERT_NE(descriptor, nullptr);
        EXPECT_EQ(descriptor->PinCount, c.pins) << "mask " << c.mask;
        EXPECT_EQ(descriptor->NodeCount, c.nodes) << "mask " << c.mask;
        EXPECT_EQ(descriptor->ConnectionCount, c.connections) << "mask " << c.mask;
        EXPECT_EQ(descriptor->PinSize, 112u) << "PCPIN_DESCRIPTOR on x64";
        EXPECT_EQ(descriptor->NodeSize, 32u) << "PCNODE_DESCRIPTOR on x64";
        EXPECT_EQ(descriptor->Version, 0u);
        EXPECT_EQ(descriptor->CategoryCount, 0u);
        EXPECT_EQ(descriptor->AutomationTable, &TopologyFilterProperties);
        ASSERT_EQ(miniport->LineCount, c.pins - 2);
        for (ULONG line = 0; line < miniport->LineCount; ++line) {
            const TopologyLine& record = miniport->Lines[line];
            const ULONG pin = (line == 0) ? 1 : line + 2;
            EXPECT_EQ(record.Type, c.types[line]) << "mask " << c.mask << " line " << line;
            EXPECT_EQ(record.PinId, pin);
            EXPECT_EQ(record.VolumeNode, (line == 0) ? 1 : 2 * line + 1);
            EXPECT_EQ(record.MuteNode, (line == 0) ? 2 : 2 * line + 2);
            EXPECT_TRUE(IsEqualGUIDAligned(record.NameGuid, ZeroGuid));
            for (ULONG channel = 0; channel < 8; ++channel) {
                EXPECT_EQ(record.ChannelLevels[channel], 0);
                EXPECT_EQ(record.ChannelGains[channel].Numerator, 1);
                EXPECT_EQ(record.ChannelGains[channel].Denominator, 1);
                EXPECT_EQ(record.ChannelMutes[channel], FALSE);
            }
        }
    }
}

TEST_F(TopologyMiniportTest, LineInAloneAndMicrophoneWithSpdifGiveTheListedTopology)
{
    struct Case {
        ULONG mask;
        std::vector<ExpectedPin> pins;
        std::vector<ExpectedNode> nodes;
        std::vector<PCCONNECTION_DESCRIPTOR> connections;
    };
    const ULONG F = KSFILTER_NODE;
    const std::vector<ExpectedPin> templatePins = {
        {KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO, nullptr},
        {KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER, &KSAUDFNAME_MASTER_VOLUME},
        {KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO, nullptr},
    };
    const std::vector<ExpectedNode> templateNodes = {
        {&KSNODETYPE_SUM, nullptr, &CommonProperties},
        {&KSNODETYPE_VOLUME, &KSAUDFNAME_MASTER_VOLUME, &VolumeNodeProperties},
        {&KSNODETYPE_MUTE, &KSAUDFNAME_MASTER_MUTE, &MuteNodeProperties},
    };
    const std::vector<PCCONNECTION_DESCRIPTOR> templateConnections = {
        {0, 0, F, 0}, {F, 2, 1, 1}, {1, 0, 2, 1}, {2, 0, F, 1}};
    auto join = [](auto head, std::initializer_list<typename decltype(head)::value_type> tail) {
        head.insert(head.end(), tail);
        return head;
    };
    const Case cases[] = {
        {2, join(templatePins, {{KSPIN_DATAFLOW_IN, &KSNODETYPE_LINE_CONNECTOR, &ZeroGuid}}),
         join(templateNodes, {{&KSNODETYPE_VOLUME, &KSAUDFNAME_LINE_VOLUME, &VolumeNodeProperties},
                              {&KSNODETYPE_MUTE, &KSAUDFNAME_LINE_MUTE, &MuteNodeProperties}}),
         join(templateConnections, {{F, 3, 3, 1}, {3, 0, 4, 1}, {4, 0, 0, 1}})},
        {5,
         join(templatePins, {{KSPIN_DATAFLOW_IN, &KSNODETYPE_MICROPHONE, &ZeroGuid},
                             {KSPIN_DATAFLOW_IN, &KSNODETYPE_SPDIF_INTERFACE, &ZeroGuid}}),
         join(templateNodes, {{&KSNODETYPE_VOLUME, &KSAUDFNAME_MIC_VOLUME, &VolumeNodeProperties},
                              {&KSNODETYPE_MUTE, &KSAUDFNAME_MIC_MUTE, &MuteNodeProperties},
                              {&KSNODETYPE_VOLUME, &ZeroGuid, &VolumeNodeProperties},
                              {&KSNODETYPE_MUTE, &ZeroGuid, &MuteNodeProperties}}),
         join(templateConnections,
              {{F, 3, 3, 1}, {3, 0, 4, 1}, {4, 0, 0, 1}, {F, 4, 5, 1}, {5, 0, 6, 1}, {6, 0, 0, 2}})},
    };
    for (const Case& c : cases) {
        TopologyMiniport* miniport = Initialised(0, c.mask, 0x0502);
        PPCFILTER_DESCRIPTOR descriptor = nullptr;
        miniport->GetDescription(&descriptor);
        ASSERT_EQ(descriptor->PinCount, c.pins.size());
        ASSERT_EQ(descriptor->NodeCount, c.nodes.size());
        ASSERT_EQ(descriptor->ConnectionCount, c.connections.size());
        for (size_t i = 0; i < c.pins.size(); ++i) {
            const PCPIN_DESCRIPTOR& pin = descriptor->Pins[i];
            const std::string what = "mask " + std::to_string(c.mask) + " pin " + std::to_string(i);
            EXPECT_EQ(pin.MaxGlobalInstanceCount, 0u) << what;
            EXPECT_EQ(pin.MaxFilterInstanceCount, 0u) << what;
            EXPECT_EQ(pin.MinFilterInstanceCount, 0u) << what;
            EXPECT_EQ(pin.AutomationTable, &CommonProperties) << what;
            EXPECT_EQ(pin.KsPinDescriptor.InterfacesCount, 0u) << what;
            EXPECT_EQ(pin.KsPinDescriptor.MediumsCount, 0u) << what;
            ASSERT_EQ(pin.KsPinDescriptor.DataRangesCount, 1u) << what;
            EXPECT_EQ(pin.KsPinDescriptor.DataRanges[0], &BridgeRange) << what;
            EXPECT_EQ(pin.KsPinDescriptor.DataFlow, c.pins[i].flow) << what;
            EXPECT_EQ(pin.KsPinDescriptor.Communication, KSPIN_COMMUNICATION_NONE) << what;
            ExpectSameGuid(pin.KsPinDescriptor.Category, c.pins[i].category, what + " category");
            ExpectSameGuid(pin.KsPinDescriptor.Name, c.pins[i].name, what + " name");
        }
        for (size_t i = 0; i < c.nodes.size(); ++i) {
            const PCNODE_DESCRIPTOR& node = descriptor->Nodes[i];
            const std::string what = "mask " + std::to_string(c.mask) + " node " + std::to_string(i);
            EXPECT_EQ(node.Flags, 0u) << what;
            EXPECT_EQ(node.AutomationTable, c.nodes[i].automation) << what;
            ExpectSameGuid(node.Type, c.nodes[i].type, what + " type");
            ExpectSameGuid(node.Name, c.nodes[i].name, what + " name");
        }
        for (size_t i = 0; i < c.connections.size(); ++i) {
            const PCCONNECTION_DESCRIPTOR& got = descriptor->Connections[i];
            const PCCONNECTION_DESCRIPTOR& want = c.connections[i];
            EXPECT_EQ(std::vector<ULONG>({got.FromNode, got.FromNodePin, got.ToNode, got.ToNodePin}),
                      std::vector<ULONG>({want.FromNode, want.FromNodePin, want.ToNode, want.ToNodePin}))
                << "mask " << c.mask << " connection " << i;
        }
    }
}

TEST_F(TopologyMiniportTest, PinNamesAreRegisteredFromVistaOnAndRemovedWithTheMiniport)
{
    struct Key {
        std::string name;
        std::string label;
        ULONG pin;
        ULONG data1;  // of the pin's name GUID; the rest is 4C2E-4A1D-9E63-5B2C07D4E815
    };
    struct Case {
        ULONG osVersion;
        ULONG index;
        ULONG mask;
        std::vector<Key> keys;  // sorted by name
    };
    const Case cases[] = {
        {0x0600, 0, 7,
         {{"{5a001000-4c2e-4a1d-9e63-5b2c07d4e815}", "Mic 1", 3, 0x5A001000},
          {"{5a002000-4c2e-4a1d-9e63-5b2c07d4e815}", "Tarn IN 1", 4, 0x5A002000},
          {"{5a003000-4c2e-4a1d-9e63-5b2c07d4e815}", "Tarn OUT 1", 1, 0x5A003000},
          {"{5a004000-4c2e-4a1d-9e63-5b2c07d4e815}", "S/PDIF 1", 5, 0x5A004000}}},
        {0x0601, 2, 2,
         {{"{5a002002-4c2e-4a1d-9e63-5b2c07d4e815}", "Tarn IN 3", 3, 0x5A002002},
          {"{5a003002-4c2e-4a1d-9e63-5b2c07d4e815}", "Tarn OUT 3", 1, 0x5A003002}}},
        {0x0502, 0, 7, {}},
        {0x0500, 0, 7, {}},
    };
    const std::string unrelated = "{6994ad04-93ef-11d0-a3cc-00a0c9223196}";
    host::RegistrySetDword(Categories + "\\" + unrelated, "Display", 1);
    for (const Case& c : cases) {
        TopologyMiniport* miniport = Initialised(c.index, c.mask, c.osVersion);
        std::vector<std::string> expectedKeys = {unrelated};
        for (const Key& key : c.keys) {
            expectedKeys.push_back(key.name);
            const std::string path = Categories + "\\" + key.name;
            host::RegistryValueData name;
            ASSERT_TRUE(host::RegistryGetValue(path, "Name", &name)) << path;
            EXPECT_EQ(name.type, static_cast<ULONG>(REG_SZ));
            std::u16string wide(key.label.begin(), key.label.end());
            wide.push_back(u'\0');
            EXPECT_EQ(name.data.size(), wide.size() * 2) << key.label << ", terminator included";
            EXPECT_EQ(std::memcmp(name.data.data(), wide.data(), std::min(name.data.size(), wide.size() * 2)), 0)
                << key.label;
            EXPECT_EQ(RegistryDword(path, "Display"), 0u) << key.label;
            const GUID expectedName = {key.data1, 0x4C2E, 0x4A1D, {0x9E, 0x63, 0x5B, 0x2C, 0x07, 0xD4, 0xE8, 0x15}};
            ExpectSameGuid(miniport->Pins[key.pin].KsPinDescriptor.Name, &expectedName, key.label + " pin name");
        }
        std::sort(expectedKeys.begin(), expectedKeys.end());
        EXPECT_EQ(CategoryKeys(), expectedKeys) << "OS " << std::hex << c.osVersion;
        const bool named = !c.keys.empty();
        ExpectSameGuid(miniport->Pins[1].KsPinDescriptor.Category,
                       named ? &KSNODETYPE_LINE_CONNECTOR : &KSNODETYPE_SPEAKER, "pin 1 category");
        if (!named) {
            ExpectSameGuid(miniport->Pins[1].KsPinDescriptor.Name, &KSAUDFNAME_MASTER_VOLUME, "pin 1 name");
            for (ULONG pin = 3; pin < miniport->PinCount; ++pin) {
                ExpectSameGuid(miniport->Pins[pin].KsPinDescriptor.Name, &ZeroGuid, "source pin name");
            }
        }
        Cable::Destroy(cables.back());
        cables.pop_back();
        EXPECT_EQ(CategoryKeys(), std::vector<std::string>{unrelated}) << "only its own keys are removed";
    }
    EXPECT_EQ(host::RegistryOpenHandleCount(), 0u);
}

// Failing each allocation of creation and Init in turn: five in all, the object and its four
// arrays. Each fails the whole with no pool and no name left behind.
TEST_F(TopologyMiniportTest, EveryAllocationThatFailsFailsCreationOrInitAndLeavesNothing)
{
    Driver.OsVersion = 0x0600;
    Cable* cable = Cable::Create(0, adapter);
    ASSERT_NE(cable, nullptr);
    const size_t poolBefore = host::LivePoolCount();
    uint64_t failures = 0;
    for (uint64_t failing = 1; failing < 20; ++failing) {
        const uint64_t injectedBefore = host::InjectedPoolFailures();
        host::FailNthAllocation(failing);
        TopologyMiniport* miniport = TopologyMiniport::Create(cable);
        NTSTATUS status = (miniport == nullptr) ? STATUS_INSUFFICIENT_RESOURCES
                                                : miniport->Init(nullptr, nullptr, nullptr);
        const bool injected = host::InjectedPoolFailures() != injectedBefore;
        host::ClearPoolFaults();
        if (miniport != nullptr) {
            miniport->Release();
        }
        EXPECT_EQ(host::LivePoolCount(), poolBefore) << "allocation " << failing;
        EXPECT_EQ(CategoryKeys(), std::vector<std::string>{}) << "allocation " << failing;
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        ++failures;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << failing;
    }
    EXPECT_EQ(failures, 5u);
    Cable::Destroy(cable);
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
        {"", STATUS_ACCESS_DENIED, 0, false},
        {lineOut, STATUS_ACCESS_DENIED, 0, false},
        {mic, STATUS_INSUFFICIENT_RESOURCES, 1, false},
        {spdif, STATUS_ACCESS_DENIED, 3, false},
        {mic, STATUS_ACCESS_DENIED, 2, true},
    };
    for (const Case& c : cases) {
        const std::string failingPath = c.failing.empty() ? Categories : Categories + "\\" + c.failing;
        if (c.leftByEarlierRun) {
            host::RegistrySetDword(failingPath, "Display", 0);
        }
        host::RegistryFailAccess(failingPath, c.status);
        TopologyMiniport* miniport = Initialised(0, 7, 0x0600, c.status);
        host::RegistryClearFaults();
        EXPECT_EQ(CategoryKeys().size(), c.keysWhileAlive) << c.failing;
        Cable::Destroy(cables.back());
        cables.pop_back();
        const std::vector<std::string> left =
            c.leftByEarlierRun ? std::vector<std::string>{c.failing} : std::vector<std::string>{};
        EXPECT_EQ(CategoryKeys(), left) << c.failing;
        host::RegistryClear();
        host::RegistryCreateKey(Categories);
        (void)miniport;
    }
    EXPECT_EQ(host::RegistryOpenHandleCount(), 0u);
}

TEST_F(TopologyMiniportTest, MaskSettersStoreOnlyAcceptedValues)
{
    struct Case {
        bool types;  // which setter
        ULONG value;
        NTSTATUS status;
        ULONG typesAfter, connectedAfter;
    };
    // Applied in order on one miniport (types 7, connected 2 at construction).
    const Case cases[] = {
        {true, 0, STATUS_INVALID_PARAMETER, 7, 2},      {true, 8, STATUS_INVALID_PARAMETER, 7, 2},
        {true, 0xFFFFFFFF, STATUS_INVALID_PARAMETER, 7, 2},
        {false, 8, STATUS_INVALID_PARAMETER, 7, 2},     {false, 0, STATUS_INVALID_PARAMETER, 7, 2},
        {false, 3, STATUS_SUCCESS, 7, 3},               {true, 4, STATUS_SUCCESS, 4, 3},
        {false, 1, STATUS_INVALID_PARAMETER, 4, 3},     {false, 5, STATUS_INVALID_PARAMETER, 4, 3},
        {false, 4, STATUS_SUCCESS, 4, 4},               {true, 7, STATUS_SUCCESS, 7, 4},
    };
    Cable* cable = Cable::Create(0, adapter);
    ASSERT_NE(cable, nullptr);
    cables.push_back(cable);
    TopologyMiniport* miniport = TopologyMiniport::Create(cable);
    ASSERT_NE(miniport, nullptr);
    cable->AttachTopologyMiniport(miniport);
    EXPECT_EQ(miniport->SourceLineTypesMask, 7u);
    EXPECT_EQ(miniport->ConnectedSourceLinesMask, 2u);
    for (const Case& c : cases) {
        NTSTATUS status = c.types ? miniport->ApplySourceLineTypesMask(c.value)
                                  : miniport->ApplyConnectedSourceLinesMask(c.value);
        const char* setter = c.types ? "types " : "connected ";
        EXPECT_EQ(status, c.status) << setter << c.value;
        EXPECT_EQ(miniport->SourceLineTypesMask, c.typesAfter) << setter << c.value;
        EXPECT_EQ(miniport->ConnectedSourceLinesMask, c.connectedAfter) << setter << c.value;
    }
}

TEST_F(TopologyMiniportTest, IdentityNameAndTheCablesHold)
{
    struct Case {
        ULONG index;
        std::u16string name;
    };
    for (const Case& c : {Case{0, u"topo1"}, Case{9, u"topo10"}, Case{255, u"topo256"}}) {
        TopologyMiniport* miniport = Initialised(c.index, 7, 0x0501);
        EXPECT_EQ(std::u16string(miniport->Name), c.name);
        EXPECT_EQ(miniport->CableIndex, c.index);
    }
    TopologyMiniport* miniport = cables.front()->Topology;
    PVOID asUnknown = nullptr;
    PVOID asMiniport = nullptr;
    PVOID asTopology = nullptr;
    PVOID other = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(miniport->NonDelegatingQueryInterface(IID_IUnknown, &asUnknown), STATUS_SUCCESS);
    EXPECT_EQ(miniport->QueryInterface(IID_IMiniport, &asMiniport), STATUS_SUCCESS);
    EXPECT_EQ(miniport->QueryInterface(IID_IMiniportTopology, &asTopology), STATUS_SUCCESS);
    EXPECT_EQ(miniport->QueryInterface(IID_IMiniportWavePci, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(asUnknown, static_cast<PVOID>(static_cast<IMiniportTopology*>(miniport)));
    EXPECT_EQ(asMiniport, asUnknown);
    EXPECT_EQ(asTopology, asUnknown);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(miniport->DataRangeIntersection(0, nullptr, nullptr, 0, nullptr, nullptr), STATUS_NOT_IMPLEMENTED);
    for (int i = 0; i < 3; ++i) {
        miniport->Release();
    }

    // As PortCls may: hold the miniport past the cable's teardown, which drops the cable's hold
    // but keeps the storage the miniport reads.
    miniport->AddRef();
    Cable* cable = cables.front();
    cables.erase(cables.begin());
    Cable::Destroy(cable);
    EXPECT_EQ(miniport->CableOwner, cable);
    EXPECT_EQ(miniport->CableOwner->Topology, nullptr) << "the cable no longer holds its miniport";
    EXPECT_EQ(miniport->CableOwner->Index, 0u);
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
    const GUID general = {0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
    ULONG generalWords[4];
    std::memcpy(generalWords, &general, sizeof(general));
    const Case cases[] = {
        {KSPROPERTY_TYPE_GET, 8, STATUS_SUCCESS, 4, {0}},
        {KSPROPERTY_TYPE_GET, 4, STATUS_SUCCESS, 4, {0}},
        {KSPROPERTY_TYPE_GET, 3, STATUS_BUFFER_TOO_SMALL, 3, {}},
        {KSPROPERTY_TYPE_GET, 0, STATUS_BUFFER_OVERFLOW, 4, {}},
        {KSPROPERTY_TYPE_BASICSUPPORT, 0, STATUS_BUFFER_OVERFLOW, 40, {}},
        {KSPROPERTY_TYPE_BASICSUPPORT, 2, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {KSPROPERTY_TYPE_BASICSUPPORT, 4, STATUS_SUCCESS, 4, {0x201}},
        {KSPROPERTY_TYPE_BASICSUPPORT, 39, STATUS_SUCCESS, 4, {0x201}},
        {KSPROPERTY_TYPE_BASICSUPPORT, 48, STATUS_SUCCESS, 40,
         {0x201, 40, generalWords[0], generalWords[1], generalWords[2], generalWords[3], 19, 0, 0, 0}},
    };
    ASSERT_EQ(CommonProperties.PropertyCount, 3u);
    const PCPROPERTY_ITEM& cpu = CommonProperties.Properties[0];
    EXPECT_TRUE(IsEqualGUIDAligned(*cpu.Set, KSPROPSETID_Audio));
    EXPECT_EQ(cpu.Id, static_cast<ULONG>(KSPROPERTY_AUDIO_CPU_RESOURCES));
    for (const Case& c : cases) {
        std::vector<ULONG> buffer(16, 0xA5A5A5A5);
        PCPROPERTY_REQUEST request = {};
        request.PropertyItem = &cpu;
        request.Node = 0;
        request.Verb = c.verb;
        request.ValueSize = c.valueSize;
        request.Value = buffer.data();
        EXPECT_EQ(cpu.Handler(&request), c.status) << "verb " << c.verb << " size " << c.valueSize;
        EXPECT_EQ(request.ValueSize, c.sizeAfter) << "verb " << c.verb << " size " << c.valueSize;
        std::vector<ULONG> expected = c.words;
        expected.resize(16, 0xA5A5A5A5);
        EXPECT_EQ(buffer, expected) << "verb " << c.verb << " size " << c.valueSize;
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
