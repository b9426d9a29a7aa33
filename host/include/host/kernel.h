// The Windows kernel services the driver calls, declared with their published names and
// semantics for the host build. Implementations live in host/src; see PLATFORM-NOTES for the
// behaviour each one reproduces.
#pragma once

#include "host/ntdef.h"

#define HOST_KAPI extern "C"

// ---------------------------------------------------------------------------------------------
// IRQL

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

HOST_KAPI KIRQL KeGetCurrentIrql(void);
HOST_KAPI KIRQL KfRaiseIrql(KIRQL newIrql);
HOST_KAPI void KeLowerIrql(KIRQL newIrql);
#define KeRaiseIrql(newIrql, oldIrql) (*(oldIrql) = KfRaiseIrql(newIrql))
HOST_KAPI KIRQL KeRaiseIrqlToDpcLevel(void);

// Pageable code checks its IRQL: the host verifier stops on pageable code run above APC_LEVEL.
HOST_KAPI void HostVerifyPagedCode(const char* routine);
#define PAGED_CODE() HostVerifyPagedCode(__func__)

// ---------------------------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

HOST_KAPI PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
HOST_KAPI PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes);
HOST_KAPI void ExFreePool(PVOID p);
HOST_KAPI void ExFreePoolWithTag(PVOID p, ULONG tag);

// ---------------------------------------------------------------------------------------------
// Threads, spin locks, mutexes and interlocked operations

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PETHREAD;

HOST_KAPI PKTHREAD KeGetCurrentThread(void);
HOST_KAPI HANDLE PsGetCurrentProcessId(void);

HOST_KAPI void KeInitializeSpinLock(PKSPIN_LOCK spinLock);
HOST_KAPI KIRQL KfAcquireSpinLock(PKSPIN_LOCK spinLock);
HOST_KAPI void KfReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KfAcquireSpinLock(lock))
#define KeReleaseSpinLock(lock, newIrql) KfReleaseSpinLock((lock), (newIrql))
HOST_KAPI void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock);
HOST_KAPI void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock);

// A dispatcher object header as far as the driver sees it; the host keeps its wait state behind it.
typedef struct _DISPATCHER_HEADER {
    LONG Type;
    LONG SignalState;
} DISPATCHER_HEADER;

// Room for the host's own wait primitives, kept inside the object as the kernel keeps its wait
// lists inside dispatcher objects (so nothing is allocated or leaked behind the driver's back).
#define HOST_DISPATCHER_STATE_BYTES 96

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    PKTHREAD OwnerThread;
    LONG RecursionCount;
    alignas(8) UCHAR HostState[HOST_DISPATCHER_STATE_BYTES];
} KMUTANT, KMUTEX, *PKMUTANT, *PKMUTEX;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
    alignas(8) UCHAR HostState[HOST_DISPATCHER_STATE_BYTES];
} KEVENT, *PKEVENT;

typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1 } MODE;
typedef CCHAR KPROCESSOR_MODE;

HOST_KAPI void KeInitializeMutex(PKMUTEX mutex, ULONG level);
HOST_KAPI LONG KeReleaseMutex(PKMUTEX mutex, BOOLEAN wait);
HOST_KAPI LONG KeReadStateMutex(PKMUTEX mutex);
HOST_KAPI NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                                         BOOLEAN alertable, PLARGE_INTEGER timeout);

