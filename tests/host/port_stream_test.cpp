// The stream side of the WavePci port as a miniport sees it: client buffers cut into page-bounded
// mappings in order, completion on the last release, STATUS_NOT_FOUND and MappingAvailable,
// revocation on the way to KSSTATE_STOP, the verifier's mapping rules, state stepping and the
// position.
#include "port_test_fixture.h"

namespace {

using PortStream = PortTest;

struct MappingCase {
    ULONG pageOffset;
    ULONG length;
    size_t mappings;
    ULONG firstBytes;
    ULONG lastBytes;
};

}  // namespace

TEST_F(PortStream, MappingsNeverCrossAPageBoundaryAndCoverTheBufferInOrder)
{
    const MappingCase cases[] = {
        {0, 10000, 3, 4096, 1808},    {1000, 5000, 2, 3096, 1904}, {4095, 4, 2, 1, 3},
        {6, 4090, 1, 4090, 4090},     {6, 4091, 2, 4090, 1},       {2048, 1, 1, 1, 1},
        {3001, 20000, 6, 1095, 2521},
    };
    OpenPin();
    for (const MappingCase& c : cases) {
        SCOPED_TRACE("offset " + std::to_string(c.pageOffset) + ", length " + std::to_string(c.length));
        PUCHAR buffer = Memory(8) + c.pageOffset;
        Queue(buffer, c.length);
        EXPECT_EQ(stream->AcquireAll(), c.mappings);
        ASSERT_EQ(stream->held.size(), c.mappings);
        EXPECT_EQ(stream->held.front().bytes, c.firstBytes);
        EXPECT_EQ(stream->held.back().bytes, c.lastBytes);
        PUCHAR expectedStart = buffer;
        for (size_t i = 0; i < stream->held.size(); ++i) {
            const fake::HeldMapping& m = stream->held[i];
            EXPECT_EQ(m.data, expectedStart) << "mapping " << i;
            EXPECT_LE(reinterpret_cast<uintptr_t>(m.data) % 4096 + m.bytes, 4096u) << "mapping " << i;
            EXPECT_EQ(m.flags != 0, i + 1 == stream->held.size()) << "mapping " << i;
            expectedStart += m.bytes;
        }
        EXPECT_EQ(expectedStart, buffer + c.length);
        stream->ReleaseAll();
    }
}

TEST_F(PortStream, ConsecutiveBuffersAreMappedOneAfterTheOther)
{
    OpenPin();
    PUCHAR first = Memory(1) + 100;
    PUCHAR second = Memory(1) + 200;
    Queue(first, 300);
    Queue(second, 400);

    ASSERT_EQ(stream->AcquireAll(), 2u);
    EXPECT_EQ(stream->held[0].data, first);
    EXPECT_EQ(stream->held[0].bytes, 300u);
    EXPECT_NE(stream->held[0].flags, 0u);
    EXPECT_EQ(stream->held[1].data, second);
    EXPECT_EQ(stream->held[1].bytes, 400u);
    EXPECT_NE(stream->held[1].flags, 0u);
}

TEST_F(PortStream, ABufferCompletesWhenItsLastMappingIsReleased)
{
    OpenPin();
    Queue(Memory(3), 10000);
    ASSERT_EQ(stream->AcquireAll(), 3u);

    stream->ReleaseOldest();
    stream->ReleaseOldest();
    EXPECT_TRUE(completed.empty());
    stream->ReleaseOldest();

    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].status, STATUS_SUCCESS);
    EXPECT_EQ(completed[0].bytes, 10000u);
    EXPECT_EQ(pin->QueuedBufferCount(), 0u);
}

TEST_F(PortStream, APartlyMappedBufferDoesNotCompleteWhenItsMappedPiecesAreReleased)
{
    OpenPin();
    Queue(Memory(3), 10000);
    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);
    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);
    stream->ReleaseAll();
    EXPECT_TRUE(completed.empty());

    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);
    stream->ReleaseAll();
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].bytes, 10000u);
}

