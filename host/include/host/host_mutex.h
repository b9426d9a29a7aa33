// The stand-in's own lock for its short critical sections on the streaming path (pins, service
// groups, the scheduler): one compare-exchange to take it when free and one exchange to drop it,
// where std::mutex costs a library call each way. Contended, it waits in the kernel (futex).
// A std::lock_guard/unique_lock works with it; wait on it with std::condition_variable_any.
#pragma once

#include <atomic>

namespace host {

class HostMutex {
public:
    HostMutex() = default;
    HostMutex(const HostMutex&) = delete;
    HostMutex& operator=(const HostMutex&) = delete;

    void lock()
    {
        int expected = Free;
        if (!state_.compare_exchange_strong(expected, Held, std::memory_order_acquire, std::memory_order_relaxed)) {
            LockContended();
        }
    }
    bool try_lock()
    {
        int expected = Free;
        return state_.compare_exchange_strong(expected, Held, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock()
    {
        if (state_.exchange(Free, std::memory_order_release) == HeldWithWaiters) {
            WakeWaiter();
        }
    }

private:
    static constexpr int Free = 0;
    static constexpr int Held = 1;
    static constexpr int HeldWithWaiters = 2;

    void LockContended();
    void WakeWaiter();

    std::atomic<int> state_{Free};
};

}  // namespace host
