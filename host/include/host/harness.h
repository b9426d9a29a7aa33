// The stand-in platform's controls for tests and tools: the verifier, pool accounting and fault
// injection, the registry file, configurable system answers, and loading the driver image.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/kernel.h"

namespace host {

// ----------------------------------------------------------------------------------------------
// Verifier: the checks Driver Verifier makes. In Abort mode (the default) a violation prints its
// message and ends the process; in Record mode it is kept for the test to inspect and the call
// goes on as the real system would have done had it not stopped.

enum class VerifierMode { Abort, Record };

struct Violation {
    std::string rule;     // e.g. "IRQL_NOT_LESS_OR_EQUAL"
    std::string routine;  // the service or driver routine that broke it
    std::string message;  // full text: rule, routine, IRQL and what to fix
};

void SetVerifierMode(VerifierMode mode);
// Deadlock detection: the order of spin locks and mutexes is recorded per thread and the first
// inversion reported ("LOCK_HIERARCHY_VIOLATION"). On unless a program (a benchmark) turns it off;
// every test runs with it.
void SetLockOrderChecking(bool enabled);
VerifierMode GetVerifierMode();
std::vector<Violation> TakeViolations();
void ReportViolation(const std::string& rule, const std::string& routine, const std::string& detail);

// Records violations for the lifetime of the object and restores the previous mode afterwards.
class RecordViolations {
public:
    RecordViolations();
    ~RecordViolations();
    std::vector<Violation> Take() { return TakeViolations(); }

private:
    VerifierMode previous_;
};

// ----------------------------------------------------------------------------------------------
// Pool

struct PoolAllocation {
    const void* address;
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    uint64_t serial;   // allocation order, from 1
    std::string site;  // the driver routine that asked for it, when known
};

std::vector<PoolAllocation> LivePoolAllocations();
size_t LivePoolCount();
// The oldest Windows the driver declares it runs on (0x0500 Windows 2000 ... 0x0602 Windows 8,
// default 0x0500). A pool type that version lacks (NonPagedPoolNx before Windows 8) is a verifier
// stop, as is executable NonPagedPool once the minimum requires no-execute pool.
void SetMinimumWindowsVersion(ULONG version);
uint64_t PoolAllocationCount();  // allocations made since the process started

// Fault injection. FailNthAllocation(n) fails the n-th allocation from now on (1 = the next one).
// FailAllocationsFrom(site) fails every allocation whose call stack names a routine containing
// `site`. ClearPoolFaults() turns both off.
void FailNthAllocation(uint64_t n);
void FailAllocationsFrom(const std::string& site);
void ClearPoolFaults();
uint64_t InjectedPoolFailures();

// ----------------------------------------------------------------------------------------------
// Registry: a tree of keys with typed values, persisted to a text file on request.

struct RegistryValueData {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

void RegistryClear();
// Paths are kernel object names such as "\Registry\Machine\Software\..."; case-insensitive.
bool RegistryKeyExists(const std::string& path);
void RegistryCreateKey(const std::string& path);  // creates every missing key of the path
void RegistrySetValue(const std::string& keyPath, const std::string& name, ULONG type,
                      const std::vector<uint8_t>& data);  // creates the key path as needed
void RegistrySetDword(const std::string& keyPath, const std::string& name, ULONG value);
bool RegistryGetValue(const std::string& keyPath, const std::string& name, RegistryValueData* value);
std::vector<std::string> RegistrySubkeys(const std::string& keyPath);
size_t RegistryOpenHandleCount();
// Makes every Zw call on keys at or below `keyPath` fail with `status` (STATUS_SUCCESS clears it).
void RegistryFailAccess(const std::string& keyPath, NTSTATUS status);
void RegistryClearFaults();
// Counts Zw registry calls made since the last clear, by routine name ("ZwCreateKey", ...).
std::map<std::string, int> RegistryCallCounts();
void RegistrySaveFile(const std::string& file);
bool RegistryLoadFile(const std::string& file);

// ----------------------------------------------------------------------------------------------
// Processes: every thread runs in the system process (PsGetCurrentProcessId 4) unless put in a
// client's, as an application's request reaches the driver in the application's process. A
// registry key opened without OBJ_KERNEL_HANDLE outside the system process is reported
// (REGISTRY_HANDLE_NOT_KERNEL): the handle would land in the application's handle table.

constexpr ULONG_PTR SystemProcessId = 4;
constexpr ULONG_PTR ClientProcessId = 0x1F38;  // a process id for tests of client requests
void SetCurrentThreadProcess(ULONG_PTR processId);
ULONG_PTR CurrentThreadProcess();
// Runs the current thread in `processId` for the object's lifetime.
class InProcess {
public:
    explicit InProcess(ULONG_PTR processId = ClientProcessId);
    ~InProcess();
    InProcess(const InProcess&) = delete;
    InProcess& operator=(const InProcess&) = delete;

private:
    ULONG_PTR previous_;
};

// ----------------------------------------------------------------------------------------------
// System answers the driver asks for

void SetWdmVersionAvailable(UCHAR major, UCHAR minor);  // newest level offered; (0, 0) = none
void HideSystemRoutine(const std::string& name);        // MmGetSystemRoutineAddress returns null
void ClearHiddenSystemRoutines();
struct TimerResolutionCall {
    ULONG desiredTime;
    BOOLEAN set;
};
std::vector<TimerResolutionCall> TakeTimerResolutionCalls();
// Called on entry to ExSetTimerResolution, before the request takes effect and is recorded: a
// test can make another request arrive in between, as another processor could. Null clears it.
void SetTimerResolutionHook(std::function<void(ULONG desiredTime, BOOLEAN set)> hook);

// ----------------------------------------------------------------------------------------------
// Driver image: a fresh load of the driver's shared object for every DriverImage, so its globals
// start from their load-time values as they do on Windows.

class DriverImage {
public:
    explicit DriverImage(const std::string& imagePath);
    ~DriverImage();  // unloads if still loaded
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    // Calls DriverEntry with a fresh driver object and the service key path.
    NTSTATUS Load(const std::string& serviceKeyPath = DefaultServiceKey);
    // Calls the driver's unload routine (when DriverEntry succeeded), then unmaps the image and
    // reports every pool allocation still live as a leak (rule "POOL_LEAK_AT_UNLOAD").
    void Unload();
    // Calls DriverEntry once more on the loaded image, with its INIT section still in place, as a
    // test of the driver's guard against a second entry (the kernel itself never does this).
    NTSTATUS EnterAgain(PUNICODE_STRING registryPath);
    bool Loaded() const { return handle_ != nullptr; }

