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

[[gnu::cold, gnu::noinline]] static void ReportDuplicateTag(ULONG_PTR tag)
{
    ReportViolation("MAPPING_TAG_DUPLICATE", "IPortWavePciStream::GetMapping",
                    "tag " + TagText(tag) +
                        " already names a mapping the miniport holds; a tag must identify one outstanding "
                        "mapping, or ReleaseMapping and RevokeMappings cannot tell them apart: give each "
                        "mapping a tag of its own until it is released or revoked");
}

// The next page boundary that is not inside a physically contiguous run, or the buffer's end.
inline PUCHAR WavePciPin::MappingEnd(PUCHAR start, PUCHAR end) const
{
    const uintptr_t run = static_cast<uintptr_t>(MappingPageSize) * mappingOptions_.contiguousPages;
    uintptr_t address = reinterpret_cast<uintptr_t>(start);
    auto runEnd = address - address % run + run;
    return (runEnd < reinterpret_cast<uintptr_t>(end)) ? start + (runEnd - address) : end;
}

// Under lock_. The miniport holds few mappings at a time, so a scan of the live part is short.
inline bool WavePciPin::TagOutstanding(ULONG_PTR tag)
{
    for (const Acquired* mapping = UnreleasedBegin(); mapping != UnreleasedEnd(); ++mapping) {
        if (mapping->tag == tag) {
            return true;
        }
    }
    return false;
}

inline void WavePciPin::ForgetRevokedTag(ULONG_PTR tag)
{
    if (__builtin_expect(!revokedTags_.empty(), 0)) {
        revokedTags_.erase(std::remove(revokedTags_.begin(), revokedTags_.end(), tag), revokedTags_.end());
    }
}

bool WavePciPin::TagRevoked(ULONG_PTR tag) const
{
    return std::find(revokedTags_.begin(), revokedTags_.end(), tag) != revokedTags_.end();
}

