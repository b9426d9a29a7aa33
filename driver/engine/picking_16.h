// Whole-ratio conversion (equal rates included) of 16-bit frames into 16-bit frames of the same one
// or two channels, or of two channels into one, through a gain at or below unity: the steady state takes every k-th frame four
// outputs at a time with SSE2, the gain folded into the narrowing (folded_gain.h), past the
// internal block and the writing stage, to the same bytes. Kernel code for the timer DPC; included
// by the converter only.
#pragma once

#include "core/platform.h"

#include <emmintrin.h>

#include "engine/folded_gain.h"
#include "engine/format_converter.h"
#include "engine/resampling.h"
#include "engine/sample_codec.h"

// The gain of each channel of a picking conversion, folded for frames taken as they are (R = 1:
// U = a + 32768, shifted by t = 16 into U' = F + 2^31, the internal sample with its top bit
// flipped), and prepared for the exact arithmetic of the outputs in doubt.
struct PickingGain {
    FoldedGain Folded[2];
    ChannelGain Exact[2];
};

// Prepares the gains of channels (1 or 2); false when a gain is above unity. For averaging, a
// silenced channel's estimate is 0, its exact half scaled sample, rather than the middle of a step.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline bool PreparePickingGain(PickingGain* gain, ULONG channels, const ScalePair* pairs, const ChannelGain* prepared,
                               bool average)
{
    for (ULONG channel = 0; channel < channels; ++channel) {
        if (!PrepareFoldedGain(&gain->Folded[channel], pairs[channel], 1, 16, 1)) {
            return false;
        }
        if (average && (pairs[channel].Numerator == 0 || pairs[channel].Denominator == 0)) {
            gain->Folded[channel].Bias = 0;
        }
        gain->Exact[channel] = prepared[channel];
    }
    return true;
}

// 24-bit outputs need the scaled sample G itself to the bit, not within a few units: for frames
// taken as they are, F = 65536 a exactly and G = trunc(Zr), Zr = (F n + h) / d, which two pmuludq
// estimate with 32 fractional bits. With U = a + 32768 < 2^16 and, for n < d, C = floor(2^48 n / d)
// = C1 2^16 + C0 (C1 < 2^32, C0 < 2^16), Y = U C = (U C1 << 16) + U C0 lies within U < 2^16 below
// U 2^48 n / d, and with B = floor(2^32 (2^31 n - h) / d), W = Y - B lies within 2^-16 * 2^32 of
// 2^32 Zr. So where the low 32 bits of W are at least 2^17 from 0 modulo 2^32, Zr is no integer
// and floor(Zr) is the high 32 bits H of W, and G = H + 1 for a negative H, else H. The others
// take the exact arithmetic. Silence folds into C = 0 and B = -2^31 (W = 2^31: G = 0); a sample 0
// gives Zr = h / d, which lies from 1/3 to 1/2 for every d >= 2, never near an integer.
struct WideFoldedGain {
    ULONG High;      // C1
    ULONG Low;       // C0
    ULONGLONG Bias;  // B, modulo 2^64
};

// The gains of channels (1 or 2) folded for 24-bit outputs, and prepared for the exact arithmetic.
struct WidePickingGain {
    WideFoldedGain Folded[2];
    ChannelGain Exact[2];
};

