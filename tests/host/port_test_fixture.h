// A WavePci port bound to the fake miniport, with one pin and page-aligned client memory, for the
// tests of the port's stream side.
#pragma once

#include <cstdlib>
#include <memory>
#include <vector>

#include "fake_wave_miniport.h"
#include "host/wave_client.h"
#include "support/platform_fixture.h"

struct Completed {
    uint64_t number;
    NTSTATUS status;
    ULONG bytes;
};

class PortTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        host::SetClockTick(host::FinestClockTick);  // as a driver that asked for it
        miniport = new fake::Miniport;
        port = host::PortWavePci::Create();
        port->BindMiniport(miniport);
    }

    void TearDown() override
    {
        if (pin != nullptr) {
            pin->Close();
            pin->Release();
        }
        if (stream != nullptr) {
            stream->Release();
        }
        port->ReleaseChildren();
        port->Release();
        miniport->Release();
        host::RunQueuedDpcs();  // a queued group DPC holds its group
        PlatformTest::TearDown();
    }

    // Opens pin 0 (render unless `capture`) in 44100 Hz 16-bit stereo.
    void OpenPin(bool capture = false)
    {
        std::vector<uint8_t> format = host::WaveDataFormat(host::PcmWaveFormat(44100, 16, 2));
        host::PinRequest request;
        request.capture = capture ? TRUE : FALSE;
        request.dataFormat = reinterpret_cast<const KSDATAFORMAT*>(format.data());
        ASSERT_EQ(port->OpenPin(request, &pin), STATUS_SUCCESS);
        stream = miniport->lastStream;
    }

    // Client memory starting at a page boundary; `pages` pages.
    PUCHAR Memory(size_t pages)
    {
        auto* block = static_cast<PUCHAR>(std::aligned_alloc(host::MappingPageSize, pages * host::MappingPageSize));
        memory.emplace_back(block, &std::free);
        return block;
    }

    // Queues a buffer; its completion is recorded with its queuing number (1, 2, ...). Returns
    // the pin's id for it.
    uint64_t Queue(PUCHAR data, ULONG bytes)
    {
        uint64_t number = ++queued;
        uint64_t id = 0;
        NTSTATUS status = pin->QueueBuffer(
            data, bytes, [this, number](NTSTATUS result, ULONG done) { completed.push_back({number, result, done}); },
            &id);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return id;
    }

    KSAUDIO_POSITION Position()
    {
        KSAUDIO_POSITION position = {};
        EXPECT_EQ(pin->GetPosition(&position), STATUS_SUCCESS);
        return position;
    }

    fake::Miniport* miniport = nullptr;
    host::PortWavePci* port = nullptr;
    host::WavePciPin* pin = nullptr;
    fake::Stream* stream = nullptr;  // the test's reference
    uint64_t queued = 0;
    std::vector<Completed> completed;
    std::vector<std::unique_ptr<UCHAR, void (*)(void*)>> memory;
};
