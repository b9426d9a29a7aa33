// The cable's processing cycle and clock on the virtual clock: exact byte counts whatever the DPC
// timing, catching up in chunks, clock correction and its re-basing, engine acquisition.
#include <cmath>
#include <thread>

#include <map>
#include <random>
#include <set>

#include "config/driver_params.h"
#include "core/driver_state.h"
#include "engine/mix_areas.h"
#include "support/cable_fixture.h"

namespace {

constexpr ULONGLONG Millisecond = 10000;  // 100-ns units
constexpr ULONGLONG Second = 1000 * Millisecond;
constexpr ULONGLONG Minute = 60 * Second;
constexpr ULONGLONG Day = 24 * 60 * Minute;

// Cable formats with a clock correction, and the corrected rate worked out by hand: the sample
// rate times correction / 65536, rounded to whole frames a second.
struct ClockRow {
    ULONG rate;
    ULONG bits;
    ULONG channels;
    ULONG correction;
    ULONGLONG framesPerSecond;
    ULONG blockAlign;
};
const ClockRow ClockRows[] = {
    {44100, 16, 2, 0x10000, 44100, 4},
    {48000, 16, 2, 65601, 48048, 4},     // 48047.61
    {44100, 24, 2, 58655, 39470, 6},     // 39469.69
    {192000, 32, 8, 72416, 212156, 32},  // 212156.25: the fastest cable clock
    {8000, 8, 1, 72416, 8840, 1},        // 8839.84
};

// The bytes of whole frames due `elapsed` after the origin, the frames rounded half up: exact
// rational arithmetic in 128 bits, floor((2 × frames a second × elapsed + 1 s) / 2 s).
ULONGLONG ModelBytes(const ClockRow& row, ULONGLONG elapsed)
{
    unsigned __int128 twice = static_cast<unsigned __int128>(row.framesPerSecond) * elapsed * 2 + Second;
    return static_cast<ULONGLONG>(twice / (2 * Second)) * row.blockAlign;
}

class ProcessingCycleTest : public CableTest {
protected:
    void SetUp() override
    {
        CableTest::SetUp();
        AddCables(1);
        miniport = Miniport(0);
    }

    // Starts the engine in the row's format and correction.
    void StartRow(const ClockRow& row)
    {
        ASSERT_EQ(miniport->ApplyClockCorrection(row.correction), STATUS_SUCCESS);
        StartEngine(0, PcmFormat(row.rate, row.bits, row.channels));
    }
    // The engine acquired in the row's format with its timer stopped: the clock is read, not run.
    void HoldRow(const ClockRow& row)
    {
        StartRow(row);
        miniport->StopTimer();
    }
    void ReleaseHeldRow()
    {
        miniport->LockStateIdle();
        miniport->ReleaseEngine();
        miniport->UnlockStateIdle();
    }

    // Runs one pass as the DPC would, at DISPATCH_LEVEL.
    void PassNow()
    {
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        miniport->ProcessTick();
        KeLowerIrql(old);
    }

    WaveMiniport* miniport = nullptr;
};

}  // namespace

TEST_F(ProcessingCycleTest, TenSecondsAt48kHzProcessExactly1920000BytesWhateverTheJitter)
{
    for (ULONGLONG jitter : std::vector<ULONGLONG>{0, 3 * Millisecond, 17 * Millisecond}) {
        SCOPED_TRACE(jitter);
        host::SetDpcJitter(jitter, 1234);
        StartEngine(0, PcmFormat(48000, 16, 2));
        ULONGLONG start = KeQueryInterruptTime();
        host::AdvanceTime(10 * Second - (KeQueryInterruptTime() - start));
        ASSERT_EQ(KeQueryInterruptTime() - start, 10 * Second);
        // A late DPC may not have run yet at exactly 10 s; the pass it would make is due now.
        PassNow();
        EXPECT_EQ(miniport->ProcessedBytes, 1920000u);
        StopEngine(0);
        host::AdvanceTime(100 * Millisecond);
    }
}

