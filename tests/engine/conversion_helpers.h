// Shared pieces of the conversion tests: formats, sample packing, a literal model of the
// converter's arithmetic and a chunked feeder that carries unconsumed bytes over as the engine's
// caller does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/platform.h"
#include "engine/format_converter.h"

namespace conversion_test {

inline WAVEFORMATEXTENSIBLE Pcm(ULONG rate, ULONG containerBytes, ULONG channels)
{
    WAVEFORMATEXTENSIBLE format;
    BuildExtensibleFormat(&format, rate, 8 * containerBytes, channels, containerBytes, UseDefaultChannelMask);
    return format;
}

// Little-endian samples of a container width from plain integers (as stored: 8-bit unsigned).
inline std::vector<UCHAR> Pack(ULONG width, const std::vector<int64_t>& samples)
{
    std::vector<UCHAR> bytes;
    for (int64_t sample : samples) {
        uint32_t bits = static_cast<uint32_t>(sample);
        for (ULONG i = 0; i < width; ++i) {
            bytes.push_back(static_cast<UCHAR>(bits >> (8 * i)));
        }
    }
    return bytes;
}

// Signed sample values of a container width (8-bit stays unsigned as stored).
inline std::vector<int64_t> Unpack(ULONG width, const std::vector<UCHAR>& bytes)
{
    std::vector<int64_t> samples;
    for (size_t at = 0; at + width <= bytes.size(); at += width) {
        uint32_t bits = 0;
        for (ULONG i = 0; i < width; ++i) {
            bits |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
        }
        if (width == 1) {
            samples.push_back(bits);
        } else {
            int shift = 32 - 8 * static_cast<int>(width);
            samples.push_back(static_cast<int32_t>(bits << shift) >> shift);
        }
    }
    return samples;
}

inline std::vector<UCHAR> RandomBytes(size_t count, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::vector<UCHAR> bytes(count);
    for (auto& byte : bytes) {
        byte = static_cast<UCHAR>(generator());
    }
    return bytes;
}

// Result of one call, as the converter reports it.
struct Converted {
    std::vector<UCHAR> bytes;
    ULONG consumed = 0;
};

// One Convert call with a destination of the given size.
inline Converted ConvertOnce(FormatConverter& converter, const std::vector<UCHAR>& source, ULONG destinationBytes,
                             const ScalePair* gains = nullptr)
{
    Converted result;
    result.bytes.resize(destinationBytes);
    ULONG produced = 0;
    converter.Convert(source.data(), static_cast<ULONG>(source.size()), &result.consumed, gains, result.bytes.data(),
                      destinationBytes, &produced);
    result.bytes.resize(produced);
    return result;
}

// Feeds the source in pieces of pieceFrames source frames, carrying unconsumed bytes over to the
// next call and calling again while anything moves, as the engine's caller does.
inline std::vector<UCHAR> ConvertInPieces(FormatConverter& converter, const std::vector<UCHAR>& source,
                                          ULONG pieceFrames, const ScalePair* gains = nullptr)
{
    const ULONG sourceFrame = converter.SourceFormat()->Format.nBlockAlign;
    const ULONG destinationFrame = converter.DestinationFormat()->Format.nBlockAlign;
    std::vector<UCHAR> output;
    std::vector<UCHAR> pending;
    size_t offset = 0;
    while (offset < source.size() || !pending.empty()) {
        size_t piece = std::min<size_t>(static_cast<size_t>(pieceFrames) * sourceFrame, source.size() - offset);
        pending.insert(pending.end(), source.begin() + offset, source.begin() + offset + piece);
        offset += piece;
        for (;;) {
            std::vector<UCHAR> room(converter.ConvertedSize(static_cast<ULONG>(pending.size()), true) +
                                    destinationFrame);
            ULONG consumed = 0;
            ULONG produced = 0;
            converter.Convert(pending.data(), static_cast<ULONG>(pending.size()), &consumed, gains, room.data(),
                              static_cast<ULONG>(room.size()), &produced);
            output.insert(output.end(), room.begin(), room.begin() + produced);
            pending.erase(pending.begin(), pending.begin() + consumed);
            if (consumed == 0 && produced == 0) {
                break;
            }
        }
        if (piece == 0) {
            break;  // the source is used up and the converter holds the rest
        }
    }
    return output;
}

}  // namespace conversion_test
