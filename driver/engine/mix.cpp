// Saturating mix and in-place gain of the cable's mix buffer, sixteen bytes at a time with SSE2,
// the one vector extension a DPC may use without saving extended state. Every vector routine
// gives the same bytes as the one-sample arithmetic beside it, which also takes the tails.
#include "core/platform.h"

#include <emmintrin.h>

#include "engine/audio_format.h"
#include "engine/mix.h"
#include "engine/sample_codec.h"

namespace {

constexpr ULONG VectorBytes = 16;

// The mix loops run a few dozen passes per call, and how their first instructions fall against
// the processor's 64-byte fetch blocks moved the 8-bit mix by a third from one build to the next;
// the mix routines start on such a block (aligned(64)), so their loops sit the same way in
// every build.

// Four vectors per step: the loads of a step do not wait on the stores of the one before, which
// keeps the add at the speed of the loads and stores themselves.
template <typename AddVectors>
ULONG MixVectors(PUCHAR destination, const UCHAR* source, ULONG bytes, AddVectors add)
{
    ULONG done = 0;
    for (; done + 4 * VectorBytes <= bytes; done += 4 * VectorBytes) {
        __m128i* mixed = reinterpret_cast<__m128i*>(destination + done);
        const __m128i* added = reinterpret_cast<const __m128i*>(source + done);
        __m128i m0 = _mm_loadu_si128(mixed);
        __m128i m1 = _mm_loadu_si128(mixed + 1);
        __m128i m2 = _mm_loadu_si128(mixed + 2);
        __m128i m3 = _mm_loadu_si128(mixed + 3);
        __m128i a0 = _mm_loadu_si128(added);
        __m128i a1 = _mm_loadu_si128(added + 1);
        __m128i a2 = _mm_loadu_si128(added + 2);
        __m128i a3 = _mm_loadu_si128(added + 3);
        _mm_storeu_si128(mixed, add(m0, a0));
        _mm_storeu_si128(mixed + 1, add(m1, a1));
        _mm_storeu_si128(mixed + 2, add(m2, a2));
        _mm_storeu_si128(mixed + 3, add(m3, a3));
    }
    for (; done + VectorBytes <= bytes; done += VectorBytes) {
        __m128i* mixed = reinterpret_cast<__m128i*>(destination + done);
        _mm_storeu_si128(mixed, add(_mm_loadu_si128(mixed),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done))));
    }
    return done;
}

// 8-bit samples are offset binary: flipping the top bit makes them two's complement, so the
// signed saturating add applies, and flipping back restores the offset.
__attribute__((aligned(64))) void MixUnsigned8(PUCHAR destination, const UCHAR* source, ULONG bytes)
{
    const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80));
    ULONG done = MixVectors(destination, source, bytes, [offset](__m128i mixed, __m128i added) {
        return _mm_xor_si128(_mm_adds_epi8(_mm_xor_si128(mixed, offset), _mm_xor_si128(added, offset)), offset);
    });
    for (; done < bytes; ++done) {
        LONG sum = (static_cast<LONG>(destination[done]) - 0x80) + (static_cast<LONG>(source[done]) - 0x80);
        sum = (sum > 127) ? 127 : (sum < -128) ? -128 : sum;
        destination[done] = static_cast<UCHAR>(sum + 0x80);
    }
}

__attribute__((aligned(64))) void MixSigned16(PUCHAR destination, const UCHAR* source, ULONG bytes)
{
    ULONG done = MixVectors(destination, source, bytes,
                            [](__m128i mixed, __m128i added) { return _mm_adds_epi16(mixed, added); });
    for (; done + 2 <= bytes; done += 2) {
        LONG sum = (LoadSample<2>(destination + done) >> 16) + (LoadSample<2>(source + done) >> 16);
        sum = (sum > 32767) ? 32767 : (sum < -32768) ? -32768 : sum;
        StoreSample<2>(destination + done, static_cast<LONG>(static_cast<ULONG>(sum) << 16));
    }
}

// Adds two internal samples (container bits at the top, the rest zero); on overflow the result
// is the bound in the direction of the overflow.
inline LONG AddSaturating(LONG a, LONG b)
{
    LONG sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        sum = (a < 0) ? (-2147483647 - 1) : 2147483647;
    }
    return sum;
}

// A signed add overflowed where both operands have a sign that the sum does not: the sign bit of
// (a ^ sum) & (b ^ sum), in whatever lane width the add used.
inline __m128i OverflowSigns(__m128i a, __m128i b, __m128i sum)
{
    return _mm_and_si128(_mm_xor_si128(a, sum), _mm_xor_si128(b, sum));
}

