// PortCls's registration services: subdevices with their device interfaces, the physical
// connections between them, and the adapter's power-management interface.
//
// Choices where the platform leaves room (PLATFORM-NOTES 15, 16), kept by every test:
// - A subdevice's interfaces are the port type's categories (WavePci: KSCATEGORY_AUDIO, RENDER,
//   CAPTURE; Topology: KSCATEGORY_AUDIO, TOPOLOGY), registered on the physical device object with
//   the name as reference string and enabled at once. A registration that fails on the way takes
//   back the interfaces it had made.
// - PcRegisterSubdevice refuses: a device the class driver did not create, an empty name or an
//   object that is no port STATUS_INVALID_PARAMETER; a name the device has already
//   STATUS_OBJECT_NAME_COLLISION; more subdevices than PcAddAdapterDevice's MaxObjects
//   STATUS_INSUFFICIENT_RESOURCES.
// - PcRegisterPhysicalConnection needs both sides registered on the device (found by COM
//   identity); otherwise STATUS_INVALID_PARAMETER. KSPROPERTY_PIN_PHYSICALCONNECTION is answered
//   on the pins at both ends of a connection, the first registered connection of a pin winning;
//   the link named is the other filter's KSCATEGORY_AUDIO interface.
// - The class driver keeps a reference on each registered port and on the power-management
//   interface until the device is removed or the driver unloaded; then each port lets its
//   miniport go (ReleaseChildren) and is released, last registered first.
// - Requests on filter and pin file objects (PcDispatchIrp), each completed (IO_NO_INCREMENT)
//   with the status it returns: a create without RelatedFileObject opens the filter of the
//   subdevice whose name is the FileName after its leading backslash (the reference string the
//   interface path leaves); a name the device has not registered, the empty one included, is
//   STATUS_OBJECT_NAME_NOT_FOUND. A create relative to a filter's file object makes a pin from
//   FileName KSSTRING_Pin "\" followed by the KSPIN_CONNECT and the format (any other name
//   STATUS_OBJECT_NAME_NOT_FOUND; relative to a pin STATUS_INVALID_DEVICE_REQUEST). FsContext holds
//   a KsFileContext. Close closes the pin or lets the filter handle go (a file object the class
//   driver did not open: STATUS_INVALID_HANDLE); cleanup succeeds and does nothing. Device control
//   with IOCTL_KS_PROPERTY goes to the handle's property handling, Information the byte count;
//   other codes, and file objects the class driver did not open, STATUS_INVALID_DEVICE_REQUEST.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "host/harness.h"
#include "host/internal.h"
#include "host/port_topology.h"
#include "host/port_wave_pci.h"

namespace host {
namespace {

const GUID* const WaveCategories[] = {&KSCATEGORY_AUDIO, &KSCATEGORY_RENDER, &KSCATEGORY_CAPTURE};
const GUID* const TopologyCategories[] = {&KSCATEGORY_AUDIO, &KSCATEGORY_TOPOLOGY};

struct SubdeviceRecord {
    PDEVICE_OBJECT device;
    std::u16string name;
    PPORT port;          // referenced
    PUNKNOWN identity;   // the port's IUnknown, compared only
    bool wave;
    std::vector<std::u16string> links;
};

struct ConnectionRecord {
    PDEVICE_OBJECT device;
    PhysicalConnection connection;
};

struct PowerRecord {
    PDEVICE_OBJECT device;
    PADAPTERPOWERMANAGEMENT power;  // referenced
};

std::mutex subdeviceMutex;  // guards the three lists and the fault below
std::vector<SubdeviceRecord> subdevices;
std::vector<ConnectionRecord> connections;
std::vector<PowerRecord> powerRegistrations;
std::u16string failingName;
NTSTATUS failingStatus = STATUS_SUCCESS;

PUNKNOWN IdentityOf(PUNKNOWN unknown)
{
    PUNKNOWN identity = nullptr;
    if (unknown == nullptr || !NT_SUCCESS(unknown->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&identity)))) {
        return nullptr;
    }
    identity->Release();  // compared only; the caller holds the object
    return identity;
}

