// The cable's processing cycle: engine acquisition, the period timer and its DPC, and the passes
// that mix every render stream into the mix buffer and hand it to every capture stream.
#include "config/driver_params.h"
#include "core/prefetch.h"
#include "engine/audio_format.h"
#include "engine/mix.h"
#include "engine/mix_areas.h"
#include "engine/timing.h"
#include "engine/transfer.h"
#include "engine/wave_stream.h"
#include "filters/cable.h"
#include "filters/topology_miniport.h"
#include "filters/wave_miniport.h"

namespace {

// The period timer's relative due time, in 100-ns units.
LONGLONG PeriodDueTime(ULONG milliseconds)
{
    return -10000LL * static_cast<LONGLONG>(milliseconds);
}

ULONG Clamp(ULONG value, ULONG minimum, ULONG maximum)
{
    return (value < minimum) ? minimum : (value > maximum) ? maximum : value;
}

// The line out's volume and mute on the whole mix: each channel's gain, or silence where the
// channel is muted. The topology's lines are changed only while no pass runs. The topology
// miniport outlives every pass: the cable drops it only at teardown, when no stream is left.
void ApplyLineOut(const Cable* cable, const WAVEFORMATEXTENSIBLE* cableFormat, PUCHAR mix, ULONG bytes)
{
    const TopologyMiniport* topology = cable->Topology;
    if (topology == NULL || topology->Lines == NULL || topology->LineCount == 0) {
        return;  // no lines built: nothing to apply
    }
    const TopologyLine& lineOut = topology->Lines[0];
    ScalePair gains[GainTableEntries];
    for (ULONG channel = 0; channel < GainTableEntries; ++channel) {
        gains[channel] = lineOut.ChannelMutes[channel] ? ScalePair{0, 1} : lineOut.ChannelGains[channel];
    }
    ScaleBuffer(mix, bytes, cableFormat, gains);
}

}  // namespace

