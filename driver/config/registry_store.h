// The registry parameter store: the one place that reads and writes the driver's settings. Reads
// look in the software key first and the service's Parameters key second; writes go to both.
// Paths and value names are ANSI inside the driver and become wide strings just before each
// system call. PASSIVE_LEVEL only.
#pragma once

#include "core/platform.h"

// The software key, consulted first.
constexpr char SoftwareKeyPath[] = "\\Registry\\Machine\\Software\\Brackwater\\Quill Tarn\\4";

constexpr size_t KeyPathBytes = 256;       // a full key path: at most 255 ANSI characters
constexpr size_t WideNameChars = 256;      // a path or value name after conversion: at most 255 characters
constexpr ULONG MaxValueDataBytes = 516;   // value data a read can return
constexpr ULONG ValueQueryBytes = 528;     // KEY_VALUE_PARTIAL_INFORMATION header (12) + data

// Reads (write = false) or writes (write = true) one value. `subkey` is null for the location's
// own key. On reading, *type receives the type found and *size is in: the room at `data`, out:
// the bytes copied. On writing, *type and *size describe the data to store. Reads return the
// first location's answer unless it is STATUS_OBJECT_NAME_NOT_FOUND; writes return the status of
// the Parameters key. A key path or name longer than the fixed buffers is refused with
// STATUS_INVALID_PARAMETER.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RegistryValue(bool write, PCSTR subkey, PCSTR valueName, PULONG type, PVOID data, PULONG size);

// Creates (or opens) the key at an absolute ANSI path, creating missing parents.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreateKeyPath(PCSTR path, ACCESS_MASK access, PHANDLE key);

// Opens the key at an absolute ANSI path.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS OpenKeyPath(PCSTR path, ACCESS_MASK access, PHANDLE key);

// Reads one value of an open key; arguments as for RegistryValue.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS QueryValue(HANDLE key, PCSTR valueName, PULONG type, PVOID data, PULONG size);
