// Real-time mode: the clock follows the monotonic clock, one thread per emulated processor runs
// that processor's DPC queue, and one more thread plays the clock interrupt that expires timers.
// Used by tools and by tests of true concurrency (under ThreadSanitizer).
#include <stdexcept>

#include "scheduler.h"

namespace host {
namespace {

void ProcessorThread(Scheduler& s, unsigned processor)
{
    ProcessorScope scope(processor);
    std::unique_lock<HostMutex> lock(s.mutex);
    ProcessorState& state = s.processors[processor];
    while (!s.stopping) {
        if (PKDPC dpc = TakeReadyDpc(s, processor, ExactTime())) {
            RunDpc(s, lock, processor, dpc);
        } else if (!ListEmpty(&state.queue)) {
            s.changed.wait_until(lock, RealInstantOf(state.readyAt));
        } else {
            s.changed.wait(lock);
        }
    }
}

void ClockInterruptThread(Scheduler& s)
{
    std::unique_lock<HostMutex> lock(s.mutex);
    while (!s.stopping) {
        if (ExpireNextTimer(s, ExactTime())) {
            continue;
        }
        ULONGLONG next = NextTimerExpiry(s);
        if (next == NoEvent) {
            s.changed.wait(lock);
        } else {
            s.changed.wait_until(lock, RealInstantOf(next));
        }
    }
}

}  // namespace

void StartRealTime()
{
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    if (s.realTime) {
        throw std::logic_error("StartRealTime: already running");
    }
    SwitchToRealClock();
    s.realTime = true;
    s.stopping = false;
    for (unsigned p = 0; p < s.processorCount.load(); ++p) {
        s.threads.emplace_back(ProcessorThread, std::ref(s), p);
    }
    s.threads.emplace_back(ClockInterruptThread, std::ref(s));
}

void StopRealTime()
{
    Scheduler& s = TheScheduler();
    std::vector<std::thread> threads;
    {
        std::lock_guard<HostMutex> guard(s.mutex);
        if (!s.realTime) {
            return;
        }
        s.stopping = true;
        threads.swap(s.threads);
        s.changed.notify_all();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::lock_guard<HostMutex> guard(s.mutex);
    SwitchToVirtualClock();
    s.realTime = false;
    s.stopping = false;
}

bool RealTimeRunning()
{
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    return s.realTime;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace host
