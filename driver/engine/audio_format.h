// The driver's one audio format shape: WAVEFORMATEXTENSIBLE with PCM samples in 1- to 4-byte
// containers. Building such formats and checking that the converter can take one.
#pragma once

#include "core/platform.h"

// Limits of every format the converter accepts.
constexpr ULONG MinSampleRate = 8000;
constexpr ULONG MaxSampleRate = 192000;
constexpr ULONG MinBitsPerSample = 8;
constexpr ULONG MaxBitsPerSample = 32;
constexpr ULONG MinChannels = 1;
constexpr ULONG MaxChannels = 8;

// Passed as the channel mask to BuildExtensibleFormat: take DefaultChannelMask of the count.
constexpr ULONG UseDefaultChannelMask = 0xFFFFFFFF;

// Speaker positions of the usual layouts by channel count (mono, stereo, quad, 5.1, 7.1); 0,
// "no particular layout", for the other counts.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG DefaultChannelMask(ULONG channels);

// Fills a PCM WAVEFORMATEXTENSIBLE. containerBytes 0 means the smallest whole-byte container
// for validBits; channelMask UseDefaultChannelMask means DefaultChannelMask(channels).
_IRQL_requires_max_(DISPATCH_LEVEL)
void BuildExtensibleFormat(PWAVEFORMATEXTENSIBLE format, ULONG sampleRate, ULONG validBits, ULONG channels,
                           ULONG containerBytes, ULONG channelMask);

// True when the format is extensible PCM within the rate, width and channel limits above, with
// nBlockAlign equal to one container per channel (the converter steps through the data by it).
_IRQL_requires_max_(DISPATCH_LEVEL)
bool IsConvertibleFormat(const WAVEFORMATEXTENSIBLE* format);

// Bytes per sample container: (wBitsPerSample + 7) / 8.
inline ULONG ContainerBytes(const WAVEFORMATEXTENSIBLE* format)
{
    return (static_cast<ULONG>(format->Format.wBitsPerSample) + 7) / 8;
}
