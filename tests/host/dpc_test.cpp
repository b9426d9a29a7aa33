// DPCs on the emulated processors: queued once, importance order, target processor, DISPATCH_LEVEL
// on the right processor, where a timer's DPC goes, injected delay, jitter and stalls, flushing,
// and two processors interleaved on the virtual clock.
#include <algorithm>

#include "host/harness.h"
#include "support/platform_fixture.h"
#include "tests/host/dpc_probe.h"

namespace {

// The clock's mechanics at the finest tick the system grants.
class DpcTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        host::SetClockTick(host::FinestClockTick);
    }
};
using Log = std::vector<ULONGLONG>;
using NameList = std::vector<std::string>;
using Processors = std::vector<ULONG>;

Processors ProcessorsOf(const std::vector<DpcRun>& log)
{
    Processors processors;
    for (const DpcRun& run : log) {
        processors.push_back(run.processor);
    }
    return processors;
}

// The delays that jitter added to a 1 ms periodic timer's DPCs over 50 expiries.
std::vector<ULONGLONG> JitterDelays(uint64_t seed)
{
    host::ResetPlatform();
    host::SetVerifierMode(host::VerifierMode::Record);
    host::SetClockTick(1);
    host::SetDpcJitter(9000, seed);
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "periodic");
    probe.SetIn(1 * Millisecond, 1);
    host::AdvanceTime(50 * Millisecond + 9000);
    KeCancelTimer(&probe.timer);
    std::vector<ULONGLONG> delays;
    for (size_t i = 0; i < log.size(); ++i) {
        delays.push_back(log[i].elapsed - (i + 1) * Millisecond);
    }
    return delays;
}

}  // namespace

TEST_F(DpcTest, ADpcRunsAtDispatchLevelOnTheProcessorThatQueuedIt)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    KeSetSystemAffinityThread(0x2);
    ASSERT_EQ(KeGetCurrentProcessorNumber(), 1u);

    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    host::RunQueuedDpcs();

    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].processor, 1u);
    EXPECT_EQ(log[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller's IRQL is back";
    KeRevertToUserAffinityThread();
    EXPECT_EQ(KeGetCurrentProcessorNumber(), 0u);
}

TEST_F(DpcTest, AQueuedDpcIsNotQueuedTwiceAndKeepsItsFirstArguments)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    int first = 1;
    int second = 2;

    EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, &first, &first));
    EXPECT_FALSE(KeInsertQueueDpc(&probe.dpc, &second, &second));
    host::RunQueuedDpcs();

    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].argument1, &first);
    EXPECT_EQ(log[0].argument2, &first);
    EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, &second, nullptr)) << "it ran, so it may be queued again";
    host::RunQueuedDpcs();
    EXPECT_EQ(log.size(), 2u);
}

TEST_F(DpcTest, ARunningDpcIsNoLongerQueuedSoItCanQueueItself)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    std::vector<BOOLEAN> queued;
    probe.onRun = [&](DpcProbe& self) {
        if (self.runs == 1) {
            queued.push_back(KeInsertQueueDpc(&self.dpc, nullptr, nullptr));
        }
    };
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);

    host::RunQueuedDpcs();

    EXPECT_EQ(queued, std::vector<BOOLEAN>({TRUE}));
    EXPECT_EQ(log.size(), 2u);
}

TEST_F(DpcTest, HighImportanceQueuesAtTheHeadAndTheRestAtTheTail)
{
    std::vector<DpcRun> log;
    struct Case {
        const char* name;
        KDPC_IMPORTANCE importance;
    };
    const Case cases[] = {{"medium", MediumImportance},
                          {"low", LowImportance},
                          {"high 1", HighImportance},
                          {"medium-high", MediumHighImportance},
                          {"high 2", HighImportance}};
    std::vector<std::unique_ptr<DpcProbe>> probes;
    for (const Case& c : cases) {
        probes.push_back(std::make_unique<DpcProbe>(&log, c.name));
        KeSetImportanceDpc(&probes.back()->dpc, c.importance);
        KeInsertQueueDpc(&probes.back()->dpc, nullptr, nullptr);
    }

    host::RunQueuedDpcs();

    EXPECT_EQ(Names(log), NameList({"high 2", "high 1", "medium", "low", "medium-high"}));
}