TEST_F(PortStream, BuffersCompleteInTheOrderTheyWereQueued)
{
    OpenPin();
    Queue(Memory(1), 100);
    Queue(Memory(2), 5000);
    Queue(Memory(1), 1);
    stream->AcquireAll();
    stream->ReleaseAll();

    ASSERT_EQ(completed.size(), 3u);
    EXPECT_EQ(completed[0].number, 1u);
    EXPECT_EQ(completed[0].bytes, 100u);
    EXPECT_EQ(completed[1].number, 2u);
    EXPECT_EQ(completed[1].bytes, 5000u);
    EXPECT_EQ(completed[2].number, 3u);
    EXPECT_EQ(completed[2].bytes, 1u);
}

TEST_F(PortStream, GetMappingWithNothingQueuedIsNotFoundAndTheNextArrivalCallsMappingAvailableOnce)
{
    OpenPin();
    EXPECT_EQ(stream->Acquire(), STATUS_NOT_FOUND);
    EXPECT_TRUE(stream->mappingAvailableIrqls.empty());

    Queue(Memory(1), 100);
    Queue(Memory(1), 100);

    ASSERT_EQ(stream->mappingAvailableIrqls.size(), 1u);
    EXPECT_EQ(stream->mappingAvailableIrqls[0], DISPATCH_LEVEL);
    EXPECT_EQ(pin->MappingAvailableCalls(), 1u);
}

TEST_F(PortStream, NoMappingAvailableComesWithoutARefusedGetMapping)
{
    OpenPin();
    Queue(Memory(1), 100);
    Queue(Memory(1), 100);
    EXPECT_TRUE(stream->mappingAvailableIrqls.empty());

    stream->AcquireAll();  // ends with a refusal
    Queue(Memory(1), 100);
    EXPECT_EQ(stream->mappingAvailableIrqls.size(), 1u);
}

TEST_F(PortStream, EachRefusalEarnsOneMappingAvailable)
{
    OpenPin();
    stream->onMappingAvailable = [this] { stream->AcquireAll(); };
    EXPECT_EQ(stream->Acquire(), STATUS_NOT_FOUND);

    Queue(Memory(1), 100);
    Queue(Memory(1), 100);
    Queue(Memory(1), 100);

    EXPECT_EQ(stream->mappingAvailableIrqls.size(), 3u);
    EXPECT_EQ(stream->held.size(), 3u);
}

TEST_F(PortStream, ReleasingOutOfAcquisitionOrderIsAVerifierViolation)
{
    OpenPin();
    Queue(Memory(1), 100);
    Queue(Memory(1), 100);
    stream->AcquireAll();

    EXPECT_EQ(stream->portStream->ReleaseMapping(reinterpret_cast<PVOID>(1)), STATUS_SUCCESS);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "MAPPING_RELEASED_OUT_OF_ORDER");
    EXPECT_EQ(violations[0].routine, "IPortWavePciStream::ReleaseMapping");
}

TEST_F(PortStream, ReleasingATagNeverHandedOutIsAVerifierViolation)
{
    OpenPin();
    Queue(Memory(1), 100);
    stream->AcquireAll();

    EXPECT_EQ(stream->portStream->ReleaseMapping(reinterpret_cast<PVOID>(7)), STATUS_INVALID_PARAMETER);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "MAPPING_NOT_OUTSTANDING");
    EXPECT_TRUE(completed.empty());
}

TEST_F(PortStream, HoldingASpinLockAcrossGetMappingOrReleaseMappingIsAVerifierViolation)
{
    OpenPin();
    Queue(Memory(1), 100);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;

    KeAcquireSpinLock(&lock, &old);
    stream->Acquire();
    KeReleaseSpinLock(&lock, old);
    KeAcquireSpinLock(&lock, &old);
    stream->ReleaseOldest();
    KeReleaseSpinLock(&lock, old);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0].rule, "SPIN_LOCK_HELD_ACROSS_PORT_CALL");
    EXPECT_EQ(violations[0].routine, "IPortWavePciStream::GetMapping");
    EXPECT_EQ(violations[1].rule, "SPIN_LOCK_HELD_ACROSS_PORT_CALL");
    EXPECT_EQ(violations[1].routine, "IPortWavePciStream::ReleaseMapping");
}