// The interlocked family: compiler intrinsics on Windows, so inline here too, where an atomic
// then costs what it costs in the kernel rather than a call into the host. Full barriers, as on x64.
extern "C" {
inline LONG InterlockedIncrement(LONG volatile* addend)
{
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* addend)
{
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value)
{
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG64 InterlockedExchange64(LONG64 volatile* target, LONG64 value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* destination, LONG64 exchange, LONG64 comparand)
{
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
// Like ReadPointerNoFence: an atomic read with no ordering, a plain load on x64.
inline PVOID ReadPointerNoFence(PVOID const volatile* source)
{
    return __atomic_load_n(source, __ATOMIC_RELAXED);
}
// Like ReadNoFence: an atomic 32-bit read with no ordering, a plain load on x64.
inline LONG ReadNoFence(LONG const volatile* source)
{
    return __atomic_load_n(source, __ATOMIC_RELAXED);
}
// Like WritePointerNoFence: an atomic store with no ordering, a plain store on x64.
inline void WritePointerNoFence(PVOID volatile* destination, PVOID value)
{
    __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}
// Like WriteRelease: an atomic store that earlier accesses may not pass, a plain store on x64.
inline void WriteRelease(LONG volatile* destination, LONG value)
{
    __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}
}
// Like PreFetchCacheLine on x64: a hint to load the line holding the address, which never
// faults, whatever the address. The instruction itself: GCC deletes a loop whose only effect is
// its prefetch builtin, but keeps a volatile statement.
#define PF_TEMPORAL_LEVEL_1 3
#define PreFetchCacheLine(l, a) __asm__ __volatile__("prefetcht0 %0" : : "m"(*(const char*)(a)))

// Like YieldProcessor in a spin-wait loop; the host also yields the thread, whose lock holder
// may be a preempted host thread.
HOST_KAPI void YieldProcessor(void);

// ---------------------------------------------------------------------------------------------
// Memory and run-time library

#define RtlCopyMemory(d, s, n) __builtin_memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) __builtin_memmove((d), (s), (n))
#define RtlFillMemory(d, n, v) __builtin_memset((d), (v), (n))
#define RtlZeroMemory(d, n) __builtin_memset((d), 0, (n))
#define RtlEqualMemory(a, b, n) (__builtin_memcmp((a), (b), (n)) == 0)
#define RtlCompareMemory(a, b, n) HostRtlCompareMemory((a), (b), (n))
HOST_KAPI SIZE_T HostRtlCompareMemory(const void* a, const void* b, SIZE_T length);

HOST_KAPI void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
HOST_KAPI void RtlInitAnsiString(PANSI_STRING destination, PCSTR source);
HOST_KAPI void RtlFreeUnicodeString(PUNICODE_STRING unicodeString);
HOST_KAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive);
HOST_KAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive);
// Like the kernel's wcscmp and wcslen on 16-bit characters (C++ overloads beside the C library's).
inline int wcscmp(const WCHAR* a, const WCHAR* b)
{
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return (*a < *b) ? -1 : (*a > *b) ? 1 : 0;
}
inline SIZE_T wcslen(const WCHAR* s)
{
    SIZE_T n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// Registry

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                                         \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                          \
     (~SYNCHRONIZE))

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

HOST_KAPI NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes);
HOST_KAPI NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                               ULONG titleIndex, PUNICODE_STRING className, ULONG createOptions, PULONG disposition);
HOST_KAPI NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                                   KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation,
                                   ULONG length, PULONG resultLength);
HOST_KAPI NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type,
                                 PVOID data, ULONG dataSize);
HOST_KAPI NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName);
HOST_KAPI NTSTATUS ZwDeleteKey(HANDLE keyHandle);
HOST_KAPI NTSTATUS ZwClose(HANDLE handle);

// ---------------------------------------------------------------------------------------------
// System services looked up or queried by the driver

HOST_KAPI PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName);
HOST_KAPI BOOLEAN IoIsWdmVersionAvailable(UCHAR majorVersion, UCHAR minorVersion);
HOST_KAPI ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution);
HOST_KAPI ULONGLONG KeQueryInterruptTime(void);

// ---------------------------------------------------------------------------------------------
// Timers, DPCs and processors (names, values and layouts of the published fields as in wdm.h).
// Drivers embed these objects but never touch their fields; the Host* members are the stand-in
// scheduler's own bookkeeping.

typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef KAFFINITY* PKAFFINITY;

typedef enum _KDPC_IMPORTANCE {
    LowImportance,
    MediumImportance,
    HighImportance,
    MediumHighImportance
} KDPC_IMPORTANCE;

struct _KDPC;
typedef void KDEFERRED_ROUTINE(struct _KDPC* dpc, PVOID deferredContext, PVOID systemArgument1,
                               PVOID systemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;
    ULONG HostQueued;          // scheduler generation while queued, else 0
    ULONG HostProcessor;       // the processor whose queue holds it
    ULONGLONG HostSequence;    // insertion order, for KeFlushQueuedDpcs
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    struct _KDPC* Dpc;
    ULONG Processor;
    ULONG Period;
    ULONG HostQueued;  // scheduler generation while in the timer queue, else 0
} KTIMER, *PKTIMER, *PRKTIMER;

HOST_KAPI void KeInitializeTimer(PKTIMER timer);
HOST_KAPI void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
HOST_KAPI BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
HOST_KAPI BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc);
HOST_KAPI BOOLEAN KeCancelTimer(PKTIMER timer);
HOST_KAPI BOOLEAN KeReadStateTimer(PKTIMER timer);

HOST_KAPI void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE deferredRoutine, PVOID deferredContext);
HOST_KAPI BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2);
HOST_KAPI BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
HOST_KAPI void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance);
HOST_KAPI void KeSetTargetProcessorDpc(PRKDPC dpc, CCHAR number);
HOST_KAPI void KeFlushQueuedDpcs(void);