TEST_F(DpcTest, TheImportanceValuesAreThePublishedOnes)
{
    EXPECT_EQ(LowImportance, 0);
    EXPECT_EQ(MediumImportance, 1);
    EXPECT_EQ(HighImportance, 2);
    EXPECT_EQ(MediumHighImportance, 3);
    EXPECT_EQ(NotificationTimer, 0);
    EXPECT_EQ(SynchronizationTimer, 1);
}

TEST_F(DpcTest, KeSetTargetProcessorDpcSendsTheDpcToThatProcessor)
{
    std::vector<DpcRun> log;
    DpcProbe queued(&log, "queued");
    DpcProbe timed(&log, "timed");
    KeSetTargetProcessorDpc(&queued.dpc, 1);
    KeSetTargetProcessorDpc(&timed.dpc, 1);

    KeInsertQueueDpc(&queued.dpc, nullptr, nullptr);
    timed.SetIn(1 * Millisecond);
    host::AdvanceTime(1 * Millisecond);

    EXPECT_EQ(Names(log), NameList({"queued", "timed"}));
    EXPECT_EQ(ProcessorsOf(log), Processors({1, 1}));
}

TEST_F(DpcTest, ATimersDpcRunsOnTheProcessorThatSetTheTimer)
{
    std::vector<DpcRun> log;
    DpcProbe onZero(&log, "set on 0");
    DpcProbe onOne(&log, "set on 1");
    onZero.SetIn(1 * Millisecond);
    KeSetSystemAffinityThread(0x2);
    onOne.SetIn(2 * Millisecond);
    KeRevertToUserAffinityThread();

    host::AdvanceTime(2 * Millisecond);

    EXPECT_EQ(ProcessorsOf(log), Processors({0, 1}));
}

TEST_F(DpcTest, RoundRobinPlacementDealsATimersDpcsToTheProcessorsInTurn)
{
    host::SetProcessorCount(3);
    host::SetTimerDpcPlacement(host::TimerDpcPlacement::RoundRobin);
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "periodic");
    probe.SetIn(1 * Millisecond, 1);

    host::AdvanceTime(5 * Millisecond);

    EXPECT_EQ(ProcessorsOf(log), Processors({0, 1, 2, 0, 1}));
}

TEST_F(DpcTest, KeRemoveQueueDpcTakesAQueuedDpcOutOnce)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);

    EXPECT_TRUE(KeRemoveQueueDpc(&probe.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&probe.dpc));
    host::RunQueuedDpcs();

    EXPECT_TRUE(log.empty());
}

TEST_F(DpcTest, AnInjectedDelayMakesATimersDpcRunThatMuchLater)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    host::SetDpcDelay(3 * Millisecond);
    probe.SetIn(1 * Millisecond);

    host::AdvanceTime(10 * Millisecond);

    EXPECT_EQ(Times(log), Log({4 * Millisecond}));
}

TEST_F(DpcTest, JitterStaysWithinItsBoundAndReplaysFromItsSeed)
{
    std::vector<ULONGLONG> first = JitterDelays(42);
    std::vector<ULONGLONG> again = JitterDelays(42);
    std::vector<ULONGLONG> other = JitterDelays(43);

    ASSERT_EQ(first.size(), 50u);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    ULONGLONG smallest = *std::min_element(first.begin(), first.end());
    ULONGLONG largest = *std::max_element(first.begin(), first.end());
    EXPECT_LE(largest, 9000u);
    EXPECT_GT(largest - smallest, 4500u) << "spread over the range, not a constant";
}

TEST_F(DpcTest, AStalledProcessorRunsItsDpcsWhenTheStallEndsAndOthersDoNotWait)
{
    std::vector<DpcRun> log;
    DpcProbe stalled(&log, "on 0");
    DpcProbe free(&log, "on 1");
    KeSetTargetProcessorDpc(&free.dpc, 1);
    host::StallProcessor(0, 2 * Millisecond);
    KeInsertQueueDpc(&stalled.dpc, nullptr, nullptr);
    KeInsertQueueDpc(&free.dpc, nullptr, nullptr);

    host::RunQueuedDpcs();
    EXPECT_EQ(Names(log), NameList({"on 1"}));
    host::AdvanceTime(5 * Millisecond);

    EXPECT_EQ(Names(log), NameList({"on 1", "on 0"}));
    EXPECT_EQ(Times(log), Log({0, 2 * Millisecond}));
}

