// A port's filter: the descriptor copy taken at IPort::Init, filter handles with their instance
// counts, the pin factory's checks, and the routing of property requests to automation tables.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "host/harness.h"
#include "host/internal.h"
#include "host/port_filter.h"
#include "port_pool.h"

namespace host {

namespace {

bool ReportBadDescriptor(const std::string& detail)
{
    ReportViolation("INVALID_FILTER_DESCRIPTOR", "IMiniport::GetDescription", detail);
    return false;
}

// A table's items are read with its own stride, which must hold a PCPROPERTY_ITEM.
bool TableUsable(const PCAUTOMATION_TABLE* table, const std::string& owner)
{
    if (table == nullptr || table->PropertyCount == 0) {
        return true;
    }
    if (table->Properties == nullptr) {
        return ReportBadDescriptor(owner + "'s automation table lists properties but no array");
    }
    if (table->PropertyItemSize < sizeof(PCPROPERTY_ITEM)) {
        return ReportBadDescriptor(owner + "'s automation table has PropertyItemSize " +
                                   std::to_string(table->PropertyItemSize) + ", less than a PCPROPERTY_ITEM (" +
                                   std::to_string(sizeof(PCPROPERTY_ITEM)) + " bytes); use sizeof(PCPROPERTY_ITEM)");
    }
    return true;
}

const PCPROPERTY_ITEM* FindItem(const PCAUTOMATION_TABLE* table, const KSPROPERTY& property)
{
    if (table == nullptr) {
        return nullptr;
    }
    const auto* bytes = reinterpret_cast<const UCHAR*>(table->Properties);
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const auto* item = reinterpret_cast<const PCPROPERTY_ITEM*>(bytes + size_t{i} * table->PropertyItemSize);
        if (item->Set != nullptr && *item->Set == property.Set && item->Id == property.Id) {
            return item;
        }
    }
    return nullptr;
}

constexpr ULONG VerbMask = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// Basic support for an item whose handler does not give it: the access flags, or a description.
NTSTATUS BasicSupportFromFlags(const PCPROPERTY_ITEM& item, PUCHAR value, ULONG* valueSize)
{
    const ULONG access = item.Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
    if (*valueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
        KSPROPERTY_DESCRIPTION description = {};
        description.AccessFlags = access;
        description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
        std::memcpy(value, &description, sizeof(description));
        *valueSize = sizeof(description);
        return STATUS_SUCCESS;
    }
    if (*valueSize == sizeof(ULONG)) {
        std::memcpy(value, &access, sizeof(access));
        return STATUS_SUCCESS;
    }
    if (*valueSize == 0) {
        *valueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_BUFFER_OVERFLOW;
    }
    *valueSize = 0;
    return STATUS_BUFFER_TOO_SMALL;
}

}  // namespace

FilterSide::FilterSide(const GUID* const* defaultCategories, ULONG defaultCategoryCount)
    : defaultCategories_(defaultCategories), defaultCategoryCount_(defaultCategoryCount)
{
}

FilterSide::~FilterSide()
{
    Forget();
}

