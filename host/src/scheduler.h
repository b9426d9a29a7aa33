// The stand-in's scheduler: the interrupt-time clock, the timer queue, the emulated processors
// with their DPC queues, and the two ways of driving them (virtual time on the caller's thread,
// or real threads on the monotonic clock). Shared by clock.cpp, timers.cpp, dpc.cpp,
// processors.cpp, dispatcher.cpp and real_time.cpp; not for the driver or tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/harness.h"
#include "host/host_mutex.h"
#include "host/internal.h"
#include "host/processor_counter.h"

namespace host {

// KAFFINITY has one bit per processor, and KDPC::Number holds MaxProcessors + the target
// processor once KeSetTargetProcessorDpc has chosen one (0 means "the queuing processor").
constexpr unsigned MaxProcessors = 64;
constexpr ULONGLONG NoEvent = ~0ull;

struct ProcessorState {
    LIST_ENTRY queue;             // KDPCs through DpcListEntry, in run order
    ULONGLONG readyAt = 0;        // exact time before which it runs no DPC (stalls, injected delays)
    bool running = false;         // a processor runs one DPC at a time
    uint64_t runningSequence = 0; // HostSequence of the DPC being run
};

struct Scheduler {
    HostMutex mutex;                    // guards everything below and every queued KTIMER/KDPC
    std::condition_variable_any changed;  // something was queued, run or cancelled
    LIST_ENTRY timers;                  // KTIMERs by DueTime; equal due times in setting order
    ProcessorState processors[MaxProcessors];
    std::atomic<unsigned> processorCount{DefaultProcessorCount};
    ULONG generation = 0;               // a reset invalidates every object queued before it
    uint64_t nextSequence = 1;
    ULONGLONG dpcDelay = 0;
    ULONGLONG jitterMaximum = 0;
    uint64_t jitterState = 0;
    TimerDpcPlacement placement = TimerDpcPlacement::SettingProcessor;
    unsigned nextRoundRobin = 0;
    bool realTime = false;
    bool stopping = false;
    std::vector<std::thread> threads;
};

// The one scheduler, made on first use (NewScheduler is in dispatcher.cpp). Inline, as every
// timer and DPC call starts here.
Scheduler* NewScheduler();
inline Scheduler& TheScheduler()
{
    // Never destroyed: processor threads may still use it while the process exits.
    static Scheduler* scheduler = NewScheduler();
    return *scheduler;
}

// Tells the real-time threads (and KeFlushQueuedDpcs waiters) that something changed; in virtual
// time nobody waits. Caller holds s.mutex.
inline void Wake(Scheduler& s)
{
    if (s.realTime) {
        s.changed.notify_all();
    }
}

// Intrusive doubly-linked lists, as the kernel links its timers and DPCs through the objects.
inline void ListInit(PLIST_ENTRY head)
{
    head->Flink = head->Blink = head;
}
inline bool ListEmpty(const LIST_ENTRY* head)
{
    return head->Flink == head;
}
inline void ListInsertAfter(PLIST_ENTRY position, PLIST_ENTRY entry)
{
    entry->Flink = position->Flink;
    entry->Blink = position;
    position->Flink->Blink = entry;
    position->Flink = entry;
}
inline void ListRemove(PLIST_ENTRY entry)
{
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = entry;
}
inline bool ListContains(const LIST_ENTRY* head, const LIST_ENTRY* entry)
{
    for (const LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
        if (e == entry) {
            return true;
        }
    }
    return false;
}

// clock.cpp: exact time is where the clock really is; the visible clock (what KeQueryInterruptTime
// reads) moves only at ticks, counted from BootInterruptTime.
// Inline, as every timer and DPC call reads them. Atomics: DPC threads read the clock while the
// test thread reads or moves it.
extern std::atomic<ULONGLONG> virtualNow;
extern std::atomic<ULONGLONG> tickUnits;
extern std::atomic<bool> realClock;
ULONGLONG RealExactTime();
inline ULONGLONG ExactTime()
{
    if (realClock.load(std::memory_order_acquire)) {
        return RealExactTime();
    }
    return virtualNow.load(std::memory_order_acquire);
}
inline ULONGLONG VisibleTime(ULONGLONG exact)
{
    ULONGLONG tick = tickUnits.load(std::memory_order_relaxed);
    if (exact <= BootInterruptTime) {
        return exact;
    }
    return exact - (exact - BootInterruptTime) % tick;
}
ULONGLONG TickAtOrAfter(ULONGLONG time);
void SetExactTime(ULONGLONG time);
ULONGLONG InterruptTimeOfSystemTime(LONGLONG systemTime);
void SwitchToRealClock();
void SwitchToVirtualClock();
std::chrono::steady_clock::time_point RealInstantOf(ULONGLONG time);
void ResetClock();

// processors.cpp: the processor the calling thread runs on, and the one a timer's DPC goes to.
extern __thread int dpcProcessor HOST_HOT_TLS;  // in a DPC or processor thread, else -1
unsigned ThreadProcessor();
inline unsigned CurrentProcessor()
{
    return dpcProcessor >= 0 ? static_cast<unsigned>(dpcProcessor) : ThreadProcessor();
}
unsigned TimerDpcProcessor(Scheduler& s, const KTIMER* timer);

static_assert(ProcessorCounter::Slots == MaxProcessors, "one counter slot per emulated processor");
// A processor runs one DPC at a time, and the scheduler lock orders its successive DPCs.
inline void ProcessorCounter::Increment()
{
    int processor = dpcProcessor;
    if (processor >= 0) {
        std::atomic<ULONG>& slot = inDpcs_[processor];
        slot.store(slot.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    } else {
        outsideDpcs_.fetch_add(1, std::memory_order_relaxed);
    }
}
void ResetThreadAffinity();
// Makes the calling thread run on `processor` for its lifetime (a DPC, a processor thread).
class ProcessorScope {
public:
    explicit ProcessorScope(unsigned processor) : previous_(dpcProcessor)
    {
        dpcProcessor = static_cast<int>(processor);
    }
    ~ProcessorScope() { dpcProcessor = previous_; }
    ProcessorScope(const ProcessorScope&) = delete;
    ProcessorScope& operator=(const ProcessorScope&) = delete;

private:
    int previous_;
};

// timers.cpp (caller holds s.mutex)
bool ExpireNextTimer(Scheduler& s, ULONGLONG now);
ULONGLONG NextTimerExpiry(const Scheduler& s);
// Takes out of the queue, without touching them further, the timers `doomed` picks.
size_t ForgetTimers(Scheduler& s, const std::function<bool(const KTIMER*)>& doomed);

// dpc.cpp (caller holds s.mutex; RunDpc releases it while the routine runs)
bool EnqueueDpc(Scheduler& s, PKDPC dpc, unsigned processor, PVOID argument1, PVOID argument2);
PKDPC TakeReadyDpc(Scheduler& s, unsigned processor, ULONGLONG now);
void RunDpc(Scheduler& s, std::unique_lock<HostMutex>& lock, unsigned processor, PKDPC dpc);
ULONGLONG NextProcessorReady(const Scheduler& s, ULONGLONG now);
size_t ForgetDpcs(Scheduler& s, const std::function<bool(const KDPC*)>& doomed);

// Runs every DPC that is ready now, processor by processor, until none is (dpc.cpp).
void RunReadyDpcs(Scheduler& s, std::unique_lock<HostMutex>& lock);

// dispatcher.cpp
// The injected delay for one timer DPC: the fixed delay plus a fresh draw of jitter.
ULONGLONG DrawDpcDelay(Scheduler& s);

// no_block_region.cpp: a DPC runs with the interrupted context's regions set aside. Per thread,
// allocation-free (a DPC enters and leaves on every pass). A DPC sees only the regions above
// `base`: those below belong to the context it interrupted.
struct NoBlockRegions {
    static constexpr size_t NamesKept = 32;  // deeper nesting is counted, named by the 32nd
    const char* names[NamesKept];
    size_t depth;
    size_t base;
};
extern __thread NoBlockRegions noBlockRegions HOST_HOT_TLS;

inline size_t NoBlockRegionDepth()
{
    return noBlockRegions.depth - noBlockRegions.base;
}
// Returns what RestoreNoBlockRegions needs.
inline size_t SetAsideNoBlockRegions()
{
    size_t previousBase = noBlockRegions.base;
    noBlockRegions.base = noBlockRegions.depth;
    return previousBase;
}
inline void RestoreNoBlockRegions(size_t previousBase)
{
    noBlockRegions.depth = noBlockRegions.base;  // drops whatever the DPC left open
    noBlockRegions.base = previousBase;
}
void ClearNoBlockRegions();

}  // namespace host
