// Counted strings and the ntstrsafe copy, concatenation and length functions (the printf family
// is in string_format.cpp). Each checks the IRQL its documentation gives: the ntstrsafe functions,
// RtlFreeUnicodeString and RtlCompareUnicodeString PASSIVE_LEVEL, RtlEqualUnicodeString below
// DISPATCH_LEVEL (the upcase table is paged), RtlInit*String DISPATCH_LEVEL or below (then the
// source must be resident); RtlCompareMemory any IRQL.
#include <cstring>

#include "host/harness.h"
#include "host/internal.h"
#include "host/ntstrsafe.h"
#include "text.h"

namespace {

// The longest counted string: its Length must leave room for a terminator within a USHORT.
constexpr size_t MaxUnicodeChars = (0xFFFF / sizeof(WCHAR)) - 1;
constexpr size_t MaxAnsiChars = 0xFFFE;

template <typename CharT>
size_t TerminatedLength(const CharT* text, size_t limit)
{
    size_t length = 0;
    while (length < limit && text[length] != 0) {
        ++length;
    }
    return length;
}

// Copies with the ntstrsafe contract into a destination of cchDest characters (already validated).
template <typename CharT>
NTSTATUS CopyBounded(CharT* dest, size_t cchDest, const CharT* source)
{
    size_t index = 0;
    for (; index + 1 < cchDest && source[index] != 0; ++index) {
        dest[index] = source[index];
    }
    dest[index] = 0;
    return source[index] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

template <typename CharT>
NTSTATUS CopyChecked(CharT* dest, size_t cchDest, const CharT* source)
{
    if (dest == nullptr || cchDest == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (cchDest > NTSTRSAFE_MAX_CCH || source == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return CopyBounded(dest, cchDest, source);
}

template <typename CharT>
NTSTATUS LengthChecked(const CharT* source, size_t cchMax, size_t* cbLength)
{
    size_t length = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (source != nullptr && cchMax != 0 && cchMax <= NTSTRSAFE_MAX_CCH) {
        length = TerminatedLength(source, cchMax);
        status = length < cchMax ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (cbLength != nullptr) {
        *cbLength = NT_SUCCESS(status) ? length * sizeof(CharT) : 0;
    }
    return status;
}

}  // namespace

namespace host {

void RequireSafeStringIrql(const char* routine)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, routine,
                      "the ntstrsafe functions run at PASSIVE_LEVEL; format or copy strings before raising "
                      "IRQL, or outside the DPC");
}

}  // namespace host

// Like RtlInitUnicodeString: points at the source; Length excludes the terminator and
// MaximumLength includes it; a null source gives an empty string with a null buffer.
void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlInitUnicodeString", "it walks the source string, which must then be resident");
    const size_t length = source == nullptr ? 0 : TerminatedLength(source, MaxUnicodeChars);
    destination->Buffer = const_cast<PWSTR>(source);
    destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>(source == nullptr ? 0 : (length + 1) * sizeof(WCHAR));
}

// Like RtlInitAnsiString: as RtlInitUnicodeString for 8-bit characters.
void RtlInitAnsiString(PANSI_STRING destination, PCSTR source)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlInitAnsiString", "it walks the source string, which must then be resident");
    const size_t length = source == nullptr ? 0 : TerminatedLength(source, MaxAnsiChars);
    destination->Buffer = const_cast<PCHAR>(source);
    destination->Length = static_cast<USHORT>(length);
    destination->MaximumLength = static_cast<USHORT>(source == nullptr ? 0 : length + 1);
}

// Like RtlFreeUnicodeString: returns a buffer the system allocated from pool and zeroes the string.
void RtlFreeUnicodeString(PUNICODE_STRING unicodeString)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlFreeUnicodeString", "the buffer it frees is paged pool");
    host::LogEvent("RtlFreeUnicodeString");
    if (unicodeString->Buffer != nullptr) {
        ExFreePool(unicodeString->Buffer);
    }
    unicodeString->Buffer = nullptr;
    unicodeString->Length = 0;
    unicodeString->MaximumLength = 0;
}

