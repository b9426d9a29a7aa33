// The contended path of HostMutex. The holders' sections are short (a few list operations), so a
// waiter spins first; a holder that lost its processor gets it back through the yields, and on a
// machine with more runnable threads than processors the short naps keep waiters from starving it.
#include "host/host_mutex.h"

#include <chrono>
#include <thread>

#include <immintrin.h>

namespace host {
namespace {

constexpr int Spins = 64;
constexpr int Yields = 64;
constexpr std::chrono::microseconds Nap{20};

}  // namespace

void HostMutex::LockContended()
{
    for (int attempt = 0;; ++attempt) {
        if (state_.load(std::memory_order_relaxed) == Free) {
            int expected = Free;
            if (state_.compare_exchange_weak(expected, Held, std::memory_order_acquire, std::memory_order_relaxed)) {
                return;
            }
        }
        if (attempt < Spins) {
            _mm_pause();
        } else if (attempt < Spins + Yields) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(Nap);
        }
    }
}

}  // namespace host
