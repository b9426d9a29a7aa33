// Linear interpolation of 16-bit PCM straight into 16-bit PCM with the same channels (1 or 2),
// without a gain or with one at or below unity folded into the narrowing (folded_gain.h): the
// steady state of such a conversion goes from source to destination four outputs at a time with
// SSE2, past the internal block and the writing stage, to the same bytes. Kernel code for the timer
// DPC; included by the converter only.
#pragma once

#include "core/platform.h"

#include <emmintrin.h>

#include "engine/folded_gain.h"
#include "engine/format_converter.h"
#include "engine/resampling.h"
#include "engine/sample_codec.h"

// Why the short arithmetic below gives the converter's output exactly.
//
// For samples a of frame A and b of frame B, destination rate R and phase p, the converter writes
// trunc(65536 X / R) >> 16 (arithmetic shift), X = a (R - p) + b p. Let g = gcd(source rate, R),
// R = g R'. Phases start at 0 and move by the source rate modulo R, so p = g p' (checked before
// use: a Setup without Reset may leave any phase), and 65536 X / R = 65536 X' / R' with
// X' = a (R' - p') + b p'.
//   * trunc(65536 X' / R') >> 16 = floor(X' / R') when R' <= 65536. Write X' = q R' + r with
//     0 <= r < R'. For X' >= 0 the truncation is a floor, and floor(floor(65536 X' / R') / 65536)
//     = q. For X' < 0 it is 65536 q + ceil(65536 r / R'), and 65536 r <= 65536 (R' - 1) <= 65535 R',
//     so the ceiling is at most 65535 and the shift leaves q.
//   * With R' <= 32767 the weights R' - p' and p' fit signed 16 bits: pmaddwd forms X' in 32 bits
//     exactly (|X'| <= 32768 R' < 2^31), and U = X' + 32768 R' lies in 0 .. 65535 R'.
//   * floor(U / R') = (U m) >> k for c = ceil(log2 R') (1 .. 15), k = 31 + c, m = ceil(2^k / R'):
//     with e = m R' - 2^k, 0 <= e < R', and U = q R' + r, U m / 2^k = q + (r + U e / 2^k) / R',
//     where U e <= 65535 R' (R' - 1) < 2^16 2^(2c) <= 2^k (c <= 15), so the fraction stays below 1.
//     m < 2^32, as 2^32 - 2^k / R' = 2^32 (R' - 2^(c-1)) / R' >= 2^32 / R' > 1. With U < 2^31,
//     pmuludq forms U m exactly, and the quotient, below 2^16, is the product's high 32 bits
//     shifted right by k - 32 = c - 1.
// The output sample is floor(U / R') - 32768: the quotient with its top bit flipped.
constexpr ULONG MaxDirectRate = 32767;

// Fills direct for a conversion between the rates, or leaves its Channels 0 when R' is too large.
// Called by Setup for interpolating 16-bit conversions with equal channel counts of 1 or 2.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline void PrepareDirectInterpolation(DirectInterpolation* direct, ULONG sourceRate, ULONG destinationRate,
                                       ULONG channels)
{
    ULONG unit = sourceRate;
    ULONG other = destinationRate;
    while (other != 0) {
        ULONG rest = unit % other;
        unit = other;
        other = rest;
    }
    const ULONG rate = destinationRate / unit;
    const ULONG step = sourceRate / unit;
    direct->Channels = 0;
    if (rate < 2 || rate > MaxDirectRate) {
        return;
    }
    const ULONG log2Ceiling = 32 - static_cast<ULONG>(__builtin_clz(rate - 1));
    const ULONGLONG power = 1ULL << (31 + log2Ceiling);
    direct->Unit = unit;
    direct->Rate = rate;
    direct->Step = step;
    direct->StepFrames = step / rate;
    direct->StepRemainder = step % rate;
    direct->GroupFrames = 4 * step / rate;
    direct->GroupRemainder = 4 * step % rate;
    direct->Multiplier = static_cast<ULONG>((power + rate - 1) / rate);
    direct->Shift = log2Ceiling - 1;
    direct->Channels = static_cast<UCHAR>(channels);
}

