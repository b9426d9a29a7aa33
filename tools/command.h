// What every tarnhost command shares: how it joins the program, and how it reports bad input.
#pragma once

#include <CLI/CLI.hpp>

#include <stdexcept>
#include <string>

namespace tarnhost {

// Exit status for bad input: a missing or unreadable file, an unusable format, a malformed option.
constexpr int ExitBadInput = 2;
// Exit status when the driver code misbehaved: a leak after teardown, a stream that stalled.
constexpr int ExitDriverFault = 1;

// Bad input found while a command runs. main prints the message as one line on stderr and
// exits with ExitBadInput; the command must already have removed anything it started to write.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The driver code went wrong while a command ran it. main prints the message as one line on
// stderr and exits with ExitDriverFault.
class DriverFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Adds one command to the program: its subcommand, options and the callback that runs it.
using CommandInstaller = void (*)(CLI::App& program);

void InstallConvertCommand(CLI::App& program);
void InstallCtlCommand(CLI::App& program);
void InstallDevicesCommand(CLI::App& program);
void InstallLoopCommand(CLI::App& program);
void InstallServeCommand(CLI::App& program);

}  // namespace tarnhost
