// The Win32 device calls a program makes on the driver's device: interface enumeration and
// detail sizes, paths with and without a reference string, buffered and neither-method device
// control, closing, the class installer's property change, and errors in numbers and words.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/registry_store.h"
#include "core/device.h"
#include "filters/wave_filter.h"
#include "host/ks_client.h"
#include "host/machine.h"
#include "host/win32_device.h"
#include "support/win32_fixture.h"

namespace {

const std::string ControlClassText = "#{630dd05d-da38-483b-a7d8-c2c0790417b1}";
const std::string RenderClassText = "#{65e8773e-8f56-11d0-a3b9-00a0c9223196}";
const std::string TopologyClassText = "#{dda54a40-1e4c-11d1-a050-405705c10000}";
const std::string Reference = "\\0d13c528-a6fc-47f1-8fee-c5dd46f1fbb1";

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return text;
}

class Win32DeviceTest : public Win32MachineTest {
protected:
    // A list of the control interface and its device, as the panel finds them for a restart.
    host::HDEVINFO ControlDevice(host::SP_DEVINFO_DATA* device)
    {
        host::HDEVINFO list = win32->SetupDiGetClassDevsA(&GUID_CONTROL_INTERFACE_CLASS, nullptr, nullptr, InterfaceFlags);
        host::SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        EXPECT_TRUE(win32->SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_CONTROL_INTERFACE_CLASS, 0, &data));
        *device = {};
        device->cbSize = sizeof(*device);
        DWORD required = 0;
        win32->SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &required, device);
        return list;
    }
    static host::SP_PROPCHANGE_PARAMS PropertyChangeParams()
    {
        host::SP_PROPCHANGE_PARAMS change = {};
        change.ClassInstallHeader.cbSize = sizeof(change.ClassInstallHeader);
        change.ClassInstallHeader.InstallFunction = host::DIF_PROPERTYCHANGE;
        change.StateChange = host::DICS_PROPCHANGE;
        change.Scope = host::DICS_FLAG_CONFIGSPECIFIC;
        return change;
    }
    // The class installer's property change, as the panel asks for it; the install flags afterwards.
    DWORD PropertyChange()
    {
        host::SP_DEVINFO_DATA device;
        host::HDEVINFO list = ControlDevice(&device);
        host::SP_PROPCHANGE_PARAMS change = PropertyChangeParams();
        EXPECT_TRUE(win32->SetupDiSetClassInstallParamsA(list, &device, &change.ClassInstallHeader, sizeof(change)));
        EXPECT_TRUE(win32->SetupDiCallClassInstaller(host::DIF_PROPERTYCHANGE, list, &device));
        host::SP_DEVINSTALL_PARAMS_A params = {};
        params.cbSize = sizeof(params);
        EXPECT_TRUE(win32->SetupDiGetDeviceInstallParamsA(list, &device, &params));
        EXPECT_TRUE(win32->SetupDiDestroyDeviceInfoList(list));
        return params.Flags;
    }

};

}  // namespace

TEST_F(Win32DeviceTest, EachClassListsItsActiveInterfacesWithUserPathsAndTheirSizes)
{
    const struct {
        const GUID* interfaceClass;
        std::vector<std::string> tails;
    } cases[] = {
        {&GUID_CONTROL_INTERFACE_CLASS, {ControlClassText}},
        {&KSCATEGORY_RENDER, {RenderClassText + "\\wave1", RenderClassText + "\\wave2"}},
        {&KSCATEGORY_TOPOLOGY, {TopologyClassText + "\\topo1", TopologyClassText + "\\topo2"}},
        {&GUID_BUS_INTERFACE_STANDARD, {}},
    };
    for (const auto& c : cases) {
        std::vector<Listed> listed = List(*c.interfaceClass);
        ASSERT_EQ(listed.size(), c.tails.size()) << c.tails.size();
        for (size_t i = 0; i < listed.size(); ++i) {
            const Listed& entry = listed[i];
            EXPECT_EQ(entry.path.compare(0, 15, "\\\\?\\ROOT#MEDIA#"), 0) << entry.path;
            EXPECT_TRUE(EndsWith(entry.path, c.tails[i])) << entry.path;
            // "\\?\ROOT#MEDIA#" 15, four digits, then the class: 58 characters and the tail.
            EXPECT_EQ(entry.path.size(), 58 + c.tails[i].size() - ControlClassText.size());
            EXPECT_EQ(entry.required, 4 + entry.path.size() + 1) << "cbSize's DWORD, the path, its terminator";
            EXPECT_EQ(entry.flags, host::SPINT_ACTIVE);
        }
    }
}