// Prepares the gains of channels (1 or 2) for 24-bit outputs; false unless every one silences or
// lies below unity.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline bool PrepareWidePickingGain(WidePickingGain* gain, ULONG channels, const ScalePair* pairs,
                                   const ChannelGain* prepared)
{
    for (ULONG channel = 0; channel < channels; ++channel) {
        const ScalePair pair = pairs[channel];
        WideFoldedGain& folded = gain->Folded[channel];
        gain->Exact[channel] = prepared[channel];
        if (pair.Numerator == 0 || pair.Denominator == 0) {
            folded = WideFoldedGain{0, 0, 0ULL - (1ULL << 31)};
            continue;
        }
        if (pair.Numerator >= pair.Denominator) {
            return false;
        }
        const ULONGLONG numerator = pair.Numerator;
        const ULONGLONG denominator = pair.Denominator;
        // C = floor(n 2^48 / d) in three steps of 16 bits; every remainder is below d < 2^32.
        ULONGLONG multiplier = 0;
        ULONGLONG remainder = numerator;
        for (ULONG step = 0; step < 3; ++step) {
            remainder <<= 16;
            multiplier = (multiplier << 16) | (remainder / denominator);
            remainder %= denominator;
        }
        const ULONGLONG dividend = (numerator << 31) - denominator / 2;
        folded.High = static_cast<ULONG>(multiplier >> 16);
        folded.Low = static_cast<ULONG>(multiplier & 0xFFFF);
        folded.Bias = ((dividend / denominator) << 32) + ((dividend % denominator) << 32) / denominator;
    }
    return true;
}

