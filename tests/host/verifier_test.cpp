// The verifier catches what Driver Verifier would: waits and registry calls at DISPATCH_LEVEL,
// lock misuse, pageable code at raised IRQL, pool misuse, paged pool touched at DISPATCH_LEVEL
// and leaks at image unload; and pool fault injection fails exactly the allocations asked for.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "code_placement_probe.h"
#include "config/driver_params.h"
#include "core/driver_state.h"
#include "core/locks.h"
#include "filters/adapter.h"
#include "support/platform_fixture.h"

namespace {

class VerifierTest : public PlatformTest {
protected:
    // The rules of the violations recorded since the last call.
    std::vector<std::string> Rules()
    {
        std::vector<std::string> rules;
        for (const host::Violation& violation : host::TakeViolations()) {
            rules.push_back(violation.rule);
        }
        return rules;
    }
};

// A read and a write of one word, which the compiler must make.
void TouchWord(volatile ULONG* word)
{
    *word = *word + 1;
}

void TouchAtPassiveLevel(volatile ULONG* word)
{
    TouchWord(word);
}

void TouchAtApcLevel(volatile ULONG* word)
{
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    TouchWord(word);
    KeLowerIrql(old);
}

void TouchAtRaisedIrql(volatile ULONG* word)
{
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    TouchWord(word);
    KeLowerIrql(old);
}

void TouchTwiceAtRaisedIrql(volatile ULONG* word)
{
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    TouchWord(word);
    TouchWord(word);
    KeLowerIrql(old);
}

void TouchHoldingASpinLock(volatile ULONG* word)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    TouchWord(word);
    KeReleaseSpinLock(&lock, old);
}

void TouchInADpc(volatile ULONG* word)
{
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { TouchWord(static_cast<volatile ULONG*>(context)); },
        const_cast<ULONG*>(word));
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    host::RunQueuedDpcs();
}

}  // namespace

TEST_F(VerifierTest, AWaitAtDispatchLevelIsCaughtAndNamed)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeLowerIrql(old);
    KeReleaseMutex(&mutex, FALSE);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_EQ(violations[0].routine, "KeWaitForSingleObject");
    EXPECT_NE(violations[0].message.find("DISPATCH_LEVEL"), std::string::npos) << violations[0].message;
}

TEST_F(VerifierTest, AWaitAtDispatchLevelStopsTheProgramInAbortMode)
{
    host::SetVerifierMode(host::VerifierMode::Abort);
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KfRaiseIrql(DISPATCH_LEVEL);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        },
        "IRQL_NOT_LESS_OR_EQUAL in KeWaitForSingleObject");
    host::SetVerifierMode(host::VerifierMode::Record);
}

TEST_F(VerifierTest, ARegistryCallAtDispatchLevelIsCaught)
{
    std::u16string path = u"\\Registry\\Machine";
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;

    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    KeLowerIrql(old);
    if (NT_SUCCESS(status)) {
        ZwClose(key);
    }

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ(violations[0].rule, "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_EQ(violations[0].routine, "ZwOpenKey");
}

TEST_F(VerifierTest, PageableDriverCodeAtDispatchLevelIsCaughtOnEntry)
{
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    LoadDriverParams();
    KeLowerIrql(old);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ(violations[0].rule, "PAGEABLE_CODE_AT_RAISED_IRQL");
    EXPECT_EQ(violations[0].routine, "LoadDriverParams");
    // Its own PAGED_CODE() check reports it too.
    ASSERT_GE(violations.size(), 2u);
    EXPECT_EQ(violations[1].rule, "PAGED_CODE_AT_RAISED_IRQL");
}

TEST_F(VerifierTest, ASpinLockTakenByPageableCodeItselfIsCaught)
{
    // The rest of a pageable routine would run at DISPATCH_LEVEL; a resident routine it calls may
    // take the lock.
    PageableRoutineTakingASpinLock();
    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "PAGEABLE_CODE_AT_RAISED_IRQL");
    EXPECT_EQ(violations[0].routine, "KeAcquireSpinLock");

    PageableRoutineCallingOneThatTakesASpinLock();
    EXPECT_EQ(Rules(), std::vector<std::string>{});
}