TEST_F(Win32DeviceTest, TheDetailBufferMustHoldThePathAndCarryTheX64StructureSize)
{
    host::HDEVINFO list = win32->SetupDiGetClassDevsA(&GUID_CONTROL_INTERFACE_CLASS, nullptr, nullptr, InterfaceFlags);
    host::SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(win32->SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_CONTROL_INTERFACE_CLASS, 0, &data));
    const struct {
        DWORD cbSize;
        DWORD bufferSize;
        bool succeeds;
        DWORD error;
    } cases[] = {
        {8, 62, false, host::ERROR_INSUFFICIENT_BUFFER}, {8, 63, true, 0},
        {8, 268, true, 0},                               {5, 268, false, host::ERROR_INVALID_USER_BUFFER},
        {6, 268, false, host::ERROR_INVALID_USER_BUFFER},
    };
    for (const auto& c : cases) {
        std::vector<uint64_t> storage(268 / 8 + 1, 0);
        auto* detail = reinterpret_cast<host::SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = c.cbSize;
        host::SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        DWORD required = 0;
        const bool succeeded = win32->SetupDiGetDeviceInterfaceDetailA(list, &data, detail, c.bufferSize, &required, &device);
        EXPECT_EQ(succeeded, c.succeeds) << c.cbSize << " " << c.bufferSize;
        if (c.error != host::ERROR_INVALID_USER_BUFFER) {
            EXPECT_EQ(required, 63u);
            EXPECT_NE(device.DevInst, 0u) << "the device is described in both cases";
        }
        EXPECT_EQ(host::GetLastError(), c.error) << c.cbSize << " " << c.bufferSize;
        EXPECT_EQ(std::strlen(detail->DevicePath), c.succeeds ? 58u : 0u);
    }
    EXPECT_TRUE(win32->SetupDiDestroyDeviceInfoList(list));
    EXPECT_FALSE(win32->SetupDiDestroyDeviceInfoList(list));
    EXPECT_EQ(host::GetLastError(), host::ERROR_INVALID_HANDLE);
}

TEST_F(Win32DeviceTest, ARemovedDeviceIsListedOnlyWithoutPresentAndThenNotActive)
{
    const std::string path = PathOf(GUID_CONTROL_INTERFACE_CLASS);
    machine.Shutdown();
    EXPECT_TRUE(List(GUID_CONTROL_INTERFACE_CLASS).empty());
    std::vector<Listed> all = List(GUID_CONTROL_INTERFACE_CLASS, host::DIGCF_DEVICEINTERFACE);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].path, path);
    EXPECT_EQ(all[0].flags, 0u);
    EXPECT_EQ(Open(path + Reference), host::INVALID_HANDLE_VALUE);
    EXPECT_EQ(host::GetLastError(), host::ERROR_FILE_NOT_FOUND);
}

