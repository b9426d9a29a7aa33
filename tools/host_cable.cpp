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

// The wave filter's stream pins.
constexpr ULONG CapturePinId = 0;
constexpr ULONG RenderPinId = 2;

// The wave filter's pins as the miniport describes them, for a miniport that does not yet answer
// GetDescription (STATUS_NOT_IMPLEMENTED): its stream pins take any PCM the driver can handle, up
// to 20 instances each; the bridge pins are not for clients. Unused once it does.
struct FallbackWaveFilter {
    FallbackWaveFilter()
    {
        pcmRange = host::PcmDataRange(8, 8, 32, 8000, 192000);
        bridgeRange.FormatSize = sizeof(KSDATARANGE);
        bridgeRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        bridgeRange.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
        bridgeRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
        const KSPIN_DATAFLOW flows[] = {KSPIN_DATAFLOW_OUT, KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT};
        for (ULONG i = 0; i < 4; ++i) {
            const bool stream = i == CapturePinId || i == RenderPinId;
            PCPIN_DESCRIPTOR& pin = pins[i];
            pin.MaxGlobalInstanceCount = pin.MaxFilterInstanceCount = stream ? 20 : 0;
            pin.KsPinDescriptor.DataRangesCount = 1;
            pin.KsPinDescriptor.DataRanges = stream ? &pcmRangePointer : &bridgeRangePointer;
            pin.KsPinDescriptor.DataFlow = flows[i];
            pin.KsPinDescriptor.Communication = stream ? KSPIN_COMMUNICATION_SINK : KSPIN_COMMUNICATION_NONE;
            pin.KsPinDescriptor.Category = i == CapturePinId ? &PINNAME_CAPTURE : &KSCATEGORY_AUDIO;
        }
        descriptor.PinSize = sizeof(PCPIN_DESCRIPTOR);
        descriptor.PinCount = 4;
        descriptor.Pins = pins;
    }
    KSDATARANGE_AUDIO pcmRange;
    KSDATARANGE bridgeRange = {};
    PKSDATARANGE pcmRangePointer = &pcmRange.DataRange;
    PKSDATARANGE bridgeRangePointer = &bridgeRange;
    PCPIN_DESCRIPTOR pins[4] = {};
    PCFILTER_DESCRIPTOR descriptor = {};
};

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
    NTSTATUS status = port_->Init(nullptr, nullptr, static_cast<IMiniportWavePci*>(miniport_),
                                  static_cast<IAdapterPowerManagement*>(adapter_), nullptr);
    if (status == STATUS_NOT_IMPLEMENTED) {
        // The miniport ran its Init but gives no descriptor: bind it with the fallback one.
        static FallbackWaveFilter fallback;
        status = port_->BindMiniport(static_cast<IMiniportWavePci*>(miniport_), &fallback.descriptor);
    }
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
    options.pinId = capture ? CapturePinId : RenderPinId;
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
    const ULONG pinId = capture ? CapturePinId : RenderPinId;
    std::string text;
    host::PropertyReply ranges = host::QueryProperty(filter_, host::PinPropertyInput(KSPROPERTY_PIN_DATARANGES, pinId));
    if (NT_SUCCESS(ranges.status) && ranges.bytes >= sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO)) {
        KSDATARANGE_AUDIO range;
        std::memcpy(&range, ranges.value.data() + sizeof(KSMULTIPLE_ITEM), sizeof(range));
        text = "PCM " + std::to_string(range.MinimumSampleFrequency) + "-" +
               std::to_string(range.MaximumSampleFrequency) + " Hz, " + std::to_string(range.MinimumBitsPerSample) +
               "-" + std::to_string(range.MaximumBitsPerSample) + " bits, 1-" +
               std::to_string(range.MaximumChannels) + " channels";
    } else {
        text = "no PCM range it will name";
    }
    const KSDATARANGE_AUDIO anything = host::PcmDataRange(0xFFFF, 1, 0xFFFF, 1, 0xFFFFFFFF);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&anything);
    std::vector<uint8_t> proposed;
    if (NT_SUCCESS(host::ProposeFormat(filter_, pinId, {std::vector<uint8_t>(bytes, bytes + sizeof(anything))},
                                       &proposed)) &&
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