TEST_F(VerifierTest, AnInitRoutineCalledAfterDriverEntryIsCaught)
{
    host::DriverImage image{host::DefaultDriverImagePath()};
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    // A second entry finds the driver loaded and only cleans up; the INIT section is gone by then.
    auto createAdapter = reinterpret_cast<Adapter* (*)()>(image.Symbol("_ZN7Adapter6CreateEv"));
    ASSERT_NE(createAdapter, nullptr);
    static_cast<DriverState*>(image.Symbol("Driver"))->Adapter = createAdapter();
    UNICODE_STRING path{0, 0, nullptr};
    EXPECT_EQ(image.DriverObject()->DriverInit(image.DriverObject(), &path), STATUS_IMAGE_ALREADY_LOADED);
    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ(violations[0].rule, "INIT_CODE_AFTER_DRIVER_ENTRY");
    EXPECT_EQ(violations[0].routine, "DriverEntry");
    image.Unload();
    EXPECT_EQ(Rules(), std::vector<std::string>{});
}

TEST_F(VerifierTest, ASpinLockReleasedTwiceOrByAnotherThreadIsCaught)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KfAcquireSpinLock(&lock);
    KfReleaseSpinLock(&lock, old);
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(Rules(), std::vector<std::string>{"SPIN_LOCK_NOT_OWNED"});

    old = KfAcquireSpinLock(&lock);
    std::thread([&] { KfReleaseSpinLock(&lock, PASSIVE_LEVEL); }).join();
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(Rules(), std::vector<std::string>{"SPIN_LOCK_NOT_OWNED"});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(VerifierTest, AMutexReleasedByAThreadThatDoesNotHoldItIsCaught)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(Rules(), std::vector<std::string>{"MUTEX_NOT_OWNED"});
}

TEST_F(VerifierTest, PoolMisuseIsCaught)
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, 0x206D6457);
    ExFreePoolWithTag(block, 0x41414141);
    EXPECT_EQ(Rules(), std::vector<std::string>{"BAD_POOL_TAG"});
    ExFreePool(block);
    ExFreePool(block);
    EXPECT_EQ(Rules(), std::vector<std::string>{"BAD_POOL_CALLER"});

    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    void* paged = ExAllocatePoolWithTag(PagedPool, 16, 0x206D6457);
    KeLowerIrql(old);
    ExFreePool(paged);
    EXPECT_EQ(Rules(), std::vector<std::string>{"IRQL_NOT_LESS_OR_EQUAL"});
}

// As special pool: a zero-byte or untagged allocation is a stop, and a write past the requested
// size is caught at the free, even one byte into the slack that rounding leaves.
TEST_F(VerifierTest, SpecialPoolCatchesZeroSizesTagZeroAndOverruns)
{
    struct Case {
        size_t size;
        ULONG tag;
        size_t writtenBytes;  // from the block's start
        std::vector<std::string> rules;
    };
    const std::vector<std::string> none;
    const Case cases[] = {
        {16, 0x206D6457, 16, none},
        {13, 0x206D6457, 13, none},
        {13, 0x206D6457, 14, {"SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION"}},
        {16, 0x206D6457, 17, {"SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION"}},
        {1, 0x206D6457, 32, {"SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION"}},
        {0, 0x206D6457, 0, {"DRIVER_VERIFIER_DETECTED_VIOLATION"}},
        {8, 0, 8, {"DRIVER_VERIFIER_DETECTED_VIOLATION"}},
    };
    for (const Case& c : cases) {
        auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, c.size, c.tag));
        ASSERT_NE(block, nullptr);
        std::memset(block, 0x5A, c.writtenBytes);
        ExFreePool(block);
        EXPECT_EQ(Rules(), c.rules) << c.size << " bytes, tag " << c.tag << ", " << c.writtenBytes << " written";
    }
}