// Like RtlCompareUnicodeString: compares character by character (upper-cased when asked), then by
// length; the sign of the result orders the strings.
LONG RtlCompareUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCompareUnicodeString", "it may read the pageable upcase table");
    const size_t length1 = string1->Length / sizeof(WCHAR);
    const size_t length2 = string2->Length / sizeof(WCHAR);
    const size_t common = length1 < length2 ? length1 : length2;
    for (size_t index = 0; index < common; ++index) {
        WCHAR character1 = string1->Buffer[index];
        WCHAR character2 = string2->Buffer[index];
        if (caseInSensitive) {
            character1 = host::UpcaseChar(character1);
            character2 = host::UpcaseChar(character2);
        }
        if (character1 != character2) {
            return static_cast<LONG>(character1) - static_cast<LONG>(character2);
        }
    }
    return static_cast<LONG>(length1) - static_cast<LONG>(length2);
}

// Like RtlEqualUnicodeString: equal lengths and equal characters.
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive)
{
    host::RequireIrqlAtMost(APC_LEVEL, "RtlEqualUnicodeString", "it may read the pageable upcase table");
    return string1->Length == string2->Length && RtlCompareUnicodeString(string1, string2, caseInSensitive) == 0;
}

// Like RtlCompareMemory: the number of leading bytes that match.
SIZE_T HostRtlCompareMemory(const void* a, const void* b, SIZE_T length)
{
    const auto* bytesA = static_cast<const uint8_t*>(a);
    const auto* bytesB = static_cast<const uint8_t*>(b);
    SIZE_T matching = 0;
    while (matching < length && bytesA[matching] == bytesB[matching]) {
        ++matching;
    }
    return matching;
}

// Like RtlStringCbCopyA: always terminated; truncation is STATUS_BUFFER_OVERFLOW; a cbDest of 0 or
// above NTSTRSAFE_MAX_CCH is STATUS_INVALID_PARAMETER.
NTSTATUS RtlStringCbCopyA(PSTR dest, size_t cbDest, PCSTR source)
{
    host::RequireSafeStringIrql("RtlStringCbCopyA");
    return CopyChecked(dest, cbDest, source);
}

// Like RtlStringCbCopyW: as the A form, with cbDest / 2 wide characters of room.
NTSTATUS RtlStringCbCopyW(PWSTR dest, size_t cbDest, PCWSTR source)
{
    host::RequireSafeStringIrql("RtlStringCbCopyW");
    return CopyChecked(dest, cbDest / sizeof(WCHAR), source);
}

// Like RtlStringCbCatA: appends with the copy's contract; a destination not terminated within cbDest
// is STATUS_INVALID_PARAMETER and is left as it is.
NTSTATUS RtlStringCbCatA(PSTR dest, size_t cbDest, PCSTR source)
{
    host::RequireSafeStringIrql("RtlStringCbCatA");
    size_t existing = 0;
    NTSTATUS status = LengthChecked<char>(dest, cbDest, &existing);
    if (!NT_SUCCESS(status) || source == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopyBounded(dest + existing, cbDest - existing, source);
}

// Like RtlStringCbLengthA: the length in bytes without the terminator; no terminator within cbMax
// (or cbMax 0 or above NTSTRSAFE_MAX_CCH) is STATUS_INVALID_PARAMETER with a length of 0.
NTSTATUS RtlStringCbLengthA(PCSTR source, size_t cbMax, size_t* length)
{
    host::RequireSafeStringIrql("RtlStringCbLengthA");
    return LengthChecked(source, cbMax, length);
}

// Like RtlStringCbLengthW: as the A form, in bytes, over cbMax / 2 wide characters.
NTSTATUS RtlStringCbLengthW(PCWSTR source, size_t cbMax, size_t* length)
{
    host::RequireSafeStringIrql("RtlStringCbLengthW");
    return LengthChecked(source, cbMax / sizeof(WCHAR), length);
}
