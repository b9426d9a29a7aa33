// Validation of a cable's edited settings and the requests that apply them (cable_settings.h).
#include "cable_settings.h"

#include "panel_text.h"

const char* const RangeMessage = "Invalid %s %u. Must be in range %u..%u";

namespace {

bool InRange(ULONG value, ULONG low, ULONG high)
{
    return low <= value && value <= high;
}

bool Fail(ValidationError* error, const char* format, const char* field, ULONG a, ULONG b, ULONG c)
{
    error->Format = format;
    error->Field = field;
    error->Numbers[0] = a;
    error->Numbers[1] = b;
    error->Numbers[2] = c;
    return false;
}

bool CheckRange(ValidationError* error, ULONG value, const char* field, ULONG low, ULONG high)
{
    if (InRange(value, low, high)) {
        return true;
    }
    return Fail(error, RangeMessage, field, value, low, high);
}

}  // namespace

bool ValidateCableFields(const CableFields& fields, CableSettings* settings, ValidationError* error)
{
    if (!CheckRange(error, fields.MaxInstances, "maximum instances", 1, 100) ||
        !CheckRange(error, fields.MsPerInterrupt, "number of ms per int", 1, 20) ||
        !CheckRange(error, fields.MinSamplingRate, "minimum sample rate", 8000, 192000)) {
        return false;
    }
    if (!InRange(fields.MaxSamplingRate, 8000, 192000)) {
        return Fail(error, "Invalid maximum sample rate. Must be in range %u..%u", nullptr, 8000, 192000, 0);
    }
    if (fields.MinSamplingRate > fields.MaxSamplingRate) {
        return Fail(error, "Maximum sample rate must be greater than minimum", nullptr, 0, 0, 0);
    }
    if (!CheckRange(error, fields.MinBitsPerSample, "minimum bits per sample", 8, 32) ||
        !CheckRange(error, fields.MaxBitsPerSample, "maximum bits per sample", 8, 32)) {
        return false;
    }
    if (fields.MinBitsPerSample > fields.MaxBitsPerSample) {
        return Fail(error, "Maximum bits per sample must be greater than minimum", nullptr, 0, 0, 0);
    }
    if (!CheckRange(error, fields.MinChannels, "minimum number of channels", 1, 8) ||
        !CheckRange(error, fields.MaxChannels, "maximum number of channels", 1, 8)) {
        return false;
    }
    if (fields.MinChannels > fields.MaxChannels) {
        return Fail(error, "Maximum number of channels must be greater than minimum", nullptr, 0, 0, 0);
    }
    ULONG lines = (fields.Mic ? 1u : 0u) + (fields.Line ? 2u : 0u) + (fields.Spdif ? 4u : 0u);
    if (lines == 0) {
        return Fail(error, "At least one source line must be enabled", nullptr, 0, 0, 0);
    }
    if (fields.ClockText == nullptr || fields.ClockText[0] == '\0') {
        return Fail(error, "Cannot read clock correction value", nullptr, 0, 0, 0);
    }
    ULONG thousandths = ParseFixed3(fields.ClockText);
    if (thousandths == NotANumber) {
        return Fail(error, "Invalid clock correction value", nullptr, 0, 0, 0);
    }
    if (!InRange(thousandths, ClockThousandthsMin, ClockThousandthsMax)) {
        return Fail(error, "Clock correction value must be in range %u..%u%%", nullptr, 90, 110, 0);
    }

    settings->MaxInstances = fields.MaxInstances;
    settings->MsPerInterrupt = fields.MsPerInterrupt;
    settings->VolumeControl = fields.VolumeControl ? 1 : 0;
    settings->MinSamplingRate = fields.MinSamplingRate;
    settings->MaxSamplingRate = fields.MaxSamplingRate;
    settings->MinBitsPerSample = fields.MinBitsPerSample;
    settings->MaxBitsPerSample = fields.MaxBitsPerSample;
    settings->MinChannels = fields.MinChannels;
    settings->MaxChannels = fields.MaxChannels;
    settings->FormatLimiting = fields.FormatLimiting;
    settings->ConnectedSourceLines = lines;
    settings->ClockCorrection = ClockFactorFromThousandths(thousandths);
    return true;
}

int PlanCableRequests(const CableSettings& wanted, const CableInfo& current, PlannedRequest* requests)
{
    int count = 0;
    auto plan = [&](bool differs, ULONG code, ULONG value) {
        if (differs) {
            requests[count++] = PlannedRequest{code, value};
        }
    };
    bool rangeDiffers = wanted.MinSamplingRate != current.MinSamplingRate ||
                        wanted.MaxSamplingRate != current.MaxSamplingRate ||
                        wanted.MinBitsPerSample != current.MinBitsPerSample ||
                        wanted.MaxBitsPerSample != current.MaxBitsPerSample ||
                        wanted.MinChannels != current.MinChannels || wanted.MaxChannels != current.MaxChannels;
    plan(wanted.VolumeControl != current.VolumeControl, IOCTL_SET_VOLUME_CONTROL, wanted.VolumeControl);
    plan(wanted.MsPerInterrupt != current.MsPerInterrupt, IOCTL_SET_MS_PER_INTERRUPT, wanted.MsPerInterrupt);
    plan(rangeDiffers, IOCTL_SET_FORMAT_RANGE, 0);
    plan(wanted.FormatLimiting != current.FormatLimiting, IOCTL_SET_STREAM_FORMAT_LIMITING, wanted.FormatLimiting);
    plan(wanted.MaxInstances != current.MaxInstances, IOCTL_SET_MAX_INSTANCES, wanted.MaxInstances);
    plan(wanted.ConnectedSourceLines != current.ConnectedSourceLines, IOCTL_SET_CONNECTED_SOURCE_LINES,
         wanted.ConnectedSourceLines);
    plan(wanted.ClockCorrection != current.ClockCorrection, IOCTL_SET_CLOCK_CORRECTION, wanted.ClockCorrection);
    return count;
}