NTSTATUS WavePciPin::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                                PULONG byteCount, PULONG flags)
{
    CheckPortCall("IPortWavePciStream::GetMapping");
    getMappingCalls_.Increment();
    if (physicalAddress == nullptr || virtualAddress == nullptr || byteCount == nullptr || flags == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto wanted = reinterpret_cast<ULONG_PTR>(tag);
    bool duplicate = false;
    NTSTATUS refusal = STATUS_SUCCESS;
    {
        std::lock_guard<HostMutex> guard(lock_);
        ClientBuffer* buffer = unmapped_;
        if (__builtin_expect(mappingOptions_.refuseEvery != 0, 0) &&
            ++mappingCallsCounted_ == mappingOptions_.refuseEvery) {
            // Not STATUS_NOT_FOUND (unless asked for): no MappingAvailable is owed for it.
            mappingCallsCounted_ = 0;
            refusal = mappingOptions_.refusalStatus;
            if (refusal == STATUS_NOT_FOUND) {
                refusedSinceArrival_ = true;
            }
        } else if (buffer == nullptr) {
            refusedSinceArrival_ = true;
            refusal = STATUS_NOT_FOUND;
        }
        if (refusal != STATUS_SUCCESS) {
            physicalAddress->QuadPart = 0;
            *virtualAddress = nullptr;
            *byteCount = 0;
            *flags = 0;
            return refusal;
        }
        duplicate = TagOutstanding(wanted);
        ForgetRevokedTag(wanted);
        PUCHAR start = buffer->data + buffer->mapped;
        auto piece = static_cast<ULONG>(MappingEnd(start, buffer->data + buffer->bytes) - start);
        buffer->mapped += piece;
    ++buffer->unreleased;
        bool last = buffer->mapped == buffer->bytes;
        if (last) {
            unmapped_ = buffer->next;
        }
        unreleased_.push_back(Acquired{wanted, buffer});
        mappedSinceStop_ += piece;

        physicalAddress->QuadPart = static_cast<LONGLONG>(reinterpret_cast<uintptr_t>(start));
        *virtualAddress = start;
        *byteCount = piece;
        *flags = last ? LastMappingFlag : 0;
    }
    if (duplicate) {
        ReportDuplicateTag(wanted);
    }
    return STATUS_SUCCESS;
}

[[gnu::cold, gnu::noinline]] static void ReportMappingNotOutstanding(ULONG_PTR tag, bool revoked)
{
    ReportViolation("MAPPING_NOT_OUTSTANDING", "IPortWavePciStream::ReleaseMapping",
                    "tag " + TagText(tag) +
                        (revoked ? " names a mapping revoked by RevokeMappings; after that call the port "
                                   "regards the whole range as gone and completes its buffer, so a revoked "
                                   "mapping must never be released: drop it from the miniport's lists in "
                                   "RevokeMappings and count it there"
                                 : " names no mapping the miniport holds (never handed out, or already "
                                   "released); release each tag GetMapping handed out exactly once"));
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
    bool revoked = false;
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
        } else {
            revoked = TagRevoked(wanted);
        }
    }
    if (!found) {
        ReportMappingNotOutstanding(wanted, revoked);
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

[[gnu::cold, gnu::noinline]] static void ReportRevocationMiscounted(ULONG_PTR firstTag, ULONG_PTR lastTag,
                                                                    ULONG unreleased, ULONG revoked)
{
    ReportViolation(
        "REVOKE_MAPPINGS_MISCOUNTED", "IMiniportWavePciStream::RevokeMappings",
        "the miniport reported " + std::to_string(revoked) + " mapping(s) revoked in the range " + TagText(firstTag) +
            ".." + TagText(lastTag) + ", but " + std::to_string(unreleased) +
            " of the range were acquired and not released when the call returned; the count must be every "
            "mapping of the range the miniport still holds (pending, used but not yet released, or being "
            "handed out), and none it released: the port completes the buffer and takes its memory back "
            "whatever the count says");
}

// A buffer's mappings are consecutive in acquisition order (the next buffer is mapped only once
// this one is), so each cancelled buffer with unreleased mappings is one inclusive tag range.
// After RevokeMappings the whole range is gone, as on Windows: a count other than the mappings
// still outstanding when it returns is reported, and so is a later release of one of its tags.
// The records stay ours (revoking) until their ranges are settled, so a reused record cannot be
// mistaken for one.
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
        // The report names the level of the call.
        AtDispatchLevel raised;
        if (stream_ != nullptr) {
            DriverCall call("IMiniportWavePciStream::RevokeMappings");
            status = stream_->RevokeMappings(reinterpret_cast<PVOID>(firstTag), reinterpret_cast<PVOID>(lastTag),
                                             &revoked);
        }
        ULONG unreleased = 0;
        {
            std::lock_guard<HostMutex> guard(lock_);
            unreleased = static_cast<ULONG>(std::count_if(UnreleasedBegin(), UnreleasedEnd(), ofBuffer));
            revocations_.push_back(Revocation{firstTag, lastTag, unreleased, revoked, status});
            // The whole range is gone now, whatever the miniport counted.
            CompactUnreleased();
            for (const Acquired& mapping : unreleased_) {
                if (ofBuffer(mapping)) {
                    if (revokedTags_.size() == MaxRevokedTagsKept) {
                        revokedTags_.erase(revokedTags_.begin());
                    }
                    revokedTags_.push_back(mapping.tag);
                }
            }
            unreleased_.erase(std::remove_if(unreleased_.begin(), unreleased_.end(), ofBuffer), unreleased_.end());
            buffer->unreleased = 0;
            buffer->revoking = false;
            RecycleIfDone(buffer);
        }
        if (revoked != unreleased) {
            ReportRevocationMiscounted(firstTag, lastTag, unreleased, revoked);
        }
    }
    for (BufferCompletion& completion : completions) {
        completion(STATUS_CANCELLED, 0);
    }
}

}  // namespace host