    PDRIVER_OBJECT DriverObject() { return driverObject_.get(); }
    // The address of one of the image's exported symbols (C linkage or mangled name).
    void* Symbol(const std::string& name) const;

    static const std::string DefaultServiceKey;

private:
    std::string imagePath_;
    std::string loadedCopy_;
    void* handle_ = nullptr;
    bool entrySucceeded_ = false;
    std::unique_ptr<DRIVER_OBJECT> driverObject_;
    std::unique_ptr<DRIVER_EXTENSION> driverExtension_;
};

// The driver image built beside the tests (set by the build).
std::string DefaultDriverImagePath();

// The dispatch routine PcInitializeAdapterDriver installs for every major function, the unload
// routine it installs, and the AddDevice routine it was given (as the class driver keeps them).
PDRIVER_DISPATCH ClassDispatchRoutine();
PDRIVER_UNLOAD ClassUnloadRoutine();
PDRIVER_ADD_DEVICE RegisteredAddDevice(PDRIVER_OBJECT driverObject);
// Records the order of interesting platform events ("class unload", "IoSetDeviceInterfaceState
// disable", "RtlFreeUnicodeString", ...) so tests can check teardown order.
std::vector<std::string> TakeEventLog();
void LogEvent(const std::string& event);
void SetPcInitializeAdapterDriverStatus(NTSTATUS status);
// The status PcDispatchIrp returns from now on for a call without a request (a test of the
// driver's hooks alone) and for requests the stand-in's class driver does not handle
// (STATUS_SUCCESS, STATUS_PENDING, a failure); STATUS_INVALID_DEVICE_REQUEST after a reset.
void SetPcDispatchIrpStatus(NTSTATUS status);

// ----------------------------------------------------------------------------------------------
// I/O manager: requests and device interfaces

// One request as the I/O manager builds it: an IRP with one stack location and a file object,
// IoStatus.Status STATUS_NOT_SUPPORTED until someone answers it (as for PnP requests).
struct IoRequest {
    IoRequest(UCHAR majorFunction, UCHAR minorFunction, PDEVICE_OBJECT deviceObject);
    ~IoRequest();
    IoRequest(const IoRequest&) = delete;
    IoRequest& operator=(const IoRequest&) = delete;

