// FormatConverter: the per-stream sample rate, channel and width conversion of the engine.
//
// Convert runs in three stages over blocks of internal frames kept on the stack: a reading loop
// (specialised by source container width and channel layout, interpolating or picking whole
// frames) widens and resamples, the gain stage scales in place, and a writing loop (specialised
// by destination width and channel map) maps channels and narrows. Every division by the
// destination rate, channel count or gain denominator is an exact multiply and shift.
#include "core/platform.h"

#include "engine/format_converter.h"
#include "engine/sample_codec.h"

namespace {

// Internal samples handed from stage to stage: 1 KiB of stack, 128 stereo or 32 8-channel frames.
constexpr ULONG BlockSamples = 256;

// Source channel layouts with a reading loop of their own; LayoutAny takes the count at run time.
enum SourceLayout : UCHAR { LayoutMono, LayoutStereo, LayoutAny, LayoutCount };

// Source-to-destination channel maps, each with a writing loop of its own.
enum ChannelMap : UCHAR {
    MapSameMono,    // 1 -> 1
    MapSameStereo,  // 2 -> 2
    MapSameAny,     // S -> S
    MapTwoToFour,   // front pair copied to the back pair
    MapTwoToOne,    // truncated average of the pair
    MapOneToTwo,    // the sample on both
    MapOneToAny,    // any other pair from mono: the sample on every channel
    MapAverage,     // any other pair: the truncated average of all source channels on every channel
    MapCount
};

struct SourceCursor {
    const UCHAR* Position;
    ULONG Left;
};

using ReadLoop = ULONG (*)(FormatConverter& converter, SourceCursor& source, LONG* block, ULONG maxFrames);
using WriteLoop = void (*)(const FormatConverter& converter, const LONG* block, ULONG frames, PUCHAR destination);

SourceLayout LayoutOf(ULONG channels)
{
    return (channels == 1) ? LayoutMono : (channels == 2) ? LayoutStereo : LayoutAny;
}

ChannelMap MapOf(ULONG sourceChannels, ULONG destinationChannels)
{
    if (sourceChannels == destinationChannels) {
        return (sourceChannels == 1) ? MapSameMono : (sourceChannels == 2) ? MapSameStereo : MapSameAny;
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

// Scales each source channel of a block in place by its prepared gain.
void ApplyGains(LONG* block, ULONG frames, ULONG channels, const ChannelGain* gains)
{
    for (ULONG channel = 0; channel < channels; ++channel) {
        const ChannelGain gain = gains[channel];
        if (gain.Type == ChannelGain::Unity) {
            continue;
        }
        LONG* sample = block + channel;
        for (ULONG frame = 0; frame < frames; ++frame, sample += channels) {
            *sample = (gain.Type == ChannelGain::Silence) ? 0 : ApplyChannelGain(gain, *sample);
        }
    }
}

}  // namespace

// The specialised loops; a friend of FormatConverter, so they keep its state in locals while they
// run and store it back once per block.
struct ConverterKernels {
    // Reading for a whole-ratio conversion (source rate k times the destination rate, k >= 1):
    // every k-th source frame, unfiltered.
    template <ULONG Width, ULONG FixedChannels>
    static ULONG ReadEveryKth(FormatConverter& converter, SourceCursor& source, LONG* block, ULONG maxFrames)
    {
        const ULONG channels = FixedChannels != 0 ? FixedChannels : converter.Source.Format.nChannels;
        const ULONG blockAlign = converter.Source.Format.nBlockAlign;
        const ULONG sourceRate = converter.Source.Format.nSamplesPerSec;
        const ExactDivisor rateDivisor = converter.RateDivisor;
        const ULONG destinationRate = rateDivisor.Divisor;

        const UCHAR* position = source.Position;
        ULONG left = source.Left;
        ULONG phase = converter.Phase;
        LONG skip = converter.Skip;
        bool haveA = converter.HaveA != FALSE;
        LONG frameA[MaxChannels];
        for (ULONG channel = 0; channel < channels; ++channel) {
            frameA[channel] = converter.FrameA.Samples[channel];
        }

        ULONG frames = 0;
        while (frames < maxFrames) {
            if (skip > 0) {
                ULONG advance = (static_cast<ULONG>(skip) < left) ? static_cast<ULONG>(skip) : left;
                position += advance;
                left -= advance;
                skip -= static_cast<LONG>(advance);
            }
            if (!haveA) {
                if (left < blockAlign) {
                    break;
                }
                for (ULONG channel = 0; channel < channels; ++channel) {
                    frameA[channel] = LoadSample<Width>(position + channel * Width);
                }
                position += blockAlign;
                left -= blockAlign;
                skip -= static_cast<LONG>(blockAlign);
                haveA = true;
            }

            for (ULONG channel = 0; channel < channels; ++channel) {
                block[channel] = frameA[channel];
            }
            block += channels;
            ++frames;

            phase += sourceRate;
            if (phase >= destinationRate) {
                ULONG step = static_cast<ULONG>(DivideMagnitude(rateDivisor, phase));
                phase -= step * destinationRate;
                converter.HaveB = FALSE;
                haveA = false;
                skip += static_cast<LONG>(step * blockAlign);
            }
        }

        source.Position = position;
        source.Left = left;
        converter.Phase = phase;
        converter.Skip = skip;
        converter.HaveA = haveA ? TRUE : FALSE;
        for (ULONG channel = 0; channel < channels; ++channel) {
            converter.FrameA.Samples[channel] = frameA[channel];
        }
        return frames;
    }

    // Reading with linear interpolation: each output is
    // (A * rate + (B - A) * phase) / rate, truncated, computed as A * (rate - phase) + B * phase,
    // which is the same 64-bit value.
    template <ULONG Width, ULONG FixedChannels>
    static ULONG ReadInterpolated(FormatConverter& converter, SourceCursor& source, LONG* block, ULONG maxFrames)
    {
        const ULONG channels = FixedChannels != 0 ? FixedChannels : converter.Source.Format.nChannels;
        const ULONG blockAlign = converter.Source.Format.nBlockAlign;
        const ULONG sourceRate = converter.Source.Format.nSamplesPerSec;
        const ExactDivisor rateDivisor = converter.RateDivisor;
        const ULONG destinationRate = rateDivisor.Divisor;

        const UCHAR* position = source.Position;
        ULONG left = source.Left;
        ULONG phase = converter.Phase;
        LONG skip = converter.Skip;
        bool haveA = converter.HaveA != FALSE;
        bool haveB = converter.HaveB != FALSE;
        LONG frameA[MaxChannels];
        LONG frameB[MaxChannels];
        for (ULONG channel = 0; channel < channels; ++channel) {
            frameA[channel] = converter.FrameA.Samples[channel];
            frameB[channel] = converter.FrameB.Samples[channel];
        }

        ULONG frames = 0;
        while (frames < maxFrames) {
            if (skip > 0) {
                ULONG advance = (static_cast<ULONG>(skip) < left) ? static_cast<ULONG>(skip) : left;
                position += advance;
                left -= advance;
                skip -= static_cast<LONG>(advance);
            }
            if (!haveA) {
                if (left < blockAlign) {
                    break;
                }
                for (ULONG channel = 0; channel < channels; ++channel) {
                    frameA[channel] = LoadSample<Width>(position + channel * Width);
                }
                position += blockAlign;
                left -= blockAlign;
                skip -= static_cast<LONG>(blockAlign);
                haveA = true;
            }
            if (!haveB) {
                if (left < blockAlign) {
                    break;
                }
                for (ULONG channel = 0; channel < channels; ++channel) {
                    frameB[channel] = LoadSample<Width>(position + channel * Width);
                }
                position += blockAlign;
                left -= blockAlign;
                skip -= static_cast<LONG>(blockAlign);
                haveB = true;
            }

            const LONGLONG weightA = static_cast<LONGLONG>(destinationRate) - phase;
            const LONGLONG weightB = phase;
            for (ULONG channel = 0; channel < channels; ++channel) {
                LONGLONG mixed = frameA[channel] * weightA + frameB[channel] * weightB;
                block[channel] = static_cast<LONG>(DivideTruncating(rateDivisor, mixed));
            }
            block += channels;
            ++frames;

            phase += sourceRate;
            if (phase >= destinationRate) {
                // Upsampling always steps by one frame; only downsampling needs the division.
                ULONG step = (phase < 2 * destinationRate)
                                 ? 1
                                 : static_cast<ULONG>(DivideMagnitude(rateDivisor, phase));
                phase -= step * destinationRate;
                haveB = false;
                if (step == 1) {
                    for (ULONG channel = 0; channel < channels; ++channel) {
                        frameA[channel] = frameB[channel];
                    }
                } else {
                    haveA = false;
                }
                skip += static_cast<LONG>(step * blockAlign);
            }
        }

        source.Position = position;
        source.Left = left;
        converter.Phase = phase;
        converter.Skip = skip;
        converter.HaveA = haveA ? TRUE : FALSE;
        converter.HaveB = haveB ? TRUE : FALSE;
        for (ULONG channel = 0; channel < channels; ++channel) {
            converter.FrameA.Samples[channel] = frameA[channel];
            converter.FrameB.Samples[channel] = frameB[channel];
        }
        return frames;
    }

    // Maps the channels of each internal frame and narrows them into the destination.
    template <ULONG Width, UCHAR Map>
    static void Write(const FormatConverter& converter, const LONG* block, ULONG frames, PUCHAR destination)
    {
        const ULONG sourceChannels = converter.Source.Format.nChannels;
        const ULONG destinationChannels = converter.Destination.Format.nChannels;
        const ExactDivisor channelDivisor = converter.ChannelDivisor;

        for (ULONG frame = 0; frame < frames; ++frame) {
            if constexpr (Map == MapSameMono) {
                StoreSample<Width>(destination, block[0]);
                block += 1;
                destination += Width;
            } else if constexpr (Map == MapSameStereo) {
                StoreSample<Width>(destination, block[0]);
                StoreSample<Width>(destination + Width, block[1]);
                block += 2;
                destination += 2 * Width;
            } else if constexpr (Map == MapSameAny) {
                for (ULONG channel = 0; channel < sourceChannels; ++channel) {
                    StoreSample<Width>(destination + channel * Width, block[channel]);
                }
                block += sourceChannels;
                destination += sourceChannels * Width;
            } else if constexpr (Map == MapTwoToFour) {
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

    // Indexed [whole ratio][source width - 1][SourceLayout].
    static constexpr ReadLoop Readers[2][4][LayoutCount] = {
        {
            {ReadInterpolated<1, 1>, ReadInterpolated<1, 2>, ReadInterpolated<1, 0>},
            {ReadInterpolated<2, 1>, ReadInterpolated<2, 2>, ReadInterpolated<2, 0>},
            {ReadInterpolated<3, 1>, ReadInterpolated<3, 2>, ReadInterpolated<3, 0>},
            {ReadInterpolated<4, 1>, ReadInterpolated<4, 2>, ReadInterpolated<4, 0>},
        },
        {
            {ReadEveryKth<1, 1>, ReadEveryKth<1, 2>, ReadEveryKth<1, 0>},
            {ReadEveryKth<2, 1>, ReadEveryKth<2, 2>, ReadEveryKth<2, 0>},
            {ReadEveryKth<3, 1>, ReadEveryKth<3, 2>, ReadEveryKth<3, 0>},
            {ReadEveryKth<4, 1>, ReadEveryKth<4, 2>, ReadEveryKth<4, 0>},
        },
    };

    template <ULONG Width>
    static constexpr WriteLoop WritersOfWidth[MapCount] = {
        Write<Width, MapSameMono>, Write<Width, MapSameStereo>, Write<Width, MapSameAny>,
        Write<Width, MapTwoToFour>, Write<Width, MapTwoToOne>, Write<Width, MapOneToTwo>,
        Write<Width, MapOneToAny>, Write<Width, MapAverage>,
    };

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

FormatConverter::FormatConverter()
    : Source{}, Destination{}, Internal{}, FrameA{}, FrameB{}, Ready(FALSE), Phase(0), WholeRatio(FALSE),
      PassThrough(FALSE), HaveA(FALSE), HaveB(FALSE), Skip(0), RateDivisor{}, ChannelDivisor{}, ReaderKind(0),
      WriterKind(0)
{
}

bool FormatConverter::Setup(const WAVEFORMATEXTENSIBLE* source, const WAVEFORMATEXTENSIBLE* destination)
{
    if (!IsConvertibleFormat(source) || !IsConvertibleFormat(destination)) {
        return false;
    }

    Source = *source;
    Destination = *destination;
    const ULONG sourceRate = Source.Format.nSamplesPerSec;
    const ULONG destinationRate = Destination.Format.nSamplesPerSec;
    const ULONG sourceChannels = Source.Format.nChannels;

    BuildExtensibleFormat(&Internal, sourceRate, 32, sourceChannels, 0, UseDefaultChannelMask);
    FrameA.ContainerBytes = ContainerBytes(&Source);
    FrameB.ContainerBytes = FrameA.ContainerBytes;
    HaveA = FALSE;
    HaveB = FALSE;

    if (sourceRate == destinationRate && Source.Format.wBitsPerSample == Destination.Format.wBitsPerSample &&
        sourceChannels == Destination.Format.nChannels) {
        PassThrough = TRUE;
        WholeRatio = FALSE;
    } else {
        PassThrough = FALSE;
        WholeRatio = (sourceRate % destinationRate == 0) ? TRUE : FALSE;
    }

    PrepareExactDivisor(&RateDivisor, destinationRate);
    if (sourceChannels >= 2) {
        PrepareExactDivisor(&ChannelDivisor, sourceChannels);
    }
    ReaderKind = LayoutOf(sourceChannels);
    WriterKind = MapOf(sourceChannels, Destination.Format.nChannels);

    Ready = TRUE;
    return true;
}

void FormatConverter::Reset()
{
    Ready = FALSE;
    Source.Format.wFormatTag = 0;
    Destination.Format.wFormatTag = 0;
    Phase = 0;
    WholeRatio = FALSE;
    PassThrough = FALSE;
    HaveA = FALSE;
    HaveB = FALSE;
    Skip = 0;
}

ULONG FormatConverter::ConvertedSize(ULONG bytes, bool towardDestination) const
{
    if (!Ready) {
        return 0;
    }
    const WAVEFORMATEX& from = towardDestination ? Source.Format : Destination.Format;
    const WAVEFORMATEX& to = towardDestination ? Destination.Format : Source.Format;

    ULONGLONG frames = bytes / from.nBlockAlign;
    ULONGLONG convertedFrames = (frames * to.nSamplesPerSec + from.nSamplesPerSec - 1) / from.nSamplesPerSec;
    ULONGLONG convertedBytes = convertedFrames * to.nBlockAlign;
    if (convertedBytes > 0xFFFFFFFFULL) {
        convertedBytes = 0xFFFFFFFFULL - 0xFFFFFFFFULL % to.nBlockAlign;
    }
    return static_cast<ULONG>(convertedBytes);
}

bool FormatConverter::Convert(const UCHAR* source, ULONG sourceBytes, PULONG consumed, const ScalePair* gains,
                              PUCHAR destination, ULONG destinationBytes, PULONG produced)
{
    *consumed = 0;
    *produced = 0;
    if (!Ready) {
        return true;
    }

    if (PassThrough && gains == nullptr) {
        ULONG count = (sourceBytes < destinationBytes) ? sourceBytes : destinationBytes;
        RtlCopyMemory(destination, source, count);
        *consumed = count;
        *produced = count;
        return true;
    }

    const ULONG sourceChannels = Source.Format.nChannels;
    ChannelGain channelGains[MaxChannels];
    bool scaled = false;
    if (gains != nullptr) {
        for (ULONG channel = 0; channel < sourceChannels; ++channel) {
            PrepareChannelGain(&channelGains[channel], gains[channel], true);
            scaled = scaled || channelGains[channel].Type != ChannelGain::Unity;
        }
    }

    const ReadLoop read = ConverterKernels::Readers[WholeRatio ? 1 : 0][ContainerBytes(&Source) - 1][ReaderKind];
    const WriteLoop write = ConverterKernels::Writer(ContainerBytes(&Destination), WriterKind);
    const ULONG destinationBlockAlign = Destination.Format.nBlockAlign;
    const ULONG framesPerBlock = BlockSamples / sourceChannels;

    // Only whole destination frames are written, so a length that is not a multiple of the
    // frame size never leads to a write past its end.
    ULONG framesLeft = destinationBytes / destinationBlockAlign;
    SourceCursor cursor = {source, sourceBytes};
    PUCHAR output = destination;
    LONG block[BlockSamples];
    while (framesLeft > 0) {
        ULONG wanted = (framesLeft < framesPerBlock) ? framesLeft : framesPerBlock;
        ULONG frames = read(*this, cursor, block, wanted);
        if (frames == 0) {
            break;
        }
        if (scaled) {
            ApplyGains(block, frames, sourceChannels, channelGains);
        }
        write(*this, block, frames, output);
        output += frames * destinationBlockAlign;
        framesLeft -= frames;
        if (frames < wanted) {
            break;  // the source ran out
        }
    }

    *consumed = sourceBytes - cursor.Left;
    *produced = static_cast<ULONG>(output - destination);
    return true;
}
