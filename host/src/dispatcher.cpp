// Driving the scheduler in virtual time: the clock moves from event to event (a timer's tick, a
// processor becoming ready), and the DPCs run on the calling thread as the clock passes them.
// Also the fault injection for DPCs, KeFlushQueuedDpcs, and the reset between tests.
#include <algorithm>
#include <stdexcept>

#include "host/internal.h"
#include "scheduler.h"

namespace host {
namespace {

// A generation nobody's garbage is likely to hold, so stale memory does not look queued.
constexpr ULONG FirstGeneration = 0x7A3E0001;

// splitmix64: tiny, fast and the same on every platform, so a seed replays exactly.
uint64_t NextRandom(uint64_t& state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void InitialiseQueues(Scheduler& s)
{
    ListInit(&s.timers);
    for (ProcessorState& state : s.processors) {
        ListInit(&state.queue);
        state.readyAt = 0;
        state.running = false;
    }
}

// One step of virtual time no further than `limit`: expire the next due timer and run the DPCs
// that are ready; else run what is ready and move the clock to the next event. At one instant the
// clock interrupt comes first: a timer due now expires before a DPC that became ready now runs.
// False when nothing happens before `limit`.
bool Step(Scheduler& s, std::unique_lock<HostMutex>& lock, ULONGLONG limit)
{
    if (ExpireNextTimer(s, ExactTime())) {
        RunReadyDpcs(s, lock);
        return true;
    }
    RunReadyDpcs(s, lock);
    ULONGLONG now = ExactTime();
    ULONGLONG next = std::min(NextTimerExpiry(s), NextProcessorReady(s, now));
    if (next == NoEvent || next > limit) {
        return false;
    }
    SetExactTime(std::max(next, now));
    return true;
}

// Whether a DPC queued or running with a sequence up to `sequence` has yet to finish.
bool DpcsPending(const Scheduler& s, uint64_t sequence)
{
    unsigned count = s.processorCount.load(std::memory_order_relaxed);
    for (unsigned p = 0; p < count; ++p) {
        const ProcessorState& state = s.processors[p];
        if (state.running && state.runningSequence <= sequence) {
            return true;
        }
        for (const LIST_ENTRY* entry = state.queue.Flink; entry != &state.queue; entry = entry->Flink) {
            if (CONTAINING_RECORD(entry, KDPC, DpcListEntry)->HostSequence <= sequence) {
                return true;
            }
        }
    }
    return false;
}

std::unique_lock<HostMutex> LockVirtualTime(Scheduler& s, const char* caller)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        throw std::logic_error(std::string(caller) + ": DPCs cannot run above DISPATCH_LEVEL");
    }
    if (SpinLocksHeld() != 0) {
        throw std::logic_error(std::string(caller) +
                               ": the calling thread holds a spin lock; the DPCs it would run could deadlock on it");
    }
    std::unique_lock<HostMutex> lock(s.mutex);
    if (s.realTime) {
        throw std::logic_error(std::string(caller) + ": real-time mode drives the clock; call StopRealTime first");
    }
    return lock;
}

}  // namespace

Scheduler* NewScheduler()
{
    auto* s = new Scheduler;
    s->generation = FirstGeneration;
    InitialiseQueues(*s);
    return s;
}

ULONGLONG DrawDpcDelay(Scheduler& s)
{
    ULONGLONG jitter = s.jitterMaximum == 0 ? 0 : NextRandom(s.jitterState) % (s.jitterMaximum + 1);
    return s.dpcDelay + jitter;
}

void AdvanceTime(ULONGLONG duration)
{
    Scheduler& s = TheScheduler();
    std::unique_lock<HostMutex> lock = LockVirtualTime(s, "AdvanceTime");
    ULONGLONG target = ExactTime() + duration;
    while (Step(s, lock, target)) {
    }
    // A nested AdvanceTime (from a DPC) may already have gone further.
    if (ExactTime() < target) {
        SetExactTime(target);
        RunReadyDpcs(s, lock);
    }
}

void RunQueuedDpcs()
{
    AdvanceTime(0);
}

void SimulateSleep(ULONGLONG duration)
{
    {
        std::unique_lock<HostMutex> lock = LockVirtualTime(TheScheduler(), "SimulateSleep");
        SetExactTime(ExactTime() + duration);
    }
    AdvanceTime(0);
}

void SetDpcDelay(ULONGLONG delay)
{
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    s.dpcDelay = delay;
}

void SetDpcJitter(ULONGLONG maximum, uint64_t seed)
{
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    s.jitterMaximum = maximum;
    s.jitterState = seed;
}

void StallProcessor(unsigned processor, ULONGLONG duration)
{
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    if (processor >= s.processorCount.load()) {
        throw std::invalid_argument("StallProcessor: no such processor");
    }
    ULONGLONG until = ExactTime() + duration;
    s.processors[processor].readyAt = std::max(s.processors[processor].readyAt, until);
    Wake(s);
}

void SetTimerDpcPlacement(TimerDpcPlacement placement)
{
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    s.placement = placement;
    s.nextRoundRobin = 0;
}

size_t QueuedTimerCount()
{
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    size_t count = 0;
    for (const LIST_ENTRY* entry = s.timers.Flink; entry != &s.timers; entry = entry->Flink) {
        ++count;
    }
    return count;
}

size_t QueuedDpcCount()
{
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    size_t count = 0;
    for (const ProcessorState& state : s.processors) {
        for (const LIST_ENTRY* entry = state.queue.Flink; entry != &state.queue; entry = entry->Flink) {
            ++count;
        }
    }
    return count;
}

void ResetScheduler()
{
    SetDpcBudget(DefaultDpcWorkBudget, DefaultDpcCpuBudget);
    SetDpcsRunWhenIrqlDrops(false);
    if (RealTimeRunning()) {
        StopRealTime();
    }
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    s.generation = s.generation + 1 == 0 ? FirstGeneration : s.generation + 1;
    InitialiseQueues(s);
    s.processorCount.store(DefaultProcessorCount);
    KeNumberProcessors = static_cast<CCHAR>(DefaultProcessorCount);
    s.dpcDelay = 0;
    s.jitterMaximum = 0;
    s.jitterState = 0;
    s.placement = TimerDpcPlacement::SettingProcessor;
    s.nextRoundRobin = 0;
    ResetClock();
    ResetThreadAffinity();
    ClearNoBlockRegions();
}

}  // namespace host

// Like KeFlushQueuedDpcs: returns once every DPC queued before the call has run. In virtual time
// the clock moves on as far as that takes (injected delays, stalled processors).
void KeFlushQueuedDpcs(void)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs", "it waits, which is allowed only at PASSIVE_LEVEL");
    host::CheckBlockingCall("KeFlushQueuedDpcs", "waits");
    host::Scheduler& s = host::TheScheduler();
    std::unique_lock<host::HostMutex> lock(s.mutex);
    uint64_t sequence = s.nextSequence - 1;
    if (s.realTime) {
        s.changed.wait(lock, [&] { return !host::DpcsPending(s, sequence); });
        return;
    }
    while (host::DpcsPending(s, sequence) && host::Step(s, lock, host::NoEvent - 1)) {
    }
}
