// The registry parameter store.
#include "config/registry_store.h"

#include "core/driver_state.h"

namespace {

// Converts an ANSI name with "%S" into a caller's wide buffer of WideNameChars characters and
// describes it with a UNICODE_STRING. A name that does not fit is refused, not truncated.
TARN_PAGEABLE
NTSTATUS WidenName(PCSTR name, PWSTR buffer, PUNICODE_STRING text)
{
    PAGED_CODE();
    NTSTATUS status = RtlStringCbPrintfW(buffer, WideNameChars * sizeof(WCHAR), TARN_WIDE("%S"), name);
    if (!NT_SUCCESS(status)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlInitUnicodeString(text, buffer);
    return STATUS_SUCCESS;
}

// Builds "<location>" or "<location>\<subkey>" into a KeyPathBytes buffer.
TARN_PAGEABLE
NTSTATUS BuildKeyPath(PCSTR location, PCSTR subkey, PCHAR path)
{
    PAGED_CODE();
    NTSTATUS status = (subkey != NULL) ? RtlStringCbPrintfA(path, KeyPathBytes, "%s\\%s", location, subkey)
                                       : RtlStringCbCopyA(path, KeyPathBytes, location);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// ZwCreateKey (the last component only, as the system does) or ZwOpenKey on one ANSI path.
TARN_PAGEABLE
NTSTATUS OpenOneKey(PCSTR path, ACCESS_MASK access, bool create, PHANDLE key)
{
    PAGED_CODE();
    WCHAR wideBuffer[WideNameChars];
    UNICODE_STRING widePath;
    NTSTATUS status = WidenName(path, wideBuffer, &widePath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &widePath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return create ? ZwCreateKey(key, access, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL)
                  : ZwOpenKey(key, access, &attributes);
}

TARN_PAGEABLE
NTSTATUS ReadLocation(PCSTR location, PCSTR subkey, PCSTR valueName, PULONG type, PVOID data, PULONG size)
{
    PAGED_CODE();
    CHAR path[KeyPathBytes];
    NTSTATUS status = BuildKeyPath(location, subkey, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HANDLE key = NULL;
    status = OpenKeyPath(path, KEY_READ, &key);
    if (NT_SUCCESS(status)) {
        status = QueryValue(key, valueName, type, data, size);
        ZwClose(key);
    }
    return status;
}

TARN_PAGEABLE
NTSTATUS WriteLocation(PCSTR location, PCSTR subkey, PCSTR valueName, ULONG type, PVOID data, ULONG size)
{
    PAGED_CODE();
    CHAR path[KeyPathBytes];
    NTSTATUS status = BuildKeyPath(location, subkey, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The name is checked before the key is created, so a refused name leaves no key behind.
    WCHAR wideBuffer[WideNameChars];
    UNICODE_STRING wideName;
    status = WidenName(valueName, wideBuffer, &wideName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HANDLE key = NULL;
    status = CreateKeyPath(path, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwSetValueKey(key, &wideName, 0, type, data, size);
    ZwClose(key);
    return status;
}

}  // namespace

TARN_PAGEABLE
NTSTATUS RegistryValue(bool write, PCSTR subkey, PCSTR valueName, PULONG type, PVOID data, PULONG size)
{
    PAGED_CODE();
    PCSTR locations[] = {SoftwareKeyPath, Driver.ParametersPath};
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;

    if (write) {
        // Both locations, always; the software key's outcome is not reported.
        for (PCSTR location : locations) {
            status = WriteLocation(location, subkey, valueName, *type, data, *size);
        }
        return status;
    }
    ULONG room = *size;
    for (PCSTR location : locations) {
        *size = room;
        status = ReadLocation(location, subkey, valueName, type, data, size);
        if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        *size = 0;
    }
    return status;
}

TARN_PAGEABLE
NTSTATUS CreateKeyPath(PCSTR path, ACCESS_MASK access, PHANDLE key)
{
    PAGED_CODE();
    NTSTATUS status = OpenOneKey(path, access, true, key);
    if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
        return status;
    }
    // A parent is missing: create it first, then this key again.
    PCSTR lastSeparator = NULL;
    for (PCSTR walk = path; *walk != '\0'; ++walk) {
        if (*walk == '\\') {
            lastSeparator = walk;
        }
    }
    if (lastSeparator == NULL || lastSeparator == path) {
        return STATUS_INVALID_PARAMETER;
    }
    CHAR parentPath[KeyPathBytes];
    size_t parentLength = static_cast<size_t>(lastSeparator - path);
    if (parentLength >= sizeof(parentPath)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(parentPath, path, parentLength);
    parentPath[parentLength] = '\0';

    HANDLE parent = NULL;
    status = CreateKeyPath(parentPath, access, &parent);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ZwClose(parent);
    return OpenOneKey(path, access, true, key);
}

TARN_PAGEABLE
NTSTATUS OpenKeyPath(PCSTR path, ACCESS_MASK access, PHANDLE key)
{
    PAGED_CODE();
    return OpenOneKey(path, access, false, key);
}

TARN_PAGEABLE
NTSTATUS QueryValue(HANDLE key, PCSTR valueName, PULONG type, PVOID data, PULONG size)
{
    PAGED_CODE();
    WCHAR wideBuffer[WideNameChars];
    UNICODE_STRING wideName;
    NTSTATUS status = WidenName(valueName, wideBuffer, &wideName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // ULONG-aligned, as the system expects of information buffers.
    ULONG query[ValueQueryBytes / sizeof(ULONG)];
    auto* information = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(query);
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &wideName, KeyValuePartialInformation, information, sizeof(query), &resultLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG copied = (*size < information->DataLength) ? *size : information->DataLength;
    *type = information->Type;
    *size = copied;
    RtlCopyMemory(data, information->Data, copied);
    return STATUS_SUCCESS;
}
