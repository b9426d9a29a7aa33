// The reading stage of the format converter: widens source frames into internal samples and
// resamples them, by linear interpolation or by taking every k-th frame of a whole ratio. Kernel
// code for the timer DPC; included by the converter only.
#pragma once

#include "core/platform.h"

#include "engine/exact_divisor.h"
#include "engine/format_converter.h"
#include "engine/sample_codec.h"

// Bound on the interpolation dividends A * (rate - phase) + B * phase: |A|, |B| <= 2^31 and
// rate, phase < 2^18 (phase is below the destination rate, or below an earlier one at most
// 192000 after a Setup without Reset), so |dividend| < 2^50; one bit of margin.
constexpr ULONG InterpolationDividendBits = 51;

// Source channel layouts with a reading loop of their own; LayoutAny takes the count at run time.
enum SourceLayout : UCHAR { LayoutMono, LayoutStereo, LayoutAny, LayoutCount };

inline SourceLayout LayoutOf(ULONG channels)
{
    return (channels == 1) ? LayoutMono : (channels == 2) ? LayoutStereo : LayoutAny;
}

// The source bytes of one Convert call not yet passed over.
struct SourceCursor {
    const UCHAR* Position;
    ULONG Left;
};

using ReadLoop = ULONG (*)(FormatConverter& converter, SourceCursor& source, LONG* block, ULONG maxFrames);

// A reading loop's place in the source: the bytes left and the converter's skip count, kept in
// locals while the loop runs.
struct ReadPosition {
    const UCHAR* Position;
    ULONG Left;
    LONG Skip;

    // Passes over the bytes skip says are due, as far as the source goes.
    void PassSkipped()
    {
        if (Skip > 0) {
            ULONG advance = (static_cast<ULONG>(Skip) < Left) ? static_cast<ULONG>(Skip) : Left;
            Position += advance;
            Left -= advance;
            Skip -= static_cast<LONG>(advance);
        }
    }

    // Widens the next source frame into frame; false, with nothing read, when no whole frame
    // is left.
    template <ULONG Width>
    bool ReadFrame(ULONG channels, ULONG blockAlign, LONG* frame)
    {
        if (Left < blockAlign) {
            return false;
        }
        for (ULONG channel = 0; channel < channels; ++channel) {
            frame[channel] = LoadSample<Width>(Position + channel * Width);
        }
        Position += blockAlign;
        Left -= blockAlign;
        Skip -= static_cast<LONG>(blockAlign);
        return true;
    }
};

// Advancing the phase by the source rate after each output, with the destination periods passed
// over coming off as the source frames to step. With the quotient and remainder of the two rates
// worked out once, the step costs an add and a compare; only a phase left at or above the rate
// by a Setup without a Reset ever needs the division.
struct PhaseStepper {
    ULONG Quotient;
    ULONG Remainder;
    ULONG DestinationRate;
    SignedDivisor Divisor;

    PhaseStepper(ULONG sourceRate, const SignedDivisor& rateDivisor)
        : Quotient(static_cast<ULONG>(DivideTruncating(rateDivisor, sourceRate))),
          Remainder(sourceRate - Quotient * rateDivisor.Divisor), DestinationRate(rateDivisor.Divisor),
          Divisor(rateDivisor)
    {
    }

    // Returns the source frames to step: (phase + source rate) / rate; phase keeps the rest.
    ULONG Advance(ULONG& phase) const
    {
        phase += Remainder;
        ULONG step = Quotient;
        if (phase >= DestinationRate) {
            phase -= DestinationRate;
            ++step;
            if (phase >= DestinationRate) {
                ULONG extra = static_cast<ULONG>(DivideTruncating(Divisor, phase));
                phase -= extra * DestinationRate;
                step += extra;
            }
        }
        return step;
    }
};

