// PcNewPort: the class driver's port factory, for the two port classes the driver uses.
#include "host/internal.h"
#include "host/port_topology.h"
#include "host/port_wave_pci.h"

// Like PcNewPort: PASSIVE_LEVEL; a new port with one reference and no miniport; a class the
// stand-in does not offer is STATUS_INVALID_PARAMETER with a null port.
NTSTATUS PcNewPort(PPORT* outPort, REFCLSID classId)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcNewPort", "ports are created at PASSIVE_LEVEL");
    if (outPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *outPort = nullptr;
    if (classId == CLSID_PortWavePci) {
        *outPort = static_cast<IPortWavePci*>(host::PortWavePci::Create());
    } else if (classId == CLSID_PortTopology) {
        *outPort = static_cast<IPortTopology*>(host::PortTopology::Create());
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return *outPort != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
