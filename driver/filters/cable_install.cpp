// Cable installation at device start: each cable's two miniports, its settings, its two
// subdevices with PortCls and the physical connections between them.
#include "config/cable_params.h"
#include "config/driver_params.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_filter.h"
#include "filters/wave_miniport.h"

namespace {

constexpr ULONG TopologyCaptureMixPin = 0;  // the topology filter's bridge out to the wave filter
constexpr ULONG TopologyRenderInPin = 2;    // its bridge in from the wave filter

// The links between a cable's filters, registered in this order.
enum class Side { Topology, Wave };
struct PhysicalConnection {
    Side From;
    ULONG FromPin;
    Side To;
    ULONG ToPin;
};
const PhysicalConnection CableConnections[] = {
    {Side::Topology, TopologyCaptureMixPin, Side::Wave, WaveCaptureBridgePin},
    {Side::Wave, WaveRenderBridgePin, Side::Topology, TopologyRenderInPin},
    {Side::Topology, TopologyCaptureMixPin, Side::Topology, TopologyRenderInPin},
};

// Creates a port of `portClassId`, binds it to `miniport` and registers it as subdevice `name`;
// *portUnknown receives the port's IUnknown with a reference for the caller. *boundUnregistered
// tells whether the port was bound to the miniport but could not be registered.
TARN_PAGEABLE
NTSTATUS CreateSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, Adapter* adapter, PWSTR name,
                         REFCLSID portClassId, PUNKNOWN miniport, PUNKNOWN* portUnknown, bool* boundUnregistered)
{
    PAGED_CODE();
    PPORT port = NULL;
    *portUnknown = NULL;
    *boundUnregistered = false;
    NTSTATUS status = PcNewPort(&port, portClassId);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = port->Init(deviceObject, irp, miniport, static_cast<IAdapterPowerManagement*>(adapter),
                        adapter->ResourceList);
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(deviceObject, name, port);
        *boundUnregistered = !NT_SUCCESS(status);
    }
    if (NT_SUCCESS(status)) {
        status = port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(portUnknown));
    }
    port->Release();
    return status;
}

// Installs one cable already linked into the adapter's list. On failure the cable holds no
// miniport; subdevices registered before the failure stay with PortCls, which the failed start
// tears down.
TARN_PAGEABLE
NTSTATUS InstallCable(Cable* cable, PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    PUNKNOWN ports[2] = {NULL, NULL};  // indexed by Side
    bool boundUnregistered = false;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    cable->AttachWaveMiniport(WaveMiniport::Create(cable));
    if (cable->Wave == NULL) {
        goto Done;
    }
    cable->AttachTopologyMiniport(TopologyMiniport::Create(cable));
    if (cable->Topology == NULL) {
        goto Done;
    }
    // The ports' Init reads the settings: the topology builds its descriptor from the source
    // lines, the wave filter its pins from the instance limit.
    LoadCableParams(cable);
    status = CreateSubdevice(deviceObject, irp, cable->OwnerAdapter, cable->Topology->Name, CLSID_PortTopology,
                             static_cast<IMiniportTopology*>(cable->Topology), &ports[int(Side::Topology)],
                             &boundUnregistered);
    if (!NT_SUCCESS(status)) {
        goto Done;
    }
    status = CreateSubdevice(deviceObject, irp, cable->OwnerAdapter, cable->Wave->Name, CLSID_PortWavePci,
                             static_cast<IMiniportWavePci*>(cable->Wave), &ports[int(Side::Wave)],
                             &boundUnregistered);
    if (!NT_SUCCESS(status)) {
        if (boundUnregistered) {
            // The port holds the miniport and the miniport the port; no client can reach a filter
            // that was never registered, so the miniport lets go and the pair can go.
            cable->Wave->ReleasePort();
        }
        goto Done;
    }
    for (const PhysicalConnection& link : CableConnections) {
        status = PcRegisterPhysicalConnection(deviceObject, ports[int(link.From)], link.FromPin, ports[int(link.To)],
                                              link.ToPin);
        if (!NT_SUCCESS(status)) {
            goto Done;
        }
    }
Done:
    for (PUNKNOWN port : ports) {
        if (port != NULL) {
            port->Release();
        }
    }
    if (!NT_SUCCESS(status)) {
        cable->DropMiniports();
    }
    return status;
}

}  // namespace

TARN_PAGEABLE
NTSTATUS Adapter::CreateCables(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    NTSTATUS status = (Params.NumberOfCables == 0) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    for (ULONG index = 0; NT_SUCCESS(status) && index < Params.NumberOfCables; ++index) {
        Cable* cable = Cable::Create(index, this);
        if (cable == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        AddCable(cable);
        status = InstallCable(cable, deviceObject, irp);
    }
    if (!NT_SUCCESS(status)) {
        DestroyAllCables();  // no cable survives a failed start
    }
    return status;
}