TEST_F(DpcTest, KeFlushQueuedDpcsReturnsOnceEveryQueuedDpcHasRun)
{
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "a");
    KeSetTargetProcessorDpc(&probe.dpc, 1);
    host::StallProcessor(1, 3 * Millisecond);
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);

    KeFlushQueuedDpcs();

    EXPECT_EQ(Times(log), Log({3 * Millisecond}));
    EXPECT_EQ(host::QueuedDpcCount(), 0u);
}

TEST_F(DpcTest, ADpcThatAdvancesTheClockLetsTheOtherProcessorRunTheSameDpcMeanwhile)
{
    // A 1 ms periodic timer dealt round robin: its DPC on processor 0 moves the clock on by 1 ms
    // while it runs, so the next expiry's DPC runs on processor 1 inside the first one.
    host::SetTimerDpcPlacement(host::TimerDpcPlacement::RoundRobin);
    std::vector<DpcRun> log;
    DpcProbe probe(&log, "periodic");
    int inside = 0;
    std::vector<int> insideAtEntry;
    probe.onRun = [&](DpcProbe& self) {
        insideAtEntry.push_back(inside);
        ++inside;
        if (self.runs == 1) {
            host::AdvanceTime(1 * Millisecond);
        }
        --inside;
    };
    probe.SetIn(1 * Millisecond, 1);

    host::AdvanceTime(1 * Millisecond);
    KeCancelTimer(&probe.timer);

    EXPECT_EQ(ProcessorsOf(log), Processors({0, 1}));
    EXPECT_EQ(Times(log), Log({1 * Millisecond, 2 * Millisecond}));
    EXPECT_EQ(insideAtEntry, std::vector<int>({0, 1})) << "the second run began while the first ran";
    EXPECT_EQ(KeQueryInterruptTime() - host::BootInterruptTime, 2 * Millisecond);
}

TEST_F(DpcTest, AProcessorRunsOneDpcAtATime)
{
    // Both DPCs are on processor 0: the second cannot start inside the first, even when the first
    // moves the clock on; it runs once the first has returned.
    std::vector<DpcRun> log;
    DpcProbe outer(&log, "outer");
    DpcProbe inner(&log, "inner");
    std::vector<std::string> order;
    outer.onRun = [&](DpcProbe&) {
        KeInsertQueueDpc(&inner.dpc, nullptr, nullptr);
        host::AdvanceTime(1 * Millisecond);
        order.push_back("outer returns");
    };
    inner.onRun = [&](DpcProbe&) { order.push_back("inner runs"); };
    KeInsertQueueDpc(&outer.dpc, nullptr, nullptr);

    host::RunQueuedDpcs();

    EXPECT_EQ(order, NameList({"outer returns", "inner runs"}));
    EXPECT_EQ(ProcessorsOf(log), Processors({0, 0}));
}

TEST_F(DpcTest, WithTheOptionADpcRunsTheMomentItsProcessorDropsBelowDispatchLevel)
{
    static int runs;
    runs = 0;
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { ++runs; }, nullptr);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    struct Row {
        bool option;
        int afterQueueAtPassive;  // runs once KeInsertQueueDpc returned at PASSIVE_LEVEL
        int insideTheLock;        // queued holding a spin lock: still waiting there
        int afterTheRelease;
    };
    const Row rows[] = {{false, 0, 0, 0}, {true, 1, 1, 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.option);
        runs = 0;
        host::SetDpcsRunWhenIrqlDrops(row.option);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        EXPECT_EQ(runs, row.afterQueueAtPassive);
        KIRQL old = KfAcquireSpinLock(&lock);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        EXPECT_EQ(runs, row.insideTheLock);
        KfReleaseSpinLock(&lock, old);
        EXPECT_EQ(runs, row.afterTheRelease);
        host::RunQueuedDpcs();
        // Without the option the second insert found the first still queued: one run in all.
        EXPECT_EQ(runs, row.option ? 2 : 1);
    }
}
