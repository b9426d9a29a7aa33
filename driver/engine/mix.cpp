// Saturating mix and in-place gain of the cable's mix buffer. The 8- and 16-bit mixes, the ones
// most cables use, go sixteen bytes at a time with the processor's saturating vector adds.
#include "core/platform.h"

#include <emmintrin.h>

#include "engine/audio_format.h"
#include "engine/mix.h"
#include "engine/sample_codec.h"

namespace {

constexpr ULONG VectorBytes = 16;

// 8-bit samples are offset binary: flipping the top bit makes them two's complement, so the
// signed saturating add applies, and flipping back restores the offset.
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
void MixUnsigned8(PUCHAR destination, const UCHAR* source, ULONG bytes)
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

void MixSigned16(PUCHAR destination, const UCHAR* source, ULONG bytes)
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

// 24-bit samples sit in bits 8..31, so a 32-bit overflow is a 24-bit one, and the upper bound
// keeps bits 0..7 clear (0x7FFFFF00) for the narrowing back.
void MixSigned24(PUCHAR destination, const UCHAR* source, ULONG bytes)
{
    for (ULONG done = 0; done + 3 <= bytes; done += 3) {
        StoreSample<3>(destination + done, AddSaturating(LoadSample<3>(destination + done), LoadSample<3>(source + done)));
    }
}

void MixSigned32(PUCHAR destination, const UCHAR* source, ULONG bytes)
{
    for (ULONG done = 0; done + 4 <= bytes; done += 4) {
        StoreSample<4>(destination + done, AddSaturating(LoadSample<4>(destination + done), LoadSample<4>(source + done)));
    }
}

template <ULONG Width>
void ScaleSamples(PUCHAR buffer, ULONG frames, ULONG blockAlign, ULONG channels, const ChannelGain* gains)
{
    for (ULONG channel = 0; channel < channels; ++channel) {
        PUCHAR samples = buffer + channel * Width;
        ApplyGainToSamples(
            gains[channel], frames,
            [samples, blockAlign](ULONG i) { return LoadSample<Width>(samples + i * blockAlign); },
            [samples, blockAlign](ULONG i, LONG value) { StoreSample<Width>(samples + i * blockAlign, value); });
    }
}

}  // namespace

void MixIntoBuffer(const WAVEFORMATEXTENSIBLE* cableFormat, PUCHAR destination, const UCHAR* source, ULONG bytes)
{
    const ULONG channels = cableFormat->Format.nChannels;
    const ULONG width = (channels != 0) ? cableFormat->Format.nBlockAlign / channels : 0;
    switch (width) {
    case 0:
        break;
    case 1:
        MixUnsigned8(destination, source, bytes);
        break;
    case 2:
        MixSigned16(destination, source, bytes);
        break;
    case 3:
        MixSigned24(destination, source, bytes);
        break;
    default:
        MixSigned32(destination, source, bytes);
        break;
    }
}

void ScaleBuffer(PUCHAR buffer, ULONG bytes, const WAVEFORMATEXTENSIBLE* format, const ScalePair* gains)
{
    const ULONG blockAlign = format->Format.nBlockAlign;
    const ULONG channels = format->Format.nChannels;
    if (channels == 0 || channels > GainTableEntries || blockAlign % channels != 0) {
        return;  // not a format the engine produces: nothing to scale safely
    }
    const ULONG frames = bytes / blockAlign;
    const ULONG width = blockAlign / channels;

    ChannelGain channelGains[GainTableEntries];
    for (ULONG channel = 0; channel < channels; ++channel) {
        PrepareChannelGain(&channelGains[channel], gains[channel], false);
    }

    switch (width) {
    case 1:
        ScaleSamples<1>(buffer, frames, blockAlign, channels, channelGains);
        break;
    case 2:
        ScaleSamples<2>(buffer, frames, blockAlign, channels, channelGains);
        break;
    case 3:
        ScaleSamples<3>(buffer, frames, blockAlign, channels, channelGains);
        break;
    case 4:
        ScaleSamples<4>(buffer, frames, blockAlign, channels, channelGains);
        break;
    default:
        break;
    }
}
