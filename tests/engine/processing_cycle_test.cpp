// The cable's processing cycle and clock on the virtual clock: exact byte counts whatever the DPC
// timing, catching up in chunks, clock correction and its re-basing, engine acquisition.
#include <cmath>
#include <thread>

#include <map>
#include <random>
#include <set>

#include "config/driver_params.h"
#include "engine/mix_areas.h"
#include "support/cable_fixture.h"

namespace {

constexpr ULONGLONG Millisecond = 10000;  // 100-ns units
constexpr ULONGLONG Second = 1000 * Millisecond;

class ProcessingCycleTest : public CableTest {
protected:
    void SetUp() override
    {
        CableTest::SetUp();
        AddCables(1);
        miniport = Miniport(0);
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
    for (auto [elapsed, processed] : passes) {
        EXPECT_EQ(processed, 4 * ((48000 * elapsed + Second / 2) / Second)) << "at " << elapsed;
    }
    EXPECT_EQ(passes[0].second, 960u);
    StopEngine(0);
}

TEST_F(ProcessingCycleTest, ADelayedDpcCatchesUpInChunksOfAtMost20ms)
{
    StartEngine(0, PcmFormat(48000, 16, 2));
    host::AdvanceTime(20 * Millisecond);
    ULONGLONG chunksBefore = miniport->ChunksProcessed;
    ULONGLONG bytesBefore = miniport->ProcessedBytes;

    host::SetDpcDelay(100 * Millisecond);
    host::AdvanceTime(105 * Millisecond);

    // The next timer expiry was at 25 ms; its DPC ran at 125 ms and made up 105 ms at once.
    EXPECT_EQ(miniport->ProcessedBytes - bytesBefore, 105u * 192);
    EXPECT_EQ(miniport->ChunksProcessed - chunksBefore, 6u) << "20+20+20+20+20+5 ms";
    EXPECT_EQ(miniport->ChunkSize, 3840u);
    StopEngine(0);
}

TEST_F(ProcessingCycleTest, TwentyFourHoursAtCorrected44100HzStayOnTheRoundedLine)
{
    ASSERT_EQ(miniport->ApplyClockCorrection(65601), STATUS_SUCCESS);  // 100.099 %
    miniport->MsPerInterrupt = 20;
    StartEngine(0, PcmFormat(44100, 16, 2));
    ULONGLONG start = miniport->StartTime;
    const ULONGLONG rate = (44100ull * 65601 + 32768) >> 16;  // 44144 frames a second
    ASSERT_EQ(rate, 44144u);
    ULONGLONG checked = 0;
    ULONGLONG mismatches = 0;
    port.onNotify = [&](PSERVICEGROUP) {
        ULONGLONG elapsed = KeQueryInterruptTime() - start;
        ULONGLONG expected = (rate * elapsed + Second / 2) / Second;
        mismatches += (miniport->ProcessedBytes / 4 != expected);
        ++checked;
    };
    // DPCs that run late by up to a minute make few, long passes over the whole day.
    host::SetDpcDelay(60 * Second);

    host::AdvanceTime(24ull * 3600 * Second);

    EXPECT_GT(checked, 1000u);
    EXPECT_EQ(mismatches, 0u);
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

    ULONGLONG rate = (44100ull * 70000 + 32768) >> 16;
    EXPECT_EQ(miniport->ProcessedBytes, 4 * ((rate * 10 * Millisecond + Second / 2) / Second));
    StopEngine(0);
}

TEST_F(ProcessingCycleTest, CableBytesDueFollowsTheInterruptTime)
{
    StartEngine(0, PcmFormat(44100, 16, 2));
    miniport->StopTimer();  // hold the clock still: no passes
    ULONGLONG origin = miniport->StartTime;
    struct Case {
        ULONGLONG elapsed;
        ULONG bytes;
    };
    for (Case c : {Case{10000000, 176400}, Case{3333333, 58800}, Case{100000, 1764}}) {
        miniport->StartTime = KeQueryInterruptTime() - c.elapsed;
        EXPECT_EQ(miniport->CableBytesDue(), c.bytes) << c.elapsed;
    }
    miniport->StartTime = origin;
    miniport->LockStateIdle();
    miniport->ReleaseEngine();
    miniport->UnlockStateIdle();
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
// two processors never share one; a larger chunk has none and goes to the cable's own buffer.
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
        Seen& seen = p->seen[KeGetCurrentProcessorNumberEx(nullptr)];
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
