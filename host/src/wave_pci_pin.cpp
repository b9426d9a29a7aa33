// A WavePci pin instance: the port stream the miniport takes client buffers from, one mapping at
// a time, and the pin-level requests the class driver turns into miniport stream calls (state,
// format, position, close). The queue, the mappings handed out and the revocations live here.
#include <algorithm>
#include <cstdio>
#include <string>

#include "host/harness.h"
#include "host/internal.h"
#include "host/port_wave_pci.h"

namespace host {
namespace {

std::string TagText(ULONG_PTR tag)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(tag));
    return text;
}

// Raises to DISPATCH_LEVEL for the miniport calls the platform may make there.
class AtDispatchLevel {
public:
    AtDispatchLevel() : previous_(KfRaiseIrql(DISPATCH_LEVEL)) {}
    ~AtDispatchLevel() { KeLowerIrql(previous_); }

private:
    KIRQL previous_;
};

}  // namespace

WavePciPin::WavePciPin(PortWavePci* port, const PinRequest& request)
    : port_(port),
      pinId_(request.pinId),
      capture_(request.capture),
      dataFormat_(reinterpret_cast<const uint8_t*>(request.dataFormat),
                  reinterpret_cast<const uint8_t*>(request.dataFormat) + request.dataFormat->FormatSize)
{
    port_->AddRef();
    KeInitializeTimer(&pollTimer_);
    KeInitializeDpc(&pollDpc_, PollDpc, this);
}

WavePciPin::~WavePciPin()
{
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
        delete this;
    }
    return left;
}

// The set-up the class driver does when a client creates a pin (after the format is copied).
NTSTATUS WavePciPin::Connect(PMINIPORTWAVEPCI miniport, POOL_TYPE poolType)
{
    PMINIPORTWAVEPCISTREAM stream = nullptr;
    PDMACHANNEL dmaChannel = nullptr;
    PSERVICEGROUP serviceGroup = nullptr;
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
    stream_->GetAllocatorFraming(&framing_);
    if (serviceGroup_ != nullptr) {
        serviceGroup_->AddMember(static_cast<IServiceSink*>(this));
        return STATUS_SUCCESS;
    }
    // No service group: poll. The armed timer holds a reference on the pin.
    std::lock_guard<std::mutex> guard(lock_);
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
        std::lock_guard<std::mutex> guard(pin->lock_);
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
bool WavePciPin::CallStream(const Call& call)
{
    callsInProgress_.fetch_add(1);
    bool open = !closing_.load() && stream_ != nullptr;
    if (open) {
        call(stream_);
    }
    if (callsInProgress_.fetch_sub(1) == 1 && closing_.load()) {
        std::lock_guard<std::mutex> guard(lock_);
        callsDone_.notify_all();
    }
    return open;
}

void WavePciPin::RequestService()
{
    CallStream([this](PMINIPORTWAVEPCISTREAM stream) {
        serviceCalls_.fetch_add(1);
        stream->Service();
    });
}

// Driver Verifier's rule for the mapping calls: at most DISPATCH_LEVEL and no spin lock held.
void WavePciPin::CheckPortCall(const char* routine) const
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine, "the port takes mapping calls at DISPATCH_LEVEL or below");
    ULONG held = SpinLocksHeld();
    if (held != 0) {
        ReportViolation("SPIN_LOCK_HELD_ACROSS_PORT_CALL", routine,
                        "the caller holds " + std::to_string(held) +
                            " spin lock(s); no spin lock may be held across GetMapping or ReleaseMapping "
                            "(the port takes its own locks and may call back into the miniport): release it "
                            "before the call and take it again afterwards");
    }
}

