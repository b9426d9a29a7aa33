// A timer and a DPC whose runs are logged with what the routine saw: the interrupt time, the
// processor and the IRQL. Tests read the log to check order, timing and placement.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/harness.h"

constexpr ULONGLONG Millisecond = 10000;  // interrupt-time units (100 ns)
constexpr ULONG TestPoolTag = 0x74736554;  // "Test"

struct DpcRun {
    std::string name;
    ULONGLONG elapsed;  // interrupt time since boot
    ULONG processor;
    KIRQL irql;
    PVOID argument1;
    PVOID argument2;
};

class DpcProbe {
public:
    DpcProbe(std::vector<DpcRun>* log, std::string name) : log_(log), name_(std::move(name))
    {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, &DpcProbe::Routine, this);
    }

    // Sets the timer `relative` interrupt-time units from now (one-shot, or periodic in ms).
    BOOLEAN SetIn(ULONGLONG relative, LONG periodMs = 0)
    {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(relative);
        return KeSetTimerEx(&timer, due, periodMs, &dpc);
    }

    KTIMER timer;
    KDPC dpc;
    std::function<void(DpcProbe&)> onRun;  // runs inside the DPC, after the run is logged
    int runs = 0;

private:
    static void Routine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
    {
        auto* probe = static_cast<DpcProbe*>(context);
        ++probe->runs;
        probe->log_->push_back({probe->name_, KeQueryInterruptTime() - host::BootInterruptTime,
                                KeGetCurrentProcessorNumber(), KeGetCurrentIrql(), argument1, argument2});
        if (probe->onRun) {
            probe->onRun(*probe);
        }
    }

    std::vector<DpcRun>* log_;
    std::string name_;
};

// The names in a log, in run order.
inline std::vector<std::string> Names(const std::vector<DpcRun>& log)
{
    std::vector<std::string> names;
    for (const DpcRun& run : log) {
        names.push_back(run.name);
    }
    return names;
}

// The times (since boot) in a log, in run order.
inline std::vector<ULONGLONG> Times(const std::vector<DpcRun>& log)
{
    std::vector<ULONGLONG> times;
    for (const DpcRun& run : log) {
        times.push_back(run.elapsed);
    }
    return times;
}
