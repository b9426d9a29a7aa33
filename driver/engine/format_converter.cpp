// FormatConverter: the per-stream sample rate, channel and width conversion of the engine.
//
// Convert runs in three stages over blocks of internal frames kept on the stack: a reading loop
// (resampling.h: specialised by source container width and channel layout, interpolating or
// picking whole frames) widens and resamples, the gain stage scales in place, and a writing loop
// (channel_map.h: specialised by destination width and channel map) maps channels and narrows.
// Every division by the destination rate, channel count or gain denominator is an exact multiply
// and shift. In their steady state, interpolation of 16-bit frames into 16-bit frames of the same
// channels (interpolation_16.h) and, with a gain at or below unity, whole-ratio picking of 16-bit
// frames into 16- or 24-bit ones (picking_16.h) skip the stages, the gain folded into the
// narrowing (folded_gain.h).
#include "core/platform.h"

#include "engine/channel_map.h"
#include "engine/format_converter.h"
#include "engine/interpolation_16.h"
#include "engine/picking_16.h"
#include "engine/resampling.h"
#include "engine/sample_codec.h"

namespace {

// Internal samples handed from stage to stage: 1 KiB of stack, 128 stereo or 32 8-channel frames.
constexpr ULONG BlockSamples = 256;

// Scales each source channel of a block in place by its prepared gain.
void ApplyGains(LONG* block, ULONG frames, ULONG channels, const ChannelGain* gains)
{
    for (ULONG channel = 0; channel < channels; ++channel) {
        LONG* samples = block + channel;
        ApplyGainToSamples(
            gains[channel], frames, [samples, channels](ULONG i) { return samples[i * channels]; },
            [samples, channels](ULONG i, LONG value) { samples[i * channels] = value; });
    }
}

}  // namespace

FormatConverter::FormatConverter()
    : Source{}, Destination{}, Internal{}, FrameA{}, FrameB{}, Ready(FALSE), Phase(0), WholeRatio(FALSE),
      PassThrough(FALSE), HaveA(FALSE), HaveB(FALSE), Skip(0), RateDivisor{}, ChannelDivisor{}, ReaderKind(0),
      WriterKind(0), Direct{}
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

    PassThrough = (sourceRate == destinationRate && Source.Format.wBitsPerSample == Destination.Format.wBitsPerSample &&
                   sourceChannels == Destination.Format.nChannels)
                      ? TRUE
                      : FALSE;
    // Equal rates are a whole ratio too, also when passing through: a pass-through converter
    // still converts when it is given gains, and interpolating at a ratio of one would read a
    // frame ahead and hold the client's last frame back until another arrived.
    WholeRatio = (sourceRate % destinationRate == 0) ? TRUE : FALSE;

    PrepareSignedDivisor(&RateDivisor, destinationRate, InterpolationDividendBits);
    if (sourceChannels >= 2) {
        PrepareExactDivisor(&ChannelDivisor, sourceChannels);
    }
    ReaderKind = LayoutOf(sourceChannels);
    WriterKind = ChannelMapOf(sourceChannels, Destination.Format.nChannels);
    Direct.Channels = 0;
    if (!PassThrough && !WholeRatio && ContainerBytes(&Source) == 2 && ContainerBytes(&Destination) == 2 &&
        sourceChannels == Destination.Format.nChannels && sourceChannels <= 2) {
        PrepareDirectInterpolation(&Direct, sourceRate, destinationRate, sourceChannels);
    }

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
        if (count != 0) {
            RtlCopyMemory(destination, source, count);
        }
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

    const ULONG destinationBlockAlign = Destination.Format.nBlockAlign;
    // Only whole destination frames are written, so a length that is not a multiple of the
    // frame size never leads to a write past its end.
    ULONG framesLeft = destinationBytes / destinationBlockAlign;
    SourceCursor cursor = {source, sourceBytes};
    PUCHAR output = destination;
    // Gains at or below unity fold into the narrowing of the loops for 16-bit sources: the direct
    // interpolation, and the picking of a whole ratio into 16-bit frames of the same one or two
    // channels (or two channels averaged into one) or into 24-bit frames of the same channels.
    // Each takes the steady state straight through; the stages take whatever it leaves.
    const ULONG destinationChannels = Destination.Format.nChannels;
    const bool picks16 = scaled && WholeRatio && ContainerBytes(&Source) == 2 && sourceChannels <= 2;
    DirectGain directGain;
    PickingGain pickingGain;
    WidePickingGain widePickingGain;
    const bool direct =
        Direct.Channels != 0 && (!scaled || PrepareDirectGain(&directGain, Direct, gains, channelGains));
    const bool picking = picks16 && ContainerBytes(&Destination) == 2 &&
                         (WriterKind == MapSame || WriterKind == MapTwoToOne) &&
                         PreparePickingGain(&pickingGain, sourceChannels, gains, channelGains,
                                            destinationChannels != sourceChannels);
    const bool widePicking = picks16 && ContainerBytes(&Destination) == 3 && WriterKind == MapSame &&
                             PrepareWidePickingGain(&widePickingGain, sourceChannels, gains, channelGains);
    if (picking || widePicking) {
        ULONG frames = 0;
        if (widePicking) {
            frames = (sourceChannels == 2) ? GainedPicking::RunWide<2>(*this, cursor, widePickingGain, output, framesLeft)
                                           : GainedPicking::RunWide<1>(*this, cursor, widePickingGain, output, framesLeft);
        } else if (destinationChannels != sourceChannels) {
            frames = GainedPicking::Run<2, true>(*this, cursor, pickingGain, output, framesLeft);
        } else {
            frames = (sourceChannels == 2) ? GainedPicking::Run<2, false>(*this, cursor, pickingGain, output, framesLeft)
                                           : GainedPicking::Run<1, false>(*this, cursor, pickingGain, output, framesLeft);
        }
        output += frames * destinationBlockAlign;
        output += ConvertInBlocks(cursor, channelGains, output, framesLeft - frames) * destinationBlockAlign;
    } else if (direct) {
        // Anything the steady state does not take, such as the end of the source, goes through the
        // stages.
        bool ended = false;
        ULONG frames = DirectInterpolator::Run<false>(*this, cursor, source, output, framesLeft,
                                                      scaled ? &directGain : nullptr, &ended);
        output += frames * destinationBlockAlign;
        if (ended) {
            output += ConvertInBlocks(cursor, scaled ? channelGains : nullptr, output, framesLeft - frames) *
                      destinationBlockAlign;
        }
    } else {
        output += ConvertInBlocks(cursor, scaled ? channelGains : nullptr, output, framesLeft) * destinationBlockAlign;
    }

    *consumed = sourceBytes - cursor.Left;
    *produced = static_cast<ULONG>(output - destination);
    return true;
}