NTSTATUS WavePciPin::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                                PULONG byteCount, PULONG flags)
{
    CheckPortCall("IPortWavePciStream::GetMapping");
    getMappingCalls_.fetch_add(1, std::memory_order_relaxed);
    if (physicalAddress == nullptr || virtualAddress == nullptr || byteCount == nullptr || flags == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto next = std::find_if(queue_.begin(), queue_.end(),
                             [](const std::shared_ptr<ClientBuffer>& b) { return b->mapped < b->bytes; });
    if (next == queue_.end()) {
        refusedSinceArrival_ = true;
        physicalAddress->QuadPart = 0;
        *virtualAddress = nullptr;
        *byteCount = 0;
        *flags = 0;
        return STATUS_NOT_FOUND;
    }
    ClientBuffer& buffer = **next;
    PUCHAR start = buffer.data + buffer.mapped;
    auto toPageEnd = static_cast<ULONG>(MappingPageSize - reinterpret_cast<uintptr_t>(start) % MappingPageSize);
    ULONG piece = std::min(buffer.bytes - buffer.mapped, toPageEnd);
    buffer.mapped += piece;
    ++buffer.unreleased;
    bool last = buffer.mapped == buffer.bytes;
    unreleased_.push_back(Acquired{reinterpret_cast<ULONG_PTR>(tag), *next, last});
    mappedSinceStop_ += piece;

    physicalAddress->QuadPart = static_cast<LONGLONG>(reinterpret_cast<uintptr_t>(start));
    *virtualAddress = start;
    *byteCount = piece;
    *flags = last ? LastMappingFlag : 0;
    return STATUS_SUCCESS;
}

NTSTATUS WavePciPin::ReleaseMapping(PVOID tag)
{
    CheckPortCall("IPortWavePciStream::ReleaseMapping");
    auto wanted = reinterpret_cast<ULONG_PTR>(tag);
    std::shared_ptr<ClientBuffer> completed;
    bool found = false;
    bool outOfOrder = false;
    ULONG_PTR oldest = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Mappings come back in order, so the one released is nearly always the oldest.
        auto release = (!unreleased_.empty() && unreleased_.front().tag == wanted)
                           ? unreleased_.begin()
                           : std::find_if(unreleased_.begin(), unreleased_.end(),
                                          [wanted](const Acquired& a) { return a.tag == wanted; });
        if (release != unreleased_.end()) {
            found = true;
            outOfOrder = release != unreleased_.begin();
            oldest = unreleased_.front().tag;
            std::shared_ptr<ClientBuffer> buffer = std::move(release->buffer);
            if (outOfOrder) {
                unreleased_.erase(release);
            } else {
                unreleased_.pop_front();
            }
            --buffer->unreleased;
            if (!buffer->cancelled && buffer->unreleased == 0 && buffer->mapped == buffer->bytes) {
                queue_.erase(std::find(queue_.begin(), queue_.end(), buffer));
                completed = std::move(buffer);
            }
        }
    }
    if (!found) {
        ReportViolation("MAPPING_NOT_OUTSTANDING", "IPortWavePciStream::ReleaseMapping",
                        "tag " + TagText(wanted) +
                            " names no mapping the miniport holds (never handed out, already released, or "
                            "revoked); revoked mappings must not be released");
        return STATUS_INVALID_PARAMETER;
    }
    if (outOfOrder) {
        ReportViolation("MAPPING_RELEASED_OUT_OF_ORDER", "IPortWavePciStream::ReleaseMapping",
                        "tag " + TagText(wanted) + " was released before tag " + TagText(oldest) +
                            "; mappings must be released in the order GetMapping handed them out");
    }
    if (completed != nullptr) {
        completed->completion(STATUS_SUCCESS, completed->bytes);
    }
    return STATUS_SUCCESS;
}

NTSTATUS WavePciPin::TerminatePacket()
{
    return STATUS_NOT_IMPLEMENTED;
}

void WavePciPin::SetPreFetchOffset(ULONG preFetchOffset)
{
    std::lock_guard<std::mutex> guard(lock_);
    preFetchSet_ = true;
    preFetchOffset_ = preFetchOffset;
}

NTSTATUS WavePciPin::QueueBuffer(PVOID data, ULONG bytes, BufferCompletion completion, uint64_t* id)
{
    if (data == nullptr || bytes == 0 || !completion) {
        return STATUS_INVALID_PARAMETER;
    }
    auto buffer = std::make_shared<ClientBuffer>();
    buffer->data = static_cast<PUCHAR>(data);
    buffer->bytes = bytes;
    buffer->completion = std::move(completion);
    bool announce = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closing_) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        buffer->id = nextBufferId_++;
        queue_.push_back(buffer);
        announce = refusedSinceArrival_;
        refusedSinceArrival_ = false;
    }
    if (id != nullptr) {
        *id = buffer->id;
    }
    if (announce) {
        CallStream([this](PMINIPORTWAVEPCISTREAM stream) {
            AtDispatchLevel raised;
            mappingAvailableCalls_.fetch_add(1);
            stream->MappingAvailable();
        });
    }
    return STATUS_SUCCESS;
}

