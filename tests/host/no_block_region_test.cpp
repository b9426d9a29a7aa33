// The verifier's no-block region: inside the marked processing section, pool calls, waits and
// mutexes are failures that name the region; outside it they are not; regions nest; a DPC does
// not inherit the region of the code it interrupted.
#include <functional>
#include <thread>

#include "host/harness.h"
#include "support/platform_fixture.h"
#include "tests/host/dpc_probe.h"

namespace {

using NoBlockRegionTest = PlatformTest;

constexpr ULONG Tag = TestPoolTag;

}  // namespace

TEST_F(NoBlockRegionTest, EveryBlockingCallInsideTheRegionIsCaughtAndNamesIt)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, Tag);
    struct Case {
        const char* routine;
        std::function<void()> call;
    };
    void* allocated = nullptr;
    const Case cases[] = {
        {"ExAllocatePoolWithTag", [&] { allocated = ExAllocatePoolWithTag(NonPagedPool, 16, Tag); }},
        {"ExFreePoolWithTag", [&] { ExFreePoolWithTag(block, Tag); }},
        {"KeWaitForSingleObject", [&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); }},
        {"KeReleaseMutex", [&] { KeReleaseMutex(&mutex, FALSE); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.routine);
        HOST_ENTER_NO_BLOCK_REGION("ProcessTick");
        c.call();
        HOST_LEAVE_NO_BLOCK_REGION();

        std::vector<host::Violation> violations = host::TakeViolations();
        ASSERT_EQ(violations.size(), 1u);
        EXPECT_EQ(violations[0].rule, "BLOCKING_CALL_IN_PROCESSING_SECTION");
        EXPECT_EQ(violations[0].routine, c.routine);
        EXPECT_NE(violations[0].message.find("\"ProcessTick\""), std::string::npos) << violations[0].message;
    }
    ExFreePoolWithTag(allocated, Tag);
}

TEST_F(NoBlockRegionTest, OutsideTheRegionTheSameCallsPass)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    HOST_ENTER_NO_BLOCK_REGION("ProcessTick");
    HOST_LEAVE_NO_BLOCK_REGION();

    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, Tag);
    ExFreePoolWithTag(block, Tag);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex, FALSE);

    EXPECT_TRUE(host::TakeViolations().empty());
}

TEST_F(NoBlockRegionTest, RegionsNestAndTheInnermostIsNamed)
{
    host::EnterNoBlockRegion("TimerDpc");
    host::EnterNoBlockRegion("ProcessBytes");
    host::LeaveNoBlockRegion();
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, Tag);
    host::LeaveNoBlockRegion();
    ExFreePoolWithTag(block, Tag);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u) << "only the allocation inside the outer region";
    EXPECT_NE(violations[0].message.find("\"TimerDpc\""), std::string::npos) << violations[0].message;
}

TEST_F(NoBlockRegionTest, LeavingARegionNeverEnteredIsCaught)
{
    HOST_LEAVE_NO_BLOCK_REGION();

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "NO_BLOCK_REGION_NOT_ENTERED");
}

TEST_F(NoBlockRegionTest, TheRegionIsPerThread)
{
    HOST_ENTER_NO_BLOCK_REGION("ProcessTick");
    std::thread other([] {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 16, Tag);
        ExFreePoolWithTag(block, Tag);
    });
    other.join();
    HOST_LEAVE_NO_BLOCK_REGION();

    EXPECT_TRUE(host::TakeViolations().empty());
}

TEST_F(NoBlockRegionTest, ADpcRunsOutsideTheRegionOfTheDpcItInterleavesWith)
{
    // Processor 0's DPC is inside its region when processor 1's DPC runs in the middle of it;
    // processor 1's allocation is its own business.
    std::vector<DpcRun> log;
    DpcProbe inRegion(&log, "processor 0");
    DpcProbe allocating(&log, "processor 1");
    KeSetTargetProcessorDpc(&allocating.dpc, 1);
    inRegion.onRun = [&](DpcProbe&) {
        HOST_ENTER_NO_BLOCK_REGION("ProcessTick");
        KeInsertQueueDpc(&allocating.dpc, nullptr, nullptr);
        host::RunQueuedDpcs();
        HOST_LEAVE_NO_BLOCK_REGION();
    };
    allocating.onRun = [&](DpcProbe&) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 16, Tag);
        ExFreePoolWithTag(block, Tag);
    };
    KeInsertQueueDpc(&inRegion.dpc, nullptr, nullptr);

    host::RunQueuedDpcs();

    EXPECT_EQ(Names(log), std::vector<std::string>({"processor 0", "processor 1"}));
    EXPECT_TRUE(host::TakeViolations().empty());
}
