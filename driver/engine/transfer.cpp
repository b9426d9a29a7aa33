// The per-stream transfer between client buffers and the mix buffer.
#include "engine/transfer.h"

#include "engine/mix.h"
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
    if (stream->ConversionDataLength > 0) {
        Mapping* head = HeadMapping(stream);
        ULONG k = stream->ConversionDataLength - stream->ConversionReadOffset;
        k = Min(k, (head != NULL) ? head->ByteCount - head->Consumed : 0);
        PUCHAR data = stream->ConversionBuffer + stream->ConversionReadOffset;
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
