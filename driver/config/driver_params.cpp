// The driver-wide parameters, their defaults and limits, and their loading.
#include "config/driver_params.h"

#include "config/registry_store.h"

DriverParams Params = {DefaultNumberOfCables, 0, 0, FALSE};

namespace {

void StoreNumberOfCables(ULONG value) { Params.NumberOfCables = value; }
void StoreKmixerAffinity(ULONG value) { Params.KmixerAffinityCableCount = value; }
void StoreClientAffinity(ULONG value) { Params.ClientAffinityCableCount = value; }
void StoreSplitDpc(ULONG value) { Params.SplitDpcAmongCpus = (value != 0) ? TRUE : FALSE; }

struct DriverParamEntry {
    PCSTR ValueName;
    ULONG Minimum;
    ULONG Maximum;
    void (*Store)(ULONG value);
};

// In the order they are read; the last read's status is LoadDriverParams' result.
const DriverParamEntry DriverParamTable[] = {
    {"Number of cables", MinNumberOfCables, MaxNumberOfCables, StoreNumberOfCables},
    {"Number of cables to restrict KMixer thread affinity", 0, MaxAffinityCableCount, StoreKmixerAffinity},
    {"Number of cables to restrict client thread affinity", 0, MaxAffinityCableCount, StoreClientAffinity},
    {"Split DPC processing among CPUs", 0, 0xFFFFFFFF, StoreSplitDpc},
};

}  // namespace

TARN_PAGEABLE
NTSTATUS LoadDriverParams()
{
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    for (const DriverParamEntry& entry : DriverParamTable) {
        // Whatever bytes are stored (at most 4) land in a zeroed word; the type plays no part.
        ULONG value = 0;
        ULONG type = REG_NONE;
        ULONG size = sizeof(value);
        status = RegistryValue(false, NULL, entry.ValueName, &type, &value, &size);
        if (!NT_SUCCESS(status) || value < entry.Minimum || value > entry.Maximum) {
            continue;
        }
        entry.Store(value);
        RegistryValue(true, NULL, entry.ValueName, &type, &value, &size);
    }
    return status;
}
