// The Win32 calls a user-mode program makes on the driver's device, as the control panel makes
// them: SetupAPI enumeration of an interface class, CreateFile on an interface path,
// DeviceIoControl, CloseHandle, and the class installer's property change that restarts the
// device. They are answered by one stand-in Machine: requests go to its driver as IRPs, the
// property change is Machine::Restart. Records keep their x64 Windows layouts and sizes.
//
// Choices where the platform leaves room (kept by every test):
// - Handles and device information lists are opaque values owned by one Win32System; the last
//   error is per thread, as GetLastError's is.
// - Only the interface enumeration of SetupDiGetClassDevsA exists (DIGCF_DEVICEINTERFACE): the
//   stand-in keeps no setup classes. The list is a snapshot taken at the call.
// - CreateFileA opens devices only ("\\?\" or "\\.\" paths); the disposition reaches the driver
//   in the create's Options as the I/O manager puts it there. Handles are synchronous (no
//   OVERLAPPED). DeviceIoControl passes METHOD_BUFFERED and METHOD_NEITHER codes;
//   the direct methods need memory descriptor lists, which the stand-in does not have.
// - The class installer answers DIF_PROPERTYCHANGE with DICS_PROPCHANGE only.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/ks.h"
#include "host/machine.h"

namespace host {

typedef void* HDEVINFO;
typedef void* HWND;
typedef DWORD* PDWORD;
typedef ULONG DI_FUNCTION;

#define HOST_INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
inline const HANDLE INVALID_HANDLE_VALUE = HOST_INVALID_HANDLE_VALUE;
inline const HDEVINFO INVALID_DEVINFO_VALUE = HOST_INVALID_HANDLE_VALUE;

// SetupAPI and file constants, with the published values.
constexpr DWORD DIGCF_DEFAULT = 0x01;
constexpr DWORD DIGCF_PRESENT = 0x02;
constexpr DWORD DIGCF_ALLCLASSES = 0x04;
constexpr DWORD DIGCF_PROFILE = 0x08;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;
constexpr DWORD SPINT_ACTIVE = 0x1;
constexpr DWORD SPINT_DEFAULT = 0x2;
constexpr DWORD SPINT_REMOVED = 0x4;
constexpr DI_FUNCTION DIF_PROPERTYCHANGE = 0x12;
constexpr DWORD DICS_ENABLE = 1;
constexpr DWORD DICS_DISABLE = 2;
constexpr DWORD DICS_PROPCHANGE = 3;
constexpr DWORD DICS_START = 4;
constexpr DWORD DICS_STOP = 5;
constexpr DWORD DICS_FLAG_GLOBAL = 1;
constexpr DWORD DICS_FLAG_CONFIGSPECIFIC = 2;
constexpr DWORD DICS_FLAG_CONFIGGENERAL = 4;
constexpr DWORD DI_NEEDRESTART = 0x80;
constexpr DWORD DI_NEEDREBOOT = 0x100;
constexpr DWORD DI_CLASSINSTALLPARAMS = 0x00100000;
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;

// Win32 error codes the calls here set, and those the driver's statuses map to.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_BAD_COMMAND = 22;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
constexpr DWORD ERROR_DEVICE_IN_USE = 2404;
constexpr DWORD ERROR_NO_CLASSINSTALL_PARAMS = 0xE0000215;  // SetupAPI's own range

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
struct SP_CLASSINSTALL_HEADER {
    DWORD cbSize;
    DI_FUNCTION InstallFunction;
};
struct SP_PROPCHANGE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD StateChange;
    DWORD Scope;
    DWORD HwProfile;
};
struct SP_DEVINSTALL_PARAMS_A {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PVOID InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    PVOID FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    CHAR DriverPath[260];
};
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA is 32 bytes on x64");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "SP_DEVICE_INTERFACE_DATA is 32 bytes on x64");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "its cbSize is 8 on x64");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4, "the path follows cbSize");
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8, "SP_CLASSINSTALL_HEADER is 8 bytes");
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20, "SP_PROPCHANGE_PARAMS is 20 bytes");
static_assert(sizeof(SP_DEVINSTALL_PARAMS_A) == 320, "SP_DEVINSTALL_PARAMS_A is 320 bytes on x64");

// The calling thread's last error, as GetLastError and SetLastError keep it.
DWORD GetLastError();
void SetLastError(DWORD error);

// Like RtlNtStatusToDosError: the Win32 error a status reaches a user-mode caller as. A status of
// the Win32 facility (0xC007xxxx) gives its code; one without a mapping, ERROR_MR_MID_NOT_FOUND.
DWORD RtlNtStatusToDosError(NTSTATUS status);
// The system's message text for a Win32 error as FormatMessage gives it (one line, ending with a
// full stop), or empty when the system has none.
std::string SystemMessageText(DWORD error);
// An error for a message: "0/87 - The parameter is incorrect." -- "u" first for an
// application-defined code, the facility and the code, then the system's text; the numbers alone
// when there is no text.
std::string ErrorText(DWORD error);

