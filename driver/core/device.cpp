// AddDevice, StartDevice, the dispatch hooks in front of the class driver, and the small device
// services the rest of the driver uses.
#include "core/device.h"

#include "config/driver_params.h"
#include "control/control_channel.h"
#include "filters/adapter.h"
#include "filters/topology_miniport.h"

// One file object OpenHandles counts (see CountOpen).
struct CountedOpen {
    CountedOpen* Next;
    PFILE_OBJECT FileObject;
};

namespace {

// Opens the control interface; one that is open already stays so, which is no failure.
TARN_PAGEABLE
NTSTATUS EnableControlInterface()
{
    PAGED_CODE();
    NTSTATUS status = IoSetDeviceInterfaceState(&Driver.InterfaceLinkName, TRUE);
    return status == STATUS_OBJECT_NAME_EXISTS ? STATUS_SUCCESS : status;
}

// Builds the adapter and its cables, then opens the control interface. The adapter stays in
// DriverState after a failure past power registration; unload releases it.
//
// A second start without an unload in between (after a stop) keeps the adapter and the cables of
// the first: they are still installed with PortCls and their filters still serve clients, so the
// start only makes sure the control interface is open. If the first start failed, its adapter
// holds no cable, and the cables are created anew on it: the start is reported as a success only
// once the cables exist.
TARN_PAGEABLE
NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resourceList)
{
    PAGED_CODE();
    if (Driver.Adapter != NULL) {
        NTSTATUS status = STATUS_SUCCESS;
        if (Driver.Adapter->FindCable(0) == NULL) {
            status = Driver.Adapter->CreateCables(deviceObject, irp);
        }
        return NT_SUCCESS(status) ? EnableControlInterface() : status;
    }
    Adapter* adapter = Adapter::Create();
    if (adapter == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    adapter->DeviceObject = deviceObject;
    adapter->ResourceList = resourceList;
    adapter->DevicePowerState = PowerDeviceD0;
    NTSTATUS status = PcRegisterAdapterPowerManagement(static_cast<IAdapterPowerManagement*>(adapter), deviceObject);
    if (NT_SUCCESS(status)) {
        status = STATUS_SUCCESS;
        adapter->AddRef();
        Driver.Adapter = adapter;
        status = adapter->CreateCables(deviceObject, irp);
        if (NT_SUCCESS(status)) {
            status = EnableControlInterface();
        }
    }
    adapter->Release();
    return status;
}

// OpenHandles counts the file objects whose create the hooks saw succeed at once, and each is
// counted off at its close. A create the class driver pends is not counted, so its close must not
// be either: the hooks keep the counted file objects, and a close counts off only one of them.
// The close of a counted file object counts it off whatever the close returns, since the I/O
// manager deletes the file object after the close either way (and may reuse its address).

// Counts an open file object. Without memory for the record the open goes uncounted, and so
// will its close.
_IRQL_requires_(PASSIVE_LEVEL)
void CountOpen(PFILE_OBJECT fileObject)
{
    if (fileObject == NULL) {
        return;
    }
    CountedOpen* entry = static_cast<CountedOpen*>(PoolAlloc(sizeof(CountedOpen)));
    if (entry == NULL) {
        return;
    }
    entry->FileObject = fileObject;
    KIRQL irql;
    KeAcquireSpinLock(&Driver.OpenFilesLock, &irql);
    entry->Next = Driver.OpenFiles;
    Driver.OpenFiles = entry;
    KeReleaseSpinLock(&Driver.OpenFilesLock, irql);
    InterlockedIncrement(&Driver.OpenHandles);
}

// Counts off a file object being closed, if it was counted.
_IRQL_requires_(PASSIVE_LEVEL)
void CountClose(PFILE_OBJECT fileObject)
{
    CountedOpen* found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Driver.OpenFilesLock, &irql);
    for (CountedOpen** link = &Driver.OpenFiles; *link != NULL; link = &(*link)->Next) {
        if ((*link)->FileObject == fileObject) {
            found = *link;
            *link = found->Next;
            break;
        }
    }
    KeReleaseSpinLock(&Driver.OpenFilesLock, irql);
    if (found != NULL) {
        PoolFree(found);
        InterlockedDecrement(&Driver.OpenHandles);
    }
}

// A create that names the control channel opens it; any other goes to the class driver. The file
// object is taken before the request is passed on: a completed request is no longer the driver's
// to read.
NTSTATUS CreateHook(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS status = ControlCreate(Driver.Adapter, irp);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        status = PcDispatchIrp(deviceObject, irp);
    }
    if (status == STATUS_SUCCESS) {
        CountOpen(fileObject);
    }
    return status;
}