// The 32-bit sums, with the lanes that overflowed replaced by the bound on their operands' side.
inline __m128i SaturateSums32(__m128i a, __m128i sum, __m128i overflow)
{
    const __m128i overflowed = _mm_srai_epi32(overflow, 31);
    const __m128i bound = _mm_xor_si128(_mm_srai_epi32(a, 31), _mm_set1_epi32(0x7FFFFFFF));
    return _mm_or_si128(_mm_andnot_si128(overflowed, sum), _mm_and_si128(overflowed, bound));
}

// Audio rarely clips, so a step adds four vectors, checks them for overflow at once and replaces
// bounds only in a step where some lane overflowed.
__attribute__((aligned(64))) void MixSigned32(PUCHAR destination, const UCHAR* source, ULONG bytes)
{
    ULONG done = 0;
    for (; done + 4 * VectorBytes <= bytes; done += 4 * VectorBytes) {
        __m128i* mixed = reinterpret_cast<__m128i*>(destination + done);
        const __m128i* added = reinterpret_cast<const __m128i*>(source + done);
        __m128i m[4];
        __m128i sums[4];
        __m128i overflows[4];
        #pragma GCC unroll 4
        for (ULONG i = 0; i < 4; ++i) {
            m[i] = _mm_loadu_si128(mixed + i);
            __m128i a = _mm_loadu_si128(added + i);
            sums[i] = _mm_add_epi32(m[i], a);
            overflows[i] = OverflowSigns(m[i], a, sums[i]);
        }
        __m128i any = _mm_or_si128(_mm_or_si128(overflows[0], overflows[1]), _mm_or_si128(overflows[2], overflows[3]));
        if ((_mm_movemask_epi8(any) & 0x8888) != 0) {
            #pragma GCC unroll 4
            for (ULONG i = 0; i < 4; ++i) {
                sums[i] = SaturateSums32(m[i], sums[i], overflows[i]);
            }
        }
        #pragma GCC unroll 4
        for (ULONG i = 0; i < 4; ++i) {
            _mm_storeu_si128(mixed + i, sums[i]);
        }
    }
    for (; done + VectorBytes <= bytes; done += VectorBytes) {
        __m128i* mixed = reinterpret_cast<__m128i*>(destination + done);
        __m128i m = _mm_loadu_si128(mixed);
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done));
        __m128i sum = _mm_add_epi32(m, a);
        _mm_storeu_si128(mixed, SaturateSums32(m, sum, OverflowSigns(m, a, sum)));
    }
    for (; done + 4 <= bytes; done += 4) {
        StoreSample<4>(destination + done, AddSaturating(LoadSample<4>(destination + done), LoadSample<4>(source + done)));
    }
}

// Packed 24-bit samples go 48 bytes (16 samples) at a time, as four vectors that each hold two
// 6-byte pairs of samples, one pair at the bottom of each 64-bit lane: sample bits 0..23 and
// 24..47 of the lane; bits 48..63 carry bytes of no interest.
constexpr ULONG PackedBlockBytes = 48;

// Reads a 48-byte block in that layout with eight 8-byte loads; the last pair is read from the
// block's last 8 bytes and shifted down, so nothing past the block is read.
inline void LoadPairs24(const UCHAR* block, __m128i pairs[4])
{
    auto load8 = [block](ULONG at) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(block + at)); };
    pairs[0] = _mm_unpacklo_epi64(load8(0), load8(6));
    pairs[1] = _mm_unpacklo_epi64(load8(12), load8(18));
    pairs[2] = _mm_unpacklo_epi64(load8(24), load8(30));
    pairs[3] = _mm_unpacklo_epi64(load8(36), _mm_srli_epi64(load8(40), 16));
}

// Writes four vectors of pairs back as a 48-byte block with eight 8-byte stores in ascending
// order, each one overwriting the two spare bytes that the one before wrote past its pair; the
// last pair goes out as the block's last 8 bytes, behind the end of the pair before it, so
// nothing past the block is written.
inline void StorePairs24(PUCHAR block, const __m128i pairs[4])
{
    auto store8 = [block](ULONG at, __m128i value) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(block + at), value);
    };
    store8(0, pairs[0]);
    store8(6, _mm_unpackhi_epi64(pairs[0], pairs[0]));
    store8(12, pairs[1]);
    store8(18, _mm_unpackhi_epi64(pairs[1], pairs[1]));
    store8(24, pairs[2]);
    store8(30, _mm_unpackhi_epi64(pairs[2], pairs[2]));
    store8(36, pairs[3]);
    const __m128i lastTwoBytes = _mm_and_si128(_mm_srli_epi64(pairs[3], 32), _mm_set_epi32(0, 0, 0, 0xFFFF));
    store8(40, _mm_or_si128(_mm_slli_epi64(_mm_unpackhi_epi64(pairs[3], pairs[3]), 16), lastTwoBytes));
}

