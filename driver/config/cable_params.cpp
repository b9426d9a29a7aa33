// Per-cable parameters: loading and saving.
#include "config/cable_params.h"

#include "config/registry_store.h"
#include "engine/audio_format.h"
#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_miniport.h"

namespace {

constexpr size_t CableSubkeyBytes = 16;  // "Cable 256" and its terminator, with room

bool Within(ULONG value, ULONG minimum, ULONG maximum)
{
    return value >= minimum && value <= maximum;
}

// Each Apply passes the value read to the holder's setter and may change it to what is written
// back.
NTSTATUS ApplyMaxInstances(Cable* cable, PULONG value)
{
    if (!Within(*value, MinMaxInstances, MaxMaxInstances)) {
        return STATUS_INVALID_PARAMETER;
    }
    cable->MaxInstances = *value;
    return STATUS_SUCCESS;
}

NTSTATUS ApplyMsPerInterrupt(Cable* cable, PULONG value)
{
    return cable->Wave->ApplyMsPerInterrupt(*value);
}

NTSTATUS ApplyFormatLimiting(Cable* cable, PULONG value)
{
    return cable->Wave->ApplyFormatLimiting(static_cast<LONG>(*value));
}

// Any non-zero value switches volume control on, and is stored back as 1.
NTSTATUS ApplyVolumeControl(Cable* cable, PULONG value)
{
    *value = (*value != 0) ? 1 : 0;
    return cable->Wave->ApplyVolumeControl(*value);
}

NTSTATUS ApplySourceLineTypes(Cable* cable, PULONG value)
{
    return cable->Topology->ApplySourceLineTypesMask(*value);
}

NTSTATUS ApplyConnectedSourceLines(Cable* cable, PULONG value)
{
    return cable->Topology->ApplyConnectedSourceLinesMask(*value);
}

NTSTATUS ApplyClockCorrection(Cable* cable, PULONG value)
{
    return cable->Wave->ApplyClockCorrection(*value);
}

struct CableParamEntry {
    PCSTR ValueName;
    NTSTATUS (*Apply)(Cable* cable, PULONG value);
};

// Read in this order; the format bounds come between the two tables.
const CableParamEntry LeadingParams[] = {
    {"Maximum instances", ApplyMaxInstances},
    {"Milliseconds per interrupt", ApplyMsPerInterrupt},
};

const CableParamEntry TrailingParams[] = {
    {"Stream format limiting", ApplyFormatLimiting},
    {"Volume control", ApplyVolumeControl},
    {"Source line types mask", ApplySourceLineTypes},
    // Checked against the types mask just loaded.
    {"Connected source lines mask", ApplyConnectedSourceLines},
    {"Clock correction", ApplyClockCorrection},
};

struct FormatBoundEntry {
    PCSTR ValueName;
    ULONG FormatLimits::*Field;
    ULONG LoadDefault;
};

const FormatBoundEntry FormatBounds[] = {
    {"Minimum sampling rate", &FormatLimits::MinRate, LoadDefaultMinSampleRate},
    {"Maximum sampling rate", &FormatLimits::MaxRate, LoadDefaultMaxSampleRate},
    {"Minimum bits per sample", &FormatLimits::MinBits, LoadDefaultMinBits},
    {"Maximum bits per sample", &FormatLimits::MaxBits, LoadDefaultMaxBits},
    {"Minimum number of channels", &FormatLimits::MinChannels, LoadDefaultMinChannels},
    {"Maximum number of channels", &FormatLimits::MaxChannels, LoadDefaultMaxChannels},
};

TARN_PAGEABLE
NTSTATUS FormatCableSubkey(const Cable* cable, PCHAR subkey)
{
    PAGED_CODE();
    return RtlStringCbPrintfA(subkey, CableSubkeyBytes, "Cable %u", cable->Index + 1);
}

// Whatever bytes are stored (at most 4) land in a zeroed word; the type plays no part.
TARN_PAGEABLE
bool ReadCableValue(PCSTR subkey, PCSTR valueName, PULONG value)
{
    PAGED_CODE();
    ULONG type = REG_NONE;
    ULONG size = sizeof(*value);
    *value = 0;
    return NT_SUCCESS(RegistryValue(false, subkey, valueName, &type, value, &size));
}

TARN_PAGEABLE
NTSTATUS WriteCableValue(PCSTR subkey, PCSTR valueName, ULONG value)
{
    PAGED_CODE();
    ULONG type = REG_DWORD;
    ULONG size = sizeof(value);
    return RegistryValue(true, subkey, valueName, &type, &value, &size);
}

TARN_PAGEABLE
void LoadParamTable(Cable* cable, PCSTR subkey, const CableParamEntry* table, size_t count)
{
    PAGED_CODE();
    for (size_t index = 0; index < count; ++index) {
        ULONG value;
        if (ReadCableValue(subkey, table[index].ValueName, &value) && NT_SUCCESS(table[index].Apply(cable, &value))) {
            WriteCableValue(subkey, table[index].ValueName, value);
        }
    }
}

// The bounds go back to the registry as read, before the set is checked; a refused set leaves
// the miniport's current ranges and the registry's values alone.
TARN_PAGEABLE
void LoadFormatBounds(Cable* cable, PCSTR subkey)
{
    PAGED_CODE();
    FormatLimits ranges;
    for (const FormatBoundEntry& entry : FormatBounds) {
        ULONG value;
        if (ReadCableValue(subkey, entry.ValueName, &value)) {
            WriteCableValue(subkey, entry.ValueName, value);
        } else {
            value = entry.LoadDefault;
        }
        ranges.*entry.Field = value;
    }
    cable->Wave->ApplyFormatRanges(&ranges);
}

}  // namespace

TARN_PAGEABLE
NTSTATUS LoadCableParams(Cable* cable)
{
    PAGED_CODE();
    CHAR subkey[CableSubkeyBytes];
    if (!NT_SUCCESS(FormatCableSubkey(cable, subkey))) {
        return STATUS_SUCCESS;  // cannot happen for an index below 2^32 - 1; nothing loaded
    }
    cable->FormatLock.Enter();
    LoadParamTable(cable, subkey, LeadingParams, ARRAYSIZE(LeadingParams));
    LoadFormatBounds(cable, subkey);
    LoadParamTable(cable, subkey, TrailingParams, ARRAYSIZE(TrailingParams));
    cable->FormatLock.Leave();
    return STATUS_SUCCESS;
}

TARN_PAGEABLE
NTSTATUS SaveCableValue(Cable* cable, PCSTR valueName, ULONG value)
{
    PAGED_CODE();
    CHAR subkey[CableSubkeyBytes];
    NTSTATUS status = FormatCableSubkey(cable, subkey);
    if (NT_SUCCESS(status)) {
        status = WriteCableValue(subkey, valueName, value);
    }
    return status;
}

TARN_PAGEABLE
NTSTATUS SaveCableMaxInstances(Cable* cable, ULONG maxInstances)
{
    PAGED_CODE();
    if (!Within(maxInstances, MinMaxInstances, MaxMaxInstances)) {
        return STATUS_INVALID_PARAMETER;
    }
    return SaveCableValue(cable, "Maximum instances", maxInstances);
}
