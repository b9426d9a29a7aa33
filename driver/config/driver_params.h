// The driver-wide parameters: loaded once by DriverEntry and fixed until the image is unloaded.
#pragma once

#include "core/platform.h"

constexpr ULONG DefaultNumberOfCables = 8;
constexpr ULONG MinNumberOfCables = 1;
constexpr ULONG MaxNumberOfCables = 256;
constexpr ULONG MaxAffinityCableCount = 256;

struct DriverParams {
    ULONG NumberOfCables;            // "Number of cables"
    ULONG KmixerAffinityCableCount;  // "Number of cables to restrict KMixer thread affinity"; 0 = off
    ULONG ClientAffinityCableCount;  // "Number of cables to restrict client thread affinity"; 0 = off
    BOOLEAN SplitDpcAmongCpus;       // "Split DPC processing among CPUs"
};

// Plain data with its defaults in the image, written only by LoadDriverParams.
extern DriverParams Params;

// Reads each value from the registry store; accepted values are kept and written back to both
// locations with the type and size read; absent or out-of-range ones leave the default (and the
// stored value) alone. Returns the status of the last read, of "Split DPC processing among CPUs".
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS LoadDriverParams();
