// A cable of the driver on the host platform, as the stream tests build one.
#include "host_cable.h"

#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"
#include "host/harness.h"

#include "command.h"

namespace tarnhost {

namespace {

constexpr ULONG RenderPinId = 0;
constexpr ULONG CapturePinId = 2;

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
    // Before any stream starts, so the first arming already uses it.
    miniport_->MsPerInterrupt = msPerInterrupt;
    port_ = host::PortWavePci::Create();
    port_->AllowMissingDescription(true);
    NTSTATUS status = port_->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(miniport_),
                                  static_cast<IAdapterPowerManagement*>(adapter_), nullptr);
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
    options.pinId = capture ? CapturePinId : RenderPinId;
    options.capture = capture;
    options.dataFormat = host::WaveDataFormat(format);
    std::unique_ptr<host::WaveClient> client;
    *status = host::WaveClient::Open(port_, options, &client);
    if (!NT_SUCCESS(*status)) {
        return nullptr;
    }
    clients_.push_back(std::move(client));
    return clients_.back().get();
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
