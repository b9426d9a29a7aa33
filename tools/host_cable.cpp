// A cable of the driver on the host platform, as the stream tests build one.
#include "host_cable.h"

#include <cstdio>
#include <cstring>

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

// "8000-48000", or "2" when both ends are the same.
std::string Span(ULONG low, ULONG high)
{
    return low == high ? std::to_string(low) : std::to_string(low) + "-" + std::to_string(high);
}

}  // namespace

HostCable::HostCable(DriverSession& session, ULONG number) : session_(session), cable_(session.FindCable(number))
{
    const std::string name = "wave" + std::to_string(number);
    NTSTATUS status = host::KsHandle::OpenFilter(session_.Machine().Device(), std::u16string(name.begin(), name.end()), &filter_);
    if (!NT_SUCCESS(status)) {
        throw DriverFault("the started device did not open its filter " + name + ": status " + std::to_string(status));
    }
}

namespace {

constexpr ULONG AllChannels = 0xFFFFFFFF;

// A node request on channel `channel` with a 4-byte value.
void SetNode(host::KsHandle* handle, ULONG id, ULONG node, LONG value, const std::string& what)
{
    const ULONG channel[2] = {AllChannels, 0};
    const auto* instance = reinterpret_cast<const uint8_t*>(channel);
    std::vector<uint8_t> bytes(sizeof(value));
    std::memcpy(bytes.data(), &value, sizeof(value));
    host::PropertyReply reply = host::SetProperty(
        handle, host::NodePropertyInput(KSPROPSETID_Audio, id, KSPROPERTY_TYPE_SET, node,
                                        std::vector<uint8_t>(instance, instance + sizeof(channel))),
        bytes);
    if (!NT_SUCCESS(reply.status)) {
        char status[16];
        std::snprintf(status, sizeof(status), "0x%08X", static_cast<unsigned>(reply.status));
        throw InputError("the cable refused " + what + " (status " + status + ")");
    }
}

}  // namespace

void HostCable::SetLineOut(LONG level, bool mute)
{
    if (topology_ == nullptr) {
        const std::string name = "topo" + std::to_string(cable_.Index + 1);
        if (!NT_SUCCESS(host::KsHandle::OpenFilter(session_.Machine().Device(),
                                                   std::u16string(name.begin(), name.end()), &topology_))) {
            throw DriverFault("the started device did not open its filter " + name);
        }
    }
    const TopologyLine& lineOut = cable_.Topology->Lines[0];
    SetNode(topology_.get(), KSPROPERTY_AUDIO_VOLUMELEVEL, lineOut.VolumeNode, level, "the line-out volume");
    SetNode(topology_.get(), KSPROPERTY_AUDIO_MUTE, lineOut.MuteNode, mute ? 1 : 0, "the line-out mute");
}

void HostCable::SetStreamVolume(host::WaveClient* client, LONG level)
{
    SetNode(client->PinHandle(), KSPROPERTY_AUDIO_VOLUMELEVEL, WaveVolumeNode, level, "a stream's volume");
}

bool HostCable::VolumeControl() const
{
    return cable_.Wave->VolumeControl != 0;
}

HostCable::~HostCable()
{
    TearDown();
}

host::WaveClient* HostCable::Open(bool capture, const WAVEFORMATEXTENSIBLE& format, NTSTATUS* status)
{
    host::WaveClientOptions options;
    options.filterHandle = filter_.get();
    options.pinId = capture ? WaveCapturePin : WaveRenderPin;
    options.dataFormat = host::WaveDataFormat(format);
    std::unique_ptr<host::WaveClient> client;
    *status = host::WaveClient::Open(nullptr, options, &client);
    if (!NT_SUCCESS(*status)) {
        return nullptr;
    }
    clients_.push_back(std::move(client));
    return clients_.back().get();
}

std::string HostCable::AcceptedFormats(bool capture)
{
    FormatLimits limits;
    cable_.FormatLock.Enter();
    cable_.Wave->GetFormatLimits(&limits);
    cable_.FormatLock.Leave();
    std::string text = "PCM " + Span(limits.MinRate, limits.MaxRate) + " Hz, " + Span(limits.MinBits, limits.MaxBits) +
                       " bits, " + Span(limits.MinChannels, limits.MaxChannels) + " channels";
    // What an audio engine would be offered for a client that can take anything.
    const KSDATARANGE_AUDIO anything = host::PcmDataRange(0xFFFF, 1, 0xFFFF, 1, 0xFFFFFFFF);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&anything);
    std::vector<uint8_t> proposed;
    if (NT_SUCCESS(host::ProposeFormat(filter_->Filter(), capture ? WaveCapturePin : WaveRenderPin,
                                       {std::vector<uint8_t>(bytes, bytes + sizeof(anything))}, &proposed)) &&
        proposed.size() >= sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE)) {
        WAVEFORMATEXTENSIBLE format;
        std::memcpy(&format, proposed.data() + sizeof(KSDATAFORMAT), sizeof(format));
        text += "; it proposes " + std::to_string(format.Format.nSamplesPerSec) + " Hz " +
                std::to_string(format.Samples.wValidBitsPerSample) + "-bit " + std::to_string(format.Format.nChannels) +
                " ch";
    }
    return text;
}

std::vector<host::WaveClient*> HostCable::Clients() const
{
    std::vector<host::WaveClient*> clients;
    for (const std::unique_ptr<host::WaveClient>& client : clients_) {
        clients.push_back(client.get());
    }
    return clients;
}

LONG HostCable::LiveStreams() const
{
    return InterlockedCompareExchange(&session_.Driver().Adapter->LiveStreams, 0, 0);
}

ULONG HostCable::RenderStreams() const
{
    return cable_.Wave->RenderStreams.Streams.Items().Size();
}

ULONG HostCable::CaptureStreams() const
{
    return cable_.Wave->CaptureStreams.Streams.Items().Size();
}

WAVEFORMATEXTENSIBLE HostCable::CableFormat() const
{
    return cable_.Wave->CableFormat;
}

LONG HostCable::Underflows() const
{
    return InterlockedCompareExchange(&cable_.RenderUnderflows, 0, 0);
}

double HostCable::FramesPerSecond() const
{
    const WaveMiniport& wave = *cable_.Wave;
    const ULONGLONG now = KeQueryInterruptTime();
    if (wave.CableFormat.Format.nBlockAlign == 0 || now <= wave.StartTime) {
        return 0;
    }
    const double frames = static_cast<double>(wave.ProcessedBytes) / wave.CableFormat.Format.nBlockAlign;
    return frames * 1e7 / static_cast<double>(now - wave.StartTime);
}

LONG HostCable::Overflows() const
{
    return InterlockedCompareExchange(&cable_.CaptureOverflows, 0, 0);
}

void HostCable::TearDown()
{
    // Clients first: closing a pin steps its stream down to KSSTATE_STOP and destroys it.
    clients_.clear();
    filter_.reset();
    topology_.reset();
    // The last Notify may have queued the service DPC.
    host::RunQueuedDpcs();
}

}  // namespace tarnhost
