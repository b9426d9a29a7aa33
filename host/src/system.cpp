// System services the driver asks about: routine lookup by name, the WDM level, the timer
// resolution and interrupt time. Each answer can be set by tests.
#include <atomic>
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

// Like ExSetTimerResolution: records the request and returns the resolution then in force.
ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution)
{
    std::function<void(ULONG, BOOLEAN)> hook;
    {
        std::lock_guard<std::mutex> guard(host::systemMutex);
        hook = host::timerResolutionHook;
    }
    if (hook) {
        hook(desiredTime, setResolution);
    }
    std::lock_guard<std::mutex> guard(host::systemMutex);
    host::timerResolutionCalls.push_back({desiredTime, setResolution});
    return setResolution ? desiredTime : host::DefaultTimerResolution;
}
