// The setters of the cable settings the wave miniport holds. Each checks its value and changes
// nothing when it refuses one.
#include "config/cable_params.h"
#include "engine/audio_format.h"
#include "filters/wave_miniport.h"

namespace {

bool Within(ULONG value, ULONG minimum, ULONG maximum)
{
    return value >= minimum && value <= maximum;
}

}  // namespace

NTSTATUS WaveMiniport::ApplyMsPerInterrupt(ULONG milliseconds)
{
    if (!Within(milliseconds, MinMsPerInterrupt, MaxMsPerInterrupt)) {
        return STATUS_INVALID_PARAMETER;
    }
    MsPerInterrupt = milliseconds;
    return STATUS_SUCCESS;
}

NTSTATUS WaveMiniport::ApplyFormatRanges(const FormatLimits* ranges)
{
    bool valid = ranges->MinRate >= ::MinSampleRate && ranges->MaxRate <= ::MaxSampleRate &&
                 ranges->MinRate <= ranges->MaxRate && ranges->MinBits >= ::MinBitsPerSample &&
                 ranges->MaxBits <= ::MaxBitsPerSample && ranges->MinBits <= ranges->MaxBits &&
                 ranges->MinChannels >= ::MinChannels && ranges->MaxChannels <= ::MaxChannels &&
                 ranges->MinChannels <= ranges->MaxChannels;
    if (!valid) {
        return STATUS_INVALID_PARAMETER;
    }
    MinSampleRate = ranges->MinRate;
    MaxSampleRate = ranges->MaxRate;
    MinBitsPerSample = ranges->MinBits;
    MaxBitsPerSample = ranges->MaxBits;
    MinChannels = ranges->MinChannels;
    MaxChannels = ranges->MaxChannels;
    return STATUS_SUCCESS;
}

NTSTATUS WaveMiniport::ApplyFormatLimiting(LONG mode)
{
    if (mode < 0 || mode > 2) {
        return STATUS_INVALID_PARAMETER;
    }
    FormatLimiting = mode;
    return STATUS_SUCCESS;
}

// Only the low byte counts, as the control channel sends one.
NTSTATUS WaveMiniport::ApplyVolumeControl(ULONG value)
{
    UCHAR enabled = static_cast<UCHAR>(value & 0xFF);
    if (enabled > 1) {
        return STATUS_INVALID_PARAMETER;
    }
    VolumeControl = enabled;
    return STATUS_SUCCESS;
}
