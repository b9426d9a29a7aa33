// What the verifier checks around DPCs and timers: a DPC routine must return at DISPATCH_LEVEL
// holding no spin lock and inside no no-block region; pool that holds a queued timer or DPC must
// not be freed; a target processor must exist.
#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>

#include "host/harness.h"
#include "support/platform_fixture.h"
#include "tests/host/dpc_probe.h"

namespace {

using DpcVerifierTest = PlatformTest;

KSPIN_LOCK sharedLock;

void ReturnsHoldingALock(PKDPC, PVOID, PVOID, PVOID)
{
    KeAcquireSpinLockAtDpcLevel(&sharedLock);
}

void ReturnsAtPassiveLevel(PKDPC, PVOID, PVOID, PVOID)
{
    KeLowerIrql(PASSIVE_LEVEL);
}

void ReturnsInsideARegion(PKDPC, PVOID, PVOID, PVOID)
{
    HOST_ENTER_NO_BLOCK_REGION("processing");
}

void ReturnsCleanly(PKDPC, PVOID, PVOID, PVOID)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    HOST_ENTER_NO_BLOCK_REGION("processing");
    HOST_LEAVE_NO_BLOCK_REGION();
}

// Work charged to the DPC watchdog: a pass of four 1-MiB chunks and a byte.
void ChargesOverFourMiB(PKDPC, PVOID, PVOID, PVOID)
{
    for (int chunk = 0; chunk < 4; ++chunk) {
        HostChargeDpcWork(1 << 20);
    }
    HostChargeDpcWork(1);
}

void ChargesFourMiB(PKDPC, PVOID, PVOID, PVOID)
{
    HostChargeDpcWork(4 << 20);
}

// Spins until its thread has used 3 ms of processor time.
void Spins3Ms(PKDPC, PVOID, PVOID argument1, PVOID)
{
    timespec start{}, now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    do {
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) < 3000000L);
    static_cast<std::atomic<bool>*>(argument1)->store(true);
}

// Queues a DPC with `routine`, runs it, and returns the rules it broke.
std::vector<host::Violation> RunDpcWith(PKDEFERRED_ROUTINE routine)
{
    KDPC dpc;
    KeInitializeDpc(&dpc, routine, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    host::RunQueuedDpcs();
    return host::TakeViolations();
}

}  // namespace

TEST_F(DpcVerifierTest, ADpcThatReturnsHoldingASpinLockIsCaughtAndNamed)
{
    KeInitializeSpinLock(&sharedLock);

    std::vector<host::Violation> violations = RunDpcWith(&ReturnsHoldingALock);

    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "DPC_RETURNED_HOLDING_SPIN_LOCK");
    // The test program exports no symbols, so the routine is named by its address (the driver
    // image's routines are named by their symbols).
    char address[48];
    std::snprintf(address, sizeof(address), "DPC routine at %p", reinterpret_cast<void*>(&ReturnsHoldingALock));
    EXPECT_EQ(violations[0].routine, address);
    EXPECT_NE(violations[0].message.find("1 spin lock"), std::string::npos) << violations[0].message;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&sharedLock);
    KeLowerIrql(old);
}

TEST_F(DpcVerifierTest, ADpcThatReturnsBelowDispatchLevelIsCaughtAndTheCallersIrqlRestored)
{
    std::vector<host::Violation> violations = RunDpcWith(&ReturnsAtPassiveLevel);

    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "DPC_RETURNED_AT_WRONG_IRQL");
    EXPECT_NE(violations[0].message.find("PASSIVE_LEVEL"), std::string::npos) << violations[0].message;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DpcVerifierTest, ADpcThatReturnsInsideANoBlockRegionIsCaught)
{
    std::vector<host::Violation> violations = RunDpcWith(&ReturnsInsideARegion);

    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "NO_BLOCK_REGION_LEFT_OPEN");
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, TestPoolTag);
    EXPECT_TRUE(host::TakeViolations().empty()) << "the region the DPC left open does not outlive it";
    ExFreePoolWithTag(block, TestPoolTag);
}

TEST_F(DpcVerifierTest, ADpcThatTidiesUpIsNotReported)
{
    EXPECT_TRUE(RunDpcWith(&ReturnsCleanly).empty());
}

TEST_F(DpcVerifierTest, AbortModeStopsOnADpcHoldingALock)
{
    host::SetVerifierMode(host::VerifierMode::Abort);
    EXPECT_DEATH(
        {
            KeInitializeSpinLock(&sharedLock);
            RunDpcWith(&ReturnsHoldingALock);
        },
        "DPC_RETURNED_HOLDING_SPIN_LOCK in DPC routine at 0x[0-9a-f]+ at IRQL 2: .*release every lock");
    host::SetVerifierMode(host::VerifierMode::Record);
}

