// tarnhost serve: starts the driver as Windows does and answers the control panel's device calls
// over a loopback TCP connection, so the real panel (its bridge build, under Wine) drives the
// real driver logic.
//
//   tarnhost serve [--registry FILE] [--port N]
//
// It listens on 127.0.0.1 only (port N, or a free one) and prints one line on stdout:
//   TARN_BRIDGE=PORT:TOKEN
// which is what the panel's bridge build reads from its environment. A connection must present
// the token first; one that does not, or that sends anything malformed or oversized, is closed
// and the others go on. The server runs until SIGINT or SIGTERM, then closes what the panel left
// open, stops the driver and saves the registry file. Bad input exits with status 2; a driver
// that does not start, or pool left after it is unloaded, with status 1.
#include <signal.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "ctlpan/bridge_protocol.h"
#include "host/win32_device.h"

#include "bridge_server.h"
#include "command.h"
#include "driver_session.h"

namespace tarnhost {

namespace {

constexpr int PollMs = 200;

volatile sig_atomic_t stopRequested = 0;

void RequestStop(int)
{
    stopRequested = 1;
}

struct ServeOptions {
    std::string registryFile;
    uint16_t port = 0;
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
        std::cout << bridge::EnvironmentVariable << "=" << port << ":" << token << std::endl;
        while (stopRequested == 0) {
            server.PollOnce(PollMs);
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
    command->add_option("--port", options->port, "TCP port on 127.0.0.1 to listen on (default: a free one)");
    command->callback([options] { RunServe(*options); });
}

}  // namespace tarnhost