NTSTATUS CloseHook(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS status = ControlRoute(Driver.Adapter, irp);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        status = PcDispatchIrp(deviceObject, irp);
    }
    CountClose(fileObject);
    return status;
}

// Device control and cleanup: the control channel's own, else the class driver's.
NTSTATUS ControlHook(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    NTSTATUS status = ControlRoute(Driver.Adapter, irp);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        status = PcDispatchIrp(deviceObject, irp);
    }
    return status;
}

// The standard bus interface is answered by the bus driver below: the request goes down the
// stack first, then to the class driver.
NTSTATUS PnpHook(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
        IsEqualGUIDAligned(*stack->Parameters.QueryInterface.InterfaceType, GUID_BUS_INTERFACE_STANDARD)) {
        PcForwardIrpSynchronous(deviceObject, irp);
    }
    return PcDispatchIrp(deviceObject, irp);
}

// Back to the working state: the system timer may have been reset while asleep, so a resolution
// the cables asked for is asked for again (each request is counted and withdrawn at unload).
NTSTATUS PowerHook(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState &&
        stack->Parameters.Power.State.SystemState == PowerSystemWorking) {
        ULONG us = Driver.TimerResolutionUs;
        if (us != 0) {
            ExSetTimerResolution(us * 10, TRUE);
            InterlockedIncrement(&Driver.TimerResolutionRequests);
        }
    }
    return PcDispatchIrp(deviceObject, irp);
}

// Exact, case-sensitive comparison of two terminated wide strings.
bool SameText(PCWSTR first, PCWSTR second)
{
    while (*first != 0 && *first == *second) {
        ++first;
        ++second;
    }
    return *first == *second;
}

}  // namespace

TARN_PAGEABLE
NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject)
{
    PAGED_CODE();
    if (Driver.DeviceAdded) {
        return STATUS_DEVICE_ALREADY_ATTACHED;
    }
    Driver.PhysicalDeviceObject = physicalDeviceObject;
    // An earlier AddDevice that failed past the registration left its name: the registration
    // gives the same name in a new buffer.
    if (Driver.InterfaceLinkName.Buffer != NULL) {
        RtlFreeUnicodeString(&Driver.InterfaceLinkName);
    }
    NTSTATUS status = IoRegisterDeviceInterface(physicalDeviceObject, &GUID_CONTROL_INTERFACE_CLASS, NULL,
                                                &Driver.InterfaceLinkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // One wave and one topology subdevice per cable.
    status = PcAddAdapterDevice(driverObject, physicalDeviceObject, StartDevice, 2 * Params.NumberOfCables, 0);
    if (NT_SUCCESS(status)) {
        Driver.DeviceAdded = TRUE;
    }
    return status;
}

void InstallDispatchHooks(PDRIVER_OBJECT driverObject)
{
    // Before any request can arrive.
    KeInitializeSpinLock(&Driver.OpenFilesLock);
    Driver.OpenFiles = NULL;
    driverObject->MajorFunction[IRP_MJ_CREATE] = CreateHook;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = CloseHook;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlHook;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = ControlHook;
    driverObject->MajorFunction[IRP_MJ_PNP] = PnpHook;
    driverObject->MajorFunction[IRP_MJ_POWER] = PowerHook;
}

void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, status == STATUS_CANCELLED ? IO_NO_INCREMENT : IO_SOUND_INCREMENT);
}

// The system's audio stack reads a topology filter's jack and line state when its interface
// arrives: disabling and enabling the interface makes it read the cable's again.
TARN_PAGEABLE
NTSTATUS ReannounceTopology(TopologyMiniport* topology)
{
    PAGED_CODE();
    PWSTR links = NULL;
    NTSTATUS status = IoGetDeviceInterfaces(&KSCATEGORY_AUDIO, Driver.PhysicalDeviceObject, 0, &links);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PWSTR found = NULL;
    PWSTR link = links;
    while (*link != 0) {
        PWSTR name = NULL;  // after the last backslash
        PWSTR end = link;
        for (; *end != 0; ++end) {
            if (*end == '\\') {
                name = end + 1;
            }
        }
        if (name != NULL && SameText(name, topology->Name)) {
            found = link;  // the last match wins
        }
        link = end + 1;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, found != NULL ? found : link);  // none: the list's empty end
    status = IoSetDeviceInterfaceState(&name, FALSE);
    if (NT_SUCCESS(status)) {
        status = IoSetDeviceInterfaceState(&name, TRUE);
    }
    ExFreePool(links);
    return status;
}
