// PnP and power: the PnP manager's side (a device node on the root bus, AddDevice, the PnP and
// power requests it sends) and the class driver's handling of those requests.
//
// Choices where the platform leaves room, kept by every test:
// - The device has no hardware resources: StartDevice gets no resource list object (null).
// - After a failed start the PnP manager removes the device, as Windows does; removal takes the
//   subdevices down. A stop leaves them registered (the filters stay reachable); a start after a
//   stop calls StartDevice again.
// - The root bus driver below the device answers IRP_MN_QUERY_INTERFACE for
//   GUID_BUS_INTERFACE_STANDARD (STATUS_SUCCESS, the interface's size and version filled in) and
//   leaves every other request it is given as it found it.
// - A system power request tells the adapter of the device state it implies (D0 for
//   PowerSystemWorking, D3 for any sleeping state), a device power request of its own state; the
//   adapter hears only of changes, and only of D0 to D3.
#include <cstring>
#include <mutex>
#include <vector>

#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

// The root bus driver's answer to a request passed down to the physical device object.
void BusAnswer(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
        stack->Parameters.QueryInterface.InterfaceType != nullptr &&
        *stack->Parameters.QueryInterface.InterfaceType == GUID_BUS_INTERFACE_STANDARD) {
        if (stack->Parameters.QueryInterface.Interface != nullptr) {
            stack->Parameters.QueryInterface.Interface->Size = stack->Parameters.QueryInterface.Size;
            stack->Parameters.QueryInterface.Interface->Version = stack->Parameters.QueryInterface.Version;
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The device power state the class driver last told the adapter of, per device (D0 at start).
std::mutex powerStateMutex;
std::vector<std::pair<PDEVICE_OBJECT, DEVICE_POWER_STATE>> devicePowerStates;

bool ChangeDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state)
{
    if (state < PowerDeviceD0 || state > PowerDeviceD3) {
        return false;
    }
    std::lock_guard<std::mutex> guard(powerStateMutex);
    for (auto& [known, current] : devicePowerStates) {
        if (known == device) {
            bool changed = current != state;
            current = state;
            return changed;
        }
    }
    devicePowerStates.emplace_back(device, state);
    return state != PowerDeviceD0;
}

void ForgetDevicePowerState(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(powerStateMutex);
    for (auto it = devicePowerStates.begin(); it != devicePowerStates.end(); ++it) {
        if (it->first == device) {
            devicePowerStates.erase(it);
            return;
        }
    }
}

void TellAdapter(PDEVICE_OBJECT device, DEVICE_POWER_STATE state)
{
    if (!ChangeDevicePowerState(device, state)) {
        return;
    }
    PADAPTERPOWERMANAGEMENT power = AdapterPowerManagement(device);
    if (power == nullptr) {
        return;
    }
    POWER_STATE newState;
    newState.DeviceState = state;
    {
        DriverCall call("IAdapterPowerManagement::PowerChangeState");
        power->PowerChangeState(newState);
    }
    power->Release();
}

}  // namespace

void ResetDevicePowerStates()
{
    std::lock_guard<std::mutex> guard(powerStateMutex);
    devicePowerStates.clear();
}

NTSTATUS ClassPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "PcDispatchIrp", "PnP requests arrive at PASSIVE_LEVEL");
    ClassDeviceInfo info;
    if (!FindClassDevice(deviceObject, &info)) {
        return Complete(irp, STATUS_NO_SUCH_DEVICE);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status;
        {
            DriverCall call("StartDevice");
            status = info.startDevice(deviceObject, irp, nullptr);
        }
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        TearDownSubdevices(deviceObject);
        ForgetDevicePowerState(deviceObject);
        DeleteClassDevice(deviceObject);
        return Complete(irp, STATUS_SUCCESS);
    default:
        // Not the class driver's business: down the stack, and the bus driver's answer stands.
        BusAnswer(irp);
        return Complete(irp, irp->IoStatus.Status);
    }
}

