// tarnhost serve: starts the driver as Windows does and answers the control panel's device calls
// over a loopback TCP connection, so the real panel (its bridge build, under Wine) drives the
// real driver logic.
//
//   tarnhost serve [--registry FILE] [--port N] [--stream N]
//
// With --stream N, an application plays a 1 kHz tone (48000 Hz 16-bit stereo) into cable N and
// another records from it, as `tarnhost loop` would, while the panel watches: the driver's clock
// then follows the real one (the virtual clock is moved on by the time that passed between
// requests), so the panel's figures move as they would on Windows.
//
// It listens on 127.0.0.1 only (port N, or a free one) and prints one line on stdout:
//   TARN_BRIDGE=PORT:TOKEN
// which is what the panel's bridge build reads from its environment. A connection must present
// the token first; one that does not, or that sends anything malformed or oversized, is closed
// and the others go on. The server runs until SIGINT or SIGTERM, then closes what the panel left
// open, stops the driver and saves the registry file. Bad input exits with status 2; a driver
// that does not start, or pool left after it is unloaded, with status 1.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "ctlpan/bridge_protocol.h"
#include "host/win32_device.h"

#include "bridge_server.h"
#include "command.h"
#include "driver_session.h"
#include "host_cable.h"
#include "loop_clients.h"
#include "sample_source.h"

namespace tarnhost {

namespace {

constexpr int PollMs = 200;
constexpr int StreamingPollMs = 10;
constexpr ULONGLONG MaxClockStep = 50 * 10000;  // 50 ms: well inside the clients' queued audio

volatile sig_atomic_t stopRequested = 0;

void RequestStop(int)
{
    stopRequested = 1;
}

struct ServeOptions {
    std::string registryFile;
    uint16_t port = 0;
    unsigned streamCable = 0;  // 0: no streams
};

// A recording application that keeps its capture client supplied and lets the data go.
class Listener {
public:
    Listener(host::WaveClient* client, const WAVEFORMATEXTENSIBLE& format)
        : client_(client), bufferBytes_(format.Format.nAvgBytesPerSec / 1000 * BufferMs)
    {
    }
    void Pump()
    {
        inFlight_ -= client_->ReapDiscarding();
        while (inFlight_ < QueueAheadMs / BufferMs) {
            if (!NT_SUCCESS(client_->Read(bufferBytes_))) {
                throw DriverFault("the recording client could not queue a buffer");
            }
            ++inFlight_;
        }
    }

private:
    host::WaveClient* client_;
    ULONG bufferBytes_;
    size_t inFlight_ = 0;  // buffers queued
};

// The applications of --stream: a tone player and a listener on one cable, both running.
class Streams {
public:
    Streams(DriverSession& session, unsigned cableNumber)
        : cable_(session, cableNumber), player_(MakeToneSource(SampleSource::Endless))
    {
        NTSTATUS status = STATUS_SUCCESS;
        player_.Attach(cable_.Open(false, player_.Format(), &status));
        host::WaveClient* capture = player_.Client() != nullptr ? cable_.Open(true, player_.Format(), &status) : nullptr;
        if (capture == nullptr) {
            throw InputError("cable " + std::to_string(cableNumber) + " refused the tone's format: " +
                             cable_.AcceptedFormats(false));
        }
        listener_ = std::make_unique<Listener>(capture, player_.Format());
        Pump();
        for (host::WaveClient* client : cable_.Clients()) {
            if (!NT_SUCCESS(client->SetState(KSSTATE_RUN))) {
                throw DriverFault("a streaming client could not start");
            }
        }
        last_ = std::chrono::steady_clock::now();
    }
    // Moves the driver's clock on by the real time that passed, then supplies the clients.
    void Run()
    {
        const auto now = std::chrono::steady_clock::now();
        const auto passed = std::chrono::duration_cast<std::chrono::microseconds>(now - last_).count();
        last_ = now;
        host::AdvanceTime(std::min<ULONGLONG>(static_cast<ULONGLONG>(passed) * 10, MaxClockStep));
        Pump();
    }

private:
    void Pump()
    {
        player_.Pump();
        listener_->Pump();
    }

    HostCable cable_;
    Player player_;
    std::unique_ptr<Listener> listener_;
    std::chrono::steady_clock::time_point last_;
};

void RunServe(const ServeOptions& options)
{
    DriverSession session(options.registryFile);
    session.Boot();
    {
        host::Win32System system(session.Machine());
        const std::string token = BridgeServer::NewToken();
        BridgeServer server(system, token);
        uint16_t port = 0;
        try {
            port = server.Listen(options.port);
        } catch (const std::runtime_error& error) {
            throw InputError(error.what());
        }
        struct sigaction action = {};
        action.sa_handler = RequestStop;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        std::unique_ptr<Streams> streams;
        if (options.streamCable != 0) {
            streams = std::make_unique<Streams>(session, options.streamCable);
        }
        std::cout << bridge::EnvironmentVariable << "=" << port << ":" << token << std::endl;
        while (stopRequested == 0) {
            server.PollOnce(streams != nullptr ? StreamingPollMs : PollMs);
            if (streams != nullptr) {
                streams->Run();
            }
        }
    }
    session.Finish();
}

}  // namespace

void InstallServeCommand(CLI::App& program)
{
    auto options = std::make_shared<ServeOptions>();
    CLI::App* command = program.add_subcommand(
        "serve", "Start the driver and answer the control panel's device calls over a loopback TCP connection");
    command->add_option("--registry", options->registryFile,
                        "Registry file to start the driver from and save back (created with the defaults when absent)");
    command->add_option("--stream", options->streamCable,
                        "Play a tone into this cable and record it while serving, on a clock that follows real time")
        ->check(CLI::Range(1u, 256u));
    command->add_option("--port", options->port, "TCP port on 127.0.0.1 to listen on (default: a free one)");
    command->callback([options] { RunServe(*options); });
}

}  // namespace tarnhost