NTSTATUS FilterSide::TakeDescriptor(PMINIPORT miniport)
{
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status;
    {
        DriverCall call("IMiniport::GetDescription");
        status = miniport->GetDescription(&descriptor);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return UseDescriptor(miniport, descriptor);
}

NTSTATUS FilterSide::UseDescriptor(PMINIPORT miniport, const PCFILTER_DESCRIPTOR* descriptor)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IPort::Init", "ports are initialised at PASSIVE_LEVEL");
    if (descriptor == nullptr) {
        ReportBadDescriptor("GetDescription succeeded but gave no descriptor");
        return STATUS_INVALID_PARAMETER;
    }
    const PCFILTER_DESCRIPTOR& d = *descriptor;
    bool usable = TableUsable(d.AutomationTable, "the filter");
    if (d.PinCount != 0 && (d.Pins == nullptr || d.PinSize < sizeof(PCPIN_DESCRIPTOR))) {
        usable = ReportBadDescriptor("PinSize " + std::to_string(d.PinSize) + " with " + std::to_string(d.PinCount) +
                                     " pins: the pin table must be an array of PCPIN_DESCRIPTOR (" +
                                     std::to_string(sizeof(PCPIN_DESCRIPTOR)) + " bytes); use sizeof");
    }
    if (d.NodeCount != 0 && (d.Nodes == nullptr || d.NodeSize < sizeof(PCNODE_DESCRIPTOR))) {
        usable = ReportBadDescriptor("NodeSize " + std::to_string(d.NodeSize) + " with " +
                                     std::to_string(d.NodeCount) + " nodes: the node table must be an array of "
                                     "PCNODE_DESCRIPTOR (" + std::to_string(sizeof(PCNODE_DESCRIPTOR)) +
                                     " bytes); use sizeof");
    }
    if ((d.ConnectionCount != 0 && d.Connections == nullptr) || (d.CategoryCount != 0 && d.Categories == nullptr)) {
        usable = ReportBadDescriptor("a connection or category count without its array");
    }
    if (!usable) {
        return STATUS_INVALID_PARAMETER;
    }
    auto pinAt = [&d](ULONG i) {
        return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d.Pins) + size_t{i} * d.PinSize);
    };
    auto nodeAt = [&d](ULONG i) {
        return reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d.Nodes) +
                                                          size_t{i} * d.NodeSize);
    };
    for (ULONG i = 0; i < d.PinCount && usable; ++i) {
        const PCPIN_DESCRIPTOR* pin = pinAt(i);
        usable = TableUsable(pin->AutomationTable, "pin " + std::to_string(i));
        if (pin->KsPinDescriptor.DataRangesCount != 0 && pin->KsPinDescriptor.DataRanges == nullptr) {
            usable = ReportBadDescriptor("pin " + std::to_string(i) + " counts data ranges but has no array");
        }
    }
    for (ULONG i = 0; i < d.NodeCount && usable; ++i) {
        usable = TableUsable(nodeAt(i)->AutomationTable, "node " + std::to_string(i));
    }
    for (ULONG i = 0; i < d.ConnectionCount && usable; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = d.Connections[i];
        auto endOk = [&d](ULONG node, ULONG pin) { return node == PCFILTER_NODE ? pin < d.PinCount : node < d.NodeCount; };
        if (!endOk(c.FromNode, c.FromNodePin) || !endOk(c.ToNode, c.ToNodePin)) {
            usable = ReportBadDescriptor("connection " + std::to_string(i) + " names a node or filter pin the "
                                         "descriptor does not have");
        }
    }
    if (!usable) {
        return STATUS_INVALID_PARAMETER;
    }

    Forget();
    if (d.PinCount != 0) {
        const size_t bytes = size_t{d.PinCount} * (sizeof(PCPIN_DESCRIPTOR) + sizeof(ULONG));
        pins_ = static_cast<PCPIN_DESCRIPTOR*>(PortAllocate(bytes));
        if (pins_ == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        globalInstances_ = reinterpret_cast<ULONG*>(pins_ + d.PinCount);
        for (ULONG i = 0; i < d.PinCount; ++i) {
            std::memcpy(&pins_[i], pinAt(i), sizeof(PCPIN_DESCRIPTOR));
            globalInstances_[i] = 0;
        }
    }
    descriptor_ = d;
    descriptor_.PinSize = sizeof(PCPIN_DESCRIPTOR);
    descriptor_.Pins = pins_;
    miniport_ = miniport;
    bound_ = true;
    return STATUS_SUCCESS;
}

void FilterSide::Forget()
{
    if (pins_ != nullptr) {
        PortFree(pins_);
    }
    pins_ = nullptr;
    globalInstances_ = nullptr;
    descriptor_ = {};
    miniport_ = nullptr;
    bound_ = false;
}

