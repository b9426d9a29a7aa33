// Building and checking the driver's extensible PCM formats.
#include "core/platform.h"

#include "engine/audio_format.h"

ULONG DefaultChannelMask(ULONG channels)
{
    switch (channels) {
    case 1:
        return SPEAKER_FRONT_CENTER;
    case 2:
        return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    case 4:
        return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
    case 6:
        return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
               SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
    case 8:
        return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
               SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT | SPEAKER_FRONT_LEFT_OF_CENTER |
               SPEAKER_FRONT_RIGHT_OF_CENTER;
    default:
        return 0;
    }
}

void BuildExtensibleFormat(PWAVEFORMATEXTENSIBLE format, ULONG sampleRate, ULONG validBits, ULONG channels,
                           ULONG containerBytes, ULONG channelMask)
{
    ULONG bitsPerSample = (containerBytes != 0) ? 8 * containerBytes : 8 * ((validBits + 7) / 8);
    ULONG blockAlign = ((bitsPerSample + 7) / 8) * channels;

    RtlZeroMemory(format, sizeof(*format));
    format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format->Format.nChannels = static_cast<WORD>(channels);
    format->Format.nSamplesPerSec = sampleRate;
    format->Format.nAvgBytesPerSec = blockAlign * sampleRate;
    format->Format.nBlockAlign = static_cast<WORD>(blockAlign);
    format->Format.wBitsPerSample = static_cast<WORD>(bitsPerSample);
    format->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format->Samples.wValidBitsPerSample = static_cast<WORD>(validBits);
    format->dwChannelMask = (channelMask == UseDefaultChannelMask) ? DefaultChannelMask(channels) : channelMask;
    format->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
}

bool IsConvertibleFormat(const WAVEFORMATEXTENSIBLE* format)
{
    return format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
           IsEqualGUIDAligned(format->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) &&
           format->Format.nSamplesPerSec >= MinSampleRate && format->Format.nSamplesPerSec <= MaxSampleRate &&
           format->Format.wBitsPerSample >= MinBitsPerSample && format->Format.wBitsPerSample <= MaxBitsPerSample &&
           format->Format.nChannels >= MinChannels && format->Format.nChannels <= MaxChannels &&
           format->Format.nBlockAlign == ContainerBytes(format) * format->Format.nChannels;
}