// Sign bits of the two samples in each lane of the pair layout.
inline __m128i PairSignBits()
{
    return _mm_set1_epi64x(0x0000800000800000LL);
}

// 24-bit samples sit in bits 8..31 of the internal sample, so a 32-bit overflow is a 24-bit one,
// and the upper bound keeps bits 0..7 clear (0x7FFFFF00) for the narrowing back: the bounds are
// 0x7FFFFF and 0x800000, and the pairs are added within their lanes without widening. The 64-bit
// add carries from the first sample of a pair into the second; the carry into bit 24 is bit 24 of
// a ^ b ^ (a + b), and taking it off again leaves both 24-bit sums as they wrap.
__attribute__((aligned(64))) void MixSigned24(PUCHAR destination, const UCHAR* source, ULONG bytes)
{
    const __m128i signs = PairSignBits();
    const __m128i secondSampleBit = _mm_set1_epi64x(1LL << 24);
    ULONG done = 0;
    for (; done + PackedBlockBytes <= bytes; done += PackedBlockBytes) {
        __m128i m[4];
        __m128i a[4];
        LoadPairs24(destination + done, m);
        LoadPairs24(source + done, a);
        __m128i sums[4];
        __m128i differentSigns[4];
        __m128i any = _mm_setzero_si128();
        #pragma GCC unroll 4
        for (ULONG i = 0; i < 4; ++i) {
            differentSigns[i] = _mm_xor_si128(m[i], a[i]);
            const __m128i wide = _mm_add_epi64(m[i], a[i]);
            sums[i] = _mm_sub_epi64(wide, _mm_and_si128(_mm_xor_si128(differentSigns[i], wide), secondSampleBit));
            any = _mm_or_si128(any, _mm_andnot_si128(differentSigns[i], _mm_xor_si128(m[i], sums[i])));
        }
        if (_mm_movemask_epi8(_mm_and_si128(any, signs)) != 0) {
            #pragma GCC unroll 4
            for (ULONG i = 0; i < 4; ++i) {
                // A sign bit at 23 or 47 spreads into a mask of its sample's 24 bits; the bound is
                // 0x7FFFFF where the wrapped sum turned negative (a positive overflow), else 0x800000.
                const __m128i overflows =
                    _mm_and_si128(_mm_andnot_si128(differentSigns[i], _mm_xor_si128(m[i], sums[i])), signs);
                const __m128i overflowed = _mm_sub_epi64(_mm_slli_epi64(overflows, 1), _mm_srli_epi64(overflows, 23));
                const __m128i bound = _mm_sub_epi64(signs, _mm_srli_epi64(_mm_and_si128(sums[i], signs), 23));
                sums[i] = _mm_xor_si128(sums[i], _mm_and_si128(_mm_xor_si128(sums[i], bound), overflowed));
            }
        }
        StorePairs24(destination + done, sums);
    }
    for (; done + 3 <= bytes; done += 3) {
        StoreSample<3>(destination + done, AddSaturating(LoadSample<3>(destination + done), LoadSample<3>(source + done)));
    }
}

using MixRoutine = void (*)(PUCHAR destination, const UCHAR* source, ULONG bytes);

// By container width in bytes; widths above 4 take the 32-bit add.
const MixRoutine MixRoutines[] = {nullptr, MixUnsigned8, MixSigned16, MixSigned24, MixSigned32};

}  // namespace

void MixIntoBuffer(const WAVEFORMATEXTENSIBLE* cableFormat, PUCHAR destination, const UCHAR* source, ULONG bytes)
{
    const ULONG channels = cableFormat->Format.nChannels;
    ULONG width = (channels != 0) ? cableFormat->Format.nBlockAlign / channels : 0;
    if (width == 0) {
        return;
    }
    if (width > 4) {
        width = 4;
    }
    MixRoutines[width](destination, source, bytes);
}