// The registered subdevice with this identity on the device. Under subdeviceMutex.
const SubdeviceRecord* FindByIdentity(PDEVICE_OBJECT device, PUNKNOWN identity)
{
    for (const SubdeviceRecord& record : subdevices) {
        if (record.device == device && record.identity == identity) {
            return &record;
        }
    }
    return nullptr;
}

void RemoveLinks(const std::vector<std::u16string>& links)
{
    for (const std::u16string& link : links) {
        std::u16string text = link;
        UNICODE_STRING name;
        name.Buffer = text.data();
        name.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        IoSetDeviceInterfaceState(&name, FALSE);
        RemoveDeviceInterface(link);
    }
}

// Registers and enables one interface of the subdevice; the link is added to `links`.
NTSTATUS AddLink(PDEVICE_OBJECT physicalDeviceObject, const GUID* category, PWSTR name,
                 std::vector<std::u16string>* links)
{
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, name);
    UNICODE_STRING link = {};
    NTSTATUS status = IoRegisterDeviceInterface(physicalDeviceObject, category, &reference, &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    links->emplace_back(link.Buffer, link.Length / sizeof(WCHAR));
    status = IoSetDeviceInterfaceState(&link, TRUE);
    RtlFreeUnicodeString(&link);
    return status;
}

void ReleasePort(PPORT port, bool wave)
{
    if (wave) {
        static_cast<PortWavePci*>(static_cast<IPortWavePci*>(port))->ReleaseChildren();
    } else {
        static_cast<PortTopology*>(static_cast<IPortTopology*>(port))->ReleaseChildren();
    }
    port->Release();
}

}  // namespace

void TearDownSubdevices(PDEVICE_OBJECT deviceObject)
{
    std::vector<SubdeviceRecord> gone;
    PADAPTERPOWERMANAGEMENT power = nullptr;
    {
        std::lock_guard<std::mutex> guard(subdeviceMutex);
        for (auto it = subdevices.begin(); it != subdevices.end();) {
            if (it->device == deviceObject) {
                gone.push_back(*it);
                it = subdevices.erase(it);
            } else {
                ++it;
            }
        }
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [&](const ConnectionRecord& r) { return r.device == deviceObject; }),
                          connections.end());
        for (auto it = powerRegistrations.begin(); it != powerRegistrations.end(); ++it) {
            if (it->device == deviceObject) {
                power = it->power;
                powerRegistrations.erase(it);
                break;
            }
        }
    }
    for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
        RemoveLinks(it->links);
        ReleasePort(it->port, it->wave);
    }
    if (power != nullptr) {
        DriverCall call("IAdapterPowerManagement::Release");
        power->Release();
    }
}

PADAPTERPOWERMANAGEMENT AdapterPowerManagement(PDEVICE_OBJECT deviceObject)
{
    std::lock_guard<std::mutex> guard(subdeviceMutex);
    for (const PowerRecord& record : powerRegistrations) {
        if (record.device == deviceObject) {
            record.power->AddRef();
            return record.power;
        }
    }
    return nullptr;
}

void ResetSubdevices()
{
    std::lock_guard<std::mutex> guard(subdeviceMutex);
    // What a test left registered belongs to an image that is gone: forgotten, not released.
    subdevices.clear();
    connections.clear();
    powerRegistrations.clear();
    failingName.clear();
    failingStatus = STATUS_SUCCESS;
}

std::vector<Subdevice> RegisteredSubdevices(PDEVICE_OBJECT deviceObject)
{
    std::lock_guard<std::mutex> guard(subdeviceMutex);
    std::vector<Subdevice> found;
    for (const SubdeviceRecord& record : subdevices) {
        if (record.device == deviceObject) {
            found.push_back({record.name, record.wave, record.links});
        }
    }
    return found;
}

