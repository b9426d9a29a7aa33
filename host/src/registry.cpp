// The registry's Zw services: key handles, values and deletion with the statuses Windows gives.
// Choices where the documentation is silent: a handle given as RootDirectory needs no particular
// access; keys cannot be created directly under \REGISTRY, \REGISTRY\MACHINE or \REGISTRY\USER
// (STATUS_ACCESS_DENIED; hives are not created by drivers); only KeyValuePartialInformation is
// offered; symbolic links are not supported; and injected faults (RegistryFailAccess) spare ZwClose,
// so a test of a failing key never leaks its handles.
#include <algorithm>
#include <cstring>

#include "host/harness.h"
#include "host/internal.h"
#include "registry_tree.h"
#include "text.h"

using namespace host::registry;
using host::Upcase;

namespace {

constexpr ULONG PartialInformationHeaderBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
static_assert(PartialInformationHeaderBytes == 12, "the partial information header is 12 bytes");

constexpr ACCESS_MASK GenericRead = 0x80000000;
constexpr ACCESS_MASK GenericWrite = 0x40000000;
constexpr ACCESS_MASK GenericExecute = 0x20000000;
constexpr ACCESS_MASK GenericAll = 0x10000000;
constexpr ACCESS_MASK MaximumAllowed = 0x02000000;
constexpr ULONG SupportedCreateOptions = REG_OPTION_VOLATILE;
constexpr uintptr_t KernelHandleBase = 0xFFFFFFFF80000000ull;

// Every registry service runs at PASSIVE_LEVEL: the registry is paged and its lock is a resource.
// Counts the call (before any check, so refused calls are counted too) and takes the registry lock.
std::unique_lock<std::mutex> BeginCall(const char* routine)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, routine,
                            "the registry is pageable; make registry calls at PASSIVE_LEVEL (queue a work item)");
    RegistryState& state = State();
    std::unique_lock<std::mutex> lock(state.mutex);
    ++state.callCounts[routine];
    return lock;
}

// The text of a counted string; false when the structure itself is malformed.
bool ReadCountedString(PCUNICODE_STRING text, std::u16string* result)
{
    if (text == nullptr || (text->Length % sizeof(WCHAR)) != 0 || text->Length > text->MaximumLength ||
        (text->Length != 0 && text->Buffer == nullptr)) {
        return false;
    }
    result->assign(text->Buffer, text->Buffer + text->Length / sizeof(WCHAR));
    return true;
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired & ~(GenericRead | GenericWrite | GenericExecute | GenericAll | MaximumAllowed);
    if ((desired & (GenericRead | GenericExecute)) != 0) {
        granted |= KEY_READ;
    }
    if ((desired & GenericWrite) != 0) {
        granted |= KEY_WRITE;
    }
    if ((desired & (GenericAll | MaximumAllowed)) != 0) {
        granted |= KEY_ALL_ACCESS;
    }
    return granted;
}

HANDLE InsertHandle(RegistryState& state, std::shared_ptr<Key> key, ACCESS_MASK desiredAccess)
{
    const uintptr_t value = KernelHandleBase + 4 * ++state.nextHandle;
    state.handles[value] = OpenHandle{std::move(key), MapGenericAccess(desiredAccess)};
    return reinterpret_cast<HANDLE>(value);
}

OpenHandle* FindHandle(RegistryState& state, HANDLE handle)
{
    auto found = state.handles.find(reinterpret_cast<uintptr_t>(handle));
    return found == state.handles.end() ? nullptr : &found->second;
}