namespace {

// The gain stage computes trunc(x * n / d) for every internal sample x (|x| <= 2^31) of a channel
// as floor(|x| * M / 2^64) with the sign put back, where M = ceil(n * 2^64 / d):
//   * with x*n/d = Q + r/d (0 <= r < d) and e = M - n*2^64/d in [0, 1), |x|*M / 2^64 exceeds
//     Q + r/d by |x|*e / 2^64 < 2^-33;
//   * the vectors take the product in 32-bit halves, dropping the bits below 2^32 of the lower
//     half and adding one unit of 2^32 instead, which moves the result by less than another 2^-32:
//     the value lies in (Q + r/d, Q + r/d + 1.5 * 2^-32), below Q + 1 whenever d < 2^32 / 1.5.
// So gains of unity and below with d up to 2^31 (every volume level gives such a gain) go this
// way; M is 0 for silence, and 2^64 - 1 for unity, where the added unit makes the result exactly
// |x|. Gains above unity, which saturate, keep the one-sample loops.
constexpr ULONGLONG MaxLaneDenominator = 0x80000000ULL;

// M for one channel, or false if the pair needs the one-sample loops.
bool PrepareLaneMultiplier(ScalePair pair, ULONGLONG* multiplier)
{
    if (pair.Numerator == 0 || pair.Denominator == 0) {
        *multiplier = 0;
        return true;
    }
    if (pair.Numerator == pair.Denominator) {
        *multiplier = ~0ULL;
        return true;
    }
    if (pair.Numerator > pair.Denominator || pair.Denominator > MaxLaneDenominator) {
        return false;
    }
    // ceil(n * 2^64 / d) by long division in two 32-bit steps; n < d keeps each quotient in 32 bits.
    const ULONGLONG d = pair.Denominator;
    const ULONGLONG high = (static_cast<ULONGLONG>(pair.Numerator) << 32) / d;
    const ULONGLONG lowDividend = ((static_cast<ULONGLONG>(pair.Numerator) << 32) % d) << 32;
    *multiplier = (high << 32) + lowDividend / d + ((lowDividend % d != 0) ? 1 : 0);
    return true;
}

// The multipliers of the four samples of one vector, split for _mm_mul_epu32, which multiplies
// lanes 0 and 2: the even lanes' halves in place, the odd lanes' halves moved down to 0 and 2.
struct LaneGains {
    __m128i HighEven;
    __m128i LowEven;
    __m128i HighOdd;
    __m128i LowOdd;
};

// Interleaved channels repeat every lcm(4, channels) samples: at most 7 vectors (7 channels).
constexpr ULONG MaxLanePhases = 7;

ULONG LanePhaseCount(ULONG channels)
{
    return (channels % 4 == 0) ? channels / 4 : (channels % 2 == 0) ? channels / 2 : channels;
}

void PrepareLanePhases(const ULONGLONG* multipliers, ULONG channels, LaneGains* phases)
{
    const ULONG phaseCount = LanePhaseCount(channels);
    ULONG channel = 0;
    for (ULONG phase = 0; phase < phaseCount; ++phase) {
        ULONGLONG m[4];
        for (ULONG lane = 0; lane < 4; ++lane) {
            m[lane] = multipliers[channel];
            channel = (channel + 1 == channels) ? 0 : channel + 1;
        }
        auto high = [](ULONGLONG value) { return static_cast<int>(value >> 32); };
        auto low = [](ULONGLONG value) { return static_cast<int>(value); };
        phases[phase].HighEven = _mm_set_epi32(0, high(m[2]), 0, high(m[0]));
        phases[phase].LowEven = _mm_set_epi32(0, low(m[2]), 0, low(m[0]));
        phases[phase].HighOdd = _mm_set_epi32(0, high(m[3]), 0, high(m[1]));
        phases[phase].LowOdd = _mm_set_epi32(0, low(m[3]), 0, low(m[1]));
    }
}

// trunc(x * n / d) for four internal samples, as set out above.
inline __m128i ScaleInternal(__m128i samples, const LaneGains& gains)
{
    const __m128i unit = _mm_set_epi32(0, 1, 0, 1);
    const __m128i sign = _mm_srai_epi32(samples, 31);
    const __m128i magnitude = _mm_sub_epi32(_mm_xor_si128(samples, sign), sign);  // 2^31 stays 2^31, unsigned
    const __m128i oddMagnitude = _mm_srli_epi64(magnitude, 32);
    __m128i even = _mm_add_epi64(_mm_mul_epu32(magnitude, gains.HighEven),
                                 _mm_srli_epi64(_mm_mul_epu32(magnitude, gains.LowEven), 32));
    __m128i odd = _mm_add_epi64(_mm_mul_epu32(oddMagnitude, gains.HighOdd),
                                _mm_srli_epi64(_mm_mul_epu32(oddMagnitude, gains.LowOdd), 32));
    even = _mm_add_epi64(even, unit);
    odd = _mm_add_epi64(odd, unit);
    const __m128i quotient = _mm_or_si128(_mm_srli_epi64(even, 32),
                                          _mm_and_si128(odd, _mm_set_epi32(-1, 0, -1, 0)));
    return _mm_sub_epi32(_mm_xor_si128(quotient, sign), sign);
}

// Steps through the vectors of a buffer, each one phase further through the channel pattern.
// Each vector routine keeps its own copy, so the position stays in a register.
class LanePhase {
public:
    LanePhase(const LaneGains* phases, ULONG count) : phases_(phases), count_(count), at_(0) {}

