// Character conversions shared by the stand-in's string and registry services.
#include "text.h"

namespace host {

char AnsiFromWide(WCHAR character)
{
    return character <= 0x7F ? static_cast<char>(character) : '?';
}

WCHAR WideFromAnsi(char character)
{
    const auto byte = static_cast<unsigned char>(character);
    return byte <= 0x7F ? static_cast<WCHAR>(byte) : u'?';
}

WCHAR UpcaseChar(WCHAR character)
{
    if (character >= u'a' && character <= u'z') {
        return static_cast<WCHAR>(character - (u'a' - u'A'));
    }
    // Latin-1 lower-case letters sit 0x20 above their capitals, except the division sign; y with
    // diaeresis has its capital in Latin Extended-A.
    if (character >= 0xE0 && character <= 0xFE && character != 0xF7) {
        return static_cast<WCHAR>(character - 0x20);
    }
    if (character == 0xFF) {
        return 0x178;
    }
    return character;
}

std::u16string Upcase(const std::u16string& text)
{
    std::u16string upper(text);
    for (auto& character : upper) {
        character = UpcaseChar(character);
    }
    return upper;
}

std::u16string Utf16FromUtf8(const std::string& text)
{
    constexpr char32_t Replacement = 0xFFFD;
    std::u16string wide;
    size_t index = 0;
    while (index < text.size()) {
        const auto lead = static_cast<unsigned char>(text[index]);
        // The lead byte gives the number of continuation bytes and the top bits of the code point.
        int extra = -1;
        char32_t code = 0;
        if (lead < 0x80) {
            extra = 0;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        }
        ++index;
        if (extra < 0 || index + extra > text.size()) {
            wide.push_back(static_cast<char16_t>(Replacement));
            continue;
        }
        bool wellFormed = true;
        for (int i = 0; i < extra; ++i) {
            const auto next = static_cast<unsigned char>(text[index + i]);
            wellFormed = wellFormed && (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!wellFormed || code > 0x10FFFF) {
            wide.push_back(static_cast<char16_t>(Replacement));
            continue;
        }
        index += extra;
        if (code >= 0x10000) {
            code -= 0x10000;
            wide.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(code));
        }
    }
    return wide;
}

std::string Utf8FromUtf16(const std::u16string& text)
{
    std::string narrow;
    for (size_t index = 0; index < text.size(); ++index) {
        char32_t code = text[index];
        const bool pairs = code >= 0xD800 && code <= 0xDBFF && index + 1 < text.size() &&
                           text[index + 1] >= 0xDC00 && text[index + 1] <= 0xDFFF;
        if (pairs) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[index + 1] - 0xDC00);
            ++index;
        }
        if (code < 0x80) {
            narrow.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            narrow.push_back(static_cast<char>(0xC0 | (code >> 6)));
            narrow.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            narrow.push_back(static_cast<char>(0xE0 | (code >> 12)));
            narrow.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            narrow.push_back(static_cast<char>(0xF0 | (code >> 18)));
            narrow.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return narrow;
}

}  // namespace host