NTSTATUS ClassPower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        if (stack->Parameters.Power.Type == SystemPowerState) {
            state = stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
        }
        TellAdapter(deviceObject, state);
        return Complete(irp, STATUS_SUCCESS);
    }
    if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
        NTSTATUS status = STATUS_SUCCESS;
        PADAPTERPOWERMANAGEMENT power = AdapterPowerManagement(deviceObject);
        if (power != nullptr && stack->Parameters.Power.Type == DevicePowerState) {
            DriverCall call("IAdapterPowerManagement::QueryPowerChangeState");
            status = power->QueryPowerChangeState(stack->Parameters.Power.State);
        }
        if (power != nullptr) {
            power->Release();
        }
        return Complete(irp, status);
    }
    return Complete(irp, STATUS_NOT_SUPPORTED);
}

// ----------------------------------------------------------------------------------------------
// The PnP manager's side

DeviceNode::DeviceNode(DriverImage& image) : image_(image)
{
    std::memset(&physicalDevice_, 0, sizeof(physicalDevice_));
    physicalDevice_.Size = sizeof(DEVICE_OBJECT);
    physicalDevice_.StackSize = 1;
}

NTSTATUS DeviceNode::Add()
{
    PDRIVER_ADD_DEVICE addDevice = RegisteredAddDevice(image_.DriverObject());
    if (addDevice == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    DriverCall call("AddDevice");
    return addDevice(image_.DriverObject(), &physicalDevice_);
}

PDEVICE_OBJECT DeviceNode::FunctionalDevice()
{
    PDRIVER_OBJECT driver = image_.DriverObject();
    return driver == nullptr ? nullptr : driver->DeviceObject;
}

NTSTATUS DeviceNode::SendPnp(UCHAR minorFunction, const GUID* interfaceType)
{
    PDEVICE_OBJECT device = FunctionalDevice();
    if (device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    IoRequest request(IRP_MJ_PNP, minorFunction, device);
    INTERFACE answer = {};
    request.stack.Parameters.QueryInterface.InterfaceType = interfaceType;
    request.stack.Parameters.QueryInterface.Size = sizeof(INTERFACE);
    request.stack.Parameters.QueryInterface.Version = 1;
    request.stack.Parameters.QueryInterface.Interface = &answer;
    NTSTATUS status = request.Send(device);
    if (!request.completed) {
        ReportViolation("IRP_NOT_COMPLETED", "IRP_MJ_PNP", "the PnP request returned without being completed");
    }
    return status;
}

NTSTATUS DeviceNode::Start()
{
    NTSTATUS status = SendPnp(IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status) && FunctionalDevice() != nullptr) {
        SendPnp(IRP_MN_REMOVE_DEVICE);  // the PnP manager's answer to a failed start
    }
    return status;
}

NTSTATUS DeviceNode::AddAndStart()
{
    NTSTATUS status = Add();
    return NT_SUCCESS(status) ? Start() : status;
}

NTSTATUS DeviceNode::Stop()
{
    NTSTATUS status = SendPnp(IRP_MN_QUERY_STOP_DEVICE);
    return NT_SUCCESS(status) ? SendPnp(IRP_MN_STOP_DEVICE) : status;
}

NTSTATUS DeviceNode::Remove()
{
    if (FunctionalDevice() != nullptr && OpenFileCount(FunctionalDevice()) != 0) {
        return STATUS_DEVICE_BUSY;
    }
    NTSTATUS status = SendPnp(IRP_MN_QUERY_REMOVE_DEVICE);
    return NT_SUCCESS(status) ? SendPnp(IRP_MN_REMOVE_DEVICE) : status;
}

NTSTATUS DeviceNode::SendPower(UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state)
{
    PDEVICE_OBJECT device = FunctionalDevice();
    if (device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    IoRequest request(IRP_MJ_POWER, minorFunction, device);
    request.stack.Parameters.Power.Type = type;
    request.stack.Parameters.Power.State = state;
    return request.Send(device);
}

NTSTATUS DeviceNode::SetSystemPower(SYSTEM_POWER_STATE state)
{
    POWER_STATE power;
    power.SystemState = state;
    return SendPower(IRP_MN_SET_POWER, SystemPowerState, power);
}

}  // namespace host

// Like PcForwardIrpSynchronous: sends the request to the device below (here the root bus's
// physical device object) and waits for it; the answer is the request's status.
NTSTATUS PcForwardIrpSynchronous(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcForwardIrpSynchronous", "it waits, so it runs at PASSIVE_LEVEL");
    host::LogEvent("PcForwardIrpSynchronous");
    host::BusAnswer(irp);
    return irp->IoStatus.Status;
}