TEST_F(DpcVerifierTest, FreeingPoolThatHoldsAQueuedTimerOrDpcIsCaught)
{
    struct Engine {
        KTIMER timer;
        KDPC dpc;
    };
    auto* engine = static_cast<Engine*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Engine), TestPoolTag));
    KeInitializeTimer(&engine->timer);
    KeInitializeDpc(&engine->dpc, &ReturnsCleanly, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -5 * static_cast<LONGLONG>(Millisecond);
    KeSetTimer(&engine->timer, due, &engine->dpc);
    KeInsertQueueDpc(&engine->dpc, nullptr, nullptr);

    ExFreePoolWithTag(engine, TestPoolTag);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "TIMER_OR_DPC_INVALID");
    EXPECT_NE(violations[0].message.find("1 queued timer(s) and 1 queued DPC(s)"), std::string::npos)
        << violations[0].message;
    EXPECT_EQ(host::QueuedTimerCount(), 0u) << "forgotten, so the freed memory is never touched";
    EXPECT_EQ(host::QueuedDpcCount(), 0u);
    host::AdvanceTime(10 * Millisecond);
}

TEST_F(DpcVerifierTest, FreeingPoolAfterCancellingAndRunningIsFine)
{
    auto* timer = static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), TestPoolTag));
    KeInitializeTimer(timer);
    LARGE_INTEGER due;
    due.QuadPart = -5 * static_cast<LONGLONG>(Millisecond);
    KeSetTimer(timer, due, nullptr);
    KeCancelTimer(timer);

    ExFreePoolWithTag(timer, TestPoolTag);

    EXPECT_TRUE(host::TakeViolations().empty());
}

TEST_F(DpcVerifierTest, ATargetProcessorThatDoesNotExistIsCaught)
{
    KDPC dpc;
    KeInitializeDpc(&dpc, &ReturnsCleanly, nullptr);

    KeSetTargetProcessorDpc(&dpc, 2);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "INVALID_PROCESSOR_NUMBER");
    EXPECT_EQ(violations[0].routine, "KeSetTargetProcessorDpc");
}

TEST_F(DpcVerifierTest, SettingATimerAtRaisedIrqlAboveDispatchIsCaught)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -1;
    KIRQL old = KfRaiseIrql(HIGH_LEVEL);
    KeSetTimer(&timer, due, nullptr);
    KeLowerIrql(old);
    KeCancelTimer(&timer);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_EQ(violations[0].routine, "KeSetTimer");
}

TEST_F(DpcVerifierTest, UnloadingTheImageWithItsDpcStillQueuedIsCaught)
{
    host::DriverImage image(host::DefaultDriverImagePath());
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    // Any routine of the image stands for its DPC routine: the DPC never gets to run.
    auto routine = reinterpret_cast<PKDEFERRED_ROUTINE>(image.Symbol("DriverEntry"));
    ASSERT_NE(routine, nullptr);
    KDPC dpc;
    KeInitializeDpc(&dpc, routine, nullptr);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -5 * static_cast<LONGLONG>(Millisecond);
    KeSetTimer(&timer, due, &dpc);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);

    image.Unload();

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS");
    EXPECT_NE(violations[0].message.find("1 timer(s) and 1 DPC(s)"), std::string::npos) << violations[0].message;
    host::AdvanceTime(10 * Millisecond);  // nothing left to call into the unmapped image
    EXPECT_EQ(host::QueuedTimerCount(), 0u);
}

TEST_F(DpcVerifierTest, TheDpcWatchdogStopsAPassOverItsWorkBudgetWhateverItIsMadeOf)
{
    EXPECT_TRUE(RunDpcWith(&ChargesFourMiB).empty());
    std::vector<host::Violation> violations = RunDpcWith(&ChargesOverFourMiB);
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "DPC_WATCHDOG_VIOLATION");
    EXPECT_NE(violations[0].message.find("4194305 bytes"), std::string::npos) << violations[0].message;
}

TEST_F(DpcVerifierTest, InRealTimeTheDpcWatchdogCountsTheRoutinesProcessorTime)
{
    host::SetDpcBudget(host::DefaultDpcWorkBudget, 10000);  // 1 ms
    std::atomic<bool> ran{false};
    KDPC dpc;
    KeInitializeDpc(&dpc, &Spins3Ms, nullptr);
    host::StartRealTime();
    KeInsertQueueDpc(&dpc, &ran, nullptr);
    while (!ran.load()) {
        std::this_thread::yield();
    }
    host::StopRealTime();
    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "DPC_WATCHDOG_VIOLATION");
}