TEST_F(ProcessingCycleTest, EachPassProcessesWhatTheClockMadeDue)
{
    StartEngine(0, PcmFormat(48000, 16, 2));
    ULONGLONG start = miniport->StartTime;
    std::vector<std::pair<ULONGLONG, ULONGLONG>> passes;
    port.onNotify = [&](PSERVICEGROUP) { passes.emplace_back(KeQueryInterruptTime() - start, miniport->ProcessedBytes); };

    host::AdvanceTime(50 * Millisecond);

    ASSERT_EQ(passes.size(), 10u) << "one pass every 5 ms";
    for (size_t pass = 0; pass < passes.size(); ++pass) {
        EXPECT_EQ(passes[pass].first, (pass + 1) * 5 * Millisecond);
        EXPECT_EQ(passes[pass].second, (pass + 1) * 960) << "240 frames of 4 bytes a pass";
    }
    StopEngine(0);
}

// A late DPC catches up in chunks of at most 20 ms on everything due, up to its 5-ms period and
// 100 ms more; past that it processes that much and re-bases the clock at now.
TEST_F(ProcessingCycleTest, ALateDpcCatchesUpInChunksOfAtMost20msOnUpTo105ms)
{
    struct Case {
        ULONGLONG delay;
        ULONGLONG bytes;  // processed since the origin, 192 a millisecond; 0 when re-based
        ULONGLONG chunks;
        bool reBased;
    };
    const Case cases[] = {
        {30 * Millisecond, 6720, 2, false},                // 35 ms: 20 + 15
        {100 * Millisecond, 20160, 6, false},              // 105 ms: 20+20+20+20+20+5
        {100 * Millisecond + Millisecond / 2, 0, 6, true}, // 105.5 ms: 105 processed, the rest dropped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delay);
        StartEngine(0, PcmFormat(48000, 16, 2));
        host::AdvanceTime(20 * Millisecond);
        const ULONGLONG chunksBefore = miniport->ChunksProcessed;
        const ULONGLONG bytesBefore = miniport->ProcessedBytes;
        const ULONGLONG originBefore = miniport->StartTime;
        ASSERT_EQ(bytesBefore, 20u * 192);

        // The next timer expiry is at 25 ms; its DPC runs `delay` later.
        host::SetDpcDelay(c.delay);
        host::AdvanceTime(5 * Millisecond + c.delay);
        host::SetDpcDelay(0);

        EXPECT_EQ(miniport->ChunksProcessed - chunksBefore, c.chunks);
        if (c.reBased) {
            EXPECT_EQ(miniport->StartTime, KeQueryInterruptTime());
        } else {
            EXPECT_EQ(miniport->StartTime, originBefore);
        }
        EXPECT_EQ(miniport->ProcessedBytes - (c.reBased ? 0 : bytesBefore), c.bytes);
        EXPECT_EQ(miniport->ChunkSize, 3840u);
        StopEngine(0);
        host::AdvanceTime(200 * Millisecond);
    }
}