bool FindPhysicalConnection(PUNKNOWN port, ULONG pinId, std::u16string* link, ULONG* pin)
{
    PUNKNOWN portIdentity = IdentityOf(port);
    std::lock_guard<std::mutex> guard(subdeviceMutex);
    auto record = std::find_if(subdevices.begin(), subdevices.end(),
                               [&](const SubdeviceRecord& candidate) { return candidate.identity == portIdentity; });
    if (portIdentity == nullptr || record == subdevices.end()) {
        return false;
    }
    for (const ConnectionRecord& entry : connections) {
        const PhysicalConnection& wire = entry.connection;
        if (entry.device != record->device) {
            continue;
        }
        const std::u16string* other = nullptr;
        if (wire.fromName == record->name && wire.fromPin == pinId) {
            other = &wire.toName;
            *pin = wire.toPin;
        } else if (wire.toName == record->name && wire.toPin == pinId) {
            other = &wire.fromName;
            *pin = wire.fromPin;
        }
        if (other == nullptr) {
            continue;
        }
        for (const SubdeviceRecord& candidate : subdevices) {
            if (candidate.device == record->device && candidate.name == *other && !candidate.links.empty()) {
                *link = candidate.links.front();
                return true;
            }
        }
    }
    return false;
}

std::vector<PhysicalConnection> PhysicalConnections(PDEVICE_OBJECT deviceObject)
{
    std::lock_guard<std::mutex> guard(subdeviceMutex);
    std::vector<PhysicalConnection> found;
    for (const ConnectionRecord& record : connections) {
        if (record.device == deviceObject) {
            found.push_back(record.connection);
        }
    }
    return found;
}

ULONG MaxSubdevices(PDEVICE_OBJECT deviceObject)
{
    ClassDeviceInfo info;
    return FindClassDevice(deviceObject, &info) ? info.maxObjects : 0;
}

namespace {

// The port behind a registered subdevice of `device` (every device when null), referenced for the
// caller; null when no such name is registered.
FilterPort* FindFilterPort(PDEVICE_OBJECT device, const std::u16string& name, PPORT* port)
{
    std::lock_guard<std::mutex> guard(subdeviceMutex);
    for (const SubdeviceRecord& record : subdevices) {
        if (record.name == name && (device == nullptr || record.device == device)) {
            *port = record.port;
            record.port->AddRef();
            return record.wave
                       ? static_cast<FilterPort*>(static_cast<PortWavePci*>(static_cast<IPortWavePci*>(record.port)))
                       : static_cast<FilterPort*>(static_cast<PortTopology*>(static_cast<IPortTopology*>(record.port)));
        }
    }
    *port = nullptr;
    return nullptr;
}

}  // namespace

