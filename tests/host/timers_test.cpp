// Kernel timers on the virtual clock: relative and absolute due times, clock ticks, re-setting,
// one-shot timers re-armed from their own DPC, periodic timers, cancelling, and expiry order.
#include "host/harness.h"
#include "support/platform_fixture.h"
#include "tests/host/dpc_probe.h"

namespace {

// The clock's mechanics at the finest tick the system grants.
class TimerTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        host::SetClockTick(host::FinestClockTick);
    }
};
using Log = std::vector<ULONGLONG>;
using NameList = std::vector<std::string>;
using Flags = std::vector<BOOLEAN>;

}  // namespace

TEST_F(TimerTest, TheClockStartsAtTwoHoursOfUptimeAndStandsStill)
{
    EXPECT_EQ(KeQueryInterruptTime(), 72000000000ull);
    LARGE_INTEGER systemTime;
    KeQuerySystemTime(&systemTime);
    EXPECT_EQ(systemTime.QuadPart, 133485408000000000ll) << "2024-01-01 00:00:00 UTC";
    EXPECT_EQ(KeQueryInterruptTime(), 72000000000ull);
}

TEST_F(TimerTest, TheClockMovesOnlyAtTicks)
{
    host::AdvanceTime(12000);  // 1.2 ms: the 0.5 ms tick last struck at 1.0 ms
    EXPECT_EQ(KeQueryInterruptTime() - host::BootInterruptTime, 10000u);
    host::AdvanceTime(3000);
    EXPECT_EQ(KeQueryInterruptTime() - host::BootInterruptTime, 15000u);

    host::SetClockTick(1);
    host::AdvanceTime(1234);
    EXPECT_EQ(KeQueryInterruptTime() - host::BootInterruptTime, 16234u);
}

TEST_F(TimerTest, ARelativeTimerExpiresOnceItsIntervalHasPassed)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    EXPECT_FALSE(probe.SetIn(5 * Millisecond));

    host::AdvanceTime(5 * Millisecond - 1);
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(KeReadStateTimer(&probe.timer));

    host::AdvanceTime(1);
    EXPECT_EQ(Times(log), Log({5 * Millisecond}));
    EXPECT_TRUE(KeReadStateTimer(&probe.timer));
}

TEST_F(TimerTest, ATimerExpiresAtTheFirstTickAtOrAfterItsDueTime)
{
    std::vector<DpcRun> log;
    DpcProbe coarse(&log, "0.5 ms tick");
    coarse.SetIn(12000);
    host::AdvanceTime(2 * Millisecond);
    EXPECT_EQ(Times(log), Log({15000u}));

    log.clear();
    host::SetClockTick(1);
    DpcProbe fine(&log, "continuous");
    fine.SetIn(12000);
    host::AdvanceTime(2 * Millisecond);
    EXPECT_EQ(Times(log), Log({2 * Millisecond + 12000}));
}

TEST_F(TimerTest, APositiveDueTimeIsASystemTime)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "absolute");
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += 3 * Millisecond;
    KeSetTimer(&probe.timer, due, &probe.dpc);

    host::AdvanceTime(3 * Millisecond - 1);
    EXPECT_TRUE(log.empty());
    host::AdvanceTime(1);
    EXPECT_EQ(Times(log), Log({3 * Millisecond}));
}

TEST_F(TimerTest, ADueTimeAlreadyPastExpiresWithoutTheClockMoving)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "late");
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart -= 7 * Millisecond;
    KeSetTimer(&probe.timer, due, &probe.dpc);

    host::RunQueuedDpcs();

    EXPECT_EQ(Times(log), Log({0u}));
}

TEST_F(TimerTest, SettingAQueuedTimerAgainReplacesItsEarlierExpiry)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    EXPECT_FALSE(probe.SetIn(5 * Millisecond)) << "was not queued";
    host::AdvanceTime(1 * Millisecond);
    EXPECT_TRUE(probe.SetIn(8 * Millisecond)) << "was queued";

    host::AdvanceTime(20 * Millisecond);

    EXPECT_EQ(Times(log), Log({9 * Millisecond}));
}

