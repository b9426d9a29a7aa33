// WaveMiniport construction, identity and teardown.
#include "filters/wave_miniport.h"

#include "core/driver_state.h"
#include "core/soft_dma.h"
#include "engine/wave_stream.h"
#include "filters/adapter.h"
#include "filters/cable.h"

WaveMiniport* WaveMiniport::Create(Cable* cable)
{
    void* memory = PoolAlloc(sizeof(WaveMiniport));
    if (memory == NULL) {
        return NULL;
    }
    return new (memory, InPlace) WaveMiniport(cable);
}

WaveMiniport::WaveMiniport(Cable* cable)
    : UnknownBase(NULL),
      Port(NULL),
      ServiceGroup(NULL),
      DmaChannel(NULL),
      MinSampleRate(8000),
      MaxSampleRate(192000),
      MinBitsPerSample(8),
      MaxBitsPerSample(32),
      MinChannels(1),
      MaxChannels(8),
      FormatLimiting(1),
      VolumeControl(FALSE),
      ContainerBytes(0),
      MixBuffer(NULL),
      ChunkSize(0),
      MixAreas(&cable->OwnerAdapter->MixAreas),
      EngineUsers(0),
      MsPerInterrupt(DefaultMsPerInterrupt),
      ClockCorrection(UnityClockCorrection),
      StartTime(0),
      ProcessedBytes(0),
      ChunksProcessed(0),
      SharedConversions(0),
      TimerUsers(0),
      DpcEntries(0),
      CableOwner(cable),
      HintCount(0)
{
    if (!NT_SUCCESS(RtlStringCbPrintfW(Name, sizeof(Name), TARN_WIDE("%S%u"), "wave", cable->Index + 1))) {
        Name[SubdeviceNameChars - 1] = 0;
    }
    BuildWaveFilterDescriptor(&FilterDescriptor, FilterPins, DefaultMaxInstances);
    ResetChannelLevels(FilterChannelLevels, FilterChannelGains);
    RtlZeroMemory(&CableFormat, sizeof(CableFormat));
    KeInitializeTimer(&Timer);
    KeInitializeDpc(&Dpc, TimerDpc, this);
    CableOwner->AddRef();
    AddRef();
}

// Every stream that started the timer held a reference, so the timer is stopped by now; a DPC it
// queued before the cancel may still be pending, and must run before its memory and its cable's
// locks go.
WaveMiniport::~WaveMiniport()
{
    KeCancelTimer(&Timer);
    KeFlushQueuedDpcs();
    PoolFree(MixBuffer);
    if (DmaChannel != NULL) {
        DmaChannel->Release();
    }
    if (ServiceGroup != NULL) {
        ServiceGroup->Release();
    }
    if (Port != NULL) {
        Port->Release();
    }
    CableOwner->Release();
}

TARN_PAGEABLE
void WaveMiniport::ReleasePort()
{
    PAGED_CODE();
    PPORTWAVEPCI port = Port;
    Port = NULL;
    if (port != NULL) {
        port->Release();
    }
}

// A failure leaves the port reference and whatever was made held; the destructor drops them.
NTSTATUS WaveMiniport::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVEPCI port,
                            PSERVICEGROUP* serviceGroup)
{
    PAGED_CODE();
    Port = port;
    Port->AddRef();
    *serviceGroup = NULL;  // the streams, not the port, get the group
    NTSTATUS status = PcNewServiceGroup(&ServiceGroup, NULL);
    if (!NT_SUCCESS(status)) {
        ServiceGroup = NULL;
        return status;
    }
    // One channel for every stream of the cable (WaveStream::Init hands it out).
    SoftDmaChannel* channel = SoftDmaChannel::Create();
    if (channel == NULL) {
        DmaChannel = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DmaChannel = channel->AsDmaChannel();
    // The streaming pins allow the cable's own number of instances.
    BuildWaveFilterDescriptor(&FilterDescriptor, FilterPins, CableOwner->MaxInstances);
    return STATUS_SUCCESS;
}

NTSTATUS WaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    PUNKNOWN found = NULL;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniport) ||
        IsEqualGUIDAligned(iid, IID_IMiniportWavePci)) {
        found = static_cast<IMiniportWavePci*>(this);
    }
    *object = found;
    return ReturnInterface(found);
}

NTSTATUS WaveMiniport::NewStream(PMINIPORTWAVEPCISTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                 PPORTWAVEPCISTREAM portStream, ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                                 PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup)
{
    PAGED_CODE();
    WAVEFORMATEXTENSIBLE format;
    WaveStream* created = NULL;
    Cable* cable = CableOwner;
    cable->FormatLock.Enter();
    NTSTATUS status = ParseDataFormat(dataFormat, &format);
    if (!NT_SUCCESS(status)) {
        goto Done;
    }
    created = WaveStream::Create(outerUnknown, this, portStream, pin, capture);
    if (created == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }
    status = created->Init(&format, dmaChannel);
    if (!NT_SUCCESS(status)) {
        goto Done;
    }
    if (RenderStreams.Streams.Items().Empty() && CaptureStreams.Streams.Items().Empty()) {
        // The cable's first stream: a timer period is honoured only with a finer system timer.
        RequestTimerResolution(MsPerInterrupt * 1000 / 2);
    }
    (capture ? CaptureStreams : RenderStreams).Streams.PushBack(&created->Link);
    created->AddRef();
    *stream = created;
    if (ServiceGroup != NULL) {
        ServiceGroup->AddRef();
    }
    *serviceGroup = ServiceGroup;
Done:
    cable->FormatLock.Leave();
    // The creation reference is on the stream's own count, so a stream that failed to initialise
    // goes here whoever aggregates it, and the aggregating object's count is never touched. An
    // aggregated stream keeps it as its aggregate's hold, which the aggregate ends through the
    // stream's non-delegating unknown; the caller's reference above went to the aggregate.
    if (created != NULL && (!NT_SUCCESS(status) || outerUnknown == NULL)) {
        created->NonDelegatingRelease();
    }
    return status;
}

void WaveMiniport::RemoveStream(WaveStream* stream)
{
    CableOwner->FormatLock.Enter();
    LockStateIdle();
    StreamList& list = stream->Capture ? CaptureStreams : RenderStreams;
    if (list.Streams.Contains(&stream->Link)) {
        list.Streams.Remove(&stream->Link);
        if (list.Streams.Items().Empty()) {
            RtlZeroMemory(list.RestrictedThreads, sizeof(list.RestrictedThreads));
        }
    }
    UnlockStateIdle();
    CableOwner->FormatLock.Leave();
}
