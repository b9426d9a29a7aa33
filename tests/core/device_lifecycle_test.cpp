// The device's life as Windows runs it: AddDevice and the start request through the driver's
// hooks, the cables installed with PortCls, failed starts, PnP and power requests, and a stream on
// a filter found by its subdevice name.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "config/registry_store.h"
#include "core/device.h"
#include "core/driver_state.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_filter.h"
#include "filters/wave_miniport.h"
#include "host/ks_client.h"
#include "host/machine.h"
#include "host/wave_client.h"
#include "support/platform_fixture.h"

namespace {

class DeviceLifecycleTest : public PlatformTest {
protected:
    void TearDown() override
    {
        image.Unload();
        EXPECT_EQ(host::LivePoolCount(), 0u) << "pool left after unload";
        PlatformTest::TearDown();
    }

    // Loads the image with "Number of cables" set (0: the default).
    void Load(ULONG cables = 0)
    {
        if (cables != 0) {
            host::RegistrySetDword(SoftwareKeyPath, "Number of cables", cables);
        }
        ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    }
    void Reload()
    {
        image.Unload();
        ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    }
    DriverState* Driver() { return static_cast<DriverState*>(image.Symbol("Driver")); }
    size_t CableCount() { return Driver()->Adapter == nullptr ? 0 : Driver()->Adapter->Cables.Items().Size(); }
    bool ControlInterfaceEnabled()
    {
        for (const host::DeviceInterface& entry : host::DeviceInterfaces(node.PhysicalDevice())) {
            if (entry.interfaceClass == GUID_CONTROL_INTERFACE_CLASS) {
                return entry.enabled;
            }
        }
        ADD_FAILURE() << "no control interface registered";
        return false;
    }
    std::u16string Link(const GUID& category, const std::u16string& name)
    {
        return host::DeviceInterfaceLink(node.PhysicalDevice(), category, name);
    }

    host::DriverImage image{host::DefaultDriverImagePath()};
    host::DeviceNode node{image};
};

std::u16string Name(const char* prefix, unsigned number)
{
    std::string text = prefix + std::to_string(number);
    return std::u16string(text.begin(), text.end());
}

}  // namespace

TEST_F(DeviceLifecycleTest, OneCableRegistersTopo1AndWave1WithTheirInterfacesAndThreeLinksInOrder)
{
    Load(1);
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    PDEVICE_OBJECT device = node.FunctionalDevice();
    EXPECT_EQ(host::MaxSubdevices(device), 2u);

    std::vector<host::Subdevice> subdevices = host::RegisteredSubdevices(device);
    ASSERT_EQ(subdevices.size(), 2u);
    EXPECT_EQ(subdevices[0].name, u"topo1");
    EXPECT_FALSE(subdevices[0].wave);
    EXPECT_EQ(subdevices[0].links, (std::vector<std::u16string>{Link(KSCATEGORY_AUDIO, u"topo1"),
                                                                Link(KSCATEGORY_TOPOLOGY, u"topo1")}));
    EXPECT_EQ(subdevices[1].name, u"wave1");
    EXPECT_TRUE(subdevices[1].wave);
    EXPECT_EQ(subdevices[1].links,
              (std::vector<std::u16string>{Link(KSCATEGORY_AUDIO, u"wave1"), Link(KSCATEGORY_RENDER, u"wave1"),
                                           Link(KSCATEGORY_CAPTURE, u"wave1")}));
    for (const host::DeviceInterface& entry : host::DeviceInterfaces(node.PhysicalDevice())) {
        EXPECT_TRUE(entry.enabled) << std::string(entry.link.begin(), entry.link.end());
    }
    EXPECT_EQ(host::DeviceInterfaces(node.PhysicalDevice()).size(), 6u) << "control, 2 topology, 3 wave";

    const struct {
        const char16_t* from;
        ULONG fromPin;
        const char16_t* to;
        ULONG toPin;
    } expected[] = {{u"topo1", 0, u"wave1", 1}, {u"wave1", 3, u"topo1", 2}, {u"topo1", 0, u"topo1", 2}};
    std::vector<host::PhysicalConnection> links = host::PhysicalConnections(device);
    ASSERT_EQ(links.size(), std::size(expected));
    for (size_t i = 0; i < links.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(links[i].fromName, expected[i].from);
        EXPECT_EQ(links[i].fromPin, expected[i].fromPin);
        EXPECT_EQ(links[i].toName, expected[i].to);
        EXPECT_EQ(links[i].toPin, expected[i].toPin);
    }
    EXPECT_TRUE(ControlInterfaceEnabled());

    // The filters report each wired pin's partner, from either end; the first wire of a pin wins.
    const struct {
        const char16_t* filter;
        ULONG pin;
        NTSTATUS status;
        const char16_t* other;
        ULONG otherPin;
    } ends[] = {{u"wave1", 3, STATUS_SUCCESS, u"topo1", 2}, {u"wave1", 1, STATUS_SUCCESS, u"topo1", 0},
                {u"topo1", 0, STATUS_SUCCESS, u"wave1", 1}, {u"topo1", 2, STATUS_SUCCESS, u"wave1", 3},
                {u"wave1", 0, STATUS_NOT_FOUND, u"", 0}};
    for (const auto& end : ends) {
        SCOPED_TRACE(std::string(end.filter, end.filter + 5) + " pin " + std::to_string(end.pin));
        std::unique_ptr<host::KsHandle> filter;
        ASSERT_EQ(host::KsHandle::OpenFilter(device, end.filter, &filter), STATUS_SUCCESS);
        host::PropertyReply reply =
            host::QueryProperty(filter.get(), host::PinPropertyInput(KSPROPERTY_PIN_PHYSICALCONNECTION, end.pin));
        ASSERT_EQ(reply.status, end.status);
        if (end.status != STATUS_SUCCESS) {
            continue;
        }
        const std::u16string link = Link(KSCATEGORY_AUDIO, end.other);
        const size_t size = offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) + (link.size() + 1) * 2;
        ASSERT_EQ(reply.value.size(), size);
        ULONG header[2];
        std::memcpy(header, reply.value.data(), sizeof(header));
        EXPECT_EQ(header[0], size);
        EXPECT_EQ(header[1], end.otherPin);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(reply.value.data() + 8)), link);
    }
}