    // Like IoCallDriver: through the device's driver's MajorFunction table, at PASSIVE_LEVEL.
    NTSTATUS Send(PDEVICE_OBJECT deviceObject);
    PIO_STACK_LOCATION Stack() { return &stack; }
    // The request is about `fileObject` (a handle's, which outlives the request) instead of its own.
    void UseFileObject(PFILE_OBJECT fileObject);

    IRP irp;
    IO_STACK_LOCATION stack;
    FILE_OBJECT file;
    bool completed = false;    // set by IofCompleteRequest
    CCHAR priorityBoost = 0;  // as IofCompleteRequest was given it
};

// The file objects open on a device: creates that succeeded through KsHandle (the client's handles)
// and are not yet closed. The PnP manager refuses to remove a device while any is open.
size_t OpenFileCount(PDEVICE_OBJECT deviceObject);

// DeviceIoControl with a METHOD_BUFFERED code on `fileObject`, as the I/O manager carries it: one
// system buffer of max(input, output) bytes (none when both are 0) holding the input, the lengths
// and code in the stack location, and on completion the first Information bytes of the system
// buffer copied to `output` unless the status is an error. A driver that reports more bytes than
// the output holds is stopped (BUFFERED_IO_OVERRUN); one that returns without completing too
// (IRP_NOT_COMPLETED). Returns the status the request completed with; *bytesReturned is its
// Information.
NTSTATUS SendBufferedDeviceControl(PDEVICE_OBJECT deviceObject, PFILE_OBJECT fileObject, ULONG ioControlCode,
                                   const void* input, ULONG inputLength, void* output, ULONG outputLength,
                                   ULONG_PTR* bytesReturned);

struct DeviceInterface {
    std::u16string link;  // "\??\ROOT#MEDIA#nnnn#{class}" and "\reference" when it has one
    GUID interfaceClass;
    bool enabled;
};
// The interfaces registered on a physical device object (every one when null), in registration
// order.
std::vector<DeviceInterface> DeviceInterfaces(PDEVICE_OBJECT physicalDeviceObject);
// The link IoRegisterDeviceInterface gives for this device, class and reference string.
std::u16string DeviceInterfaceLink(PDEVICE_OBJECT physicalDeviceObject, const GUID& interfaceClass,
                                   const std::u16string& reference);
// Puts a link of any text on the device, as another driver or a stale registration leaves one.
void AddDeviceInterfaceLink(const std::u16string& link, const GUID& interfaceClass,
                            PDEVICE_OBJECT physicalDeviceObject, bool enabled);
void RemoveDeviceInterface(const std::u16string& link);
// The interfaces enabled or disabled since the last call, in order (successful changes only).
struct InterfaceStateChange {
    std::u16string link;
    bool enabled;
};
std::vector<InterfaceStateChange> TakeInterfaceStateChanges();
void ResetDeviceInterfaces();

// ----------------------------------------------------------------------------------------------
// PnP: a device node on the root bus as the PnP manager keeps it, and what PortCls registered for
// the device (choices in pnp.cpp and subdevices.cpp).

class DeviceNode {
public:
    // A physical device object for a loaded image's driver; nothing is sent yet.
    explicit DeviceNode(DriverImage& image);
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;

    // Calls the AddDevice routine the class driver was given with the physical device object.
    NTSTATUS Add();
    // IRP_MN_START_DEVICE through the driver's MajorFunction table (the class driver calls the
    // StartDevice routine); after a failed start the PnP manager removes the device.
    NTSTATUS Start();
    NTSTATUS AddAndStart();
    NTSTATUS Stop();    // IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE
    // IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE. While an application keeps a handle
    // open on the device the PnP manager vetoes the removal before sending anything
    // (STATUS_DEVICE_BUSY), as Windows does for an orderly removal.
    NTSTATUS Remove();
    // One PnP request; `interfaceType` fills Parameters.QueryInterface (with an INTERFACE to fill).
    NTSTATUS SendPnp(UCHAR minorFunction, const GUID* interfaceType = nullptr);
    NTSTATUS SendPower(UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state);
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);  // IRP_MN_SET_POWER, SystemPowerState

