// The driver side of the private control channel: the per-open record, the create that opens the
// channel, the router that the close, cleanup and device-control hooks ask first, and the server
// of one control request. The codes and records are in shared/control_protocol.h.
#pragma once

#include "core/list.h"

class Adapter;

// One open control channel: kept in the Adapter's ControlHandles from the create of its file
// object to that file object's close; later requests find it by the file object.
struct ControlHandle {
    ListEntry Link;  // in Adapter::ControlHandles, which AdapterLock guards
    PFILE_OBJECT FileObject;
    Adapter* OwnerAdapter;  // not referenced: the adapter outlives every open handle

    static ControlHandle* FromLink(ListEntry* link) { return CONTAINING_RECORD(link, ControlHandle, Link); }
};

// A create on the device. A file name of exactly "\" and the reference string (letter case
// included) opens the channel: the request is completed, with STATUS_SUCCESS or
// STATUS_INSUFFICIENT_RESOURCES. Anything else is not the channel's: STATUS_MORE_PROCESSING_REQUIRED,
// untouched, for the class driver. Takes AdapterLock.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ControlCreate(Adapter* adapter, PIRP irp);

// Close, cleanup or device control on the device. A file object of the channel's is served here
// and the request completed with the returned status; any other gives
// STATUS_MORE_PROCESSING_REQUIRED, untouched, for the class driver. Holds AdapterLock throughout,
// so requests of every control handle are served one at a time, registry writes included.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ControlRoute(Adapter* adapter, PIRP irp);

// Serves one request on an open channel and completes it. Caller holds AdapterLock.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ControlDispatch(ControlHandle* handle, PIRP irp);
