// The control panel at work while a cable streams: one thread sends the panel's requests through
// the Win32 device calls while a render and a capture client stream on the first cable in real
// time on the processors' threads. Run under ThreadSanitizer as well.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/registry_store.h"
#include "core/platform.h"
#include "filters/wave_filter.h"
#include "host/ks_client.h"
#include "host/machine.h"
#include "host/wave_client.h"
#include "host/win32_device.h"
#include "shared/control_protocol.h"
#include "support/win32_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr ULONG FrameBytes = 4;                 // 8000 Hz 16-bit stereo: one 32-bit counter a frame
constexpr ULONG BufferBytes = 80 * FrameBytes;  // 10 ms
constexpr size_t QueuedBuffers = 50;            // half a second in flight
constexpr size_t RecordedEnough = 2 * 8000 * FrameBytes;
constexpr ULONG RoundsEnough = 100;
constexpr ULONG DefaultMsPerInterrupt = 5;

const std::string Locations[] = {SoftwareKeyPath, host::DriverImage::DefaultServiceKey + "\\Parameters"};

class ControlWhileStreamingTest : public Win32MachineTest {
protected:
    void TearDown() override
    {
        render.reset();
        capture.reset();
        filter.reset();
        Win32MachineTest::TearDown();
    }

    std::unique_ptr<host::KsHandle> filter;
    std::unique_ptr<host::WaveClient> render;
    std::unique_ptr<host::WaveClient> capture;
};

// Plays a frame counter and records, keeping half a second queued each way.
struct StreamingClient {
    void Loop(host::WaveClient& render, host::WaveClient& capture, const std::atomic<bool>& stop)
    {
        std::vector<uint8_t> buffer(BufferBytes);
        while (!stop.load()) {
            renderInFlight -= render.Reap().size();
            for (const host::ReapedBuffer& done : capture.Reap()) {
                --captureInFlight;
                if (done.status == STATUS_SUCCESS) {
                    recorded.insert(recorded.end(), done.data.begin(), done.data.end());
                    recordedBytes.store(recorded.size());
                }
            }
            for (; renderInFlight < QueuedBuffers; ++renderInFlight) {
                for (ULONG offset = 0; offset < BufferBytes; offset += FrameBytes) {
                    std::memcpy(buffer.data() + offset, &nextFrame, FrameBytes);
                    ++nextFrame;
                }
                ASSERT_EQ(render.Write(buffer.data(), BufferBytes), STATUS_SUCCESS);
            }
            for (; captureInFlight < QueuedBuffers; ++captureInFlight) {
                ASSERT_EQ(capture.Read(BufferBytes), STATUS_SUCCESS);
            }
            std::this_thread::sleep_for(2ms);
        }
    }

    uint32_t nextFrame = 1;  // 0 would look like silence
    size_t renderInFlight = 0;
    size_t captureInFlight = 0;
    std::vector<uint8_t> recorded;
    std::atomic<size_t> recordedBytes{0};  // read by the test's thread while this one runs
};

ULONG Word(const std::vector<uint8_t>& data, size_t offset)
{
    ULONG word = 0;
    std::memcpy(&word, data.data() + offset, sizeof(word));
    return word;
}

}  // namespace