TEST_F(DeviceLifecycleTest, With256CablesTheNamesRunToWave256And512SubdevicesAreAsked)
{
    Load(256);
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(host::MaxSubdevices(node.FunctionalDevice()), 512u);
    std::vector<host::Subdevice> subdevices = host::RegisteredSubdevices(node.FunctionalDevice());
    ASSERT_EQ(subdevices.size(), 512u);
    for (unsigned n = 1; n <= 256; ++n) {
        EXPECT_EQ(subdevices[2 * n - 2].name, Name("topo", n));
        EXPECT_EQ(subdevices[2 * n - 1].name, Name("wave", n));
    }
    EXPECT_EQ(host::PhysicalConnections(node.FunctionalDevice()).size(), 768u);
    EXPECT_EQ(CableCount(), 256u);
}

TEST_F(DeviceLifecycleTest, AFailedCableTakesEveryCableWithItAndTheStartFailsWithItsStatus)
{
    const struct {
        const char16_t* failing;
        NTSTATUS status;
    } rows[] = {{u"wave3", STATUS_DEVICE_NOT_READY}, {u"topo3", STATUS_INVALID_DEVICE_STATE},
                {u"topo1", STATUS_OBJECT_NAME_COLLISION}, {u"wave4", STATUS_NOT_SUPPORTED}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.failing, row.failing + 5));
        Load(4);
        host::FailSubdeviceRegistration(row.failing, row.status);
        ASSERT_EQ(node.Add(), STATUS_SUCCESS);
        EXPECT_EQ(node.Start(), row.status);
        EXPECT_EQ(CableCount(), 0u);
        EXPECT_FALSE(ControlInterfaceEnabled());
        EXPECT_EQ(node.FunctionalDevice(), nullptr) << "the PnP manager removed the device";
        EXPECT_EQ(host::DeviceInterfaces(node.PhysicalDevice()).size(), 1u) << "only the control interface is left";
        image.Unload();
        EXPECT_EQ(host::LivePoolCount(), 0u);
        host::ResetPlatform();
        host::SetVerifierMode(host::VerifierMode::Record);
    }
}

