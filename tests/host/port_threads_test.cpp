// The port on real threads: a client queues and reaps buffers while the service group's DPC runs
// the miniport's transfer on the emulated processors; nothing is lost, duplicated or reordered.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "port_test_fixture.h"

namespace {

using namespace std::chrono_literals;

// A thread that is stopped and joined on every way out of the test, a failed ASSERT included:
// `stop` tells it to finish.
class JoinedThread {
public:
    JoinedThread(std::function<void()> body, std::function<void()> stop)
        : stop_(std::move(stop)), thread_(std::move(body))
    {
    }
    ~JoinedThread() { Join(); }
    JoinedThread(const JoinedThread&) = delete;
    JoinedThread& operator=(const JoinedThread&) = delete;
    void Join()
    {
        if (thread_.joinable()) {
            stop_();
            thread_.join();
        }
    }

private:
    std::function<void()> stop_;
    std::thread thread_;
};

class PortThreads : public PortTest {
protected:
    void TearDown() override
    {
        host::StopRealTime();
        PortTest::TearDown();
    }
};

}  // namespace

TEST_F(PortThreads, BuffersQueuedWhileTheGroupsDpcTransfersArriveWholeAndInOrder)
{
    host::WaveClientOptions options;
    options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2));
    std::unique_ptr<host::WaveClient> client;
    ASSERT_EQ(host::WaveClient::Open(port, options, &client), STATUS_SUCCESS);
    stream = miniport->lastStream;
    std::mutex transferLock;  // the group's DPC may run on both processors at once
    std::vector<uint8_t> received;
    stream->onService = [&] {
        std::lock_guard<std::mutex> guard(transferLock);
        stream->AcquireAll();
        for (const fake::HeldMapping& m : stream->held) {
            received.insert(received.end(), m.data, m.data + m.bytes);
        }
        stream->ReleaseAll();
    };

    host::StartRealTime();
    std::mt19937 random(5);
    std::vector<uint8_t> sent;
    size_t reapedBytes = 0;
    size_t reapedBuffers = 0;
    constexpr int Buffers = 400;
    for (int i = 0; i < Buffers; ++i) {
        std::vector<uint8_t> data(1 + random() % 9000);
        for (uint8_t& byte : data) {
            byte = static_cast<uint8_t>(random());
        }
        ASSERT_EQ(client->Write(data.data(), static_cast<ULONG>(data.size())), STATUS_SUCCESS);
        sent.insert(sent.end(), data.begin(), data.end());
        port->Notify(miniport->streamGroup);
        for (const host::ReapedBuffer& buffer : client->Reap()) {
            EXPECT_EQ(buffer.status, STATUS_SUCCESS);
            reapedBytes += buffer.bytes;
            ++reapedBuffers;
        }
    }
    EXPECT_TRUE(host::WaitUntil(
        [&] {
            port->Notify(miniport->streamGroup);
            for (const host::ReapedBuffer& buffer : client->Reap()) {
                reapedBytes += buffer.bytes;
                ++reapedBuffers;
            }
            return reapedBuffers == Buffers;
        },
        10s));
    client.reset();  // closes while the DPCs may still run
    host::StopRealTime();

    EXPECT_EQ(reapedBytes, sent.size());
    std::lock_guard<std::mutex> guard(transferLock);
    EXPECT_EQ(received, sent);
}

// The pin's member is served without a call count: Close must still take it out of the group and
// wait out every DPC serving it before the stream is stopped and released. The first service call
// stays inside the stream while Close runs, until Close returns or HoldFor has passed: a Close
// that does not wait finds it still inside; one that leaves the pin in the group lets a later
// group DPC reach the stream.
TEST_F(PortThreads, CloseReturnsOnlyOnceNoServiceCallIsInsideTheStream)
{
    constexpr auto HoldFor = 500ms;  // far longer than the test thread needs to call Close
    OpenPin();
    std::mutex holdLock;
    std::condition_variable holdEnds;
    bool closeReturned = false;  // guarded by holdLock
    std::atomic<bool> holding{false};
    std::atomic<int> inside{0};
    std::atomic<bool> closed{false};
    std::atomic<bool> startedAfterClose{false};
    stream->onService = [&] {
        if (closed.load()) {
            startedAfterClose = true;
        }
        inside.fetch_add(1);
        if (!holding.exchange(true)) {
            std::unique_lock<std::mutex> lock(holdLock);
            holdEnds.wait_for(lock, HoldFor, [&] { return closeReturned; });
        }
        inside.fetch_sub(1);
    };
    auto endHold = [&] {
        {
            std::lock_guard<std::mutex> guard(holdLock);
            closeReturned = true;
        }
        holdEnds.notify_all();
    };

    host::StartRealTime();
    // A client asking for service now and then, during Close too. Paced: a client spinning on
    // Notify would only compete with the processor threads for the machine's processors.
    std::atomic<bool> stop{false};
    JoinedThread notifier(
        [&] {
            while (!stop.load()) {
                port->Notify(miniport->streamGroup);
                std::this_thread::sleep_for(100us);
            }
        },
        [&] {
            stop = true;
            endHold();
        });
    ASSERT_TRUE(host::WaitUntil([&] { return holding.load(); }, 20s));
    pin->Close();
    int insideAtClose = inside.load();
    int callsAtClose = stream->serviceCalls.load();
    closed = true;
    endHold();
    notifier.Join();
    // Every request made so far, and one more now, has been served: none may reach the stream.
    port->Notify(miniport->streamGroup);
    KeFlushQueuedDpcs();
    host::StopRealTime();

    EXPECT_EQ(insideAtClose, 0);
    EXPECT_FALSE(startedAfterClose.load());
    EXPECT_EQ(stream->serviceCalls.load(), callsAtClose);
    EXPECT_EQ(pin->ServiceCalls(), static_cast<ULONG>(callsAtClose));
}