// The picking loops; a friend of FormatConverter, whose state they take over and leave as the
// reading loop of a whole ratio would after the same outputs.
struct GainedPicking {
    // The four frames of a group, k frames apart, as eight words: each 32-bit lane one frame
    // (two channels: left in the low word), or the low half four samples (one channel).
    template <ULONG Channels>
    static __m128i LoadGroup(const UCHAR* first, ULONG stride)
    {
        if constexpr (Channels == 2) {
            if (stride == 4) {
                return _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
            }
            const __m128i frames01 = _mm_unpacklo_epi32(_mm_loadu_si32(first), _mm_loadu_si32(first + stride));
            const __m128i frames23 =
                _mm_unpacklo_epi32(_mm_loadu_si32(first + 2 * stride), _mm_loadu_si32(first + 3 * stride));
            return _mm_unpacklo_epi64(frames01, frames23);
        } else {
            if (stride == 2) {
                return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(first));
            }
            const ULONG samples01 = static_cast<ULONG>(first[0]) | static_cast<ULONG>(first[1]) << 8 |
                                    static_cast<ULONG>(first[stride]) << 16 | static_cast<ULONG>(first[stride + 1]) << 24;
            const ULONG samples23 = static_cast<ULONG>(first[2 * stride]) |
                                    static_cast<ULONG>(first[2 * stride + 1]) << 8 |
                                    static_cast<ULONG>(first[3 * stride]) << 16 |
                                    static_cast<ULONG>(first[3 * stride + 1]) << 24;
            return _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(samples01)),
                                      _mm_cvtsi32_si128(static_cast<int>(samples23)));
        }
    }

    // The estimates (raised by the margin) of four U' lanes through one channel's gain, in the
    // order of lanes 0 2 1 3.
    static __m128i Estimates(__m128i scaledSums, __m128i multiplier, __m128i raisedBias)
    {
        const __m128i even = _mm_mul_epu32(scaledSums, multiplier);
        const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(scaledSums, 32), multiplier);
        return _mm_sub_epi32(
            _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(even), _mm_castsi128_ps(odd), _MM_SHUFFLE(3, 1, 3, 1))),
            raisedBias);
    }

    // Writes the outputs of count frames, stride bytes apart from first, with the exact arithmetic;
    // with Average the truncated average of the two channels' scaled samples.
    template <ULONG Channels, bool Average>
    static void WriteExactly(const PickingGain& gain, const UCHAR* first, ULONG stride, ULONG count, PUCHAR out)
    {
        if constexpr (Average) {
            for (ULONG frame = 0; frame < count; ++frame) {
                const LONGLONG sum =
                    static_cast<LONGLONG>(GainedSample(gain.Exact[0], LoadSample<2>(first + frame * stride))) +
                    GainedSample(gain.Exact[1], LoadSample<2>(first + frame * stride + 2));
                StoreSample<2>(out + 2 * frame, static_cast<LONG>(sum / 2));
            }
            return;
        }
        for (ULONG frame = 0; frame < count; ++frame) {
            for (ULONG channel = 0; channel < Channels; ++channel) {
                const LONG sample = LoadSample<2>(first + frame * stride + 2 * channel);
                const SHORT value = (sample == 0) ? 0 : GainedSample16(gain.Exact[channel], sample);
                out[2 * (frame * Channels + channel)] = static_cast<UCHAR>(value);
                out[2 * (frame * Channels + channel) + 1] = static_cast<UCHAR>(static_cast<USHORT>(value) >> 8);
            }
        }
    }

    // The outputs a call can take in the steady state: count frames stride bytes apart from
    // position, which lies past the bytes skip said were due; skip and left as they stand there.
    struct Span {
        const UCHAR* Position;
        ULONG Left;
        LONG Skip;
        ULONG Stride;
        ULONG Count;
    };

    // Finds the span of up to maxFrames outputs; false when there is none, having passed over the
    // bytes to skip as far as the source goes (as the reading loop would) or changed nothing when
    // the converter is not in the steady state.
    static bool BeginSpan(FormatConverter& converter, SourceCursor& source, ULONG frameBytes, ULONG maxFrames,
                          Span* span)
    {
        const ULONG destinationRate = converter.RateDivisor.Divisor;
        const ULONG ratio = converter.Source.Format.nSamplesPerSec / destinationRate;
        LONG skip = converter.Skip;
        if (maxFrames == 0 || converter.HaveA || converter.Phase >= destinationRate || (skip < 0 && ratio != 1)) {
            return false;
        }
        const UCHAR* position = source.Position;
        ULONG left = source.Left;
        if (skip > 0) {
            const ULONG passed = (static_cast<ULONG>(skip) < left) ? static_cast<ULONG>(skip) : left;
            position += passed;
            left -= passed;
            skip -= static_cast<LONG>(passed);
        }
        const ULONG stride = ratio * frameBytes;
        ULONG count = (skip <= 0 && left >= frameBytes) ? (left - frameBytes) / stride + 1 : 0;
        if (count > maxFrames) {
            count = maxFrames;
        }
        if (count == 0) {
            source.Position = position;
            source.Left = left;
            converter.Skip = skip;
            return false;
        }
        *span = Span{position, left, skip, stride, count};
        return true;
    }

    // The state after the span's last output, as the reading loop leaves it: its frame read
    // (frame A holds it, not held), then the step of k frames counted in skip.
    template <ULONG Channels>
    static void EndSpan(FormatConverter& converter, SourceCursor& source, const Span& span)
    {
        constexpr ULONG FrameBytes = 2 * Channels;
        const UCHAR* last = span.Position + (span.Count - 1) * span.Stride;
        for (ULONG channel = 0; channel < Channels; ++channel) {
            converter.FrameA.Samples[channel] = LoadSample<2>(last + 2 * channel);
        }
        const ULONG read = (span.Count - 1) * span.Stride + FrameBytes;
        source.Position = span.Position + read;
        source.Left = span.Left - read;
        converter.Skip = span.Skip + static_cast<LONG>(span.Stride - FrameBytes);
        converter.HaveB = FALSE;
    }

    // G >> 8 of four U lanes of channels 0 1 0 1 (or all of one channel) through their wide
    // gains, and in *clear the lanes whose estimate settles G.
    static __m128i WideOutputs(__m128i sums, __m128i high0, __m128i low0, __m128i bias0, __m128i high1,
                               __m128i low1, __m128i bias1, __m128i* clear)
    {
        const __m128i odd = _mm_srli_epi64(sums, 32);
        const __m128i even = _mm_sub_epi64(
            _mm_add_epi64(_mm_slli_epi64(_mm_mul_epu32(sums, high0), 16), _mm_mul_epu32(sums, low0)), bias0);
        const __m128i later = _mm_sub_epi64(
            _mm_add_epi64(_mm_slli_epi64(_mm_mul_epu32(odd, high1), 16), _mm_mul_epu32(odd, low1)), bias1);
        const __m128 evenWords = _mm_castsi128_ps(even);
        const __m128 laterWords = _mm_castsi128_ps(later);
        // The high halves H in lane order (from 0 2 1 3), the low ones in any order.
        const __m128i floors = _mm_shuffle_epi32(
            _mm_castps_si128(_mm_shuffle_ps(evenWords, laterWords, _MM_SHUFFLE(3, 1, 3, 1))), _MM_SHUFFLE(3, 1, 2, 0));
        const __m128i fractions = _mm_castps_si128(_mm_shuffle_ps(evenWords, laterWords, _MM_SHUFFLE(2, 0, 2, 0)));
        // Low halves from 2^17 to 2^32 - 2^17 - 1, with 2^31 + 2^17 added, compare signed.
        *clear = _mm_cmpgt_epi32(_mm_add_epi32(fractions, _mm_set1_epi32(static_cast<int>(0x80020000u))),
                                 _mm_set1_epi32(static_cast<int>(0x80040000u - 1)));
        return _mm_srai_epi32(_mm_sub_epi32(floors, _mm_srai_epi32(floors, 31)), 8);
    }

    // Four 24-bit samples (bits 0..23 of each lane) into 12 bytes at out; writes 2 bytes beyond.
    static void StorePacked24(PUCHAR out, __m128i samples)
    {
        // Per 64-bit half: the first sample in bits 0..23, the second in bits 24..47.
        const __m128i packed =
            _mm_or_si128(_mm_and_si128(samples, _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF)),
                         _mm_and_si128(_mm_srli_epi64(samples, 8), _mm_set_epi32(0xFFFF, static_cast<int>(0xFF000000u),
                                                                                0xFFFF, static_cast<int>(0xFF000000u))));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_unpackhi_epi64(packed, packed));
    }

    // Writes the 24-bit outputs of count frames, stride bytes apart from first, exactly.
    template <ULONG Channels>
    static void WriteExactly24(const WidePickingGain& gain, const UCHAR* first, ULONG stride, ULONG count, PUCHAR out)
    {
        for (ULONG frame = 0; frame < count; ++frame) {
            for (ULONG channel = 0; channel < Channels; ++channel) {
                StoreSample<3>(out + 3 * (frame * Channels + channel),
                               GainedSample(gain.Exact[channel], LoadSample<2>(first + frame * stride + 2 * channel)));
            }
        }
    }

    // As Run, into 24-bit frames of the same channels.
    template <ULONG Channels>
    static ULONG RunWide(FormatConverter& converter, SourceCursor& source, const WidePickingGain& gain, PUCHAR out,
                         ULONG maxFrames)
    {
        constexpr ULONG FrameBytes = 2 * Channels;
        constexpr ULONG OutputBytes = 3 * Channels;
        Span span;
        if (!BeginSpan(converter, source, FrameBytes, maxFrames, &span)) {
            return 0;
        }
        const WideFoldedGain& folded0 = gain.Folded[0];
        const WideFoldedGain& folded1 = gain.Folded[Channels - 1];
        const __m128i high0 = _mm_set1_epi32(static_cast<int>(folded0.High));
        const __m128i low0 = _mm_set1_epi32(static_cast<int>(folded0.Low));
        const __m128i bias0 = _mm_set1_epi64x(static_cast<long long>(folded0.Bias));
        const __m128i high1 = _mm_set1_epi32(static_cast<int>(folded1.High));
        const __m128i low1 = _mm_set1_epi32(static_cast<int>(folded1.Low));
        const __m128i bias1 = _mm_set1_epi64x(static_cast<long long>(folded1.Bias));
        const __m128i flip = _mm_set1_epi16(-32768);
        // The last group stays out of the vector loop, which stores 2 bytes beyond each group.
        const ULONG groups = (span.Count - 1) / 4;
        const ULONG stride = span.Stride;
        const UCHAR* from = span.Position;
        PUCHAR to = out;
        for (ULONG group = 0; group < groups; ++group, from += 4 * stride, to += 4 * OutputBytes) {
            // U = a + 32768: each sample with its top bit flipped, widened.
            const __m128i frames = _mm_xor_si128(LoadGroup<Channels>(from, stride), flip);
            __m128i clear = _mm_setzero_si128();
            if constexpr (Channels == 2) {
                __m128i clear23;
                StorePacked24(to, WideOutputs(_mm_unpacklo_epi16(frames, _mm_setzero_si128()), high0, low0, bias0,
                                              high1, low1, bias1, &clear));
                StorePacked24(to + 12, WideOutputs(_mm_unpackhi_epi16(frames, _mm_setzero_si128()), high0, low0,
                                                   bias0, high1, low1, bias1, &clear23));
                clear = _mm_and_si128(clear, clear23);
            } else {
                StorePacked24(to, WideOutputs(_mm_unpacklo_epi16(frames, _mm_setzero_si128()), high0, low0, bias0,
                                              high1, low1, bias1, &clear));
            }
            if (_mm_movemask_epi8(clear) != 0xFFFF) {
                WriteExactly24<Channels>(gain, from, stride, 4, to);
            }
        }
        WriteExactly24<Channels>(gain, from, stride, span.Count - 4 * groups, to);
        EndSpan<Channels>(converter, source, span);
        return span.Count;
    }

    // Converts up to maxFrames outputs from the source when the converter is in the steady state
    // of a whole ratio (frame A not held, the phase below the destination rate, and no frames read
    // ahead unless the ratio is one); returns the outputs, 0 otherwise or when the source has no
    // frame after the bytes to skip, which it passes over as the reading loop would. Leaves the state and the cursor as ReadEveryKth would.
    // With Average, two channels go into one as their truncated average.
    template <ULONG Channels, bool Average>
    static ULONG Run(FormatConverter& converter, SourceCursor& source, const PickingGain& gain, PUCHAR out,
                     ULONG maxFrames)
    {
        constexpr ULONG FrameBytes = 2 * Channels;
        constexpr ULONG OutputBytes = Average ? 2 : FrameBytes;
        Span span;
        if (!BeginSpan(converter, source, FrameBytes, maxFrames, &span)) {
            return 0;
        }
        const UCHAR* const position = span.Position;
        const ULONG stride = span.Stride;
        const ULONG count = span.Count;

        const FoldedGain& folded0 = gain.Folded[0];
        const FoldedGain& folded1 = gain.Folded[Channels - 1];
        const __m128i multiplier0 = _mm_set1_epi32(static_cast<int>(folded0.Multiplier));
        const __m128i multiplier1 = _mm_set1_epi32(static_cast<int>(folded1.Multiplier));
        const __m128i raisedBias0 = _mm_set1_epi32(static_cast<int>(folded0.Bias - FoldedGainMargin));
        const __m128i raisedBias1 = _mm_set1_epi32(static_cast<int>(folded1.Bias - FoldedGainMargin));
        const __m128i topBit = _mm_set1_epi32(static_cast<int>(0x80000000u));
        const __m128i lowWords = _mm_set1_epi32(0xFFFF);
        const __m128i places = _mm_set1_epi32(0x7FFF);
        const __m128i clearPlace = _mm_set1_epi16(2 * FoldedGainMargin - 1);
        const ULONG groups = count / 4;
        const UCHAR* from = position;
        PUCHAR to = out;
        for (ULONG group = 0; group < groups; ++group, from += 4 * stride, to += 4 * OutputBytes) {
            const __m128i frames = LoadGroup<Channels>(from, stride);
            if constexpr (Average) {
                // Each estimate is within 3 of half its scaled sample, so their sum, raised by
                // twice the margin, lies within 7 of the truncated average raised by it: the
                // outputs are its bits 16..31 where it is clear of the steps of 65536.
                const __m128i leftSums = _mm_xor_si128(_mm_slli_epi32(frames, 16), topBit);
                const __m128i rightSums = _mm_xor_si128(_mm_andnot_si128(lowWords, frames), topBit);
                const __m128i sums = _mm_shuffle_epi32(_mm_add_epi32(Estimates(leftSums, multiplier0, raisedBias0),
                                                                     Estimates(rightSums, multiplier1, raisedBias1)),
                                                       _MM_SHUFFLE(3, 1, 2, 0));
                const __m128i outputs = _mm_srai_epi32(sums, 16);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_packs_epi32(outputs, outputs));
                const __m128i clear = _mm_cmpgt_epi32(_mm_and_si128(sums, lowWords),
                                                      _mm_set1_epi32(4 * FoldedGainMargin - 1));
                if (_mm_movemask_epi8(clear) != 0xFFFF) {
                    // A frame of digital silence averages to 0 exactly.
                    const __m128i silent = _mm_cmpeq_epi32(frames, _mm_setzero_si128());
                    if (_mm_movemask_epi8(_mm_or_si128(clear, silent)) != 0xFFFF) {
                        WriteExactly<Channels, Average>(gain, from, stride, 4, to);
                    }
                }
            } else if constexpr (Channels == 2) {
                // U' of the left samples (low words) and of the right ones (high words).
                const __m128i leftSums = _mm_xor_si128(_mm_slli_epi32(frames, 16), topBit);
                const __m128i rightSums = _mm_xor_si128(_mm_andnot_si128(lowWords, frames), topBit);
                const __m128i left = Estimates(leftSums, multiplier0, raisedBias0);
                const __m128i right = Estimates(rightSums, multiplier1, raisedBias1);
                // Bits 15..30 of each estimate, left into the low words, right into the high
                // ones, then the frames from the order 0 2 1 3 into 0 1 2 3.
                const __m128i outputs = _mm_or_si128(_mm_and_si128(_mm_srli_epi32(left, 15), lowWords),
                                                     _mm_andnot_si128(lowWords, _mm_slli_epi32(right, 1)));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi32(outputs, _MM_SHUFFLE(3, 1, 2, 0)));
                const __m128i clear = _mm_cmpgt_epi16(
                    _mm_packs_epi32(_mm_and_si128(left, places), _mm_and_si128(right, places)), clearPlace);
                if (_mm_movemask_epi8(clear) != 0xFFFF) {
                    // Digital silence lies on a step but is exact: only other doubts are redone.
                    const __m128i silent =
                        _mm_cmpeq_epi16(_mm_shuffle_epi32(frames, _MM_SHUFFLE(3, 1, 2, 0)), _mm_setzero_si128());
                    const __m128i silentByChannel =
                        _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(silent, 16), 16), _mm_srai_epi32(silent, 16));
                    if (_mm_movemask_epi8(_mm_or_si128(clear, silentByChannel)) != 0xFFFF) {
                        WriteExactly<Channels, Average>(gain, from, stride, 4, to);
                    }
                }
            } else {
                // U' of the four samples, each in the high word of its lane.
                const __m128i sums = _mm_xor_si128(_mm_unpacklo_epi16(_mm_setzero_si128(), frames), topBit);
                const __m128i estimates = _mm_shuffle_epi32(Estimates(sums, multiplier0, raisedBias0),
                                                            _MM_SHUFFLE(3, 1, 2, 0));
                const __m128i outputs = _mm_srai_epi32(estimates, 15);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_packs_epi32(outputs, outputs));
                const __m128i inStep = _mm_and_si128(estimates, places);
                const __m128i clear = _mm_cmpgt_epi16(_mm_packs_epi32(inStep, inStep), clearPlace);
                if (_mm_movemask_epi8(clear) != 0xFFFF) {
                    const __m128i silent = _mm_cmpeq_epi16(frames, _mm_setzero_si128());
                    if ((_mm_movemask_epi8(_mm_or_si128(clear, silent)) & 0xFF) != 0xFF) {
                        WriteExactly<Channels, Average>(gain, from, stride, 4, to);
                    }
                }
            }
        }
        WriteExactly<Channels, Average>(gain, from, stride, count - 4 * groups, to);

        EndSpan<Channels>(converter, source, span);
        return count;
    }
};
