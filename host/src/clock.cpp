// The interrupt-time clock: virtual (tests move it) or real (the monotonic clock, for tools and
// concurrency tests), read at clock-tick granularity; the system time moves with it.
#include <stdexcept>

#include "scheduler.h"

namespace host {

std::atomic<ULONGLONG> virtualNow{BootInterruptTime};
std::atomic<ULONGLONG> tickUnits{DefaultClockTick};
std::atomic<bool> tickSetByTest{false};
std::atomic<bool> realClock{false};

namespace {

std::atomic<int64_t> realStartNs{0};
std::atomic<ULONGLONG> realBase{0};

constexpr LONGLONG SystemTimeAtZeroInterruptTime = BootSystemTime - static_cast<LONGLONG>(BootInterruptTime);

int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ULONGLONG RealExactTime()
{
    int64_t elapsedNs = SteadyNs() - realStartNs.load(std::memory_order_relaxed);
    return realBase.load(std::memory_order_relaxed) + static_cast<ULONGLONG>(elapsedNs / 100);
}

ULONGLONG TickAtOrAfter(ULONGLONG time)
{
    ULONGLONG tick = tickUnits.load(std::memory_order_relaxed);
    if (time <= BootInterruptTime) {
        return BootInterruptTime;
    }
    ULONGLONG partial = (time - BootInterruptTime) % tick;
    return partial == 0 ? time : time + (tick - partial);
}

void SetExactTime(ULONGLONG time)
{
    virtualNow.store(time, std::memory_order_release);
}

ULONGLONG InterruptTimeOfSystemTime(LONGLONG systemTime)
{
    return systemTime <= SystemTimeAtZeroInterruptTime
               ? 0
               : static_cast<ULONGLONG>(systemTime - SystemTimeAtZeroInterruptTime);
}

void SwitchToRealClock()
{
    realBase.store(virtualNow.load(), std::memory_order_relaxed);
    realStartNs.store(SteadyNs(), std::memory_order_relaxed);
    realClock.store(true, std::memory_order_release);
}

void SwitchToVirtualClock()
{
    ULONGLONG reached = ExactTime();
    virtualNow.store(reached, std::memory_order_release);
    realClock.store(false, std::memory_order_release);
}

std::chrono::steady_clock::time_point RealInstantOf(ULONGLONG time)
{
    ULONGLONG base = realBase.load(std::memory_order_relaxed);
    int64_t ns = realStartNs.load(std::memory_order_relaxed) +
                 (time > base ? static_cast<int64_t>((time - base) * 100) : 0);
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

void ResetClock()
{
    realClock.store(false);
    virtualNow.store(BootInterruptTime);
    tickUnits.store(DefaultClockTick);
    tickSetByTest.store(false);
}

void SetGrantedClockTick(ULONGLONG tick)
{
    if (!tickSetByTest.load()) {
        tickUnits.store(tick);
    }
}

void SetClockTick(ULONGLONG tick)
{
    if (tick == 0) {
        throw std::invalid_argument("SetClockTick: the tick must be at least one 100-ns unit");
    }
    tickUnits.store(tick);
    tickSetByTest.store(true);
}

}  // namespace host

// Like KeQueryInterruptTime: 100-ns units since boot, advanced at each clock tick.
ULONGLONG KeQueryInterruptTime(void)
{
    return host::VisibleTime(host::ExactTime());
}

// Like KeQuerySystemTime: the wall clock (100-ns units since 1601), updated at each clock tick.
// The host's wall clock is never set, so it keeps a fixed distance to the interrupt time.
void KeQuerySystemTime(PLARGE_INTEGER currentTime)
{
    currentTime->QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime()) + host::SystemTimeAtZeroInterruptTime;
}
