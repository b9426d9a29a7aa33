// Deferred procedure calls: one queue per emulated processor, High importance at the head, the
// others at the tail; a queued DPC is never queued twice. Running one checks what Driver Verifier
// checks when a DPC routine returns.
#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <cstring>

#include "host/internal.h"
#include "scheduler.h"

namespace host {
namespace {

constexpr UCHAR DpcObject = 0x13;

bool Queued(const Scheduler& s, const KDPC* dpc)
{
    return dpc->HostQueued == s.generation;
}

PKDPC DpcAt(PLIST_ENTRY entry)
{
    return CONTAINING_RECORD(entry, KDPC, DpcListEntry);
}

void UnlinkDpc(PKDPC dpc)
{
    ListRemove(&dpc->DpcListEntry);
    dpc->HostQueued = 0;
    dpc->DpcData = nullptr;
}

// The routine's symbol when the image exports it, else its address.
std::string DpcRoutineName(PKDEFERRED_ROUTINE routine)
{
    std::string name = RoutineName(reinterpret_cast<void*>(routine));
    if (name.empty()) {
        char text[48];
        std::snprintf(text, sizeof(text), "DPC routine at %p", reinterpret_cast<void*>(routine));
        name = text;
    }
    return name;
}

const char* IrqlName(KIRQL irql)
{
    return irql == PASSIVE_LEVEL ? "PASSIVE_LEVEL" : irql == APC_LEVEL ? "APC_LEVEL" : "above DISPATCH_LEVEL";
}

// What Driver Verifier reports when a DPC routine returns: kept out of line, so the checks on
// every DPC stay a few compares.
[[gnu::cold, gnu::noinline]] void ReportDpcExit(PKDEFERRED_ROUTINE routine, KIRQL returned, ULONG locksBefore)
{
    if (returned != DISPATCH_LEVEL) {
        ReportViolation("DPC_RETURNED_AT_WRONG_IRQL", DpcRoutineName(routine),
                        std::string("the DPC routine returned at ") + IrqlName(returned) +
                            "; a DPC must return at DISPATCH_LEVEL: lower only what it raised, and never "
                            "below DISPATCH_LEVEL");
    }
    if (SpinLocksHeld() != locksBefore) {
        ReportViolation("DPC_RETURNED_HOLDING_SPIN_LOCK", DpcRoutineName(routine),
                        "the DPC routine returned holding " + std::to_string(SpinLocksHeld() - locksBefore) +
                            " spin lock(s); release every lock it takes on every path before returning");
    }
    if (NoBlockRegionDepth() != 0) {
        ReportViolation("NO_BLOCK_REGION_LEFT_OPEN", DpcRoutineName(routine),
                        "the DPC routine returned inside a no-block region; pair every "
                        "HOST_ENTER_NO_BLOCK_REGION with HOST_LEAVE_NO_BLOCK_REGION on every path");
    }
}

// Runs the routine as `processor` at DISPATCH_LEVEL, with the interrupted context's no-block
// regions set aside, then checks that it left the processor as it found it and puts back the
// interrupted IRQL.
// The DPC watchdog's budget and the cost of the DPC routine running on this thread.
std::atomic<ULONGLONG> workBudget{DefaultDpcWorkBudget};
std::atomic<ULONGLONG> cpuBudget{DefaultDpcCpuBudget};
__thread ULONGLONG dpcWork HOST_HOT_TLS = 0;

ULONGLONG ThreadCpuTime()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 10000000 + static_cast<ULONGLONG>(now.tv_nsec) / 100;
}

[[gnu::cold, gnu::noinline]] void ReportDpcOverBudget(PKDEFERRED_ROUTINE routine, ULONGLONG work, ULONGLONG cpu)
{
    std::string name = RoutineName(reinterpret_cast<void*>(routine));
    ReportViolation("DPC_WATCHDOG_VIOLATION", name,
                    "one run of the DPC routine " + name + " did " + std::to_string(work) + " bytes of work (budget " +
                        std::to_string(workBudget.load()) + ") in " + std::to_string(cpu / 10000) +
                        " ms of processor time (budget " + std::to_string(cpuBudget.load() / 10000) +
                        " ms); Windows stops a DPC that runs too long: bound the work of one pass");
}

[[gnu::always_inline]] inline void InvokeDpc(unsigned processor, PKDPC dpc, PKDEFERRED_ROUTINE routine,
                                             PVOID context, PVOID argument1, PVOID argument2)
{
    ProcessorScope scope(processor);
    KIRQL interrupted = currentIrql;
    if (interrupted < DISPATCH_LEVEL) {
        currentIrql = DISPATCH_LEVEL;
        EnteredDispatchLevel();
    }
    size_t interruptedRegions = SetAsideNoBlockRegions();
    int interruptedLocks = SetAsideHeldLocks();
    ULONG locksBefore = SpinLocksHeld();
    ULONGLONG interruptedWork = dpcWork;
    dpcWork = 0;
    const bool timed = realClock.load(std::memory_order_relaxed);
    const ULONGLONG cpuStart = timed ? ThreadCpuTime() : 0;

    routine(dpc, context, argument1, argument2);

    const ULONGLONG cpu = timed ? ThreadCpuTime() - cpuStart : 0;
    if (dpcWork > workBudget.load(std::memory_order_relaxed) || cpu > cpuBudget.load(std::memory_order_relaxed)) {
        ReportDpcOverBudget(routine, dpcWork, cpu);
    }
    dpcWork = interruptedWork;

    KIRQL returned = currentIrql;
    if (returned != DISPATCH_LEVEL || SpinLocksHeld() != locksBefore || NoBlockRegionDepth() != 0) {
        ReportDpcExit(routine, returned, locksBefore);
    }
    RestoreNoBlockRegions(interruptedRegions);
    RestoreHeldLocks(interruptedLocks);
    // The routine may have left the IRQL anywhere: the crossing is from where it returned.
    currentIrql = interrupted;
    NoteIrqlCrossing(returned, interrupted);
}

}  // namespace

