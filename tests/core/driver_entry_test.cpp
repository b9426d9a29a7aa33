// DriverEntry, the timer-resolution service, unload order and every failure path of the entry.
#include <cstring>

#include "config/driver_params.h"
#include "config/registry_store.h"
#include "core/driver_state.h"
#include "support/platform_fixture.h"

namespace {

const std::string ParametersKey = host::DriverImage::DefaultServiceKey + "\\Parameters";

class DriverEntryTest : public PlatformTest {
protected:
    template <typename T>
    T* Global(const char* name)
    {
        auto* symbol = static_cast<T*>(image.Symbol(name));
        EXPECT_NE(symbol, nullptr) << name;
        return symbol;
    }

    // Unloads and checks the image left no pool allocation behind (taken as leaks otherwise).
    void UnloadExpectingNoLeaks()
    {
        image.Unload();
        for (const host::Violation& violation : host::TakeViolations()) {
            ADD_FAILURE() << violation.message;
        }
        EXPECT_EQ(host::LivePoolCount(), 0u);
    }

    host::DriverImage image{host::DefaultDriverImagePath()};
};

std::vector<int> terminationOrder;
void FirstTermination() { terminationOrder.push_back(1); }
void SecondTermination() { terminationOrder.push_back(2); }

}  // namespace

TEST_F(DriverEntryTest, SucceedsWithBothKeysAbsentKeepingEightCablesAndWritingNothing)
{
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);

    EXPECT_EQ(Global<DriverParams>("Params")->NumberOfCables, 8u);
    EXPECT_FALSE(host::RegistryKeyExists(SoftwareKeyPath));
    EXPECT_FALSE(host::RegistryKeyExists(ParametersKey));
    EXPECT_EQ(host::RegistryCallCounts()["ZwCreateKey"], 0);
    EXPECT_EQ(host::RegistryCallCounts()["ZwSetValueKey"], 0);
    EXPECT_STREQ(Global<DriverState>("Driver")->ParametersPath,
                 "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndrv\\Parameters");
    UnloadExpectingNoLeaks();
}

TEST_F(DriverEntryTest, InstallsHooksOverTheClassDispatcherAndRemembersAddDevice)
{
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = image.DriverObject();

    for (int major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_PNP, IRP_MJ_POWER}) {
        EXPECT_NE(driver->MajorFunction[major], host::ClassDispatchRoutine()) << "major function " << major;
    }
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], host::ClassDispatchRoutine());
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], driver->MajorFunction[IRP_MJ_CLEANUP]);
    EXPECT_NE(driver->DriverUnload, host::ClassUnloadRoutine());
    EXPECT_EQ(Global<DriverState>("Driver")->PreviousUnload, host::ClassUnloadRoutine());
    EXPECT_NE(host::RegisteredAddDevice(driver), nullptr);
    UnloadExpectingNoLeaks();
}

TEST_F(DriverEntryTest, TimerResolutionIsRequestedOnlyWhenItBecomesFiner)
{
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    auto request = reinterpret_cast<void (*)(ULONG)>(image.Symbol("_Z22RequestTimerResolutionj"));
    ASSERT_NE(request, nullptr);

    request(2500);
    request(5000);
    auto calls = host::TakeTimerResolutionCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].desiredTime, 25000u);
    EXPECT_EQ(calls[0].set, TRUE);

    request(1000);
    calls = host::TakeTimerResolutionCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].desiredTime, 10000u);
    EXPECT_EQ(Global<DriverState>("Driver")->TimerResolutionUs, 1000u);
    // The system counts both requests; unload takes each back.
    UnloadExpectingNoLeaks();
    calls = host::TakeTimerResolutionCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].set, FALSE);
    EXPECT_EQ(calls[1].set, FALSE);
}