// Deadlock detection: two locks taken in both orders are reported at the second order, though
// nothing deadlocks in one thread; a DPC's locks are not ordered after the interrupted thread's,
// and a lock made anew in reused memory starts with no order.
TEST_F(VerifierTest, ALockOrderInversionIsReportedWithoutADeadlock)
{
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KMUTEX outer;
    KMUTEX inner;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    KeInitializeMutex(&outer, 0);
    KeInitializeMutex(&inner, 0);
    auto takeSpinLocks = [](PKSPIN_LOCK a, PKSPIN_LOCK b) {
        KIRQL old;
        KeAcquireSpinLock(a, &old);
        KeAcquireSpinLockAtDpcLevel(b);
        KeReleaseSpinLockFromDpcLevel(b);
        KeReleaseSpinLock(a, old);
    };
    auto takeMutexes = [](PKMUTEX a, PKMUTEX b) {
        KeWaitForSingleObject(a, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(b, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(a, Executive, KernelMode, FALSE, nullptr);  // recursion is no new order
        KeReleaseMutex(a, FALSE);
        KeReleaseMutex(b, FALSE);
        KeReleaseMutex(a, FALSE);
    };

    takeSpinLocks(&first, &second);
    takeSpinLocks(&first, &second);
    takeMutexes(&outer, &inner);
    EXPECT_TRUE(Rules().empty());
    takeSpinLocks(&second, &first);
    EXPECT_EQ(Rules(), std::vector<std::string>{"LOCK_HIERARCHY_VIOLATION"});
    takeMutexes(&inner, &outer);
    EXPECT_EQ(Rules(), std::vector<std::string>{"LOCK_HIERARCHY_VIOLATION"});
    takeSpinLocks(&second, &first);
    EXPECT_TRUE(Rules().empty()) << "an inversion is reported once";

    // A third lock only ever taken by a DPC while the thread holds `first`, then by the thread before
    // `first`: no order links the DPC's lock to what the interrupted thread held.
    static KSPIN_LOCK dpcLock;
    KeInitializeSpinLock(&dpcLock);
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID, PVOID, PVOID) {
            KeAcquireSpinLockAtDpcLevel(&dpcLock);
            KeReleaseSpinLockFromDpcLevel(&dpcLock);
        },
        nullptr);
    KIRQL old;
    KeAcquireSpinLock(&first, &old);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeReleaseSpinLock(&first, old);
    host::RunQueuedDpcs();
    takeSpinLocks(&dpcLock, &first);
    EXPECT_TRUE(Rules().empty());

    // The same memory made into new locks has no order yet.
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    takeSpinLocks(&first, &second);
    takeSpinLocks(&second, &first);
    EXPECT_EQ(Rules(), std::vector<std::string>{"LOCK_HIERARCHY_VIOLATION"});
}

TEST_F(VerifierTest, AnAllocationStillLiveWhenTheImageUnloadsIsReportedAsALeak)
{
    host::DriverImage image(host::DefaultDriverImagePath());
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    auto poolAlloc = reinterpret_cast<PVOID (*)(SIZE_T)>(image.Symbol("_Z9PoolAllocm"));
    ASSERT_NE(poolAlloc, nullptr);
    void* leaked = poolAlloc(48);

    image.Unload();

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "POOL_LEAK_AT_UNLOAD");
    EXPECT_NE(violations[0].message.find("48 bytes"), std::string::npos) << violations[0].message;
    ExFreePool(leaked);
}

TEST_F(VerifierTest, FaultInjectionFailsTheNthAllocationOnly)
{
    host::FailNthAllocation(2);
    void* first = PoolAlloc(8);
    void* second = PoolAlloc(8);
    void* third = PoolAlloc(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(host::InjectedPoolFailures(), 1u);
    PoolFree(first);
    PoolFree(third);
}

TEST_F(VerifierTest, FaultInjectionFailsEveryAllocationOfANamedSite)
{
    host::FailAllocationsFrom("PoolAllocEx");
    EXPECT_EQ(PoolAllocEx(8, 0), nullptr);
    EXPECT_EQ(PoolAllocEx(8, PoolZeroed), nullptr);
    void* other = PoolAlloc(8);
    EXPECT_NE(other, nullptr);
    PoolFree(other);
    host::ClearPoolFaults();
    void* again = PoolAllocEx(8, 0);
    EXPECT_NE(again, nullptr);
    PoolFree(again);
}

TEST_F(VerifierTest, TimerResolutionRequestsAreCountedPerCallerAndSetTheClockTick)
{
    // Each row: a call, the resolution then in force (and so the clock's tick).
    struct Row {
        ULONG desired;
        BOOLEAN set;
        ULONG granted;
    };
    const Row rows[] = {
        {25000, TRUE, 25000},   // 2.5 ms
        {1000, TRUE, 5000},     // no finer than 0.5 ms
        {0, FALSE, 25000},      // the finer request taken back
        {0, FALSE, 156250},     // none left: the default
    };
    ULONGLONG exact = KeQueryInterruptTime();
    ASSERT_EQ(exact, host::BootInterruptTime);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desired);
        EXPECT_EQ(ExSetTimerResolution(row.desired, row.set), row.granted);
        // The clock reads the last tick of the new resolution, counted from boot.
        host::AdvanceTime(row.granted + row.granted / 2 + 7);
        exact += row.granted + row.granted / 2 + 7;
        EXPECT_EQ(KeQueryInterruptTime(), exact - (exact - host::BootInterruptTime) % row.granted);
    }
    EXPECT_EQ(Rules(), std::vector<std::string>{});

    ExSetTimerResolution(0, FALSE);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    ExSetTimerResolution(10000, TRUE);
    KeLowerIrql(old);
    EXPECT_EQ(Rules(), (std::vector<std::string>{"TIMER_RESOLUTION_RELEASED_WITHOUT_REQUEST", "IRQL_NOT_LESS_OR_EQUAL"}));
}