bool EnqueueDpc(Scheduler& s, PKDPC dpc, unsigned processor, PVOID argument1, PVOID argument2)
{
    if (Queued(s, dpc)) {
        return false;
    }
    ProcessorState& target = s.processors[processor];
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->HostQueued = s.generation;
    dpc->HostProcessor = processor;
    dpc->HostSequence = s.nextSequence++;
    dpc->DpcData = &target;
    ListInsertAfter(dpc->Importance == HighImportance ? &target.queue : target.queue.Blink, &dpc->DpcListEntry);
    Wake(s);
    return true;
}

namespace {

// The bodies of TakeReadyDpc and RunDpc, forced inline into RunReadyDpcs: the virtual-time loop
// runs two DPCs per timer tick and cable.
[[gnu::always_inline]] inline PKDPC TakeReady(Scheduler& s, unsigned processor, ULONGLONG now)
{
    ProcessorState& state = s.processors[processor];
    if (state.running || ListEmpty(&state.queue) || state.readyAt > now) {
        return nullptr;
    }
    PKDPC dpc = DpcAt(state.queue.Flink);
    UnlinkDpc(dpc);
    return dpc;
}

[[gnu::always_inline]] inline void RunTaken(Scheduler& s, std::unique_lock<HostMutex>& lock, unsigned processor,
                                            PKDPC dpc)
{
    ProcessorState& state = s.processors[processor];
    state.running = true;
    state.runningSequence = dpc->HostSequence;
    // Read under the lock; the routine may free or re-initialise its own KDPC.
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID argument1 = dpc->SystemArgument1;
    PVOID argument2 = dpc->SystemArgument2;
    lock.unlock();
    InvokeDpc(processor, dpc, routine, context, argument1, argument2);
    lock.lock();
    state.running = false;
    Wake(s);
}

}  // namespace

std::atomic<bool> dpcsRunWhenIrqlDrops{false};

void SetDpcsRunWhenIrqlDrops(bool on)
{
    dpcsRunWhenIrqlDrops.store(on);
}

void RunDpcsOnIrqlDrop()
{
    Scheduler& s = TheScheduler();
    if (currentIrql >= DISPATCH_LEVEL || SpinLocksHeld() != 0 || realClock.load(std::memory_order_relaxed)) {
        return;
    }
    // In virtual time only this thread runs DPCs: a scheduler lock it cannot take is its own.
    std::unique_lock<HostMutex> lock(s.mutex, std::try_to_lock);
    if (!lock.owns_lock() || s.realTime) {
        return;
    }
    unsigned processor = CurrentProcessor();
    while (PKDPC dpc = TakeReady(s, processor, ExactTime())) {
        RunTaken(s, lock, processor, dpc);
    }
}

void SetDpcBudget(ULONGLONG workBytes, ULONGLONG cpuTime)
{
    workBudget.store(workBytes);
    cpuBudget.store(cpuTime);
}

void ChargeDpcWork(ULONGLONG bytes)
{
    dpcWork += bytes;
}

PKDPC TakeReadyDpc(Scheduler& s, unsigned processor, ULONGLONG now)
{
    return TakeReady(s, processor, now);
}

void RunDpc(Scheduler& s, std::unique_lock<HostMutex>& lock, unsigned processor, PKDPC dpc)
{
    RunTaken(s, lock, processor, dpc);
}

// The clock is read only for a processor that has something queued: most passes find nothing.
void RunReadyDpcs(Scheduler& s, std::unique_lock<HostMutex>& lock)
{
    for (bool ran = true; ran;) {
        ran = false;
        for (unsigned p = 0; p < s.processorCount.load(std::memory_order_relaxed); ++p) {
            while (!ListEmpty(&s.processors[p].queue)) {
                PKDPC dpc = TakeReady(s, p, ExactTime());
                if (dpc == nullptr) {
                    break;
                }
                RunTaken(s, lock, p, dpc);
                ran = true;
            }
        }
    }
}

