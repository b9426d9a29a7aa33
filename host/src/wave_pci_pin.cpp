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
        serviceCalls_.fetch_add(1, std::memory_order_relaxed);
        stream->Service();
    });
}

[[gnu::cold, gnu::noinline]] static void ReportSpinLockHeldAcrossPortCall(const char* routine, ULONG held)
{
    ReportViolation("SPIN_LOCK_HELD_ACROSS_PORT_CALL", routine,
                    "the caller holds " + std::to_string(held) +
                        " spin lock(s); no spin lock may be held across GetMapping or ReleaseMapping "
                        "(the port takes its own locks and may call back into the miniport): release it "
                        "before the call and take it again afterwards");
}

// Driver Verifier's rule for the mapping calls: at most DISPATCH_LEVEL and no spin lock held.
void WavePciPin::CheckPortCall(const char* routine) const
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine, "the port takes mapping calls at DISPATCH_LEVEL or below");
    ULONG held = SpinLocksHeld();
    if (held != 0) {
        ReportSpinLockHeldAcrossPortCall(routine, held);
    }
}

WavePciPin::ClientBuffer* WavePciPin::NewRecord()
{
    ClientBuffer* buffer = spare_;
    if (buffer != nullptr) {
        spare_ = buffer->next;
    } else {
        records_.push_back(std::make_unique<ClientBuffer>());
        buffer = records_.back().get();
    }
    buffer->next = nullptr;
    buffer->mapped = 0;
    buffer->unreleased = 0;
    buffer->queued = false;
    buffer->revoking = false;
    return buffer;
}

inline void WavePciPin::RecycleIfDone(ClientBuffer* buffer)
{
    if (!buffer->queued && !buffer->revoking && buffer->unreleased == 0) {
        buffer->next = spare_;
        spare_ = buffer;
    }
}

// Buffers leave the queue in order unless cancelled, so this is nearly always the head.
inline void WavePciPin::Unqueue(ClientBuffer* buffer)
{
    ClientBuffer* previous = nullptr;
    if (__builtin_expect(queueHead_ != buffer, 0)) {
        previous = queueHead_;
        while (previous->next != buffer) {
            previous = previous->next;
        }
    }
    (previous != nullptr ? previous->next : queueHead_) = buffer->next;
    if (queueTail_ == buffer) {
        queueTail_ = previous;
    }
    if (unmapped_ == buffer) {
        unmapped_ = buffer->next;
    }
    buffer->next = nullptr;
    buffer->queued = false;
    --queuedCount_;
}

// The front goes by moving the index; anything else (a release out of order, a revocation) by
// erasing. The dead front is compacted once it outweighs the live part.
inline void WavePciPin::DropUnreleased(Acquired* mapping)
{
    if (__builtin_expect(mapping != UnreleasedBegin(), 0)) {
        unreleased_.erase(unreleased_.begin() + (mapping - unreleased_.data()));
        return;
    }
    ++releasedPrefix_;
    if (releasedPrefix_ == unreleased_.size()) {
        unreleased_.clear();
        releasedPrefix_ = 0;
    } else if (__builtin_expect(releasedPrefix_ >= 64 && releasedPrefix_ * 2 >= unreleased_.size(), 0)) {
        CompactUnreleased();
    }
}

void WavePciPin::CompactUnreleased()
{
    unreleased_.erase(unreleased_.begin(), unreleased_.begin() + static_cast<ptrdiff_t>(releasedPrefix_));
    releasedPrefix_ = 0;
}

NTSTATUS WavePciPin::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                                PULONG byteCount, PULONG flags)
{
    CheckPortCall("IPortWavePciStream::GetMapping");
    getMappingCalls_.fetch_add(1, std::memory_order_relaxed);
    if (physicalAddress == nullptr || virtualAddress == nullptr || byteCount == nullptr || flags == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<HostMutex> guard(lock_);
    ClientBuffer* buffer = unmapped_;
    if (buffer == nullptr) {
        refusedSinceArrival_ = true;
        physicalAddress->QuadPart = 0;
        *virtualAddress = nullptr;
        *byteCount = 0;
        *flags = 0;
        return STATUS_NOT_FOUND;
    }
    PUCHAR start = buffer->data + buffer->mapped;
    auto toPageEnd = static_cast<ULONG>(MappingPageSize - reinterpret_cast<uintptr_t>(start) % MappingPageSize);
    ULONG piece = std::min(buffer->bytes - buffer->mapped, toPageEnd);
    buffer->mapped += piece;
    ++buffer->unreleased;
    bool last = buffer->mapped == buffer->bytes;
    if (last) {
        unmapped_ = buffer->next;
    }
    unreleased_.push_back(Acquired{reinterpret_cast<ULONG_PTR>(tag), buffer});
    mappedSinceStop_ += piece;

    physicalAddress->QuadPart = static_cast<LONGLONG>(reinterpret_cast<uintptr_t>(start));
    *virtualAddress = start;
    *byteCount = piece;
    *flags = last ? LastMappingFlag : 0;
    return STATUS_SUCCESS;
}

[[gnu::cold, gnu::noinline]] static void ReportMappingNotOutstanding(ULONG_PTR tag)
{
    ReportViolation("MAPPING_NOT_OUTSTANDING", "IPortWavePciStream::ReleaseMapping",
                    "tag " + TagText(tag) +
                        " names no mapping the miniport holds (never handed out, already released, or "
                        "revoked); revoked mappings must not be released");
}

[[gnu::cold, gnu::noinline]] static void ReportMappingOutOfOrder(ULONG_PTR tag, ULONG_PTR oldest)
{
    ReportViolation("MAPPING_RELEASED_OUT_OF_ORDER", "IPortWavePciStream::ReleaseMapping",
                    "tag " + TagText(tag) + " was released before tag " + TagText(oldest) +
                        "; mappings must be released in the order GetMapping handed them out");
}

NTSTATUS WavePciPin::ReleaseMapping(PVOID tag)
{
    CheckPortCall("IPortWavePciStream::ReleaseMapping");
    auto wanted = reinterpret_cast<ULONG_PTR>(tag);
    BufferCompletion completion;
    ULONG completedBytes = 0;
    bool found = false;
    bool outOfOrder = false;
    ULONG_PTR oldest = 0;
    {
        std::lock_guard<HostMutex> guard(lock_);
        // Mappings come back in order, so the one released is nearly always the oldest.
        Acquired* release = UnreleasedBegin();
        Acquired* end = UnreleasedEnd();
        if (release != end && release->tag != wanted) {
            release = std::find_if(release, end, [wanted](const Acquired& a) { return a.tag == wanted; });
        }
        if (release != end) {
            found = true;
            outOfOrder = release != UnreleasedBegin();
            oldest = UnreleasedBegin()->tag;
            ClientBuffer* buffer = release->buffer;
            DropUnreleased(release);
            --buffer->unreleased;
            if (buffer->queued && buffer->unreleased == 0 && buffer->mapped == buffer->bytes) {
                Unqueue(buffer);
                completion.swap(buffer->completion);
                completedBytes = buffer->bytes;
            }
            RecycleIfDone(buffer);
        }
    }
    if (!found) {
        ReportMappingNotOutstanding(wanted);
        return STATUS_INVALID_PARAMETER;
    }
    if (outOfOrder) {
        ReportMappingOutOfOrder(wanted, oldest);
    }
    if (completion) {
        completion(STATUS_SUCCESS, completedBytes);
    }
    return STATUS_SUCCESS;
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
            stream->MappingAvailable();
        });
    }
    return STATUS_SUCCESS;
}

