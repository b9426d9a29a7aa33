// Finding the driver's control interface, opening and closing the control channel, and the
// request layer: one routine per control request, each with its own failure message.
#include "panel.h"

#include "device_calls.h"
#include "panel_text.h"

HINSTANCE AppInstance;
char ExeDirectory[MAX_PATH];
char DevicePath[DevicePathSize];
HANDLE DriverHandle;
HWND MainWindow;
LONG RefreshEnabled;

namespace {

constexpr DWORD InterfaceDetailSize = 268;

// Shows a request's failure message, with the error text of the failed call last.
void ReportFailure(const char* format, ULONG number, bool withNumber)
{
    char error[ErrorTextSize];
    ErrorText(error, GetLastError());
    if (withNumber) {
        ShowMessage(format, number, error);
    } else {
        ShowMessage(format, error);
    }
}

bool Request(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize)
{
    DWORD bytesReturned = 0;
    return DeviceControl(DriverHandle, code, input, inputSize, output, outputSize, &bytesReturned) != FALSE;
}

bool SetCableValue(DWORD code, ULONG cableIndex, ULONG value, const char* message)
{
    CableValueRequest request = {CONTROL_INTERFACE_VERSION, cableIndex, value};
    if (Request(code, &request, sizeof(request), nullptr, 0)) {
        return true;
    }
    ReportFailure(message, 0, false);
    return false;
}

}  // namespace

bool FindControlInterface(HDEVINFO* list, SP_DEVINFO_DATA* device, char* path, DWORD pathSize)
{
    *list = nullptr;
    HDEVINFO devices = DeviceGetClassDevs(&GUID_CONTROL_INTERFACE_CLASS, DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE) {
        NormalizeLastError();
        ReportFailure("Cannot get class device list (%s)", 0, false);
        return false;
    }
    if (path != nullptr) {
        path[0] = '\0';
    }
    bool found = false;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof(interfaceData);
        if (!DeviceEnumInterfaces(devices, &GUID_CONTROL_INTERFACE_CLASS, index, &interfaceData)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                break;
            }
            // An enumeration that fails for another reason is not retried at the next index:
            // a failure that persists would otherwise repeat its message without end.
            NormalizeLastError();
            ReportFailure("Cannot get interface data (%s)", 0, false);
            break;
        }
        if ((interfaceData.Flags & SPINT_ACTIVE) == 0 || (interfaceData.Flags & SPINT_REMOVED) != 0) {
            continue;
        }
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_A Detail;
            BYTE Bytes[InterfaceDetailSize];
        } detail = {};
        detail.Detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        *device = SP_DEVINFO_DATA{};
        device->cbSize = sizeof(SP_DEVINFO_DATA);
        DWORD requiredSize = 0;
        if (!DeviceGetInterfaceDetail(devices, &interfaceData, &detail.Detail, InterfaceDetailSize, &requiredSize, device)) {
            NormalizeLastError();
            ReportFailure("Cannot get interface details (%s)", 0, false);
            continue;
        }
        found = true;
        if (path != nullptr && path[0] == '\0') {
            // The detail's path may fill the whole buffer without a terminator.
            detail.Bytes[InterfaceDetailSize - 1] = '\0';
            CopyText(path, pathSize, detail.Detail.DevicePath);
        }
    }
    if (!found) {
        ShowMessage("Driver not loaded");
        DeviceDestroyInfoList(devices);
        return false;
    }
    *list = devices;
    return true;
}

bool OpenDriver()
{
    HANDLE handle = DeviceOpen(DevicePath);
    if (handle == INVALID_HANDLE_VALUE) {
        DriverHandle = nullptr;
        ReportFailure("Cannot open driver (%s)", 0, false);
        return false;
    }
    DriverHandle = handle;
    return true;
}

void CloseDriver()
{
    if (DriverHandle != nullptr) {
        DeviceClose(DriverHandle);
        DriverHandle = nullptr;
    }
}

bool GetDriverInfo(DriverInfo* info)
{
    ControlHeader request = {CONTROL_INTERFACE_VERSION};
    *info = DriverInfo{};
    if (Request(IOCTL_GET_DRIVER_INFO, &request, sizeof(request), info, sizeof(*info))) {
        return true;
    }
    ReportFailure("Cannot get driver info (%s)", 0, false);
    return false;
}

bool GetCableInfo(ULONG cableIndex, CableInfo* info)
{
    CableRequest request = {CONTROL_INTERFACE_VERSION, cableIndex};
    *info = CableInfo{};
    if (Request(IOCTL_GET_CABLE_INFO, &request, sizeof(request), info, sizeof(*info))) {
        return true;
    }
    ReportFailure("Cannot get cable %u info (%s)", cableIndex, true);
    return false;
}

bool SetNumberOfCables(ULONG count)
{
    CableCountRequest request = {CONTROL_INTERFACE_VERSION, count};
    if (Request(IOCTL_SET_NUMBER_OF_CABLES, &request, sizeof(request), nullptr, 0)) {
        return true;
    }
    ReportFailure("Cannot set number of cables to %u (%s)", count, true);
    return false;
}

bool SetMaxInstances(ULONG cableIndex, ULONG value)
{
    return SetCableValue(IOCTL_SET_MAX_INSTANCES, cableIndex, value, "Cannot set Max Instances value (%s)");
}

bool SetMsPerInterrupt(ULONG cableIndex, ULONG value)
{
    return SetCableValue(IOCTL_SET_MS_PER_INTERRUPT, cableIndex, value, "Cannot set Ms Per Int value (%s)");
}

bool SetVolumeControl(ULONG cableIndex, ULONG value)
{
    return SetCableValue(IOCTL_SET_VOLUME_CONTROL, cableIndex, value, "Cannot set Volume Control value (%s)");
}

bool SetFormatRange(ULONG cableIndex, ULONG minRate, ULONG maxRate, ULONG minBits, ULONG maxBits, ULONG minChannels,
                    ULONG maxChannels)
{
    CableRangeRequest request = {CONTROL_INTERFACE_VERSION, cableIndex, minRate, maxRate,
                                 minBits,                   maxBits,    minChannels, maxChannels};
    if (Request(IOCTL_SET_FORMAT_RANGE, &request, sizeof(request), nullptr, 0)) {
        return true;
    }
    ReportFailure("Cannot set data range (%s)", 0, false);
    return false;
}

bool SetStreamFormatLimiting(ULONG cableIndex, ULONG mode)
{
    return SetCableValue(IOCTL_SET_STREAM_FORMAT_LIMITING, cableIndex, mode,
                         "Cannot set stream format limiting mode (%s)");
}

bool SetConnectedSourceLines(ULONG cableIndex, ULONG mask)
{
    return SetCableValue(IOCTL_SET_CONNECTED_SOURCE_LINES, cableIndex, mask,
                         "Cannot set connected source lines mask (%s)");
}

bool SetClockCorrection(ULONG cableIndex, ULONG factor)
{
    return SetCableValue(IOCTL_SET_CLOCK_CORRECTION, cableIndex, factor, "Cannot set clock correction (%s)");
}