TEST_F(PortStream, MappingCallsAtDispatchLevelWithoutALockAreFine)
{
    OpenPin();
    Queue(Memory(1), 100);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(stream->Acquire(), STATUS_SUCCESS);
    EXPECT_EQ(stream->ReleaseOldest(), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_EQ(completed.size(), 1u);
}

TEST_F(PortStream, StateChangesReachTheMiniportOneStepAtATime)
{
    OpenPin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(stream->states, (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));

    stream->states.clear();
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(stream->states, (std::vector<KSSTATE>{KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
    EXPECT_EQ(pin->State(), KSSTATE_STOP);

    stream->states.clear();
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_TRUE(stream->states.empty());
}

TEST_F(PortStream, ARefusedStepLeavesThePinInTheLastStateReached)
{
    OpenPin();
    stream->refuseState = KSSTATE_RUN;
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pin->State(), KSSTATE_PAUSE);
    EXPECT_EQ(stream->states, (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE}));
}

TEST_F(PortStream, AnUnknownStateIsRefusedBeforeTheMiniportSeesIt)
{
    OpenPin();
    EXPECT_EQ(pin->SetState(static_cast<KSSTATE>(4)), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(stream->states.empty());
}

TEST_F(PortStream, StopRevokesEachQueuedBuffersUnreleasedMappingsAndCancelsIt)
{
    OpenPin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Queue(Memory(3), 10000);  // tags 0, 1, 2
    Queue(Memory(1), 100);    // never mapped
    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);
    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);
    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);
    stream->ReleaseOldest();  // tag 0 is back: not revoked

    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    ASSERT_EQ(stream->revokes.size(), 1u);
    EXPECT_EQ(stream->revokes[0].firstTag, 1u);
    EXPECT_EQ(stream->revokes[0].lastTag, 2u);
    EXPECT_EQ(stream->revokes[0].countOnEntry, 0u);
    EXPECT_EQ(stream->revokes[0].revoked, 2u);
    EXPECT_EQ(stream->revokes[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(stream->states.back(), KSSTATE_STOP);  // revoked after the miniport stopped
    std::vector<host::Revocation> revocations = pin->Revocations();
    ASSERT_EQ(revocations.size(), 1u);
    EXPECT_EQ(revocations[0].unreleased, 2u);
    EXPECT_EQ(revocations[0].revoked, 2u);

    ASSERT_EQ(completed.size(), 2u);
    EXPECT_EQ(completed[0].status, STATUS_CANCELLED);
    EXPECT_EQ(completed[0].bytes, 0u);
    EXPECT_EQ(completed[1].status, STATUS_CANCELLED);
    EXPECT_EQ(completed[1].bytes, 0u);
    EXPECT_EQ(pin->QueuedBufferCount(), 0u);
    EXPECT_EQ(pin->UnreleasedMappingCount(), 0u);
}

TEST_F(PortStream, ARevokedMappingMustNotBeReleasedAfterwards)
{
    OpenPin();
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    Queue(Memory(1), 100);
    stream->Acquire();
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    EXPECT_EQ(stream->portStream->ReleaseMapping(reinterpret_cast<PVOID>(0)), STATUS_INVALID_PARAMETER);
    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "MAPPING_NOT_OUTSTANDING");
}

TEST_F(PortStream, ARevocationRangeIsInclusiveInAcquisitionOrder)
{
    struct RangeCase {
        ULONG firstTagUsed;
        ULONG bufferBytes;  // from a page boundary
        ULONG firstTag;
        ULONG lastTag;
        ULONG revoked;
    };
    const RangeCase cases[] = {
        {41, 100, 41, 41, 1},                  // one mapping: equal tags
        {0xFFFFFFFE, 16384, 0xFFFFFFFE, 1, 4},  // the tags wrap
    };
    OpenPin();
    for (const RangeCase& c : cases) {
        SCOPED_TRACE("first tag " + std::to_string(c.firstTagUsed));
        stream->revokes.clear();
        ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        stream->nextTag = c.firstTagUsed;
        Queue(Memory(4), c.bufferBytes);
        stream->AcquireAll();
        ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

        ASSERT_EQ(stream->revokes.size(), 1u);
        EXPECT_EQ(stream->revokes[0].firstTag, c.firstTag);
        EXPECT_EQ(stream->revokes[0].lastTag, c.lastTag);
        EXPECT_EQ(stream->revokes[0].revoked, c.revoked);
    }
}

TEST_F(PortStream, BuffersWithoutUnreleasedMappingsAreCancelledWithoutRevocation)
{
    OpenPin();
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    Queue(Memory(2), 5000);
    stream->Acquire();
    stream->ReleaseOldest();  // first page back, second never mapped
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    EXPECT_TRUE(stream->revokes.empty());
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].status, STATUS_CANCELLED);
}