// The reading loops; a friend of FormatConverter, so they keep its state in locals while they
// run and store it back once per block.
struct ConverterReading {
    // Reading for a whole-ratio conversion (source rate k times the destination rate, k >= 1):
    // every k-th source frame, unfiltered.
    template <ULONG Width, ULONG FixedChannels>
    static ULONG ReadEveryKth(FormatConverter& converter, SourceCursor& source, LONG* block, ULONG maxFrames)
    {
        constexpr ULONG Slots = FixedChannels != 0 ? FixedChannels : MaxChannels;
        const ULONG channels = FixedChannels != 0 ? FixedChannels : converter.Source.Format.nChannels;
        // Setup accepts only formats whose frame is the container times the channels: with the
        // channels fixed, the frame size is a constant and the loops keep a register free.
        const ULONG blockAlign = FixedChannels != 0 ? Width * FixedChannels : converter.Source.Format.nBlockAlign;
        const PhaseStepper stepper(converter.Source.Format.nSamplesPerSec, converter.RateDivisor);

        ReadPosition read = {source.Position, source.Left, converter.Skip};
        ULONG phase = converter.Phase;
        bool haveA = converter.HaveA != FALSE;
        LONG frameA[Slots];
        for (ULONG channel = 0; channel < channels; ++channel) {
            frameA[channel] = converter.FrameA.Samples[channel];
        }

        ULONG frames = 0;
        while (frames < maxFrames) {
            read.PassSkipped();
            if (!haveA) {
                if (!read.template ReadFrame<Width>(channels, blockAlign, frameA)) {
                    break;
                }
                haveA = true;
            }

            for (ULONG channel = 0; channel < channels; ++channel) {
                block[channel] = frameA[channel];
            }
            block += channels;
            ++frames;

            // The source rate is at least the destination rate, so every output steps.
            ULONG step = stepper.Advance(phase);
            haveA = false;
            read.Skip += static_cast<LONG>(step * blockAlign);
        }

        source.Position = read.Position;
        source.Left = read.Left;
        converter.Phase = phase;
        converter.Skip = read.Skip;
        converter.HaveA = haveA ? TRUE : FALSE;
        if (frames != 0) {
            converter.HaveB = FALSE;
        }
        for (ULONG channel = 0; channel < channels; ++channel) {
            converter.FrameA.Samples[channel] = frameA[channel];
        }
        return frames;
    }

    // The steady state of upsampling (the source rate below the destination rate): each output
    // steps the pair by at most one frame, so a step is one new source frame. Returns the outputs
    // written, at least one; stops at the end of the block or of the source, and then leaves any
    // step it took to the bookkeeping (B not held, skip one frame up) so the read happens only
    // when the next output is due.
    template <ULONG Width, ULONG Slots>
    static ULONG FollowUpsampling(ULONG channels, ULONG blockAlign, const SignedDivisor& rateDivisor,
                                  ULONG sourceRate, ULONG maxFrames, ReadPosition& read, ULONG& phase,
                                  bool& haveB, LONG* frameA, LONG* frameB, LONG*& block)
    {
        // Everything in locals: the output stores could otherwise alias the frames and force
        // them back to memory after every sample.
        const SignedDivisor divisor = rateDivisor;
        const ULONG destinationRate = divisor.Divisor;
        ULONG framesLeft = maxFrames;
        ULONG sourceFramesLeft = read.Left / blockAlign;
        const UCHAR* next = read.Position;
        LONG* out = block;
        ULONG at = phase;
        LONG later[Slots];
        LONGLONG start[Slots];
        LONGLONG slope[Slots];
        for (ULONG channel = 0; channel < channels; ++channel) {
            later[channel] = frameB[channel];
            start[channel] = static_cast<LONGLONG>(frameA[channel]) * destinationRate;
            slope[channel] = static_cast<LONGLONG>(frameB[channel]) - frameA[channel];
        }
        bool stepped = false;
        for (;;) {
            for (ULONG channel = 0; channel < channels; ++channel) {
                out[channel] = static_cast<LONG>(DivideTruncating(divisor, start[channel] + slope[channel] * at));
            }
            out += channels;
            --framesLeft;
            at += sourceRate;
            if (at >= destinationRate) {
                at -= destinationRate;
                if (framesLeft == 0 || sourceFramesLeft == 0) {
                    stepped = true;
                    break;
                }
                --sourceFramesLeft;
                for (ULONG channel = 0; channel < channels; ++channel) {
                    LONG sample = LoadSample<Width>(next + channel * Width);
                    start[channel] = static_cast<LONGLONG>(later[channel]) * destinationRate;
                    slope[channel] = static_cast<LONGLONG>(sample) - later[channel];
                    later[channel] = sample;
                }
                next += blockAlign;
            } else if (framesLeft == 0) {
                break;
            }
        }
        if (stepped) {
            for (ULONG channel = 0; channel < channels; ++channel) {
                frameA[channel] = later[channel];
            }
            haveB = false;
            read.Skip += static_cast<LONG>(blockAlign);
        } else {
            // A is the earlier frame of the current pair: later - slope.
            for (ULONG channel = 0; channel < channels; ++channel) {
                frameA[channel] = static_cast<LONG>(later[channel] - slope[channel]);
                frameB[channel] = later[channel];
            }
        }
        read.Left -= static_cast<ULONG>(next - read.Position);
        read.Position = next;
        phase = at;
        block = out;
        return maxFrames - framesLeft;
    }

