// The stand-in platform's controls for tests and tools: the verifier, pool accounting and fault
// injection, the registry file, configurable system answers, and loading the driver image.
#pragma once

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
// System answers the driver asks for

void SetWdmVersionAvailable(UCHAR major, UCHAR minor);  // newest level offered; (0, 0) = none
void HideSystemRoutine(const std::string& name);        // MmGetSystemRoutineAddress returns null
void ClearHiddenSystemRoutines();
struct TimerResolutionCall {
    ULONG desiredTime;
    BOOLEAN set;
};
std::vector<TimerResolutionCall> TakeTimerResolutionCalls();

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

// Restores every configurable answer, fault and log above to its default, and clears the
// registry. Tests call it in their fixture's set-up.
void ResetPlatform();

}  // namespace host
