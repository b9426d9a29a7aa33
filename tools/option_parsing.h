// Option values the tarnhost commands share: whole numbers, separated lists, and the
// RATE:BITS:CHANNELS form of a PCM format with its container width.
#pragma once

#include <string>
#include <vector>

#include "core/platform.h"

#include "wav_file.h"

namespace tarnhost {

// What a RATE:BITS:CHANNELS value must be, for the commands' error messages.
extern const char LayoutSyntax[];

// A whole decimal number of at most 64 bits, or false.
bool ParseInteger(const std::string& text, long long* value);

// The pieces between the separators; one piece (the text) when there is none.
std::vector<std::string> Split(const std::string& text, char separator);

// RATE:BITS:CHANNELS with RATE 8000 to 192000, BITS the container width (8, 16, 24 or 32) and
// CHANNELS 1 to 8; false for anything else.
bool ParseLayout(const std::string& text, PcmLayout* layout);

// The driver's format for the layout: every container bit valid, the default channel mask.
WAVEFORMATEXTENSIBLE FormatOf(const PcmLayout& layout);

}  // namespace tarnhost