TEST_F(PortStream, ARevocationThatCountsFewerMappingsThanAreOutstandingIsReportedAndTheRangeIsGone)
{
    OpenPin();
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    Queue(Memory(3), 10000);
    ASSERT_EQ(stream->AcquireAll(), 3u);  // tags 0, 1, 2
    // The miniport has taken tag 0 off its lists to release it when the revocation comes, and
    // leaves it out of the count.
    stream->held.pop_front();
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "REVOKE_MAPPINGS_MISCOUNTED");
    EXPECT_EQ(violations[0].routine, "IMiniportWavePciStream::RevokeMappings");
    EXPECT_NE(violations[0].message.find("reported 2 mapping(s) revoked in the range 0x0..0x2, but 3"),
              std::string::npos)
        << violations[0].message;
    EXPECT_NE(violations[0].message.find("at IRQL 2"), std::string::npos) << violations[0].message;
    EXPECT_EQ(pin->UnreleasedMappingCount(), 0u) << "the whole range is gone";
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].status, STATUS_CANCELLED);

    // The release that was on its way is now the release of a revoked mapping.
    EXPECT_EQ(stream->portStream->ReleaseMapping(reinterpret_cast<PVOID>(0)), STATUS_INVALID_PARAMETER);
    violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "MAPPING_NOT_OUTSTANDING");
    EXPECT_NE(violations[0].message.find("revoked by RevokeMappings"), std::string::npos) << violations[0].message;
    EXPECT_EQ(completed.size(), 1u) << "cancelled once, not completed again";
}

TEST_F(PortStream, ARevocationThatCountsMoreMappingsThanAreOutstandingIsReported)
{
    OpenPin();
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    Queue(Memory(2), 5000);
    ASSERT_EQ(stream->AcquireAll(), 2u);  // tags 0, 1
    stream->revokeCountError = 1;
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "REVOKE_MAPPINGS_MISCOUNTED");
    EXPECT_NE(violations[0].message.find("reported 3 mapping(s) revoked in the range 0x0..0x1, but 2"),
              std::string::npos)
        << violations[0].message;
}

TEST_F(PortStream, AMappingWhoseTagIsStillOutstandingIsReported)
{
    OpenPin();
    Queue(Memory(3), 10000);
    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);  // tag 0
    stream->nextTag = 0;

    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);  // tag 0 again

    std::vector<host::Violation> violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "MAPPING_TAG_DUPLICATE");
    EXPECT_EQ(violations[0].routine, "IPortWavePciStream::GetMapping");
    EXPECT_NE(violations[0].message.find("tag 0x0 already names"), std::string::npos) << violations[0].message;
    EXPECT_NE(violations[0].message.find("at IRQL 0"), std::string::npos) << violations[0].message;
    stream->ReleaseAll();  // both come back in order; the first release finds the older
    EXPECT_TRUE(host::TakeViolations().empty());
}

