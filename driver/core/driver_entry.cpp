// The driver's entry, its module initialisation and the one cleanup routine that unload and every
// failed initialisation run.
#include "core/driver_state.h"

#include "config/driver_params.h"
#include "config/registry_store.h"
#include "core/device.h"
#include "filters/adapter.h"

DriverState Driver;

namespace {

struct TerminationEntry {
    ListEntry Link;  // first, so a ListEntry* is the entry
    TerminationRoutine Routine;
};

// WDM levels from the newest down, with the OsVersion code each stands for.
struct WdmLevel {
    UCHAR Major;
    UCHAR Minor;
    ULONG OsVersion;
};
const WdmLevel WdmLevels[] = {
    {6, 0x00, 0x0600},
    {1, 0x30, 0x0502},
    {1, 0x20, 0x0501},
    {1, 0x10, 0x0500},
};

constexpr char ParametersSuffix[] = "\\Parameters";

// Whether the registry store can name every key under the Parameters key in its key paths: the
// longest is the last cable's subkey, "Cable 256", joined as the store joins location and subkey.
TARN_INIT
bool FitsKeyPath(PCSTR parametersPath)
{
    CHAR longest[KeyPathBytes];
    return NT_SUCCESS(RtlStringCbPrintfA(longest, sizeof(longest), "%s\\Cable %u", parametersPath, MaxNumberOfCables));
}

// The lock's own termination: spin locks need no teardown, but registering it keeps each
// constructed global paired with its termination, as the module frame expects.
void TerminateTimerResolutionLock() {}

// The driver's one static constructor: the kernel runs none, so DriverEntry calls it.
NTSTATUS ConstructStatics()
{
    KeInitializeSpinLock(&Driver.TimerResolutionLock);
    return RegisterTermination(TerminateTimerResolutionLock);
}

TARN_INIT
NTSTATUS InitializeModule()
{
    for (const WdmLevel& level : WdmLevels) {
        if (IoIsWdmVersionAvailable(level.Major, level.Minor)) {
            Driver.OsVersion = level.OsVersion;
            break;
        }
    }
    if (Driver.OsVersion == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    Driver.TerminationList = static_cast<List*>(PoolAlloc(sizeof(List)));
    if (Driver.TerminationList == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    new (Driver.TerminationList, InPlace) List();
    return STATUS_SUCCESS;
}

void TerminateModule()
{
    if (Driver.TerminationList == NULL) {
        return;
    }
    while (ListEntry* link = Driver.TerminationList->PopFront()) {
        auto* entry = reinterpret_cast<TerminationEntry*>(link);
        entry->Routine();
        PoolFree(entry);
    }
    PoolFree(Driver.TerminationList);
    Driver.TerminationList = NULL;
}

void DriverUnload(PDRIVER_OBJECT driverObject)
{
    // The class driver tears down its device objects before the driver's own state goes.
    Driver.PreviousUnload(driverObject);
    CleanupDriver();
}

}  // namespace

NTSTATUS RegisterTermination(TerminationRoutine routine)
{
    auto* entry = static_cast<TerminationEntry*>(PoolAlloc(sizeof(TerminationEntry)));
    if (entry == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    entry->Routine = routine;
    Driver.TerminationList->InsertAfter(&entry->Link, NULL);
    return STATUS_SUCCESS;
}

void CleanupDriver()
{
    // The system counts every request made with TRUE: each one is taken back.
    for (LONG requests = InterlockedExchange(&Driver.TimerResolutionRequests, 0); requests > 0; --requests) {
        ExSetTimerResolution(0, FALSE);
    }
    if (Driver.Adapter != NULL) {
        Driver.Adapter->DestroyAllCables();
        Driver.Adapter->Release();
        Driver.Adapter = NULL;
    }
    if (Driver.InterfaceLinkName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Driver.InterfaceLinkName, FALSE);
        RtlFreeUnicodeString(&Driver.InterfaceLinkName);
    }
    TerminateModule();
}

namespace {

ULONG StoredTimerResolution()
{
    KIRQL previous;
    KeAcquireSpinLock(&Driver.TimerResolutionLock, &previous);
    Driver.TimerResolutionIrql = previous;
    ULONG us = Driver.TimerResolutionUs;
    KeReleaseSpinLock(&Driver.TimerResolutionLock, Driver.TimerResolutionIrql);
    return us;
}

}  // namespace

void RequestTimerResolution(ULONG us)
{
    bool changed = false;
    KIRQL previous;
    KeAcquireSpinLock(&Driver.TimerResolutionLock, &previous);
    Driver.TimerResolutionIrql = previous;
    if (Driver.TimerResolutionUs == 0 || us < Driver.TimerResolutionUs) {
        Driver.TimerResolutionUs = us;
        changed = true;
    }
    KeReleaseSpinLock(&Driver.TimerResolutionLock, Driver.TimerResolutionIrql);
    if (!changed) {
        return;
    }
    // The system call is made outside the lock (it runs below DISPATCH_LEVEL), so two requests can
    // reach the system in either order. Each makes the call with the value stored now, and again
    // whenever a finer one was stored while its call was on its way: whichever call is made last,
    // it asks for the finest resolution stored.
    ULONG requested = 0;
    for (ULONG finest = StoredTimerResolution(); finest != requested; finest = StoredTimerResolution()) {
        ExSetTimerResolution(finest * 10, TRUE);
        InterlockedIncrement(&Driver.TimerResolutionRequests);
        requested = finest;
    }
}

TARN_PAGEABLE
void LookUpProcessorRoutines()
{
    PAGED_CODE();
    Driver.KeQueryActiveProcessorCountExRoutine =
        reinterpret_cast<QueryActiveProcessorCountExRoutine>(GetSystemRoutine("KeQueryActiveProcessorCountEx"));
    Driver.KeGetCurrentProcessorNumberExRoutine =
        reinterpret_cast<GetCurrentProcessorNumberExRoutine>(GetSystemRoutine("KeGetCurrentProcessorNumberEx"));
}

TARN_PAGEABLE
PVOID GetSystemRoutine(PCSTR name)
{
    PAGED_CODE();
    // Length × 2 + 2 bytes, padded to a multiple of 4: room for the name and its terminator.
    WCHAR wideName[64];
    size_t length = 0;
    while (name[length] != '\0') {
        ++length;
    }
    size_t wideBytes = (length * 2 + 2 + 3) & ~static_cast<size_t>(3);
    if (wideBytes > sizeof(wideName) ||
        !NT_SUCCESS(RtlStringCbPrintfW(wideName, wideBytes, TARN_WIDE("%S"), name))) {
        return NULL;
    }
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, wideName);
    return MmGetSystemRoutineAddress(&routineName);
}

extern "C" TARN_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    NTSTATUS status = STATUS_SUCCESS;

