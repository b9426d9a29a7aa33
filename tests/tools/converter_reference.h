// What the driver's own converter makes of a whole file: the reference the tarnhost tests hold
// the program's output against.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "core/platform.h"
#include "engine/audio_format.h"
#include "engine/format_converter.h"

namespace tool_test {

// The engine's own conversion of the whole data in one call: what any chunking must reproduce.
inline std::vector<unsigned char> ConvertInOneCall(const std::vector<unsigned char>& source, ULONG fromRate,
                                                   ULONG fromBytes, ULONG fromChannels, ULONG toRate, ULONG toBytes,
                                                   ULONG toChannels, const ScalePair* gains)
{
    WAVEFORMATEXTENSIBLE from;
    WAVEFORMATEXTENSIBLE to;
    BuildExtensibleFormat(&from, fromRate, 8 * fromBytes, fromChannels, fromBytes, UseDefaultChannelMask);
    BuildExtensibleFormat(&to, toRate, 8 * toBytes, toChannels, toBytes, UseDefaultChannelMask);
    FormatConverter converter;
    EXPECT_TRUE(converter.Setup(&from, &to));
    std::vector<unsigned char> output(converter.ConvertedSize(static_cast<ULONG>(source.size()), true) + 64);
    ULONG consumed = 0;
    ULONG produced = 0;
    converter.Convert(source.data(), static_cast<ULONG>(source.size()), &consumed, gains, output.data(),
                      static_cast<ULONG>(output.size()), &produced);
    EXPECT_EQ(consumed, source.size());
    output.resize(produced);
    return output;
}

}  // namespace tool_test
