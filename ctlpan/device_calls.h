// Every call the panel makes on the driver's device: the interface enumeration, the control
// channel's open, requests and close, and the class installer's property change. They sit behind
// this one seam so that a build can route them elsewhere by replacing device_calls_win32.cpp
// alone; each takes and returns exactly what the Win32 routine of the same purpose does,
// last error included.
#pragma once

#include <windows.h>
#include <setupapi.h>

HDEVINFO DeviceGetClassDevs(const GUID* classGuid, DWORD flags);
BOOL DeviceEnumInterfaces(HDEVINFO list, const GUID* classGuid, DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData);
BOOL DeviceGetInterfaceDetail(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interfaceData,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize,
                              SP_DEVINFO_DATA* device);
BOOL DeviceDestroyInfoList(HDEVINFO list);

HANDLE DeviceOpen(const char* path);
BOOL DeviceControl(HANDLE handle, DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize,
                   DWORD* bytesReturned);
BOOL DeviceClose(HANDLE handle);

BOOL DeviceSetClassInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device, SP_CLASSINSTALL_HEADER* params,
                                 DWORD paramsSize);
BOOL DeviceCallClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device);
BOOL DeviceGetInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device, SP_DEVINSTALL_PARAMS_A* params);