// A clock that has run for 200 days, where the fastest cable clock's rate × elapsed time passes
// 2^64, keeps every jittered pass on the exactly rounded line, in every format.
TEST_F(ProcessingCycleTest, AfterTwoHundredDaysEveryJitteredPassMatchesAnExactModel)
{
    host::AdvanceTime(200 * Day);  // the virtual clock at 200 days of uptime, the engine idle
    for (const ClockRow& row : ClockRows) {
        SCOPED_TRACE(row.rate);
        StartRow(row);
        // As if the clock had started 200 days ago and had made every pass since.
        miniport->LockStateIdle();
        const ULONGLONG origin = KeQueryInterruptTime() - 200 * Day;
        miniport->StartTime = origin;
        miniport->ProcessedBytes = ModelBytes(row, 200 * Day);
        miniport->UnlockStateIdle();
        host::SetDpcJitter(30 * Millisecond, row.rate);
        size_t passes = 0;
        size_t mismatches = 0;
        port.onNotify = [&](PSERVICEGROUP) {
            ++passes;
            ULONGLONG elapsed = KeQueryInterruptTime() - origin;
            if (miniport->StartTime != origin || miniport->ProcessedBytes != ModelBytes(row, elapsed)) {
                if (++mismatches <= 3) {
                    ADD_FAILURE() << "at " << elapsed << ": " << miniport->ProcessedBytes << " bytes, model "
                                  << ModelBytes(row, elapsed);
                }
            }
        };

        host::AdvanceTime(10 * Second);

        port.onNotify = nullptr;
        host::SetDpcJitter(0, 0);
        EXPECT_GT(passes, 250u);
        EXPECT_EQ(mismatches, 0u);
        StopEngine(0);
    }
}

// After ten minutes in which no DPC ran, one pass processes its period and 100 ms, drops the rest
// and re-bases the clock at now; the passes after it are ordinary ones.
TEST_F(ProcessingCycleTest, AfterATenMinuteStallOnePassDoesBoundedWorkAndTheClockResumesOnSchedule)
{
    StartRow(ClockRows[3]);  // 192 kHz, 8 channels of 32 bits, the highest correction
    host::AdvanceTime(20 * Millisecond);
    ASSERT_EQ(miniport->ProcessedBytes, 135776u) << "4243 frames in 20 ms";
    struct Pass {
        ULONGLONG time;
        ULONGLONG chunks;
        ULONGLONG processed;
        ULONGLONG origin;
    };
    std::vector<Pass> passes;
    port.onNotify = [&](PSERVICEGROUP) {
        passes.push_back({KeQueryInterruptTime(), miniport->ChunksProcessed, miniport->ProcessedBytes,
                          miniport->StartTime});
    };
    const ULONGLONG stalled = KeQueryInterruptTime();
    const ULONGLONG chunksBefore = miniport->ChunksProcessed;

    host::StallProcessor(0, 10 * Minute);
    host::AdvanceTime(10 * Minute + 20 * Millisecond);

    ASSERT_EQ(passes.size(), 5u);
    const ULONGLONG resumed = stalled + 10 * Minute;
    EXPECT_EQ(passes[0].time, resumed);
    // 5 + 100 ms at 192 kHz: 20160 frames, 645120 bytes, five chunks of 122880 bytes and a part.
    EXPECT_EQ(passes[0].chunks - chunksBefore, 6u);
    EXPECT_EQ(passes[0].origin, resumed);
    EXPECT_EQ(passes[0].processed, 0u);
    const ULONGLONG onSchedule[] = {33952, 67904, 101824, 135776};  // 1061, 2122, 3182, 4243 frames
    for (size_t pass = 1; pass < passes.size(); ++pass) {
        EXPECT_EQ(passes[pass].time, resumed + pass * 5 * Millisecond);
        EXPECT_EQ(passes[pass].origin, resumed);
        EXPECT_EQ(passes[pass].processed, onSchedule[pass - 1]);
        EXPECT_EQ(passes[pass].chunks - passes[pass - 1].chunks, 1u);
    }
    StopEngine(0);
}