NTSTATUS WavePciPin::CancelBuffer(uint64_t id)
{
    bool queued = false;
    {
        std::lock_guard<HostMutex> guard(lock_);
        for (ClientBuffer* buffer = queueHead_; buffer != nullptr && !queued; buffer = buffer->next) {
            queued = buffer->id == id;
        }
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
// way back through ReleaseMapping: they stay outstanding for that release. The records stay
// ours (revoking) until their ranges are settled, so a reused record cannot be mistaken for one.
void WavePciPin::CancelBuffers(const std::function<bool(const ClientBuffer&)>& cancel)
{
    std::vector<ClientBuffer*> cancelled;
    std::vector<BufferCompletion> completions;
    {
        std::lock_guard<HostMutex> guard(lock_);
        for (ClientBuffer* buffer = queueHead_; buffer != nullptr;) {
            ClientBuffer* next = buffer->next;
            if (cancel(*buffer)) {
                cancelled.push_back(buffer);
            }
            buffer = next;
        }
        for (ClientBuffer* buffer : cancelled) {
            Unqueue(buffer);
            buffer->revoking = true;
            completions.emplace_back();
            completions.back().swap(buffer->completion);
        }
    }
    for (ClientBuffer* buffer : cancelled) {
        auto ofBuffer = [buffer](const Acquired& a) { return a.buffer == buffer; };
        ULONG_PTR firstTag = 0;
        ULONG_PTR lastTag = 0;
        bool mapped = false;
        {
            std::lock_guard<HostMutex> guard(lock_);
            Acquired* first = std::find_if(UnreleasedBegin(), UnreleasedEnd(), ofBuffer);
            if (first != UnreleasedEnd()) {
                mapped = true;
                firstTag = first->tag;
                lastTag = std::find_if(std::make_reverse_iterator(UnreleasedEnd()),
                                       std::make_reverse_iterator(first), ofBuffer)
                              ->tag;
            } else {
                buffer->revoking = false;
                RecycleIfDone(buffer);
            }
        }
        if (!mapped) {
            continue;
        }
        ULONG revoked = 0;
        NTSTATUS status = STATUS_SUCCESS;
        if (stream_ != nullptr) {
            AtDispatchLevel raised;
            status = stream_->RevokeMappings(reinterpret_cast<PVOID>(firstTag), reinterpret_cast<PVOID>(lastTag),
                                             &revoked);
        }
        std::lock_guard<HostMutex> guard(lock_);
        auto unreleased = static_cast<ULONG>(std::count_if(UnreleasedBegin(), UnreleasedEnd(), ofBuffer));
        revocations_.push_back(Revocation{firstTag, lastTag, unreleased, revoked, status});
        // Forget the newest `revoked` of them; the older rest are still to be released.
        ULONG toForget = std::min(revoked, unreleased);
        for (Acquired* it = UnreleasedEnd(); toForget != 0 && it != UnreleasedBegin();) {
            --it;
            if (ofBuffer(*it)) {
                bool oldest = it == UnreleasedBegin();
                DropUnreleased(it);
                --buffer->unreleased;
                --toForget;
                if (oldest) {
                    break;  // nothing older is left, and the front may have been compacted away
                }
            }
        }
        buffer->revoking = false;
        RecycleIfDone(buffer);
    }
    for (BufferCompletion& completion : completions) {
        completion(STATUS_CANCELLED, 0);
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
        if (serviceGroup_ != nullptr) {
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
        stream->Release();
    }
    if (serviceGroup_ != nullptr) {
        serviceGroup_->Release();
        serviceGroup_ = nullptr;
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
