// The per-stream transfer between client buffers and the mix buffer.
#include "engine/transfer.h"

#include "core/prefetch.h"
#include "engine/mix.h"
#include "engine/mix_areas.h"
#include "engine/stream_list.h"
#include "engine/wave_stream.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"

namespace {

ULONG Min(ULONG a, ULONG b)
{
    return (a < b) ? a : b;
}

Mapping* HeadMapping(WaveStream* stream)
{
    ListEntry* head = stream->PendingMappings.First();
    return (head != NULL) ? CONTAINING_RECORD(head, Mapping, Link) : NULL;
}

// Marks `bytes` of the head mapping used; a used-up mapping moves to the completed list.
void ConsumeHead(WaveStream* stream, Mapping* head, ULONG bytes)
{
    head->Consumed += bytes;
    if (head->Consumed == head->ByteCount) {
        stream->PendingMappings.Remove(&head->Link);
        stream->PendingBytes -= head->ByteCount;
        stream->CompletedMappings.PushBack(&head->Link);
    }
}

// Moves bytes between a linear buffer and the pending mappings, head first, until `bytes` have
// moved or no mapping is left. toMappings: capture (into the client's buffers); else render.
ULONG CopyMappings(WaveStream* stream, PUCHAR buffer, ULONG bytes, bool toMappings)
{
    ULONG moved = 0;
    while (moved < bytes) {
        Mapping* head = HeadMapping(stream);
        if (head == NULL) {
            break;
        }
        ULONG piece = Min(bytes - moved, head->ByteCount - head->Consumed);
        PUCHAR client = head->VirtualAddress + head->Consumed;
        if (toMappings) {
            RtlCopyMemory(client, buffer + moved, piece);
        } else {
            RtlCopyMemory(buffer + moved, client, piece);
        }
        moved += piece;
        ConsumeHead(stream, head, piece);
    }
    return moved;
}

// Moves the rest of the partial frame between its buffer and the mappings: render fills it from
// them, capture writes it out into them. False when nothing could be moved.
bool MovePartialFrame(WaveStream* stream, bool toMappings)
{
    ULONG copied = CopyMappings(stream, stream->PartialFrame + stream->PartialFillOffset,
                                stream->PartialLength - stream->PartialFillOffset, toMappings);
    stream->PartialFillOffset += copied;
    return copied != 0;
}

void ConsumeConversionData(WaveStream* stream, ULONG bytes)
{
    stream->ConversionReadOffset += bytes;
    if (stream->ConversionReadOffset == stream->ConversionDataLength) {
        stream->ConversionDataLength = 0;
        stream->ConversionReadOffset = 0;
    }
}

// Mixes converted data held in the conversion buffer into the cable; returns the cable bytes used.
ULONG MixConversionData(WaveStream* stream, WaveMiniport* miniport, PUCHAR cablePosition, ULONG remaining)
{
    ULONG k = Min(remaining, stream->ConversionDataLength - stream->ConversionReadOffset);
    MixIntoBuffer(&miniport->CableFormat, cablePosition, stream->ConversionBuffer + stream->ConversionReadOffset, k);
    ConsumeConversionData(stream, k);
    return k;
}

// One render pass under the stream lock. Returns the cable bytes it used; *starved on underflow.
// What a conversion produces is mixed in the same pass, as the next pass would do first.
ULONG RenderPass(WaveStream* stream, WaveMiniport* miniport, PUCHAR cablePosition, ULONG remaining, bool* starved)
{
    const ScalePair* gains = miniport->VolumeControl ? stream->ChannelGains : NULL;
    ULONG blockAlign = stream->Format.Format.nBlockAlign;
    ULONG consumed = 0;
    ULONG produced = 0;

    if (stream->ConversionDataLength > 0) {
        return MixConversionData(stream, miniport, cablePosition, remaining);
    }
    if (stream->PartialLength > 0) {
        if (stream->PartialFillOffset == stream->PartialLength) {
            if (gains == NULL && stream->Converter.IsPassThrough()) {
                // The gathered frame is a cable frame: mixed straight from where it was gathered.
                MixIntoBuffer(&miniport->CableFormat, cablePosition, stream->PartialFrame, blockAlign);
                stream->PartialLength = 0;
                stream->PartialFillOffset = 0;
                return blockAlign;
            }
            stream->Converter.Convert(stream->PartialFrame, stream->PartialLength, &consumed, gains,
                                      stream->ConversionBuffer, stream->ConversionBufferSize, &produced);
            stream->ConversionDataLength = produced;
            if (consumed > 0) {
                stream->PartialLength = 0;
                stream->PartialFillOffset = 0;
            }
            return (produced > 0) ? MixConversionData(stream, miniport, cablePosition, remaining) : 0;
        } else if (!MovePartialFrame(stream, false)) {
            *starved = true;
        }
        return 0;
    }
    Mapping* head = HeadMapping(stream);
    ULONG available = (head != NULL) ? head->ByteCount - head->Consumed : 0;
    if (available > 0 && available < blockAlign) {
        // A frame straddles two mappings: gather it first.
        stream->PartialLength = blockAlign;
        if (!MovePartialFrame(stream, false)) {
            *starved = true;
        }
        return 0;
    }
    // Even with no client data the converter may still owe output interpolated between frames
    // it holds.
    available -= available % blockAlign;
    const UCHAR* source = (head != NULL) ? head->VirtualAddress + head->Consumed : NULL;
    if (available > 0 && gains == NULL && stream->Converter.IsPassThrough()) {
        // The client's frames are already cable frames: mix them straight from its buffer
        // instead of copying them through the conversion buffer first.
        ULONG k = Min(available, remaining);
        MixIntoBuffer(&miniport->CableFormat, cablePosition, source, k);
        ConsumeHead(stream, head, k);
        return k;
    }
    if (available > 0 && gains == NULL && stream->Converter.InterpolatesDirectly()) {
        // The steady state of a plain 16-bit interpolation adds its output straight into the mix,
        // without the round trip through the conversion buffer.
        stream->Converter.MixInterpolated(source, available, &consumed, cablePosition, remaining, &produced);
        if (produced > 0) {
            ConsumeHead(stream, head, consumed);
            return produced;
        }
    }
    stream->Converter.Convert(source, available, &consumed, gains, stream->ConversionBuffer,
                              stream->ConversionBufferSize, &produced);
    stream->ConversionDataLength = produced;
    if (consumed > 0) {
        ConsumeHead(stream, head, consumed);
    } else if (stream->ConversionDataLength == 0) {
        *starved = true;
    }
    return (produced > 0) ? MixConversionData(stream, miniport, cablePosition, remaining) : 0;
}

// The chunk was converted ahead and every frame went out, or no client buffer is left for the
// rest: that waits in the stream's own conversion buffer, as the rest of its own conversion of
// the chunk would have. The whole chunk, `remaining` cable bytes, is then used.
ULONG EndHandedChunk(WaveStream* stream, ULONG remaining)
{
    ULONG left = stream->ConversionDataLength - stream->ConversionReadOffset;
    if (left != 0) {
        RtlCopyMemory(stream->ConversionBuffer, stream->HandedData + stream->ConversionReadOffset, left);
    }
    stream->ConversionDataLength = left;
    stream->ConversionReadOffset = 0;
    stream->HandedBytes = 0;
    stream->HandedData = NULL;
    stream->HandedFrom = NULL;
    return remaining;
}

// A stream handed a chunk's conversion ran out of client buffers partway through it. Its own
// conversion would have stopped at the last frame that went out and dropped the rest of the
// chunk: the converter goes back to where the chunk found it and through those frames again.
void RewindHandedConversion(WaveStream* stream, const UCHAR* chunkStart, ULONG chunkBytes)
{
    ULONG delivered = (stream->ConversionDataLength != 0) ? stream->ConversionReadOffset : stream->HandedBytes;
    stream->Converter.MoveTo(*stream->HandedFrom);
    ULONG consumed = 0;
    ULONG produced = 0;
    stream->Converter.Convert(chunkStart, chunkBytes, &consumed, NULL, stream->ConversionBuffer, delivered, &produced);
    stream->ConversionDataLength = 0;
    stream->ConversionReadOffset = 0;
    stream->HandedBytes = 0;
    stream->HandedData = NULL;
    stream->HandedFrom = NULL;
}

// A capture stream may take a shared conversion when it runs, converts (a pass-through copy gains
// nothing from sharing) and has nothing left over from the last chunk, so that the chunk's
// conversion is the first thing its transfer would do.
bool MayShareConversion(const WaveStream* stream)
{
    return stream->State == KSSTATE_RUN && stream->Converter.IsReady() && !stream->Converter.IsPassThrough() &&
           stream->PartialLength == 0 && stream->ConversionDataLength == 0 && stream->HandedData == NULL;
}

// Hands a stream the conversion in `area`, made by the first stream of its group, and the
// position the conversion ended at.
void HandConversion(WaveStream* stream, const UCHAR* area, ULONG produced, const WaveStream* first,
                    const ConverterPosition& after)
{
    if (stream != first) {
        stream->Converter.MoveTo(after);
    }
    stream->HandedData = area;
    stream->HandedFrom = &first->PositionAtChunkStart;
    stream->ConversionDataLength = produced;
    stream->ConversionReadOffset = 0;
    stream->HandedBytes = produced;
}

// One capture pass under the stream lock. Returns the cable bytes it used; *starved on overflow.
ULONG CapturePass(WaveStream* stream, PUCHAR cablePosition, ULONG remaining, bool* starved)
{
    ULONG blockAlign = stream->Format.Format.nBlockAlign;

    if (stream->PartialLength > 0) {
        *starved = !MovePartialFrame(stream, true);
        if (stream->PartialFillOffset == stream->PartialLength) {
            stream->PartialLength = 0;
            stream->PartialFillOffset = 0;
        }
        return 0;
    }
    if (stream->ConversionDataLength > 0 && (stream->HandedData == NULL || HeadMapping(stream) != NULL)) {
        Mapping* head = HeadMapping(stream);
        ULONG k = stream->ConversionDataLength - stream->ConversionReadOffset;
        k = Min(k, (head != NULL) ? head->ByteCount - head->Consumed : 0);
        const UCHAR* data =
            ((stream->HandedData != NULL) ? stream->HandedData : stream->ConversionBuffer) + stream->ConversionReadOffset;
        if (k == 0) {
            *starved = true;
            return 0;
        }
        if (k < blockAlign) {
            // Less than a frame of room: the frame goes out across two mappings.
            RtlCopyMemory(stream->PartialFrame, data, blockAlign);
            stream->PartialLength = blockAlign;
            stream->PartialFillOffset = 0;
            ConsumeConversionData(stream, blockAlign);
            return 0;
        }
        k -= k % blockAlign;
        RtlCopyMemory(head->VirtualAddress + head->Consumed, data, k);
        ConsumeHead(stream, head, k);
        ConsumeConversionData(stream, k);
        return 0;
    }
    if (stream->HandedData != NULL) {
        return EndHandedChunk(stream, remaining);
    }
    ULONG consumed = 0;
    ULONG produced = 0;
    Mapping* head = HeadMapping(stream);
    ULONG room = (head != NULL) ? head->ByteCount - head->Consumed : 0;
    if (room >= blockAlign) {
        // Whole frames fit in the client's buffer: convert straight into it rather than through
        // the conversion buffer and a second copy. The converter carries its state across
        // calls, so the frames come out the same however the output is split.
        room -= room % blockAlign;
        stream->Converter.Convert(cablePosition, remaining, &consumed, NULL, head->VirtualAddress + head->Consumed,
                                  room, &produced);
        if (produced > 0) {
            ConsumeHead(stream, head, produced);
        }
        return consumed;
    }
    if (room > 0) {
        // A frame straddles this mapping and the next: convert that one frame into the
        // partial-frame buffer it goes out from, and carry on straight into the next mapping.
        stream->Converter.Convert(cablePosition, remaining, &consumed, NULL, stream->PartialFrame, blockAlign,
                                  &produced);
        if (produced > 0) {
            stream->PartialLength = blockAlign;
            stream->PartialFillOffset = 0;
        }
        return consumed;
    }
    stream->Converter.Convert(cablePosition, remaining, &consumed, NULL, stream->ConversionBuffer,
                              stream->ConversionBufferSize, &produced);
    stream->ConversionDataLength = produced;
    return consumed;
}

// The position moves with cable time, in whole stream frames, carrying the remainder. The whole
// frames of the quotient by the cable rate are the quotient by the cable rate times the frame
// size, times the frame size: one division instead of two.
void AdvancePosition(WaveStream* stream, const WAVEFORMATEXTENSIBLE* cableFormat, ULONG cableBytes)
{
    const ULONGLONG cableRate = cableFormat->Format.nAvgBytesPerSec;
    const ULONGLONG blockAlign = stream->Format.Format.nBlockAlign;
    stream->PositionAccumulator += static_cast<ULONGLONG>(stream->Format.Format.nAvgBytesPerSec) * cableBytes;
    ULONGLONG q = stream->PositionAccumulator / (cableRate * blockAlign) * blockAlign;
    stream->PositionAccumulator -= q * cableRate;
    stream->Position += q;
}

}  // namespace

