// The Win32 device calls of a user-mode program, answered by one stand-in Machine: SetupAPI lists
// built from the registered device interfaces, file handles as file objects whose requests go
// to the driver as IRPs, and the class installer's property change as a restart of the device.
#include "host/win32_device.h"

#include <algorithm>
#include <cstring>

#include "host/harness.h"
#include "host/internal.h"

namespace host {

namespace {

// {4D36E96C-E325-11CE-BFC1-08002BE10318}: the setup class of sound devices, the driver's device.
constexpr GUID MediaSetupClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// The device instance handle of the machine's one device node.
constexpr DWORD DeviceInstance = 1;

constexpr DWORD MethodBuffered = 0;
constexpr DWORD MethodNeither = 3;

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

char FoldCase(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldCase(x) == FoldCase(y);
           });
}

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

// The first component of a "\??\" link: the symbolic link's own name, without a reference string.
std::string LinkName(const std::string& kernelLink)
{
    std::string name = kernelLink.substr(4);  // after "\??\"
    return name.substr(0, name.find('\\'));
}

// The NT create disposition (IO_STACK_LOCATION Options, top byte) for a Win32 one; 0 for none.
ULONG CreateDisposition(DWORD creationDisposition)
{
    switch (creationDisposition) {
    case 1:  // CREATE_NEW
        return 2;  // FILE_CREATE
    case 2:  // CREATE_ALWAYS
        return 5;  // FILE_OVERWRITE_IF
    case OPEN_EXISTING:
        return 1;  // FILE_OPEN
    case 4:  // OPEN_ALWAYS
        return 3;  // FILE_OPEN_IF
    case 5:  // TRUNCATE_EXISTING
        return 4;  // FILE_OVERWRITE
    default:
        return 0;
    }
}

// An error status (severity 3), after which the I/O manager copies nothing back.
bool IsError(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

}  // namespace

struct Win32System::DeviceEntry {
    DWORD installFlags = 0;
    bool hasPropertyChange = false;
    SP_PROPCHANGE_PARAMS propertyChange = {};
};

struct Win32System::InterfaceEntry {
    std::string path;  // "\\?\..."
    GUID interfaceClass;
    DWORD flags;
    size_t device;  // index into the list's devices
};

struct Win32System::DeviceInfoList {
    std::vector<DeviceEntry> devices;
    std::vector<InterfaceEntry> interfaces;
};

struct Win32System::FileHandle {
    PDEVICE_OBJECT device = nullptr;
    FILE_OBJECT file = {};
    std::vector<WCHAR> name;  // file.FileName's characters
};

Win32System::Win32System(Machine& machine) : machine_(machine) {}

Win32System::~Win32System()
{
    for (auto& open : files_) {
        CloseFile(*open.second);
    }
}

Win32System::DeviceInfoList* Win32System::FindList(HDEVINFO list)
{
    auto found = lists_.find(list);
    return found == lists_.end() ? nullptr : found->second.get();
}

Win32System::DeviceEntry* Win32System::FindDevice(DeviceInfoList* list, const SP_DEVINFO_DATA* device)
{
    if (device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return nullptr;
    }
    if (device->Reserved == 0 || device->Reserved > list->devices.size()) {
        return nullptr;
    }
    return &list->devices[device->Reserved - 1];
}

Win32System::FileHandle* Win32System::FindFile(HANDLE handle)
{
    auto found = files_.find(handle);
    return found == files_.end() ? nullptr : found->second.get();
}