// Two cables' first streams ask at once: the finer request (1000 us) is stored and made in full
// while the coarser one's system call (2500 us) is on its way. The call that takes effect last
// must still be the finer one.
TEST_F(DriverEntryTest, WhenTwoRequestsCrossTheFinerIsMadeLast)
{
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    auto request = reinterpret_cast<void (*)(ULONG)>(image.Symbol("_Z22RequestTimerResolutionj"));
    ASSERT_NE(request, nullptr);
    bool crossed = false;
    host::SetTimerResolutionHook([&](ULONG, BOOLEAN) {
        if (!crossed) {
            crossed = true;
            request(1000);
        }
    });

    request(2500);

    host::SetTimerResolutionHook(nullptr);
    ASSERT_TRUE(crossed);
    auto calls = host::TakeTimerResolutionCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().desiredTime, 10000u);
    EXPECT_EQ(calls.back().set, TRUE);
    for (const host::TimerResolutionCall& call : calls) {
        EXPECT_TRUE(call.desiredTime == 10000u || call.desiredTime == 25000u) << call.desiredTime;
    }
    EXPECT_EQ(Global<DriverState>("Driver")->TimerResolutionUs, 1000u);
    UnloadExpectingNoLeaks();
}

TEST_F(DriverEntryTest, UnloadRunsTheClassUnloadFirstAndDisablesTheInterfaceBeforeFreeingItsName)
{
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    DEVICE_OBJECT physicalDevice{};
    PDRIVER_ADD_DEVICE addDevice = host::RegisteredAddDevice(image.DriverObject());
    ASSERT_EQ(addDevice(image.DriverObject(), &physicalDevice), STATUS_SUCCESS);
    UNICODE_STRING link = Global<DriverState>("Driver")->InterfaceLinkName;
    ASSERT_NE(link.Buffer, nullptr);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    host::TakeEventLog();

    UnloadExpectingNoLeaks();

    std::vector<std::string> expected = {"class unload", "IoSetDeviceInterfaceState disable",
                                         "RtlFreeUnicodeString"};
    EXPECT_EQ(host::TakeEventLog(), expected);
}

TEST_F(DriverEntryTest, TerminationEntriesRunLastRegisteredFirst)
{
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    auto registerTermination =
        reinterpret_cast<NTSTATUS (*)(TerminationRoutine)>(image.Symbol("_Z19RegisterTerminationPFvvE"));
    ASSERT_NE(registerTermination, nullptr);
    terminationOrder.clear();
    ASSERT_EQ(registerTermination(FirstTermination), STATUS_SUCCESS);
    ASSERT_EQ(registerTermination(SecondTermination), STATUS_SUCCESS);

    UnloadExpectingNoLeaks();

    EXPECT_EQ(terminationOrder, (std::vector<int>{2, 1}));
}

TEST_F(DriverEntryTest, AddDeviceAsksForTwoSubdevicesPerCableAndRefusesASecondDevice)
{
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables", 256);
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    DEVICE_OBJECT physicalDevice{};
    PDRIVER_ADD_DEVICE addDevice = host::RegisteredAddDevice(image.DriverObject());
    host::TakeEventLog();

    ASSERT_EQ(addDevice(image.DriverObject(), &physicalDevice), STATUS_SUCCESS);
    EXPECT_EQ(host::TakeEventLog(), std::vector<std::string>{"PcAddAdapterDevice 512"});
    EXPECT_EQ(addDevice(image.DriverObject(), &physicalDevice), STATUS_DEVICE_ALREADY_ATTACHED);
    UnloadExpectingNoLeaks();
}

// The processor-group routines come from Windows 7: the entry looks them up by name and loads
// without them, leaving the one-group routines to serve.
TEST_F(DriverEntryTest, LooksUpTheProcessorGroupRoutinesByNameAndLoadsWithoutThem)
{
    for (bool present : {true, false}) {
        SCOPED_TRACE(present ? "Windows 7 or later" : "before Windows 7");
        host::ResetPlatform();
        host::SetVerifierMode(host::VerifierMode::Record);
        if (!present) {
            host::HideSystemRoutine("KeQueryActiveProcessorCountEx");
            host::HideSystemRoutine("KeGetCurrentProcessorNumberEx");
        }
        host::DriverImage loaded(host::DefaultDriverImagePath());

        ASSERT_EQ(loaded.Load(), STATUS_SUCCESS);

        auto* driver = static_cast<DriverState*>(loaded.Symbol("Driver"));
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(driver->KeQueryActiveProcessorCountExRoutine != nullptr, present);
        EXPECT_EQ(driver->KeGetCurrentProcessorNumberExRoutine != nullptr, present);
        loaded.Unload();
        EXPECT_TRUE(host::TakeViolations().empty());
    }
}

// Each failure of DriverEntry returns its status and leaves nothing behind: no pool, no unload
// routine, no class-driver registration.
struct EntryFailure {
    const char* name;
    std::function<void()> arrange;
    NTSTATUS expected;
};

