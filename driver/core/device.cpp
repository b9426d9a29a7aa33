// AddDevice and the dispatch hooks in front of the class driver.
#include "core/device.h"

#include "config/driver_params.h"

namespace {

// Device start: the adapter and its cables are built here once the cable objects exist; until
// then the device refuses to start.
NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resourceList)
{
    return STATUS_NOT_IMPLEMENTED;
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

// Device control, cleanup, PnP and power: the class driver's business until the control
// channel and the power handling arrive.
NTSTATUS PassToClassDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return PcDispatchIrp(deviceObject, irp);
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
    driverObject->MajorFunction[IRP_MJ_PNP] = PassToClassDriver;
    driverObject->MajorFunction[IRP_MJ_POWER] = PassToClassDriver;
}
