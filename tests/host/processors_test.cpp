// Emulated processors: two by default, configurable, reported consistently by every service, and
// thread affinity that moves the calling thread.
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "host/harness.h"
#include "support/platform_fixture.h"

namespace {

using ProcessorsTest = PlatformTest;

}  // namespace

TEST_F(ProcessorsTest, TwoProcessorsByDefault)
{
    KAFFINITY active = 0;
    EXPECT_EQ(KeQueryActiveProcessorCount(&active), 2u);
    EXPECT_EQ(active, 0x3u);
    EXPECT_EQ(KeQueryActiveProcessors(), 0x3u);
    EXPECT_EQ(KeNumberProcessors, 2);
    EXPECT_EQ(KeQueryActiveProcessorCount(nullptr), 2u);
}

TEST_F(ProcessorsTest, TheCountIsConfigurableAndEveryServiceAgrees)
{
    struct Case {
        unsigned count;
        KAFFINITY mask;
    };
    for (Case c : {Case{1, 0x1}, Case{4, 0xF}, Case{64, ~KAFFINITY{0}}}) {
        host::SetProcessorCount(c.count);
        KAFFINITY active = 0;
        EXPECT_EQ(KeQueryActiveProcessorCount(&active), c.count);
        EXPECT_EQ(active, c.mask);
        EXPECT_EQ(KeQueryActiveProcessors(), c.mask);
        EXPECT_EQ(static_cast<unsigned char>(KeNumberProcessors), c.count);
        // One group holds them all.
        EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), c.count);
        EXPECT_EQ(KeQueryActiveProcessorCountEx(0), c.count);
        EXPECT_EQ(KeQueryActiveProcessorCountEx(1), 0u);
    }
    EXPECT_THROW(host::SetProcessorCount(0), std::invalid_argument);
    EXPECT_THROW(host::SetProcessorCount(65), std::invalid_argument);
}

TEST_F(ProcessorsTest, TheResetRestoresTwoProcessors)
{
    host::SetProcessorCount(6);
    host::ResetPlatform();
    host::SetVerifierMode(host::VerifierMode::Record);
    EXPECT_EQ(host::ProcessorCount(), 2u);
    EXPECT_EQ(KeNumberProcessors, 2);
}

TEST_F(ProcessorsTest, AThreadRunsOnTheLowestProcessorOfItsAffinity)
{
    host::SetProcessorCount(4);
    EXPECT_EQ(KeGetCurrentProcessorNumber(), 0u);

    KeSetSystemAffinityThread(0xC);
    EXPECT_EQ(KeGetCurrentProcessorNumber(), 2u);
    PROCESSOR_NUMBER number = {7, 7, 7};
    EXPECT_EQ(KeGetCurrentProcessorNumberEx(&number), 2u);
    EXPECT_EQ(number.Group, 0);
    EXPECT_EQ(number.Number, 2);
    EXPECT_EQ(number.Reserved, 0);
    EXPECT_EQ(host::ThreadAffinity(), 0xCu);

    KeRevertToUserAffinityThread();
    EXPECT_EQ(KeGetCurrentProcessorNumber(), 0u);
    EXPECT_EQ(host::ThreadAffinity(), 0xFu);
}

TEST_F(ProcessorsTest, AffinityBelongsToTheCallingThreadOnly)
{
    KeSetSystemAffinityThread(0x1);
    KAFFINITY otherThreads = 0;
    std::thread other([&] { otherThreads = host::ThreadAffinity(); });
    other.join();

    EXPECT_EQ(host::ThreadAffinity(), 0x1u);
    EXPECT_EQ(otherThreads, 0x3u);
    KeRevertToUserAffinityThread();
}

TEST_F(ProcessorsTest, AnAffinityWithNoActiveProcessorIsCaught)
{
    KeSetSystemAffinityThread(0x4);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "INVALID_AFFINITY_SET");
    EXPECT_EQ(host::ThreadAffinity(), 0x3u) << "the thread keeps its affinity";
}

// A test that hides the processor-group routines stands in for a system before Windows 7: they
// are not found by name, and a direct call (an import the system could not resolve) is a stop.
TEST_F(ProcessorsTest, HiddenProcessorGroupRoutinesAreMissingByNameAndAStopWhenCalled)
{
    struct Case {
        const char* name;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"KeQueryActiveProcessorCountEx", [] { KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS); }},
        {"KeGetCurrentProcessorNumberEx", [] { KeGetCurrentProcessorNumberEx(nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::u16string wide(c.name, c.name + std::strlen(c.name));
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(wide.c_str()));
        EXPECT_NE(MmGetSystemRoutineAddress(&name), nullptr);
        c.call();
        EXPECT_TRUE(host::TakeViolations().empty());

        host::HideSystemRoutine(c.name);
        EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
        c.call();
        auto violations = host::TakeViolations();
        ASSERT_EQ(violations.size(), 1u);
        EXPECT_EQ(violations[0].rule, "IMPORT_NOT_EXPORTED");
        EXPECT_EQ(violations[0].routine, c.name);
        host::ClearHiddenSystemRoutines();
    }
}