// A gain table for the direct loops: each channel's gain folded into the narrowing (folded_gain.h),
// and prepared for the exact arithmetic of the outputs whose estimate is in doubt.
struct DirectGain {
    ULONG WeightShift;  // v: the weights, and so the sums U, come shifted left by it
    FoldedGain Folded[2];
    ChannelGain Exact[2];
};

// The scale e of the direct loops' folded estimates: G / 8, in steps of 8192 per output step.
constexpr ULONG DirectGainScaleBits = 3;

// Prepares the gains of a direct conversion's channels; false when a gain is above unity, which
// the direct loops do not take.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline bool PrepareDirectGain(DirectGain* gain, const DirectInterpolation& direct, const ScalePair* pairs,
                              const ChannelGain* prepared)
{
    // The largest v that keeps the weights, at most R 2^v, in pmaddwd's signed words: then
    // 16384 <= R 2^v <= 32767, so U' < 65536 * 32767 < 2^31 and, with e = 3, C <= 2^45 / 16384.
    ULONG shift = 0;
    while ((direct.Rate << (shift + 1)) <= 32767) {
        ++shift;
    }
    gain->WeightShift = shift;
    for (ULONG channel = 0; channel < direct.Channels; ++channel) {
        if (!PrepareFoldedGain(&gain->Folded[channel], pairs[channel], direct.Rate, shift, DirectGainScaleBits)) {
            return false;
        }
        gain->Exact[channel] = prepared[channel];
    }
    return true;
}

// The direct loops; a friend of FormatConverter, whose state they take over and leave as the
// reading loops would after the same outputs.
struct DirectInterpolator {
    // Source frames one stretch may span: frame offsets in bytes then fit the 16 bits that pextrw
    // takes out of a vector.
    static constexpr ULONG WindowFrames = 8192;

    // One output sample from samples a and b (16-bit values) and the weights of A and B.
    static USHORT Sample(const DirectInterpolation& direct, LONG a, LONG b, ULONG weightA, ULONG weightB)
    {
        ULONG sum = static_cast<ULONG>(a + 32768) * weightA + static_cast<ULONG>(b + 32768) * weightB;
        ULONG quotient =
            static_cast<ULONG>((static_cast<ULONGLONG>(sum) * direct.Multiplier) >> (32 + direct.Shift));
        return static_cast<USHORT>(quotient ^ 0x8000);
    }

    // The output sample of samples a and b (16-bit values) and the weights of A and B through a
    // gain, with the converter's arithmetic: the outputs whose folded estimate is in doubt.
    static SHORT GainedSample(const DirectInterpolation& direct, const ChannelGain& gain, LONG a, LONG b,
                              ULONG weightA, ULONG weightB)
    {
        const LONGLONG mixed = static_cast<LONGLONG>(a) * weightA + static_cast<LONGLONG>(b) * weightB;
        return GainedSample16(gain, static_cast<LONG>(mixed * 65536 / static_cast<LONGLONG>(direct.Rate)));
    }

    // The place within its step of 8192 of each estimate raised by the margin (folded_gain.h):
    // below twice the margin where the estimate lies too near a step.
    static __m128i PlaceInStep(__m128i raisedEstimates)
    {
        return _mm_and_si128(raisedEstimates, _mm_set1_epi32((1 << (16 - DirectGainScaleBits)) - 1));
    }

    // 16-bit lanes: all ones where a place in its step is clear of the steps.
    static __m128i ClearOfSteps(__m128i places)
    {
        return _mm_cmpgt_epi16(places, _mm_set1_epi16(2 * FoldedGainMargin - 1));
    }