    const LaneGains& Next()
    {
        const LaneGains& gains = phases_[at_];
        at_ = (at_ + 1 == count_) ? 0 : at_ + 1;
        return gains;
    }

private:
    const LaneGains* phases_;
    ULONG count_;
    ULONG at_;
};

// Each routine scales whole vectors from the start of the buffer and returns the bytes it did;
// the samples after them are left to the one-sample loop.
ULONG ScaleVectors8(PUCHAR buffer, ULONG bytes, const LaneGains* phases, ULONG phaseCount)
{
    LanePhase phase(phases, phaseCount);
    const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i zero = _mm_setzero_si128();
    ULONG done = 0;
    for (; done + VectorBytes <= bytes; done += VectorBytes) {
        __m128i* at = reinterpret_cast<__m128i*>(buffer + done);
        const __m128i samples = _mm_xor_si128(_mm_loadu_si128(at), offset);
        const __m128i low = _mm_unpacklo_epi8(zero, samples);  // sample << 8 in 16-bit lanes
        const __m128i high = _mm_unpackhi_epi8(zero, samples);
        __m128i s0 = ScaleInternal(_mm_unpacklo_epi16(zero, low), phase.Next());
        __m128i s1 = ScaleInternal(_mm_unpackhi_epi16(zero, low), phase.Next());
        __m128i s2 = ScaleInternal(_mm_unpacklo_epi16(zero, high), phase.Next());
        __m128i s3 = ScaleInternal(_mm_unpackhi_epi16(zero, high), phase.Next());
        const __m128i words0 = _mm_packs_epi32(_mm_srai_epi32(s0, 24), _mm_srai_epi32(s1, 24));
        const __m128i words1 = _mm_packs_epi32(_mm_srai_epi32(s2, 24), _mm_srai_epi32(s3, 24));
        _mm_storeu_si128(at, _mm_xor_si128(_mm_packs_epi16(words0, words1), offset));
    }
    return done;
}

ULONG ScaleVectors16(PUCHAR buffer, ULONG bytes, const LaneGains* phases, ULONG phaseCount)
{
    LanePhase phase(phases, phaseCount);
    const __m128i zero = _mm_setzero_si128();
    ULONG done = 0;
    for (; done + VectorBytes <= bytes; done += VectorBytes) {
        __m128i* at = reinterpret_cast<__m128i*>(buffer + done);
        const __m128i samples = _mm_loadu_si128(at);
        __m128i s0 = ScaleInternal(_mm_unpacklo_epi16(zero, samples), phase.Next());
        __m128i s1 = ScaleInternal(_mm_unpackhi_epi16(zero, samples), phase.Next());
        _mm_storeu_si128(at, _mm_packs_epi32(_mm_srai_epi32(s0, 16), _mm_srai_epi32(s1, 16)));
    }
    return done;
}

// Pairs of packed samples to and from internal samples: bits 0..23 of a lane to bits 8..31 of
// its low half, bits 24..47 to bits 8..31 of its high half, and back.
ULONG ScaleVectors24(PUCHAR buffer, ULONG bytes, const LaneGains* phases, ULONG phaseCount)
{
    LanePhase phase(phases, phaseCount);
    const __m128i lowHalf = _mm_set_epi32(0, -1, 0, -1);
    const __m128i highHalfTop = _mm_set_epi32(static_cast<int>(0xFFFFFF00), 0, static_cast<int>(0xFFFFFF00), 0);
    const __m128i firstSample = _mm_set1_epi64x(0x0000000000FFFFFFLL);
    const __m128i secondSample = _mm_set1_epi64x(0x0000FFFFFF000000LL);
    ULONG done = 0;
    for (; done + PackedBlockBytes <= bytes; done += PackedBlockBytes) {
        __m128i pairs[4];
        LoadPairs24(buffer + done, pairs);
        #pragma GCC unroll 4
        for (ULONG i = 0; i < 4; ++i) {
            const __m128i samples = _mm_or_si128(_mm_and_si128(_mm_slli_epi64(pairs[i], 8), lowHalf),
                                                 _mm_and_si128(_mm_slli_epi64(pairs[i], 16), highHalfTop));
            const __m128i scaled = ScaleInternal(samples, phase.Next());
            pairs[i] = _mm_or_si128(_mm_and_si128(_mm_srli_epi64(scaled, 8), firstSample),
                                    _mm_and_si128(_mm_srli_epi64(scaled, 16), secondSample));
        }
        StorePairs24(buffer + done, pairs);
    }
    return done;
}

ULONG ScaleVectors32(PUCHAR buffer, ULONG bytes, const LaneGains* phases, ULONG phaseCount)
{
    LanePhase phase(phases, phaseCount);
    ULONG done = 0;
    for (; done + VectorBytes <= bytes; done += VectorBytes) {
        __m128i* at = reinterpret_cast<__m128i*>(buffer + done);
        _mm_storeu_si128(at, ScaleInternal(_mm_loadu_si128(at), phase.Next()));
    }
    return done;
}

using ScaleVectorRoutine = ULONG (*)(PUCHAR buffer, ULONG bytes, const LaneGains* phases, ULONG phaseCount);

// By container width in bytes.
const ScaleVectorRoutine ScaleVectorRoutines[] = {nullptr, ScaleVectors8, ScaleVectors16, ScaleVectors24,
                                                  ScaleVectors32};

inline LONG ScaleOneSample(const ChannelGain& gain, LONG sample)
{
    switch (gain.Type) {
    case ChannelGain::Unity:
        return sample;
    case ChannelGain::Silence:
        return 0;
    default:
        return ApplyChannelGain(gain, sample);
    }
}

// The channels' gains prepared for the one-sample loop, on first use: a buffer of whole vectors
// never needs them, and preparing costs divisions.
class SampleGains {
public:
    SampleGains(const ScalePair* pairs, ULONG channels) : pairs_(pairs), channels_(channels), ready_(false) {}