TEST_F(VerifierTest, AnImageUnloadedWithATimerResolutionRequestOutstandingIsReported)
{
    host::DriverImage image{host::DefaultDriverImagePath()};
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    auto request = reinterpret_cast<void (*)(ULONG)>(image.Symbol("_Z22RequestTimerResolutionj"));
    ASSERT_NE(request, nullptr);
    request(2500);
    // The image's own request is taken back at unload; a request left behind is not.
    static_cast<DriverState*>(image.Symbol("Driver"))->TimerResolutionRequests = 0;
    image.Unload();
    EXPECT_EQ(Rules(), std::vector<std::string>{"TIMER_RESOLUTION_NOT_RESTORED_AT_UNLOAD"});
}

TEST_F(VerifierTest, PoolTypesAreCheckedAgainstTheOldestWindowsTheDriverRunsOn)
{
    struct Row {
        ULONG minimum;
        POOL_TYPE type;
        std::vector<std::string> rules;
    };
    const Row rows[] = {
        {0x0500, NonPagedPool, {}},
        {0x0500, PagedPool, {}},
        {0x0500, NonPagedPoolNx, {"BAD_POOL_CALLER"}},  // Windows 2000..7 lack it
        {0x0601, NonPagedPoolNx, {"BAD_POOL_CALLER"}},
        {0x0602, NonPagedPoolNx, {}},
        {0x0602, PagedPool, {}},
        {0x0602, NonPagedPool, {"DRIVER_VERIFIER_DETECTED_VIOLATION"}},  // executable
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.minimum << " type " << row.type);
        host::SetMinimumWindowsVersion(row.minimum);
        ExFreePoolWithTag(ExAllocatePoolWithTag(row.type, 16, PoolTag), PoolTag);
        EXPECT_EQ(Rules(), row.rules);
    }
}

