// Device interfaces: registration gives a symbolic link name in pool the caller frees; enabling
// and disabling follow the published statuses.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

struct InterfaceRecord {
    bool enabled = false;
};

std::mutex interfaceMutex;
std::map<std::u16string, InterfaceRecord> interfaces;

std::u16string Widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

}  // namespace
}  // namespace host

// Like IoRegisterDeviceInterface: the link name is "\??\ROOT#MEDIA#0000#{class}" plus "\reference"
// when a reference string is given; registering again returns STATUS_OBJECT_NAME_EXISTS and the same
// name. The name's buffer is paged pool that the caller frees with RtlFreeUnicodeString.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface", "it runs at PASSIVE_LEVEL only");
    const GUID& g = *interfaceClassGuid;
    char text[96];
    std::snprintf(text, sizeof(text), "\\??\\ROOT#MEDIA#%04u#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(physicalDeviceObject) % 10000), g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    std::u16string link = host::Widen(text);
    if (referenceString != nullptr && referenceString->Length != 0) {
        link += u"\\";
        link.append(referenceString->Buffer, referenceString->Length / sizeof(WCHAR));
    }
    auto bytes = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x20206F49));  // "Io  "
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.c_str(), bytes + sizeof(WCHAR));
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = bytes;
    symbolicLinkName->MaximumLength = bytes + sizeof(WCHAR);

    std::lock_guard<std::mutex> guard(host::interfaceMutex);
    bool existed = host::interfaces.count(link) != 0;
    host::interfaces[link];
    return existed ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
}

// Like IoSetDeviceInterfaceState: enabling twice gives STATUS_OBJECT_NAME_EXISTS; disabling one that
// is not enabled, or an unknown name, gives STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState", "it runs at PASSIVE_LEVEL only");
    std::u16string link;
    if (symbolicLinkName != nullptr && symbolicLinkName->Buffer != nullptr) {
        link.assign(symbolicLinkName->Buffer, symbolicLinkName->Length / sizeof(WCHAR));
    }
    host::LogEvent(enable ? "IoSetDeviceInterfaceState enable" : "IoSetDeviceInterfaceState disable");
    std::lock_guard<std::mutex> guard(host::interfaceMutex);
    auto found = host::interfaces.find(link);
    if (found == host::interfaces.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (enable) {
        if (found->second.enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        found->second.enabled = true;
        return STATUS_SUCCESS;
    }
    if (!found->second.enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    found->second.enabled = false;
    return STATUS_SUCCESS;
}
