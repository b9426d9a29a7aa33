// The stand-in's own lock for its short critical sections on the streaming path (pins, service
// groups, the scheduler): one compare-exchange to take it when free and a plain release store to
// drop it, where std::mutex costs a library call and a locked instruction each way. A locked
// instruction waits for every store in flight, which on the streaming path (just after the
// driver wrote client and mix buffers) is what costs. So nobody sleeps on the word: a contended
// lock spins, then yields, then naps briefly, and an unlock has no one to wake.
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
    void unlock() { state_.store(Free, std::memory_order_release); }

private:
    static constexpr int Free = 0;
    static constexpr int Held = 1;

    void LockContended();

    std::atomic<int> state_{Free};
};

}  // namespace host