// Each allocation of the start fails in turn (the driver's, and the class driver's and I/O
// manager's on its behalf). The start either does without it (an optional one) or fails with
// STATUS_INSUFFICIENT_RESOURCES; either way the device is whole or nothing of it is left.
TEST_F(DeviceLifecycleTest, EveryAllocationOfTheStartFailedInTurnLeavesAWholeDeviceOrNothing)
{
    uint64_t failedStarts = 0;
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        Load(2);
        ASSERT_EQ(node.Add(), STATUS_SUCCESS);
        host::FailNthAllocation(n);
        NTSTATUS status = node.Start();
        bool injected = host::InjectedPoolFailures() != 0;
        host::ClearPoolFaults();
        bool started = status == STATUS_SUCCESS;
        EXPECT_TRUE(started || status == STATUS_INSUFFICIENT_RESOURCES) << std::hex << status;
        EXPECT_EQ(CableCount(), started ? 2u : 0u);
        EXPECT_EQ(ControlInterfaceEnabled(), started);
        EXPECT_EQ(host::DeviceInterfaces(node.PhysicalDevice()).size(), started ? 11u : 1u)
            << "control, and 5 per cable when started";
        failedStarts += started ? 0 : 1;
        if (!injected) {
            EXPECT_TRUE(started) << "no allocation failed";
            break;
        }
        image.Unload();
        ASSERT_EQ(host::LivePoolCount(), 0u);
        ASSERT_TRUE(host::TakeViolations().empty());
        host::ResetPlatform();
        host::SetVerifierMode(host::VerifierMode::Record);
    }
    EXPECT_GT(failedStarts, 20u) << "the sweep reached the start's allocations";
}

TEST_F(DeviceLifecycleTest, ACableWithoutItsKeyGetsTheDefaultInstanceLimit)
{
    host::RegistrySetDword(std::string(SoftwareKeyPath) + "\\Cable 2", "Maximum instances", 5);
    Load(2);
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    const struct {
        const char16_t* filter;
        ULONG limit;
    } rows[] = {{u"wave1", 20}, {u"wave2", 5}};
    for (const auto& row : rows) {
        host::KsFilter* filter = nullptr;
        ASSERT_EQ(host::OpenFilter(row.filter, &filter), STATUS_SUCCESS);
        for (ULONG pin : {WaveCapturePin, WaveRenderPin}) {
            host::PropertyReply reply =
                host::SendProperty(filter, host::PinPropertyInput(KSPROPERTY_PIN_GLOBALCINSTANCES, pin), 8);
            ASSERT_EQ(reply.status, STATUS_SUCCESS);
            KSPIN_CINSTANCES instances;
            std::memcpy(&instances, reply.value.data(), sizeof(instances));
            EXPECT_EQ(instances.PossibleCount, row.limit);
        }
        filter->Release();
    }
}

TEST_F(DeviceLifecycleTest, OpenHandlesCountTheCreatesAndClosesThatSucceedByName)
{
    host::RegistrySetDword(std::string(SoftwareKeyPath) + "\\Cable 1", "Maximum instances", 1);
    Load(1);
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    const std::vector<uint8_t> good = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    const std::vector<uint8_t> tooFast = host::WaveDataFormat(host::PcmWaveFormat(1000000, 16, 2));
    std::unique_ptr<host::KsHandle> filter;
    std::unique_ptr<host::KsHandle> render;
    std::unique_ptr<host::KsHandle> capture;
    std::unique_ptr<host::KsHandle> refused;
    auto openFilter = [this](const char16_t* name, std::unique_ptr<host::KsHandle>* handle) {
        return host::KsHandle::OpenFilter(node.FunctionalDevice(), name, handle);
    };
    auto openPin = [&filter](ULONG pinId, const std::vector<uint8_t>& format, std::unique_ptr<host::KsHandle>* pin) {
        return filter->OpenPin(pinId, reinterpret_cast<const KSDATAFORMAT*>(format.data()), pin);
    };
    const struct {
        const char* step;
        std::function<NTSTATUS()> request;
        NTSTATUS status;
        LONG openHandles;  // afterwards
    } steps[] = {
        {"unknown filter name", [&] { return openFilter(u"wave2", &refused); }, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"no name", [&] { return openFilter(u"", &refused); }, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"filter", [&] { return openFilter(u"wave1", &filter); }, STATUS_SUCCESS, 1},
        {"render pin", [&] { return openPin(WaveRenderPin, good, &render); }, STATUS_SUCCESS, 2},
        {"a pin made on a pin",
         [&] { return render->OpenPin(WaveRenderPin, reinterpret_cast<const KSDATAFORMAT*>(good.data()), &refused); },
         STATUS_INVALID_DEVICE_REQUEST, 2},
        {"over the instance limit", [&] { return openPin(WaveRenderPin, good, &refused); },
         STATUS_INSUFFICIENT_RESOURCES, 2},
        {"a rate no range allows", [&] { return openPin(WaveCapturePin, tooFast, &capture); }, STATUS_NO_MATCH, 2},
        {"pin id out of range", [&] { return openPin(WavePinCount, good, &refused); }, STATUS_INVALID_PARAMETER, 2},
        {"capture pin", [&] { return openPin(WaveCapturePin, good, &capture); }, STATUS_SUCCESS, 3},
        {"render pin again after its close", [&] {
             EXPECT_EQ(render->Close(), STATUS_SUCCESS);
             return openPin(WaveRenderPin, good, &render);
         }, STATUS_SUCCESS, 3},
        {"close render", [&] { return render->Close(); }, STATUS_SUCCESS, 2},
        {"close it twice", [&] { return render->Close(); }, STATUS_INVALID_HANDLE, 2},
        {"close capture", [&] { return capture->Close(); }, STATUS_SUCCESS, 1},
        {"close filter", [&] { return filter->Close(); }, STATUS_SUCCESS, 0},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(step.request(), step.status) << step.step;
        EXPECT_EQ(Driver()->OpenHandles, step.openHandles) << step.step;
    }
    EXPECT_EQ(refused, nullptr) << "no failed create hands out a handle";
}

