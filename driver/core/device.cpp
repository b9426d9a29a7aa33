// AddDevice, StartDevice, the dispatch hooks in front of the class driver, and the small device
// services the rest of the driver uses.
#include "core/device.h"

#include "config/driver_params.h"
#include "filters/adapter.h"
#include "filters/topology_miniport.h"

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

// Create and close count every handle the class driver opens successfully; a create that is
// still pending is not counted.
NTSTATUS CreateHook(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    NTSTATUS status = PcDispatchIrp(deviceObject, irp);
    if (status == STATUS_SUCCESS) {
        InterlockedIncrement(&Driver.OpenHandles);
    }
    return status;
}

NTSTATUS CloseHook(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    NTSTATUS status = PcDispatchIrp(deviceObject, irp);
    if (status == STATUS_SUCCESS) {
        InterlockedDecrement(&Driver.OpenHandles);
    }
    return status;
}

// Device control and cleanup: the class driver's business until the control channel arrives.
NTSTATUS PassToClassDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return PcDispatchIrp(deviceObject, irp);
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
    driverObject->MajorFunction[IRP_MJ_CREATE] = CreateHook;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = CloseHook;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PassToClassDriver;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = PassToClassDriver;
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
