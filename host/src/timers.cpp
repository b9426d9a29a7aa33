// Kernel timers: one queue ordered by due time (interrupt time). A timer leaves the queue when it
// expires, before its DPC is queued, so the DPC may set it again; a periodic timer goes straight
// back into the queue one period later.
#include <cstring>

#include "host/internal.h"
#include "scheduler.h"

namespace host {
namespace {

constexpr LONG TimerNotificationObject = 8;
constexpr LONG TimerSynchronizationObject = 9;
constexpr ULONGLONG UnitsPerMillisecond = 10000;

bool Queued(const Scheduler& s, const KTIMER* timer)
{
    return timer->HostQueued == s.generation;
}

PKTIMER TimerAt(PLIST_ENTRY entry)
{
    return CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
}

// After every timer due no later than this one, so equal due times expire in setting order.
// Searched from the tail: a timer being set is usually due after all the others.
void InsertTimer(Scheduler& s, PKTIMER timer)
{
    PLIST_ENTRY position = s.timers.Blink;
    while (position != &s.timers && TimerAt(position)->DueTime.QuadPart > timer->DueTime.QuadPart) {
        position = position->Blink;
    }
    ListInsertAfter(position, &timer->TimerListEntry);
    timer->HostQueued = s.generation;
}

void UnlinkTimer(PKTIMER timer)
{
    ListRemove(&timer->TimerListEntry);
    timer->HostQueued = 0;
}

}  // namespace

bool ExpireNextTimer(Scheduler& s, ULONGLONG now)
{
    if (ListEmpty(&s.timers)) {
        return false;
    }
    PKTIMER timer = TimerAt(s.timers.Flink);
    ULONGLONG clock = VisibleTime(now);
    if (timer->DueTime.QuadPart > clock) {
        return false;
    }
    UnlinkTimer(timer);
    timer->Header.SignalState = 1;
    if (timer->Period != 0) {
        ULONGLONG period = timer->Period * UnitsPerMillisecond;
        ULONGLONG due = timer->DueTime.QuadPart + period;
        if (due <= clock) {
            due += ((clock - due) / period + 1) * period;  // missed periods expire once
        }
        timer->DueTime.QuadPart = due;
        InsertTimer(s, timer);
    }
    if (timer->Dpc != nullptr) {
        unsigned processor = TimerDpcProcessor(s, timer);
        if (EnqueueDpc(s, timer->Dpc, processor, nullptr, nullptr)) {
            ULONGLONG delay = s.dpcDelay == 0 && s.jitterMaximum == 0 ? 0 : DrawDpcDelay(s);
            ULONGLONG& readyAt = s.processors[processor].readyAt;
            if (delay != 0 && now + delay > readyAt) {
                readyAt = now + delay;
            }
        }
    }
    return true;
}

ULONGLONG NextTimerExpiry(const Scheduler& s)
{
    if (ListEmpty(&s.timers)) {
        return NoEvent;
    }
    return TickAtOrAfter(TimerAt(s.timers.Flink)->DueTime.QuadPart);
}

size_t ForgetTimers(Scheduler& s, const std::function<bool(const KTIMER*)>& doomed)
{
    size_t forgotten = 0;
    for (PLIST_ENTRY entry = s.timers.Flink; entry != &s.timers;) {
        PKTIMER timer = TimerAt(entry);
        entry = entry->Flink;
        if (doomed(timer)) {
            UnlinkTimer(timer);
            ++forgotten;
        }
    }
    return forgotten;
}

}  // namespace host

using host::TheScheduler;

// Like KeInitializeTimerEx: a timer that is not set and not signalled.
void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeInitializeTimerEx", "it runs at DISPATCH_LEVEL or below");
    host::Scheduler& s = TheScheduler();
    std::lock_guard<host::HostMutex> guard(s.mutex);
    if (host::Queued(s, timer) && host::ListContains(&s.timers, &timer->TimerListEntry)) {
        host::UnlinkTimer(timer);
        host::ReportViolation("TIMER_OR_DPC_INVALID", "KeInitializeTimerEx",
                              "the timer is still set; initialising it again corrupts the timer queue: "
                              "cancel it with KeCancelTimer first");
    }
    std::memset(timer, 0, sizeof(*timer));
    timer->Header.Type = type == SynchronizationTimer ? host::TimerSynchronizationObject
                                                      : host::TimerNotificationObject;
    host::ListInit(&timer->TimerListEntry);
}

// Like KeInitializeTimer: a notification timer.
void KeInitializeTimer(PKTIMER timer)
{
    KeInitializeTimerEx(timer, NotificationTimer);
}

// Like KeSetTimerEx: a negative due time is relative to now, a positive one is a system time;
// setting a timer that is still queued replaces its earlier expiry. TRUE if it was queued.
BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer", "timers are set at DISPATCH_LEVEL or below");
    host::Scheduler& s = TheScheduler();
    std::lock_guard<host::HostMutex> guard(s.mutex);
    ULONGLONG clock = host::VisibleTime(host::ExactTime());
    bool wasQueued = host::Queued(s, timer);
    if (wasQueued) {
        host::UnlinkTimer(timer);
    }
    timer->Header.SignalState = 0;
    timer->Dpc = dpc;
    timer->Period = period > 0 ? static_cast<ULONG>(period) : 0;
    timer->Processor = host::CurrentProcessor();
    timer->DueTime.QuadPart = dueTime.QuadPart < 0 ? clock + static_cast<ULONGLONG>(-dueTime.QuadPart)
                                                   : host::InterruptTimeOfSystemTime(dueTime.QuadPart);
    host::InsertTimer(s, timer);
    Wake(s);
    return wasQueued ? TRUE : FALSE;
}

// Like KeSetTimer: a one-shot timer.
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc)
{
    return KeSetTimerEx(timer, dueTime, 0, dpc);
}

// Like KeCancelTimer: TRUE only if the timer was still queued. A DPC it has already queued stays
// queued, and one that is running finishes.
BOOLEAN KeCancelTimer(PKTIMER timer)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer", "timers are cancelled at DISPATCH_LEVEL or below");
    host::Scheduler& s = TheScheduler();
    std::lock_guard<host::HostMutex> guard(s.mutex);
    if (!host::Queued(s, timer)) {
        return FALSE;
    }
    host::UnlinkTimer(timer);
    Wake(s);
    return TRUE;
}

// Like KeReadStateTimer: TRUE once the timer has expired since it was last set.
BOOLEAN KeReadStateTimer(PKTIMER timer)
{
    host::Scheduler& s = TheScheduler();
    std::lock_guard<host::HostMutex> guard(s.mutex);
    return timer->Header.SignalState != 0 ? TRUE : FALSE;
}