    // The steady state of downsampling by a non-whole ratio: each output steps the pair by one
    // frame or more, to the frames step and step + 1 after A. Same contract as FollowUpsampling;
    // the phase is below the destination rate throughout.
    template <ULONG Width, ULONG Slots>
    static ULONG FollowDownsampling(ULONG channels, ULONG blockAlign, const SignedDivisor& rateDivisor,
                                    const PhaseStepper& stepper, ULONG maxFrames, ReadPosition& read,
                                    ULONG& phase, bool& haveA, bool& haveB, LONG* frameA, LONG* frameB,
                                    LONG*& block)
    {
        const SignedDivisor divisor = rateDivisor;
        const PhaseStepper steps = stepper;
        const ULONG destinationRate = divisor.Divisor;
        const ULONG quotientBytes = steps.Quotient * blockAlign;
        const UCHAR* next = read.Position;
        ULONG available = read.Left;
        LONG* out = block;
        ULONG at = phase;
        LONG earlier[Slots];
        LONG later[Slots];
        for (ULONG channel = 0; channel < channels; ++channel) {
            earlier[channel] = frameA[channel];
            later[channel] = frameB[channel];
        }
        ULONG frames = 0;
        for (;;) {
            for (ULONG channel = 0; channel < channels; ++channel) {
                LONGLONG mixed = static_cast<LONGLONG>(earlier[channel]) * destinationRate +
                                 (static_cast<LONGLONG>(later[channel]) - earlier[channel]) * at;
                out[channel] = static_cast<LONG>(DivideTruncating(divisor, mixed));
            }
            out += channels;
            ++frames;
            // The phase stays below the rate here, so a step is the quotient of the rates or one
            // more, and its size in bytes needs no multiply on the loop's critical path.
            at += steps.Remainder;
            ULONG step = steps.Quotient;
            ULONG stepBytes = quotientBytes;
            if (at >= destinationRate) {
                at -= destinationRate;
                ++step;
                stepBytes += blockAlign;
            }
            if (frames == maxFrames || available < stepBytes) {
                haveB = false;
                if (step == 1) {
                    for (ULONG channel = 0; channel < channels; ++channel) {
                        earlier[channel] = later[channel];
                    }
                } else {
                    haveA = false;
                }
                read.Skip += static_cast<LONG>(stepBytes);
                break;
            }
            // Both frames come from the source even when A is the old B, which is still there
            // just before the read position: no branch on the step size to mispredict.
            const UCHAR* pairA = next + stepBytes - 2 * blockAlign;
            for (ULONG channel = 0; channel < channels; ++channel) {
                earlier[channel] = LoadSample<Width>(pairA + channel * Width);
                later[channel] = LoadSample<Width>(pairA + blockAlign + channel * Width);
            }
            next += stepBytes;
            available -= stepBytes;
        }
        for (ULONG channel = 0; channel < channels; ++channel) {
            frameA[channel] = earlier[channel];
            frameB[channel] = later[channel];
        }
        read.Position = next;
        read.Left = available;
        phase = at;
        block = out;
        return frames;
    }

