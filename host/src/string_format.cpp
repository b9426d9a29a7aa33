// The ntstrsafe printf functions: one engine for ANSI and wide output with the Windows kernel's
// conversions. In the A functions %s is an ANSI string and %S a wide one; in the W functions %s is
// wide and %S ANSI; %hs and %ls (or %ws) name the width in both, and %c/%C follow the same rule.
// %Z takes an ANSI_STRING* and %wZ a UNICODE_STRING*. Integer sizes are Windows sizes: %ld is 32 bits
// (LONG), %lld and %I64d 64, %Id pointer-sized. %p prints 16 upper-case hex digits. A null string
// pointer prints "(null)". Characters change width through the stand-in's ANSI code page (7-bit
// ASCII; anything else becomes '?'). Conversions the kernel's printf does not offer to drivers
// (floating point, %n) or does not know make the call fail with STATUS_INVALID_PARAMETER and an
// empty destination, so that a bad format shows up in a test instead of as garbage.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

#include "host/internal.h"
#include "host/ntstrsafe.h"
#include "text.h"

namespace {

// The output side of the ntstrsafe contract: keeps at most cchDest - 1 characters and a terminator.
template <typename CharT>
class BoundedOutput {
public:
    BoundedOutput(CharT* dest, size_t cchDest) : dest_(dest), capacity_(cchDest - 1) {}

    void Put(CharT character)
    {
        if (count_ < capacity_) {
            dest_[count_++] = character;
        } else {
            truncated_ = true;
        }
    }

    void Repeat(CharT character, size_t times)
    {
        const size_t fitting = times < Room() ? times : Room();
        for (size_t index = 0; index < fitting; ++index) {
            dest_[count_++] = character;
        }
        truncated_ = truncated_ || fitting < times;
    }

    size_t Room() const { return capacity_ - count_; }