    if (Driver.Adapter != NULL) {
        status = STATUS_IMAGE_ALREADY_LOADED;
        goto Failed;
    }
    if (!NT_SUCCESS(InitializeModule())) {
        status = STATUS_UNSUCCESSFUL;
        goto Failed;
    }
    status = ConstructStatics();
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }
    // The service key path in ANSI with "\Parameters" appended. A path too long for the buffer,
    // or for the registry store's key paths, is refused rather than cut short: a shortened path
    // would name some other key.
    status = RtlStringCbPrintfA(Driver.ParametersPath, sizeof(Driver.ParametersPath), "%.*S%s",
                               static_cast<int>(registryPath->Length / sizeof(WCHAR)), registryPath->Buffer,
                               ParametersSuffix);
    if (!NT_SUCCESS(status) || !FitsKeyPath(Driver.ParametersPath)) {
        status = STATUS_INVALID_PARAMETER;
        goto Failed;
    }
    Driver.PsGetCurrentProcessIdRoutine = GetSystemRoutine("PsGetCurrentProcessId");
    if (Driver.PsGetCurrentProcessIdRoutine == NULL) {
        status = STATUS_UNSUCCESSFUL;
        goto Failed;
    }
    // From Windows 7, with processor groups; before that the one-group routines serve.
    LookUpProcessorRoutines();
    Driver.InterfaceLinkName.Length = 0;
    Driver.InterfaceLinkName.Buffer = NULL;
    Driver.TimerResolutionUs = 0;
    Driver.TimerResolutionRequests = 0;

    status = LoadDriverParams();
    if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND) {
        goto Failed;
    }
    status = PcInitializeAdapterDriver(driverObject, registryPath, AddDevice);
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }
    InstallDispatchHooks(driverObject);
    Driver.PreviousUnload = driverObject->DriverUnload;
    driverObject->DriverUnload = DriverUnload;
    return status;

Failed:
    CleanupDriver();
    return status;
}