TEST_F(DeviceLifecycleTest, AFilterAndAPinOpenedByNameAnswerPropertyRequests)
{
    Load(2);
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    std::unique_ptr<host::KsHandle> filter;
    ASSERT_EQ(host::KsHandle::OpenFilter(node.FunctionalDevice(), u"wave2", &filter), STATUS_SUCCESS);
    const std::vector<uint8_t> format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    std::unique_ptr<host::KsHandle> pin;
    ASSERT_EQ(filter->OpenPin(WaveRenderPin, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin),
              STATUS_SUCCESS);
    const std::vector<uint8_t> instances = host::PinPropertyInput(KSPROPERTY_PIN_CINSTANCES, WaveRenderPin);
    const struct {
        const char* request;
        host::KsHandle* handle;
        std::vector<uint8_t> input;
        ULONG valueSize;
        NTSTATUS status;
        ULONG bytes;
        std::vector<ULONG> value;  // the value's 32-bit words on success
    } rows[] = {
        {"pin count", filter.get(), host::PropertyInput(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES), 4, STATUS_SUCCESS, 4,
         {WavePinCount}},
        {"instances", filter.get(), instances, 8, STATUS_SUCCESS, 8, {20, 1}},
        {"instances, size asked", filter.get(), instances, 0, STATUS_BUFFER_OVERFLOW, 8, {}},
        {"instances, short buffer", filter.get(), instances, 4, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {"header cut short", filter.get(), std::vector<uint8_t>(instances.begin(), instances.begin() + 8), 8,
         STATUS_INVALID_BUFFER_SIZE, 0, {}},
        {"pin state", pin.get(), host::PropertyInput(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE), 4,
         STATUS_SUCCESS, 4, {KSSTATE_STOP}},
    };
    for (const auto& row : rows) {
        host::PropertyReply reply = host::SendProperty(row.handle, row.input, row.valueSize);
        EXPECT_EQ(reply.status, row.status) << row.request;
        EXPECT_EQ(reply.bytes, row.bytes) << row.request;
        if (NT_SUCCESS(row.status)) {
            std::vector<ULONG> words(reply.value.size() / sizeof(ULONG));
            std::memcpy(words.data(), reply.value.data(), words.size() * sizeof(ULONG));
            EXPECT_EQ(words, row.value) << row.request;
        }
    }
    host::KsPropertyBuffers method;  // IOCTL_KS_METHOD: no methods here
    method.input = instances.data();
    method.inputSize = static_cast<ULONG>(instances.size());
    ULONG bytes = 1;
    EXPECT_EQ(filter->DeviceControl(CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS), method, &bytes),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(bytes, 0u);
}

TEST_F(DeviceLifecycleTest, ThePnpHookForwardsOnlyTheStandardBusInterfaceQuery)
{
    Load(1);
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    host::TakeEventLog();
    const struct {
        UCHAR minor;
        const GUID* interfaceType;
        int forwards;
    } rows[] = {{IRP_MN_QUERY_INTERFACE, &GUID_BUS_INTERFACE_STANDARD, 1},
                {IRP_MN_QUERY_INTERFACE, &KSCATEGORY_AUDIO, 0},
                {IRP_MN_QUERY_STOP_DEVICE, nullptr, 0},
                {IRP_MN_CANCEL_STOP_DEVICE, nullptr, 0},
                {IRP_MN_QUERY_INTERFACE, &GUID_BUS_INTERFACE_STANDARD, 1}};
    for (const auto& row : rows) {
        node.SendPnp(row.minor, row.interfaceType);
        std::vector<std::string> log = host::TakeEventLog();
        EXPECT_EQ(std::count(log.begin(), log.end(), "PcForwardIrpSynchronous"), row.forwards)
            << "minor " << int(row.minor);
    }
}

TEST_F(DeviceLifecycleTest, ADeviceStateOutsideD0ToD3LeavesThePowerStateAlone)
{
    Load(1);
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    Adapter* adapter = Driver()->Adapter;
    EXPECT_EQ(adapter->DevicePowerState, 1u);
    const struct {
        ULONG state;
        ULONG after;
    } rows[] = {{3, 3}, {0, 3}, {5, 3}, {1, 1}, {5, 1}, {4, 4}, {0, 4}};
    for (const auto& row : rows) {
        POWER_STATE state;
        state.DeviceState = static_cast<DEVICE_POWER_STATE>(row.state);
        static_cast<IAdapterPowerManagement*>(adapter)->PowerChangeState(state);
        EXPECT_EQ(adapter->DevicePowerState, row.after) << row.state;
    }
    // Through the class driver: sleeping means D3, working D0.
    EXPECT_EQ(node.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(adapter->DevicePowerState, 4u);
    EXPECT_EQ(node.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(adapter->DevicePowerState, 1u);
}

TEST_F(DeviceLifecycleTest, AStreamRunsOnAStartedDeviceAndResumeAsksForItsTimerResolutionAgain)
{
    // A whole life: 8 cables, a stream pair on the third by name, stop, remove, unload.
    Load(8);
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    // Sleep and resume before any stream: the timer resolution is not touched.
    ASSERT_EQ(node.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(node.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(host::TakeTimerResolutionCalls().empty());

    std::unique_ptr<host::KsHandle> filter;
    ASSERT_EQ(host::KsHandle::OpenFilter(node.FunctionalDevice(), u"wave3", &filter), STATUS_SUCCESS);
    std::vector<uint8_t> format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
    std::unique_ptr<host::WaveClient> render;
    std::unique_ptr<host::WaveClient> capture;
    host::WaveClientOptions options;
    options.filterHandle = filter.get();
    options.dataFormat = format;
    options.pinId = WaveRenderPin;
    ASSERT_EQ(host::WaveClient::Open(nullptr, options, &render), STATUS_SUCCESS);
    options.pinId = WaveCapturePin;
    ASSERT_EQ(host::WaveClient::Open(nullptr, options, &capture), STATUS_SUCCESS);
    for (ULONG index : {0u, 2u}) {
        EXPECT_EQ(Driver()->Adapter->FindCable(index)->Wave->CaptureStreams.Streams.Items().Size(), index == 2 ? 1u : 0u)
            << "the streams belong to the third cable only";
    }
    std::vector<host::TimerResolutionCall> first = host::TakeTimerResolutionCalls();
    ASSERT_EQ(first.size(), 1u) << "the cable's first stream asks for a finer timer";

    std::vector<int16_t> samples(48000 / 10 * 2, 1000);  // 100 ms of a constant
    ASSERT_EQ(render->Write(samples.data(), static_cast<ULONG>(samples.size() * 2)), STATUS_SUCCESS);
    ASSERT_EQ(capture->Read(static_cast<ULONG>(samples.size() * 2)), STATUS_SUCCESS);
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
        ASSERT_EQ(capture->SetState(state), STATUS_SUCCESS);
        ASSERT_EQ(render->SetState(state), STATUS_SUCCESS);
    }
    host::AdvanceTime(2000000);  // 200 ms
    std::vector<host::ReapedBuffer> captured = capture->Reap();
    ASSERT_EQ(captured.size(), 1u);
    std::vector<int16_t> heard(captured[0].data.size() / 2);
    std::memcpy(heard.data(), captured[0].data.data(), heard.size() * 2);
    EXPECT_GT(std::count(heard.begin(), heard.end(), 1000), 0) << "the rendered samples arrive in the capture";
    ASSERT_EQ(render->Reap().size(), 1u);

    // Resume from sleep asks the system again for the resolution the stream asked for.
    const struct {
        SYSTEM_POWER_STATE state;
        size_t calls;
    } rows[] = {{PowerSystemSleeping3, 0}, {PowerSystemWorking, 1}, {PowerSystemHibernate, 0}, {PowerSystemWorking, 1}};
    for (const auto& row : rows) {
        ASSERT_EQ(node.SetSystemPower(row.state), STATUS_SUCCESS);
        std::vector<host::TimerResolutionCall> calls = host::TakeTimerResolutionCalls();
        ASSERT_EQ(calls.size(), row.calls) << row.state;
        for (const host::TimerResolutionCall& call : calls) {
            EXPECT_EQ(call.desiredTime, first[0].desiredTime);
            EXPECT_TRUE(call.set);
        }
    }
    for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) {
        ASSERT_EQ(capture->SetState(state), STATUS_SUCCESS);
        ASSERT_EQ(render->SetState(state), STATUS_SUCCESS);
    }
    EXPECT_EQ(Driver()->OpenHandles, 3);
    render.reset();
    capture.reset();
    filter.reset();
    EXPECT_EQ(Driver()->OpenHandles, 0);
    ASSERT_EQ(node.Stop(), STATUS_SUCCESS);
    ASSERT_EQ(node.Remove(), STATUS_SUCCESS);
    image.Unload();
    std::vector<host::TimerResolutionCall> calls = host::TakeTimerResolutionCalls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const auto& c) { return !c.set; }), 3)
        << "each of the three requests is withdrawn at unload";
}

