// ControlDispatch: one buffered request on an open control channel. The input arrives in the IRP's
// system buffer and the reply goes back into the same buffer, so every request copies what it
// reads out of the buffer before anything is written there.
#include "control/control_channel.h"

#include "config/cable_params.h"
#include "config/driver_params.h"
#include "config/registry_store.h"
#include "core/device.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_miniport.h"

namespace {

// Every request record over the same bytes: the input as far as it goes, zeros after. A request
// reads only the fields its length check has admitted.
union ControlRequest {
    ControlHeader Header;
    CableRequest Cable;
    CableCountRequest Count;
    CableValueRequest Value;
    CableRangeRequest Range;
};

// Which streams keep a setting from changing.
enum class BusyRule {
    None,
    Cable,   // any stream on the cable
    Driver,  // any stream on any cable
};

// One cable setting: the input it needs, the streams that keep it from changing, and the step
// that validates, applies and saves it. A step runs under AdapterLock and the cable's FormatLock,
// after the length and busy checks; it returns the request's status.
struct CableSetting {
    ULONG Function;
    ULONG MinInput;
    BusyRule Busy;
    NTSTATUS (*Step)(Cable* cable, const ControlRequest* request);
};

// The rows whose status is the apply's: the value is in effect at once, and a failed save (the
// registry keeps the old value for the next start) is not the request's failure.

TARN_PAGEABLE
NTSTATUS SetVolumeControl(Cable* cable, const ControlRequest* request)
{
    PAGED_CODE();
    const ULONG value = request->Value.Value;
    NTSTATUS status = cable->Wave->ApplyVolumeControl(value);
    if (NT_SUCCESS(status)) {
        SaveCableValue(cable, "Volume control", (value & 0xFF) != 0 ? 1 : 0);
    }
    return status;
}

TARN_PAGEABLE
NTSTATUS SetMsPerInterrupt(Cable* cable, const ControlRequest* request)
{
    PAGED_CODE();
    const ULONG value = request->Value.Value;
    NTSTATUS status = cable->Wave->ApplyMsPerInterrupt(value);
    if (NT_SUCCESS(status)) {
        SaveCableValue(cable, "Milliseconds per interrupt", value);
    }
    return status;
}

TARN_PAGEABLE
NTSTATUS SetFormatRange(Cable* cable, const ControlRequest* request)
{
    PAGED_CODE();
    FormatLimits ranges;
    ranges.MinRate = request->Range.MinSamplingRate;
    ranges.MaxRate = request->Range.MaxSamplingRate;
    ranges.MinBits = request->Range.MinBitsPerSample;
    ranges.MaxBits = request->Range.MaxBitsPerSample;
    ranges.MinChannels = request->Range.MinChannels;
    ranges.MaxChannels = request->Range.MaxChannels;
    NTSTATUS status = cable->Wave->ApplyFormatRanges(&ranges);
    if (NT_SUCCESS(status)) {
        SaveCableValue(cable, "Minimum sampling rate", ranges.MinRate);
        SaveCableValue(cable, "Maximum sampling rate", ranges.MaxRate);
        SaveCableValue(cable, "Minimum bits per sample", ranges.MinBits);
        SaveCableValue(cable, "Maximum bits per sample", ranges.MaxBits);
        SaveCableValue(cable, "Minimum number of channels", ranges.MinChannels);
        SaveCableValue(cable, "Maximum number of channels", ranges.MaxChannels);
    }
    return status;
}

TARN_PAGEABLE
NTSTATUS SetFormatLimiting(Cable* cable, const ControlRequest* request)
{
    PAGED_CODE();
    const ULONG value = request->Value.Value;
    NTSTATUS status = cable->Wave->ApplyFormatLimiting(static_cast<LONG>(value));
    if (NT_SUCCESS(status)) {
        SaveCableValue(cable, "Stream format limiting", value);
    }
    return status;
}

// In effect at once, also while streams run: the setter re-bases the cable clock when the factor
// changes, and leaves the running measurement alone when it does not.
TARN_PAGEABLE
NTSTATUS SetClockCorrection(Cable* cable, const ControlRequest* request)
{
    PAGED_CODE();
    const ULONG value = request->Value.Value;
    NTSTATUS status = cable->Wave->ApplyClockCorrection(value);
    if (NT_SUCCESS(status)) {
        SaveCableValue(cable, "Clock correction", value);
    }
    return status;
}

// The rows whose status is the save's: they complete only at the driver's next start, so a value
// that did not reach the registry is a failure, and only a saved one asks for the restart.

TARN_PAGEABLE
NTSTATUS SetMaxInstances(Cable* cable, const ControlRequest* request)
{
    PAGED_CODE();
    // Not applied: the port was given the cable's instance limit when the filter was registered.
    NTSTATUS status = SaveCableMaxInstances(cable, request->Value.Value);
    if (NT_SUCCESS(status)) {
        Driver.RestartNeeded = TRUE;
    }
    return status;
}

// The mask is stored in the topology miniport at once; a mask that could not be saved is taken
// back, so that a refused request leaves the cable as it was.
TARN_PAGEABLE
NTSTATUS SetSourceLineTypes(Cable* cable, const ControlRequest* request)
{
    PAGED_CODE();
    TopologyMiniport* topology = cable->Topology;
    const ULONG previous = topology->SourceLineTypesMask;
    const ULONG value = request->Value.Value;
    NTSTATUS status = topology->ApplySourceLineTypesMask(value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SaveCableValue(cable, "Source line types mask", value);
    if (NT_SUCCESS(status)) {
        Driver.RestartNeeded = TRUE;
    } else {
        topology->SourceLineTypesMask = previous;
    }
    return status;
}

// Saved before the system's audio stack is told: a mask that could not be saved is taken back
// (as it was, which the types mask may no longer admit) and never announced. Once announced the
// stack reads the new lines; when the announcement fails the change waits for the next start.
TARN_PAGEABLE
NTSTATUS SetConnectedSourceLines(Cable* cable, const ControlRequest* request)
{
    PAGED_CODE();
    TopologyMiniport* topology = cable->Topology;
    const ULONG previous = topology->ConnectedSourceLinesMask;
    const ULONG value = request->Value.Value;
    NTSTATUS status = topology->ApplyConnectedSourceLinesMask(value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SaveCableValue(cable, "Connected source lines mask", value);
    if (!NT_SUCCESS(status)) {
        topology->ConnectedSourceLinesMask = previous;
        return status;
    }
    if (ReannounceTopology(topology) != STATUS_SUCCESS) {
        Driver.RestartNeeded = TRUE;
    }
    return status;
}

const CableSetting CableSettings[] = {
    {CONTROL_FUNCTION(IOCTL_SET_VOLUME_CONTROL), sizeof(CableValueRequest), BusyRule::Cable, SetVolumeControl},
    {CONTROL_FUNCTION(IOCTL_SET_MS_PER_INTERRUPT), sizeof(CableValueRequest), BusyRule::Cable, SetMsPerInterrupt},
    {CONTROL_FUNCTION(IOCTL_SET_FORMAT_RANGE), sizeof(CableRangeRequest), BusyRule::Cable, SetFormatRange},
    {CONTROL_FUNCTION(IOCTL_SET_STREAM_FORMAT_LIMITING), sizeof(CableValueRequest), BusyRule::Cable,
     SetFormatLimiting},
    {CONTROL_FUNCTION(IOCTL_SET_MAX_INSTANCES), sizeof(CableValueRequest), BusyRule::Driver, SetMaxInstances},
    {CONTROL_FUNCTION(IOCTL_SET_SOURCE_LINE_TYPES), sizeof(CableValueRequest), BusyRule::Driver, SetSourceLineTypes},
    {CONTROL_FUNCTION(IOCTL_SET_CONNECTED_SOURCE_LINES), sizeof(CableValueRequest), BusyRule::Driver,
     SetConnectedSourceLines},
    {CONTROL_FUNCTION(IOCTL_SET_CLOCK_CORRECTION), sizeof(CableValueRequest), BusyRule::None, SetClockCorrection},
};

LONG ReadCounter(LONG volatile* counter)
{
    return InterlockedCompareExchange(counter, 0, 0);
}

// The cable with that index once it is fully installed, else null.
Cable* FindInstalledCable(Adapter* adapter, ULONG index)
{
    Cable* cable = adapter->FindCable(index);
    return (cable != NULL && cable->Wave != NULL && cable->Topology != NULL) ? cable : NULL;
}

ULONG CableCount(Adapter* adapter)
{
    RecursiveLock* guard = adapter->Cables.Guard();
    guard->Enter();
    ULONG count = adapter->Cables.Items().Size();
    guard->Leave();
    return count;
}

bool CableHasStreams(Cable* cable)
{
    return !cable->Wave->CaptureStreams.Streams.Items().Empty() || !cable->Wave->RenderStreams.Streams.Items().Empty();
}

// Copies the leading `length` bytes (1..sizeof record) of a reply into the system buffer.
void WriteReply(PIRP irp, const void* record, ULONG length)
{
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, record, length);
}

TARN_PAGEABLE
NTSTATUS GetDriverInfo(Adapter* adapter, PIRP irp, ULONG outputLength, ULONG_PTR* bytes)
{
    PAGED_CODE();
    DriverInfo info;
    RtlZeroMemory(&info, sizeof(info));
    info.VersionMajor = DRIVER_VERSION_MAJOR;
    info.VersionMinor = DRIVER_VERSION_MINOR;
    info.VersionRevision = DRIVER_VERSION_REVISION;
    info.VersionBuild = DRIVER_VERSION_BUILD;
    info.RestartNeeded = Driver.RestartNeeded ? 1 : 0;
    info.NumberOfCables = CableCount(adapter);
    info.OpenStreams = static_cast<ULONG>(ReadCounter(&adapter->LiveStreams));
    info.OpenHandles = static_cast<ULONG>(ReadCounter(&Driver.OpenHandles));
    WriteReply(irp, &info, outputLength);
    *bytes = outputLength;
    return STATUS_SUCCESS;
}

// Read under the cable's FormatLock, which every change of the settings, the streams and the
// cable format holds: the reply is one consistent picture of the cable, not a mix of two moments.
// The counters run on without it and are read as they stand.
TARN_PAGEABLE
NTSTATUS GetCableInfo(Cable* cable, PIRP irp, ULONG outputLength, ULONG_PTR* bytes)
{
    PAGED_CODE();
    CableInfo info;
    RtlZeroMemory(&info, sizeof(info));
    WaveMiniport* wave = cable->Wave;
    TopologyMiniport* topology = cable->Topology;
    cable->FormatLock.Enter();
    info.VolumeControl = wave->VolumeControl ? 1 : 0;
    info.MsPerInterrupt = wave->MsPerInterrupt;
    info.MaxInstances = cable->MaxInstances;
    info.MinSamplingRate = wave->MinSampleRate;
    info.MaxSamplingRate = wave->MaxSampleRate;
    info.MinBitsPerSample = wave->MinBitsPerSample;
    info.MaxBitsPerSample = wave->MaxBitsPerSample;
    info.MinChannels = wave->MinChannels;
    info.MaxChannels = wave->MaxChannels;
    info.CableFormat = wave->CableFormat;
    info.CaptureStreams = wave->CaptureStreams.Streams.Items().Size();
    info.RenderStreams = wave->RenderStreams.Streams.Items().Size();
    info.FormatLimiting = static_cast<ULONG>(wave->FormatLimiting);
    info.SourceLineTypes = topology->SourceLineTypesMask;
    info.ConnectedSourceLines = topology->ConnectedSourceLinesMask;
    info.ClockCorrection = wave->ClockCorrection;
    cable->FormatLock.Leave();
    info.CaptureOverflows = static_cast<ULONG>(ReadCounter(&cable->CaptureOverflows));
    info.RenderUnderflows = static_cast<ULONG>(ReadCounter(&cable->RenderUnderflows));
    WriteReply(irp, &info, outputLength);
    *bytes = outputLength;
    return STATUS_SUCCESS;
}

// The new number takes effect at the driver's next start; the running cables stay. Busy while any
// stream exists, whatever the number.
TARN_PAGEABLE
NTSTATUS SetNumberOfCables(Adapter* adapter, ULONG numberOfCables)
{
    PAGED_CODE();
    if (ReadCounter(&adapter->LiveStreams) != 0) {
        return STATUS_CONNECTION_IN_USE;
    }
    // A number outside 1..256 is refused, not ignored: the caller must not believe it saved.
    if (numberOfCables < MinNumberOfCables || numberOfCables > MaxNumberOfCables) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG type = REG_DWORD;
    ULONG size = sizeof(numberOfCables);
    NTSTATUS status = RegistryValue(true, NULL, "Number of cables", &type, &numberOfCables, &size);
    if (NT_SUCCESS(status)) {
        Driver.RestartNeeded = TRUE;
    }
    return status;
}

// Length, busy rule, then the setting's own step, under the cable's FormatLock, which keeps
// stream creation and format negotiation on the cable out until the change is made.
TARN_PAGEABLE
NTSTATUS SetCableSetting(Adapter* adapter, const CableSetting& setting, const ControlRequest* request,
                         ULONG inputLength)
{
    PAGED_CODE();
    Cable* cable = FindInstalledCable(adapter, request->Cable.CableIndex);
    if (cable == NULL) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    cable->FormatLock.Enter();
    NTSTATUS status = STATUS_SUCCESS;
    if (inputLength < setting.MinInput) {
        status = STATUS_INVALID_PARAMETER;
    } else if ((setting.Busy == BusyRule::Cable && CableHasStreams(cable)) ||
               (setting.Busy == BusyRule::Driver && ReadCounter(&adapter->LiveStreams) != 0)) {
        status = STATUS_CONNECTION_IN_USE;
    } else {
        status = setting.Step(cable, request);
    }
    cable->FormatLock.Leave();
    return status;
}

const CableSetting* FindCableSetting(ULONG code)
{
    for (const CableSetting& setting : CableSettings) {
        if (CONTROL_CODE(setting.Function) == code) {
            return &setting;
        }
    }
    return NULL;
}

}  // namespace

TARN_PAGEABLE
NTSTATUS ControlDispatch(ControlHandle* handle, PIRP irp)
{
    PAGED_CODE();
    Adapter* adapter = handle->OwnerAdapter;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR bytes = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        CompleteIrp(irp, status, bytes);
        return status;
    }
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ControlRequest request;
    RtlZeroMemory(&request, sizeof(request));
    if (inputLength >= sizeof(ControlHeader)) {
        RtlCopyMemory(&request, irp->AssociatedIrp.SystemBuffer,
                      inputLength < sizeof(request) ? inputLength : sizeof(request));
    }
    const CableSetting* setting = FindCableSetting(code);
    if (inputLength < sizeof(ControlHeader) || request.Header.InterfaceVersion != CONTROL_INTERFACE_VERSION) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (code == IOCTL_GET_DRIVER_INFO) {
        if (inputLength != sizeof(ControlHeader) || outputLength < 1 || outputLength > sizeof(DriverInfo)) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            status = GetDriverInfo(adapter, irp, outputLength, &bytes);
        }
    } else if (code == IOCTL_GET_CABLE_INFO) {
        Cable* cable = NULL;
        if (inputLength < sizeof(CableRequest) || outputLength < 1 || outputLength > sizeof(CableInfo)) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else if ((cable = FindInstalledCable(adapter, request.Cable.CableIndex)) == NULL) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            status = GetCableInfo(cable, irp, outputLength, &bytes);
        }
    } else if (code == IOCTL_SET_NUMBER_OF_CABLES) {
        if (inputLength < sizeof(CableCountRequest)) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            status = SetNumberOfCables(adapter, request.Count.NumberOfCables);
        }
    } else if (setting != NULL) {
        if (inputLength < sizeof(CableRequest)) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            status = SetCableSetting(adapter, *setting, &request, inputLength);
        }
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    CompleteIrp(irp, status, bytes);
    return status;
}
