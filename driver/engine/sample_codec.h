// Reading and writing one PCM sample of a 1- to 4-byte little-endian container as the engine's
// internal sample: a signed 32-bit value with the container's bits at the top. 1-byte samples are
// unsigned around 0x80; wider ones are two's complement, 3-byte ones packed. Narrowing truncates.
#pragma once

#include "core/platform.h"

template <ULONG Width>
inline LONG LoadSample(const UCHAR* bytes);

template <>
inline LONG LoadSample<1>(const UCHAR* bytes)
{
    return static_cast<LONG>(static_cast<ULONG>(bytes[0] ^ 0x80u) << 24);
}

template <>
inline LONG LoadSample<2>(const UCHAR* bytes)
{
    return static_cast<LONG>((static_cast<ULONG>(bytes[0]) | static_cast<ULONG>(bytes[1]) << 8) << 16);
}

template <>
inline LONG LoadSample<3>(const UCHAR* bytes)
{
    return static_cast<LONG>(static_cast<ULONG>(bytes[0]) << 8 | static_cast<ULONG>(bytes[1]) << 16 |
                             static_cast<ULONG>(bytes[2]) << 24);
}

template <>
inline LONG LoadSample<4>(const UCHAR* bytes)
{
    return static_cast<LONG>(static_cast<ULONG>(bytes[0]) | static_cast<ULONG>(bytes[1]) << 8 |
                             static_cast<ULONG>(bytes[2]) << 16 | static_cast<ULONG>(bytes[3]) << 24);
}

template <ULONG Width>
inline void StoreSample(UCHAR* bytes, LONG value);

template <>
inline void StoreSample<1>(UCHAR* bytes, LONG value)
{
    bytes[0] = static_cast<UCHAR>((static_cast<ULONG>(value) >> 24) ^ 0x80u);
}

template <>
inline void StoreSample<2>(UCHAR* bytes, LONG value)
{
    ULONG bits = static_cast<ULONG>(value);
    bytes[0] = static_cast<UCHAR>(bits >> 16);
    bytes[1] = static_cast<UCHAR>(bits >> 24);
}

template <>
inline void StoreSample<3>(UCHAR* bytes, LONG value)
{
    ULONG bits = static_cast<ULONG>(value);
    bytes[0] = static_cast<UCHAR>(bits >> 8);
    bytes[1] = static_cast<UCHAR>(bits >> 16);
    bytes[2] = static_cast<UCHAR>(bits >> 24);
}

template <>
inline void StoreSample<4>(UCHAR* bytes, LONG value)
{
    ULONG bits = static_cast<ULONG>(value);
    bytes[0] = static_cast<UCHAR>(bits);
    bytes[1] = static_cast<UCHAR>(bits >> 8);
    bytes[2] = static_cast<UCHAR>(bits >> 16);
    bytes[3] = static_cast<UCHAR>(bits >> 24);
}

// Clamps a 64-bit intermediate to the internal sample's range.
inline LONG SaturateToSample(LONGLONG value)
{
    if (value > 2147483647LL) {
        return 2147483647;
    }
    if (value < -2147483647LL - 1) {
        return -2147483647 - 1;
    }
    return static_cast<LONG>(value);
}