TEST_F(DeviceLifecycleTest, ReannouncingATopologyTogglesTheLastLinkEndingInItsName)
{
    Load(2);
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    auto reannounce = reinterpret_cast<NTSTATUS (*)(TopologyMiniport*)>(
        image.Symbol("_Z18ReannounceTopologyP16TopologyMiniport"));
    ASSERT_NE(reannounce, nullptr);
    Cable* second = CONTAINING_RECORD(Driver()->Adapter->Cables.Items().Last(), Cable, Link);
    const std::u16string own = Link(KSCATEGORY_AUDIO, u"topo2");
    const std::u16string other = u"\\??\\SWD#MMDEVAPI#0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\topo2";
    const std::u16string similar = u"\\??\\SWD#MMDEVAPI#0002#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Topo2";
    host::TakeInterfaceStateChanges();

    const struct {
        const char* what;
        std::function<void()> arrange;
        NTSTATUS status;
        std::vector<host::InterfaceStateChange> changes;
    } rows[] = {
        {"its own link", [] {}, STATUS_SUCCESS, {{own, false}, {own, true}}},
        {"a differently cased name does not match", [&] { host::AddDeviceInterfaceLink(similar, KSCATEGORY_AUDIO, node.PhysicalDevice(), true); },
         STATUS_SUCCESS, {{own, false}, {own, true}}},
        {"a later link with the same name wins", [&] { host::AddDeviceInterfaceLink(other, KSCATEGORY_AUDIO, node.PhysicalDevice(), true); },
         STATUS_SUCCESS, {{other, false}, {other, true}}},
        {"no link left", [&] {
             host::RemoveDeviceInterface(other);
             host::RemoveDeviceInterface(own);
         },
         STATUS_OBJECT_NAME_NOT_FOUND, {}},
    };
    for (const auto& row : rows) {
        row.arrange();
        EXPECT_EQ(reannounce(second->Topology), row.status) << row.what;
        std::vector<host::InterfaceStateChange> changes = host::TakeInterfaceStateChanges();
        ASSERT_EQ(changes.size(), row.changes.size()) << row.what;
        for (size_t i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(changes[i].link, row.changes[i].link) << row.what;
            EXPECT_EQ(changes[i].enabled, row.changes[i].enabled) << row.what;
        }
    }
}