TEST_F(ControlWhileStreamingTest, PanelRequestsOnAnotherThreadAreAnsweredWhileACableStreams)
{
    ASSERT_EQ(host::KsHandle::OpenFilter(machine.Device(), u"wave1", &filter), STATUS_SUCCESS);
    host::WaveClientOptions options;
    options.filterHandle = filter.get();
    options.dataFormat = host::WaveDataFormat(host::PcmWaveFormat(8000, 16, 2));
    options.pinId = WaveRenderPin;
    ASSERT_EQ(host::WaveClient::Open(nullptr, options, &render), STATUS_SUCCESS);
    options.pinId = WaveCapturePin;
    options.capture = true;
    ASSERT_EQ(host::WaveClient::Open(nullptr, options, &capture), STATUS_SUCCESS);
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const HANDLE channel = OpenChannel();
    ASSERT_NE(channel, host::INVALID_HANDLE_VALUE);

    // One round of the panel's requests; round r varies the values it sets. Cable 1 streams, so
    // only its clock correction may change; cable 2 has no stream and takes everything.
    struct Request {
        const char* what;
        ULONG code;
        std::vector<ULONG> input;
        DWORD outputLength;
        DWORD error;  // ERROR_SUCCESS when answered with the record or accepted
    };
    const ULONG clocks[] = {0x10000, 0x10080, 0xFF80, 0x10040};  // 100 %, +0.2 %, -0.2 %, +0.1 %
    auto round = [&clocks](ULONG r) -> std::vector<Request> {
        return {
            {"driver info", IOCTL_GET_DRIVER_INFO, {3}, 32, host::ERROR_SUCCESS},
            {"cable 1 info", IOCTL_GET_CABLE_INFO, {3, 0}, 108, host::ERROR_SUCCESS},
            {"cable 2 info", IOCTL_GET_CABLE_INFO, {3, 1}, 108, host::ERROR_SUCCESS},
            {"clock, cable 1", IOCTL_SET_CLOCK_CORRECTION, {3, 0, clocks[r % 4]}, 0, host::ERROR_SUCCESS},
            {"ms, cable 1", IOCTL_SET_MS_PER_INTERRUPT, {3, 0, 1 + r % 20}, 0, host::ERROR_DEVICE_IN_USE},
            {"range, cable 1", IOCTL_SET_FORMAT_RANGE, {3, 0, 8000, 48000, 8, 16, 1, 2}, 0, host::ERROR_DEVICE_IN_USE},
            {"ms, cable 2", IOCTL_SET_MS_PER_INTERRUPT, {3, 1, 1 + r % 20}, 0, host::ERROR_SUCCESS},
            {"range, cable 2", IOCTL_SET_FORMAT_RANGE, {3, 1, 8000, 44100 + r % 2 * 3900, 8, 16, 1, 2 + r % 7}, 0,
             host::ERROR_SUCCESS},
        };
    };

    std::atomic<bool> stop{false};
    std::atomic<ULONG> rounds{0};  // rounds answered as expected
    std::atomic<bool> panelEnded{false};
    std::string failure;  // the first unexpected answer, written by the control thread
    StreamingClient client;
    host::StartRealTime();
    std::thread streaming([&] { client.Loop(*render, *capture, stop); });
    std::thread panel([&] {
        ULONG clock = CLOCK_CORRECTION_UNITY;
        ULONG ms2 = DefaultMsPerInterrupt;
        for (ULONG r = 0; failure.empty() && !stop.load(); ++r) {
            for (const Request& request : round(r)) {
                std::vector<ULONG> input = request.input;
                std::vector<uint8_t> output(request.outputLength, 0xEE);
                DWORD returned = 0xFFFFFFFF;
                host::SetLastError(host::ERROR_SUCCESS);
                const BOOL done = win32->DeviceIoControl(channel, request.code, input.data(),
                                                         static_cast<DWORD>(input.size() * sizeof(ULONG)),
                                                         output.data(), request.outputLength, &returned, nullptr);
                const DWORD error = done ? host::ERROR_SUCCESS : host::GetLastError();
                const DWORD expectedBytes = request.error == host::ERROR_SUCCESS ? request.outputLength : 0;
                std::string wrong;
                if (error != request.error || returned != expectedBytes) {
                    wrong = "error " + std::to_string(error) + ", " + std::to_string(returned) + " bytes";
                } else if (request.code == IOCTL_GET_DRIVER_INFO && (Word(output, 20) != 2 || Word(output, 24) != 2)) {
                    wrong = "cables " + std::to_string(Word(output, 20)) + ", streams " + std::to_string(Word(output, 24));
                } else if (request.code == IOCTL_GET_CABLE_INFO) {
                    const bool first = request.input[1] == 0;
                    const ULONG streams = first ? 1 : 0;
                    if (Word(output, 76) != streams || Word(output, 80) != streams ||
                        Word(output, 96) != (first ? clock : CLOCK_CORRECTION_UNITY) ||
                        Word(output, 4) != (first ? DefaultMsPerInterrupt : ms2)) {
                        wrong = "capture " + std::to_string(Word(output, 76)) + ", render " +
                                std::to_string(Word(output, 80)) + ", clock " + std::to_string(Word(output, 96)) +
                                ", ms " + std::to_string(Word(output, 4));
                    }
                }
                if (!wrong.empty()) {
                    failure = "round " + std::to_string(r) + ", " + request.what + ": " + wrong;
                    break;
                }
                if (request.code == IOCTL_SET_CLOCK_CORRECTION) {
                    clock = request.input[2];
                } else if (request.code == IOCTL_SET_MS_PER_INTERRUPT && request.input[1] == 1) {
                    ms2 = request.input[2];
                }
            }
            if (failure.empty()) {
                rounds.store(r + 1);
            }
            std::this_thread::sleep_for(1ms);
        }
        panelEnded = true;
    });
    const bool enough = host::WaitUntil(
        [&] {
            return panelEnded.load() || (client.recordedBytes.load() >= RecordedEnough && rounds.load() >= RoundsEnough);
        },
        120s);
    stop = true;
    panel.join();
    streaming.join();
    EXPECT_EQ(render->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(capture->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    host::StopRealTime();
    ASSERT_TRUE(enough) << client.recordedBytes.load() << " bytes recorded, " << rounds.load() << " rounds; "
                        << failure;
    ASSERT_EQ(failure, "");

    // The counter frames the capture heard follow each other from the first without a repeat;
    // only a capture overflow (no capture buffer ready) may drop frames.
    CableRequest request = {CONTROL_INTERFACE_VERSION, 0};
    std::vector<uint8_t> cable(sizeof(CableInfo));
    DWORD returned = 0;
    ASSERT_TRUE(win32->DeviceIoControl(channel, IOCTL_GET_CABLE_INFO, &request, sizeof(request), cable.data(),
                                       static_cast<DWORD>(cable.size()), &returned, nullptr));
    const ULONG overflows = Word(cable, 100);
    uint32_t previous = 0;
    size_t heard = 0;
    size_t gaps = 0;
    for (size_t offset = 0; offset + FrameBytes <= client.recorded.size(); offset += FrameBytes) {
        uint32_t frame = 0;
        std::memcpy(&frame, client.recorded.data() + offset, FrameBytes);
        if (frame == 0) {
            continue;  // silence of an underflow
        }
        ASSERT_GT(frame, previous) << "a frame heard twice or out of order at byte " << offset;
        gaps += (frame != previous + 1);
        previous = frame;
        ++heard;
    }
    EXPECT_GT(heard, 0u);
    EXPECT_LE(gaps, static_cast<size_t>(overflows));
    EXPECT_TRUE(win32->CloseHandle(channel));

    // Cable 2 keeps the last settings it accepted, in both registry locations.
    const ULONG last = rounds.load() - 1;
    const std::pair<const char*, ULONG> saved[] = {
        {"Milliseconds per interrupt", 1 + last % 20},
        {"Maximum sampling rate", 44100 + last % 2 * 3900},
        {"Maximum number of channels", 2 + last % 7},
    };
    for (const std::string& location : Locations) {
        for (const auto& [name, value] : saved) {
            EXPECT_EQ(RegistryDword(location + "\\Cable 2", name), value) << location << " " << name;
        }
    }
}
