// Character conversions shared by the stand-in's string and registry services: the ANSI code page,
// upper-casing for case-insensitive names, and UTF-8 for the harness's std::string arguments.
#pragma once

#include <string>

#include "host/ntdef.h"

namespace host {

// The stand-in's ANSI code page is 7-bit ASCII: a character outside it converts to '?' in either
// direction, as Windows substitutes its default character for what a code page cannot hold.
char AnsiFromWide(WCHAR character);
WCHAR WideFromAnsi(char character);

// Like RtlUpcaseUnicodeChar for ASCII and Latin-1; other characters are left as they are.
WCHAR UpcaseChar(WCHAR character);
std::u16string Upcase(const std::u16string& text);

// UTF-8 and UTF-16 for harness arguments. Unpaired surrogates survive the round trip (encoded as
// three-byte sequences), so any registry name can be named from a test.
std::u16string Utf16FromUtf8(const std::string& text);
std::string Utf8FromUtf16(const std::u16string& text);

}  // namespace host