NTSTATUS WavePciPin::CancelBuffer(uint64_t id)
{
    bool queued = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        queued = std::any_of(queue_.begin(), queue_.end(),
                             [id](const std::shared_ptr<ClientBuffer>& b) { return b->id == id; });
    }
    if (!queued) {
        return STATUS_NOT_FOUND;
    }
    CancelBuffers([id](const ClientBuffer& b) { return b.id == id; });
    return STATUS_SUCCESS;
}

// A buffer's mappings are consecutive in acquisition order (the next buffer is mapped only once
// this one is), so each cancelled buffer with unreleased mappings is one inclusive tag range.
// Mappings of the range that the miniport did not count as revoked are the oldest ones, on their
// way back through ReleaseMapping: they stay outstanding for that release.
void WavePciPin::CancelBuffers(const std::function<bool(const ClientBuffer&)>& cancel)
{
    BufferList cancelled;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto kept = std::stable_partition(queue_.begin(), queue_.end(),
                                          [&](const std::shared_ptr<ClientBuffer>& b) { return !cancel(*b); });
        cancelled.assign(kept, queue_.end());
        queue_.erase(kept, queue_.end());
        for (auto& buffer : cancelled) {
            buffer->cancelled = true;
        }
    }
    for (auto& buffer : cancelled) {
        ULONG_PTR firstTag = 0;
        ULONG_PTR lastTag = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto first = std::find_if(unreleased_.begin(), unreleased_.end(),
                                      [&](const Acquired& a) { return a.buffer == buffer; });
            if (first == unreleased_.end()) {
                continue;
            }
            auto last = std::find_if(unreleased_.rbegin(), unreleased_.rend(),
                                     [&](const Acquired& a) { return a.buffer == buffer; });
            firstTag = first->tag;
            lastTag = last->tag;
        }
        ULONG revoked = 0;
        NTSTATUS status = STATUS_SUCCESS;
        if (stream_ != nullptr) {
            AtDispatchLevel raised;
            status = stream_->RevokeMappings(reinterpret_cast<PVOID>(firstTag), reinterpret_cast<PVOID>(lastTag),
                                             &revoked);
        }
        std::lock_guard<std::mutex> guard(lock_);
        auto inRange = [&](const Acquired& a) { return a.buffer == buffer; };
        auto unreleased = static_cast<ULONG>(std::count_if(unreleased_.begin(), unreleased_.end(), inRange));
        revocations_.push_back(Revocation{firstTag, lastTag, unreleased, revoked, status});
        // Forget the newest `revoked` of them; the older rest are still to be released.
        ULONG toForget = std::min(revoked, unreleased);
        for (auto it = unreleased_.end(); toForget != 0 && it != unreleased_.begin();) {
            --it;
            if (inRange(*it)) {
                it = unreleased_.erase(it);
                --buffer->unreleased;
                --toForget;
            }
        }
    }
    for (auto& buffer : cancelled) {
        buffer->completion(STATUS_CANCELLED, 0);
    }
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
        NTSTATUS status = stream_->SetState(next);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        state_.store(next);
        if (next == KSSTATE_STOP) {
            CancelBuffers([](const ClientBuffer&) { return true; });
            std::lock_guard<std::mutex> guard(lock_);
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
    NTSTATUS status = stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(copy.data()));
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
    NTSTATUS status = stream_->GetPosition(&play);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    position->PlayOffset = play;
    std::lock_guard<std::mutex> guard(lock_);
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
        std::lock_guard<std::mutex> guard(lock_);
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
        if (serviceGroup_ != nullptr) {
            serviceGroup_->RemoveMember(static_cast<IServiceSink*>(this));
        }
        {
            std::unique_lock<std::mutex> guard(lock_);
            callsDone_.wait(guard, [this] { return callsInProgress_.load() == 0; });
        }
        if (state_.load() != KSSTATE_STOP) {
            SetState(KSSTATE_STOP);
        }
        PMINIPORTWAVEPCISTREAM stream = stream_;
        {
            std::lock_guard<std::mutex> guard(lock_);
            stream_ = nullptr;
        }
        stream->Release();
    }
    if (serviceGroup_ != nullptr) {
        serviceGroup_->Release();
        serviceGroup_ = nullptr;
    }
}

bool WavePciPin::PreFetchOffsetSet(ULONG* preFetchOffset) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (preFetchOffset != nullptr) {
        *preFetchOffset = preFetchOffset_;
    }
    return preFetchSet_;
}

size_t WavePciPin::QueuedBufferCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
}

size_t WavePciPin::UnreleasedMappingCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return unreleased_.size();
}

std::vector<Revocation> WavePciPin::Revocations() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return revocations_;
}

}  // namespace host
