// The writing stage of the format converter: maps the source channels of internal frames onto
// the destination channels and narrows them into the destination's containers. Kernel code for
// the timer DPC; included by the converter only.
#pragma once

#include "core/platform.h"

#include <emmintrin.h>

#include "engine/exact_divisor.h"
#include "engine/sample_codec.h"

// Source-to-destination channel maps, each with a writing loop of its own.
enum ChannelMap : UCHAR {
    MapSame,        // S -> S
    MapTwoToFour,   // front pair copied to the back pair
    MapTwoToOne,    // truncated average of the pair
    MapOneToTwo,    // the sample on both
    MapOneToAny,    // any other pair from mono: the sample on every channel
    MapAverage,     // any other pair: the truncated average of all source channels on every channel
    MapCount
};

// The channel counts of a conversion and the divisor of its averaging map (2 or more source
// channels; unused otherwise).
struct ChannelMapping {
    ULONG SourceChannels;
    ULONG DestinationChannels;
    ExactDivisor Average;
};

using WriteLoop = void (*)(const ChannelMapping& mapping, const LONG* block, ULONG frames, PUCHAR destination);

// The map that takes frames of one channel count to another.
inline ChannelMap ChannelMapOf(ULONG sourceChannels, ULONG destinationChannels)
{
    if (sourceChannels == destinationChannels) {
        return MapSame;
    }
    if (sourceChannels == 2 && destinationChannels == 4) {
        return MapTwoToFour;
    }
    if (sourceChannels == 2 && destinationChannels == 1) {
        return MapTwoToOne;
    }
    if (sourceChannels == 1) {
        return (destinationChannels == 2) ? MapOneToTwo : MapOneToAny;
    }
    return MapAverage;
}

// Narrows internal samples into consecutive containers: the whole block at once when the channel
// map leaves frames as they are. 16- and 8-bit containers go eight or sixteen samples at a time:
// an arithmetic shift leaves values that the saturating packs carry over unchanged.
template <ULONG Width>
inline void NarrowSamples(const LONG* samples, ULONG count, PUCHAR destination)
{
    ULONG done = 0;
    if constexpr (Width == 2) {
        for (; done + 8 <= count; done += 8) {
            const __m128i* in = reinterpret_cast<const __m128i*>(samples + done);
            __m128i low = _mm_srai_epi32(_mm_loadu_si128(in), 16);
            __m128i high = _mm_srai_epi32(_mm_loadu_si128(in + 1), 16);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + 2 * done), _mm_packs_epi32(low, high));
        }
    } else if constexpr (Width == 1) {
        const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80));
        for (; done + 16 <= count; done += 16) {
            const __m128i* in = reinterpret_cast<const __m128i*>(samples + done);
            __m128i words0 = _mm_packs_epi32(_mm_srai_epi32(_mm_loadu_si128(in), 24),
                                             _mm_srai_epi32(_mm_loadu_si128(in + 1), 24));
            __m128i words1 = _mm_packs_epi32(_mm_srai_epi32(_mm_loadu_si128(in + 2), 24),
                                             _mm_srai_epi32(_mm_loadu_si128(in + 3), 24));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + done),
                             _mm_xor_si128(_mm_packs_epi16(words0, words1), offset));
        }
    }
    for (; done < count; ++done) {
        StoreSample<Width>(destination + done * Width, samples[done]);
    }
}

// The writing loops, one per destination width and channel map.
struct ChannelWriting {
    // Maps the channels of each internal frame and narrows them into the destination.
    template <ULONG Width, UCHAR Map>
    static void Write(const ChannelMapping& mapping, const LONG* block, ULONG frames, PUCHAR destination)
    {
        const ULONG sourceChannels = mapping.SourceChannels;
        const ULONG destinationChannels = mapping.DestinationChannels;
        const ExactDivisor channelDivisor = mapping.Average;

        if constexpr (Map == MapSame) {
            NarrowSamples<Width>(block, frames * sourceChannels, destination);
            return;
        }
        for (ULONG frame = 0; frame < frames; ++frame) {
            if constexpr (Map == MapTwoToFour) {
                StoreSample<Width>(destination, block[0]);
                StoreSample<Width>(destination + Width, block[1]);
                StoreSample<Width>(destination + 2 * Width, block[0]);
                StoreSample<Width>(destination + 3 * Width, block[1]);
                block += 2;
                destination += 4 * Width;
            } else if constexpr (Map == MapTwoToOne) {
                StoreSample<Width>(destination, static_cast<LONG>((static_cast<LONGLONG>(block[0]) + block[1]) / 2));
                block += 2;
                destination += Width;
            } else if constexpr (Map == MapOneToTwo) {
                StoreSample<Width>(destination, block[0]);
                StoreSample<Width>(destination + Width, block[0]);
                block += 1;
                destination += 2 * Width;
            } else if constexpr (Map == MapOneToAny) {
                for (ULONG channel = 0; channel < destinationChannels; ++channel) {
                    StoreSample<Width>(destination + channel * Width, block[0]);
                }
                block += 1;
                destination += destinationChannels * Width;
            } else {
                LONGLONG sum = 0;
                for (ULONG channel = 0; channel < sourceChannels; ++channel) {
                    sum += block[channel];
                }
                LONG average = SaturateToSample(DivideTruncating(channelDivisor, sum));
                for (ULONG channel = 0; channel < destinationChannels; ++channel) {
                    StoreSample<Width>(destination + channel * Width, average);
                }
                block += sourceChannels;
                destination += destinationChannels * Width;
            }
        }
    }

    template <ULONG Width>
    static constexpr WriteLoop WritersOfWidth[MapCount] = {
        Write<Width, MapSame>,     Write<Width, MapTwoToFour>, Write<Width, MapTwoToOne>,
        Write<Width, MapOneToTwo>, Write<Width, MapOneToAny>,  Write<Width, MapAverage>,
    };

    // The loop for a destination container width (1 to 4 bytes) and channel map.
    static WriteLoop Writer(ULONG width, UCHAR map)
    {
        switch (width) {
        case 1:
            return WritersOfWidth<1>[map];
        case 2:
            return WritersOfWidth<2>[map];
        case 3:
            return WritersOfWidth<3>[map];
        default:
            return WritersOfWidth<4>[map];
        }
    }
};
