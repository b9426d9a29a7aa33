// A cable of the driver on the host platform, as the stream tests build one.
#include "host_cable.h"

#include <cstring>

#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "host/harness.h"
#include "host/ks_client.h"

#include "command.h"

namespace tarnhost {

namespace {

// "8000-48000", or "2" when both ends are the same.
std::string Span(ULONG low, ULONG high)
{
    return low == high ? std::to_string(low) : std::to_string(low) + "-" + std::to_string(high);
}

}  // namespace

HostCable::HostCable(ULONG msPerInterrupt)
{
    host::ResetPlatform();
    host::SetVerifierMode(host::VerifierMode::Abort);
    adapter_ = Adapter::Create();
    cable_ = adapter_ != nullptr ? Cable::Create(0, adapter_) : nullptr;
    if (cable_ != nullptr) {
        adapter_->AddCable(cable_);  // from here on DestroyAllCables takes it down
        miniport_ = WaveMiniport::Create(cable_);
    }
    if (miniport_ == nullptr) {
        TearDown();
        throw DriverFault("cannot build the cable: out of pool");
    }
    cable_->AttachWaveMiniport(miniport_);
    // The wave miniport's own settings, which take any format the driver can convert; then the
    // period asked for, before any stream arms the timer.
    if (!NT_SUCCESS(miniport_->ApplyMsPerInterrupt(msPerInterrupt))) {
        TearDown();
        throw DriverFault("the cable refused a timer period of " + std::to_string(msPerInterrupt) + " ms");
    }
    port_ = host::PortWavePci::Create();
    NTSTATUS status = port_->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(miniport_),
                                  static_cast<IAdapterPowerManagement*>(adapter_), nullptr);
    if (NT_SUCCESS(status)) {
        status = host::KsFilter::Open(port_, &filter_);
    }
    if (!NT_SUCCESS(status)) {
        TearDown();
        throw DriverFault("the port refused the wave miniport: status " + std::to_string(status));
    }
}

HostCable::~HostCable()
{
    TearDown();
}

host::WaveClient* HostCable::Open(bool capture, const WAVEFORMATEXTENSIBLE& format, NTSTATUS* status)
{
    host::WaveClientOptions options;
    options.filter = filter_;
    options.pinId = capture ? WaveCapturePin : WaveRenderPin;
    options.dataFormat = host::WaveDataFormat(format);
    std::unique_ptr<host::WaveClient> client;
    *status = host::WaveClient::Open(port_, options, &client);
    if (!NT_SUCCESS(*status)) {
        return nullptr;
    }
    clients_.push_back(std::move(client));
    return clients_.back().get();
}

std::string HostCable::AcceptedFormats(bool capture)
{
    FormatLimits limits;
    cable_->FormatLock.Enter();
    miniport_->GetFormatLimits(&limits);
    cable_->FormatLock.Leave();
    std::string text = "PCM " + Span(limits.MinRate, limits.MaxRate) + " Hz, " + Span(limits.MinBits, limits.MaxBits) +
                       " bits, " + Span(limits.MinChannels, limits.MaxChannels) + " channels";
    // What an audio engine would be offered for a client that can take anything.
    const KSDATARANGE_AUDIO anything = host::PcmDataRange(0xFFFF, 1, 0xFFFF, 1, 0xFFFFFFFF);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&anything);
    std::vector<uint8_t> proposed;
    if (NT_SUCCESS(host::ProposeFormat(filter_, capture ? WaveCapturePin : WaveRenderPin,
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
    return InterlockedCompareExchange(&adapter_->LiveStreams, 0, 0);
}

ULONG HostCable::RenderStreams() const
{
    return miniport_->RenderStreams.Streams.Items().Size();
}

ULONG HostCable::CaptureStreams() const
{
    return miniport_->CaptureStreams.Streams.Items().Size();
}

WAVEFORMATEXTENSIBLE HostCable::CableFormat() const
{
    return miniport_->CableFormat;
}

LONG HostCable::Underflows() const
{
    return InterlockedCompareExchange(&cable_->RenderUnderflows, 0, 0);
}

LONG HostCable::Overflows() const
{
    return InterlockedCompareExchange(&cable_->CaptureOverflows, 0, 0);
}

void HostCable::TearDown()
{
    // Clients first: closing a pin steps its stream down to KSSTATE_STOP and destroys it.
    clients_.clear();
    if (filter_ != nullptr) {
        filter_->Release();
        filter_ = nullptr;
    }
    if (port_ != nullptr) {
        port_->ReleaseChildren();
        port_->Release();
        port_ = nullptr;
    }
    // The last Notify may have queued the service DPC.
    host::RunQueuedDpcs();
    if (adapter_ != nullptr) {
        adapter_->DestroyAllCables();
        adapter_->Release();
        adapter_ = nullptr;
    }
    cable_ = nullptr;
    miniport_ = nullptr;
}

}  // namespace tarnhost