    // Reading with linear interpolation: each output is (A * rate + (B - A) * phase) / rate in
    // 64 bits, truncated toward zero; after it the phase advances by the source rate and every
    // whole destination period passed steps the pair one source frame along.
    //
    // Once an output's frames are in hand and the source is read exactly up to B (skip at minus
    // two frames, as it is except right after a Setup without Reset), a follower loop takes over
    // and moves the pair along without the skip and flag bookkeeping, leaving it as the
    // one-output-at-a-time steps would. Followers never read before an output is due, so they
    // consume exactly what those steps would.
    template <ULONG Width, ULONG FixedChannels>
    static ULONG ReadInterpolated(FormatConverter& converter, SourceCursor& source, LONG* block, ULONG maxFrames)
    {
        constexpr ULONG Slots = FixedChannels != 0 ? FixedChannels : MaxChannels;
        const ULONG channels = FixedChannels != 0 ? FixedChannels : converter.Source.Format.nChannels;
        // Setup accepts only formats whose frame is the container times the channels: with the
        // channels fixed, the frame size is a constant and the loops keep a register free.
        const ULONG blockAlign = FixedChannels != 0 ? Width * FixedChannels : converter.Source.Format.nBlockAlign;
        const LONG steadySkip = -2 * static_cast<LONG>(blockAlign);
        const SignedDivisor rateDivisor = converter.RateDivisor;
        const ULONG destinationRate = rateDivisor.Divisor;
        const PhaseStepper stepper(converter.Source.Format.nSamplesPerSec, rateDivisor);

        ReadPosition read = {source.Position, source.Left, converter.Skip};
        ULONG phase = converter.Phase;
        bool haveA = converter.HaveA != FALSE;
        bool haveB = converter.HaveB != FALSE;
        LONG frameA[Slots];
        LONG frameB[Slots];
        for (ULONG channel = 0; channel < channels; ++channel) {
            frameA[channel] = converter.FrameA.Samples[channel];
            frameB[channel] = converter.FrameB.Samples[channel];
        }

        ULONG frames = 0;
        while (frames < maxFrames) {
            // The frames an output needs, skipping and reading as the bookkeeping says.
            read.PassSkipped();
            if (!haveA) {
                if (!read.template ReadFrame<Width>(channels, blockAlign, frameA)) {
                    break;
                }
                haveA = true;
            }
            if (!haveB) {
                if (!read.template ReadFrame<Width>(channels, blockAlign, frameB)) {
                    break;
                }
                haveB = true;
            }
            if (read.Skip == steadySkip && phase < destinationRate) {
                if (stepper.Quotient == 0) {
                    frames += FollowUpsampling<Width, Slots>(channels, blockAlign, rateDivisor, stepper.Remainder,
                                                             maxFrames - frames, read, phase, haveB, frameA, frameB,
                                                             block);
                } else {
                    frames += FollowDownsampling<Width, Slots>(channels, blockAlign, rateDivisor, stepper,
                                                               maxFrames - frames, read, phase, haveA, haveB, frameA,
                                                               frameB, block);
                }
                continue;
            }

            for (ULONG channel = 0; channel < channels; ++channel) {
                LONGLONG mixed = frameA[channel] * static_cast<LONGLONG>(destinationRate) +
                                 (static_cast<LONGLONG>(frameB[channel]) - frameA[channel]) * phase;
                block[channel] = static_cast<LONG>(DivideTruncating(rateDivisor, mixed));
            }
            block += channels;
            ++frames;
            const ULONG step = stepper.Advance(phase);
            if (step != 0) {
                haveB = false;
                if (step == 1) {
                    for (ULONG channel = 0; channel < channels; ++channel) {
                        frameA[channel] = frameB[channel];
                    }
                } else {
                    haveA = false;
                }
                read.Skip += static_cast<LONG>(step * blockAlign);
            }
        }

        source.Position = read.Position;
        source.Left = read.Left;
        converter.Phase = phase;
        converter.Skip = read.Skip;
        converter.HaveA = haveA ? TRUE : FALSE;
        converter.HaveB = haveB ? TRUE : FALSE;
        for (ULONG channel = 0; channel < channels; ++channel) {
            converter.FrameA.Samples[channel] = frameA[channel];
            converter.FrameB.Samples[channel] = frameB[channel];
        }
        return frames;
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

};