TEST_F(DriverEntryTest, EveryFailurePathReturnsItsStatusAndLeavesNothingBehind)
{
    const std::vector<EntryFailure> failures = {
        {"no WDM level", [] { host::SetWdmVersionAvailable(0, 0); }, STATUS_UNSUCCESSFUL},
        {"termination list allocation", [] { host::FailNthAllocation(1); }, STATUS_UNSUCCESSFUL},
        {"PsGetCurrentProcessId missing", [] { host::HideSystemRoutine("PsGetCurrentProcessId"); },
         STATUS_UNSUCCESSFUL},
        {"parameter read denied",
         [] {
             host::RegistryCreateKey(SoftwareKeyPath);
             host::RegistryFailAccess(SoftwareKeyPath, STATUS_ACCESS_DENIED);
         },
         STATUS_ACCESS_DENIED},
        {"PcInitializeAdapterDriver fails",
         [] { host::SetPcInitializeAdapterDriverStatus(STATUS_INSUFFICIENT_RESOURCES); },
         STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const EntryFailure& failure : failures) {
        SCOPED_TRACE(failure.name);
        host::ResetPlatform();
        failure.arrange();
        host::DriverImage failing(host::DefaultDriverImagePath());

        EXPECT_EQ(failing.Load(), failure.expected);

        EXPECT_EQ(host::LivePoolCount(), 0u);
        EXPECT_EQ(failing.DriverObject()->DriverUnload, nullptr);
        EXPECT_EQ(host::RegisteredAddDevice(failing.DriverObject()), nullptr);
        failing.Unload();
        EXPECT_TRUE(host::TakeViolations().empty());
    }
}

TEST_F(DriverEntryTest, RefusesARegistryPathTooLongForItsLastCablesKeyPath)
{
    // The last cable's key path must fit the registry store's 255-character key paths: 234
    // characters of service path, 11 of "\Parameters" and 10 of "\Cable 256".
    std::string longest = "\\Registry\\Machine\\System\\" + std::string(234 - 25, 'k');
    ASSERT_EQ(longest.size(), 234u);
    ASSERT_EQ(image.Load(longest), STATUS_SUCCESS);
    EXPECT_EQ(std::strlen(Global<DriverState>("Driver")->ParametersPath), 245u);
    UnloadExpectingNoLeaks();

    // 1 and 10 more fit "\Parameters" alone but not with the cable's subkey.
    for (size_t extra : {1, 10, 11, 20, 400}) {
        SCOPED_TRACE(extra);
        host::DriverImage tooLong(host::DefaultDriverImagePath());
        EXPECT_EQ(tooLong.Load(longest + std::string(extra, 'k')), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(host::LivePoolCount(), 0u);
        tooLong.Unload();
    }
}

TEST_F(DriverEntryTest, ASecondEntryWithAnAdapterCleansUpAndReportsTheImageAlreadyLoaded)
{
    ASSERT_EQ(image.Load(), STATUS_SUCCESS);
    auto createAdapter = reinterpret_cast<Adapter* (*)()>(image.Symbol("_ZN7Adapter6CreateEv"));
    ASSERT_NE(createAdapter, nullptr);
    DriverState* driver = Global<DriverState>("Driver");
    driver->Adapter = createAdapter();
    ASSERT_NE(driver->Adapter, nullptr);
    auto request = reinterpret_cast<void (*)(ULONG)>(image.Symbol("_Z22RequestTimerResolutionj"));
    ASSERT_NE(request, nullptr);
    request(2500);
    host::TakeTimerResolutionCalls();
    UNICODE_STRING path{0, 0, nullptr};

    EXPECT_EQ(image.EnterAgain(&path), STATUS_IMAGE_ALREADY_LOADED);

    // Cleanup withdrew the timer resolution and released the adapter.
    auto calls = host::TakeTimerResolutionCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].desiredTime, 0u);
    EXPECT_EQ(calls[0].set, FALSE);
    EXPECT_EQ(driver->Adapter, nullptr);
    EXPECT_EQ(driver->TerminationList, nullptr);
    EXPECT_EQ(host::LivePoolCount(), 0u);
    // The unload routine still runs the class driver's unload and an idempotent cleanup.
    UnloadExpectingNoLeaks();
}
