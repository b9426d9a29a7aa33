// The restriction of buffer-delivering threads to processor 0: which threads the two affinity
// counts catch, the per-cable, per-direction tables, and a table emptied with its last stream.
// Each delivering thread is a thread of its own, in the process the row names.
#include <algorithm>
#include <future>
#include <thread>

#include "config/driver_params.h"
#include "core/driver_state.h"
#include "filters/cable.h"
#include "filters/wave_filter.h"
#include "filters/wave_miniport.h"
#include "support/stream_fixture.h"

namespace {

constexpr ULONG_PTR SystemProcess = 4;
constexpr ULONG_PTR ClientProcess = 0x1F38;
constexpr ULONG BufferBytes = 1920;  // 10 ms of 48 kHz 16-bit stereo

class ThreadAffinityTest : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        saved = Params;
        savedRoutine = Driver.PsGetCurrentProcessIdRoutine;
        // As DriverEntry finds it.
        Driver.PsGetCurrentProcessIdRoutine = GetSystemRoutine("PsGetCurrentProcessId");
        ASSERT_NE(Driver.PsGetCurrentProcessIdRoutine, nullptr);
        host::TakeAffinityCalls();
    }
    void TearDown() override
    {
        Params = saved;
        Driver.PsGetCurrentProcessIdRoutine = savedRoutine;
        StreamTest::TearDown();
    }

    // A running render and capture client whose first GetMapping found nothing, so that the
    // next buffer each is handed is announced with MappingAvailable.
    void OpenBoth()
    {
        auto format = host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2));
        render = Open(false, format);
        capture = Open(true, format);
        Run(render);
        Run(capture);
        host::AdvanceTime(10 * Millisecond);
    }

    // Hands each client a buffer from a new thread in `process`; returns that thread's object.
    PKTHREAD DeliverFromNewThread(ULONG_PTR process, int times = 1)
    {
        PKTHREAD thread = nullptr;
        std::thread([&] {
            host::InProcess in(process);
            thread = KeGetCurrentThread();
            for (int time = 0; time < times; ++time) {
                Deliver();
            }
        }).join();
        return thread;
    }

    // A buffer each, each announced: the pass in between takes the last ones and is refused.
    void Deliver()
    {
        std::vector<uint8_t> silence(BufferBytes);
        if (render != nullptr) {
            EXPECT_EQ(render->Write(silence.data(), BufferBytes), STATUS_SUCCESS);
        }
        if (capture != nullptr) {
            EXPECT_EQ(capture->Read(BufferBytes), STATUS_SUCCESS);
        }
        host::AdvanceTime(20 * Millisecond);
    }

    static std::vector<PKTHREAD> Recorded(const StreamList& list)
    {
        std::vector<PKTHREAD> threads;
        for (PKTHREAD thread : list.RestrictedThreads) {
            if (thread != nullptr) {
                threads.push_back(thread);
            }
        }
        return threads;
    }

    DriverParams saved;
    PVOID savedRoutine = nullptr;
    host::WaveClient* render = nullptr;
    host::WaveClient* capture = nullptr;
};

std::vector<KAFFINITY> Masks(const std::vector<host::AffinityCall>& calls, PKTHREAD thread)
{
    std::vector<KAFFINITY> masks;
    for (const host::AffinityCall& call : calls) {
        EXPECT_EQ(call.thread, thread) << "only the delivering thread is restricted";
        masks.push_back(call.affinity);
    }
    return masks;
}

}  // namespace