TEST_F(DeviceLifecycleTest, AStartAfterAStopKeepsTheCablesAndOneAfterAFailedStartIsNoSuccess)
{
    Load(2);
    ASSERT_EQ(node.Add(), STATUS_SUCCESS);
    host::FailSubdeviceRegistration(u"wave2", STATUS_DEVICE_NOT_READY);
    const struct {
        const char* what;
        std::function<NTSTATUS()> act;
        NTSTATUS status;
        size_t cables;
        bool controlEnabled;
    } steps[] = {
        {"a start that fails on the second cable", [&] { return node.SendPnp(IRP_MN_START_DEVICE); },
         STATUS_DEVICE_NOT_READY, 0, false},
        // The first cable's subdevices are still registered: building the cables again collides.
        {"a start again without a removal", [&] {
             host::FailSubdeviceRegistration(u"", STATUS_SUCCESS);
             return node.SendPnp(IRP_MN_START_DEVICE);
         },
         STATUS_OBJECT_NAME_COLLISION, 0, false},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(step.act(), step.status) << step.what;
        EXPECT_EQ(CableCount(), step.cables) << step.what;
        EXPECT_EQ(ControlInterfaceEnabled(), step.controlEnabled) << step.what;
    }
    ASSERT_EQ(node.Remove(), STATUS_SUCCESS);

    // A device that started: stop and start again keep the same cables and filters.
    Reload();
    ASSERT_EQ(node.AddAndStart(), STATUS_SUCCESS);
    Cable* first = Cable::FromLink(Driver()->Adapter->Cables.Items().First());
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(node.Stop(), STATUS_SUCCESS);
        ASSERT_EQ(node.Start(), STATUS_SUCCESS);
        EXPECT_EQ(CableCount(), 2u);
        EXPECT_EQ(Cable::FromLink(Driver()->Adapter->Cables.Items().First()), first);
        EXPECT_EQ(host::RegisteredSubdevices(node.FunctionalDevice()).size(), 4u);
        EXPECT_TRUE(ControlInterfaceEnabled());
    }
}

