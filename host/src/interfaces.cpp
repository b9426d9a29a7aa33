// Device interfaces: registration gives a symbolic link name in pool the caller frees; enabling,
// disabling and enumeration follow the published statuses.
//
// Choices where the platform leaves room (kept by every test):
// - A link is "\??\ROOT#MEDIA#nnnn#{class}", nnnn standing for the physical device object, with
//   "\reference" appended when a reference string is given.
// - IoGetDeviceInterfaces lists the links in the order they were first registered.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

struct InterfaceRecord {
    std::u16string link;
    GUID interfaceClass;
    PDEVICE_OBJECT physicalDeviceObject;
    bool enabled = false;
};

std::mutex interfaceMutex;
std::vector<InterfaceRecord> interfaces;  // registration order; guarded by interfaceMutex
std::vector<InterfaceStateChange> stateChanges;  // guarded by interfaceMutex

std::u16string Widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

InterfaceRecord* FindInterface(const std::u16string& link)
{
    for (InterfaceRecord& record : interfaces) {
        if (record.link == link) {
            return &record;
        }
    }
    return nullptr;
}

// Records a link once; true when it was new.
bool AddInterface(const std::u16string& link, const GUID& interfaceClass, PDEVICE_OBJECT physicalDeviceObject)
{
    std::lock_guard<std::mutex> guard(interfaceMutex);
    if (FindInterface(link) != nullptr) {
        return false;
    }
    interfaces.push_back({link, interfaceClass, physicalDeviceObject, false});
    return true;
}

}  // namespace

void AddDeviceInterfaceLink(const std::u16string& link, const GUID& interfaceClass,
                            PDEVICE_OBJECT physicalDeviceObject, bool enabled)
{
    AddInterface(link, interfaceClass, physicalDeviceObject);
    std::lock_guard<std::mutex> guard(interfaceMutex);
    FindInterface(link)->enabled = enabled;
}

std::vector<DeviceInterface> DeviceInterfaces(PDEVICE_OBJECT physicalDeviceObject)
{
    std::lock_guard<std::mutex> guard(interfaceMutex);
    std::vector<DeviceInterface> found;
    for (const InterfaceRecord& record : interfaces) {
        if (physicalDeviceObject == nullptr || record.physicalDeviceObject == physicalDeviceObject) {
            found.push_back({record.link, record.interfaceClass, record.enabled});
        }
    }
    return found;
}

void RemoveDeviceInterface(const std::u16string& link)
{
    std::lock_guard<std::mutex> guard(interfaceMutex);
    for (auto it = interfaces.begin(); it != interfaces.end(); ++it) {
        if (it->link == link) {
            interfaces.erase(it);
            return;
        }
    }
}

void ResetDeviceInterfaces()
{
    std::lock_guard<std::mutex> guard(interfaceMutex);
    interfaces.clear();
    stateChanges.clear();
}

std::vector<InterfaceStateChange> TakeInterfaceStateChanges()
{
    std::lock_guard<std::mutex> guard(interfaceMutex);
    std::vector<InterfaceStateChange> taken;
    taken.swap(stateChanges);
    return taken;
}

std::u16string DeviceInterfaceLink(PDEVICE_OBJECT physicalDeviceObject, const GUID& g,
                                   const std::u16string& reference)
{
    char text[96];
    std::snprintf(text, sizeof(text), "\\??\\ROOT#MEDIA#%04u#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(physicalDeviceObject) % 10000), g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    std::u16string link = Widen(text);
    if (!reference.empty()) {
        link += u"\\";
        link += reference;
    }
    return link;
}

}  // namespace host

// Like IoRegisterDeviceInterface: registering again returns STATUS_OBJECT_NAME_EXISTS and the
// same name. The name's buffer is paged pool that the caller frees with RtlFreeUnicodeString.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface", "it runs at PASSIVE_LEVEL only");
    std::u16string reference;
    if (referenceString != nullptr && referenceString->Length != 0) {
        reference.assign(referenceString->Buffer, referenceString->Length / sizeof(WCHAR));
    }
    std::u16string link = host::DeviceInterfaceLink(physicalDeviceObject, *interfaceClassGuid, reference);
    auto bytes = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x20206F49));  // "Io  "
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.c_str(), bytes + sizeof(WCHAR));
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = bytes;
    symbolicLinkName->MaximumLength = bytes + sizeof(WCHAR);
    return host::AddInterface(link, *interfaceClassGuid, physicalDeviceObject) ? STATUS_SUCCESS
                                                                               : STATUS_OBJECT_NAME_EXISTS;
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
    host::InterfaceRecord* found = host::FindInterface(link);
    if (found == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (enable) {
        if (found->enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        found->enabled = true;
        host::stateChanges.push_back({link, true});
        return STATUS_SUCCESS;
    }
    if (!found->enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    found->enabled = false;
    host::stateChanges.push_back({link, false});
    return STATUS_SUCCESS;
}

// Like IoGetDeviceInterfaces: the links of the class on the device (on every device when it is
// null), enabled ones only unless DEVICE_INTERFACE_INCLUDE_NONACTIVE, one after another and ended
// by an empty string, in paged pool the caller frees with ExFreePool. No match is a list holding
// only the empty string, and success.
NTSTATUS IoGetDeviceInterfaces(const GUID* interfaceClassGuid, PDEVICE_OBJECT physicalDeviceObject, ULONG flags,
                               PWSTR* symbolicLinkList)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceInterfaces", "it runs at PASSIVE_LEVEL only");
    *symbolicLinkList = nullptr;
    std::u16string list;
    {
        std::lock_guard<std::mutex> guard(host::interfaceMutex);
        for (const host::InterfaceRecord& record : host::interfaces) {
            if (record.interfaceClass == *interfaceClassGuid &&
                (physicalDeviceObject == nullptr || record.physicalDeviceObject == physicalDeviceObject) &&
                (record.enabled || (flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE) != 0)) {
                list += record.link;
                list += u'\0';
            }
        }
    }
    list += u'\0';
    size_t bytes = list.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, 0x20206F49));  // "Io  "
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, list.data(), bytes);
    *symbolicLinkList = buffer;
    return STATUS_SUCCESS;
}
