// Pool with tags: every block is tracked so that double frees, wrong tags and leaks at image
// unload are caught, and allocations can be made to fail on request.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

constexpr uint64_t LiveMagic = 0x4C4F4F5054534F48ull;  // "HOSTPOOL"
constexpr size_t HeaderBytes = PoolHeaderBytes;          // keeps blocks 16-byte aligned, as x64 pool does
constexpr int StackDepth = PoolStackDepth;
// As special pool does, the bytes after the requested size (the rounding slack and a guard
// beyond it) hold a pattern that is checked when the block is freed, so a write one byte past the
// requested size is caught even where the allocator's own rounding would hide it.
constexpr size_t GuardBytes = 16;
constexpr unsigned char GuardPattern = 0xA7;

size_t BlockBytes(size_t requested)
{
    return HeaderBytes + ((requested + 15) & ~size_t{15}) + GuardBytes;
}

struct BlockHeader {
    uint64_t magic;
    uint64_t serial;
    uint64_t size;
    ULONG tag;
    POOL_TYPE type;
};
static_assert(sizeof(BlockHeader) <= HeaderBytes, "pool header fits");

struct BlockRecord {
    PoolAllocation info;
    void* stack[StackDepth];
    int depth;
};

std::mutex poolMutex;
std::unordered_map<const void*, BlockRecord> liveBlocks;
uint64_t allocationSerial = 0;
uint64_t failAtSerial = 0;  // 0 = off
std::string failSite;
uint64_t injectedFailures = 0;

std::string SymbolName(void* address)
{
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_sname == nullptr) {
        return {};
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled != nullptr) ? demangled : info.dli_sname;
    std::free(demangled);
    return name;
}

// The first caller that is neither the pool service nor the driver's pool wrapper.
std::string SiteOf(void* const* stack, int depth)
{
    for (int i = 0; i < depth; ++i) {
        std::string name = SymbolName(stack[i]);
        if (name.empty() || name.find("ExAllocatePool") != std::string::npos ||
            name.find("PoolAlloc") != std::string::npos || name.find("host::") != std::string::npos) {
            continue;
        }
        return name;
    }
    return "(unknown)";
}

bool StackNames(void* const* stack, int depth, const std::string& site)
{
    for (int i = 0; i < depth; ++i) {
        if (SymbolName(stack[i]).find(site) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string PoolSiteOf(void* const* stack, int depth)
{
    return SiteOf(stack, depth);
}

std::string RoutineName(void* address)
{
    return SymbolName(address);
}

std::string CallStackNames(int skipFrames)
{
    void* stack[32];
    int depth = backtrace(stack, 32);
    std::string names;
    for (int i = skipFrames; i < depth; ++i) {
        std::string name = SymbolName(stack[i]);
        if (!name.empty()) {
            names += names.empty() ? name : " <- " + name;
        }
    }
    return names;
}

std::vector<PoolAllocation> LivePoolAllocations()
{
    std::lock_guard<std::mutex> guard(poolMutex);
    std::vector<PoolAllocation> blocks;
    for (auto& [address, record] : liveBlocks) {
        PoolAllocation info = record.info;
        info.site = SiteOf(record.stack, record.depth);
        blocks.push_back(info);
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const PoolAllocation& a, const PoolAllocation& b) { return a.serial < b.serial; });
    return blocks;
}

size_t LivePoolCount()
{
    std::lock_guard<std::mutex> guard(poolMutex);
    return liveBlocks.size();
}

uint64_t PoolAllocationCount()
{
    std::lock_guard<std::mutex> guard(poolMutex);
    return allocationSerial;
}

void FailNthAllocation(uint64_t n)
{
    std::lock_guard<std::mutex> guard(poolMutex);
    failAtSerial = n == 0 ? 0 : allocationSerial + n;
}

void FailAllocationsFrom(const std::string& site)
{
    std::lock_guard<std::mutex> guard(poolMutex);
    failSite = site;
}

void ClearPoolFaults()
{
    std::lock_guard<std::mutex> guard(poolMutex);
    failAtSerial = 0;
    failSite.clear();
}

uint64_t InjectedPoolFailures()
{
    std::lock_guard<std::mutex> guard(poolMutex);
    return injectedFailures;
}

std::atomic<ULONG> minimumWindowsVersion{0x0500};

void SetMinimumWindowsVersion(ULONG version)
{
    minimumWindowsVersion.store(version);
}

void ResetPool()
{
    minimumWindowsVersion.store(0x0500);
    std::lock_guard<std::mutex> guard(poolMutex);
    failAtSerial = 0;
    failSite.clear();
    injectedFailures = 0;
}

}  // namespace host

// Like ExAllocatePoolWithTag: paged pool up to APC_LEVEL, non-paged up to DISPATCH_LEVEL; the
// memory is not cleared; null when the pool (or fault injection) says no.
PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag)
{
    host::RequireIrqlAtMost((poolType & 1) != 0 ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag",
                            (poolType & 1) != 0 ? "paged pool is allocated at APC_LEVEL or below"
                                                : "non-paged pool is allocated at DISPATCH_LEVEL or below");
    host::CheckBlockingCall("ExAllocatePoolWithTag", "allocates pool");
    if (numberOfBytes == 0) {
        host::ReportViolation("DRIVER_VERIFIER_DETECTED_VIOLATION", "ExAllocatePoolWithTag",
                              "an allocation of zero bytes; allocate at least one byte or none at all");
    }
    if (tag == 0) {
        host::ReportViolation("DRIVER_VERIFIER_DETECTED_VIOLATION", "ExAllocatePoolWithTag",
                              "an allocation with tag 0; give every allocation the driver's tag");
    }
    // No-execute pool came with Windows 8, and from then on is the only non-paged pool to use.
    const bool noExecute = (poolType & NonPagedPoolNx) != 0;
    const ULONG minimum = host::minimumWindowsVersion.load(std::memory_order_relaxed);
    if (noExecute && minimum < 0x0602) {
        host::ReportViolation("BAD_POOL_CALLER", "ExAllocatePoolWithTag",
                              "NonPagedPoolNx on a driver that runs on systems before Windows 8, which lack it");
    } else if (!noExecute && (poolType & 1) == 0 && minimum >= 0x0602) {
        host::ReportViolation("DRIVER_VERIFIER_DETECTED_VIOLATION", "ExAllocatePoolWithTag",
                              "executable NonPagedPool on a driver for Windows 8 and later; use NonPagedPoolNx");
    }
    host::BlockRecord record{};
    record.depth = backtrace(record.stack, host::StackDepth);

    std::unique_lock<std::mutex> guard(host::poolMutex);
    uint64_t serial = ++host::allocationSerial;
    bool fail = serial == host::failAtSerial;
    if (!fail && !host::failSite.empty()) {
        std::string site = host::failSite;
        guard.unlock();
        fail = host::StackNames(record.stack, record.depth, site);
        guard.lock();
    }
    if (fail) {
        ++host::injectedFailures;
        return nullptr;
    }
    // Paged pool on pages of its own, which are protected while any thread is at DISPATCH_LEVEL.
    const bool paged = (poolType & 1) != 0;
    const size_t blockBytes = host::BlockBytes(numberOfBytes);
    auto* block = static_cast<unsigned char*>(paged ? host::MapPagedBlock(blockBytes)
                                                    : std::aligned_alloc(16, blockBytes));
    if (block == nullptr) {
        return nullptr;
    }
    auto* header = reinterpret_cast<host::BlockHeader*>(block);
    *header = {host::LiveMagic, serial, numberOfBytes, tag, poolType};
    void* user = block + host::HeaderBytes;
    std::memset(user, 0xC5, numberOfBytes);  // uncleared memory is not zero
    std::memset(static_cast<unsigned char*>(user) + numberOfBytes, host::GuardPattern,
                blockBytes - host::HeaderBytes - numberOfBytes);
    record.info = {user, numberOfBytes, tag, poolType, serial, {}};
    host::liveBlocks.emplace(user, record);
    if (paged) {
        host::TrackPagedBlock(block, blockBytes, numberOfBytes, tag, record.stack, record.depth);
    }
    return user;
}

PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes)
{
    return ExAllocatePoolWithTag(poolType, numberOfBytes, 0x656E6F4E);  // "None"
}

namespace {

void FreeBlock(PVOID p, const ULONG* expectedTag, const char* routine)
{
    if (p == nullptr) {
        host::ReportViolation("BAD_POOL_CALLER", routine, "freeing a null pointer");
        return;
    }
    std::unique_lock<std::mutex> guard(host::poolMutex);
    auto found = host::liveBlocks.find(p);
    if (found == host::liveBlocks.end()) {
        guard.unlock();
        host::ReportViolation("BAD_POOL_CALLER", routine,
                              "the address is not a live pool block: freed twice, or never allocated");
        return;
    }
    auto* header = reinterpret_cast<host::BlockHeader*>(static_cast<unsigned char*>(p) - host::HeaderBytes);
    const bool paged = (found->second.info.type & 1) != 0;
    if (paged) {
        host::OpenPagedBlock(header);  // the checks below are the pool's own, not the caller's touch
    }
    POOL_TYPE type = header->type;
    if (expectedTag != nullptr && header->tag != *expectedTag) {
        ULONG actual = header->tag;
        guard.unlock();
        char text[96];
        std::snprintf(text, sizeof(text), "freed with tag 0x%08X but allocated with tag 0x%08X", *expectedTag,
                      actual);
        host::ReportViolation("BAD_POOL_TAG", routine, text);
        return;
    }
    host::CheckPoolFree(routine, p, header->size);
    const size_t guardEnd = host::BlockBytes(header->size) - host::HeaderBytes;
    size_t overrun = 0;
    for (size_t offset = header->size; offset < guardEnd; ++offset) {
        if (static_cast<unsigned char*>(p)[offset] != host::GuardPattern) {
            overrun = offset - header->size + 1;
        }
    }
    if (overrun != 0) {
        std::string site = host::SiteOf(found->second.stack, found->second.depth);
        size_t size = header->size;
        guard.unlock();
        char text[192];
        std::snprintf(text, sizeof(text), "a write up to %zu bytes past the end of a %zu-byte block allocated by %s",
                      overrun, size, site.c_str());
        host::ReportViolation("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION", routine, text);
        guard.lock();
    }
    std::memset(p, 0xDD, header->size);
    header->magic = 0;
    host::ForgetLocksIn(p, header->size);
    const size_t blockBytes = host::BlockBytes(header->size);
    host::liveBlocks.erase(found);
    guard.unlock();
    host::RequireIrqlAtMost((type & 1) != 0 ? APC_LEVEL : DISPATCH_LEVEL, routine,
                            (type & 1) != 0 ? "PagedPool is freed at APC_LEVEL or below"
                                            : "NonPagedPool is freed at DISPATCH_LEVEL or below");
    if (paged) {
        host::UnmapPagedBlock(header, blockBytes);
    } else {
        std::free(header);
    }
}

}  // namespace

// Like ExFreePool: the block must be live.
void ExFreePool(PVOID p)
{
    FreeBlock(p, nullptr, "ExFreePool");
}

// Like ExFreePoolWithTag: the tag must be the one the block was allocated with.
void ExFreePoolWithTag(PVOID p, ULONG tag)
{
    FreeBlock(p, &tag, "ExFreePoolWithTag");
}
