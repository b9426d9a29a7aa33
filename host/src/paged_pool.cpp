// Paged pool under IRQL checking: each paged block lives on pages of its own, which are made
// inaccessible while a thread runs at DISPATCH_LEVEL or above, so that a driver touching paged
// pool there faults at once, as under Driver Verifier, which trims pageable memory whenever IRQL
// is raised (on Windows such a page fault bug-checks even when the page happens to be resident).
//
// Virtual time only: protection is per address space, not per thread, so with real processor
// threads running side by side it would fault threads that are entitled to the memory. In
// real-time mode the pages stay open and nothing is checked. In virtual time a test thread of its
// own may still touch a block while another is at DISPATCH_LEVEL: its fault opens the block
// without a report, and the next raise protects it again. A thread already at DISPATCH_LEVEL
// when the first paged block appears is not counted (the block cannot be its own: paged pool
// allocated at DISPATCH_LEVEL is reported by the allocation).
//
// The fault handler is entered for a synchronous fault of the faulting thread, never
// asynchronously: it may take the registry lock (which no code holds while it touches a paged
// block) and build the report like any other check. ThreadSanitizer still flags the report's
// allocations as signal-unsafe; the checks work in virtual time, which its run leaves out.
#include <execinfo.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "host/internal.h"
#include "scheduler.h"

namespace host {

std::atomic<size_t> livePagedBlocks __attribute__((visibility("hidden"))){0};

namespace {

struct PagedRegion {
    size_t mappedBytes;
    size_t requestedBytes;
    ULONG tag;
    bool open;  // opened by a fault while the others stay protected
    void* stack[PoolStackDepth];
    int depth;
};

std::mutex pagedMutex;                      // guards everything below; never held while paged memory is touched
std::map<uintptr_t, PagedRegion> regions;   // by the mapping's first byte
bool pagesProtected = false;
// Threads at DISPATCH_LEVEL or above that were counted when they got there. The count starts
// afresh whenever the first paged block of a period appears (a new epoch), so that a thread that
// left DISPATCH_LEVEL while no paged block was live leaves no stale count behind.
size_t dispatchThreads = 0;
uint64_t epoch = 0;
__thread uint64_t countedEpoch HOST_HOT_TLS = 0;  // the epoch this thread was counted in, or 0

struct sigaction previousAction;
std::once_flag handlerInstalled;

size_t PageBytes()
{
    static const size_t bytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return bytes;
}

void Protect(uintptr_t start, const PagedRegion& region, bool accessible)
{
    mprotect(reinterpret_cast<void*>(start), region.mappedBytes, accessible ? PROT_READ | PROT_WRITE : PROT_NONE);
}

// Caller holds pagedMutex.
void ProtectAll(bool accessible)
{
    for (auto& [start, region] : regions) {
        if (!accessible || !region.open) {
            Protect(start, region, accessible);
        }
        region.open = false;
    }
    pagesProtected = !accessible;
}

std::string TagText(ULONG tag)
{
    char text[5];
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    text[4] = '\0';
    return text;
}

// The routines from the faulting one outward (the handler's own frames left out), and the first
// of them that is not a C library or sanitizer routine doing the access on its caller's behalf
// (memcpy, memset), which names the culprit.
void FaultingRoutines(void* pc, std::string* routine, std::string* stackNames)
{
    void* stack[40];
    const int depth = backtrace(stack, 40);
    int first = 0;
    while (first < depth && stack[first] != pc) {
        ++first;
    }
    if (first == depth) {
        first = 0;
    }
    for (int i = first; i < depth; ++i) {
        std::string name = RoutineName(stack[i]);
        if (name.empty()) {
            continue;
        }
        *stackNames += stackNames->empty() ? name : " <- " + name;
        const std::string file = ObjectFileOf(stack[i]);
        const bool helper = file.find("/libc.so") != std::string::npos || file.find("/libasan") != std::string::npos ||
                            file.find("/libtsan") != std::string::npos || file.find("/libubsan") != std::string::npos;
        if (routine->empty() && !helper) {
            *routine = name;
        }
    }
    if (routine->empty()) {
        char text[48];
        std::snprintf(text, sizeof(text), "code at %p", pc);
        *routine = text;
    }
}

// A fault in a protected paged block: reported when the faulting thread runs at DISPATCH_LEVEL
// or above; either way the block is opened so that the access completes when the handler
// returns. A fault on a thread below DISPATCH_LEVEL comes from another thread's raise (there is
// one address space) and is no fault of this thread's. False when the address is not in a live
// paged block.
bool OpenFaultingBlock(const void* address, const void* context)
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    std::unique_lock<std::mutex> guard(pagedMutex);
    auto found = regions.upper_bound(at);
    if (found == regions.begin()) {
        return false;
    }
    --found;
    PagedRegion& region = found->second;
    if (at - found->first >= region.mappedBytes) {
        return false;
    }
    Protect(found->first, region, true);
    region.open = true;
    if (currentIrql < DISPATCH_LEVEL) {
        return true;
    }
    const PagedRegion reported = region;
    const uintptr_t start = found->first;
    guard.unlock();

