// Stream format acceptance: parsing the client's KSDATAFORMAT and holding it against the cable's
// limits.
#include "engine/audio_format.h"
#include "engine/wave_stream.h"
#include "filters/wave_miniport.h"

namespace {

constexpr ULONG ExtensibleExtraBytes = 22;
constexpr ULONG DirectSoundDescriptionBytes = 8;  // the buffer description before the WAVEFORMATEX

bool Within(ULONG value, ULONG minimum, ULONG maximum)
{
    return value >= minimum && value <= maximum;
}

}  // namespace

NTSTATUS ParseDataFormat(const KSDATAFORMAT* dataFormat, PWAVEFORMATEXTENSIBLE format)
{
    ULONG size = dataFormat->FormatSize;
    if (size < sizeof(KSDATAFORMAT) || !IsEqualGUIDAligned(dataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !IsEqualGUIDAligned(dataFormat->SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) {
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR* after = reinterpret_cast<const UCHAR*>(dataFormat) + sizeof(KSDATAFORMAT);
    const WAVEFORMATEX* wave = NULL;
    if (IsEqualGUIDAligned(dataFormat->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
        size >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
        wave = reinterpret_cast<const WAVEFORMATEX*>(after);
    } else if (IsEqualGUIDAligned(dataFormat->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND) &&
               size >= sizeof(KSDATAFORMAT) + DirectSoundDescriptionBytes + sizeof(WAVEFORMATEX)) {
        wave = reinterpret_cast<const WAVEFORMATEX*>(after + DirectSoundDescriptionBytes);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    if (wave->cbSize == 0) {
        if (wave->wFormatTag != WAVE_FORMAT_PCM) {
            return STATUS_INVALID_PARAMETER;
        }
        RtlZeroMemory(format, sizeof(*format));
        RtlCopyMemory(&format->Format, wave, sizeof(WAVEFORMATEX));
        format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format->Format.cbSize = ExtensibleExtraBytes;
        format->Samples.wValidBitsPerSample = wave->wBitsPerSample;
        format->dwChannelMask = DefaultChannelMask(wave->nChannels);
        format->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        return STATUS_SUCCESS;
    }
    if (wave->cbSize != ExtensibleExtraBytes) {
        return STATUS_INVALID_PARAMETER;
    }
    // The extension must be inside the buffer the client described.
    ULONG waveOffset = static_cast<ULONG>(reinterpret_cast<const UCHAR*>(wave) - reinterpret_cast<const UCHAR*>(dataFormat));
    if (size < waveOffset + sizeof(WAVEFORMATEXTENSIBLE)) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wave);
    if (!IsEqualGUIDAligned(extensible->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
        extensible->Samples.wValidBitsPerSample == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(format, extensible, sizeof(*format));
    format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    return STATUS_SUCCESS;
}

void WaveMiniport::GetFormatLimits(FormatLimits* limits) const
{
    if (FormatLimiting == 0) {
        *limits = {::MinSampleRate, ::MaxSampleRate, ::MinBitsPerSample, ::MaxBitsPerSample, ::MinChannels,
                   ::MaxChannels};
    } else if (FormatLimiting == 2 && CableFormat.Format.wFormatTag != 0) {
        ULONG rate = CableFormat.Format.nSamplesPerSec;
        ULONG bits = CableFormat.Format.wBitsPerSample;
        ULONG channels = CableFormat.Format.nChannels;
        *limits = {rate, rate, bits, bits, channels, channels};
    } else {
        *limits = {MinSampleRate, MaxSampleRate, MinBitsPerSample, MaxBitsPerSample, MinChannels, MaxChannels};
    }
}

NTSTATUS WaveMiniport::ValidateFormat(const WAVEFORMATEXTENSIBLE* format) const
{
    FormatLimits limits;
    GetFormatLimits(&limits);
    const WAVEFORMATEX& wave = format->Format;
    ULONG validBits = format->Samples.wValidBitsPerSample;
    ULONG blockAlign = ((wave.wBitsPerSample + 7) / 8) * wave.nChannels;
    bool valid = wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
                 IsEqualGUIDAligned(format->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) &&
                 Within(wave.nSamplesPerSec, limits.MinRate, limits.MaxRate) &&
                 Within(validBits, limits.MinBits, limits.MaxBits) &&
                 Within(wave.nChannels, limits.MinChannels, limits.MaxChannels) && validBits <= wave.wBitsPerSample &&
                 wave.nBlockAlign == blockAlign &&
                 wave.nAvgBytesPerSec == static_cast<ULONGLONG>(blockAlign) * wave.nSamplesPerSec;
    return valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}
