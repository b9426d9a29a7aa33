// tarnhost: the command-line program of the host build. Each command is a subcommand that
// installs itself from the table below.
#include <cstdio>
#include <iostream>
#include <string>

#include "command.h"

namespace {

constexpr tarnhost::CommandInstaller Commands[] = {
    tarnhost::InstallConvertCommand,
    tarnhost::InstallCtlCommand,
    tarnhost::InstallDevicesCommand,
    tarnhost::InstallLoopCommand,
    tarnhost::InstallServeCommand,
};

// Error texts on one line, as scripts and tests read them.
std::string OneLine(std::string text)
{
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App program{"tarnhost: runs Tarn's driver code on the host", "tarnhost"};
    program.require_subcommand(1);
    for (tarnhost::CommandInstaller install : Commands) {
        install(program);
    }

    try {
        program.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << program.help();
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << program.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::ParseError& error) {
        std::cerr << "tarnhost: " << OneLine(error.what()) << "\n";
        return tarnhost::ExitBadInput;
    } catch (const tarnhost::InputError& error) {
        std::cerr << "tarnhost: " << OneLine(error.what()) << "\n";
        return tarnhost::ExitBadInput;
    } catch (const tarnhost::DriverFault& error) {
        std::cerr << "tarnhost: " << OneLine(error.what()) << "\n";
        return tarnhost::ExitDriverFault;
    }
    return 0;
}