// 89.500 % (58655) to 110.498 % (72416), and nothing else of the 32-bit range: a refused value
// leaves the correction and the clock origin alone.
TEST_F(ProcessingCycleTest, ClockCorrectionsFrom58655To72416AreAcceptedAndNothingElse)
{
    struct Case {
        ULONG correction;
        NTSTATUS expected;
    };
    for (Case c : {Case{0, STATUS_INVALID_PARAMETER}, Case{58654, STATUS_INVALID_PARAMETER},
                   Case{58655, STATUS_SUCCESS}, Case{0x10000, STATUS_SUCCESS}, Case{72416, STATUS_SUCCESS},
                   Case{72417, STATUS_INVALID_PARAMETER}, Case{2814808422u, STATUS_INVALID_PARAMETER},
                   Case{2814822184u, STATUS_INVALID_PARAMETER}, Case{0xFFFFFFFFu, STATUS_INVALID_PARAMETER}}) {
        EXPECT_EQ(miniport->ApplyClockCorrection(c.correction), c.expected) << c.correction;
    }
    EXPECT_EQ(miniport->ClockCorrection, 72416u);

    // Every value around both ends, every value of the band whose thousandths of a percent come
    // out near 2^32 + 100000 (where a 32-bit intermediate wraps back into 90..110 %), and many
    // random ones.
    std::vector<ULONG> values;
    for (ULONG v = 58655 - 2000; v <= 72416 + 2000; ++v) {
        values.push_back(v);
    }
    for (ULONG v = 2814749767u; v <= 2814749767u + 100000; ++v) {
        values.push_back(v);
    }
    std::mt19937 random(11);
    for (int i = 0; i < 300000; ++i) {
        values.push_back(static_cast<ULONG>(random()));
    }
    size_t wrong = 0;
    for (ULONG v : values) {
        miniport->StartTime = 1;  // a stand-in origin: only an accepted change may move it
        NTSTATUS status = miniport->ApplyClockCorrection(v);
        bool inRange = v >= 58655 && v <= 72416;
        bool accepted = status == STATUS_SUCCESS;
        bool originKept = miniport->StartTime == 1 || (accepted && inRange);
        if (accepted != inRange || (!accepted && status != STATUS_INVALID_PARAMETER) || !originKept ||
            miniport->ClockCorrection < 58655 || miniport->ClockCorrection > 72416) {
            if (++wrong <= 5) {
                ADD_FAILURE() << v << ": status 0x" << std::hex << status << ", correction now " << std::dec
                              << miniport->ClockCorrection;
            }
        }
    }
    EXPECT_EQ(wrong, 0u) << "of " << values.size() << " values";
}

TEST_F(ProcessingCycleTest, TheSameCorrectionTwiceReBasesOnce)
{
    StartEngine(0, PcmFormat(44100, 16, 2));
    host::AdvanceTime(7 * Millisecond);
    ASSERT_EQ(miniport->ApplyClockCorrection(65601), STATUS_SUCCESS);
    ULONGLONG origin = miniport->StartTime;
    EXPECT_EQ(origin, KeQueryInterruptTime());
    host::AdvanceTime(3 * Millisecond);
    ASSERT_EQ(miniport->ApplyClockCorrection(65601), STATUS_SUCCESS);
    EXPECT_EQ(miniport->StartTime, origin);
    StopEngine(0);
}

TEST_F(ProcessingCycleTest, ACorrectionChangeWhileRunningCausesNoJumpInBytesDue)
{
    StartEngine(0, PcmFormat(44100, 16, 2));
    host::AdvanceTime(1 * Second);
    ULONGLONG before = miniport->ProcessedBytes;
    EXPECT_EQ(before, 176400u);

    ASSERT_EQ(miniport->ApplyClockCorrection(70000), STATUS_SUCCESS);
    EXPECT_EQ(miniport->CableBytesDue(), 0u) << "re-based at now";
    host::AdvanceTime(10 * Millisecond);

    // 47104 frames a second (44100 × 70000 / 65536 = 47103.88): 471.04 frames in 10 ms.
    EXPECT_EQ(miniport->ProcessedBytes, 471u * 4);
    StopEngine(0);
}