NTSTATUS OpenFilter(const std::u16string& name, KsFilter** filter)
{
    *filter = nullptr;
    PPORT port = nullptr;
    FilterPort* filterPort = FindFilterPort(nullptr, name, &port);
    if (filterPort == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    NTSTATUS status = KsFilter::Open(filterPort, filter);
    port->Release();  // the filter handle holds its own
    return status;
}

namespace {

NTSTATUS CompleteFileRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The characters of a UNICODE_STRING without a leading backslash.
std::u16string RelativeName(const UNICODE_STRING& name)
{
    std::u16string text(name.Buffer == nullptr ? u"" : std::u16string(name.Buffer, name.Length / sizeof(WCHAR)));
    return !text.empty() && text[0] == u'\\' ? text.substr(1) : text;
}

NTSTATUS CreateFilterHandle(PDEVICE_OBJECT device, PFILE_OBJECT file)
{
    PPORT port = nullptr;
    FilterPort* filterPort = FindFilterPort(device, RelativeName(file->FileName), &port);
    if (filterPort == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    KsFilter* filter = nullptr;
    NTSTATUS status = KsFilter::Open(filterPort, &filter);
    port->Release();  // the filter handle holds its own
    if (NT_SUCCESS(status)) {
        file->FsContext = new KsFileContext{filter, nullptr};
    }
    return status;
}

// A pin's name: KSSTRING_Pin and a backslash, then the KSPIN_CONNECT and the format.
NTSTATUS CreatePinHandle(PFILE_OBJECT file)
{
    auto* parent = static_cast<KsFileContext*>(file->RelatedFileObject->FsContext);
    if (parent == nullptr || parent->pin != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // only a filter makes pins
    }
    const std::u16string prefix = std::u16string(KSSTRING_Pin) + u"\\";
    const UNICODE_STRING& name = file->FileName;
    const WCHAR* text = name.Buffer;
    size_t chars = name.Buffer == nullptr ? 0 : name.Length / sizeof(WCHAR);
    if (chars > 0 && text[0] == u'\\') {
        ++text;
        --chars;
    }
    if (chars < prefix.size() || std::u16string(text, prefix.size()) != prefix) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const auto* connect = reinterpret_cast<const uint8_t*>(text + prefix.size());
    const ULONG connectSize = static_cast<ULONG>((chars - prefix.size()) * sizeof(WCHAR));
    WavePciPin* pin = nullptr;
    NTSTATUS status = parent->filter->CreatePin(connect, connectSize, &pin);
    if (NT_SUCCESS(status)) {
        file->FsContext = new KsFileContext{nullptr, pin};
    }
    return status;
}

NTSTATUS CloseHandleContext(PFILE_OBJECT file)
{
    auto* context = static_cast<KsFileContext*>(file->FsContext);
    if (context == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    file->FsContext = nullptr;
    if (context->pin != nullptr) {
        context->pin->Close();
        context->pin->Release();
    } else {
        context->filter->Release();
    }
    delete context;
    return STATUS_SUCCESS;
}

NTSTATUS PropertyRequest(PFILE_OBJECT file, PIRP irp, ULONG* bytes)
{
    auto* context = static_cast<KsFileContext*>(file->FsContext);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (context == nullptr || stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_KS_PROPERTY) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    KsPropertyBuffers buffers;
    buffers.input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    buffers.inputSize = stack->Parameters.DeviceIoControl.InputBufferLength;
    buffers.output = irp->UserBuffer;
    buffers.outputSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    buffers.irp = irp;
    return context->pin != nullptr ? context->pin->Property(buffers, bytes) : context->filter->Property(buffers, bytes);
}

}  // namespace

NTSTATUS ClassFileRequest(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "PcDispatchIrp", "file requests arrive at PASSIVE_LEVEL");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    if (file == nullptr) {
        return CompleteFileRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
        NTSTATUS status =
            file->RelatedFileObject != nullptr ? CreatePinHandle(file) : CreateFilterHandle(deviceObject, file);
        return CompleteFileRequest(irp, status, 0);
    }
    case IRP_MJ_CLOSE:
        return CompleteFileRequest(irp, CloseHandleContext(file), 0);
    case IRP_MJ_CLEANUP:
        return CompleteFileRequest(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG bytes = 0;
        NTSTATUS status = PropertyRequest(file, irp, &bytes);
        return CompleteFileRequest(irp, status, bytes);
    }
    default:
        return CompleteFileRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

void FailSubdeviceRegistration(const std::u16string& name, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(subdeviceMutex);
    failingName = name;
    failingStatus = status;
}

}  // namespace host

// Like PcRegisterSubdevice: registers the port's filter under `name` on the device; its
// interfaces carry the name as reference string and are enabled at once.
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT deviceObject, PWSTR name, PUNKNOWN unknown)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterSubdevice", "it runs at PASSIVE_LEVEL only");
    host::ClassDeviceInfo info;
    if (deviceObject == nullptr || !host::FindClassDevice(deviceObject, &info) || name == nullptr || name[0] == 0 ||
        unknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string subdeviceName(name);
    PPORT port = nullptr;
    bool wave = false;
    if (NT_SUCCESS(unknown->QueryInterface(IID_IPortWavePci, reinterpret_cast<PVOID*>(&port)))) {
        wave = true;
    } else if (!NT_SUCCESS(unknown->QueryInterface(IID_IPortTopology, reinterpret_cast<PVOID*>(&port)))) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(host::subdeviceMutex);
        ULONG registered = 0;
        for (const host::SubdeviceRecord& record : host::subdevices) {
            if (record.device != deviceObject) {
                continue;
            }
            ++registered;
            if (record.name == subdeviceName) {
                status = STATUS_OBJECT_NAME_COLLISION;
            }
        }
        if (NT_SUCCESS(status) && registered >= info.maxObjects) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        if (NT_SUCCESS(status) && !host::failingName.empty() && host::failingName == subdeviceName) {
            status = host::failingStatus;
        }
    }
    std::vector<std::u16string> links;
    if (NT_SUCCESS(status)) {
        const GUID* const* categories = wave ? host::WaveCategories : host::TopologyCategories;
        size_t count = wave ? std::size(host::WaveCategories) : std::size(host::TopologyCategories);
        for (size_t i = 0; i < count && NT_SUCCESS(status); ++i) {
            status = host::AddLink(info.physicalDeviceObject, categories[i], name, &links);
        }
    }
    if (!NT_SUCCESS(status)) {
        host::RemoveLinks(links);
        port->Release();
        return status;
    }
    std::lock_guard<std::mutex> guard(host::subdeviceMutex);
    host::subdevices.push_back({deviceObject, subdeviceName, port, host::IdentityOf(port), wave, links});
    return STATUS_SUCCESS;
}