HOST_KAPI volatile CCHAR KeNumberProcessors;
HOST_KAPI ULONG KeGetCurrentProcessorNumber(void);
HOST_KAPI ULONG KeQueryActiveProcessorCount(PKAFFINITY activeProcessors);
// The emulated processors form one group, group 0.
typedef struct _PROCESSOR_NUMBER {
    USHORT Group;
    UCHAR Number;
    UCHAR Reserved;
} PROCESSOR_NUMBER, *PPROCESSOR_NUMBER;
#define ALL_PROCESSOR_GROUPS 0xffff
HOST_KAPI ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER processorNumber);
HOST_KAPI ULONG KeQueryActiveProcessorCountEx(USHORT groupNumber);
HOST_KAPI KAFFINITY KeQueryActiveProcessors(void);
HOST_KAPI void KeSetSystemAffinityThread(KAFFINITY affinity);
HOST_KAPI void KeRevertToUserAffinityThread(void);
HOST_KAPI void KeQuerySystemTime(PLARGE_INTEGER currentTime);

// The processing section of a timer DPC is marked so that the host verifier can fail any pool
// call, wait or mutex inside it. The Windows platform header defines both macros empty.
HOST_KAPI void HostEnterNoBlockRegion(const char* name);
HOST_KAPI void HostLeaveNoBlockRegion(void);
#define HOST_ENTER_NO_BLOCK_REGION(name) HostEnterNoBlockRegion(name)
// The work a DPC routine does, charged against the DPC watchdog's budget (harness.h).
HOST_KAPI void HostChargeDpcWork(ULONGLONG bytes);
#define HOST_LEAVE_NO_BLOCK_REGION() HostLeaveNoBlockRegion()
// Which of two versions of a routine under measurement runs, 0 or 1: the A/B harness
// (bench/engine_ab.cpp) flips it between slices of audio. 0 unless the harness sets it.
HOST_KAPI LONG HostEngineVariant(void);

// ---------------------------------------------------------------------------------------------
// I/O manager: driver and device objects, IRPs and device interfaces

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IO_NO_INCREMENT 0
#define IO_SOUND_INCREMENT 8

// Device control codes (devioctl.h): device type, function, transfer method and access.
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _IRP IRP, *PIRP;

typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef void DRIVER_UNLOAD(PDRIVER_OBJECT driverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef void DRIVER_STARTIO(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef DRIVER_STARTIO* PDRIVER_STARTIO;

typedef struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CCHAR StackSize;
};

HOST_KAPI NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable);
HOST_KAPI NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                             PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName);

// ---------------------------------------------------------------------------------------------
// Power

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE, *PPOWER_STATE_TYPE;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG Flags;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, Width64Bits, WidthNoWrap, MaximumDmaWidth } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED;
typedef enum _DEVICE_REGISTRY_PROPERTY { DevicePropertyDeviceDescription = 0 } DEVICE_REGISTRY_PROPERTY;

// ---------------------------------------------------------------------------------------------
// IRPs, their stack locations and file objects (wdm.h): the fields a driver reads, with the
// published names. The I/O manager of the stand-in builds them with one stack location per
// request.

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define DEVICE_INTERFACE_INCLUDE_NONACTIVE 0x00000001

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject
} POWER_ACTION, *PPOWER_ACTION;

typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PVOID InterfaceReference;
    PVOID InterfaceDereference;
} INTERFACE, *PINTERFACE;

// {496B8280-6F25-11D0-BEAF-08002BE2092F}
DEFINE_GUID(GUID_BUS_INTERFACE_STANDARD, 0x496B8280, 0x6F25, 0x11D0, 0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F);

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            POWER_ACTION ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PVOID CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

struct _IRP {
    CSHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PIO_STATUS_BLOCK UserIosb;
    PVOID UserBuffer;
    struct {
        struct {
            PIO_STACK_LOCATION CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp)
{
    return irp->Tail.Overlay.CurrentStackLocation;
}

// Completes an IRP: the I/O manager takes IoStatus as the request's result.
HOST_KAPI void IofCompleteRequest(PIRP irp, CCHAR priorityBoost);
#define IoCompleteRequest(irp, boost) IofCompleteRequest(irp, boost)

// Like IoGetDeviceInterfaces: the symbolic links of the class's interfaces on the device (every
// device when null), enabled ones only unless DEVICE_INTERFACE_INCLUDE_NONACTIVE; a paged-pool
// list of strings ended by an empty one, freed with ExFreePool.
HOST_KAPI NTSTATUS IoGetDeviceInterfaces(const GUID* interfaceClassGuid, PDEVICE_OBJECT physicalDeviceObject,
                                         ULONG flags, PWSTR* symbolicLinkList);
