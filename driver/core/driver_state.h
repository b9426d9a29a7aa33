// The driver-wide state shared by the driver's subsystems for as long as the image is loaded,
// and the services of the driver's module frame: timer resolution and system routine lookup.
#pragma once

#include "core/list.h"

class Adapter;
typedef Adapter* PADAPTER;
struct CountedOpen;

constexpr size_t ParametersPathBytes = 264;

// The processor-group routines, which systems before Windows 7 do not export.
typedef ULONG (NTAPI* QueryActiveProcessorCountExRoutine)(USHORT groupNumber);
typedef ULONG (NTAPI* GetCurrentProcessorNumberExRoutine)(PPROCESSOR_NUMBER processorNumber);

struct DriverState {
    PADAPTER Adapter;                      // one reference; set by StartDevice, released by cleanup
    UNICODE_STRING InterfaceLinkName;      // the control interface's link; buffer from the system
    PDEVICE_OBJECT PhysicalDeviceObject;   // from AddDevice
    CHAR ParametersPath[ParametersPathBytes];  // service key path + "\Parameters", ANSI
    PDRIVER_UNLOAD PreviousUnload;         // the class driver's unload routine
    BOOLEAN DeviceAdded;                   // set once AddDevice has succeeded; never cleared
    BOOLEAN RestartNeeded;                 // written under the Adapter's AdapterLock
    LONG OpenHandles;                      // interlocked only; the entries of OpenFiles
    KSPIN_LOCK OpenFilesLock;              // guards OpenFiles; initialised with the dispatch hooks
    CountedOpen* OpenFiles;                // the file objects OpenHandles counts, newest first
    ULONG TimerResolutionUs;               // guarded by TimerResolutionLock; 0 = none requested
    KSPIN_LOCK TimerResolutionLock;
    KIRQL TimerResolutionIrql;             // the IRQL saved by the lock's acquisition
    LONG TimerResolutionRequests;          // system requests made with TRUE; interlocked only
    PVOID PsGetCurrentProcessIdRoutine;    // looked up by name at entry
    // Looked up by name at entry; null where the system has them not, and the one-group routines
    // stand in (every processor is then in group 0).
    QueryActiveProcessorCountExRoutine KeQueryActiveProcessorCountExRoutine;
    GetCurrentProcessorNumberExRoutine KeGetCurrentProcessorNumberExRoutine;
    ULONG OsVersion;                       // 0x0600, 0x0502, 0x0501 or 0x0500
    List* TerminationList;                 // functions run at cleanup, last registered first
};

// Zero at load: no constructor runs in the kernel, so the state is plain data.
extern DriverState Driver;

// Requests a system timer resolution of `us` microseconds if it is finer than any requested so
// far. The request is withdrawn only by cleanup.
_IRQL_requires_(PASSIVE_LEVEL)
void RequestTimerResolution(ULONG us);

// The address of a system routine looked up by its ANSI name, or null.
_IRQL_requires_(PASSIVE_LEVEL)
PVOID GetSystemRoutine(PCSTR name);

// Looks up the processor-group routines by name (DriverEntry does, before anything asks).
_IRQL_requires_(PASSIVE_LEVEL)
void LookUpProcessorRoutines();

// The active processors of every group.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline ULONG ActiveProcessorCount()
{
    QueryActiveProcessorCountExRoutine routine = Driver.KeQueryActiveProcessorCountExRoutine;
    return (routine != NULL) ? routine(ALL_PROCESSOR_GROUPS) : KeQueryActiveProcessorCount(NULL);
}

// The system-wide index of the current processor: through the pointer stored at entry, as the
// timer DPC asks on every pass. The caller runs at DISPATCH_LEVEL, so the processor stays.
_IRQL_requires_(DISPATCH_LEVEL)
inline ULONG CurrentProcessorIndex()
{
    GetCurrentProcessorNumberExRoutine routine = Driver.KeGetCurrentProcessorNumberExRoutine;
    return (routine != NULL) ? routine(NULL) : KeGetCurrentProcessorNumber();
}

// Registers a function that module cleanup runs; the last registered runs first.
typedef void (*TerminationRoutine)();
NTSTATUS RegisterTermination(TerminationRoutine routine);

// Tears down whatever part of the driver-wide state exists; used by unload and by every failure
// path of DriverEntry.
void CleanupDriver();
