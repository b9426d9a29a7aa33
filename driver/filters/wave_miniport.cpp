// WaveMiniport construction, identity and teardown.
#include "filters/wave_miniport.h"

#include "core/driver_state.h"
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
      MixAreas((cable != NULL && cable->OwnerAdapter != NULL) ? &cable->OwnerAdapter->MixAreas : NULL),
      EngineUsers(0),
      MsPerInterrupt(DefaultMsPerInterrupt),
      ClockCorrection(UnityClockCorrection),
      StartTime(0),
      ProcessedBytes(0),
      ChunksProcessed(0),
      TimerUsers(0),
      DpcEntries(0),
      CableOwner(cable),
      HintCount(0)
{
    ResetChannelLevels(FilterChannelLevels, FilterChannelGains);
    RtlZeroMemory(&CableFormat, sizeof(CableFormat));
    KeInitializeTimer(&Timer);
    KeInitializeDpc(&Dpc, TimerDpc, this);
    AddRef();
}

// Every stream that started the timer held a reference, so the timer is stopped by now; a DPC it
// queued before the cancel may still be pending, and must run before its memory goes.
WaveMiniport::~WaveMiniport()
{
    KeCancelTimer(&Timer);
    KeFlushQueuedDpcs();
    PoolFree(MixBuffer);
    if (ServiceGroup != NULL) {
        ServiceGroup->Release();
    }
    if (Port != NULL) {
        Port->Release();
    }
}

NTSTATUS WaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description)
{
    *description = NULL;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WaveMiniport::DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                             ULONG outputBufferLength, PVOID resultantFormat,
                                             PULONG resultantFormatLength)
{
    return STATUS_NOT_IMPLEMENTED;
}

// A failure to make the service group leaves the port reference held; the destructor drops it.
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
    }
    return status;
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
    if (cable == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
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
    // The creation reference: a stream that failed to initialise goes here.
    if (created != NULL) {
        created->Release();
    }
    return status;
}

void WaveMiniport::RemoveStream(WaveStream* stream)
{
    Cable* cable = CableOwner;
    if (cable != NULL) {
        cable->FormatLock.Enter();
        LockStateIdle();
    }
    StreamList& list = stream->Capture ? CaptureStreams : RenderStreams;
    if (list.Streams.Contains(&stream->Link)) {
        list.Streams.Remove(&stream->Link);
        if (list.Streams.Items().Empty()) {
            RtlZeroMemory(list.RestrictedThreads, sizeof(list.RestrictedThreads));
        }
    }
    if (cable != NULL) {
        UnlockStateIdle();
        cable->FormatLock.Leave();
    }
}
