// The device seam on Windows itself: each call goes straight to SetupAPI or kernel32.
#include "device_calls.h"

HDEVINFO DeviceGetClassDevs(const GUID* classGuid, DWORD flags)
{
    return SetupDiGetClassDevsA(classGuid, nullptr, nullptr, flags);
}

BOOL DeviceEnumInterfaces(HDEVINFO list, const GUID* classGuid, DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData)
{
    return SetupDiEnumDeviceInterfaces(list, nullptr, classGuid, index, interfaceData);
}

BOOL DeviceGetInterfaceDetail(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interfaceData,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize,
                              SP_DEVINFO_DATA* device)
{
    return SetupDiGetDeviceInterfaceDetailA(list, interfaceData, detail, detailSize, requiredSize, device);
}

BOOL DeviceDestroyInfoList(HDEVINFO list)
{
    return SetupDiDestroyDeviceInfoList(list);
}

HANDLE DeviceOpen(const char* path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL DeviceControl(HANDLE handle, DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize,
                   DWORD* bytesReturned)
{
    return DeviceIoControl(handle, code, input, inputSize, output, outputSize, bytesReturned, nullptr);
}

BOOL DeviceClose(HANDLE handle)
{
    return CloseHandle(handle);
}

BOOL DeviceSetClassInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device, SP_CLASSINSTALL_HEADER* params,
                                 DWORD paramsSize)
{
    return SetupDiSetClassInstallParamsA(list, device, params, paramsSize);
}

BOOL DeviceCallClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device)
{
    return SetupDiCallClassInstaller(function, list, device);
}

BOOL DeviceGetInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device, SP_DEVINSTALL_PARAMS_A* params)
{
    return SetupDiGetDeviceInstallParamsA(list, device, params);
}