    // Rewrites the output samples in doubt (16-bit lane masks in output order) of four outputs:
    // 0 where the sum is that of X = 0, the exact arithmetic elsewhere.
    template <ULONG Channels>
    static void SettleDoubts(const DirectInterpolation& direct, const DirectGain& gain, const UCHAR* const* pairs,
                             __m128i weights, __m128i silent, __m128i doubt, PUCHAR out)
    {
        constexpr ULONG FrameBytes = 2 * Channels;
        ULONG laneWeights[4];
        USHORT silentSamples[8];
        USHORT doubtSamples[8];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(laneWeights), weights);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(silentSamples), silent);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(doubtSamples), doubt);
        for (ULONG lane = 0; lane < 4; ++lane) {
            for (ULONG channel = 0; channel < Channels; ++channel) {
                const ULONG sample = lane * Channels + channel;
                if (doubtSamples[sample] == 0) {
                    continue;
                }
                USHORT value = 0;
                if (silentSamples[sample] == 0) {
                    LONG a = LoadSample<2>(pairs[lane] + 2 * channel) >> 16;
                    LONG b = LoadSample<2>(pairs[lane] + FrameBytes + 2 * channel) >> 16;
                    value = static_cast<USHORT>(GainedSample(direct, gain.Exact[channel], a, b,
                                                             (laneWeights[lane] & 0xFFFF) >> gain.WeightShift,
                                                             laneWeights[lane] >> (16 + gain.WeightShift)));
                }
                StoreOne<false>(out + 2 * sample, value);
            }
        }
    }

    // The high 32 bits of the four 64-bit products in low and high, in that order.
    static __m128i HighHalves(__m128i low, __m128i high)
    {
        // A shuffle of whole words: no floating-point arithmetic is involved.
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(low), _mm_castsi128_ps(high), _MM_SHUFFLE(3, 1, 3, 1)));
    }

    // Frames A and B of two outputs, each pair's eight bytes in one half.
    static __m128i LoadPairs(const UCHAR* low, const UCHAR* high)
    {
        const __m128d first = _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(low)));
        return _mm_castpd_si128(_mm_loadh_pd(first, reinterpret_cast<const double*>(high)));
    }

    // Eight output samples into out: written, or with Mix added to what is there with 16-bit
    // saturation, as the mix adds a stream into the cable.
    template <bool Mix>
    static void Store(PUCHAR out, __m128i samples)
    {
        __m128i* to = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(to, Mix ? _mm_adds_epi16(_mm_loadu_si128(to), samples) : samples);
    }

    // Four output samples, in the low half of samples; see Store.
    template <bool Mix>
    static void StoreHalf(PUCHAR out, __m128i samples)
    {
        __m128i* to = reinterpret_cast<__m128i*>(out);
        _mm_storel_epi64(to, Mix ? _mm_adds_epi16(_mm_loadl_epi64(to), samples) : samples);
    }

    // One output sample; see Store.
    template <bool Mix>
    static void StoreOne(PUCHAR out, USHORT sample)
    {
        LONG value = static_cast<SHORT>(sample);
        if (Mix) {
            value += LoadSample<2>(out) >> 16;
            value = (value > 32767) ? 32767 : (value < -32768) ? -32768 : value;
        }
        out[0] = static_cast<UCHAR>(value);
        out[1] = static_cast<UCHAR>(value >> 8);
    }

    // Writes (or with Mix adds, see Store) count outputs; output j interpolates the pair at base +
    // idx * frame size with phase p' (in units of direct.Unit), idx and p' the quotient and
    // remainder of phase + j * step by the rate. The caller keeps every pair inside the source and
    // idx below WindowFrames. With a gain (not with Mix) the outputs are those of the scaled
    // internal samples.
    template <ULONG Channels, bool Mix>
    static void Interpolate(const DirectInterpolation& direct, const DirectGain* gain, const UCHAR* base,
                            ULONG phase, ULONG count, PUCHAR out)
    {
        if constexpr (!Mix) {
            if (gain != nullptr) {
                InterpolateWith<Channels, false, true>(direct, gain, base, phase, count, out);
                return;
            }
        }
        InterpolateWith<Channels, Mix, false>(direct, gain, base, phase, count, out);
    }

    template <ULONG Channels, bool Mix, bool Gained>
    static void InterpolateWith(const DirectInterpolation& direct, const DirectGain* gain, const UCHAR* base,
                            ULONG phase, ULONG count, PUCHAR out)
    {
        // With a gain the weights come shifted left by v, so the sums are U' (folded_gain.h).
        const ULONG weightShift = Gained ? gain->WeightShift : 0;
        constexpr ULONG FrameBytes = 2 * Channels;
        const ULONG rate = direct.Rate;
        ULONG done = 0;
        if (count >= 4) {
            // Per lane, four outputs apart: v = 65535 (p' - rate), negative while p' is below the
            // rate, so v + 65536 rate = (p' << 16) | (rate - p') is the lane's pair of weights; and
            // the byte offset of its pair.
            LONG phases[4];
            LONG offsets[4];
            ULONG at = phase;
            ULONG frames = 0;
            for (ULONG lane = 0; lane < 4; ++lane) {
                phases[lane] = 65535 * (static_cast<LONG>(at) - static_cast<LONG>(rate)) * (1 << weightShift);
                offsets[lane] = static_cast<LONG>(frames * FrameBytes);
                at += direct.StepRemainder;
                frames += direct.StepFrames;
                if (at >= rate) {
                    at -= rate;
                    ++frames;
                }
            }
            __m128i lanePhases = _mm_setr_epi32(phases[0], phases[1], phases[2], phases[3]);
            __m128i laneOffsets = _mm_setr_epi32(offsets[0], offsets[1], offsets[2], offsets[3]);
            const __m128i weightBase = _mm_set1_epi32(static_cast<int>((65536 * rate) << weightShift));
            const __m128i bias = _mm_set1_epi32(static_cast<int>((32768 * rate) << weightShift));
            const __m128i multiplier = _mm_set1_epi32(static_cast<int>(direct.Multiplier));
            const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(direct.Shift));
            const __m128i phaseStep = _mm_set1_epi32(static_cast<int>((65535 * direct.GroupRemainder) << weightShift));
            const __m128i phaseWrap = _mm_set1_epi32(static_cast<int>((65535 * rate) << weightShift));
            // Pairs move on by the group's whole frames, and one more where the phase wraps.
            const __m128i offsetStep = _mm_set1_epi32(static_cast<int>((direct.GroupFrames + 1) * FrameBytes));
            const __m128i frameBytes = _mm_set1_epi32(static_cast<int>(FrameBytes));
            // With a gain: each channel's folded multiplier and bias.
            const FoldedGain folded0 = Gained ? gain->Folded[0] : FoldedGain{};
            const FoldedGain folded1 = Gained ? gain->Folded[Channels - 1] : FoldedGain{};
            const __m128i gainMultiplier0 = _mm_set1_epi32(static_cast<int>(folded0.Multiplier));
            const __m128i gainMultiplier1 = _mm_set1_epi32(static_cast<int>(folded1.Multiplier));
            // The estimates come raised by the margin: where one is clear of the steps, the raised
            // one lies in the same step, and where it is not, the output is redone.
            const __m128i gainBias0 = _mm_set1_epi32(static_cast<int>(folded0.Bias - FoldedGainMargin));
            const __m128i gainBias1 = _mm_set1_epi32(static_cast<int>(folded1.Bias - FoldedGainMargin));
            const ULONG groups = count / 4;
            const PUCHAR groupsEnd = out + groups * 4 * FrameBytes;
            for (PUCHAR to = out; to != groupsEnd; to += 4 * FrameBytes) {
                const __m128i weights = _mm_add_epi32(lanePhases, weightBase);
                const UCHAR* pair0 = base + _mm_extract_epi16(laneOffsets, 0);
                const UCHAR* pair1 = base + _mm_extract_epi16(laneOffsets, 2);
                const UCHAR* pair2 = base + _mm_extract_epi16(laneOffsets, 4);
                const UCHAR* pair3 = base + _mm_extract_epi16(laneOffsets, 6);
                if constexpr (Channels == 2) {
                    // Each pair's words aL aR bL bR, reordered aL bL aR bR for pmaddwd.
                    __m128i pairs01 = LoadPairs(pair0, pair1);
                    __m128i pairs23 = LoadPairs(pair2, pair3);
                    pairs01 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(pairs01, _MM_SHUFFLE(3, 1, 2, 0)),
                                                  _MM_SHUFFLE(3, 1, 2, 0));
                    pairs23 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(pairs23, _MM_SHUFFLE(3, 1, 2, 0)),
                                                  _MM_SHUFFLE(3, 1, 2, 0));
                    // U for L0 R0 L1 R1 and L2 R2 L3 R3.
                    const __m128i sums01 =
                        _mm_add_epi32(_mm_madd_epi16(pairs01, _mm_unpacklo_epi32(weights, weights)), bias);
                    const __m128i sums23 =
                        _mm_add_epi32(_mm_madd_epi16(pairs23, _mm_unpackhi_epi32(weights, weights)), bias);
                    if constexpr (Gained) {
                        // The sums are U' (the weights came shifted): the estimates of L0..L3 and
                        // of R0..R3.
                        const __m128i left = _mm_sub_epi32(HighHalves(_mm_mul_epu32(sums01, gainMultiplier0),
                                                                      _mm_mul_epu32(sums23, gainMultiplier0)),
                                                           gainBias0);
                        const __m128i right =
                            _mm_sub_epi32(HighHalves(_mm_mul_epu32(_mm_srli_epi64(sums01, 32), gainMultiplier1),
                                                     _mm_mul_epu32(_mm_srli_epi64(sums23, 32), gainMultiplier1)),
                                          gainBias1);
                        // Bits 13..28 of each estimate: the left ones into the low words, the right
                        // ones into the high words.
                        const __m128i lowWords = _mm_set1_epi32(0xFFFF);
                        Store<false>(to, _mm_or_si128(
                                             _mm_and_si128(_mm_srli_epi32(left, 16 - DirectGainScaleBits), lowWords),
                                             _mm_andnot_si128(lowWords, _mm_slli_epi32(right, DirectGainScaleBits))));
                        const __m128i clear = ClearOfSteps(_mm_packs_epi32(PlaceInStep(left), PlaceInStep(right)));
                        if (_mm_movemask_epi8(clear) != 0xFFFF) {
                            const UCHAR* pairs[4] = {pair0, pair1, pair2, pair3};
                            const __m128i silent =
                                _mm_packs_epi32(_mm_cmpeq_epi32(sums01, bias), _mm_cmpeq_epi32(sums23, bias));
                            // Lanes L0..L3 R0..R3 into frame order.
                            const __m128i doubt = _mm_unpacklo_epi16(clear, _mm_unpackhi_epi64(clear, clear));
                            SettleDoubts<Channels>(direct, *gain, pairs, weights, silent,
                                                   _mm_xor_si128(doubt, _mm_set1_epi32(-1)), to);
                        }
                    } else {
                        const __m128i left =
                            HighHalves(_mm_mul_epu32(sums01, multiplier), _mm_mul_epu32(sums23, multiplier));
                        const __m128i right = HighHalves(_mm_mul_epu32(_mm_srli_epi64(sums01, 32), multiplier),
                                                         _mm_mul_epu32(_mm_srli_epi64(sums23, 32), multiplier));
                        const __m128i frames = _mm_or_si128(_mm_srl_epi32(left, shift),
                                                            _mm_slli_epi32(_mm_srl_epi32(right, shift), 16));
                        Store<Mix>(to, _mm_xor_si128(frames, _mm_set1_epi16(-32768)));
                    }
                } else {
                    // Each pair's words a b are already in pmaddwd's order.
                    const __m128i pairs =
                        _mm_unpacklo_epi64(_mm_unpacklo_epi32(_mm_loadu_si32(pair0), _mm_loadu_si32(pair1)),
                                           _mm_unpacklo_epi32(_mm_loadu_si32(pair2), _mm_loadu_si32(pair3)));
                    const __m128i sums = _mm_add_epi32(_mm_madd_epi16(pairs, weights), bias);
                    if constexpr (Gained) {
                        // The sums are U': estimates of outputs 0 2 1 3, then put in order.
                        __m128i estimates = HighHalves(_mm_mul_epu32(sums, gainMultiplier0),
                                                       _mm_mul_epu32(_mm_srli_epi64(sums, 32), gainMultiplier0));
                        estimates = _mm_sub_epi32(_mm_shuffle_epi32(estimates, _MM_SHUFFLE(3, 1, 2, 0)), gainBias0);
                        const __m128i outputs = _mm_srai_epi32(estimates, 16 - DirectGainScaleBits);
                        StoreHalf<false>(to, _mm_packs_epi32(outputs, outputs));
                        const __m128i places = PlaceInStep(estimates);
                        const __m128i clear = ClearOfSteps(_mm_packs_epi32(places, places));
                        if (_mm_movemask_epi8(clear) != 0xFFFF) {
                            const UCHAR* pairs[4] = {pair0, pair1, pair2, pair3};
                            const __m128i silent = _mm_cmpeq_epi32(sums, bias);
                            SettleDoubts<Channels>(direct, *gain, pairs, weights, _mm_packs_epi32(silent, silent),
                                                   _mm_xor_si128(clear, _mm_set1_epi32(-1)), to);
                        }
                    } else {
                        // Outputs 0 2 1 3 from the even and odd lanes' products, then put in order.
                        __m128i quotients = HighHalves(_mm_mul_epu32(sums, multiplier),
                                                       _mm_mul_epu32(_mm_srli_epi64(sums, 32), multiplier));
                        quotients = _mm_shuffle_epi32(quotients, _MM_SHUFFLE(3, 1, 2, 0));
                        quotients = _mm_sub_epi32(_mm_srl_epi32(quotients, shift), _mm_set1_epi32(32768));
                        StoreHalf<Mix>(to, _mm_packs_epi32(quotients, quotients));
                    }
                }
                // Four outputs on: each lane's phase by 4 * step modulo the rate (v stays negative
                // where it does not wrap), its pair by the whole frames passed.
                const __m128i moved = _mm_add_epi32(lanePhases, phaseStep);
                const __m128i kept = _mm_srai_epi32(moved, 31);
                lanePhases = _mm_sub_epi32(moved, _mm_andnot_si128(kept, phaseWrap));
                laneOffsets = _mm_add_epi32(laneOffsets, _mm_sub_epi32(offsetStep, _mm_and_si128(kept, frameBytes)));
            }
            done = groups * 4;
        }
        // The last outputs one at a time.
        const ULONG position = phase + done * direct.Step;
        ULONG at = position % rate;
        const UCHAR* pair = base + (position / rate) * FrameBytes;
        for (; done < count; ++done) {
            for (ULONG channel = 0; channel < Channels; ++channel) {
                LONG a = LoadSample<2>(pair + 2 * channel) >> 16;
                LONG b = LoadSample<2>(pair + FrameBytes + 2 * channel) >> 16;
                if constexpr (Gained) {
                    StoreOne<false>(out + done * FrameBytes + 2 * channel,
                                    static_cast<USHORT>(GainedSample(direct, gain->Exact[channel], a, b, rate - at, at)));
                } else {
                    StoreOne<Mix>(out + done * FrameBytes + 2 * channel, Sample(direct, a, b, rate - at, at));
                }
            }
            at += direct.StepRemainder;
            pair += direct.StepFrames * FrameBytes;
            if (at >= rate) {
                at -= rate;
                pair += FrameBytes;
            }
        }
    }

    // Converts as many outputs as the source holds pairs for, up to maxFrames, when the converter
    // is in the steady state of interpolation; 0, with nothing changed, otherwise, or when the
    // source (which starts at start) has not one frame. Outputs whose pair begins with frames held
    // from the previous call take them from a copy beside the source's first frame. Leaves the
    // state and the cursor as the reading loops would: the read position just past the last
    // output's B, and any step after it in skip and the frame flags. With Mix the outputs are added
    // into out (see Store); with a gain (not with Mix) they are those of the scaled samples.
    template <ULONG Channels, bool Mix>
    static ULONG Convert(FormatConverter& converter, SourceCursor& source, const UCHAR* start, PUCHAR out,
                         ULONG maxFrames, const DirectGain* gain)
    {
        constexpr ULONG FrameBytes = 2 * Channels;
        const DirectInterpolation& direct = converter.Direct;
        const UCHAR* const end = source.Position + source.Left;
        if (converter.Phase >= converter.RateDivisor.Divisor || converter.Phase % direct.Unit != 0 ||
            static_cast<ULONG>(end - start) < FrameBytes) {
            return 0;
        }
        ULONG phase = converter.Phase / direct.Unit;
        ULONG produced = 0;
        const UCHAR* base = nullptr;  // frame A of the next output
        const UCHAR* lastPair = nullptr;  // frames A and B of the last output, or a copy of them
        const UCHAR* position = nullptr;  // the read position after the last output
        ULONG lastStep = 0;

        // The frames held from the previous call, then the source's first frame.
        UCHAR staging[3 * FrameBytes];
        const ULONG held = HeldBytes(converter, FrameBytes);
        const ULONG passed = static_cast<ULONG>(source.Position - start);
        if (held > passed) {
            // Only whole frames were read in this call, and no bytes skipped, so the pair's first
            // `behind` frames are the ones held and the next is the source's first.
            const ULONG behind = (held - passed) / FrameBytes;
            for (ULONG channel = 0; channel < Channels; ++channel) {
                StoreSample<2>(staging + 2 * channel, converter.FrameA.Samples[channel]);
                StoreSample<2>(staging + FrameBytes + 2 * channel, converter.FrameB.Samples[channel]);
            }
            RtlCopyMemory(staging + behind * FrameBytes, start, FrameBytes);
            // The outputs whose pair starts before the source: phase + j step < behind rate.
            ULONG count = (behind * direct.Rate - phase + direct.Step - 1) / direct.Step;
            if (count > maxFrames) {
                count = maxFrames;
            }
            Interpolate<Channels, Mix>(direct, gain, staging, phase, count, out);
            out += count * FrameBytes;
            produced = count;
            const ULONG lastPosition = phase + (count - 1) * direct.Step;
            const ULONG nextPosition = lastPosition + direct.Step;
            const ULONG lastIndex = lastPosition / direct.Rate;
            const ULONG nextIndex = nextPosition / direct.Rate;
            lastPair = staging + lastIndex * FrameBytes;
            position = start + (lastIndex + 2 - behind) * FrameBytes;
            lastStep = nextIndex - lastIndex;
            phase = nextPosition % direct.Rate;
            if (nextIndex < behind) {
                base = end;  // the room ran out first
            } else {
                base = start + (nextIndex - behind) * FrameBytes;
            }
        } else if (!PairInSource(converter, source, FrameBytes, &base)) {
            return 0;
        }

        ULONG frames = (base <= end) ? static_cast<ULONG>(end - base) / FrameBytes : 0;  // from base on
        if (produced == 0 && frames < 2) {
            return 0;
        }
        while (produced < maxFrames && frames >= 2) {
            // Output j of the stretch uses frames idx_j and idx_j + 1, idx_j = (phase + j step) / rate:
            // all below the window's frames while phase + j step < (window - 1) rate.
            ULONG window = (frames < WindowFrames) ? frames : WindowFrames;
            ULONG count = ((window - 1) * direct.Rate - phase + direct.Step - 1) / direct.Step;
            if (count > maxFrames - produced) {
                count = maxFrames - produced;
            }
            Interpolate<Channels, Mix>(direct, gain, base, phase, count, out);
            out += count * FrameBytes;
            produced += count;

            const ULONG lastPosition = phase + (count - 1) * direct.Step;
            const ULONG nextPosition = lastPosition + direct.Step;
            const ULONG lastIndex = lastPosition / direct.Rate;
            const ULONG nextIndex = nextPosition / direct.Rate;
            lastPair = base + lastIndex * FrameBytes;
            position = lastPair + 2 * FrameBytes;
            lastStep = nextIndex - lastIndex;
            phase = nextPosition % direct.Rate;
            if (nextIndex + 2 > frames) {
                break;
            }
            base += nextIndex * FrameBytes;
            frames -= nextIndex;
        }

        // The state after the last output: its pair read, then the step to the next output's pair
        // taken as the bookkeeping of the reading loops takes it.
        for (ULONG channel = 0; channel < Channels; ++channel) {
            LONG a = LoadSample<2>(lastPair + 2 * channel);
            LONG b = LoadSample<2>(lastPair + FrameBytes + 2 * channel);
            converter.FrameA.Samples[channel] = (lastStep == 1) ? b : a;
            converter.FrameB.Samples[channel] = b;
        }
        converter.HaveA = (lastStep <= 1) ? TRUE : FALSE;
        converter.HaveB = (lastStep == 0) ? TRUE : FALSE;
        converter.Skip = (static_cast<LONG>(lastStep) - 2) * static_cast<LONG>(FrameBytes);
        converter.Phase = phase * direct.Unit;
        source.Left -= static_cast<ULONG>(position - source.Position);
        source.Position = position;
        return produced;
    }

    // Converts up to maxFrames outputs while the steady state lasts, from the source that starts
    // at start; returns the outputs. *ended tells that it stopped with outputs still wanted and
    // source left that the steady state cannot take, such as a frame held from before the source
    // began or its last frame: the reading loops take it from there. The gain, when given, is
    // prepared for the converter's channels (not with Mix).
    template <bool Mix>
    static ULONG Run(FormatConverter& converter, SourceCursor& source, const UCHAR* start, PUCHAR out,
                     ULONG maxFrames, const DirectGain* gain, bool* ended)
    {
        const ULONG frameBytes = 2 * converter.Direct.Channels;
        ULONG produced = 0;
        *ended = false;
        while (produced < maxFrames) {
            ULONG frames = (converter.Direct.Channels == 2)
                               ? Convert<2, Mix>(converter, source, start, out, maxFrames - produced, gain)
                               : Convert<1, Mix>(converter, source, start, out, maxFrames - produced, gain);
            if (frames == 0) {
                *ended = true;
                break;
            }
            out += frames * frameBytes;
            produced += frames;
            if (!converter.HaveB && converter.Skip <= 0 && source.Left < frameBytes) {
                break;  // the next output needs a frame, and the source has none left
            }
        }
        return produced;
    }

    // Bytes of the next output's pair already read, which end at the read position: two frames
    // with A and B held, one with only A held (after a step of one frame); 0 in any other state,
    // such as one a Setup without Reset leaves, where skip does not count from the pair.
    static ULONG HeldBytes(const FormatConverter& converter, ULONG frameBytes)
    {
        const LONG frame = static_cast<LONG>(frameBytes);
        if (converter.HaveA && converter.HaveB && converter.Skip == -2 * frame) {
            return 2 * frameBytes;
        }
        if (converter.HaveA && !converter.HaveB && converter.Skip == -frame) {
            return frameBytes;
        }
        return 0;
    }

    // Where the next output's pair of frames starts when it lies wholly in this call's source:
    // the bytes held before the read position, or with no frame held, after the bytes to skip.
    static bool PairInSource(const FormatConverter& converter, const SourceCursor& source, ULONG frameBytes,
                             const UCHAR** pair)
    {
        const ULONG held = HeldBytes(converter, frameBytes);
        if (held != 0) {
            *pair = source.Position - held;
            return true;
        }
        const LONG skip = converter.Skip;
        if (!converter.HaveA && !converter.HaveB && skip >= 0 && static_cast<ULONG>(skip) <= source.Left) {
            *pair = source.Position + skip;
            return true;
        }
        return false;
    }
};