// As Driver Verifier trims pageable memory whenever IRQL is raised: paged pool touched at
// DISPATCH_LEVEL is reported, once per raise, and the access completes; below it, or in
// non-paged pool, nothing is reported.
TEST_F(VerifierTest, PagedPoolTouchedAtDispatchLevelIsReportedAndTheRunGoesOn)
{
    const POOL_TYPE PagedPoolCacheAligned = static_cast<POOL_TYPE>(4 | PagedPool);
    const std::vector<std::string> none;
    const std::vector<std::string> reported{"PAGED_POOL_TOUCHED_AT_DISPATCH_LEVEL"};
    struct Row {
        const char* where;
        void (*touch)(volatile ULONG*);
        POOL_TYPE type;
        ULONG touches;
        std::vector<std::string> rules;
    };
    const Row rows[] = {
        {"at PASSIVE_LEVEL", TouchAtPassiveLevel, PagedPool, 1, none},
        {"at APC_LEVEL", TouchAtApcLevel, PagedPool, 1, none},
        {"at raised IRQL", TouchAtRaisedIrql, PagedPool, 1, reported},
        {"twice at raised IRQL", TouchTwiceAtRaisedIrql, PagedPool, 2, reported},
        {"holding a spin lock", TouchHoldingASpinLock, PagedPool, 1, reported},
        {"in a DPC", TouchInADpc, PagedPool, 1, reported},
        {"at raised IRQL", TouchAtRaisedIrql, PagedPoolCacheAligned, 1, reported},
        {"at raised IRQL", TouchAtRaisedIrql, NonPagedPool, 1, none},
        {"holding a spin lock", TouchHoldingASpinLock, NonPagedPool, 1, none},
        {"in a DPC", TouchInADpc, NonPagedPool, 1, none},
    };
    const size_t liveBefore = host::LivePoolCount();
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "pool type " << row.type << ", touched " << row.where);
        auto* block = static_cast<volatile ULONG*>(ExAllocatePoolWithTag(row.type, 24, 0x20646750));  // "Pgd "
        ASSERT_NE(block, nullptr);
        block[3] = 0;

        row.touch(&block[3]);
        std::vector<host::Violation> violations = host::TakeViolations();
        std::vector<std::string> rules;
        for (const host::Violation& violation : violations) {
            rules.push_back(violation.rule);
            EXPECT_NE(violation.message.find("at byte 12 of a 24-byte PagedPool block (tag 'Pgd ')"),
                      std::string::npos)
                << violation.message;
        }
        EXPECT_EQ(rules, row.rules);

        // The touches completed, the block still reads at PASSIVE_LEVEL, and frees there.
        EXPECT_EQ(block[3], row.touches);
        TouchAtRaisedIrql(&block[3]);
        EXPECT_EQ(Rules(), (row.type & PagedPool) != 0 ? reported : none) << "every raise protects the block anew";
        ExFreePoolWithTag(const_cast<ULONG*>(block), 0x20646750);
        EXPECT_EQ(Rules(), none);
    }
    EXPECT_EQ(host::LivePoolCount(), liveBefore);
}

TEST_F(VerifierTest, PagedPoolTouchedAtDispatchLevelStopsTheProgramInAbortMode)
{
    auto* block = static_cast<volatile ULONG*>(ExAllocatePoolWithTag(PagedPool, 8, PoolTag));
    ASSERT_NE(block, nullptr);
    host::SetVerifierMode(host::VerifierMode::Abort);
    EXPECT_DEATH(TouchAtRaisedIrql(block), "PAGED_POOL_TOUCHED_AT_DISPATCH_LEVEL in .* at IRQL 2: a read at byte 0");
    host::SetVerifierMode(host::VerifierMode::Record);
    ExFreePoolWithTag(const_cast<ULONG*>(block), PoolTag);
}

// The fault handler claims only faults in paged pool: any other still stops the program.
TEST_F(VerifierTest, AFaultOutsidePagedPoolStillStopsTheProgram)
{
    void* block = ExAllocatePoolWithTag(PagedPool, 8, PoolTag);
    ASSERT_NE(block, nullptr);
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    EXPECT_DEATH(TouchAtRaisedIrql(static_cast<volatile ULONG*>(page)), "");
    EXPECT_DEATH(TouchAtPassiveLevel(static_cast<volatile ULONG*>(page)), "");
    munmap(page, 4096);
    ExFreePoolWithTag(block, PoolTag);
}

// Page protection is per address space, not per thread: with real processor threads it would fault
// threads entitled to the memory, so in real-time mode paged pool goes unchecked.
TEST_F(VerifierTest, PagedPoolIsNotCheckedInRealTimeMode)
{
    struct Shared {
        volatile ULONG* word;
        std::atomic<bool> touched{false};
    } shared;
    shared.word = static_cast<volatile ULONG*>(ExAllocatePoolWithTag(PagedPool, 8, PoolTag));
    ASSERT_NE(shared.word, nullptr);
    *shared.word = 0;
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* shared = static_cast<Shared*>(context);
            TouchWord(shared->word);
            shared->touched.store(true, std::memory_order_release);
        },
        &shared);

    host::StartRealTime();
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    const bool touched =
        host::WaitUntil([&] { return shared.touched.load(std::memory_order_acquire); }, std::chrono::seconds(30));
    host::StopRealTime();

    ASSERT_TRUE(touched);
    EXPECT_EQ(*shared.word, 1u);
    EXPECT_EQ(Rules(), std::vector<std::string>{});
    ExFreePoolWithTag(const_cast<ULONG*>(shared.word), PoolTag);
}