const PCPIN_DESCRIPTOR* FilterSide::Pin(ULONG pinId) const
{
    return bound_ && pinId < descriptor_.PinCount ? &pins_[pinId] : nullptr;
}

const PCNODE_DESCRIPTOR* FilterSide::Node(ULONG nodeId) const
{
    if (!bound_ || nodeId >= descriptor_.NodeCount) {
        return nullptr;
    }
    return reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(descriptor_.Nodes) +
                                                      size_t{nodeId} * descriptor_.NodeSize);
}

ULONG FilterSide::GlobalInstances(ULONG pinId) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return bound_ && pinId < descriptor_.PinCount ? globalInstances_[pinId] : 0;
}

bool FilterSide::ReserveGlobal(ULONG pinId)
{
    const ULONG limit = pins_[pinId].MaxGlobalInstanceCount;
    if (limit != ULONG(-1) && globalInstances_[pinId] >= limit) {
        return false;
    }
    ++globalInstances_[pinId];
    return true;
}

void FilterSide::ReleaseGlobal(ULONG pinId)
{
    --globalInstances_[pinId];
}

// Double-buffered as KS does it: the handlers see aligned copies of exactly the client's sizes.
NTSTATUS FilterSide::Property(const KsPropertyBuffers& buffers, KsFilter* filter, PUNKNOWN stream, ULONG pinId,
                              ULONG* bytesReturned)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IOCTL_KS_PROPERTY", "property requests arrive at PASSIVE_LEVEL");
    *bytesReturned = 0;
    if (!bound_) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (buffers.input == nullptr || buffers.inputSize < sizeof(KSPROPERTY)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (buffers.output == nullptr && buffers.outputSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_ptr<UCHAR[]> input(new UCHAR[buffers.inputSize]);
    std::memcpy(input.get(), buffers.input, buffers.inputSize);
    std::unique_ptr<UCHAR[]> value(buffers.outputSize != 0 ? new UCHAR[buffers.outputSize] : nullptr);
    KSPROPERTY property;
    std::memcpy(&property, input.get(), sizeof(property));
    // A set request's value is the caller's buffer: it travels to the handler, as KS copies it.
    if ((property.Flags & KSPROPERTY_TYPE_SET) != 0 && buffers.outputSize != 0) {
        std::memcpy(value.get(), buffers.output, buffers.outputSize);
    }
    ULONG valueSize = buffers.outputSize;
    bool handled = false;
    NTSTATUS status;
    if ((property.Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0) {
        if (buffers.inputSize < sizeof(KSP_NODE)) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        KSP_NODE nodeProperty;
        std::memcpy(&nodeProperty, input.get(), sizeof(nodeProperty));
        const PCNODE_DESCRIPTOR* node = Node(nodeProperty.NodeId);
        if (node == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        status = Route(node->AutomationTable, property, nodeProperty.NodeId, stream, sizeof(KSP_NODE), input.get(),
                       buffers.inputSize, value.get(), &valueSize, buffers.irp, &handled);
        if (!handled) {
            status = STATUS_NOT_FOUND;
        }
    } else {
        const PCAUTOMATION_TABLE* table =
            stream != nullptr ? pins_[pinId].AutomationTable : descriptor_.AutomationTable;
        status = Route(table, property, PCFILTER_NODE, stream, sizeof(KSPROPERTY), input.get(), buffers.inputSize,
                       value.get(), &valueSize, buffers.irp, &handled);
        if (!handled) {
            valueSize = buffers.outputSize;
            status = OwnAnswer(property, filter, input.get(), buffers.inputSize, value.get(), &valueSize);
        }
    }
    if (status == STATUS_BUFFER_OVERFLOW) {
        *bytesReturned = valueSize;
    } else if (NT_SUCCESS(status)) {
        if (valueSize > buffers.outputSize) {
            ReportViolation("PROPERTY_VALUE_OVERRUN", "PCPFNPROPERTY_HANDLER",
                            "a handler returned success with ValueSize " + std::to_string(valueSize) +
                                " for a value buffer of " + std::to_string(buffers.outputSize) +
                                " bytes; it must not report more than the buffer holds");
            valueSize = buffers.outputSize;
        }
        if (valueSize != 0) {
            std::memcpy(buffers.output, value.get(), valueSize);
        }
        *bytesReturned = valueSize;
    }
    return status;
}

// One request on one automation table: the PCPROPERTY_REQUEST as the class driver fills it.
NTSTATUS FilterSide::Route(const PCAUTOMATION_TABLE* table, const KSPROPERTY& property, ULONG node, PUNKNOWN stream,
                           ULONG headerSize, PUCHAR input, ULONG inputSize, PUCHAR value, ULONG* valueSize, PIRP irp,
                           bool* handled)
{
    *handled = false;
    const PCPROPERTY_ITEM* item = FindItem(table, property);
    if (item == nullptr || item->Handler == nullptr) {
        return STATUS_NOT_FOUND;
    }
    const ULONG verb = property.Flags & VerbMask;
    if (verb == KSPROPERTY_TYPE_BASICSUPPORT && (item->Flags & KSPROPERTY_TYPE_BASICSUPPORT) == 0) {
        *handled = true;
        return BasicSupportFromFlags(*item, value, valueSize);
    }
    if (verb == 0 || (verb & ~item->Flags) != 0) {
        *handled = true;
        *valueSize = 0;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PCPROPERTY_REQUEST request = {};
    request.MajorTarget = miniport_;
    request.MinorTarget = stream;
    request.Node = node;
    request.PropertyItem = item;
    request.Verb = property.Flags;
    request.InstanceSize = inputSize - headerSize;
    request.Instance = request.InstanceSize != 0 ? input + headerSize : nullptr;
    request.ValueSize = *valueSize;
    request.Value = value;
    request.Irp = irp;
    NTSTATUS status;
    {
        DriverCall call("PCPFNPROPERTY_HANDLER");
        status = item->Handler(&request);
    }
    if (status == STATUS_NOT_FOUND) {
        return status;  // the port's own business
    }
    *handled = true;
    *valueSize = request.ValueSize;
    return status;
}

// ----------------------------------------------------------------------------------------------
// Filter handles and the pin factory's checks.

KsFilter::KsFilter(FilterPort* port, ULONG* instances) : port_(port), instances_(instances)
{
    port_->Port()->AddRef();
}

KsFilter::~KsFilter()
{
    port_->Port()->Release();
}

NTSTATUS KsFilter::Open(FilterPort* port, KsFilter** filter)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IRP_MJ_CREATE", "filters are opened at PASSIVE_LEVEL");
    *filter = nullptr;
    FilterSide& side = port->Filter();
    if (!side.HasDescriptor()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    constexpr size_t objectBytes = (sizeof(KsFilter) + 15) & ~size_t{15};
    void* block = PortAllocate(objectBytes + size_t{side.PinCount()} * sizeof(ULONG));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* instances = reinterpret_cast<ULONG*>(static_cast<UCHAR*>(block) + objectBytes);
    for (ULONG i = 0; i < side.PinCount(); ++i) {
        instances[i] = 0;
    }
    *filter = new (block) KsFilter(port, instances);
    return STATUS_SUCCESS;
}

ULONG KsFilter::AddRef()
{
    return references_.fetch_add(1) + 1;
}

ULONG KsFilter::Release()
{
    LONG left = references_.fetch_sub(1) - 1;
    if (left == 0) {
        this->~KsFilter();
        PortFree(this);
    }
    return left;
}

NTSTATUS KsFilter::Property(const KsPropertyBuffers& buffers, ULONG* bytesReturned)
{
    return port_->Filter().Property(buffers, this, nullptr, 0, bytesReturned);
}

ULONG KsFilter::Instances(ULONG pinId) const
{
    FilterSide& side = port_->Filter();
    std::lock_guard<std::mutex> guard(side.lock_);
    return pinId < side.PinCount() ? instances_[pinId] : 0;
}

NTSTATUS KsFilter::Reserve(ULONG pinId)
{
    FilterSide& side = port_->Filter();
    std::lock_guard<std::mutex> guard(side.lock_);
    if (!side.bound_) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONG limit = side.pins_[pinId].MaxFilterInstanceCount;
    if ((limit != ULONG(-1) && instances_[pinId] >= limit) || !side.ReserveGlobal(pinId)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ++instances_[pinId];
    return STATUS_SUCCESS;
}

void KsFilter::PinClosed(ULONG pinId)
{
    FilterSide& side = port_->Filter();
    std::lock_guard<std::mutex> guard(side.lock_);
    --instances_[pinId];
    if (side.bound_) {
        side.ReleaseGlobal(pinId);
    }
}

namespace {

// The pin's interfaces and mediums, or the standard streaming ones when it lists none.
bool IdentifierOffered(const KSIDENTIFIER& asked, ULONG count, const KSIDENTIFIER* offered, const GUID& standardSet)
{
    if (count == 0) {
        return asked.Set == standardSet && asked.Id == 0;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (offered[i].Set == asked.Set && offered[i].Id == asked.Id) {
            return true;
        }
    }
    return false;
}

}  // namespace

// As KsValidateConnectRequest and the class driver check a create request, in this order: the
// request's size, the pin id and kind, interface and medium, the instance limits, the format.
NTSTATUS KsFilter::CreatePin(const void* connect, ULONG connectSize, WavePciPin** pin)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IRP_MJ_CREATE", "pins are created at PASSIVE_LEVEL");
    *pin = nullptr;
    if (connect == nullptr || connectSize < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_ptr<UCHAR[]> request(new UCHAR[connectSize]);
    std::memcpy(request.get(), connect, connectSize);
    KSPIN_CONNECT header;
    std::memcpy(&header, request.get(), sizeof(header));
    const auto* format = reinterpret_cast<const KSDATAFORMAT*>(request.get() + sizeof(KSPIN_CONNECT));
    const ULONG formatBytes = connectSize - ULONG{sizeof(KSPIN_CONNECT)};
    if (format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > formatBytes) {
        return STATUS_INVALID_PARAMETER;
    }
    FilterSide& side = port_->Filter();
    const PCPIN_DESCRIPTOR* descriptor = side.Pin(header.PinId);
    if (descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR& ks = descriptor->KsPinDescriptor;
    if ((ks.Communication != KSPIN_COMMUNICATION_SINK && ks.Communication != KSPIN_COMMUNICATION_BOTH) ||
        header.PinToHandle != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IdentifierOffered(header.Interface, ks.InterfacesCount, ks.Interfaces, KSINTERFACESETID_Standard) ||
        !IdentifierOffered(header.Medium, ks.MediumsCount, ks.Mediums, KSMEDIUMSETID_Standard)) {
        return STATUS_NO_MATCH;
    }
    NTSTATUS status = Reserve(header.PinId);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool matched = false;
    for (ULONG i = 0; i < ks.DataRangesCount && !matched; ++i) {
        matched = FormatMatchesRange(format, format->FormatSize, ks.DataRanges[i]);
    }
    status = matched ? port_->NewPinInstance(this, header.PinId, ks.DataFlow == KSPIN_DATAFLOW_OUT ? TRUE : FALSE,
                                             format, pin)
                     : STATUS_NO_MATCH;
    if (!NT_SUCCESS(status)) {
        PinClosed(header.PinId);
    }
    return status;
}

}  // namespace host