TEST_F(ThreadAffinityTest, TheCountsPickTheThreadsRestrictedOncePerCableAndDirection)
{
    struct Row {
        const char* what;
        ULONG cables, kmixer, client;
        ULONG_PTR process;
        bool restricted;
    };
    const Row rows[] = {
        {"both counts off", 8, 0, 0, SystemProcess, false},
        {"mixer count 4 with 8 cables, a client's thread", 8, 4, 0, ClientProcess, true},
        {"mixer count 4 with 8 cables, a system thread", 8, 4, 0, SystemProcess, true},
        {"mixer count 8 with 8 cables", 8, 8, 0, ClientProcess, true},
        {"mixer count 16 with 8 cables", 8, 16, 0, SystemProcess, false},
        {"client count 4 with 8 cables, process 4", 8, 0, 4, SystemProcess, true},
        {"client count 4 with 8 cables, another process", 8, 0, 4, ClientProcess, false},
        {"client count 16 with 8 cables, process 4", 8, 0, 16, SystemProcess, false},
        {"client count 1 with 1 cable, process 4", 1, 0, 1, SystemProcess, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Params.NumberOfCables = row.cables;
        Params.KmixerAffinityCableCount = row.kmixer;
        Params.ClientAffinityCableCount = row.client;
        OpenBoth();

        PKTHREAD thread = DeliverFromNewThread(row.process, 3);

        const std::vector<KAFFINITY> once = {1, 1};  // one for each direction's table
        EXPECT_EQ(Masks(host::TakeAffinityCalls(), thread), row.restricted ? once : std::vector<KAFFINITY>{});
        const std::vector<PKTHREAD> recorded = row.restricted ? std::vector<PKTHREAD>{thread} : std::vector<PKTHREAD>{};
        EXPECT_EQ(Recorded(miniport->RenderStreams), recorded);
        EXPECT_EQ(Recorded(miniport->CaptureStreams), recorded);
        Close(render);
        Close(capture);
        EXPECT_EQ(Recorded(miniport->RenderStreams), std::vector<PKTHREAD>{}) << "emptied with the last stream";
        EXPECT_EQ(Recorded(miniport->CaptureStreams), std::vector<PKTHREAD>{});
    }
}

TEST_F(ThreadAffinityTest, AThreadComingBackAfterTheLastRenderStreamClosedIsRestrictedAnew)
{
    Params.KmixerAffinityCableCount = 4;
    OpenBoth();
    PKTHREAD self = KeGetCurrentThread();
    Deliver();
    EXPECT_EQ(Masks(host::TakeAffinityCalls(), self), (std::vector<KAFFINITY>{1, 1}));

    Close(render);
    EXPECT_EQ(Recorded(miniport->RenderStreams), std::vector<PKTHREAD>{});
    EXPECT_EQ(Recorded(miniport->CaptureStreams), std::vector<PKTHREAD>{self}) << "capture streams remain";
    render = Open(false, host::WaveDataFormat(host::PcmWaveFormat(48000, 16, 2)));
    Run(render);
    host::AdvanceTime(10 * Millisecond);
    Deliver();

    EXPECT_EQ(Masks(host::TakeAffinityCalls(), self), (std::vector<KAFFINITY>{1})) << "through the render table only";
    EXPECT_EQ(Recorded(miniport->RenderStreams), std::vector<PKTHREAD>{self});
    EXPECT_EQ(host::ThreadAffinity(), KAFFINITY{1});
}

// 64 slots per table: the first 64 threads are recorded; later ones are restricted at every
// delivery, which leaves them where they are. The threads stay alive until the end, so that no
// thread object is reused.
TEST_F(ThreadAffinityTest, AFullTableRestrictsUnrecordedThreadsAtEveryDelivery)
{
    Params.KmixerAffinityCableCount = 1;
    OpenBoth();
    capture = nullptr;  // render deliveries only
    std::promise<void> finish;
    std::shared_future<void> finished = finish.get_future().share();
    std::vector<std::thread> workers;
    std::vector<PKTHREAD> threads;
    size_t calls = 0;
    for (int index = 0; index < 70; ++index) {
        std::promise<PKTHREAD> delivered;
        std::future<PKTHREAD> thread = delivered.get_future();
        workers.emplace_back([this, finished, delivered = std::move(delivered)]() mutable {
            host::InProcess in(ClientProcess);
            Deliver();
            Deliver();
            delivered.set_value(KeGetCurrentThread());
            finished.wait();
        });
        threads.push_back(thread.get());
        calls += host::TakeAffinityCalls().size();
    }
    finish.set_value();
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(calls, 64u + 6 * 2);
    EXPECT_EQ(Recorded(miniport->RenderStreams), std::vector<PKTHREAD>(threads.begin(), threads.begin() + 64));
}
