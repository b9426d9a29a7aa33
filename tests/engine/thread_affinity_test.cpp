// The restriction of buffer-delivering threads to processor 0: which threads the two affinity
// counts catch, the per-cable, per-direction tables, and a table emptied with its last stream.
#include <future>
#include <thread>

#include "config/driver_params.h"
#include "core/driver_state.h"
#include "filters/wave_miniport.h"
#include "support/stream_fixture.h"

namespace {

constexpr ULONG_PTR SystemProcess = 4, ClientProcess = 0x1F38;
using Threads = std::vector<PKTHREAD>;

class ThreadAffinityTest : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        saved = Params;
        savedRoutine = Driver.PsGetCurrentProcessIdRoutine;
        Driver.PsGetCurrentProcessIdRoutine = GetSystemRoutine("PsGetCurrentProcessId");  // as DriverEntry
    }
    void TearDown() override
    {
        Params = saved;
        Driver.PsGetCurrentProcessIdRoutine = savedRoutine;
        StreamTest::TearDown();
    }

    // Running clients whose first GetMapping found nothing, so each next buffer is announced with
    // MappingAvailable in the thread that hands it over.
    void OpenRunning(bool renderSide, bool captureSide)
    {
        auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
        render = renderSide ? Open(false, format) : nullptr;
        capture = captureSide ? Open(true, format) : nullptr;
        for (host::WaveClient* client : {render, capture}) {
            if (client != nullptr) {
                Run(client);
            }
        }
        host::AdvanceTime(10 * Millisecond);
        host::TakeAffinityCalls();
    }
    // A buffer to each client; the pass after takes it and finds nothing more.
    void Deliver()
    {
        std::vector<uint8_t> silence(1920);
        if (render != nullptr) {
            EXPECT_EQ(render->Write(silence.data(), 1920), STATUS_SUCCESS);
        }
        if (capture != nullptr) {
            EXPECT_EQ(capture->Read(1920), STATUS_SUCCESS);
        }
        host::AdvanceTime(20 * Millisecond);
    }
    static Threads Recorded(const StreamList& list)
    {
        Threads threads;
        std::copy_if(std::begin(list.RestrictedThreads), std::end(list.RestrictedThreads), std::back_inserter(threads),
                     [](PKTHREAD thread) { return thread != nullptr; });
        return threads;
    }
    static Threads CallingThreads(ULONG mask = 1)
    {
        Threads threads;
        for (const host::AffinityCall& call : host::TakeAffinityCalls()) {
            EXPECT_EQ(call.affinity, mask);
            threads.push_back(call.thread);
        }
        return threads;
    }

    DriverParams saved;
    PVOID savedRoutine = nullptr;
    host::WaveClient* render = nullptr;
    host::WaveClient* capture = nullptr;
};

}  // namespace

// Each row's thread delivers three times to each direction: restricted once per table.
TEST_F(ThreadAffinityTest, TheCountsPickTheThreadsRestrictedOncePerCableAndDirection)
{
    struct Row {
        ULONG cables, kmixer, client;
        ULONG_PTR process;
        bool restricted;
    };
    const Row rows[] = {
        {8, 0, 0, SystemProcess, false}, {8, 4, 0, ClientProcess, true},  {8, 8, 0, SystemProcess, true},
        {8, 16, 0, SystemProcess, false}, {8, 0, 4, SystemProcess, true},  {8, 0, 4, ClientProcess, false},
        {8, 0, 16, SystemProcess, false}, {1, 0, 1, SystemProcess, true}, {8, 16, 4, ClientProcess, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        Params = {row.cables, row.kmixer, row.client, FALSE};
        OpenRunning(true, true);
        PKTHREAD thread = nullptr;
        std::thread([&] {
            host::InProcess in(row.process);
            thread = KeGetCurrentThread();
            Deliver();
            Deliver();
            Deliver();
        }).join();

        const Threads once = row.restricted ? Threads{thread} : Threads{};
        EXPECT_EQ(CallingThreads(), (row.restricted ? Threads{thread, thread} : Threads{}));
        EXPECT_EQ(Recorded(miniport->RenderStreams), once);
        EXPECT_EQ(Recorded(miniport->CaptureStreams), once);
        Close(render);
        Close(capture);
        EXPECT_EQ(Recorded(miniport->RenderStreams), Threads{}) << "emptied with the last stream";
        EXPECT_EQ(Recorded(miniport->CaptureStreams), Threads{});
    }
}

TEST_F(ThreadAffinityTest, AThreadComingBackAfterTheLastRenderStreamClosedIsRestrictedAnew)
{
    Params.KmixerAffinityCableCount = 4;
    OpenRunning(true, true);
    PKTHREAD self = KeGetCurrentThread();
    Deliver();
    EXPECT_EQ(CallingThreads(), (Threads{self, self}));
    Close(render);
    EXPECT_EQ(Recorded(miniport->RenderStreams), Threads{});
    EXPECT_EQ(Recorded(miniport->CaptureStreams), Threads{self}) << "a capture stream is left";

    OpenRunning(true, false);
    Deliver();

    EXPECT_EQ(CallingThreads(), Threads{self}) << "through the render table only";
    EXPECT_EQ(Recorded(miniport->RenderStreams), Threads{self});
    EXPECT_EQ(host::ThreadAffinity(), KAFFINITY{1});
}

// 64 slots: the first 64 threads are recorded, later ones restricted at every delivery. The
// threads live to the end, so no thread object is reused.
TEST_F(ThreadAffinityTest, AFullTableRestrictsUnrecordedThreadsAtEveryDelivery)
{
    Params.KmixerAffinityCableCount = 1;
    OpenRunning(true, false);
    std::promise<void> finish;
    std::shared_future<void> finished = finish.get_future().share();
    std::vector<std::thread> workers;
    Threads threads, calls;
    for (int index = 0; index < 70; ++index) {
        std::promise<PKTHREAD> delivered;
        std::future<PKTHREAD> thread = delivered.get_future();
        workers.emplace_back([this, finished, delivered = std::move(delivered)]() mutable {
            Deliver();
            Deliver();
            delivered.set_value(KeGetCurrentThread());
            finished.wait();
        });
        threads.push_back(thread.get());
        for (PKTHREAD caller : CallingThreads()) {
            calls.push_back(caller);
        }
    }
    finish.set_value();
    for (std::thread& worker : workers) {
        worker.join();
    }
    Threads expected(threads.begin(), threads.begin() + 64);
    EXPECT_EQ(Recorded(miniport->RenderStreams), expected);
    for (size_t late = 64; late < threads.size(); ++late) {
        expected.insert(expected.end(), {threads[late], threads[late]});
    }
    EXPECT_EQ(calls, expected);
}