// Looks up a key handle for a service that needs `access` on it.
NTSTATUS ReferenceKey(RegistryState& state, HANDLE handle, ACCESS_MASK access, Key** key)
{
    OpenHandle* open = FindHandle(state, handle);
    if (open == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS status = InjectedFault(state, open->key->upperPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((open->granted & access) != access) {
        return STATUS_ACCESS_DENIED;
    }
    if (open->key->deleted) {
        return STATUS_KEY_DELETED;
    }
    *key = open->key.get();
    return STATUS_SUCCESS;
}

// Looks up a key handle and the value name for a service on one of the key's values.
NTSTATUS ReferenceValue(HANDLE handle, ACCESS_MASK access, PCUNICODE_STRING valueName, Key** key,
                        std::u16string* name)
{
    NTSTATUS status = ReferenceKey(State(), handle, access, key);
    if (NT_SUCCESS(status) && !ReadCountedString(valueName, name)) {
        status = STATUS_INVALID_PARAMETER;
    }
    return status;
}

// A key named by object attributes: where the walk starts, the names to follow, and the upper-cased
// absolute path of the key named (for fault injection).
struct KeyName {
    Key* start = nullptr;
    Components components;
    std::u16string upperPath;
};

// Resolves object attributes to a start key and the names below it, as the object manager parses an
// absolute name or one relative to RootDirectory. An injected fault on the named key wins. The
// caller's handle is null until a key is opened.
NTSTATUS ParseKeyName(RegistryState& state, PHANDLE keyHandle, POBJECT_ATTRIBUTES attributes, KeyName* name)
{
    if (keyHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *keyHandle = nullptr;
    std::u16string text;
    if (attributes == nullptr || !ReadCountedString(attributes->ObjectName, &text)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes->RootDirectory != nullptr) {
        OpenHandle* root = FindHandle(state, attributes->RootDirectory);
        if (root == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        if (!text.empty() && text[0] == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        if (!text.empty() && !SplitPath(text, false, &name->components)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        name->start = root->key.get();
        name->upperPath = root->key->upperPath;
    } else {
        if (text.empty() || text[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        if (!SplitPath(text, true, &name->components)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (!SplitRegistryPath(text, &name->components)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;  // a name outside the registry's part of the namespace
        }
        name->start = state.root.get();
        name->upperPath = state.root->upperPath;
    }
    for (const auto& component : name->components) {
        name->upperPath = ChildUpperPath(name->upperPath, component);
    }
    NTSTATUS status = InjectedFault(state, name->upperPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return name->start->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

// Driver Verifier's handle check: outside the system process a handle without OBJ_KERNEL_HANDLE
// goes into the current process's handle table, where the application can use or close it.
void CheckKernelHandle(const char* routine, POBJECT_ATTRIBUTES attributes)
{
    const ULONG_PTR process = host::CurrentThreadProcess();
    if (process == host::SystemProcessId || attributes == nullptr ||
        (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0) {
        return;
    }
    host::ReportViolation("REGISTRY_HANDLE_NOT_KERNEL", routine,
                          "a key opened in the context of process " + std::to_string(process) +
                              " without OBJ_KERNEL_HANDLE in the OBJECT_ATTRIBUTES becomes a handle of that "
                              "process, which its threads can use or close under the driver; pass "
                              "OBJ_KERNEL_HANDLE to InitializeObjectAttributes");
}

}  // namespace

// Like ZwOpenKey: every key of the path must exist; a missing key or parent is
// STATUS_OBJECT_NAME_NOT_FOUND; the handle is null on failure.
NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes)
{
    auto lock = BeginCall("ZwOpenKey");
    CheckKernelHandle("ZwOpenKey", objectAttributes);
    RegistryState& state = State();
    KeyName name;
    NTSTATUS status = ParseKeyName(state, keyHandle, objectAttributes, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Key* key = Walk(name.start, name.components);
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *keyHandle = InsertHandle(state, key->shared_from_this(), desiredAccess);
    return STATUS_SUCCESS;
}

// Like ZwCreateKey: only the last path component is created; a missing parent is
// STATUS_OBJECT_NAME_NOT_FOUND; the disposition says whether the key was created or opened.
NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                     ULONG titleIndex, PUNICODE_STRING className, ULONG createOptions, PULONG disposition)
{
    auto lock = BeginCall("ZwCreateKey");
    CheckKernelHandle("ZwCreateKey", objectAttributes);
    RegistryState& state = State();
    KeyName name;
    NTSTATUS status = ParseKeyName(state, keyHandle, objectAttributes, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((createOptions & ~SupportedCreateOptions) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Key* key = Walk(name.start, name.components);
    ULONG outcome = REG_OPENED_EXISTING_KEY;
    if (key == nullptr) {
        const std::u16string leaf = name.components.back();
        name.components.pop_back();
        Key* parent = Walk(name.start, name.components);
        if (parent == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (parent->closedToZw) {
            return STATUS_ACCESS_DENIED;  // a new key there would be a new hive
        }
        const bool isVolatile = (createOptions & REG_OPTION_VOLATILE) != 0;
        if (parent->isVolatile && !isVolatile) {
            return STATUS_CHILD_MUST_BE_VOLATILE;
        }
        key = AddSubkey(*parent, leaf);
        key->isVolatile = isVolatile;
        outcome = REG_CREATED_NEW_KEY;
    }
    *keyHandle = InsertHandle(state, key->shared_from_this(), desiredAccess);
    if (disposition != nullptr) {
        *disposition = outcome;
    }
    return STATUS_SUCCESS;
}

// Like ZwQueryValueKey with KeyValuePartialInformation: a buffer shorter than the 12-byte header is
// STATUS_BUFFER_TOO_SMALL with nothing written; one without room for all the data is
// STATUS_BUFFER_OVERFLOW with the header filled (DataLength the full length) and as much data as
// fits; ResultLength is the size needed in both cases.
NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation,
                         ULONG length, PULONG resultLength)
{
    auto lock = BeginCall("ZwQueryValueKey");
    Key* key = nullptr;
    std::u16string name;
    NTSTATUS status = ReferenceValue(keyHandle, KEY_QUERY_VALUE, valueName, &key, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (keyValueInformationClass != KeyValuePartialInformation || resultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const Value* value = key->FindValue(name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const auto dataLength = static_cast<ULONG>(value->data.size());
    *resultLength = PartialInformationHeaderBytes + dataLength;
    if (length < PartialInformationHeaderBytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (keyValueInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* information = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(keyValueInformation);
    information->TitleIndex = 0;
    information->Type = value->type;
    information->DataLength = dataLength;
    const ULONG fitting = std::min(dataLength, length - PartialInformationHeaderBytes);
    if (fitting != 0) {
        std::memcpy(information->Data, value->data.data(), fitting);
    }
    if (fitting < dataLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_SUCCESS;
}

// Like ZwSetValueKey: creates the value or replaces its type and data; needs KEY_SET_VALUE.
NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize)
{
    auto lock = BeginCall("ZwSetValueKey");
    Key* key = nullptr;
    std::u16string name;
    NTSTATUS status = ReferenceValue(keyHandle, KEY_SET_VALUE, valueName, &key, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (data == nullptr && dataSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    key->SetValue(name, type, static_cast<const uint8_t*>(data), dataSize);
    return STATUS_SUCCESS;
}

// Like ZwDeleteValueKey: needs KEY_SET_VALUE; a missing value is STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName)
{
    auto lock = BeginCall("ZwDeleteValueKey");
    Key* key = nullptr;
    std::u16string name;
    NTSTATUS status = ReferenceValue(keyHandle, KEY_SET_VALUE, valueName, &key, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const Value* value = key->FindValue(name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key->values.erase(key->values.begin() + (value - key->values.data()));
    return STATUS_SUCCESS;
}

// Like ZwDeleteKey: needs DELETE access; a key with subkeys (or a hive root) is STATUS_CANNOT_DELETE;
// the key leaves the namespace at once and other handles still open on it get STATUS_KEY_DELETED.
NTSTATUS ZwDeleteKey(HANDLE keyHandle)
{
    auto lock = BeginCall("ZwDeleteKey");
    Key* key = nullptr;
    NTSTATUS status = ReferenceKey(State(), keyHandle, DELETE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (key->permanent || !key->subkeys.empty()) {
        return STATUS_CANNOT_DELETE;
    }
    std::shared_ptr<Key> keepAlive = key->shared_from_this();
    key->parent->subkeys.erase(Upcase(key->name));
    Detach(*key);
    return STATUS_SUCCESS;
}

// Like ZwClose on a key handle: an unknown or already closed handle is STATUS_INVALID_HANDLE.
NTSTATUS ZwClose(HANDLE handle)
{
    auto lock = BeginCall("ZwClose");
    return State().handles.erase(reinterpret_cast<uintptr_t>(handle)) == 1 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
