// A cable with a stand-in WavePci port and application-like clients.
#include "support/stream_fixture.h"

#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"

void StreamTest::SetUp()
{
    PlatformTest::SetUp();
    // DPCs run as on Windows, the moment a thread's IRQL drops below DISPATCH_LEVEL.
    host::SetDpcsRunWhenIrqlDrops(true);
    adapter = Adapter::Create();
    ASSERT_NE(adapter, nullptr);
    cable = Cable::Create(0, adapter);
    ASSERT_NE(cable, nullptr);
    miniport = WaveMiniport::Create(cable);
    ASSERT_NE(miniport, nullptr);
    cable->AttachWaveMiniport(miniport);
    adapter->AddCable(cable);
    port = host::PortWavePci::Create();
    ASSERT_EQ(port->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(miniport),
                         static_cast<IAdapterPowerManagement*>(adapter), nullptr),
              STATUS_SUCCESS);
}

ULONGLONG StreamTest::PlayOffset(host::WaveClient* client)
{
    KSAUDIO_POSITION position{};
    EXPECT_EQ(client->GetPosition(&position), STATUS_SUCCESS);
    return position.PlayOffset;
}

void StreamTest::TearDown()
{
    clients.clear();
    port->ReleaseChildren();
    port->Release();
    host::RunQueuedDpcs();
    adapter->DestroyAllCables();
    adapter->Release();
    EXPECT_EQ(host::LivePoolCount(), 0u) << "every engine object returned its pool";
    PlatformTest::TearDown();
}

NTSTATUS StreamTest::TryOpen(bool capture, const std::vector<uint8_t>& dataFormat, host::WaveClient** client)
{
    host::WaveClientOptions options;
    options.pinId = capture ? 0 : 2;  // the wave filter's capture and render pins
    options.capture = capture;
    options.dataFormat = dataFormat;
    std::unique_ptr<host::WaveClient> opened;
    NTSTATUS status = host::WaveClient::Open(port, options, &opened);
    *client = opened.get();
    if (NT_SUCCESS(status)) {
        clients.push_back(std::move(opened));
    }
    return status;
}

host::WaveClient* StreamTest::Open(bool capture, const std::vector<uint8_t>& dataFormat)
{
    host::WaveClient* client = nullptr;
    EXPECT_EQ(TryOpen(capture, dataFormat, &client), STATUS_SUCCESS);
    return client;
}

void StreamTest::Run(host::WaveClient* client)
{
    ASSERT_EQ(client->SetState(KSSTATE_RUN), STATUS_SUCCESS);
}

void StreamTest::Close(host::WaveClient* client)
{
    for (auto it = clients.begin(); it != clients.end(); ++it) {
        if (it->get() == client) {
            clients.erase(it);
            return;
        }
    }
}

void ClientFeeder::Pump(ULONG queuedTarget)
{
    for (const host::ReapedBuffer& buffer : client_->Reap()) {
        inFlight_ -= buffer.data.size();
        if (buffer.status != STATUS_SUCCESS) {
            continue;
        }
        if (capture_) {
            recorded_.insert(recorded_.end(), buffer.data.begin(), buffer.data.end());
        } else {
            played_ += buffer.data.size();
        }
    }
    while (inFlight_ < queuedTarget) {
        ULONG bytes = sizes_(random_);
        if (capture_) {
            ASSERT_EQ(client_->Read(bytes), STATUS_SUCCESS);
        } else {
            if (submitted_ == source_.size()) {
                return;
            }
            bytes = static_cast<ULONG>(std::min<size_t>(bytes, source_.size() - submitted_));
            ASSERT_EQ(client_->Write(source_.data() + submitted_, bytes), STATUS_SUCCESS);
            submitted_ += bytes;
        }
        inFlight_ += bytes;
    }
}

std::vector<uint8_t> RandomStreamBytes(size_t count, uint64_t seed)
{
    std::mt19937_64 random(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(random());
    }
    return bytes;
}