// The whole call runs in one hold of the stream lock, let go only for the port's mapping calls,
// which must not be made under a spin lock.
ULONG TransferStream(WaveStream* stream, PUCHAR cablePosition, ULONG cableBytes)
{
    if (stream->State != KSSTATE_RUN) {
        return 0;
    }
    WaveMiniport* miniport = stream->Miniport;
    Cable* cable = miniport->CableOwner;

    stream->StreamLock.Enter();
    LONG arrivals = 0;
    ListEntry* refill = stream->ClaimRefill(&arrivals);
    if (refill != NULL) {
        stream->StreamLock.Leave();
        stream->RunRefill(refill, arrivals);
        stream->StreamLock.Enter();
    }
    const UCHAR* chunkStart = cablePosition;
    ULONG done = 0;
    while (done < cableBytes) {
        bool starved = false;
        ULONG remaining = cableBytes - done;
        ULONG used = stream->Capture ? CapturePass(stream, cablePosition, remaining, &starved)
                                     : RenderPass(stream, miniport, cablePosition, remaining, &starved);
        if (!starved) {
            cablePosition += used;
            done += used;
            continue;
        }
        // A pass can need more client data than the mappings taken at its start hold (16 pages
        // are 10 ms of 192 kHz 8-channel 32-bit audio): return the used ones and ask the port
        // again before calling it an underflow or overflow.
        stream->StreamLock.Leave();
        stream->ReleaseCompletedMappings();
        bool refilled = stream->GetMappings() != 0;
        if (!refilled) {
            InterlockedIncrement(stream->Capture ? &cable->CaptureOverflows : &cable->RenderUnderflows);
        }
        stream->StreamLock.Enter();
        if (!refilled) {
            if (stream->HandedData != NULL) {
                RewindHandedConversion(stream, chunkStart, cableBytes);
            }
            break;
        }
    }
    AdvancePosition(stream, &miniport->CableFormat, cableBytes);
    Mapping* head = HeadMapping(stream);
    stream->NextMapping = head;
    stream->NextClientByte = (head != NULL) ? head->VirtualAddress + head->Consumed : NULL;
    List released;
    bool releasing = stream->ClaimCompletedMappings(&released);
    stream->StreamLock.Leave();
    if (releasing) {
        stream->ReleaseClaimedMappings(&released);
    }
    return done;
}