void FormatConverter::MixInterpolated(const UCHAR* source, ULONG sourceBytes, PULONG consumed, PUCHAR destination,
                                      ULONG destinationBytes, PULONG produced)
{
    *consumed = 0;
    *produced = 0;
    if (!InterpolatesDirectly()) {
        return;
    }
    SourceCursor cursor = {source, sourceBytes};
    bool ended = false;
    ULONG frames = DirectInterpolator::Run<true>(*this, cursor, source, destination,
                                                 destinationBytes / Destination.Format.nBlockAlign, nullptr, &ended);
    *consumed = sourceBytes - cursor.Left;
    *produced = frames * Destination.Format.nBlockAlign;
}

ULONG FormatConverter::ConvertInBlocks(SourceCursor& cursor, const ChannelGain* gains, PUCHAR destination,
                                       ULONG frames)
{
    const ULONG sourceChannels = Source.Format.nChannels;
    const ReadLoop read = ConverterReading::Readers[WholeRatio ? 1 : 0][ContainerBytes(&Source) - 1][ReaderKind];
    const WriteLoop write = ChannelWriting::Writer(ContainerBytes(&Destination), WriterKind);
    const ULONG destinationBlockAlign = Destination.Format.nBlockAlign;
    const ULONG framesPerBlock = BlockSamples / sourceChannels;
    const ChannelMapping mapping = {sourceChannels, Destination.Format.nChannels, ChannelDivisor};

    ULONG framesLeft = frames;
    PUCHAR output = destination;
    LONG block[BlockSamples];
    while (framesLeft > 0) {
        ULONG wanted = (framesLeft < framesPerBlock) ? framesLeft : framesPerBlock;
        ULONG done = read(*this, cursor, block, wanted);
        if (done == 0) {
            break;
        }
        if (gains != nullptr) {
            ApplyGains(block, done, sourceChannels, gains);
        }
        write(mapping, block, done, output);
        output += done * destinationBlockAlign;
        framesLeft -= done;
        if (done < wanted) {
            break;  // the source ran out
        }
    }
    return frames - framesLeft;
}

// A frame not held is read afresh before it is used, so only the frames held count.
bool FormatConverter::SamePosition(const FormatConverter& converter, const ConverterFrame& frameA,
                                   const ConverterFrame& frameB, ULONG phase, LONG skip, BOOLEAN haveA, BOOLEAN haveB)
{
    if (converter.Phase != phase || converter.Skip != skip || converter.HaveA != haveA || converter.HaveB != haveB) {
        return false;
    }
    for (ULONG channel = 0; channel < converter.Source.Format.nChannels; ++channel) {
        if ((haveA && converter.FrameA.Samples[channel] != frameA.Samples[channel]) ||
            (haveB && converter.FrameB.Samples[channel] != frameB.Samples[channel])) {
            return false;
        }
    }
    return true;
}

bool FormatConverter::HasFormatsOf(const FormatConverter& other) const
{
    const WAVEFORMATEX& source = Source.Format;
    const WAVEFORMATEX& destination = Destination.Format;
    return Ready && other.Ready && source.nSamplesPerSec == other.Source.Format.nSamplesPerSec &&
           source.nChannels == other.Source.Format.nChannels &&
           source.nBlockAlign == other.Source.Format.nBlockAlign &&
           destination.nSamplesPerSec == other.Destination.Format.nSamplesPerSec &&
           destination.nChannels == other.Destination.Format.nChannels &&
           destination.nBlockAlign == other.Destination.Format.nBlockAlign;
}

bool FormatConverter::IsAt(const ConverterPosition& position) const
{
    return SamePosition(*this, position.FrameA, position.FrameB, position.Phase, position.Skip, position.HaveA,
                        position.HaveB);
}

bool FormatConverter::IsAtPositionOf(const FormatConverter& other) const
{
    return SamePosition(*this, other.FrameA, other.FrameB, other.Phase, other.Skip, other.HaveA, other.HaveB);
}

void FormatConverter::GetPosition(ConverterPosition* position) const
{
    position->FrameA = FrameA;
    position->FrameB = FrameB;
    position->Phase = Phase;
    position->Skip = Skip;
    position->HaveA = HaveA;
    position->HaveB = HaveB;
}

void FormatConverter::MoveTo(const ConverterPosition& position)
{
    FrameA = position.FrameA;
    FrameB = position.FrameB;
    Phase = position.Phase;
    Skip = position.Skip;
    HaveA = position.HaveA;
    HaveB = position.HaveB;
}
