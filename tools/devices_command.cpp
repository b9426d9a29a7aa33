// tarnhost devices: starts the driver as Windows does, from a registry, and lists what the
// system's sound settings would show of each cable.
//
//   tarnhost devices [--registry FILE]
//
// The registry comes from FILE (created with the driver's service keys and defaults when it does
// not exist, and saved back at exit, with whatever the driver wrote), or is a fresh default one.
// The image is loaded, DriverEntry runs, the device is added and started with PnP requests, and
// each cable's filters are opened by their subdevice names. Per cable: the render endpoint (the
// topology filter's line out) and the capture endpoint (its source lines) with their pin names,
// the formats the cable accepts now and its limiting mode, and the streams open on each pin.
// Bad input exits with status 2; a device that does not start, or pool left after the driver is
// unloaded, exits with status 1.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "core/driver_state.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_filter.h"
#include "filters/wave_miniport.h"
#include "host/harness.h"
#include "host/ks_client.h"

#include "command.h"
#include "driver_session.h"

namespace tarnhost {

namespace {

constexpr ULONG TopologyLineOutPin = 1;
constexpr ULONG TopologyFirstSourcePin = 3;

const char* const LimitingModes[] = {"0, any format the driver converts", "1, the configured range",
                                     "2, the first stream's format"};

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// A pin's name as the system shows it (KSPROPERTY_PIN_NAME), or empty.
std::string PinName(host::KsHandle* filter, ULONG pinId)
{
    host::PropertyReply name = host::QueryProperty(filter, host::PinPropertyInput(KSPROPERTY_PIN_NAME, pinId));
    if (!NT_SUCCESS(name.status) || name.value.size() < sizeof(char16_t)) {
        return {};
    }
    return Narrow(std::u16string(reinterpret_cast<const char16_t*>(name.value.data())));
}

ULONG OpenStreams(host::KsHandle* filter, ULONG pinId)
{
    host::PropertyReply reply =
        host::SendProperty(filter, host::PinPropertyInput(KSPROPERTY_PIN_CINSTANCES, pinId), sizeof(KSPIN_CINSTANCES));
    KSPIN_CINSTANCES instances = {};
    if (NT_SUCCESS(reply.status) && reply.value.size() >= sizeof(instances)) {
        std::memcpy(&instances, reply.value.data(), sizeof(instances));
    }
    return instances.CurrentCount;
}

std::string Span(ULONG low, ULONG high)
{
    return low == high ? std::to_string(low) : std::to_string(low) + "-" + std::to_string(high);
}

// Opens a filter by its subdevice name, as an application's CreateFile on its interface does.
std::unique_ptr<host::KsHandle> OpenFilter(DriverSession& session, const std::string& name)
{
    std::unique_ptr<host::KsHandle> filter;
    if (!NT_SUCCESS(host::KsHandle::OpenFilter(session.Machine().Device(), Wide(name), &filter))) {
        throw DriverFault("the started device has no filter " + name);
    }
    return filter;
}

// A node's value on channel 0 as the system reads it, or none when the node refuses.
bool NodeValue(host::KsHandle* filter, ULONG id, ULONG node, LONG* value)
{
    const ULONG channel[2] = {0, 0};
    const auto* instance = reinterpret_cast<const uint8_t*>(channel);
    host::PropertyReply reply = host::SendProperty(
        filter, host::NodePropertyInput(KSPROPSETID_Audio, id, KSPROPERTY_TYPE_GET, node,
                                        std::vector<uint8_t>(instance, instance + sizeof(channel))),
        sizeof(LONG));
    if (!NT_SUCCESS(reply.status) || reply.value.size() < sizeof(LONG)) {
        return false;
    }
    std::memcpy(value, reply.value.data(), sizeof(LONG));
    return true;
}

std::string Decibels(LONG level)
{
    if (level == static_cast<LONG>(0x80000000)) {
        return "silent";
    }
    char text[24];
    std::snprintf(text, sizeof(text), "%.2f dB", level / 65536.0);
    return text;
}

void ListCable(DriverSession& session, const Cable& cable, std::ostream& out)
{
    const ULONG number = cable.Index + 1;
    std::unique_ptr<host::KsHandle> wave = OpenFilter(session, "wave" + std::to_string(number));
    std::unique_ptr<host::KsHandle> topology = OpenFilter(session, "topo" + std::to_string(number));
    const TopologyMiniport& lines = *cable.Topology;
    out << "cable " << number << "\n";
    std::string lineOut = PinName(topology.get(), TopologyLineOutPin);
    out << "  render:  " << (lineOut.empty() ? "(unnamed line out)" : "\"" + lineOut + "\"") << ", "
        << OpenStreams(wave.get(), WaveRenderPin) << " streams open\n";
    out << "  capture: source lines";
    for (ULONG line = 1; line < lines.LineCount; ++line) {
        std::string name = PinName(topology.get(), TopologyFirstSourcePin + line - 1);
        bool connected = (lines.ConnectedSourceLinesMask >> (lines.Lines[line].Type - 1)) & 1;
        out << (line == 1 ? " " : ", ") << (name.empty() ? "(unnamed)" : "\"" + name + "\"")
            << (connected ? " (connected)" : "");
    }
    out << "; " << OpenStreams(wave.get(), WaveCapturePin) << " streams open\n";
    // The range the wave filter holds streams to now, under the cable's lock as the filter reads it.
    WaveMiniport* miniport = cable.Wave;
    FormatLimits limits;
    cable.Wave->CableOwner->FormatLock.Enter();
    miniport->GetFormatLimits(&limits);
    LONG limiting = miniport->FormatLimiting;
    cable.Wave->CableOwner->FormatLock.Leave();
    LONG level = 0;
    LONG muted = 0;
    const bool read = NodeValue(topology.get(), KSPROPERTY_AUDIO_VOLUMELEVEL, lines.Lines[0].VolumeNode, &level) &&
                      NodeValue(topology.get(), KSPROPERTY_AUDIO_MUTE, lines.Lines[0].MuteNode, &muted);
    out << "  volume:  line out " << (read ? Decibels(level) + (muted != 0 ? ", muted" : "") : "(unreadable)")
        << "; volume control " << (cable.Wave->VolumeControl != 0 ? "on" : "off") << "\n";
    out << "  formats: PCM " << Span(limits.MinRate, limits.MaxRate) << " Hz, " << Span(limits.MinBits, limits.MaxBits)
        << " bits, " << Span(limits.MinChannels, limits.MaxChannels) << " channels; limiting "
        << LimitingModes[limiting] << "\n";
}

void RunDevices(const std::string& registryFile)
{
    DriverSession session(registryFile);
    session.Boot();
    std::ostringstream listing;
    for (ListEntry* link = session.Driver().Adapter->Cables.Items().First(); link != nullptr; link = link->Next) {
        ListCable(session, *Cable::FromLink(link), listing);
    }
    session.Finish();
    std::cout << listing.str();
}

}  // namespace

void InstallDevicesCommand(CLI::App& program)
{
    CLI::App* command = program.add_subcommand(
        "devices", "Start the driver from a registry as Windows does and list each cable's endpoints");
    auto registryFile = std::make_shared<std::string>();
    command->add_option("--registry", *registryFile,
                        "Registry file to start from and save back (created with the defaults when absent)");
    command->callback([registryFile] { RunDevices(*registryFile); });
}

}  // namespace tarnhost