HDEVINFO Win32System::SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags)
{
    if ((flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_DEVINFO_VALUE;
    }
    if (classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_DEVINFO_VALUE;
    }
    auto list = std::make_unique<DeviceInfoList>();
    const bool present = machine_.Device() != nullptr;
    if (present || (flags & DIGCF_PRESENT) == 0) {
        for (const DeviceInterface& registered : DeviceInterfaces(machine_.Node().PhysicalDevice())) {
            if (classGuid != nullptr && (flags & DIGCF_ALLCLASSES) == 0 &&
                !SameGuid(registered.interfaceClass, *classGuid)) {
                continue;
            }
            if (list->devices.empty()) {
                list->devices.emplace_back();
            }
            std::string path = "\\\\?\\" + Narrow(registered.link).substr(4);
            list->interfaces.push_back({path, registered.interfaceClass, registered.enabled ? SPINT_ACTIVE : 0u, 0});
        }
    }
    auto handle = reinterpret_cast<HDEVINFO>(nextHandle_);
    nextHandle_ += 4;
    lists_[handle] = std::move(list);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL Win32System::SetupDiEnumDeviceInterfaces(HDEVINFO handle, SP_DEVINFO_DATA* device, const GUID* classGuid,
                                              DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData)
{
    DeviceInfoList* list = FindList(handle);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (classGuid == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DeviceEntry* only = nullptr;
    if (device != nullptr && (only = FindDevice(list, device)) == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD seen = 0;
    for (size_t i = 0; i < list->interfaces.size(); ++i) {
        const InterfaceEntry& entry = list->interfaces[i];
        if (!SameGuid(entry.interfaceClass, *classGuid) || (only != nullptr && &list->devices[entry.device] != only)) {
            continue;
        }
        if (seen++ == index) {
            interfaceData->InterfaceClassGuid = entry.interfaceClass;
            interfaceData->Flags = entry.flags;
            interfaceData->Reserved = i + 1;
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL Win32System::SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                   SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                                   DWORD* requiredSize, SP_DEVINFO_DATA* device)
{
    DeviceInfoList* list = FindList(handle);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        interfaceData->Reserved == 0 || interfaceData->Reserved > list->interfaces.size()) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((detail == nullptr) != (detailSize == 0) ||
        (detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    const InterfaceEntry& entry = list->interfaces[interfaceData->Reserved - 1];
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + entry.path.size() + 1);
    if (requiredSize != nullptr) {
        *requiredSize = needed;
    }
    if (device != nullptr) {
        device->ClassGuid = MediaSetupClass;
        device->DevInst = DeviceInstance;
        device->Reserved = entry.device + 1;
    }
    if (detailSize < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(detail->DevicePath, entry.path.c_str(), entry.path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL Win32System::SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    if (lists_.erase(handle) == 0) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL Win32System::SetupDiSetClassInstallParamsA(HDEVINFO handle, SP_DEVINFO_DATA* device,
                                                SP_CLASSINSTALL_HEADER* params, DWORD size)
{
    DeviceInfoList* list = FindList(handle);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DeviceEntry* entry = FindDevice(list, device);
    if (entry == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (params == nullptr) {
        if (size != 0) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        entry->hasPropertyChange = false;
        entry->installFlags &= ~DI_CLASSINSTALLPARAMS;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (params->InstallFunction != DIF_PROPERTYCHANGE) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (size != sizeof(SP_PROPCHANGE_PARAMS)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    SP_PROPCHANGE_PARAMS change;
    std::memcpy(&change, params, sizeof(change));
    const bool knownScope = change.Scope == DICS_FLAG_GLOBAL || change.Scope == DICS_FLAG_CONFIGSPECIFIC ||
                            change.Scope == DICS_FLAG_CONFIGGENERAL;
    if (change.StateChange < DICS_ENABLE || change.StateChange > DICS_STOP || !knownScope) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    entry->propertyChange = change;
    entry->hasPropertyChange = true;
    entry->installFlags |= DI_CLASSINSTALLPARAMS;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL Win32System::SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO handle, SP_DEVINFO_DATA* device)
{
    DeviceInfoList* list = FindList(handle);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DeviceEntry* entry = FindDevice(list, device);
    if (entry == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (function != DIF_PROPERTYCHANGE) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (!entry->hasPropertyChange) {
        return Fail(ERROR_NO_CLASSINSTALL_PARAMS);
    }
    if (entry->propertyChange.StateChange != DICS_PROPCHANGE) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (!administrator_) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    // The device is stopped and started again; a device that then fails to start is left with a
    // problem, as Windows leaves it, and the installer's call still succeeds.
    if (machine_.Restart() == STATUS_DEVICE_BUSY) {
        entry->installFlags |= DI_NEEDRESTART;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL Win32System::SetupDiGetDeviceInstallParamsA(HDEVINFO handle, SP_DEVINFO_DATA* device,
                                                 SP_DEVINSTALL_PARAMS_A* params)
{
    DeviceInfoList* list = FindList(handle);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DeviceEntry* entry = FindDevice(list, device);
    if (entry == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (params == nullptr || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    std::memset(params, 0, sizeof(*params));
    params->cbSize = sizeof(SP_DEVINSTALL_PARAMS_A);
    params->Flags = entry->installFlags;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE Win32System::CreateFileA(PCSTR path, DWORD desiredAccess, DWORD shareMode, PVOID securityAttributes,
                                DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile)
{
    const ULONG disposition = CreateDisposition(creationDisposition);
    if (path == nullptr || disposition == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string text(path);
    if (text.compare(0, 4, "\\\\?\\") != 0 && text.compare(0, 4, "\\\\.\\") != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // the stand-in has devices only, no file system
        return INVALID_HANDLE_VALUE;
    }
    const std::string rest = text.substr(4);
    const size_t split = rest.find('\\');
    const std::string linkName = rest.substr(0, split);
    const std::string fileName = split == std::string::npos ? std::string() : rest.substr(split);
    bool linked = false;
    for (const DeviceInterface& registered : DeviceInterfaces(machine_.Node().PhysicalDevice())) {
        linked = linked || (registered.enabled && SameTextIgnoringCase(LinkName(Narrow(registered.link)), linkName));
    }
    PDEVICE_OBJECT device = machine_.Device();
    if (!linked || device == nullptr) {
        SetLastError(linkName.empty() ? ERROR_INVALID_NAME : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (fileName.size() * sizeof(WCHAR) > 0xFFFE) {
        SetLastError(ERROR_INVALID_NAME);  // longer than a UNICODE_STRING holds
        return INVALID_HANDLE_VALUE;
    }

    auto file = std::make_unique<FileHandle>();
    file->device = device;
    file->name.assign(fileName.begin(), fileName.end());
    file->file.Size = sizeof(FILE_OBJECT);
    file->file.DeviceObject = device;
    file->file.FileName.Buffer = file->name.empty() ? nullptr : file->name.data();
    file->file.FileName.Length = static_cast<USHORT>(file->name.size() * sizeof(WCHAR));
    file->file.FileName.MaximumLength = file->file.FileName.Length;
    file->file.ReadAccess = (desiredAccess & GENERIC_READ) != 0;
    file->file.WriteAccess = (desiredAccess & GENERIC_WRITE) != 0;
    NTSTATUS status = Send(*file, IRP_MJ_CREATE, nullptr, [&](IoRequest& request) {
        request.stack.Parameters.Create.Options = disposition << 24;
        request.stack.Parameters.Create.ShareAccess = static_cast<USHORT>(shareMode);
    });
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return INVALID_HANDLE_VALUE;
    }
    NoteFileOpened(device);
    auto handle = reinterpret_cast<HANDLE>(nextHandle_);
    nextHandle_ += 4;
    files_[handle] = std::move(file);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL Win32System::DeviceIoControl(HANDLE handle, DWORD ioControlCode, PVOID input, DWORD inputSize, PVOID output,
                                  DWORD outputSize, DWORD* bytesReturned, PVOID overlapped)
{
    FileHandle* file = FindFile(handle);
    if (file == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (overlapped != nullptr || bytesReturned == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);  // synchronous handles need the count
    }
    if ((input == nullptr && inputSize != 0) || (output == nullptr && outputSize != 0)) {
        return Fail(ERROR_NOACCESS);
    }
    const DWORD method = ioControlCode & 3;
    if (method != MethodBuffered && method != MethodNeither) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    ULONG_PTR information = 0;
    NTSTATUS status;
    if (method == MethodBuffered) {
        InProcess client;  // the request reaches the driver in the application's process
        status = SendBufferedDeviceControl(file->device, &file->file, ioControlCode, input, inputSize, output,
                                           outputSize, &information);
    } else {
        status = Send(*file, IRP_MJ_DEVICE_CONTROL, &information, [&](IoRequest& request) {
            auto& control = request.stack.Parameters.DeviceIoControl;
            control.IoControlCode = ioControlCode;
            control.InputBufferLength = inputSize;
            control.OutputBufferLength = outputSize;
            control.Type3InputBuffer = input;
            request.irp.UserBuffer = output;
        });
    }
    // The I/O manager hands back at most the output's size, and nothing after an error.
    information = IsError(status) ? 0 : std::min<ULONG_PTR>(information, outputSize);
    *bytesReturned = static_cast<DWORD>(information);
    if (!NT_SUCCESS(status)) {
        return Fail(RtlNtStatusToDosError(status));
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL Win32System::CloseHandle(HANDLE handle)
{
    auto found = files_.find(handle);
    if (found == files_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    std::unique_ptr<FileHandle> file = std::move(found->second);
    files_.erase(found);
    CloseFile(*file);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void Win32System::CloseFile(FileHandle& file)
{
    NoteFileClosed(file.device);
    Send(file, IRP_MJ_CLEANUP);
    Send(file, IRP_MJ_CLOSE);
}

NTSTATUS Win32System::Send(FileHandle& file, UCHAR majorFunction, ULONG_PTR* information,
                           const std::function<void(IoRequest&)>& fill)
{
    // The request reaches the driver in the application's thread and process, from user mode.
    InProcess client;
    IoRequest request(majorFunction, 0, file.device);
    request.UseFileObject(&file.file);
    request.irp.RequestorMode = UserMode;
    if (fill) {
        fill(request);
    }
    NTSTATUS returned = request.Send(file.device);
    if (!request.completed) {
        ReportViolation("IRP_NOT_COMPLETED", "IoCallDriver",
                        "the driver returned " + std::to_string(returned) +
                            " without completing the request; the application would wait for it forever");
    }
    if (information != nullptr) {
        *information = request.irp.IoStatus.Information;
    }
    return request.irp.IoStatus.Status;
}

}  // namespace host