    PDEVICE_OBJECT PhysicalDevice() { return &physicalDevice_; }
    // The device object AddDevice had the class driver create; null before and after removal.
    PDEVICE_OBJECT FunctionalDevice();

private:
    DriverImage& image_;
    DEVICE_OBJECT physicalDevice_;
};

struct Subdevice {
    std::u16string name;  // "wave1", "topo1", ...
    bool wave;            // a WavePci port, else a Topology port
    std::vector<std::u16string> links;  // its interfaces, in category order
};
struct PhysicalConnection {
    std::u16string fromName;
    ULONG fromPin;
    std::u16string toName;
    ULONG toPin;
};
// In registration order.
std::vector<Subdevice> RegisteredSubdevices(PDEVICE_OBJECT functionalDevice);
std::vector<PhysicalConnection> PhysicalConnections(PDEVICE_OBJECT functionalDevice);
// The MaxObjects the driver gave PcAddAdapterDevice for the device (0 for an unknown device).
ULONG MaxSubdevices(PDEVICE_OBJECT functionalDevice);
// Opens a handle on the filter of the subdevice registered as `name`, as a client's CreateFile
// on its interface does; STATUS_OBJECT_NAME_NOT_FOUND when no device registered the name.
class KsFilter;
NTSTATUS OpenFilter(const std::u16string& name, KsFilter** filter);
// What the class driver keeps in the FsContext of a file object it opened (choices in
// subdevices.cpp): a filter handle (`filter`, referenced) or a pin handle (`pin`, referenced).
class WavePciPin;
struct KsFileContext {
    KsFilter* filter;
    WavePciPin* pin;
};
// Makes PcRegisterSubdevice of `name` fail with `status` (reset by ResetPlatform).
void FailSubdeviceRegistration(const std::u16string& name, NTSTATUS status);

// ----------------------------------------------------------------------------------------------
// Processors, the interrupt-time clock, timers and DPCs.
//
// Time is virtual by default: the clock stands still until a test advances it, and the DPCs run
// on the calling thread, each with the processor number and IRQL of the processor it was queued
// on. StartRealTime switches to real threads (one per processor) and the monotonic clock.
//
// Choices where the platform leaves room (kept by every test of the driver):
// - The clock starts at BootInterruptTime, two hours of uptime: past 2^32 units, so interrupt
//   times kept in 32 bits go wrong at once. The system time at that moment is BootSystemTime.
// - KeQueryInterruptTime moves only at clock ticks: 15.625 ms by default, as fine as the finest
//   outstanding ExSetTimerResolution request while there is one (0.5 ms at the finest);
//   SetClockTick fixes the tick for the rest of a test (1 makes the clock continuous).
//   A timer due at t expires at the first tick at or after t; a relative due time counts from
//   the clock as last read. Timers due at the same tick expire one at a time in due-time order
//   (equal due times in setting order), and the DPCs each one queues run before the next expires.
// - A timer's DPC goes to the processor that set the timer (as Windows keeps a timer in the
//   setting processor's timer table and runs an untargeted timer DPC where the timer expires),
//   unless KeSetTargetProcessorDpc chose one; SetTimerDpcPlacement(RoundRobin) instead deals
//   untargeted timer DPCs to the processors in turn (one turn per queuing), which lets one
//   timer's DPC overlap itself.
// - A thread outside a DPC runs on the lowest processor of its affinity: processor 0 unless
//   KeSetSystemAffinityThread moved it.
// - A periodic timer that has missed whole periods (a long delay) expires once and keeps its phase.
// - In virtual time, DPCs queued outside AdvanceTime run at the next AdvanceTime (even of zero)
//   or RunQueuedDpcs, not inside KeInsertQueueDpc.
// - Processors run their ready DPCs in processor order: processor 0 empties its queue, then 1,
//   and so on, until none has a ready DPC.

// Durations and times below are in interrupt-time units: 100 ns, as KeQueryInterruptTime counts.
constexpr ULONGLONG BootInterruptTime = 72000000000ull;   // 2 hours
constexpr LONGLONG BootSystemTime = 133485408000000000ll;   // 2024-01-01 00:00:00 UTC
constexpr ULONGLONG DefaultClockTick = 156250;              // 15.625 ms, until a finer resolution is set
constexpr ULONGLONG FinestClockTick = 5000;                 // 0.5 ms, the finest resolution granted
constexpr unsigned DefaultProcessorCount = 2;

// 1..64 processors; only while no real-time threads run and no DPC is queued on a processor
// that goes away.
void SetProcessorCount(unsigned count);
unsigned ProcessorCount();
void SetClockTick(ULONGLONG tick);

// Moves the virtual clock forward by `duration`, expiring due timers in time order and running
// the DPCs on their processors as the clock passes their time. Called from inside a DPC routine
// (holding no spin lock), it runs the other processors' DPCs in the middle of that one: the way
// to interleave two processors deterministically. Not in real-time mode (std::logic_error).
void AdvanceTime(ULONGLONG duration);
// Runs the DPCs that are ready now (AdvanceTime of zero).
void RunQueuedDpcs();
// A sleep and resume (or a debugger break): the clock jumps by `duration` with no timer expiring
// on the way, then every overdue timer expires at once, as on resume. Not in real-time mode.
void SimulateSleep(ULONGLONG duration);
// As on Windows, a DPC queued for the current processor runs as soon as its IRQL falls below
// DISPATCH_LEVEL: inside the release of a spin lock or KeLowerIrql, and before KeInsertQueueDpc
// returns when called below DISPATCH_LEVEL. Off by default (DPCs then wait for AdvanceTime);
// virtual time only.
void SetDpcsRunWhenIrqlDrops(bool on);
// The DPC watchdog: one DPC routine's run may cost at most `workBytes` of work charged by the
// driver (HostChargeDpcWork, counted in virtual and real time alike) and, in real-time mode,
// `cpuTime` of its thread's processor time (100-ns units); beyond either, DPC_WATCHDOG_VIOLATION.
constexpr ULONGLONG DefaultDpcWorkBudget = 4ull << 20;       // 4 MiB of cable data in one pass
constexpr ULONGLONG DefaultDpcCpuBudget = 100 * 10000;       // 100 ms
void SetDpcBudget(ULONGLONG workBytes, ULONGLONG cpuTime);

// Fault injection for timer DPCs. Each DPC that a timer queues makes its processor wait the delay
// plus a jitter drawn uniformly from [0, maximum] (a seeded generator: the same seed gives the
// same sequence) before it runs DPCs again. StallProcessor keeps one processor from running DPCs
// for `duration` from now, as a long interrupt or a higher-importance DPC storm would.
void SetDpcDelay(ULONGLONG delay);
void SetDpcJitter(ULONGLONG maximum, uint64_t seed);
void StallProcessor(unsigned processor, ULONGLONG duration);

enum class TimerDpcPlacement { SettingProcessor, RoundRobin };
void SetTimerDpcPlacement(TimerDpcPlacement placement);

// Real-time mode: one thread per processor runs its DPC queue and one more expires timers; the
// clock follows the monotonic clock from where the virtual clock stood. StopRealTime lets running
// DPCs finish, keeps queued timers and DPCs queued, and hands the clock back to virtual time.
void StartRealTime();
void StopRealTime();
bool RealTimeRunning();
// Polls `condition` until it holds or `timeout` has passed in real time; true when it held.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

size_t QueuedTimerCount();
size_t QueuedDpcCount();
// The calling thread's affinity as KeSetSystemAffinityThread left it (all processors if never set).
KAFFINITY ThreadAffinity();
// Every KeSetSystemAffinityThread call of any thread since the last take (or the platform's
// reset), in call order: the calling thread's object and the mask it asked for.
struct AffinityCall {
    PKTHREAD thread;
    KAFFINITY affinity;
};
std::vector<AffinityCall> TakeAffinityCalls();

// The processing section: per thread, nestable. Inside it any pool call, wait or mutex release
// is a violation (rule BLOCKING_CALL_IN_PROCESSING_SECTION naming the region). The driver marks
// it with HOST_ENTER_NO_BLOCK_REGION / HOST_LEAVE_NO_BLOCK_REGION (kernel.h).
void EnterNoBlockRegion(const char* name);
void LeaveNoBlockRegion();

// The variant HostEngineVariant reports (0 or 1): code under measurement reads it through
// ENGINE_VARIANT() to run its old or its new version. Kept by ResetPlatform.
void SetEngineVariant(LONG variant);

// Restores every configurable answer, fault and log above to its default, and clears the
// registry. Tests call it in their fixture's set-up.
void ResetPlatform();

}  // namespace host
