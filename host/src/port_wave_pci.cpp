// The WavePci port object: binds the wave miniport, forwards Notify to service groups, serves
// the miniport through the port's own member of its group, and creates pin instances.
#include "host/port_wave_pci.h"

#include <new>

#include "host/harness.h"
#include "host/internal.h"
#include "port_pool.h"
#include "scheduler.h"

namespace host {

namespace {

// The categories of a WavePci port's subdevice.
const GUID* const WaveCategories[] = {&KSCATEGORY_AUDIO, &KSCATEGORY_RENDER, &KSCATEGORY_CAPTURE};

}  // namespace

PortWavePci* PortWavePci::Create()
{
    return new PortWavePci;
}

PortWavePci::PortWavePci() : filter_(WaveCategories, 3) {}

PortWavePci::~PortWavePci()
{
    ReleaseChildren();
}

NTSTATUS PortWavePci::QueryInterface(REFIID iid, PVOID* object)
{
    if (iid == IID_IUnknown || iid == IID_IPort || iid == IID_IPortWavePci) {
        *object = static_cast<IPortWavePci*>(this);
    } else if (iid == IID_IServiceSink) {
        *object = static_cast<IServiceSink*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

ULONG PortWavePci::AddRef()
{
    return references_.fetch_add(1) + 1;
}

ULONG PortWavePci::Release()
{
    LONG left = references_.fetch_sub(1) - 1;
    if (left == 0) {
        delete this;
    }
    return left;
}

// Like IPort::Init for a WavePci port: PASSIVE_LEVEL; the miniport must answer IMiniportWavePci.
NTSTATUS PortWavePci::Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                           PUNKNOWN unknownAdapter, PRESOURCELIST resourceList)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IPort::Init", "ports are initialised at PASSIVE_LEVEL");
    if (unknownMiniport == nullptr || miniport_ != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PMINIPORTWAVEPCI miniport = nullptr;
    NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportWavePci, reinterpret_cast<PVOID*>(&miniport));
    if (!NT_SUCCESS(status) || miniport == nullptr) {
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    PSERVICEGROUP serviceGroup = nullptr;
    {
        DriverCall call("IMiniportWavePci::Init");
        status = miniport->Init(unknownAdapter, resourceList, this, &serviceGroup);
    }
    if (NT_SUCCESS(status)) {
        status = filter_.TakeDescriptor(miniport);
        if (status == STATUS_NOT_IMPLEMENTED && allowMissingDescription_) {
            status = STATUS_SUCCESS;
        }
    }
    if (!NT_SUCCESS(status)) {
        if (serviceGroup != nullptr) {
            serviceGroup->Release();
        }
        miniport->Release();
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        miniport_ = miniport;
    }
    serviceGroup_ = serviceGroup;
    if (serviceGroup_ != nullptr) {
        serviceGroup_->AddMember(static_cast<IServiceSink*>(this));
    }
    return STATUS_SUCCESS;
}

NTSTATUS PortWavePci::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS PortWavePci::NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                     ULONG, PULONG)
{
    if (outRegistryKey != nullptr) {
        *outRegistryKey = nullptr;
    }
    return STATUS_NOT_IMPLEMENTED;
}

// Like IPortWavePci::Notify: completes nothing itself; the group's DPC calls its members.
void PortWavePci::Notify(PSERVICEGROUP serviceGroup)
{
    notifyCount_.Increment();
    if (serviceGroup != nullptr) {
        serviceGroup->RequestService();
    }
}

NTSTATUS PortWavePci::NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN, POOL_TYPE, PRESOURCELIST, BOOLEAN,
                                          BOOLEAN, BOOLEAN, BOOLEAN, DMA_WIDTH, DMA_SPEED, ULONG, ULONG)
{
    if (dmaChannel != nullptr) {
        *dmaChannel = nullptr;
    }
    return STATUS_NOT_IMPLEMENTED;
}

// The group's DPC may run on another processor while ReleaseChildren runs: the miniport goes
// only once no call into it is in progress.
void PortWavePci::RequestService()
{
    PMINIPORTWAVEPCI miniport = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        miniport = miniport_;
        if (miniport == nullptr) {
            return;
        }
        ++servicesInProgress_;
    }
    {
        DriverCall call("IMiniportWavePci::Service");
        miniport->Service();
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (--servicesInProgress_ == 0) {
        servicesDone_.notify_all();
    }
}

NTSTATUS PortWavePci::BindMiniport(PMINIPORTWAVEPCI miniport, const PCFILTER_DESCRIPTOR* descriptor)
{
    ReleaseChildren();
    if (descriptor != nullptr) {
        NTSTATUS status = filter_.UseDescriptor(miniport, descriptor);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    miniport->AddRef();
    std::lock_guard<std::mutex> guard(lock_);
    miniport_ = miniport;
    return STATUS_SUCCESS;
}

void PortWavePci::ReleaseChildren()
{
    filter_.Forget();
    if (serviceGroup_ != nullptr) {
        serviceGroup_->RemoveMember(static_cast<IServiceSink*>(this));
        serviceGroup_->Release();
        serviceGroup_ = nullptr;
    }
    PMINIPORTWAVEPCI miniport = nullptr;
    {
        std::unique_lock<std::mutex> guard(lock_);
        servicesDone_.wait(guard, [this] { return servicesInProgress_ == 0; });
        miniport = miniport_;
        miniport_ = nullptr;
    }
    if (miniport != nullptr) {
        DriverCall call("IMiniportWavePci::Release");
        miniport->Release();
    }
}

// Pin creation as the class driver does it: the format is copied (the miniport may keep the
// pointer for the pin's life), and a pin whose stream could not be made is released at once.
NTSTATUS PortWavePci::OpenPin(const PinRequest& request, WavePciPin** pin)
{
    return CreatePin(request, nullptr, pin);
}

NTSTATUS PortWavePci::NewPinInstance(KsFilter* filter, ULONG pinId, BOOLEAN capture, const KSDATAFORMAT* dataFormat,
                                     WavePciPin** pin)
{
    PinRequest request;
    request.pinId = pinId;
    request.capture = capture;
    request.dataFormat = dataFormat;
    return CreatePin(request, filter, pin);
}

// The pin object comes from pool, as the class driver's does, aligned as its type asks.
NTSTATUS PortWavePci::CreatePin(const PinRequest& request, KsFilter* filter, WavePciPin** pin)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "PortWavePci::OpenPin", "pins are created at PASSIVE_LEVEL");
    *pin = nullptr;
    if (miniport_ == nullptr || request.dataFormat == nullptr ||
        request.dataFormat->FormatSize < sizeof(KSDATAFORMAT)) {
        return STATUS_INVALID_PARAMETER;
    }
    void* block = PortAllocate(sizeof(WavePciPin) + alignof(WavePciPin));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const auto address = reinterpret_cast<uintptr_t>(block);
    void* aligned = reinterpret_cast<void*>((address + alignof(WavePciPin) - 1) & ~uintptr_t{alignof(WavePciPin) - 1});
    auto* created = new (aligned) WavePciPin(this, request, filter, block);
    created->mappingOptions_ = (request.mapping != nullptr) ? *request.mapping : mappingOptions_;
    if (created->mappingOptions_.contiguousPages == 0) {
        created->mappingOptions_.contiguousPages = 1;
    }
    NTSTATUS status = created->Connect(miniport_, request.poolType);
    if (!NT_SUCCESS(status)) {
        created->Release();
        return status;
    }
    *pin = created;
    return STATUS_SUCCESS;
}

}  // namespace host