ULONGLONG NextProcessorReady(const Scheduler& s, ULONGLONG now)
{
    ULONGLONG next = NoEvent;
    unsigned count = s.processorCount.load(std::memory_order_relaxed);
    for (unsigned p = 0; p < count; ++p) {
        const ProcessorState& state = s.processors[p];
        if (!state.running && !ListEmpty(&state.queue) && state.readyAt > now && state.readyAt < next) {
            next = state.readyAt;
        }
    }
    return next;
}

size_t ForgetDpcs(Scheduler& s, const std::function<bool(const KDPC*)>& doomed)
{
    size_t forgotten = 0;
    for (ProcessorState& state : s.processors) {
        for (PLIST_ENTRY entry = state.queue.Flink; entry != &state.queue;) {
            PKDPC dpc = DpcAt(entry);
            entry = entry->Flink;
            if (doomed(dpc)) {
                UnlinkDpc(dpc);
                ++forgotten;
            }
        }
    }
    return forgotten;
}

}  // namespace host

using host::TheScheduler;

// Like KeInitializeDpc: Medium importance, no target processor, not queued.
void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE deferredRoutine, PVOID deferredContext)
{
    host::Scheduler& s = TheScheduler();
    std::lock_guard<host::HostMutex> guard(s.mutex);
    if (host::Queued(s, dpc) && dpc->HostProcessor < host::MaxProcessors &&
        host::ListContains(&s.processors[dpc->HostProcessor].queue, &dpc->DpcListEntry)) {
        host::UnlinkDpc(dpc);
        host::ReportViolation("TIMER_OR_DPC_INVALID", "KeInitializeDpc",
                              "the DPC is still queued; initialising it again corrupts the DPC queue: "
                              "remove it with KeRemoveQueueDpc or let it run first");
    }
    std::memset(dpc, 0, sizeof(*dpc));
    dpc->Type = host::DpcObject;
    dpc->Importance = MediumImportance;
    dpc->DeferredRoutine = deferredRoutine;
    dpc->DeferredContext = deferredContext;
    host::ListInit(&dpc->DpcListEntry);
}

// Like KeInsertQueueDpc: queues on the target processor, else on the calling one; FALSE (and the
// arguments unchanged) if the DPC is already queued. Any IRQL.
BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2)
{
    host::Scheduler& s = TheScheduler();
    std::unique_lock<host::HostMutex> guard(s.mutex);
    unsigned count = s.processorCount.load(std::memory_order_relaxed);
    unsigned processor =
        dpc->Number >= host::MaxProcessors ? (dpc->Number - host::MaxProcessors) % count : host::CurrentProcessor();
    BOOLEAN queued = host::EnqueueDpc(s, dpc, processor, systemArgument1, systemArgument2) ? TRUE : FALSE;
    if (queued && host::currentIrql < DISPATCH_LEVEL && host::dpcsRunWhenIrqlDrops.load(std::memory_order_relaxed)) {
        guard.unlock();
        host::RunDpcsOnIrqlDrop();
    }
    return queued;
}

// Like KeRemoveQueueDpc: TRUE if the DPC was queued and now is not; a running DPC is not stopped.
BOOLEAN KeRemoveQueueDpc(PRKDPC dpc)
{
    host::Scheduler& s = TheScheduler();
    std::lock_guard<host::HostMutex> guard(s.mutex);
    if (!host::Queued(s, dpc)) {
        return FALSE;
    }
    host::UnlinkDpc(dpc);
    Wake(s);
    return TRUE;
}

// Like KeSetImportanceDpc: applies from the next queuing; High queues at the head.
void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance)
{
    host::Scheduler& s = TheScheduler();
    std::lock_guard<host::HostMutex> guard(s.mutex);
    dpc->Importance = static_cast<UCHAR>(importance);
}

// Like KeSetTargetProcessorDpc: the DPC runs on that processor from its next queuing on.
void KeSetTargetProcessorDpc(PRKDPC dpc, CCHAR number)
{
    host::Scheduler& s = TheScheduler();
    std::lock_guard<host::HostMutex> guard(s.mutex);
    if (number < 0 || static_cast<unsigned>(number) >= s.processorCount.load()) {
        host::ReportViolation("INVALID_PROCESSOR_NUMBER", "KeSetTargetProcessorDpc",
                              "processor " + std::to_string(number) + " does not exist; there are " +
                                  std::to_string(s.processorCount.load()) +
                                  " (take the number modulo KeQueryActiveProcessorCount)");
        return;
    }
    dpc->Number = static_cast<USHORT>(host::MaxProcessors + static_cast<unsigned>(number));
}

namespace {
std::atomic<LONG> engineVariant{0};
}  // namespace

void host::SetEngineVariant(LONG variant)
{
    engineVariant.store(variant, std::memory_order_relaxed);
}

LONG HostEngineVariant(void)
{
    return engineVariant.load(std::memory_order_relaxed);
}

// The driver's charge of its DPC work.
void HostChargeDpcWork(ULONGLONG bytes)
{
    host::ChargeDpcWork(bytes);
}