TEST_F(PortStream, ATagReusedAfterItsReleaseIsNoDuplicate)
{
    OpenPin();
    Queue(Memory(3), 10000);
    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);
    stream->ReleaseOldest();
    stream->nextTag = 0;

    ASSERT_EQ(stream->Acquire(), STATUS_SUCCESS);
    stream->ReleaseAll();
    stream->nextTag = 0;
    ASSERT_EQ(stream->AcquireAll(), 1u);
    stream->ReleaseAll();

    EXPECT_EQ(completed.size(), 1u);
}

TEST_F(PortStream, CancellingOneBufferRevokesOnlyItsMappings)
{
    OpenPin();
    PUCHAR first = Memory(1);
    Queue(first, 100);
    uint64_t second = Queue(Memory(2), 5000);
    Queue(Memory(1), 100);
    ASSERT_EQ(stream->AcquireAll(), 4u);  // tags 0 | 1, 2 | 3

    EXPECT_EQ(pin->CancelBuffer(second), STATUS_SUCCESS);

    ASSERT_EQ(stream->revokes.size(), 1u);
    EXPECT_EQ(stream->revokes[0].firstTag, 1u);
    EXPECT_EQ(stream->revokes[0].lastTag, 2u);
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].number, 2u);
    EXPECT_EQ(completed[0].status, STATUS_CANCELLED);

    stream->ReleaseAll();  // tags 0 and 3, in order
    ASSERT_EQ(completed.size(), 3u);
    EXPECT_EQ(completed[1].number, 1u);
    EXPECT_EQ(completed[2].number, 3u);
    EXPECT_EQ(pin->CancelBuffer(second), STATUS_NOT_FOUND);
}

TEST_F(PortStream, RenderPlayOffsetIsTheStreamPositionAndWriteOffsetTheEndOfTheMappedData)
{
    OpenPin();
    Queue(Memory(3), 10000);
    stream->Acquire();
    stream->Acquire();
    stream->position = 1000;

    KSAUDIO_POSITION position = Position();
    EXPECT_EQ(position.PlayOffset, 1000u);
    EXPECT_EQ(position.WriteOffset, 8192u);
}

TEST_F(PortStream, RenderWriteOffsetIsPlayPlusThePrefetchOffsetOnceTheMiniportSetsIt)
{
    OpenPin();
    IPreFetchOffset* preFetch = nullptr;
    ASSERT_EQ(stream->portStream->QueryInterface(IID_IPreFetchOffset, reinterpret_cast<PVOID*>(&preFetch)),
              STATUS_SUCCESS);
    preFetch->SetPreFetchOffset(128);
    preFetch->Release();
    Queue(Memory(3), 10000);
    stream->AcquireAll();
    stream->position = 1000;

    KSAUDIO_POSITION position = Position();
    EXPECT_EQ(position.PlayOffset, 1000u);
    EXPECT_EQ(position.WriteOffset, 1128u);
    ULONG recorded = 0;
    EXPECT_TRUE(pin->PreFetchOffsetSet(&recorded));
    EXPECT_EQ(recorded, 128u);
}

TEST_F(PortStream, CaptureWriteOffsetIsThePlayOffset)
{
    OpenPin(true);
    Queue(Memory(3), 10000);
    stream->AcquireAll();
    stream->position = 640;

    KSAUDIO_POSITION position = Position();
    EXPECT_EQ(position.PlayOffset, 640u);
    EXPECT_EQ(position.WriteOffset, 640u);
}

TEST_F(PortStream, StopStartsTheMappedByteCountAgain)
{
    OpenPin();
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    Queue(Memory(1), 3000);
    stream->AcquireAll();
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    Queue(Memory(1), 500);
    stream->AcquireAll();

    KSAUDIO_POSITION position = Position();
    EXPECT_EQ(position.PlayOffset, 0u);
    EXPECT_EQ(position.WriteOffset, 500u);
}