    NTSTATUS Finish()
    {
        dest_[count_] = 0;
        return truncated_ ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

private:
    CharT* dest_;
    size_t capacity_;
    size_t count_ = 0;
    bool truncated_ = false;
};

template <typename To, typename From>
To ConvertChar(From character)
{
    if constexpr (sizeof(To) == sizeof(From)) {
        return static_cast<To>(character);
    } else if constexpr (sizeof(To) == 1) {
        return host::AnsiFromWide(static_cast<WCHAR>(character));
    } else {
        return host::WideFromAnsi(static_cast<char>(character));
    }
}

// The variable arguments, copied so that helpers can consume them through a reference.
class Arguments {
public:
    explicit Arguments(va_list source) { va_copy(list_, source); }
    ~Arguments() { va_end(list_); }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    template <typename T>
    T Next()
    {
        return va_arg(list_, T);
    }

private:
    va_list list_;
};

enum class ArgumentSize { Default, Char, Short, Long, LongLong, Pointer, Wide };

struct ConversionSpec {
    bool leftAlign = false;
    bool zeroPad = false;
    std::string flags;  // as written, for the C library's integer conversions
    size_t width = 0;
    long long precision = -1;  // -1 = none
    ArgumentSize size = ArgumentSize::Default;
    char conversion = 0;
};

constexpr size_t WidthLimit = static_cast<size_t>(INT_MAX);

// Parses the part of a conversion after '%'; false when it is malformed or unsupported.
template <typename CharT>
bool ParseSpec(const CharT*& cursor, Arguments& arguments, ConversionSpec* spec)
{
    for (;; ++cursor) {
        const CharT flag = *cursor;
        if (flag == '-') {
            spec->leftAlign = true;
        } else if (flag == '0') {
            spec->zeroPad = true;
        } else if (flag != '+' && flag != ' ' && flag != '#') {
            break;
        }
        spec->flags.push_back(static_cast<char>(flag));
    }
    if (*cursor == '*') {
        const long long width = arguments.Next<int>();
        spec->leftAlign = spec->leftAlign || width < 0;
        spec->width = static_cast<size_t>(width < 0 ? -width : width);
        ++cursor;
    } else {
        for (; *cursor >= '0' && *cursor <= '9'; ++cursor) {
            spec->width = spec->width * 10 + static_cast<size_t>(*cursor - '0');
            spec->width = spec->width < WidthLimit ? spec->width : WidthLimit;
        }
    }
    if (*cursor == '.') {
        ++cursor;
        if (*cursor == '*') {
            const int precision = arguments.Next<int>();
            spec->precision = precision < 0 ? -1 : precision;
            ++cursor;
        } else {
            spec->precision = 0;
            for (; *cursor >= '0' && *cursor <= '9'; ++cursor) {
                spec->precision = spec->precision * 10 + (*cursor - '0');
                spec->precision = spec->precision < INT_MAX ? spec->precision : INT_MAX;
            }
        }
    }
    if (cursor[0] == 'I' && cursor[1] == '6' && cursor[2] == '4') {
        spec->size = ArgumentSize::LongLong;
        cursor += 3;
    } else if (cursor[0] == 'I' && cursor[1] == '3' && cursor[2] == '2') {
        spec->size = ArgumentSize::Long;
        cursor += 3;
    } else if (cursor[0] == 'I') {
        spec->size = ArgumentSize::Pointer;
        cursor += 1;
    } else if (cursor[0] == 'h') {
        spec->size = cursor[1] == 'h' ? ArgumentSize::Char : ArgumentSize::Short;
        cursor += cursor[1] == 'h' ? 2 : 1;
    } else if (cursor[0] == 'l') {
        spec->size = cursor[1] == 'l' ? ArgumentSize::LongLong : ArgumentSize::Long;
        cursor += cursor[1] == 'l' ? 2 : 1;
    } else if (cursor[0] == 'w') {
        spec->size = ArgumentSize::Wide;
        cursor += 1;
    }
    const CharT conversion = *cursor;
    if (conversion == 0 || conversion > 0x7F) {
        return false;
    }
    spec->conversion = static_cast<char>(conversion);
    ++cursor;
    return true;
}

template <typename CharT>
void PadTo(BoundedOutput<CharT>& out, const ConversionSpec& spec, size_t length, bool before)
{
    if (spec.width > length && spec.leftAlign != before) {
        // The kernel's printf pads strings and characters with zeros too when asked to.
        out.Repeat(static_cast<CharT>(spec.zeroPad && !spec.leftAlign ? '0' : ' '), spec.width - length);
    }
}

// Writes at most `limit` characters of `text` (fewer at its terminator), converted to CharT.
template <typename CharT, typename SourceT>
void PutText(BoundedOutput<CharT>& out, const ConversionSpec& spec, const SourceT* text, size_t limit)
{
    size_t length = 0;
    while (length < limit && text[length] != 0) {
        ++length;
    }
    PadTo(out, spec, length, true);
    for (size_t index = 0; index < length; ++index) {
        out.Put(ConvertChar<CharT>(text[index]));
    }
    PadTo(out, spec, length, false);
}

template <typename CharT>
void PutNarrowText(BoundedOutput<CharT>& out, const ConversionSpec& spec, const std::string& text)
{
    PutText(out, spec, text.c_str(), text.size());
}

// Whether a %s or %c conversion takes a wide argument in a function writing CharT.
template <typename CharT>
bool TakesWideArgument(const ConversionSpec& spec)
{
    if (spec.size == ArgumentSize::Short) {
        return false;
    }
    if (spec.size == ArgumentSize::Long || spec.size == ArgumentSize::Wide) {
        return true;
    }
    const bool upperCase = spec.conversion == 'S' || spec.conversion == 'C';
    return (sizeof(CharT) == sizeof(WCHAR)) != upperCase;
}

template <typename CharT>
void PutString(BoundedOutput<CharT>& out, const ConversionSpec& spec, Arguments& arguments)
{
    const size_t limit = spec.precision < 0 ? SIZE_MAX : static_cast<size_t>(spec.precision);
    const void* text = arguments.Next<const void*>();
    if (text == nullptr) {
        PutText(out, spec, "(null)", limit);
    } else if (TakesWideArgument<CharT>(spec)) {
        PutText(out, spec, static_cast<const WCHAR*>(text), limit);
    } else {
        PutText(out, spec, static_cast<const char*>(text), limit);
    }
}

// %Z and %wZ: a counted string, which need not be terminated.
template <typename CharT>
void PutCountedString(BoundedOutput<CharT>& out, const ConversionSpec& spec, Arguments& arguments)
{
    size_t limit = spec.precision < 0 ? SIZE_MAX : static_cast<size_t>(spec.precision);
    const void* counted = arguments.Next<const void*>();
    if (spec.size == ArgumentSize::Wide || spec.size == ArgumentSize::Long) {
        const auto* string = static_cast<PCUNICODE_STRING>(counted);
        if (string != nullptr && string->Buffer != nullptr) {
            limit = std::min<size_t>(limit, string->Length / sizeof(WCHAR));
            PutText(out, spec, string->Buffer, limit);
            return;
        }
    } else {
        const auto* string = static_cast<const ANSI_STRING*>(counted);
        if (string != nullptr && string->Buffer != nullptr) {
            limit = std::min<size_t>(limit, string->Length);
            PutText(out, spec, string->Buffer, limit);
            return;
        }
    }
    PutText(out, spec, "(null)", limit);
}

template <typename CharT>
void PutChar(BoundedOutput<CharT>& out, const ConversionSpec& spec, Arguments& arguments)
{
    const int value = arguments.Next<int>();
    PadTo(out, spec, 1, true);
    if (TakesWideArgument<CharT>(spec)) {
        out.Put(ConvertChar<CharT>(static_cast<WCHAR>(value)));
    } else {
        out.Put(ConvertChar<CharT>(static_cast<char>(value)));
    }
    PadTo(out, spec, 1, false);
}

// Integers through the C library, with the argument read at its Windows size and printed as 64-bit.
template <typename CharT>
bool PutInteger(BoundedOutput<CharT>& out, const ConversionSpec& spec, Arguments& arguments)
{
    const bool isSigned = spec.conversion == 'd' || spec.conversion == 'i';
    unsigned long long bits = 0;
    if (spec.size == ArgumentSize::Wide) {
        return false;
    }
    if (spec.size == ArgumentSize::LongLong || spec.size == ArgumentSize::Pointer) {
        bits = arguments.Next<unsigned long long>();
    } else {
        // Narrower arguments arrive promoted to int; signed ones are sign-extended to 64 bits.
        const unsigned int word = arguments.Next<unsigned int>();
        if (spec.size == ArgumentSize::Short) {
            bits = isSigned ? static_cast<unsigned long long>(static_cast<short>(word))
                            : static_cast<unsigned short>(word);
        } else if (spec.size == ArgumentSize::Char) {
            bits = isSigned ? static_cast<unsigned long long>(static_cast<signed char>(word))
                            : static_cast<unsigned char>(word);
        } else {
            bits = isSigned ? static_cast<unsigned long long>(static_cast<int>(word)) : word;
        }
    }
    // A precision past the room left cannot change what fits; bounding it bounds the work.
    long long precision = spec.precision;
    const long long precisionLimit = static_cast<long long>(std::min<size_t>(out.Room(), INT_MAX - 64)) + 32;
    precision = precision > precisionLimit ? precisionLimit : precision;
    std::string cSpec = "%" + spec.flags;
    if (precision >= 0) {
        cSpec += "." + std::to_string(precision);
    }
    cSpec += "ll";
    cSpec.push_back(spec.conversion);
    const int length = isSigned ? std::snprintf(nullptr, 0, cSpec.c_str(), static_cast<long long>(bits))
                                : std::snprintf(nullptr, 0, cSpec.c_str(), bits);
    std::string body(static_cast<size_t>(length) + 1, '\0');
    if (isSigned) {
        std::snprintf(&body[0], body.size(), cSpec.c_str(), static_cast<long long>(bits));
    } else {
        std::snprintf(&body[0], body.size(), cSpec.c_str(), bits);
    }
    body.pop_back();
    // Width is applied here rather than by the C library, so that a huge width costs nothing.
    if (spec.zeroPad && !spec.leftAlign && spec.precision < 0 && spec.width > body.size()) {
        size_t prefix = (!body.empty() && (body[0] == '-' || body[0] == '+' || body[0] == ' ')) ? 1 : 0;
        if (body.size() >= prefix + 2 && body[prefix] == '0' && (body[prefix + 1] == 'x' || body[prefix + 1] == 'X')) {
            prefix += 2;
        }
        for (size_t index = 0; index < prefix; ++index) {
            out.Put(static_cast<CharT>(body[index]));
        }
        out.Repeat(static_cast<CharT>('0'), spec.width - body.size());
        for (size_t index = prefix; index < body.size(); ++index) {
            out.Put(static_cast<CharT>(body[index]));
        }
        return true;
    }
    ConversionSpec spacePadded = spec;
    spacePadded.zeroPad = false;
    PutNarrowText(out, spacePadded, body);
    return true;
}

template <typename CharT>
void PutPointer(BoundedOutput<CharT>& out, const ConversionSpec& spec, Arguments& arguments)
{
    char digits[32];
    std::snprintf(digits, sizeof(digits), "%016llX", static_cast<unsigned long long>(
                                                          reinterpret_cast<uintptr_t>(arguments.Next<const void*>())));
    ConversionSpec spacePadded = spec;
    spacePadded.zeroPad = false;
    PutNarrowText(out, spacePadded, digits);
}

// Formats into a destination already validated (cchDest in 1..NTSTRSAFE_MAX_CCH).
template <typename CharT>
NTSTATUS FormatBounded(CharT* dest, size_t cchDest, const CharT* format, va_list list)
{
    BoundedOutput<CharT> out(dest, cchDest);
    Arguments arguments(list);
    const CharT* cursor = format;
    while (*cursor != 0) {
        if (*cursor != '%') {
            out.Put(*cursor++);
            continue;
        }
        ++cursor;
        ConversionSpec spec;
        bool understood = ParseSpec(cursor, arguments, &spec);
        switch (understood ? spec.conversion : 0) {
        case '%':
            out.Put(static_cast<CharT>('%'));
            break;
        case 's':
        case 'S':
            PutString(out, spec, arguments);
            break;
        case 'Z':
            PutCountedString(out, spec, arguments);
            break;
        case 'c':
        case 'C':
            PutChar(out, spec, arguments);
            break;
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            understood = PutInteger(out, spec, arguments);
            break;
        case 'p':
            PutPointer(out, spec, arguments);
            break;
        default:
            understood = false;
            break;
        }
        if (!understood) {
            dest[0] = 0;
            return STATUS_INVALID_PARAMETER;
        }
    }
    return out.Finish();
}

// The ntstrsafe checks on the destination before any formatting.
template <typename CharT>
NTSTATUS FormatChecked(CharT* dest, size_t cchDest, const CharT* format, va_list list)
{
    if (dest == nullptr || cchDest == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (cchDest > NTSTRSAFE_MAX_CCH || format == nullptr) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return FormatBounded(dest, cchDest, format, list);
}

}  // namespace

// Like RtlStringCbVPrintfA: cbDest counts bytes; the result is always terminated; truncation is
// STATUS_BUFFER_OVERFLOW; a cbDest of 0 or above NTSTRSAFE_MAX_CCH is STATUS_INVALID_PARAMETER.
NTSTATUS RtlStringCbVPrintfA(PSTR dest, size_t cbDest, PCSTR format, va_list args)
{
    host::RequireSafeStringIrql("RtlStringCbVPrintfA");
    return FormatChecked(dest, cbDest, format, args);
}

// Like RtlStringCbVPrintfW: as the A form, with cbDest / 2 wide characters of room.
NTSTATUS RtlStringCbVPrintfW(PWSTR dest, size_t cbDest, PCWSTR format, va_list args)
{
    host::RequireSafeStringIrql("RtlStringCbVPrintfW");
    return FormatChecked(dest, cbDest / sizeof(WCHAR), format, args);
}

// Like RtlStringCbPrintfA (see RtlStringCbVPrintfA).
NTSTATUS RtlStringCbPrintfA(PSTR dest, size_t cbDest, PCSTR format, ...)
{
    host::RequireSafeStringIrql("RtlStringCbPrintfA");
    va_list args;
    va_start(args, format);
    const NTSTATUS status = FormatChecked(dest, cbDest, format, args);
    va_end(args);
    return status;
}

// Like RtlStringCbPrintfW (see RtlStringCbVPrintfW).
NTSTATUS RtlStringCbPrintfW(PWSTR dest, size_t cbDest, PCWSTR format, ...)
{
    host::RequireSafeStringIrql("RtlStringCbPrintfW");
    va_list args;
    va_start(args, format);
    const NTSTATUS status = FormatChecked(dest, cbDest / sizeof(WCHAR), format, args);
    va_end(args);
    return status;
}

// Like RtlStringCchPrintfA: as RtlStringCbPrintfA with the room counted in characters.
NTSTATUS RtlStringCchPrintfA(PSTR dest, size_t cchDest, PCSTR format, ...)
{
    host::RequireSafeStringIrql("RtlStringCchPrintfA");
    va_list args;
    va_start(args, format);
    const NTSTATUS status = FormatChecked(dest, cchDest, format, args);
    va_end(args);
    return status;
}

// Like RtlStringCchPrintfW: as RtlStringCbPrintfW with the room counted in characters.
NTSTATUS RtlStringCchPrintfW(PWSTR dest, size_t cchDest, PCWSTR format, ...)
{
    host::RequireSafeStringIrql("RtlStringCchPrintfW");
    va_list args;
    va_start(args, format);
    const NTSTATUS status = FormatChecked(dest, cchDest, format, args);
    va_end(args);
    return status;
}