    const char* access = "an access";
    void* pc = nullptr;
#if defined(__x86_64__)
    if (context != nullptr) {
        const mcontext_t& machine = static_cast<const ucontext_t*>(context)->uc_mcontext;
        access = (machine.gregs[REG_ERR] & 2) != 0 ? "a write" : "a read";
        pc = reinterpret_cast<void*>(machine.gregs[REG_RIP]);
    }
#endif
    std::string routine;
    std::string stackNames;
    FaultingRoutines(pc, &routine, &stackNames);
    const long offset = static_cast<long>(at - start) - static_cast<long>(PoolHeaderBytes);
    char text[160];
    std::snprintf(text, sizeof(text), "%s at byte %ld of a %zu-byte PagedPool block (tag '%s') allocated by ", access,
                  offset, reported.requestedBytes, TagText(reported.tag).c_str());
    ReportViolation("PAGED_POOL_TOUCHED_AT_DISPATCH_LEVEL", routine,
                    std::string(text) + PoolSiteOf(reported.stack, reported.depth) + ", at " +
                        IrqlName(currentIrql) +
                        "; Windows bug-checks on a page fault there (DRIVER_IRQL_NOT_LESS_OR_EQUAL) even when "
                        "the page is resident: use NonPagedPoolNx for what is touched at DISPATCH_LEVEL, or touch "
                        "it only at APC_LEVEL or below. Call stack: " +
                        (stackNames.empty() ? std::string("(no names)") : stackNames));
    return true;
}

// Hands any fault that is not ours to whoever handled SIGSEGV before (the sanitizers install
// their own), or to the default action: with the disposition reset, the faulting instruction
// faults again when the handler returns.
void ChainFault(int signal, siginfo_t* info, void* context)
{
    if ((previousAction.sa_flags & SA_SIGINFO) != 0 && previousAction.sa_sigaction != nullptr) {
        previousAction.sa_sigaction(signal, info, context);
        return;
    }
    if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
        previousAction.sa_handler(signal);
        return;
    }
    ::signal(signal, SIG_DFL);
    if (info->si_code <= 0) {
        raise(signal);  // sent, not caused by an instruction: nothing would fault again
    }
}

void OnSegmentationFault(int signal, siginfo_t* info, void* context)
{
    const int savedErrno = errno;
    const bool ours = info->si_code > 0 && OpenFaultingBlock(info->si_addr, context);
    errno = savedErrno;
    if (!ours) {
        ChainFault(signal, info, context);
    }
}

void InstallFaultHandler()
{
    struct sigaction action {};
    action.sa_sigaction = OnSegmentationFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previousAction);
}

}  // namespace

size_t PagedMappingBytes(size_t blockBytes)
{
    return (blockBytes + PageBytes() - 1) & ~(PageBytes() - 1);
}

void* MapPagedBlock(size_t blockBytes)
{
    void* mapping = mmap(nullptr, PagedMappingBytes(blockBytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
    return mapping == MAP_FAILED ? nullptr : mapping;
}

void TrackPagedBlock(void* mapping, size_t blockBytes, size_t requestedBytes, ULONG tag, void* const* stack, int depth)
{
    std::call_once(handlerInstalled, InstallFaultHandler);
    PagedRegion region{PagedMappingBytes(blockBytes), requestedBytes, tag, false, {}, depth};
    std::memcpy(region.stack, stack, sizeof(void*) * static_cast<size_t>(depth));
    std::lock_guard<std::mutex> guard(pagedMutex);
    if (regions.empty()) {
        ++epoch;
        dispatchThreads = 0;
        pagesProtected = false;
    }
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapping);
    regions.emplace(start, region);
    if (pagesProtected) {
        Protect(start, region, false);
    }
    livePagedBlocks.fetch_add(1, std::memory_order_relaxed);
}

void OpenPagedBlock(void* mapping)
{
    std::lock_guard<std::mutex> guard(pagedMutex);
    auto found = regions.find(reinterpret_cast<uintptr_t>(mapping));
    if (found != regions.end() && pagesProtected && !found->second.open) {
        Protect(found->first, found->second, true);
        found->second.open = true;
    }
}

void UnmapPagedBlock(void* mapping, size_t blockBytes)
{
    {
        std::lock_guard<std::mutex> guard(pagedMutex);
        if (regions.erase(reinterpret_cast<uintptr_t>(mapping)) != 0) {
            livePagedBlocks.fetch_sub(1, std::memory_order_relaxed);
        }
        if (regions.empty()) {
            pagesProtected = false;
        }
    }
    munmap(mapping, PagedMappingBytes(blockBytes));
}

void PagedPoolAtDispatchLevel()
{
    if (realClock.load(std::memory_order_relaxed)) {
        return;
    }
    std::lock_guard<std::mutex> guard(pagedMutex);
    if (regions.empty() || countedEpoch == epoch) {
        return;
    }
    countedEpoch = epoch;
    if (++dispatchThreads == 1) {
        ProtectAll(false);
    }
}

void PagedPoolBelowDispatchLevel()
{
    if (countedEpoch == 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(pagedMutex);
    const bool counted = countedEpoch == epoch;
    countedEpoch = 0;
    if (counted && --dispatchThreads == 0 && !regions.empty()) {
        ProtectAll(true);
    }
}

}  // namespace host
