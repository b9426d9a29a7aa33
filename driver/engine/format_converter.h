// FormatConverter: converts a stream of PCM frames between two formats (sample rate by linear
// interpolation, channel count by fixed maps, container width by shifting) with an optional gain
// per channel. One per stream, embedded in it; state carries over between calls so a stream
// converts seamlessly across chunks and timer ticks.
#pragma once

#include "core/platform.h"

#include "engine/audio_format.h"
#include "engine/exact_divisor.h"
#include "engine/gain.h"

struct SourceCursor;

// One source frame widened to internal samples.
struct ConverterFrame {
    LONG Samples[MaxChannels];
    ULONG ContainerBytes;
};

// Where a converter stands in its source: the frames it holds, the phase of the next output and
// the bytes to pass over before the next read.
struct ConverterPosition {
    ConverterFrame FrameA;
    ConverterFrame FrameB;
    ULONG Phase;
    LONG Skip;
    BOOLEAN HaveA;
    BOOLEAN HaveB;
};

// Derived by Setup for a conversion that interpolates 16-bit frames straight into 16-bit frames of
// the same channels (interpolation_16.h): the rates divided by their greatest common divisor, the
// whole frames and remainder that one and four outputs move the phase on, and the multiplier and
// shift that divide by the reduced destination rate.
struct DirectInterpolation {
    ULONG Unit;  // gcd of the rates: the phase moves in multiples of it
    ULONG Rate;  // destination rate / Unit
    ULONG Step;  // source rate / Unit
    ULONG StepFrames;
    ULONG StepRemainder;
    ULONG GroupFrames;
    ULONG GroupRemainder;
    ULONG Multiplier;
    ULONG Shift;
    UCHAR Channels;  // 1 or 2; 0 when the conversion does not qualify
};

class FormatConverter {
public:
    FormatConverter();

    // Validates both formats (extensible PCM within the limits of audio_format.h) and latches
    // them. False, with nothing changed, when either is unacceptable. Phase and skip are kept:
    // they are zero after construction and after Reset.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    bool Setup(const WAVEFORMATEXTENSIBLE* source, const WAVEFORMATEXTENSIBLE* destination);

    // Disarms the converter and clears its frame state.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    void Reset();

    // The size that bytes of one side's data occupy on the other side, in whole frames rounded
    // up; toward the destination when towardDestination, else toward the source. 0 when not set
    // up; saturates at the largest whole number of frames that 32 bits hold.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    ULONG ConvertedSize(ULONG bytes, bool towardDestination) const;

    // Converts as many whole frames as fit into the destination, reading as far into the source
    // as that needs; reports the source bytes passed over and the destination bytes written. The
    // gain table (GainTableEntries pairs indexed by source channel) is optional. Always true; a
    // converter that is not set up converts nothing. Timer DPC: no allocation, integers only.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    bool Convert(const UCHAR* source, ULONG sourceBytes, PULONG consumed, const ScalePair* gains,
                 PUCHAR destination, ULONG destinationBytes, PULONG produced);

    // For a converter that InterpolatesDirectly, without a gain: adds the outputs that the steady
    // state of the interpolation gives into the destination, 16-bit with saturation as the mix
    // adds, instead of writing them; reports as Convert does. It stops where the steady state
    // does (at the last frame of the source, or in a state the direct loops do not take),
    // possibly with nothing done, and Convert takes over from there.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    void MixInterpolated(const UCHAR* source, ULONG sourceBytes, PULONG consumed, PUCHAR destination,
                         ULONG destinationBytes, PULONG produced);

    // Converters set up for the same formats that stand at the same position write the same
    // frames from the same source and end at the same position.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    bool HasFormatsOf(const FormatConverter& other) const;
    _IRQL_requires_max_(DISPATCH_LEVEL)
    bool IsAt(const ConverterPosition& position) const;
    _IRQL_requires_max_(DISPATCH_LEVEL)
    bool IsAtPositionOf(const FormatConverter& other) const;
    _IRQL_requires_max_(DISPATCH_LEVEL)
    void GetPosition(ConverterPosition* position) const;
    // For a converter with the formats of the one the position was taken from.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    void MoveTo(const ConverterPosition& position);

    bool IsReady() const { return Ready != FALSE; }
    // Equal rate, width and channel count: without a gain the output is the input, byte for byte.
    bool IsPassThrough() const { return Ready != FALSE && PassThrough != FALSE; }
    // Interpolating 16-bit frames into 16-bit frames of the same one or two channels, at rates
    // whose ratio in lowest terms has a destination term of at most 32767: without a gain, the
    // steady state bypasses the internal block.
    bool InterpolatesDirectly() const { return Ready != FALSE && Direct.Channels != 0; }
    const WAVEFORMATEXTENSIBLE* SourceFormat() const { return &Source; }
    const WAVEFORMATEXTENSIBLE* DestinationFormat() const { return &Destination; }
    const WAVEFORMATEXTENSIBLE* InternalFormat() const { return &Internal; }

private:
    friend struct ConverterReading;
    friend struct DirectInterpolator;
    friend struct GainedPicking;

    static bool SamePosition(const FormatConverter& converter, const ConverterFrame& frameA,
                             const ConverterFrame& frameB, ULONG phase, LONG skip, BOOLEAN haveA, BOOLEAN haveB);

    // The three-stage conversion of up to frames destination frames; returns the frames written.
    ULONG ConvertInBlocks(SourceCursor& cursor, const ChannelGain* gains, PUCHAR destination, ULONG frames);

    WAVEFORMATEXTENSIBLE Source;
    WAVEFORMATEXTENSIBLE Destination;
    WAVEFORMATEXTENSIBLE Internal;  // 32-bit PCM at the source rate with the source channels
    ConverterFrame FrameA;          // earlier source frame of the pair being interpolated
    ConverterFrame FrameB;          // later one
    BOOLEAN Ready;
    ULONG Phase;  // the next output lies Phase / destination rate of the way from A to B
    BOOLEAN WholeRatio;   // the source rate is a whole multiple of the destination rate
    BOOLEAN PassThrough;  // equal rate, width and channel count
    BOOLEAN HaveA;
    BOOLEAN HaveB;
    LONG Skip;  // source bytes to pass over before the next read; negative while reading ahead

    // Derived by Setup for the conversion loops.
    SignedDivisor RateDivisor;    // by the destination rate
    ExactDivisor ChannelDivisor;  // by the source channel count (averaging maps, 2 or more channels)
    UCHAR ReaderKind;             // which specialised reading loop serves the source layout
    UCHAR WriterKind;             // which specialised writing loop serves the destination layout
    DirectInterpolation Direct;
};