TEST_F(PortStream, ThePortStreamAnswersItsInterfacesAndNothingElse)
{
    OpenPin();
    const GUID* answered[] = {&IID_IUnknown, &IID_IPortWavePciStream, &IID_IPreFetchOffset, &IID_IServiceSink};
    for (const GUID* iid : answered) {
        PVOID object = nullptr;
        EXPECT_EQ(stream->portStream->QueryInterface(*iid, &object), STATUS_SUCCESS);
        ASSERT_NE(object, nullptr);
        static_cast<IUnknown*>(object)->Release();
    }
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(stream->portStream->QueryInterface(IID_IMiniportWavePciStream, &object), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object, nullptr);
}

TEST_F(PortStream, ClosingCancelsLeavesTheGroupStepsDownToStopAndReleasesTheStream)
{
    OpenPin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Queue(Memory(1), 100);
    stream->Acquire();
    stream->states.clear();

    pin->Close();

    EXPECT_EQ(stream->revokes.size(), 1u);
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].status, STATUS_CANCELLED);
    EXPECT_EQ(stream->states, (std::vector<KSSTATE>{KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
    EXPECT_EQ(stream->references.load(), 1);  // the test's own
    EXPECT_EQ(pin->QueueBuffer(Memory(1), 10, [](NTSTATUS, ULONG) {}), STATUS_INVALID_DEVICE_STATE);

    port->Notify(miniport->streamGroup);
    host::RunQueuedDpcs();
    EXPECT_EQ(stream->serviceCalls, 0);
}

TEST_F(PortStream, AZeroLengthBufferIsRefused)
{
    OpenPin();
    EXPECT_EQ(pin->QueueBuffer(Memory(1), 0, [](NTSTATUS, ULONG) {}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pin->QueuedBufferCount(), 0u);
}

// Every call from the port into the miniport is checked when it returns, as Driver Verifier
// checks a driver routine: the IRQL it was called at, no spin lock or mutex left taken.
TEST_F(PortStream, AMiniportCallThatReturnsChangedIsReported)
{
    static KSPIN_LOCK spinLock;
    static KMUTEX mutex;
    KeInitializeSpinLock(&spinLock);
    KeInitializeMutex(&mutex, 0);
    struct Case {
        const char* what;
        std::function<void()> misbehave;
        std::function<void()> mend;  // puts the thread back as it was, after the report
        const char* rule;
    };
    const Case cases[] = {
        // The port lowers what it raised for the call, which puts the IRQL back.
        {"raises", [] { KfRaiseIrql(HIGH_LEVEL); }, [] {}, "CALLBACK_RETURNED_AT_WRONG_IRQL"},
        {"keeps a spin lock", [&] { KeAcquireSpinLockAtDpcLevel(&spinLock); },
         [&] {
             KIRQL level = KfRaiseIrql(DISPATCH_LEVEL);
             KeReleaseSpinLockFromDpcLevel(&spinLock);
             KeLowerIrql(level);
         },
         "CALLBACK_RETURNED_HOLDING_SPIN_LOCK"},
        {"keeps a mutex", [&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); },
         [&] { KeReleaseMutex(&mutex, FALSE); }, "CALLBACK_RETURNED_HOLDING_MUTEX"},
    };
    OpenPin();
    for (const Case& c : cases) {
        // MappingAvailable comes at DISPATCH_LEVEL, where a mutex cannot be taken: the position
        // request at PASSIVE_LEVEL carries the mutex case.
        bool passive = std::string(c.rule) == "CALLBACK_RETURNED_HOLDING_MUTEX";
        if (passive) {
            stream->onPosition = c.misbehave;
            Position();
            stream->onPosition = nullptr;
        } else {
            stream->onMappingAvailable = c.misbehave;
            EXPECT_EQ(stream->Acquire(), STATUS_NOT_FOUND);
            Queue(Memory(1), 100);
            stream->onMappingAvailable = nullptr;
            stream->AcquireAll();
            stream->ReleaseAll();
        }
        std::vector<host::Violation> violations = host::TakeViolations();
        c.mend();
        ASSERT_FALSE(violations.empty()) << c.what;
        EXPECT_EQ(violations[0].rule, c.rule) << c.what;
        EXPECT_NE(violations[0].routine.find("IMiniportWavePciStream::"), std::string::npos) << c.what;
    }
    host::TakeViolations();
}
