// System services the driver asks about: routine lookup by name, the WDM level, the timer
// resolution and interrupt time. Each answer can be set by tests.
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

std::mutex systemMutex;
UCHAR wdmMajor = 6;
UCHAR wdmMinor = 0;
std::set<std::string> hiddenRoutines;
std::atomic<bool> anyRoutineHidden{false};
std::vector<TimerResolutionCall> timerResolutionCalls;
std::function<void(ULONG, BOOLEAN)> timerResolutionHook;
constexpr ULONG DefaultTimerResolution = 156250;  // 15.625 ms, the usual default
constexpr ULONG FinestTimerResolution = 5000;     // 0.5 ms
// The outstanding finer-resolution requests of each calling image, by its object file: the kernel
// counts every request with TRUE and takes one back with each FALSE.
std::map<std::string, std::vector<ULONG>> resolutionRequests;

// The resolution in force: the finest outstanding request within the hardware's range.
ULONG GrantedResolution()
{
    ULONG granted = DefaultTimerResolution;
    for (const auto& [image, requests] : resolutionRequests) {
        for (ULONG desired : requests) {
            granted = std::min(granted, std::max(desired, FinestTimerResolution));
        }
    }
    return granted;
}

// The routines the system exports by name that the driver looks up at run time.
const std::unordered_map<std::string, void*>& ExportedRoutines()
{
    static const std::unordered_map<std::string, void*> routines = {
        {"PsGetCurrentProcessId", reinterpret_cast<void*>(&PsGetCurrentProcessId)},
        {"KeGetCurrentThread", reinterpret_cast<void*>(&KeGetCurrentThread)},
        {"ExSetTimerResolution", reinterpret_cast<void*>(&ExSetTimerResolution)},
        {"KeQueryActiveProcessorCountEx", reinterpret_cast<void*>(&KeQueryActiveProcessorCountEx)},
        {"KeGetCurrentProcessorNumberEx", reinterpret_cast<void*>(&KeGetCurrentProcessorNumberEx)},
    };
    return routines;
}

}  // namespace

void SetWdmVersionAvailable(UCHAR major, UCHAR minor)
{
    std::lock_guard<std::mutex> guard(systemMutex);
    wdmMajor = major;
    wdmMinor = minor;
}

void HideSystemRoutine(const std::string& name)
{
    std::lock_guard<std::mutex> guard(systemMutex);
    hiddenRoutines.insert(name);
    anyRoutineHidden = true;
}

void ClearHiddenSystemRoutines()
{
    std::lock_guard<std::mutex> guard(systemMutex);
    hiddenRoutines.clear();
    anyRoutineHidden = false;
}

bool SystemRoutineHidden(const char* name)
{
    if (!anyRoutineHidden) {
        return false;
    }
    std::lock_guard<std::mutex> guard(systemMutex);
    return hiddenRoutines.count(name) != 0;
}

void RequireExportedRoutine(const char* name)
{
    if (SystemRoutineHidden(name)) {
        ReportViolation("IMPORT_NOT_EXPORTED", name,
                        std::string("this system does not export ") + name +
                            ", so an image importing it does not load: look it up with "
                            "MmGetSystemRoutineAddress and fall back when it is missing");
    }
}

std::vector<TimerResolutionCall> TakeTimerResolutionCalls()
{
    std::lock_guard<std::mutex> guard(systemMutex);
    std::vector<TimerResolutionCall> calls;
    calls.swap(timerResolutionCalls);
    return calls;
}

void SetTimerResolutionHook(std::function<void(ULONG, BOOLEAN)> hook)
{
    std::lock_guard<std::mutex> guard(systemMutex);
    timerResolutionHook = std::move(hook);
}

void ResetSystemAnswers()
{
    std::lock_guard<std::mutex> guard(systemMutex);
    wdmMajor = 6;
    wdmMinor = 0;
    hiddenRoutines.clear();
    anyRoutineHidden = false;
    timerResolutionCalls.clear();
    timerResolutionHook = nullptr;
    resolutionRequests.clear();
}

void CheckTimerResolutionAtUnload(const std::string& image)
{
    size_t outstanding = 0;
    {
        std::lock_guard<std::mutex> guard(systemMutex);
        auto found = resolutionRequests.find(image);
        if (found == resolutionRequests.end()) {
            return;
        }
        outstanding = found->second.size();
        resolutionRequests.erase(found);
        SetGrantedClockTick(GrantedResolution());
    }
    if (outstanding != 0) {
        ReportViolation("TIMER_RESOLUTION_NOT_RESTORED_AT_UNLOAD", "DriverUnload",
                        std::to_string(outstanding) +
                            " ExSetTimerResolution request(s) with TRUE were never taken back with FALSE; "
                            "the system keeps the finer resolution (and its power cost) after the image is gone");
    }
}

}  // namespace host

// Like MmGetSystemRoutineAddress: the address of an exported routine named by a wide string, or
// null when the system does not export it. PASSIVE_LEVEL only.
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress", "it runs at PASSIVE_LEVEL only");
    std::string name;
    for (USHORT i = 0; i < systemRoutineName->Length / sizeof(WCHAR); ++i) {
        name += static_cast<char>(systemRoutineName->Buffer[i]);
    }
    std::lock_guard<std::mutex> guard(host::systemMutex);
    if (host::hiddenRoutines.count(name) != 0) {
        return nullptr;
    }
    auto found = host::ExportedRoutines().find(name);
    return found == host::ExportedRoutines().end() ? nullptr : found->second;
}

// Like IoIsWdmVersionAvailable: TRUE when the system offers the given WDM level or a newer one.
BOOLEAN IoIsWdmVersionAvailable(UCHAR majorVersion, UCHAR minorVersion)
{
    std::lock_guard<std::mutex> guard(host::systemMutex);
    if (host::wdmMajor == 0 && host::wdmMinor == 0) {
        return FALSE;
    }
    if (majorVersion != host::wdmMajor) {
        return majorVersion < host::wdmMajor;
    }
    return minorVersion <= host::wdmMinor;
}

// Like ExSetTimerResolution: each request with TRUE counts until the same caller takes one back
// with FALSE; the finest outstanding request (no finer than 0.5 ms) is in force and sets the clock
// tick. Returns the resolution then in force.
ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution)
{
    host::RequireIrqlAtMost(APC_LEVEL, "ExSetTimerResolution", "it runs at APC_LEVEL or below");
    const std::string caller = host::ObjectFileOf(__builtin_return_address(0));
    std::function<void(ULONG, BOOLEAN)> hook;
    {
        std::lock_guard<std::mutex> guard(host::systemMutex);
        hook = host::timerResolutionHook;
    }
    if (hook) {
        hook(desiredTime, setResolution);
    }
    bool unmatched = false;
    ULONG granted;
    {
        std::lock_guard<std::mutex> guard(host::systemMutex);
        host::timerResolutionCalls.push_back({desiredTime, setResolution});
        std::vector<ULONG>& requests = host::resolutionRequests[caller];
        if (setResolution) {
            requests.push_back(desiredTime);
        } else if (requests.empty()) {
            unmatched = true;
        } else {
            requests.pop_back();
        }
        granted = host::GrantedResolution();
        host::SetGrantedClockTick(granted);
    }
    if (unmatched) {
        host::ReportViolation("TIMER_RESOLUTION_RELEASED_WITHOUT_REQUEST", "ExSetTimerResolution",
                              "a call with FALSE took back a finer resolution this caller never requested");
    }
    return granted;
}