// Streams are compared with the first of their group as the chunk found it; each stream joins at
// most one group, the first whose first stream converts as it does. The conversion goes into the
// processor's conversion area, where every cable's pass finds the same lines in the cache, and
// only a stream whose client buffers run out copies what is left into its own buffer. A stream's
// converter and conversion buffer change only inside a pass or under LockStateIdle, when no pass
// runs: the stream lock, which guards the mappings, is not needed here.
ULONG ShareCaptureConversions(StreamList* captureStreams, PUCHAR area, const UCHAR* mix, ULONG chunk)
{
    ULONG shared = 0;
    ULONG areaUsed = 0;  // each group's conversion after the last one's, on a fresh cache line
    for (ListEntry* walk = captureStreams->Streams.Items().First(); walk != NULL; walk = walk->Next) {
        WaveStream* first = WaveStream::FromLink(walk);
        if (!MayShareConversion(first)) {
            continue;
        }
        ULONG produced = 0;
        ConverterPosition after;
        bool converted = false;
        for (ListEntry* later = walk->Next; later != NULL; later = later->Next) {
            WaveStream* stream = WaveStream::FromLink(later);
            if (!MayShareConversion(stream) || !stream->Converter.HasFormatsOf(first->Converter) ||
                !(converted ? stream->Converter.IsAt(first->PositionAtChunkStart)
                            : stream->Converter.IsAtPositionOf(first->Converter))) {
                continue;
            }
            if (!converted) {
                // The whole chunk, and no more than the stream's own buffer would hold of it.
                ULONG consumed = 0;
                first->Converter.GetPosition(&first->PositionAtChunkStart);
                first->Converter.Convert(mix, chunk, &consumed, NULL, area + areaUsed, ConversionAreaBytes - areaUsed,
                                         &produced);
                if (consumed != chunk || produced > first->ConversionBufferSize) {
                    first->Converter.MoveTo(first->PositionAtChunkStart);
                    break;
                }
                first->Converter.GetPosition(&after);
                HandConversion(first, area + areaUsed, produced, first, after);
                converted = true;
            }
            HandConversion(stream, area + areaUsed, produced, first, after);
            ++shared;
        }
        if (converted) {
            areaUsed += (produced + CacheLineBytes - 1) & ~(CacheLineBytes - 1);
            if (areaUsed >= ConversionAreaBytes) {
                break;
            }
        }
    }
    return shared;
}
