// The port on real threads: a client queues and reaps buffers while the service group's DPC runs
// the miniport's transfer on the emulated processors; nothing is lost, duplicated or reordered.
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "port_test_fixture.h"

namespace {

using namespace std::chrono_literals;

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
// wait out every DPC serving it before the stream is stopped and released.
TEST_F(PortThreads, CloseReturnsOnlyOnceNoServiceCallIsInsideTheStream)
{
    OpenPin();
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> closed{false};
    stream->onService = [&] {
        if (closed.load()) {
            overlapped = true;  // a call that started after Close returned
        }
        inside.fetch_add(1);
        for (int i = 0; i < 200; ++i) {
            std::this_thread::yield();  // stay inside long enough for Close to overlap
        }
        inside.fetch_sub(1);
    };

    host::StartRealTime();
    std::atomic<bool> stop{false};
    std::thread notifier([&] {
        while (!stop.load()) {
            port->Notify(miniport->streamGroup);
        }
    });
    ASSERT_TRUE(host::WaitUntil([&] { return stream->serviceCalls.load() >= 20; }, 10s));
    pin->Close();
    int insideAtClose = inside.load();
    int callsAtClose = stream->serviceCalls.load();
    closed = true;
    for (int round = 0; round < 20; ++round) {
        port->Notify(miniport->streamGroup);
        std::this_thread::yield();
    }
    stop = true;
    notifier.join();
    host::StopRealTime();

    EXPECT_EQ(insideAtClose, 0);
    EXPECT_FALSE(overlapped.load());
    EXPECT_EQ(stream->serviceCalls.load(), callsAtClose);
    EXPECT_EQ(pin->ServiceCalls(), static_cast<ULONG>(callsAtClose));
}
