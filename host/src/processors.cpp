// Emulated processors: how many there are, which one the calling thread runs on, thread affinity,
// and where a timer's DPC goes.
#include <mutex>
#include <stdexcept>
#include <vector>

#include "host/internal.h"
#include "scheduler.h"

// Like the kernel's exported processor count (set at boot; the host changes it with the count).
volatile CCHAR KeNumberProcessors = host::DefaultProcessorCount;

namespace host {
namespace {

thread_local KAFFINITY threadAffinity HOST_HOT_TLS = 0;  // 0: never restricted

std::mutex affinityCallsMutex;
std::vector<AffinityCall> affinityCalls;  // every KeSetSystemAffinityThread since the last take

KAFFINITY ActiveMask()
{
    unsigned count = TheScheduler().processorCount.load(std::memory_order_relaxed);
    return count >= MaxProcessors ? ~KAFFINITY{0} : (KAFFINITY{1} << count) - 1;
}

}  // namespace

__thread int dpcProcessor HOST_HOT_TLS = -1;

// Outside DPCs and processor threads: the first processor the thread's affinity allows.
unsigned ThreadProcessor()
{
    KAFFINITY allowed = ActiveMask() & (threadAffinity != 0 ? threadAffinity : ~KAFFINITY{0});
    return allowed == 0 ? 0 : static_cast<unsigned>(__builtin_ctzll(allowed));
}

unsigned TimerDpcProcessor(Scheduler& s, const KTIMER* timer)
{
    const KDPC* dpc = timer->Dpc;
    unsigned count = s.processorCount.load(std::memory_order_relaxed);
    if (dpc->Number >= MaxProcessors) {
        return (dpc->Number - MaxProcessors) % count;
    }
    if (dpc->HostQueued == s.generation) {
        return dpc->HostProcessor;  // stays queued where it is; its turn is not used up
    }
    if (s.placement == TimerDpcPlacement::RoundRobin) {
        return s.nextRoundRobin++ % count;
    }
    return timer->Processor % count;
}

void ResetThreadAffinity()
{
    threadAffinity = 0;
    std::lock_guard<std::mutex> guard(affinityCallsMutex);
    affinityCalls.clear();
}

std::vector<AffinityCall> TakeAffinityCalls()
{
    std::lock_guard<std::mutex> guard(affinityCallsMutex);
    std::vector<AffinityCall> calls;
    calls.swap(affinityCalls);
    return calls;
}

void SetProcessorCount(unsigned count)
{
    if (count == 0 || count > MaxProcessors) {
        throw std::invalid_argument("SetProcessorCount: 1 to 64 processors");
    }
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    if (s.realTime) {
        throw std::logic_error("SetProcessorCount: stop real-time mode first");
    }
    for (unsigned p = count; p < MaxProcessors; ++p) {
        if (!ListEmpty(&s.processors[p].queue) || s.processors[p].running) {
            throw std::logic_error("SetProcessorCount: a processor that would go away has DPCs");
        }
    }
    s.processorCount.store(count);
    KeNumberProcessors = static_cast<CCHAR>(count);
}

unsigned ProcessorCount()
{
    return TheScheduler().processorCount.load();
}

KAFFINITY ThreadAffinity()
{
    return threadAffinity != 0 ? threadAffinity : ActiveMask();
}

}  // namespace host

// Like KeGetCurrentProcessorNumber: a DPC reports the processor it runs on.
ULONG KeGetCurrentProcessorNumber(void)
{
    return host::CurrentProcessor();
}

// Like KeQueryActiveProcessorCount: the number of processors, and their mask when asked.
ULONG KeQueryActiveProcessorCount(PKAFFINITY activeProcessors)
{
    if (activeProcessors != nullptr) {
        *activeProcessors = host::ActiveMask();
    }
    return host::TheScheduler().processorCount.load();
}

// Like KeGetCurrentProcessorNumberEx: the system-wide index of the processor, and its group
// (always 0 here) and number within the group when asked. Hidden by a test, the routine is one
// the system does not have.
ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER processorNumber)
{
    host::RequireExportedRoutine("KeGetCurrentProcessorNumberEx");
    unsigned processor = host::CurrentProcessor();
    if (processorNumber != nullptr) {
        processorNumber->Group = 0;
        processorNumber->Number = static_cast<UCHAR>(processor);
        processorNumber->Reserved = 0;
    }
    return processor;
}

// Like KeQueryActiveProcessorCountEx: the processors of the group, or of all groups.
ULONG KeQueryActiveProcessorCountEx(USHORT groupNumber)
{
    host::RequireExportedRoutine("KeQueryActiveProcessorCountEx");
    if (groupNumber != 0 && groupNumber != ALL_PROCESSOR_GROUPS) {
        return 0;
    }
    return host::TheScheduler().processorCount.load();
}

// Like KeQueryActiveProcessors: one bit per active processor.
KAFFINITY KeQueryActiveProcessors(void)
{
    return host::ActiveMask();
}

// Like KeSetSystemAffinityThread: the calling thread runs only on the processors of the mask,
// which must name at least one active processor (else bug check INVALID_AFFINITY_SET).
void KeSetSystemAffinityThread(KAFFINITY affinity)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetSystemAffinityThread", "it runs at DISPATCH_LEVEL or below");
    if ((affinity & host::ActiveMask()) == 0) {
        host::ReportViolation("INVALID_AFFINITY_SET", "KeSetSystemAffinityThread",
                              "the affinity mask " + std::to_string(affinity) +
                                  " names no active processor; the mask must be a non-empty subset of "
                                  "KeQueryActiveProcessors()");
        return;
    }
    host::threadAffinity = affinity & host::ActiveMask();
    std::lock_guard<std::mutex> guard(host::affinityCallsMutex);
    host::affinityCalls.push_back({KeGetCurrentThread(), affinity});
}

// Like KeRevertToUserAffinityThread: the thread may run on every processor again.
void KeRevertToUserAffinityThread(void)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeRevertToUserAffinityThread", "it runs at DISPATCH_LEVEL or below");
    host::threadAffinity = 0;
}
