// Option values shared by the tarnhost commands.
#include "option_parsing.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "engine/audio_format.h"

namespace tarnhost {

const char LayoutSyntax[] = "RATE:BITS:CHANNELS with RATE 8000 to 192000, BITS 8, 16, 24 or 32 and CHANNELS 1 to 8";

bool ParseInteger(const std::string& text, long long* value)
{
    if (text.empty() || text.size() > 20) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    *value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size() && (std::isdigit(static_cast<unsigned char>(text[0])) ||
                                                                 (text.size() > 1 && text[0] == '-'));
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

bool ParseLayout(const std::string& text, PcmLayout* layout)
{
    std::vector<std::string> parts = Split(text, ':');
    long long rate = 0;
    long long bits = 0;
    long long channels = 0;
    if (parts.size() != 3 || !ParseInteger(parts[0], &rate) || !ParseInteger(parts[1], &bits) ||
        !ParseInteger(parts[2], &channels) || rate < MinSampleRate || rate > MaxSampleRate ||
        (bits != 8 && bits != 16 && bits != 24 && bits != 32) || channels < MinChannels || channels > MaxChannels) {
        return false;
    }
    layout->rate = static_cast<unsigned>(rate);
    layout->containerBytes = static_cast<unsigned>(bits / 8);
    layout->channels = static_cast<unsigned>(channels);
    return true;
}

WAVEFORMATEXTENSIBLE FormatOf(const PcmLayout& layout)
{
    WAVEFORMATEXTENSIBLE format;
    BuildExtensibleFormat(&format, layout.rate, 8 * layout.containerBytes, layout.channels, layout.containerBytes,
                          UseDefaultChannelMask);
    return format;
}

}  // namespace tarnhost
