// The stand-in's own lock under real contention: threads that take it never overlap, and a
// thread that finds it held waits until it is dropped.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "host/host_mutex.h"

TEST(HostMutex, ThreadsContendingForItNeverOverlapAndLoseNoUpdate)
{
    constexpr int Threads = 4;
    constexpr int Rounds = 20000;
    host::HostMutex mutex;
    long counter = 0;  // plain: only the lock orders the updates
    int inside = 0;
    bool overlapped = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < Rounds; ++round) {
                std::lock_guard<host::HostMutex> guard(mutex);
                overlapped = overlapped || ++inside != 1;
                ++counter;
                --inside;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, 80000);
}

TEST(HostMutex, AWaiterGetsTheLockOnlyOnceTheHolderDropsIt)
{
    host::HostMutex mutex;
    std::atomic<bool> trying{false};
    std::atomic<bool> acquired{false};
    mutex.lock();
    std::thread waiter([&] {
        trying = true;
        std::lock_guard<host::HostMutex> guard(mutex);
        acquired = true;
    });
    // Long enough for the waiter to spin, yield and nap on the held lock; no timing is asserted.
    // Counted in time, not in yields: on a busy machine every yield gives up a whole time slice.
    while (!trying.load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(acquired);
    EXPECT_FALSE(mutex.try_lock());
    mutex.unlock();
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}