TEST_F(DeviceLifecycleTest, AddDeviceAfterAFailedOneSucceedsAndASecondDeviceIsRefused)
{
    Load(1);
    host::FailNthAllocation(2);  // the class driver's device extension, after the control interface's name
    EXPECT_EQ(node.Add(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::InjectedPoolFailures(), 1u);
    host::ClearPoolFaults();
    EXPECT_EQ(node.FunctionalDevice(), nullptr);
    EXPECT_EQ(node.Add(), STATUS_SUCCESS);
    EXPECT_EQ(node.Add(), STATUS_DEVICE_ALREADY_ATTACHED);
    EXPECT_EQ(host::MaxSubdevices(node.FunctionalDevice()), 2u);
    // Removed, the device cannot come back without a fresh load of the image.
    ASSERT_EQ(node.Start(), STATUS_SUCCESS);
    ASSERT_EQ(node.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(node.FunctionalDevice(), nullptr);
    EXPECT_EQ(node.Add(), STATUS_DEVICE_ALREADY_ATTACHED);
}

// The installer's property change: refused while a handle is open, then a fresh load of the image
// that reads what the registry says now.
TEST_F(DeviceLifecycleTest, ARestartWaitsForTheLastHandleAndReadsTheRegistryAnew)
{
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables", 8);
    host::Machine machine;
    ASSERT_EQ(machine.Boot(), STATUS_SUCCESS);
    auto driver = [&machine] { return static_cast<DriverState*>(machine.Image().Symbol("Driver")); };
    Adapter* first = driver()->Adapter;
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables", 3);
    host::RegistrySetDword(std::string(SoftwareKeyPath) + "\\Cable 2", "Maximum sampling rate", 96000);

    std::unique_ptr<host::KsHandle> filter;
    ASSERT_EQ(host::KsHandle::OpenFilter(machine.Device(), u"topo8", &filter), STATUS_SUCCESS);
    EXPECT_EQ(machine.Restart(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(driver()->Adapter, first) << "the running load goes on";
    EXPECT_EQ(host::RegisteredSubdevices(machine.Device()).size(), 16u);
    filter.reset();

    ASSERT_EQ(machine.Restart(), STATUS_SUCCESS);
    std::vector<host::Subdevice> subdevices = host::RegisteredSubdevices(machine.Device());
    ASSERT_EQ(subdevices.size(), 6u);
    EXPECT_EQ(subdevices.back().name, u"wave3");
    EXPECT_EQ(driver()->Adapter->FindCable(1)->Wave->MaxSampleRate, 96000u);
    EXPECT_EQ(driver()->Adapter->FindCable(2)->Wave->MaxSampleRate, 48000u);
    machine.Shutdown();
    EXPECT_EQ(host::LivePoolCount(), 0u);
}
