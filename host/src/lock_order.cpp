// The verifier's deadlock detection: the order in which each thread takes spin locks and mutexes
// is recorded as edges "held -> taken", and taking a lock that closes a cycle is reported at once,
// as Driver Verifier does, even when no deadlock happens in that run.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

constexpr int MaxHeldLocks = 16;

struct HeldLock {
    const void* lock;
    const char* kind;
};

// The locks the current context holds, in the order taken. A DPC sets the interrupted context's
// aside: what a thread held when a DPC ran on its processor is not the DPC's.
__thread HeldLock heldLocks[MaxHeldLocks];
__thread int heldCount = 0;

struct Edge {
    std::string where;  // the routine that took the second lock while holding the first
};

std::mutex orderMutex;
// lock -> locks taken while it was held
std::unordered_map<const void*, std::unordered_map<const void*, Edge>> edges;
std::set<std::pair<const void*, const void*>> reported;
bool checking = true;
// Bumped whenever an edge is forgotten, so that the threads' caches of known orders start again.
std::atomic<uint64_t> generation{1};

// Orders this thread has already recorded: the common case, a known order, takes no global lock.
struct KnownOrders {
    uint64_t generation = 0;
    std::unordered_set<uint64_t> pairs;
};
thread_local KnownOrders knownOrders;

uint64_t PairKey(const void* held, const void* taken)
{
    uint64_t a = reinterpret_cast<uintptr_t>(held);
    uint64_t b = reinterpret_cast<uintptr_t>(taken);
    return a * 0x9E3779B97F4A7C15ull ^ (b + (a << 6) + (a >> 2));
}

// Caller holds orderMutex. Whether `to` can be reached from `from` by recorded edges.
bool Reaches(const void* from, const void* to, std::unordered_set<const void*>& seen)
{
    if (from == to) {
        return true;
    }
    if (!seen.insert(from).second) {
        return false;
    }
    auto found = edges.find(from);
    if (found == edges.end()) {
        return false;
    }
    for (const auto& [next, edge] : found->second) {
        if (Reaches(next, to, seen)) {
            return true;
        }
    }
    return false;
}

// The first routine on the stack that is not the stand-in's own.
std::string DriverRoutine()
{
    std::string names = CallStackNames(3);
    size_t start = 0;
    while (start < names.size()) {
        size_t end = names.find(" <- ", start);
        std::string name = names.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (name.find("host::") == std::string::npos && name.find("Ke") != 0 && name.find("Kf") != 0) {
            return name;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 4;
    }
    return "(unknown)";
}

void RecordOrder(const HeldLock& held, const void* lock, const char* kind, const char* routine)
{
    std::unique_lock<std::mutex> guard(orderMutex);
    if (!checking) {
        return;
    }
    auto& taken = edges[held.lock];
    if (taken.count(lock) != 0) {
        return;  // known order
    }
    std::unordered_set<const void*> seen;
    bool inverted = Reaches(lock, held.lock, seen);
    guard.unlock();
    std::string where = DriverRoutine();
    guard.lock();
    if (inverted) {
        if (reported.insert({held.lock, lock}).second) {
            std::string earlier;
            auto back = edges.find(lock);
            if (back != edges.end() && back->second.count(held.lock) != 0) {
                earlier = " (the other order was taken in " + back->second[held.lock].where + ")";
            }
            char text[160];
            std::snprintf(text, sizeof(text), "took %s %p while holding %s %p, the reverse of an order seen before",
                          kind, lock, held.kind, held.lock);
            guard.unlock();
            ReportViolation("LOCK_HIERARCHY_VIOLATION", routine,
                            std::string(text) + earlier + "; in " + where +
                                ". Take the two locks in one order everywhere (the lock order is written at the "
                                "top of the engine's header)");
            guard.lock();
        }
    }
    edges[held.lock][lock] = Edge{where};
}

}  // namespace

void NoteLockAcquired(const void* lock, const char* kind, const char* routine)
{
    if (heldCount > 0) {
        uint64_t current = generation.load(std::memory_order_acquire);
        if (knownOrders.generation != current) {
            knownOrders.pairs.clear();
            knownOrders.generation = current;
        }
        for (int index = 0; index < heldCount; ++index) {
            const void* held = heldLocks[index].lock;
            if (held != lock && knownOrders.pairs.insert(PairKey(held, lock)).second) {
                RecordOrder(heldLocks[index], lock, kind, routine);
            }
        }
    }
    if (heldCount < MaxHeldLocks) {
        heldLocks[heldCount++] = HeldLock{lock, kind};
    }
}

void NoteLockReleased(const void* lock)
{
    for (int index = heldCount - 1; index >= 0; --index) {
        if (heldLocks[index].lock == lock) {
            for (int later = index; later + 1 < heldCount; ++later) {
                heldLocks[later] = heldLocks[later + 1];
            }
            --heldCount;
            return;
        }
    }
}

int SetAsideHeldLocks()
{
    int count = heldCount;
    heldCount = 0;
    return count;
}

void RestoreHeldLocks(int count)
{
    heldCount = count;
}

void ForgetLocksIn(const void* start, size_t bytes)
{
    auto inside = [&](const void* lock) {
        return lock >= start && lock < static_cast<const unsigned char*>(start) + bytes;
    };
    std::lock_guard<std::mutex> guard(orderMutex);
    bool forgot = false;
    for (auto walk = edges.begin(); walk != edges.end();) {
        if (inside(walk->first)) {
            walk = edges.erase(walk);
            forgot = true;
            continue;
        }
        for (auto target = walk->second.begin(); target != walk->second.end();) {
            if (inside(target->first)) {
                target = walk->second.erase(target);
                forgot = true;
            } else {
                ++target;
            }
        }
        ++walk;
    }
    for (auto walk = reported.begin(); walk != reported.end();) {
        walk = (inside(walk->first) || inside(walk->second)) ? reported.erase(walk) : std::next(walk);
    }
    if (forgot) {
        generation.fetch_add(1, std::memory_order_release);
    }
}

void ResetLockOrder()
{
    std::lock_guard<std::mutex> guard(orderMutex);
    edges.clear();
    reported.clear();
    checking = true;
    heldCount = 0;
    generation.fetch_add(1, std::memory_order_release);
}

void SetLockOrderChecking(bool enabled)
{
    std::lock_guard<std::mutex> guard(orderMutex);
    checking = enabled;
}

}  // namespace host