// The link's name is looked up without regard to case; what follows it reaches the driver as the
// create's file name, exactly as written: only the exact reference string opens the control
// channel, the rest go to the port's own handling.
TEST_F(Win32DeviceTest, PathsReachTheChannelOnlyWithTheExactReferenceString)
{
    const std::string control = PathOf(GUID_CONTROL_INTERFACE_CLASS);
    const std::string render = PathOf(KSCATEGORY_RENDER, 1);
    const struct {
        std::string path;
        bool opens;
        bool channel;
        DWORD error;  // of the open, or of the driver-info request on an opened handle
    } cases[] = {
        {control + Reference, true, true, 0},
        {Lower(control) + Reference, true, true, 0},
        {"\\\\.\\" + control.substr(4) + Reference, true, true, 0},
        {control, false, false, host::ERROR_FILE_NOT_FOUND},
        {control + "\\0D13C528-A6FC-47F1-8FEE-C5DD46F1FBB1", false, false, host::ERROR_FILE_NOT_FOUND},
        {control + Reference + "\\", false, false, host::ERROR_FILE_NOT_FOUND},
        {control + Reference.substr(0, 36), false, false, host::ERROR_FILE_NOT_FOUND},
        {render, true, false, host::ERROR_INVALID_FUNCTION},
        {"\\\\?\\ROOT#MEDIA#99999" + ControlClassText + Reference, false, false, host::ERROR_FILE_NOT_FOUND},
        {"C:\\tarn\\0d13c528-a6fc-47f1-8fee-c5dd46f1fbb1", false, false, host::ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        HANDLE handle = Open(c.path);
        ASSERT_EQ(handle != host::INVALID_HANDLE_VALUE, c.opens) << c.path;
        if (!c.opens) {
            EXPECT_EQ(host::GetLastError(), c.error) << c.path;
            EXPECT_EQ(host::OpenFileCount(machine.Device()), 0u);
            continue;
        }
        EXPECT_EQ(host::OpenFileCount(machine.Device()), 1u);
        ControlHeader header = {CONTROL_INTERFACE_VERSION};
        DriverInfo info = {};
        DWORD returned = 99;
        const bool answered = win32->DeviceIoControl(handle, IOCTL_GET_DRIVER_INFO, &header, sizeof(header), &info,
                                                     sizeof(info), &returned, nullptr);
        EXPECT_EQ(answered, c.channel) << c.path;
        EXPECT_EQ(host::GetLastError(), c.error) << c.path;
        EXPECT_EQ(returned, c.channel ? 32u : 0u);
        EXPECT_EQ(info.VersionMajor, c.channel ? 4u : 0u);
        EXPECT_TRUE(win32->CloseHandle(handle));
    }
    EXPECT_EQ(host::OpenFileCount(machine.Device()), 0u);
}

// Input and output share one system buffer; only the Information bytes the driver reports come
// back to the caller, and nothing at all after an error.
TEST_F(Win32DeviceTest, ABufferedRequestCopiesBackExactlyTheBytesReturned)
{
    HANDLE channel = Open(PathOf(GUID_CONTROL_INTERFACE_CLASS) + Reference);
    ASSERT_NE(channel, host::INVALID_HANDLE_VALUE);
    HANDLE filter = Open(PathOf(KSCATEGORY_RENDER));
    ASSERT_NE(filter, host::INVALID_HANDLE_VALUE);
    // DriverInfo: version 4, 10, 0, 2567; nothing waiting for a restart; 2 cables, no stream, the
    // two handles of this test.
    const uint8_t driverInfo[32] = {4, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0x07, 0x0A, 0, 0,
                                    0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0};
    const struct {
        HANDLE handle;
        DWORD outputSize;
        bool succeeds;
        DWORD returned;
        DWORD error;
    } cases[] = {
        {channel, 1, true, 1, 0},
        {channel, 16, true, 16, 0},
        {channel, 31, true, 31, 0},
        {channel, 32, true, 32, 0},
        {channel, 33, false, 0, host::ERROR_INVALID_FUNCTION},
        {channel, 0, false, 0, host::ERROR_INVALID_FUNCTION},
        {filter, 32, false, 0, host::ERROR_INVALID_FUNCTION},
    };
    for (const auto& c : cases) {
        ControlHeader header = {CONTROL_INTERFACE_VERSION};
        std::vector<uint8_t> output(64, 0xEE);
        DWORD returned = 99;
        const bool succeeded = win32->DeviceIoControl(c.handle, IOCTL_GET_DRIVER_INFO, &header, sizeof(header),
                                                      c.outputSize == 0 ? nullptr : output.data(), c.outputSize,
                                                      &returned, nullptr);
        EXPECT_EQ(succeeded, c.succeeds) << c.outputSize;
        EXPECT_EQ(returned, c.returned) << c.outputSize;
        EXPECT_EQ(host::GetLastError(), c.error) << c.outputSize;
        for (size_t i = 0; i < output.size(); ++i) {
            const uint8_t expected = i < c.returned ? driverInfo[i] : 0xEE;
            ASSERT_EQ(output[i], expected) << "byte " << i << " of an output of " << c.outputSize;
        }
    }
    EXPECT_TRUE(win32->CloseHandle(filter));
    EXPECT_TRUE(win32->CloseHandle(channel));
}

TEST_F(Win32DeviceTest, ANeitherMethodRequestHandsTheCallersBuffersToTheDriver)
{
    HANDLE filter = Open(PathOf(KSCATEGORY_RENDER));
    ASSERT_NE(filter, host::INVALID_HANDLE_VALUE);
    std::vector<uint8_t> input = host::PinPropertyInput(KSPROPERTY_PIN_GLOBALCINSTANCES, WaveRenderPin);
    KSPIN_CINSTANCES instances = {0xAAAA, 0xBBBB};
    DWORD returned = 0;
    ASSERT_TRUE(win32->DeviceIoControl(filter, IOCTL_KS_PROPERTY, input.data(), static_cast<DWORD>(input.size()),
                                       &instances, sizeof(instances), &returned, nullptr));
    EXPECT_EQ(returned, sizeof(instances));
    EXPECT_EQ(instances.PossibleCount, 20u) << "the default instance limit";
    EXPECT_EQ(instances.CurrentCount, 0u);
    EXPECT_TRUE(win32->CloseHandle(filter));
}

TEST_F(Win32DeviceTest, AClosedHandleIsInvalidForEveryLaterCall)
{
    HANDLE filter = Open(PathOf(KSCATEGORY_RENDER));
    ASSERT_NE(filter, host::INVALID_HANDLE_VALUE);
    EXPECT_EQ(host::OpenFileCount(machine.Device()), 1u);
    EXPECT_TRUE(win32->CloseHandle(filter));
    EXPECT_EQ(host::OpenFileCount(machine.Device()), 0u);
    EXPECT_FALSE(win32->CloseHandle(filter));
    EXPECT_EQ(host::GetLastError(), host::ERROR_INVALID_HANDLE);
    DWORD returned = 0;
    EXPECT_FALSE(win32->DeviceIoControl(filter, IOCTL_GET_DRIVER_INFO, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(host::GetLastError(), host::ERROR_INVALID_HANDLE);
    EXPECT_FALSE(win32->CloseHandle(host::INVALID_HANDLE_VALUE));
    EXPECT_EQ(host::GetLastError(), host::ERROR_INVALID_HANDLE);
    EXPECT_EQ(host::OpenFileCount(machine.Device()), 0u);
}

// The restart reloads the driver, which reads the number of cables anew; a handle left open
// keeps the device from stopping, and the installer then reports that a restart is needed.
TEST_F(Win32DeviceTest, APropertyChangeRestartsTheDeviceUnlessAHandleKeepsItOpen)
{
    for (bool holdHandle : {true, false}) {
        host::RegistrySetDword(SoftwareKeyPath, "Number of cables", holdHandle ? 3 : 4);
        HANDLE held = holdHandle ? Open(PathOf(KSCATEGORY_RENDER)) : host::INVALID_HANDLE_VALUE;
        const DWORD flags = PropertyChange();
        EXPECT_EQ((flags & host::DI_NEEDRESTART) != 0, holdHandle);
        EXPECT_EQ(List(KSCATEGORY_RENDER).size(), holdHandle ? 2u : 4u);
        if (holdHandle) {
            DWORD returned = 0;
            std::vector<uint8_t> input = host::PinPropertyInput(KSPROPERTY_PIN_CINSTANCES, WaveRenderPin);
            KSPIN_CINSTANCES instances = {};
            EXPECT_TRUE(win32->DeviceIoControl(held, IOCTL_KS_PROPERTY, input.data(), static_cast<DWORD>(input.size()),
                                               &instances, sizeof(instances), &returned, nullptr))
                << "the old load keeps serving the handle";
            EXPECT_TRUE(win32->CloseHandle(held));
        }
    }
}

// As the panel restarts the driver: the channel closed, the property change, the channel opened
// again on a fresh load that took the saved value and no longer waits for a restart.
TEST_F(Win32DeviceTest, ARestartThroughTheInstallerComesBackWithTheSavedSettings)
{
    const std::string path = PathOf(GUID_CONTROL_INTERFACE_CLASS) + Reference;
    const auto read = [&](HANDLE channel, CableInfo* cable, DriverInfo* driver) {
        CableRequest cableRequest = {CONTROL_INTERFACE_VERSION, 1};
        ControlHeader header = {CONTROL_INTERFACE_VERSION};
        DWORD returned = 0;
        ASSERT_TRUE(win32->DeviceIoControl(channel, IOCTL_GET_CABLE_INFO, &cableRequest, sizeof(cableRequest), cable,
                                           sizeof(*cable), &returned, nullptr));
        ASSERT_TRUE(win32->DeviceIoControl(channel, IOCTL_GET_DRIVER_INFO, &header, sizeof(header), driver,
                                           sizeof(*driver), &returned, nullptr));
    };
    HANDLE channel = Open(path);
    ASSERT_NE(channel, host::INVALID_HANDLE_VALUE);
    CableValueRequest set = {CONTROL_INTERFACE_VERSION, 1, 9};
    DWORD returned = 99;
    ASSERT_TRUE(win32->DeviceIoControl(channel, IOCTL_SET_MAX_INSTANCES, &set, sizeof(set), nullptr, 0, &returned,
                                       nullptr));
    EXPECT_EQ(returned, 0u);
    CableInfo cable = {};
    DriverInfo driver = {};
    read(channel, &cable, &driver);
    EXPECT_EQ(cable.MaxInstances, 20u) << "taken only at the driver's start";
    EXPECT_EQ(driver.RestartNeeded, 1u);
    EXPECT_TRUE(win32->CloseHandle(channel));

    EXPECT_EQ(PropertyChange() & (host::DI_NEEDRESTART | host::DI_NEEDREBOOT), 0u);
    channel = Open(path);
    ASSERT_NE(channel, host::INVALID_HANDLE_VALUE);
    read(channel, &cable, &driver);
    EXPECT_EQ(cable.MaxInstances, 9u);
    EXPECT_EQ(driver.RestartNeeded, 0u);
    EXPECT_EQ(driver.OpenHandles, 1u);
    EXPECT_TRUE(win32->CloseHandle(channel));
}

TEST_F(Win32DeviceTest, AClassInstallerCallWithoutUsableParametersOrRightsChangesNothing)
{
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables", 3);
    host::SP_PROPCHANGE_PARAMS change = PropertyChangeParams();
    const struct {
        const char* what;
        DWORD headerSize;
        DWORD paramsSize;  // 0: no parameters set
        bool administrator;
        DWORD setError;
        DWORD callError;
    } cases[] = {
        {"no parameters", 8, 0, true, 0, host::ERROR_NO_CLASSINSTALL_PARAMS},
        {"the header's size wrong", 20, 20, true, host::ERROR_INVALID_USER_BUFFER, host::ERROR_NO_CLASSINSTALL_PARAMS},
        {"the parameters' size wrong", 8, 16, true, host::ERROR_INVALID_USER_BUFFER, host::ERROR_NO_CLASSINSTALL_PARAMS},
        {"no administrator", 8, 20, false, 0, host::ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        win32->SetAdministrator(c.administrator);
        host::SP_DEVINFO_DATA device;
        host::HDEVINFO list = ControlDevice(&device);
        if (c.paramsSize != 0) {
            change.ClassInstallHeader.cbSize = c.headerSize;
            EXPECT_EQ(win32->SetupDiSetClassInstallParamsA(list, &device, &change.ClassInstallHeader, c.paramsSize),
                      c.setError == 0)
                << c.what;
            EXPECT_EQ(host::GetLastError(), c.setError) << c.what;
        }
        EXPECT_FALSE(win32->SetupDiCallClassInstaller(host::DIF_PROPERTYCHANGE, list, &device)) << c.what;
        EXPECT_EQ(host::GetLastError(), c.callError) << c.what;
        EXPECT_TRUE(win32->SetupDiDestroyDeviceInfoList(list));
        EXPECT_EQ(List(KSCATEGORY_RENDER).size(), 2u) << c.what << ": the device was restarted";
    }
}

TEST(Win32Errors, DriverStatusesReachProgramsAsTheSystemMapsThem)
{
    const struct {
        NTSTATUS status;
        DWORD error;
    } cases[] = {
        {STATUS_SUCCESS, 0},
        {STATUS_INVALID_DEVICE_REQUEST, 1},
        {STATUS_OBJECT_NAME_NOT_FOUND, 2},
        {STATUS_INVALID_PARAMETER, 87},
        {static_cast<NTSTATUS>(0xC0000108), 2404},  // STATUS_CONNECTION_IN_USE
        {STATUS_INSUFFICIENT_RESOURCES, 1450},
        {STATUS_ACCESS_DENIED, 5},
        {STATUS_BUFFER_OVERFLOW, 234},
        {STATUS_BUFFER_TOO_SMALL, 122},
        {STATUS_DEVICE_BUSY, 170},
        {static_cast<NTSTATUS>(0xC0070005), 5},     // a Win32 error carried as a status
        {static_cast<NTSTATUS>(0xC0DE0001), 317},   // none: ERROR_MR_MID_NOT_FOUND
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host::RtlNtStatusToDosError(c.status), c.error) << std::hex << c.status;
    }
}

TEST(Win32Errors, ErrorTextGivesFacilityCodeAndTheSystemsWords)
{
    const struct {
        DWORD error;
        const char* text;
    } cases[] = {
        {87, "0/87 - The parameter is incorrect."},
        {5, "0/5 - Access is denied."},
        {2, "0/2 - The system cannot find the file specified."},
        {1, "0/1 - Incorrect function."},
        {2404, "0/2404 - The device is in use by an active process and cannot be disconnected."},
        {0x800F020B, "15/523"},
        {0xE0000215, "u0/533"},
        {12345, "0/12345"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host::ErrorText(c.error), c.text);
    }
}