// One program's view of a Machine's devices through the Win32 calls. One thread at a time. Like a
// process that exits, it closes the handles still open when it goes: destroy it before the
// machine shuts down.
class Win32System {
public:
    explicit Win32System(Machine& machine);
    ~Win32System();  // closes handles and lists still open, as process exit does
    Win32System(const Win32System&) = delete;
    Win32System& operator=(const Win32System&) = delete;

    // Like SetupDiGetClassDevsA with DIGCF_DEVICEINTERFACE: the interfaces of the class, only those
    // of started devices with DIGCF_PRESENT. INVALID_DEVINFO_VALUE and the last error on failure.
    HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
    // Like SetupDiEnumDeviceInterfaces: the index-th interface of the class in the list (of the
    // device when given); ERROR_NO_MORE_ITEMS past the last. Flags has SPINT_ACTIVE when enabled.
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO list, SP_DEVINFO_DATA* device, const GUID* classGuid,
                                     DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData);
    // Like SetupDiGetDeviceInterfaceDetailA: the user-mode path ("\\?\..." for the kernel's
    // "\??\..." link). A buffer too small (none, for the size query) gives ERROR_INSUFFICIENT_BUFFER
    // and the size needed; the device data is filled in both cases.
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                          DWORD* requiredSize, SP_DEVINFO_DATA* device);
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO list);
    // Like SetupDiSetClassInstallParamsA: keeps the parameters for the device's next installer call
    // (none and size 0 clears them).
    BOOL SetupDiSetClassInstallParamsA(HDEVINFO list, SP_DEVINFO_DATA* device, SP_CLASSINSTALL_HEADER* params,
                                       DWORD size);
    // Like SetupDiCallClassInstaller: DIF_PROPERTYCHANGE with DICS_PROPCHANGE stops and restarts
    // the device (Machine::Restart). An open handle that keeps the device from stopping is not a
    // failure: the device keeps running and its install parameters get DI_NEEDRESTART.
    // ERROR_ACCESS_DENIED without administrator rights.
    BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device);
    BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO list, SP_DEVINFO_DATA* device, SP_DEVINSTALL_PARAMS_A* params);

    // Like CreateFileA on a device path: the first component after "\\?\" names a symbolic link
    // (case-insensitively), which exists while an interface of that name is enabled; everything
    // after it, exactly as written, is the create request's file name (an interface's reference
    // string with its backslash). No such link: ERROR_FILE_NOT_FOUND. The driver's failure
    // status comes back mapped by RtlNtStatusToDosError.
    HANDLE CreateFileA(PCSTR path, DWORD desiredAccess, DWORD shareMode, PVOID securityAttributes,
                       DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
    // Like DeviceIoControl, synchronous. METHOD_BUFFERED as the I/O manager carries it
    // (SendBufferedDeviceControl): input and output go through one system buffer of
    // max(input, output) bytes and, unless the status is an error, the request's Information
    // bytes are copied back. METHOD_NEITHER: the driver gets the caller's buffers. The bytes returned are Information on success and for a
    // warning (which still fails with its error, ERROR_MORE_DATA for STATUS_BUFFER_OVERFLOW), 0
    // for an error.
    BOOL DeviceIoControl(HANDLE handle, DWORD ioControlCode, PVOID input, DWORD inputSize, PVOID output,
                         DWORD outputSize, DWORD* bytesReturned, PVOID overlapped);
    // Cleanup, then close. A handle that is not open: ERROR_INVALID_HANDLE.
    BOOL CloseHandle(HANDLE handle);

    // Whether the program runs with administrator rights (default: it does).
    void SetAdministrator(bool administrator) { administrator_ = administrator; }
    size_t OpenHandleCount() const { return files_.size(); }

private:
    struct DeviceEntry;
    struct InterfaceEntry;
    struct DeviceInfoList;
    struct FileHandle;

    DeviceInfoList* FindList(HDEVINFO list);
    DeviceEntry* FindDevice(DeviceInfoList* list, const SP_DEVINFO_DATA* device);
    FileHandle* FindFile(HANDLE handle);
    // One request on a handle's file object, `fill` adding its parameters; the status it was
    // completed with, and its Information.
    NTSTATUS Send(FileHandle& file, UCHAR majorFunction, ULONG_PTR* information = nullptr,
                  const std::function<void(IoRequest&)>& fill = nullptr);
    void CloseFile(FileHandle& file);

    Machine& machine_;
    bool administrator_ = true;
    uintptr_t nextHandle_ = 0x100;
    std::map<HDEVINFO, std::unique_ptr<DeviceInfoList>> lists_;
    std::map<HANDLE, std::unique_ptr<FileHandle>> files_;
};

}  // namespace host
