// The pin's client buffer records and the mappings cut from them: GetMapping, ReleaseMapping and
// the cancellation that revokes them. The miniport's streaming path runs through here on every
// timer tick, so the usual case takes one lock and touches only the front of each list.
#include <algorithm>
#include <cstdio>
#include <string>

#include "host/harness.h"
#include "host/internal.h"
#include "host/port_wave_pci.h"
#include "scheduler.h"

namespace host {
namespace {

std::string TagText(ULONG_PTR tag)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(tag));
    return text;
}

}  // namespace

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
    getMappingCalls_.Increment();
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
            DriverCall call("IMiniportWavePciStream::RevokeMappings");
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

}  // namespace host
