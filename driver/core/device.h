// The device's life in front of the class driver: AddDevice and the dispatch hooks DriverEntry
// installs over the class driver's dispatcher.
#pragma once

#include "core/driver_state.h"
#include "shared/control_protocol.h"

// Lets the class driver create the one device object and registers the control interface,
// disabled until the device starts. A second device per load of the image is refused.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);

// Puts the driver's create, close, cleanup, device-control, PnP and power hooks in front of the
// class driver's dispatcher (installed by PcInitializeAdapterDriver), and readies the hooks' count
// of open file objects. Called once, before any request can arrive.
void InstallDispatchHooks(PDRIVER_OBJECT driverObject);

// Finishes a request with `status` and `information`: a cancelled request gets no priority boost,
// any other the sound boost.
_IRQL_requires_max_(DISPATCH_LEVEL)
void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);

class TopologyMiniport;
// Disables and re-enables the KSCATEGORY_AUDIO interface of the cable's topology filter, so the
// system's audio stack reads its lines again. Of several links ending in the filter's name the
// last listed is used; with none the disable fails on the empty name and that status is returned.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReannounceTopology(TopologyMiniport* topology);
