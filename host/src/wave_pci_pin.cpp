// A WavePci pin instance: the port stream the miniport takes client buffers from, one mapping at
// a time, and the pin-level requests the class driver turns into miniport stream calls (state,
// format, position, close). The queue and the mappings are in wave_pci_pin_mappings.cpp.
#include <string>

#include "host/harness.h"
#include "host/internal.h"
#include "host/port_wave_pci.h"
#include "scheduler.h"

namespace host {

WavePciPin::WavePciPin(PortWavePci* port, const PinRequest& request, KsFilter* filter, void* block)
    : port_(port),
      filter_(filter),
      block_(block),
      pinId_(request.pinId),
      capture_(request.capture),
      dataFormat_(reinterpret_cast<const uint8_t*>(request.dataFormat),
                  reinterpret_cast<const uint8_t*>(request.dataFormat) + request.dataFormat->FormatSize)
{
    port_->AddRef();
    if (filter_ != nullptr) {
        filter_->AddRef();
    }
    KeInitializeTimer(&pollTimer_);
    KeInitializeDpc(&pollDpc_, PollDpc, this);
}

WavePciPin::~WavePciPin()
{
    if (filter_ != nullptr) {
        filter_->Release();
    }
    port_->Release();
}

NTSTATUS WavePciPin::QueryInterface(REFIID iid, PVOID* object)
{
    if (iid == IID_IUnknown || iid == IID_IPortWavePciStream) {
        *object = static_cast<IPortWavePciStream*>(this);
    } else if (iid == IID_IPreFetchOffset) {
        *object = static_cast<IPreFetchOffset*>(this);
    } else if (iid == IID_IServiceSink) {
        *object = static_cast<IServiceSink*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

ULONG WavePciPin::AddRef()
{
    return references_.fetch_add(1) + 1;
}

ULONG WavePciPin::Release()
{
    LONG left = references_.fetch_sub(1) - 1;
    if (left == 0) {
        void* block = block_;
        this->~WavePciPin();
        ExFreePoolWithTag(block, PortPoolTag);
    }
    return left;
}

// The set-up the class driver does when a client creates a pin (after the format is copied).
NTSTATUS WavePciPin::Connect(PMINIPORTWAVEPCI miniport, POOL_TYPE poolType)
{
    PMINIPORTWAVEPCISTREAM stream = nullptr;
    PDMACHANNEL dmaChannel = nullptr;
    PSERVICEGROUP serviceGroup = nullptr;
    DriverCall newStream("IMiniportWavePci::NewStream");
    NTSTATUS status = miniport->NewStream(&stream, nullptr, poolType, static_cast<IPortWavePciStream*>(this),
                                          pinId_, capture_, reinterpret_cast<PKSDATAFORMAT>(dataFormat_.data()),
                                          &dmaChannel, &serviceGroup);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (stream == nullptr) {
        if (serviceGroup != nullptr) {
            serviceGroup->Release();
        }
        return STATUS_UNSUCCESSFUL;
    }
    stream_ = stream;
    dmaChannel_ = dmaChannel;
    serviceGroup_ = serviceGroup;
    // Preferences only: a stream that cannot say leaves the framing zero.
    {
        DriverCall call("IMiniportWavePciStream::GetAllocatorFraming");
        stream_->GetAllocatorFraming(&framing_);
    }
    if (serviceGroup_ != nullptr) {
        drainingGroup_ = IsDrainingServiceGroup(serviceGroup_);
        serviceGroup_->AddMember(drainingGroup_ ? static_cast<IServiceSink*>(&groupMember_)
                                                : static_cast<IServiceSink*>(this));
        return STATUS_SUCCESS;
    }
    // No service group: poll. The armed timer holds a reference on the pin.
    std::lock_guard<HostMutex> guard(lock_);
    polling_ = true;
    AddRef();
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -PollingPeriod;
    KeSetTimer(&pollTimer_, dueTime, &pollDpc_);
    return STATUS_SUCCESS;
}

// The one-shot timer is re-armed here, under the pin lock, so Close either cancels a queued
// timer (and drops its reference) or finds that this routine will drop it.
void WavePciPin::PollDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* pin = static_cast<WavePciPin*>(context);
    pin->RequestService();
    {
        std::lock_guard<HostMutex> guard(pin->lock_);
        if (!pin->closing_) {
            LARGE_INTEGER dueTime;
            dueTime.QuadPart = -PollingPeriod;
            KeSetTimer(&pin->pollTimer_, dueTime, &pin->pollDpc_);
            return;
        }
        pin->polling_ = false;
    }
    pin->Release();
}

// The call is counted before closing_ is read, and Close sets closing_ before it waits for the
// count to drop: either this call sees the pin closing, or Close waits for it. No lock is taken
// on the way, as the port's service path takes none.
template <typename Call>
inline bool WavePciPin::CallStream(const Call& call)
{
    callsInProgress_.fetch_add(1);
    bool open = !closing_.load() && stream_ != nullptr;
    if (open) {
        call(stream_);
    }
    if (callsInProgress_.fetch_sub(1) == 1 && closing_.load()) {
        NotifyCallsDone();
    }
    return open;
}

void WavePciPin::NotifyCallsDone()
{
    std::lock_guard<HostMutex> guard(lock_);
    callsDone_.notify_all();
}

void WavePciPin::RequestService()
{
    CallStream([this](PMINIPORTWAVEPCISTREAM stream) {
        serviceCalls_.Increment();
        DriverCall call("IMiniportWavePciStream::Service");
        stream->Service();
    });
}

// Only the group calls this, and Close drains the group before the stream goes, so stream_ is
// set here; a call that finds the pin closing does nothing, as a counted call would.
void WavePciPin::ServeFromGroup()
{
    if (closing_.load(std::memory_order_acquire)) {
        return;
    }
    serviceCalls_.Increment();
    DriverCall call("IMiniportWavePciStream::Service");
    stream_->Service();
}

NTSTATUS WavePciPin::TerminatePacket()
{
    return STATUS_NOT_IMPLEMENTED;
}

void WavePciPin::SetPreFetchOffset(ULONG preFetchOffset)
{
    std::lock_guard<HostMutex> guard(lock_);
    preFetchSet_ = true;
    preFetchOffset_ = preFetchOffset;
}

NTSTATUS WavePciPin::QueueBuffer(PVOID data, ULONG bytes, BufferCompletion completion, uint64_t* id)
{
    if (data == nullptr || bytes == 0 || !completion) {
        return STATUS_INVALID_PARAMETER;
    }
    bool announce = false;
    uint64_t bufferId = 0;
    {
        std::lock_guard<HostMutex> guard(lock_);
        if (closing_) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        ClientBuffer* buffer = NewRecord();
        buffer->id = bufferId = nextBufferId_++;
        buffer->data = static_cast<PUCHAR>(data);
        buffer->bytes = bytes;
        buffer->completion = std::move(completion);
        buffer->queued = true;
        (queueTail_ != nullptr ? queueTail_->next : queueHead_) = buffer;
        queueTail_ = buffer;
        if (unmapped_ == nullptr) {
            unmapped_ = buffer;
        }
        ++queuedCount_;
        announce = refusedSinceArrival_;
        refusedSinceArrival_ = false;
    }
    if (id != nullptr) {
        *id = bufferId;
    }
    if (announce) {
        CallStream([this](PMINIPORTWAVEPCISTREAM stream) {
            AtDispatchLevel raised;
            mappingAvailableCalls_.fetch_add(1);
            DriverCall call("IMiniportWavePciStream::MappingAvailable");
            stream->MappingAvailable();
        });
    }
    return STATUS_SUCCESS;
}

NTSTATUS WavePciPin::SetState(KSSTATE state)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "WavePciPin::SetState", "KS state requests arrive at PASSIVE_LEVEL");
    if (static_cast<ULONG>(state) > KSSTATE_RUN) {
        return STATUS_INVALID_PARAMETER;
    }
    if (stream_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    while (state_.load() != state) {
        KSSTATE current = state_.load();
        auto next = static_cast<KSSTATE>(current < state ? current + 1 : current - 1);
        NTSTATUS status;
        {
            DriverCall call("IMiniportWavePciStream::SetState");
            status = stream_->SetState(next);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        state_.store(next);
        if (next == KSSTATE_STOP) {
            CancelBuffers([](const ClientBuffer&) { return true; });
            std::lock_guard<HostMutex> guard(lock_);
            mappedSinceStop_ = 0;
        }
    }
    return STATUS_SUCCESS;
}

KSSTATE WavePciPin::State() const
{
    return state_.load();
}

NTSTATUS WavePciPin::SetFormat(const KSDATAFORMAT* dataFormat)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "WavePciPin::SetFormat", "KS property requests arrive at PASSIVE_LEVEL");
    if (dataFormat == nullptr || dataFormat->FormatSize < sizeof(KSDATAFORMAT)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (stream_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::vector<uint8_t> copy(reinterpret_cast<const uint8_t*>(dataFormat),
                              reinterpret_cast<const uint8_t*>(dataFormat) + dataFormat->FormatSize);
    NTSTATUS status;
    {
        DriverCall call("IMiniportWavePciStream::SetFormat");
        status = stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(copy.data()));
    }
    if (NT_SUCCESS(status)) {
        dataFormat_.swap(copy);
    }
    return status;
}

NTSTATUS WavePciPin::GetPosition(KSAUDIO_POSITION* position)
{
    if (position == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (stream_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    ULONGLONG play = 0;
    NTSTATUS status;
    {
        DriverCall call("IMiniportWavePciStream::GetPosition");
        status = stream_->GetPosition(&play);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    position->PlayOffset = play;
    std::lock_guard<HostMutex> guard(lock_);
    if (capture_) {
        position->WriteOffset = play;
    } else {
        position->WriteOffset = preFetchSet_ ? play + preFetchOffset_ : mappedSinceStop_;
    }
    return STATUS_SUCCESS;
}

void WavePciPin::Close()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "WavePciPin::Close", "pins are closed at PASSIVE_LEVEL");
    if (closed_) {
        return;
    }
    closed_ = true;
    bool pollReferenceDropped = false;
    {
        std::lock_guard<HostMutex> guard(lock_);
        closing_ = true;
        if (polling_ && KeCancelTimer(&pollTimer_)) {
            polling_ = false;
            pollReferenceDropped = true;
        }
    }
    if (pollReferenceDropped) {
        Release();  // the caller still holds its own reference
    }
    if (stream_ != nullptr) {
        CancelBuffers([](const ClientBuffer&) { return true; });
        if (drainingGroup_) {
            RemoveMemberAndDrain(serviceGroup_, &groupMember_);
        } else if (serviceGroup_ != nullptr) {
            serviceGroup_->RemoveMember(static_cast<IServiceSink*>(this));
        }
        {
            std::unique_lock<HostMutex> guard(lock_);
            callsDone_.wait(guard, [this] { return callsInProgress_.load() == 0; });
        }
        if (state_.load() != KSSTATE_STOP) {
            SetState(KSSTATE_STOP);
        }
        PMINIPORTWAVEPCISTREAM stream = stream_;
        {
            std::lock_guard<HostMutex> guard(lock_);
            stream_ = nullptr;
        }
        DriverCall call("IMiniportWavePciStream::Release");
        stream->Release();
    }
    if (serviceGroup_ != nullptr) {
        serviceGroup_->Release();
        serviceGroup_ = nullptr;
    }
    if (filter_ != nullptr) {
        filter_->PinClosed(pinId_);
    }
}



bool WavePciPin::PreFetchOffsetSet(ULONG* preFetchOffset) const
{
    std::lock_guard<HostMutex> guard(lock_);
    if (preFetchOffset != nullptr) {
        *preFetchOffset = preFetchOffset_;
    }
    return preFetchSet_;
}

size_t WavePciPin::QueuedBufferCount() const
{
    std::lock_guard<HostMutex> guard(lock_);
    return queuedCount_;
}

size_t WavePciPin::UnreleasedMappingCount() const
{
    std::lock_guard<HostMutex> guard(lock_);
    return unreleased_.size() - releasedPrefix_;
}

std::vector<Revocation> WavePciPin::Revocations() const
{
    std::lock_guard<HostMutex> guard(lock_);
    return revocations_;
}

}  // namespace host
