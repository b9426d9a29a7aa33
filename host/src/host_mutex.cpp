// The contended paths of HostMutex: a short spin (the holder's sections are short), then a futex
// wait. The three-state word follows Drepper's "Futexes are tricky" mutex: an unlock wakes a
// waiter only when someone may be asleep.
#include "host/host_mutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace host {
namespace {

constexpr int SpinsBeforeSleeping = 64;

void FutexWait(std::atomic<int>* word, int expected)
{
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWake(std::atomic<int>* word)
{
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

static_assert(sizeof(std::atomic<int>) == sizeof(int), "the futex word is the atomic itself");

void HostMutex::LockContended()
{
    for (int spins = 0; spins < SpinsBeforeSleeping; ++spins) {
        int expected = Free;
        if (state_.load(std::memory_order_relaxed) == Free &&
            state_.compare_exchange_weak(expected, Held, std::memory_order_acquire, std::memory_order_relaxed)) {
            return;
        }
    }
    // From here on the word says "waiters" while we hold it, so our unlock wakes the next one.
    while (state_.exchange(HeldWithWaiters, std::memory_order_acquire) != Free) {
        FutexWait(&state_, HeldWithWaiters);
    }
}

void HostMutex::WakeWaiter()
{
    FutexWake(&state_);
}

}  // namespace host
