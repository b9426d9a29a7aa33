// Real-time mode: real threads, one per processor, on the monotonic clock. One periodic timer's DPC
// can run on two processors at once; one processor never runs two DPCs at once; flushing waits for
// the processor threads. Waits are bounded by generous time-outs; nothing asserts on wall time.
#include <atomic>
#include <thread>
#include <stdexcept>

#include "host/harness.h"
#include "support/platform_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr LONGLONG Millisecond = 10000;

class RealTimeTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        host::SetClockTick(host::FinestClockTick);
    }
    void TearDown() override
    {
        host::StopRealTime();
        PlatformTest::TearDown();
    }
};

// What the DPC routines below share with the test thread.
struct Overlap {
    KTIMER timer;
    KDPC dpc;
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    std::atomic<int> runs{0};
    std::atomic<unsigned> processorsSeen{0};
    std::atomic<bool> wrongIrql{false};
    std::atomic<bool> overlapped{false};
    std::chrono::steady_clock::duration firstRunHolds{};
    std::chrono::steady_clock::duration eachRunTakes{};
};

void Busy(std::chrono::steady_clock::duration span, const std::atomic<bool>* until = nullptr)
{
    auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end && (until == nullptr || !until->load())) {
        std::this_thread::yield();
    }
}

void OverlapDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* shared = static_cast<Overlap*>(context);
    int now = ++shared->inside;
    int most = shared->mostInside.load();
    while (now > most && !shared->mostInside.compare_exchange_weak(most, now)) {
    }
    shared->processorsSeen |= 1u << KeGetCurrentProcessorNumber();
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        shared->wrongIrql = true;
    }
    if (now > 1) {
        shared->overlapped = true;
    }
    if (shared->runs++ == 0) {
        Busy(shared->firstRunHolds, &shared->overlapped);  // until a second run has begun, or give up
    }
    Busy(shared->eachRunTakes);
    --shared->inside;
}

void StartPeriodic(Overlap* shared, LONG periodMs)
{
    KeInitializeTimer(&shared->timer);
    KeInitializeDpc(&shared->dpc, &OverlapDpc, shared);
    LARGE_INTEGER due;
    due.QuadPart = -periodMs * Millisecond;
    KeSetTimerEx(&shared->timer, due, periodMs, &shared->dpc);
}

}  // namespace

TEST_F(RealTimeTest, APeriodicTimersDpcRunsOnTwoProcessorsAtOnce)
{
    host::SetTimerDpcPlacement(host::TimerDpcPlacement::RoundRobin);
    Overlap shared;
    shared.firstRunHolds = 5s;
    StartPeriodic(&shared, 1);

    host::StartRealTime();
    bool overlapped = host::WaitUntil([&] { return shared.overlapped.load(); }, 20s);
    KeCancelTimer(&shared.timer);
    host::StopRealTime();

    EXPECT_TRUE(overlapped);
    EXPECT_EQ(shared.mostInside.load(), 2);
    EXPECT_EQ(shared.processorsSeen.load(), 0x3u);
    EXPECT_FALSE(shared.wrongIrql.load());
}

TEST_F(RealTimeTest, OneProcessorNeverRunsTwoDpcsAtOnce)
{
    Overlap shared;
    shared.eachRunTakes = 2ms;  // longer than the period: expiries find the DPC queued or running
    StartPeriodic(&shared, 1);
    KeSetTargetProcessorDpc(&shared.dpc, 1);

    host::StartRealTime();
    bool ranEnough = host::WaitUntil([&] { return shared.runs.load() >= 5; }, 20s);
    KeCancelTimer(&shared.timer);
    host::StopRealTime();

    EXPECT_TRUE(ranEnough);
    EXPECT_EQ(shared.mostInside.load(), 1);
    EXPECT_EQ(shared.processorsSeen.load(), 0x2u);
    EXPECT_FALSE(shared.wrongIrql.load());
}

TEST_F(RealTimeTest, KeFlushQueuedDpcsWaitsForTheProcessorThreads)
{
    Overlap shared;
    shared.eachRunTakes = 5ms;
    KeInitializeDpc(&shared.dpc, &OverlapDpc, &shared);
    KeSetTargetProcessorDpc(&shared.dpc, 1);
    host::StartRealTime();

    KeInsertQueueDpc(&shared.dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();

    EXPECT_EQ(shared.runs.load(), 1);
    EXPECT_EQ(shared.inside.load(), 0) << "finished, not just started";
    EXPECT_EQ(shared.processorsSeen.load(), 0x2u);
}

TEST_F(RealTimeTest, TheClockRunsOnItsOwnAndHandsBackToVirtualTime)
{
    host::StartRealTime();
    ULONGLONG start = KeQueryInterruptTime();
    EXPECT_GE(start, host::BootInterruptTime);
    EXPECT_TRUE(host::WaitUntil([&] { return KeQueryInterruptTime() >= start + 2 * Millisecond; }, 20s));
    EXPECT_THROW(host::AdvanceTime(1), std::logic_error);
    host::StopRealTime();

    ULONGLONG stopped = KeQueryInterruptTime();
    EXPECT_GE(stopped, start + 2 * Millisecond);
    EXPECT_EQ(KeQueryInterruptTime(), stopped) << "virtual time stands still again";
    host::AdvanceTime(1 * Millisecond);
    EXPECT_EQ(KeQueryInterruptTime(), stopped + 1 * Millisecond);
}