    ULONG Channels() const { return channels_; }

    const ChannelGain* Get()
    {
        if (!ready_) {
            for (ULONG channel = 0; channel < channels_; ++channel) {
                PrepareChannelGain(&gains_[channel], pairs_[channel], false);
            }
            ready_ = true;
        }
        return gains_;
    }

private:
    const ScalePair* pairs_;
    ULONG channels_;
    bool ready_;
    ChannelGain gains_[GainTableEntries];
};

// The samples from byte offset start up to end, one at a time; start is a whole number of
// samples into the buffer, which starts with channel 0.
template <ULONG Width>
void ScaleSampleRange(PUCHAR buffer, ULONG start, ULONG end, SampleGains* sampleGains)
{
    if (start + Width > end) {
        return;
    }
    const ULONG channels = sampleGains->Channels();
    const ChannelGain* gains = sampleGains->Get();
    ULONG channel = (start / Width) % channels;
    for (ULONG at = start; at + Width <= end; at += Width) {
        StoreSample<Width>(buffer + at, ScaleOneSample(gains[channel], LoadSample<Width>(buffer + at)));
        channel = (channel + 1 == channels) ? 0 : channel + 1;
    }
}

using ScaleRangeRoutine = void (*)(PUCHAR buffer, ULONG start, ULONG end, SampleGains* sampleGains);

const ScaleRangeRoutine ScaleRangeRoutines[] = {nullptr, ScaleSampleRange<1>, ScaleSampleRange<2>,
                                                ScaleSampleRange<3>, ScaleSampleRange<4>};

// 8- and 16-bit samples, under gains strictly between silence and unity, take a narrower route:
// eight 16-bit magnitudes y per vector, multiplied by F = floor(g * 2^32) in 16-bit pieces. The
// product y * F / 2^32 falls short of y * g by less than y / 2^32 <= 2^-17, and gives floor(y * g)
// and 32 bits f of the fraction. The narrowed result is floor(y * g) for a sample of 0 or more;
// for a negative one, truncating -y * 2^S * g toward zero and narrowing by an arithmetic shift of
// S = 32 - container bits gives -floor(y * g) - 1 where the fraction is at least 2^-S, and
// -floor(y * g) where it is below. The shortfall can only matter where f lies just under 2^32 or
// just under 2^(32-S); a vector with a sample there (rare under any gain) is redone one sample at
// a time.
struct WordGains {
    __m128i High;  // top 16 bits of F, per lane
    __m128i Low;   // bottom 16 bits of F
};

// Eight lanes repeat every lcm(8, channels) samples: at most 7 vectors (7 channels).
ULONG WordPhaseCount(ULONG channels)
{
    return (channels % 8 == 0) ? channels / 8 : (channels % 4 == 0) ? channels / 4
         : (channels % 2 == 0) ? channels / 2 : channels;
}

// F for one channel, or false for unity and above, which the route cannot express.
bool PrepareWordMultiplier(ScalePair pair, ULONG* multiplier)
{
    if (pair.Numerator == 0 || pair.Denominator == 0) {
        *multiplier = 0;
        return true;
    }
    if (pair.Numerator >= pair.Denominator) {
        return false;
    }
    *multiplier = static_cast<ULONG>((static_cast<ULONGLONG>(pair.Numerator) << 32) / pair.Denominator);
    return true;
}

void PrepareWordPhases(const ULONG* multipliers, ULONG channels, WordGains* phases)
{
    const ULONG phaseCount = WordPhaseCount(channels);
    ULONG channel = 0;
    for (ULONG phase = 0; phase < phaseCount; ++phase) {
        USHORT high[8];
        USHORT low[8];
        for (ULONG lane = 0; lane < 8; ++lane) {
            const ULONG multiplier = multipliers[channel];
            channel = (channel + 1 == channels) ? 0 : channel + 1;
            high[lane] = static_cast<USHORT>(multiplier >> 16);
            low[lane] = static_cast<USHORT>(multiplier);
        }
        phases[phase].High = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));
        phases[phase].Low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
    }
}

