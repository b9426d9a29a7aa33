// Service groups and the port's Notify: one DPC serves every member of a group; the pin's member
// leads to its stream's Service, the port's own member to the miniport's Service; a stream handed
// out without a group is polled instead.
#include "port_test_fixture.h"

namespace {

class CountingSink : public fake::Counted<IServiceSink> {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(void) RequestService() override
    {
        ++calls;
        irql = KeGetCurrentIrql();
    }
    int calls = 0;
    KIRQL irql = PASSIVE_LEVEL;
};

class ServiceGroupTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
        first = new CountingSink;
        second = new CountingSink;
    }
    void TearDown() override
    {
        if (group != nullptr) {
            group->Release();
        }
        host::RunQueuedDpcs();
        first->Release();
        second->Release();
        PortTest::TearDown();
    }

    PSERVICEGROUP group = nullptr;
    CountingSink* first = nullptr;
    CountingSink* second = nullptr;
};

constexpr ULONGLONG Milliseconds = 10000;  // 100-ns units

}  // namespace

TEST_F(ServiceGroupTest, NotifyQueuesOneDpcThatServesEveryMemberAtDispatchLevel)
{
    group->AddMember(first);
    group->AddMember(second);

    port->Notify(group);
    port->Notify(group);
    EXPECT_EQ(first->calls, 0);  // Notify only queues

    host::RunQueuedDpcs();
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(second->calls, 1);
    EXPECT_EQ(first->irql, DISPATCH_LEVEL);

    port->Notify(group);
    host::RunQueuedDpcs();
    EXPECT_EQ(first->calls, 2);
    EXPECT_EQ(port->NotifyCount(), 3u);
}

TEST_F(ServiceGroupTest, NotifyIsAllowedAtDispatchLevel)
{
    group->AddMember(first);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    port->Notify(group);
    KeLowerIrql(old);
    host::RunQueuedDpcs();
    EXPECT_EQ(first->calls, 1);
}

TEST_F(ServiceGroupTest, ARemovedMemberIsNotServedAndItsReferenceIsDropped)
{
    group->AddMember(first);
    group->AddMember(second);
    EXPECT_EQ(second->references.load(), 2);
    group->RemoveMember(second);
    EXPECT_EQ(second->references.load(), 1);

    port->Notify(group);
    host::RunQueuedDpcs();
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(second->calls, 0);
}

TEST_F(ServiceGroupTest, AGroupReleasedWithItsDpcQueuedServesItsMembersAndThenGoes)
{
    group->AddMember(first);
    port->Notify(group);
    group->Release();
    group = nullptr;
    EXPECT_EQ(first->references.load(), 2);  // the group is still there

    host::RunQueuedDpcs();
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(first->references.load(), 1);  // and now it is gone
}

TEST_F(ServiceGroupTest, DelayedServiceComesWhenItsTimeHasPassed)
{
    group->AddMember(first);
    group->SupportDelayedService();
    group->RequestDelayedService(static_cast<ULONGLONG>(-static_cast<LONGLONG>(10 * Milliseconds)));

    host::AdvanceTime(5 * Milliseconds);
    EXPECT_EQ(first->calls, 0);
    host::AdvanceTime(6 * Milliseconds);
    EXPECT_EQ(first->calls, 1);
}

TEST_F(ServiceGroupTest, CancelledDelayedServiceNeverComes)
{
    group->AddMember(first);
    group->SupportDelayedService();
    group->RequestDelayedService(static_cast<ULONGLONG>(-static_cast<LONGLONG>(10 * Milliseconds)));
    group->CancelDelayedService();

    host::AdvanceTime(20 * Milliseconds);
    EXPECT_EQ(first->calls, 0);
}

TEST_F(ServiceGroupTest, DelayedServiceWithoutSupportIsAVerifierViolation)
{
    group->RequestDelayedService(static_cast<ULONGLONG>(-static_cast<LONGLONG>(10 * Milliseconds)));
    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "DELAYED_SERVICE_NOT_SUPPORTED");
}

TEST_F(ServiceGroupTest, ThePinsMemberLeadsToItsStreamsService)
{
    OpenPin();
    Queue(Memory(1), 100);
    stream->AcquireAll();

    port->Notify(miniport->streamGroup);
    host::RunQueuedDpcs();

    EXPECT_EQ(stream->serviceCalls, 1);
    EXPECT_EQ(pin->ServiceCalls(), 1u);
    EXPECT_EQ(miniport->serviceCalls, 0);  // the port is no member of this group
    EXPECT_TRUE(completed.empty());        // Notify completes nothing itself
}

TEST_F(ServiceGroupTest, ThePortsMemberLeadsToTheMiniportsService)
{
    host::PortWavePci* initialised = host::PortWavePci::Create();
    initialised->AllowMissingDescription(true);  // this fake has no descriptor
    auto* other = new fake::Miniport;
    other->giveGroupToPort = true;
    ASSERT_EQ(initialised->Init(nullptr, nullptr, other, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(initialised->Miniport(), other);
    EXPECT_EQ(other->port, initialised);

    initialised->Notify(other->streamGroup);
    host::RunQueuedDpcs();
    EXPECT_EQ(other->serviceCalls, 1);

    initialised->ReleaseChildren();
    EXPECT_EQ(other->references.load(), 1);
    initialised->Release();
    other->Release();
}

TEST_F(ServiceGroupTest, WithoutAServiceGroupThePinPollsItsStream)
{
    miniport->handOutGroup = false;
    OpenPin();
    EXPECT_EQ(pin->StreamServiceGroup(), nullptr);

    host::AdvanceTime(45 * Milliseconds);
    EXPECT_EQ(stream->serviceCalls, 4);

    pin->Close();
    host::AdvanceTime(50 * Milliseconds);
    EXPECT_EQ(stream->serviceCalls, 4);
    EXPECT_EQ(host::QueuedTimerCount(), 0u);
}