TEST_F(ProcessingCycleTest, CableBytesDueFollowsTheInterruptTime)
{
    struct Case {
        const ClockRow& row;
        ULONGLONG elapsed;
        ULONGLONG bytes;
    };
    const Case cases[] = {
        {ClockRows[0], 10000000, 176400},
        {ClockRows[0], 3333333, 58800},
        {ClockRows[0], 100000, 1764},  // 441 frames in 10 ms
        {ClockRows[1], 10000000, 192192},
        {ClockRows[2], 10000000, 236820},
        {ClockRows[3], 10000000, 6788992},
        {ClockRows[3], 200 * Day, 117313781760000},                    // 212156 × 17280000 frames
        {ClockRows[3], 200 * Day + 5 * Millisecond, 117313781793952},  // and 1060.78 frames more
        {ClockRows[4], 10000000, 8840},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.row.rate << " Hz after " << c.elapsed);
        HoldRow(c.row);
        miniport->StartTime = KeQueryInterruptTime() - c.elapsed;
        EXPECT_EQ(miniport->CableBytesDue(), c.bytes);
        ReleaseHeldRow();
    }
}

// For any elapsed time that 64 bits of interrupt time hold, spread over every magnitude.
TEST_F(ProcessingCycleTest, CableBytesDueMatchesAnExactModelForAnyElapsedTime)
{
    std::mt19937_64 random(7);
    for (const ClockRow& row : ClockRows) {
        SCOPED_TRACE(row.rate);
        HoldRow(row);
        size_t mismatches = 0;
        for (int i = 0; i < 20000; ++i) {
            ULONGLONG elapsed = random() >> (random() % 64);
            miniport->StartTime = KeQueryInterruptTime() - elapsed;
            if (miniport->CableBytesDue() != ModelBytes(row, elapsed) && ++mismatches <= 3) {
                ADD_FAILURE() << "after " << elapsed << ": " << miniport->CableBytesDue() << ", model "
                              << ModelBytes(row, elapsed);
            }
        }
        EXPECT_EQ(mismatches, 0u);
        ReleaseHeldRow();
    }
}