// Like PcRegisterPhysicalConnection: records that a pin of one registered subdevice of the device
// is wired to a pin of another (or the same), so the filters can report the link.
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown, ULONG fromPin,
                                      PUNKNOWN toUnknown, ULONG toPin)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterPhysicalConnection", "it runs at PASSIVE_LEVEL only");
    PUNKNOWN from = host::IdentityOf(fromUnknown);
    PUNKNOWN to = host::IdentityOf(toUnknown);
    std::lock_guard<std::mutex> guard(host::subdeviceMutex);
    const host::SubdeviceRecord* fromRecord = host::FindByIdentity(deviceObject, from);
    const host::SubdeviceRecord* toRecord = host::FindByIdentity(deviceObject, to);
    if (from == nullptr || to == nullptr || fromRecord == nullptr || toRecord == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    host::connections.push_back({deviceObject, {fromRecord->name, fromPin, toRecord->name, toPin}});
    return STATUS_SUCCESS;
}

// Like PcRegisterAdapterPowerManagement: the class driver asks the object for
// IAdapterPowerManagement and keeps it, to tell the adapter of device power changes. `context` is
// the device object.
NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PVOID context)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterAdapterPowerManagement", "it runs at PASSIVE_LEVEL only");
    auto device = static_cast<PDEVICE_OBJECT>(context);
    host::ClassDeviceInfo info;
    if (unknown == nullptr || device == nullptr || !host::FindClassDevice(device, &info)) {
        return STATUS_INVALID_PARAMETER;
    }
    PADAPTERPOWERMANAGEMENT power = nullptr;
    NTSTATUS status = unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PADAPTERPOWERMANAGEMENT previous = nullptr;
    {
        std::lock_guard<std::mutex> guard(host::subdeviceMutex);
        for (host::PowerRecord& record : host::powerRegistrations) {
            if (record.device == device) {
                previous = record.power;  // a new registration replaces the last
                record.power = power;
            }
        }
        if (previous == nullptr) {
            host::powerRegistrations.push_back({device, power});
        }
    }
    if (previous != nullptr) {
        previous->Release();
    }
    return STATUS_SUCCESS;
}