NTSTATUS WaveMiniport::AcquireEngine(const WAVEFORMATEXTENSIBLE* streamFormat)
{
    if (EngineUsers++ > 0) {
        return STATUS_SUCCESS;
    }
    CableFormat = *streamFormat;
    WAVEFORMATEX& format = CableFormat.Format;
    ULONG rate = Clamp(format.nSamplesPerSec, MinSampleRate, MaxSampleRate);
    ULONG validBits = Clamp(CableFormat.Samples.wValidBitsPerSample, MinBitsPerSample, MaxBitsPerSample);
    ULONG channels = Clamp(format.nChannels, MinChannels, MaxChannels);
    if (rate != format.nSamplesPerSec || validBits != CableFormat.Samples.wValidBitsPerSample ||
        channels != format.nChannels) {
        ULONG containerBits = ((validBits + 7) / 8) * 8;
        format.nSamplesPerSec = rate;
        format.nChannels = static_cast<WORD>(channels);
        format.wBitsPerSample = static_cast<WORD>(containerBits);
        CableFormat.Samples.wValidBitsPerSample = static_cast<WORD>(containerBits);
        format.nBlockAlign = static_cast<WORD>(containerBits * channels / 8);
        format.nAvgBytesPerSec = format.nBlockAlign * rate;
        CableFormat.dwChannelMask = DefaultChannelMask(channels);
    }
    ContainerBytes = format.nBlockAlign / format.nChannels;

    // One chunk: at least one timer period and never under 20 ms.
    ULONG chunkMs = (MsPerInterrupt > MinChunkMilliseconds) ? MsPerInterrupt : MinChunkMilliseconds;
    ChunkSize = DurationToBytes(&CableFormat, chunkMs);
    MixBuffer = static_cast<PUCHAR>(PoolAlloc(ChunkSize));
    if (MixBuffer == NULL) {
        ChunkSize = 0;
        if (--EngineUsers == 0) {
            CableFormat.Format.wFormatTag = 0;
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void WaveMiniport::ReleaseEngine()
{
    if (--EngineUsers == 0) {
        PoolFree(MixBuffer);
        MixBuffer = NULL;
        ChunkSize = 0;
        CableFormat.Format.wFormatTag = 0;
    }
}

void WaveMiniport::StartTimer()
{
    if (InterlockedIncrement(&TimerUsers) != 1) {
        return;
    }
    StartTime = KeQueryInterruptTime();
    ProcessedBytes = 0;
    KeSetImportanceDpc(&Dpc, HighImportance);
    if (Params.SplitDpcAmongCpus) {
        KeSetTargetProcessorDpc(&Dpc, static_cast<CCHAR>(CableOwner->Index % KeQueryActiveProcessorCount(NULL)));
    }
    ArmTimer();
}

void WaveMiniport::StopTimer()
{
    // A DPC already queued still runs once and finds no timer users.
    if (InterlockedDecrement(&TimerUsers) == 0) {
        KeCancelTimer(&Timer);
    }
}

// The period is read at every arming, so a changed "Milliseconds per interrupt" applies from the
// next DPC on.
void WaveMiniport::ArmTimer()
{
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = PeriodDueTime(MsPerInterrupt);
    KeSetTimer(&Timer, dueTime, &Dpc);
}

void WaveMiniport::LockStateIdle()
{
    CableOwner->StateLock.Enter();
    // New DPCs now wait for StateLock; a pass already inside finishes first.
    while (InterlockedCompareExchange(&DpcEntries, 0, 0) != 0) {
        YieldProcessor();
    }
}

void WaveMiniport::UnlockStateIdle()
{
    CableOwner->StateLock.Leave();
}

// The timer's DPC. The timer is one-shot and re-armed before processing, so the period runs from
// DPC to DPC and a long pass does not stretch it. A DPC that finds another processor inside the
// processing section leaves it one more pass to make instead of processing the cable twice at once.
void WaveMiniport::TimerDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
{
    auto* miniport = static_cast<WaveMiniport*>(context);
    miniport->PrefetchEngineState();
    Cable* cable = miniport->CableOwner;
    cable->StateLock.Enter();
    bool running = ReadNoFence(&miniport->TimerUsers) != 0;
    if (running) {
        miniport->ArmTimer();
    }
    bool first = InterlockedIncrement(&miniport->DpcEntries) == 1;
    cable->StateLock.Leave();
    if (!first) {
        return;
    }
    ENTER_PROCESSING_SECTION("cable processing section");
    do {
        if (running) {
            miniport->ProcessTick();
        }
    } while (InterlockedDecrement(&miniport->DpcEntries) != 0);
    LEAVE_PROCESSING_SECTION();
}

// The fields the DPC reads, from the port to the stream hints, and the heads of the two stream
// lists.
void WaveMiniport::PrefetchEngineState() const
{
    const UCHAR* start = reinterpret_cast<const UCHAR*>(&Port);
    const UCHAR* end = reinterpret_cast<const UCHAR*>(&HintCount + 1);
    PrefetchBytes(start, static_cast<ULONG>(end - start));
    PrefetchBytes(&RenderStreams, sizeof(LockedList));
    PrefetchBytes(&CaptureStreams, sizeof(LockedList));
    PrefetchBytes(&CableOwner->StateLock, sizeof(CableOwner->StateLock));
    // All at once, where walking the stream lists would wait for each stream in turn. A pass on
    // another processor may be rewriting the hints: they are read and written as single words,
    // and a mixed set only asks for the wrong lines.
    const ULONG count = static_cast<ULONG>(ReadNoFence(&HintCount));
    for (ULONG index = 0; index < count && index < MaxHintedStreams; ++index) {
        const StreamHint& hint = Hints[index];
        WaveStream::PrefetchTransferState(static_cast<const WaveStream*>(ReadPointerNoFence(&hint.Stream)),
                                          static_cast<const Mapping*>(ReadPointerNoFence(&hint.NextMapping)),
                                          static_cast<const UCHAR*>(ReadPointerNoFence(&hint.NextClientByte)),
                                          ReadPointerNoFence(&hint.PortStream));
    }
}

void WaveMiniport::RecordStreamHints()
{
    LONG count = 0;
    StreamList* lists[] = {&RenderStreams, &CaptureStreams};
    for (StreamList* list : lists) {
        for (ListEntry* walk = list->Streams.Items().First();
             walk != NULL && count < static_cast<LONG>(MaxHintedStreams); walk = walk->Next) {
            WaveStream* stream = WaveStream::FromLink(walk);
            WritePointerNoFence(&Hints[count].Stream, stream);
            WritePointerNoFence(&Hints[count].NextMapping, stream->NextMapping);
            WritePointerNoFence(&Hints[count].NextClientByte, stream->NextClientByte);
            WritePointerNoFence(&Hints[count].PortStream, stream->PortStream);
            ++count;
        }
    }
    WriteRelease(&HintCount, count);
}

// A late pass catches up on everything due, up to its own period and MaxCatchUpMilliseconds more.
// A larger backlog means the DPC was stalled: the pass processes that much, drops the rest as
// counted underflows and overflows, and re-bases the clock at now, so the next pass is an ordinary
// one. (Processed bytes ahead of the bytes due, which would read as almost 2^64 owed, are re-based
// the same way.)
void WaveMiniport::ProcessTick()
{
    ULONGLONG now = KeQueryInterruptTime();
    ULONGLONG owed = CableBytesDueAt(now) - ProcessedBytes;
    if (owed != 0 && ReadNoFence(&TimerUsers) != 0) {
        ULONG limit = DurationToBytes(&CableFormat, MsPerInterrupt + MaxCatchUpMilliseconds);
        if (owed <= limit) {
            ProcessBytes(static_cast<ULONG>(owed));
            ProcessedBytes += owed;
        } else {
            ProcessBytes(limit);
            CountDroppedBacklog();
            ReBaseClock(now);
        }
    }
    if (Port != NULL) {
        Port->Notify(ServiceGroup);
    }
}

void WaveMiniport::CountDroppedBacklog()
{
    Cable* cable = CableOwner;
    StreamList* lists[] = {&RenderStreams, &CaptureStreams};
    for (StreamList* list : lists) {
        LONG* counter = (list == &RenderStreams) ? &cable->RenderUnderflows : &cable->CaptureOverflows;
        for (ListEntry* walk = list->Streams.Items().First(); walk != NULL; walk = walk->Next) {
            if (WaveStream::FromLink(walk)->State == KSSTATE_RUN) {
                InterlockedIncrement(counter);
            }
        }
    }
}

ULONG WaveMiniport::ProcessBytes(ULONG total)
{
    if (ChunkSize == 0) {
        return 0;  // no engine user holds a mix buffer
    }
    CHARGE_PROCESSING_WORK(total);
    // With no stream on either side nothing would see the mix: the clock still advances.
    bool anyStream = !RenderStreams.Streams.Items().Empty() || !CaptureStreams.Streams.Items().Empty();
    UCHAR silence = (ContainerBytes == 1) ? 0x80 : 0x00;
    ULONG done = 0;
    while (done < total) {
        ULONG chunk = (total - done < ChunkSize) ? total - done : ChunkSize;
        if (anyStream) {
            // The chunk is mixed in this processor's mix area when it fits (mix_areas.h), else in
            // the cable's own buffer: the mix is the same either way.
            PUCHAR mix = (MixAreas != NULL) ? MixAreas->AreaFor(chunk) : NULL;
            if (mix == NULL) {
                mix = MixBuffer;
            }
            RtlFillMemory(mix, chunk, silence);
            // Every render stream is mixed in before any capture stream reads, so all capture
            // clients receive the same mix of the same chunk.
            for (ListEntry* walk = RenderStreams.Streams.Items().First(); walk != NULL; walk = walk->Next) {
                TransferStream(WaveStream::FromLink(walk), mix, chunk);
            }
            if (VolumeControl) {
                ApplyLineOut(CableOwner, &CableFormat, mix, chunk);
            }
            const ListEntry* firstCapture = CaptureStreams.Streams.Items().First();
            PUCHAR conversionArea = (MixAreas != NULL) ? MixAreas->ConversionArea() : NULL;
            if (firstCapture != NULL && firstCapture->Next != NULL && conversionArea != NULL) {
                SharedConversions += ShareCaptureConversions(&CaptureStreams, conversionArea, mix, chunk);
            }
            for (ListEntry* walk = CaptureStreams.Streams.Items().First(); walk != NULL; walk = walk->Next) {
                TransferStream(WaveStream::FromLink(walk), mix, chunk);
            }
        }
        ++ChunksProcessed;
        done += chunk;
    }
    if (anyStream) {
        RecordStreamHints();
    }
    return done;
}