TEST_F(ProcessingCycleTest, TheFirstStreamsFormatIsClampedIntoTheCableLimits)
{
    miniport->MaxSampleRate = 48000;
    miniport->MinBitsPerSample = 16;
    miniport->MaxBitsPerSample = 16;
    miniport->MaxChannels = 2;
    StartEngine(0, PcmFormat(96000, 8, 4));

    const WAVEFORMATEXTENSIBLE& cable = miniport->CableFormat;
    EXPECT_EQ(cable.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(cable.Format.wBitsPerSample, 16);
    EXPECT_EQ(cable.Samples.wValidBitsPerSample, 16);
    EXPECT_EQ(cable.Format.nChannels, 2);
    EXPECT_EQ(cable.Format.nBlockAlign, 4);
    EXPECT_EQ(cable.Format.nAvgBytesPerSec, 192000u);
    EXPECT_EQ(cable.dwChannelMask, 0x3u);

    // A second user keeps the cable format.
    WAVEFORMATEXTENSIBLE second = PcmFormat(8000, 8, 1);
    miniport->LockStateIdle();
    EXPECT_EQ(miniport->AcquireEngine(&second), STATUS_SUCCESS);
    miniport->ReleaseEngine();
    miniport->UnlockStateIdle();
    EXPECT_EQ(miniport->CableFormat.Format.nSamplesPerSec, 48000u);
    StopEngine(0);
    EXPECT_EQ(miniport->CableFormat.Format.wFormatTag, 0);
    EXPECT_EQ(miniport->MixBuffer, nullptr);
}

TEST_F(ProcessingCycleTest, AFailedMixBufferAllocationLeavesTheEngineIdle)
{
    WAVEFORMATEXTENSIBLE format = PcmFormat(48000, 16, 2);
    host::FailNthAllocation(1);
    miniport->LockStateIdle();
    EXPECT_EQ(miniport->AcquireEngine(&format), STATUS_INSUFFICIENT_RESOURCES);
    miniport->UnlockStateIdle();
    EXPECT_EQ(miniport->EngineUsers, 0u);
    EXPECT_EQ(miniport->ChunkSize, 0u);
    EXPECT_EQ(miniport->MixBuffer, nullptr);
    EXPECT_EQ(miniport->CableFormat.Format.wFormatTag, 0);
}

TEST_F(ProcessingCycleTest, TheLastStopCancelsTheTimerAndAQueuedDpcFindsNoUsers)
{
    StartEngine(0, PcmFormat(48000, 16, 2));
    host::AdvanceTime(5 * Millisecond);
    int passes = port.notifications;
    StopEngine(0);
    host::AdvanceTime(100 * Millisecond);
    EXPECT_EQ(port.notifications, passes) << "no more passes after the last stop";
}

TEST_F(ProcessingCycleTest, ADpcThatFiresDuringAPassAddsExactlyOnePass)
{
    // Untargeted timer DPCs go to the processors in turn, so the next one lands on processor 1
    // while processor 0 is still inside its pass.
    host::SetTimerDpcPlacement(host::TimerDpcPlacement::RoundRobin);
    StartEngine(0, PcmFormat(48000, 16, 2));
    std::vector<ULONG> passProcessors;
    bool nested = false;
    port.onNotify = [&](PSERVICEGROUP) {
        passProcessors.push_back(KeGetCurrentProcessorNumber());
        if (!nested) {
            nested = true;
            host::AdvanceTime(5 * Millisecond);  // the other processor's DPC fires mid-pass
            EXPECT_EQ(passProcessors.size(), 1u) << "the second DPC must not process the cable itself";
        }
    };

    host::AdvanceTime(5 * Millisecond);

    ASSERT_EQ(passProcessors.size(), 2u) << "one pass for each DPC, both made by the processor inside";
    EXPECT_EQ(passProcessors[0], passProcessors[1]);
    EXPECT_EQ(miniport->ProcessedBytes, 10u * 192) << "the extra pass covers the time up to now";
    StopEngine(0);
}

TEST_F(ProcessingCycleTest, NoCableIsEverProcessedOnTwoProcessorsAtOnceOnRealThreads)
{
    host::SetTimerDpcPlacement(host::TimerDpcPlacement::RoundRobin);
    miniport->MsPerInterrupt = 1;
    StartEngine(0, PcmFormat(48000, 16, 2));
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> passes{0};
    std::atomic<int> processorsSeen{0};
    port.onNotify = [&](PSERVICEGROUP) {
        if (inside.fetch_add(1) != 0) {
            overlaps.fetch_add(1);
        }
        processorsSeen.fetch_or(1 << KeGetCurrentProcessorNumber());
        for (int spin = 0; spin < 20000; ++spin) {
            std::atomic_signal_fence(std::memory_order_seq_cst);  // widen the window for an overlap
        }
        passes.fetch_add(1);
        inside.fetch_sub(1);
    };

    host::StartRealTime();
    bool enough = host::WaitUntil([&] { return passes.load() >= 300 && processorsSeen.load() == 3; },
                                  std::chrono::milliseconds(20000));
    miniport->StopTimer();
    host::StopRealTime();
    port.onNotify = nullptr;

    EXPECT_TRUE(enough) << passes.load() << " passes on processors mask " << processorsSeen.load();
    EXPECT_EQ(overlaps.load(), 0);
    miniport->LockStateIdle();
    miniport->ReleaseEngine();
    miniport->UnlockStateIdle();
}

namespace {

class SplitDpcTest : public CableTest {
protected:
    void TearDown() override
    {
        Params.SplitDpcAmongCpus = FALSE;
        CableTest::TearDown();
    }
};

}  // namespace

TEST_F(SplitDpcTest, CablesAlternateBetweenTwoProcessorsByIndex)
{
    ASSERT_EQ(host::ProcessorCount(), 2u);
    Params.SplitDpcAmongCpus = TRUE;
    AddCables(6);
    std::map<ULONG, std::set<ULONG>> processorsOfCable;
    port.onNotify = [&](PSERVICEGROUP group) {
        processorsOfCable[CableOfGroup(group)].insert(KeGetCurrentProcessorNumber());
    };
    for (ULONG index = 0; index < 6; ++index) {
        StartEngine(index, PcmFormat(48000, 16, 2));
    }

    host::AdvanceTime(50 * Millisecond);

    for (ULONG index = 0; index < 6; ++index) {
        EXPECT_EQ(processorsOfCable[index], std::set<ULONG>{index % 2}) << "cable " << index + 1;
        StopEngine(index);
    }
}

// A pass mixes a chunk that fits into the mix area of the processor it runs on, so two passes on
// two processors never share one; a larger chunk has none and goes to the cable's own buffer. The
// same holds on a system without the processor-group routines, which the driver then never calls.
TEST_F(ProcessingCycleTest, EachProcessorHasAMixAreaOfItsOwnForChunksThatFit)
{
    struct Seen {
        PUCHAR small = nullptr;
        PUCHAR whole = nullptr;
        PUCHAR tooLarge = reinterpret_cast<PUCHAR>(1);
    };
    struct Probe {
        const ProcessorMixAreas* areas;
        Seen seen[2];
    } probe{&adapter->MixAreas, {}};
    auto look = [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* p = static_cast<Probe*>(context);
        Seen& seen = p->seen[KeGetCurrentProcessorNumber()];
        seen.small = p->areas->AreaFor(960);
        seen.whole = p->areas->AreaFor(MixAreaBytes);
        seen.tooLarge = p->areas->AreaFor(MixAreaBytes + 1);
    };
    KDPC dpcs[2];
    auto runOnBothProcessors = [&] {
        probe.seen[0] = probe.seen[1] = Seen{};
        for (int processor = 0; processor < 2; ++processor) {
            KeInitializeDpc(&dpcs[processor], look, &probe);
            KeSetTargetProcessorDpc(&dpcs[processor], static_cast<CCHAR>(processor));
            KeInsertQueueDpc(&dpcs[processor], nullptr, nullptr);
        }
        host::RunQueuedDpcs();
    };

    for (bool groupRoutines : {true, false}) {
        SCOPED_TRACE(groupRoutines ? "with the processor-group routines" : "before Windows 7");
        if (!groupRoutines) {
            host::HideSystemRoutine("KeQueryActiveProcessorCountEx");
            host::HideSystemRoutine("KeGetCurrentProcessorNumberEx");
        }
        LookUpProcessorRoutines();
        EXPECT_EQ(Driver.KeQueryActiveProcessorCountExRoutine != nullptr, groupRoutines);
        EXPECT_EQ(Driver.KeGetCurrentProcessorNumberExRoutine != nullptr, groupRoutines);
        ASSERT_TRUE(adapter->MixAreas.Allocate());

        runOnBothProcessors();
        for (const Seen& seen : probe.seen) {
            ASSERT_NE(seen.small, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(seen.small) % 64, 0u);
            EXPECT_EQ(seen.whole, seen.small);
            EXPECT_EQ(seen.tooLarge, nullptr);
        }
        PUCHAR low = std::min(probe.seen[0].small, probe.seen[1].small);
        PUCHAR high = std::max(probe.seen[0].small, probe.seen[1].small);
        EXPECT_GE(high - low, static_cast<ptrdiff_t>(MixAreaBytes)) << "the two areas overlap";
    }

    // Without areas (pool was short when the adapter was made) every chunk uses the cable's buffer.
    host::FailNthAllocation(1);
    EXPECT_FALSE(adapter->MixAreas.Allocate());
    host::ClearPoolFaults();
    runOnBothProcessors();
    for (const Seen& seen : probe.seen) {
        EXPECT_EQ(seen.small, nullptr);
        EXPECT_EQ(seen.tooLarge, nullptr);
    }
    EXPECT_TRUE(adapter->MixAreas.Allocate());
}
