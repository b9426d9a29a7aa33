// A started device (2 cables) and one program's Win32 view of it, as the control panel sees the
// driver: interface enumeration, paths and the control channel's open.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/registry_store.h"
#include "host/machine.h"
#include "host/win32_device.h"
#include "shared/control_protocol.h"
#include "support/platform_fixture.h"

class Win32MachineTest : public PlatformTest {
protected:
    static constexpr DWORD InterfaceFlags = host::DIGCF_PRESENT | host::DIGCF_DEVICEINTERFACE;

    struct Listed {
        std::string path;
        DWORD flags;
        DWORD required;
    };

    void SetUp() override
    {
        PlatformTest::SetUp();
        host::RegistrySetDword(SoftwareKeyPath, "Number of cables", 2);
        ASSERT_EQ(machine.Boot(), STATUS_SUCCESS);
        win32 = std::make_unique<host::Win32System>(machine);
    }
    void TearDown() override
    {
        win32.reset();
        machine.Shutdown();
        EXPECT_EQ(host::LivePoolCount(), 0u) << "pool left after unload";
        PlatformTest::TearDown();
    }

    // Every interface of the class, as a program lists them: the size first, then the path.
    std::vector<Listed> List(const GUID& interfaceClass, DWORD flags = InterfaceFlags)
    {
        std::vector<Listed> found;
        host::HDEVINFO list = win32->SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, flags);
        EXPECT_NE(list, host::INVALID_DEVINFO_VALUE);
        for (DWORD index = 0;; ++index) {
            host::SP_DEVICE_INTERFACE_DATA data = {};
            data.cbSize = sizeof(data);
            if (!win32->SetupDiEnumDeviceInterfaces(list, nullptr, &interfaceClass, index, &data)) {
                EXPECT_EQ(host::GetLastError(), host::ERROR_NO_MORE_ITEMS);
                break;
            }
            DWORD required = 0;
            EXPECT_FALSE(win32->SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &required, nullptr));
            EXPECT_EQ(host::GetLastError(), host::ERROR_INSUFFICIENT_BUFFER);
            std::vector<uint64_t> storage(required / 8 + 1);
            auto* detail = reinterpret_cast<host::SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = sizeof(*detail);
            EXPECT_TRUE(win32->SetupDiGetDeviceInterfaceDetailA(list, &data, detail, required, nullptr, nullptr));
            found.push_back({detail->DevicePath, data.Flags, required});
        }
        EXPECT_TRUE(win32->SetupDiDestroyDeviceInfoList(list));
        return found;
    }
    std::string PathOf(const GUID& interfaceClass, size_t index = 0)
    {
        std::vector<Listed> listed = List(interfaceClass);
        return index < listed.size() ? listed[index].path : std::string();
    }
    HANDLE Open(const std::string& path)
    {
        return win32->CreateFileA(path.c_str(), host::GENERIC_READ | host::GENERIC_WRITE, 0, nullptr,
                                  host::OPEN_EXISTING, 0, nullptr);
    }
    // The panel's way in: the control interface's path with "\" and the reference string.
    HANDLE OpenChannel() { return Open(PathOf(GUID_CONTROL_INTERFACE_CLASS) + "\\" + CONTROL_REFERENCE_STRING); }

    host::Machine machine;
    std::unique_ptr<host::Win32System> win32;
};