// Eight samples as signed 16-bit values (8-bit ones sign-extended) to their narrowed results, as
// set out above; lanes whose result the shortfall could change are added to unsure.
template <ULONG Width>
inline __m128i ScaleWords(__m128i samples, const WordGains& gains, __m128i* unsure)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(-1);
    const __m128i sign = _mm_srai_epi16(samples, 15);
    const __m128i magnitude = _mm_sub_epi16(_mm_xor_si128(samples, sign), sign);  // 0x8000 read unsigned
    // y * F = highProduct * 2^16 + lowProduct: whole part and fraction words f = (middle, bottom).
    const __m128i highProductTop = _mm_mulhi_epu16(magnitude, gains.High);
    const __m128i highProductBottom = _mm_mullo_epi16(magnitude, gains.High);
    const __m128i lowProductTop = _mm_mulhi_epu16(magnitude, gains.Low);
    const __m128i bottom = _mm_mullo_epi16(magnitude, gains.Low);
    const __m128i middle = _mm_add_epi16(highProductBottom, lowProductTop);
    const __m128i noCarry = _mm_cmpeq_epi16(_mm_adds_epu16(highProductBottom, lowProductTop), middle);
    __m128i whole = _mm_sub_epi16(highProductTop, _mm_xor_si128(noCarry, ones));

    const __m128i middleZero = _mm_cmpeq_epi16(middle, zero);
    __m128i belowThreshold;  // f < 2^(32-S)
    __m128i nearThreshold;   // f < 2^(32-S) but within y of it
    if (Width == 1) {
        belowThreshold = _mm_cmpeq_epi16(_mm_or_si128(middle, _mm_srli_epi16(bottom, 8)), zero);
        nearThreshold = _mm_and_si128(middleZero, _mm_cmpeq_epi16(_mm_srli_epi16(bottom, 7), _mm_set1_epi16(1)));
    } else {
        belowThreshold = middleZero;
        nearThreshold = _mm_and_si128(middleZero, _mm_srai_epi16(bottom, 15));
    }
    *unsure = _mm_or_si128(*unsure, _mm_or_si128(_mm_cmpeq_epi16(middle, ones), nearThreshold));
    whole = _mm_sub_epi16(whole, _mm_andnot_si128(belowThreshold, sign));
    return _mm_sub_epi16(_mm_xor_si128(whole, sign), sign);
}