TEST_F(TimerTest, AOneShotTimerHasLeftTheQueueWhenItsDpcRunsSoTheDpcCanReArmIt)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    std::vector<BOOLEAN> stillQueued;
    std::vector<BOOLEAN> signalled;
    probe.onRun = [&](DpcProbe& self) {
        signalled.push_back(KeReadStateTimer(&self.timer));
        if (self.runs < 3) {
            stillQueued.push_back(self.SetIn(2 * Millisecond));  // TRUE only if it had stayed queued
        }
    };
    probe.SetIn(5 * Millisecond);

    host::AdvanceTime(20 * Millisecond);

    EXPECT_EQ(Times(log), Log({5 * Millisecond, 7 * Millisecond, 9 * Millisecond}));
    EXPECT_EQ(stillQueued, Flags({FALSE, FALSE}));
    EXPECT_EQ(signalled, Flags({TRUE, TRUE, TRUE}));
    EXPECT_EQ(host::QueuedTimerCount(), 0u);
}

TEST_F(TimerTest, APeriodicTimerExpiresEveryPeriodAndStaysQueued)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "periodic");
    probe.SetIn(1 * Millisecond, 2);

    host::AdvanceTime(7 * Millisecond);

    EXPECT_EQ(Times(log), Log({1 * Millisecond, 3 * Millisecond, 5 * Millisecond, 7 * Millisecond}));
    EXPECT_TRUE(KeCancelTimer(&probe.timer)) << "a periodic timer stays in the queue";
    host::AdvanceTime(10 * Millisecond);
    EXPECT_EQ(log.size(), 4u);
}

TEST_F(TimerTest, KeCancelTimerIsTrueOnlyWhileTheTimerIsQueued)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    EXPECT_FALSE(KeCancelTimer(&probe.timer)) << "never set";

    probe.SetIn(5 * Millisecond);
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    EXPECT_FALSE(KeCancelTimer(&probe.timer)) << "already cancelled";
    host::AdvanceTime(10 * Millisecond);
    EXPECT_TRUE(log.empty());

    probe.SetIn(5 * Millisecond);
    host::AdvanceTime(10 * Millisecond);
    EXPECT_FALSE(KeCancelTimer(&probe.timer)) << "expired";
    EXPECT_EQ(log.size(), 1u);
}

TEST_F(TimerTest, CancellingAnExpiredTimerLeavesItsQueuedDpcToRun)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    host::SetDpcDelay(5 * Millisecond);
    probe.SetIn(1 * Millisecond);
    host::AdvanceTime(2 * Millisecond);
    ASSERT_TRUE(log.empty());
    ASSERT_EQ(host::QueuedDpcCount(), 1u);

    EXPECT_FALSE(KeCancelTimer(&probe.timer));
    host::AdvanceTime(10 * Millisecond);

    EXPECT_EQ(Times(log), Log({6 * Millisecond}));
}

TEST_F(TimerTest, TimersExpireInDueTimeOrderWhateverTheOrderTheyWereSet)
{
    std::vector<DpcRun> log;
    struct Case {
        const char* name;
        ULONGLONG due;
    };
    // C and D are due at the same time (set in that order); E and F fall between the same two
    // 0.5 ms ticks and expire together at 1.5 ms, in due-time order.
    const Case cases[] = {{"A", 30000}, {"B", 10000}, {"C", 20000}, {"D", 20000}, {"F", 13000}, {"E", 11000}};
    std::vector<std::unique_ptr<DpcProbe>> probes;
    for (const Case& c : cases) {
        probes.push_back(std::make_unique<DpcProbe>(&log, c.name));
        probes.back()->SetIn(c.due);
    }

    host::AdvanceTime(5 * Millisecond);

    EXPECT_EQ(Names(log), NameList({"B", "E", "F", "C", "D", "A"}));
    EXPECT_EQ(Times(log), Log({10000u, 15000u, 15000u, 20000u, 20000u, 30000u}));
}

TEST_F(TimerTest, ATimerExpiringWhileItsDpcIsStillQueuedDoesNotQueueItAgain)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "periodic");
    host::StallProcessor(0, 5 * Millisecond);
    probe.SetIn(1 * Millisecond, 1);

    host::AdvanceTime(5 * Millisecond);

    EXPECT_EQ(Times(log), Log({5 * Millisecond})) << "expiries at 1..4 ms found the DPC queued";
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
}