// As the vector routines above, for the narrower route; a vector with an unsure lane is left for
// the one-sample loop before anything of it is stored.
ULONG ScaleWordVectors8(PUCHAR buffer, ULONG bytes, const WordGains* phases, ULONG phaseCount, SampleGains* sampleGains)
{
    const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80));
    ULONG phase = 0;
    ULONG done = 0;
    for (; done + VectorBytes <= bytes; done += VectorBytes) {
        __m128i* at = reinterpret_cast<__m128i*>(buffer + done);
        const __m128i samples = _mm_xor_si128(_mm_loadu_si128(at), offset);
        __m128i unsure = _mm_setzero_si128();
        const __m128i low = ScaleWords<1>(_mm_srai_epi16(_mm_unpacklo_epi8(samples, samples), 8), phases[phase], &unsure);
        phase = (phase + 1 == phaseCount) ? 0 : phase + 1;
        const __m128i high = ScaleWords<1>(_mm_srai_epi16(_mm_unpackhi_epi8(samples, samples), 8), phases[phase], &unsure);
        phase = (phase + 1 == phaseCount) ? 0 : phase + 1;
        if (_mm_movemask_epi8(unsure) != 0) {
            ScaleSampleRange<1>(buffer, done, done + VectorBytes, sampleGains);
        } else {
            _mm_storeu_si128(at, _mm_xor_si128(_mm_packs_epi16(low, high), offset));
        }
    }
    return done;
}

ULONG ScaleWordVectors16(PUCHAR buffer, ULONG bytes, const WordGains* phases, ULONG phaseCount, SampleGains* sampleGains)
{
    ULONG phase = 0;
    ULONG done = 0;
    for (; done + VectorBytes <= bytes; done += VectorBytes) {
        __m128i* at = reinterpret_cast<__m128i*>(buffer + done);
        __m128i unsure = _mm_setzero_si128();
        const __m128i scaled = ScaleWords<2>(_mm_loadu_si128(at), phases[phase], &unsure);
        phase = (phase + 1 == phaseCount) ? 0 : phase + 1;
        if (_mm_movemask_epi8(unsure) != 0) {
            ScaleSampleRange<2>(buffer, done, done + VectorBytes, sampleGains);
        } else {
            _mm_storeu_si128(at, scaled);
        }
    }
    return done;
}

using ScaleWordRoutine = ULONG (*)(PUCHAR buffer, ULONG bytes, const WordGains* phases, ULONG phaseCount,
                                   SampleGains* sampleGains);

// By container width in bytes; the route serves the two narrow widths only.
const ScaleWordRoutine ScaleWordRoutines[] = {nullptr, ScaleWordVectors8, ScaleWordVectors16, nullptr, nullptr};

}  // namespace

void ScaleBuffer(PUCHAR buffer, ULONG bytes, const WAVEFORMATEXTENSIBLE* format, const ScalePair* gains)
{
    const ULONG blockAlign = format->Format.nBlockAlign;
    const ULONG channels = format->Format.nChannels;
    if (channels == 0 || channels > GainTableEntries || blockAlign % channels != 0) {
        return;  // not a format the engine produces: nothing to scale safely
    }
    const ULONG width = blockAlign / channels;
    if (width == 0 || width > 4) {
        return;
    }
    const ULONG scaledBytes = (bytes / blockAlign) * blockAlign;

    bool allUnity = true;
    for (ULONG channel = 0; channel < channels; ++channel) {
        allUnity = allUnity && gains[channel].Numerator == gains[channel].Denominator && gains[channel].Numerator != 0;
    }
    if (allUnity) {
        return;  // (n, n) leaves every sample as it is
    }

    SampleGains sampleGains(gains, channels);
    ULONG done = 0;
    ULONG wordMultipliers[GainTableEntries];
    bool wordsFit = (ScaleWordRoutines[width] != nullptr);
    for (ULONG channel = 0; channel < channels && wordsFit; ++channel) {
        wordsFit = PrepareWordMultiplier(gains[channel], &wordMultipliers[channel]);
    }
    if (wordsFit) {
        WordGains phases[MaxLanePhases];
        PrepareWordPhases(wordMultipliers, channels, phases);
        done = ScaleWordRoutines[width](buffer, scaledBytes, phases, WordPhaseCount(channels), &sampleGains);
    } else {
        ULONGLONG laneMultipliers[GainTableEntries];
        bool lanesFit = true;
        for (ULONG channel = 0; channel < channels && lanesFit; ++channel) {
            lanesFit = PrepareLaneMultiplier(gains[channel], &laneMultipliers[channel]);
        }
        if (lanesFit) {
            LaneGains phases[MaxLanePhases];
            PrepareLanePhases(laneMultipliers, channels, phases);
            done = ScaleVectorRoutines[width](buffer, scaledBytes, phases, LanePhaseCount(channels));
        }
    }
    ScaleRangeRoutines[width](buffer, done, scaledBytes, &sampleGains);
}
