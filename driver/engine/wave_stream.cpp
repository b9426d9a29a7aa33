// WaveStream: construction and destruction, format handling, the KS state machine, and the
// mappings borrowed from the port.
#include "engine/wave_stream.h"

#include "core/prefetch.h"

#include "engine/thread_affinity.h"
#include "engine/timing.h"
#include "filters/adapter.h"
#include "filters/cable.h"
#include "filters/wave_miniport.h"

namespace {

constexpr ULONG PrefetchFrames = 32;
constexpr ULONG AllocatorFrameMs = 15;
constexpr ULONG AllocatorFrames = 8;
constexpr ULONG AllocatorRequirements = 0x80000002;  // PREFERENCES_ONLY | SYSTEM_MEMORY
constexpr ULONG FileLongAlignment = 3;

bool IsKnownState(KSSTATE state)
{
    return state == KSSTATE_STOP || state == KSSTATE_ACQUIRE || state == KSSTATE_PAUSE || state == KSSTATE_RUN;
}

// Inclusive, in acquisition order: a range whose first tag is above its last wraps through 0.
bool TagInRange(ULONG tag, ULONG first, ULONG last)
{
    return (first <= last) ? (tag >= first && tag <= last) : (tag >= first || tag <= last);
}

}  // namespace

WaveStream* WaveStream::Create(PUNKNOWN outerUnknown, WaveMiniport* miniport, PPORTWAVEPCISTREAM portStream,
                               ULONG pin, BOOLEAN capture)
{
    // Non-paged whatever pool the port names: the processing pass and the port's DPC-level calls
    // touch every field at DISPATCH_LEVEL.
    void* memory = PoolAlloc(sizeof(WaveStream));
    if (memory == NULL) {
        return NULL;
    }
    return new (memory, InPlace) WaveStream(outerUnknown, miniport, portStream, pin, capture);
}

WaveStream::WaveStream(PUNKNOWN outerUnknown, WaveMiniport* miniport, PPORTWAVEPCISTREAM portStream, ULONG pin,
                       BOOLEAN capture)
    : UnknownBase(outerUnknown),
      Link{NULL, NULL},
      Pin(pin),
      Capture(capture),
      Miniport(miniport),
      PortStream(portStream),
      DmaChannel(NULL),
      Initialized(FALSE),
      EngineHeld(FALSE),
      State(KSSTATE_STOP),
      PositionAccumulator(0),
      Position(0),
      NextTag(0),
      LowWatermark(DefaultLowWatermark),
      HighWatermark(DefaultHighWatermark),
      PendingBytes(0),
      Acquiring(FALSE),
      Releasing(FALSE),
      Arrivals(0),
      RefusedAtArrival(-1),
      InFlightTag(0),
      MappingInFlight(FALSE),
      InFlightRevoked(FALSE),
      PartialLength(0),
      PartialFillOffset(0),
      ConversionBuffer(NULL),
      ConversionBufferSize(0),
      ConversionDataLength(0),
      ConversionReadOffset(0),
      HandedBytes(0),
      HandedData(NULL),
      HandedFrom(NULL),
      PositionAtChunkStart{},
      NextMapping(NULL),
      NextClientByte(NULL)
{
    ResetChannelLevels(ChannelLevels, ChannelGains);
    RtlZeroMemory(&Format, sizeof(Format));
    RtlZeroMemory(PartialFrame, sizeof(PartialFrame));
    for (Mapping& record : MappingRecords) {
        FreeMappings.PushBack(&record.Link);
    }
    // The creation reference is the object's own, whoever aggregates it: NewStream drops it with
    // NonDelegatingRelease, which destroys a stream that failed to initialise.
    NonDelegatingAddRef();
    Miniport->AddRef();
    PortStream->AddRef();
    Miniport->CableOwner->OwnerAdapter->AddLiveStream();
}

// The last reference: stop (so a started stream gives the engine back), leave the miniport's
// list, drop the references.
WaveStream::~WaveStream()
{
    SetState(KSSTATE_STOP);
    Miniport->CableOwner->OwnerAdapter->RemoveLiveStream();
    Miniport->RemoveStream(this);
    Initialized = FALSE;
    if (DmaChannel != NULL) {
        DmaChannel->Release();
    }
    PortStream->Release();
    Miniport->Release();
}

NTSTATUS WaveStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    PUNKNOWN found = NULL;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniportWavePciStream)) {
        found = static_cast<IMiniportWavePciStream*>(this);
    }
    *object = found;
    return ReturnInterface(found);
}

NTSTATUS WaveStream::Init(const WAVEFORMATEXTENSIBLE* format, PDMACHANNEL* dmaChannel)
{
    NTSTATUS status = ApplyFormat(format);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The port neither uses nor releases the channel it is handed, so the stream keeps its own
    // reference for as long as the pointer it handed out may be used.
    DmaChannel = Miniport->DmaChannel;
    if (DmaChannel != NULL) {
        DmaChannel->AddRef();
    }
    *dmaChannel = DmaChannel;
    IPreFetchOffset* prefetch = NULL;
    if (NT_SUCCESS(PortStream->QueryInterface(IID_IPreFetchOffset, reinterpret_cast<PVOID*>(&prefetch))) &&
        prefetch != NULL) {
        prefetch->SetPreFetchOffset(PrefetchFrames * Format.Format.nBlockAlign);
        prefetch->Release();
    }
    Initialized = TRUE;
    return STATUS_SUCCESS;
}

// The format and watermarks change under the stream lock: a refill in another thread reads the
// watermarks under it.
NTSTATUS WaveStream::ApplyFormat(const WAVEFORMATEXTENSIBLE* format)
{
    NTSTATUS status = Miniport->ValidateFormat(format);
    StreamLock.Enter();
    if (NT_SUCCESS(status)) {
        Format = *format;
        LowWatermark = DurationToBytes(&Format, LowWatermarkMs);
        HighWatermark = DurationToBytes(&Format, HighWatermarkMs);
    } else {
        Format.Format.wFormatTag = 0;
        LowWatermark = DefaultLowWatermark;
        HighWatermark = DefaultHighWatermark;
    }
    StreamLock.Leave();
    return status;
}

void WaveStream::DropConversionBuffer()
{
    PoolFree(ConversionBuffer);
    ConversionBuffer = NULL;
    ConversionBufferSize = 0;
    ConversionDataLength = 0;
    ConversionReadOffset = 0;
    if (Converter.IsReady()) {
        Converter.Reset();
    }
}

// Render converts the stream into the cable format; capture converts the cable format into the
// stream. The conversion buffer holds one chunk of cable time on the converter's output side.
NTSTATUS WaveStream::PrepareConverter()
{
    const WAVEFORMATEXTENSIBLE* cableFormat = &Miniport->CableFormat;
    bool ready = Capture ? Converter.Setup(cableFormat, &Format) : Converter.Setup(&Format, cableFormat);
    if (!ready) {
        DropConversionBuffer();
        return STATUS_UNSUCCESSFUL;
    }
    ULONG size = Capture ? Converter.ConvertedSize(Miniport->ChunkSize, true) : Miniport->ChunkSize;
    ConversionBuffer = static_cast<PUCHAR>(PoolAlloc(size));
    if (ConversionBuffer == NULL) {
        DropConversionBuffer();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ConversionBufferSize = size;
    ConversionDataLength = 0;
    ConversionReadOffset = 0;
    return STATUS_SUCCESS;
}

// Caller holds LockStateIdle and no engine: takes an engine user, the converter and its buffer,
// and a timer user, all or none.
NTSTATUS WaveStream::StartStreaming()
{
    if (Format.Format.wFormatTag == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = Miniport->AcquireEngine(&Format);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PrepareConverter();
    if (!NT_SUCCESS(status)) {
        Miniport->ReleaseEngine();
        return status;
    }
    PartialLength = 0;
    PartialFillOffset = 0;
    Miniport->StartTimer();
    EngineHeld = TRUE;
    return STATUS_SUCCESS;
}

// Caller holds LockStateIdle: gives back what a start took, when the stream holds it.
void WaveStream::StopStreaming()
{
    if (!EngineHeld) {
        return;
    }
    Miniport->StopTimer();
    DropConversionBuffer();
    Miniport->ReleaseEngine();
    EngineHeld = FALSE;
}

NTSTATUS WaveStream::SetFormat(PKSDATAFORMAT dataFormat)
{
    WAVEFORMATEXTENSIBLE requested;
    Cable* cable = Miniport->CableOwner;
    cable->FormatLock.Enter();
    NTSTATUS status = ParseDataFormat(dataFormat, &requested);
    if (!NT_SUCCESS(status)) {
        goto Done;
    }
    if (State == KSSTATE_RUN) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        goto Done;
    }
    {
        // A started stream gives the engine back and takes it again in the new format.
        bool restart = (State != KSSTATE_STOP);
        if (restart) {
            Miniport->LockStateIdle();
            StopStreaming();
            Miniport->UnlockStateIdle();
        }
        WAVEFORMATEXTENSIBLE previous = Format;
        status = ApplyFormat(&requested);
        if (!NT_SUCCESS(status) && previous.Format.wFormatTag != 0) {
            ApplyFormat(&previous);
        }
        if (restart) {
            Miniport->LockStateIdle();
            NTSTATUS restartStatus = StartStreaming();
            Miniport->UnlockStateIdle();
            if (NT_SUCCESS(status)) {
                status = restartStatus;
            }
        }
    }
Done:
    cable->FormatLock.Leave();
    return status;
}

NTSTATUS WaveStream::SetState(KSSTATE state)
{
    if (!IsKnownState(state)) {
        return STATUS_INVALID_PARAMETER;
    }
    Cable* cable = Miniport->CableOwner;
    cable->FormatLock.Enter();
    Miniport->LockStateIdle();
    StreamLock.Enter();
    NTSTATUS status = ChangeState(state);
    StreamLock.Leave();
    Miniport->UnlockStateIdle();
    cable->FormatLock.Leave();
    return status;
}

// Caller holds FormatLock, LockStateIdle and the stream lock. A stream holds the cable engine in
// every state but KSSTATE_STOP: it takes it on leaving STOP, by whatever step, and gives it back on
// reaching STOP. The port steps one state at a time, but any order keeps the counts exact, as the
// start and stop go by EngineHeld rather than by the states. KSSTATE_RUN needs the engine: a stream
// left without one by a failed format change tries to take it again there.
NTSTATUS WaveStream::ChangeState(KSSTATE state)
{
    if (state == State) {
        return STATUS_SUCCESS;
    }
    if (state == KSSTATE_STOP) {
        StopStreaming();
        // Pending mappings stay until the port revokes them.
        Position = 0;
        PositionAccumulator = 0;
        ConversionDataLength = 0;
        ConversionReadOffset = 0;
        HandedBytes = 0;
        HandedData = NULL;
        HandedFrom = NULL;
        PartialLength = 0;
        PartialFillOffset = 0;
    } else if (!EngineHeld && (State == KSSTATE_STOP || state == KSSTATE_RUN)) {
        NTSTATUS status = StartStreaming();
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    State = state;
    return STATUS_SUCCESS;
}

NTSTATUS WaveStream::GetPosition(PULONGLONG position)
{
    StreamLock.Enter();
    *position = Position;
    StreamLock.Leave();
    return STATUS_SUCCESS;
}

// Bytes of the stream format to 100-ns units, rounded to the nearest: bytes * 10^7 / (block
// align * rate), exact for any block alignment and any position. The product would overflow 64
// bits after a few days, so whole seconds are taken out first, and the remainder (below one
// second's bytes, at most 2^48) is scaled in two steps of 10^4 and 10^3 that each stay in 64 bits.
NTSTATUS WaveStream::NormalizePhysicalPosition(PLONGLONG physicalPosition)
{
    const ULONGLONG bytesPerSecond =
        static_cast<ULONGLONG>(Format.Format.nBlockAlign) * Format.Format.nSamplesPerSec;
    if (bytesPerSecond == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const bool negative = *physicalPosition < 0;
    const ULONGLONG bytes = negative ? 0 - static_cast<ULONGLONG>(*physicalPosition)
                                     : static_cast<ULONGLONG>(*physicalPosition);
    const ULONGLONG seconds = bytes / bytesPerSecond;
    const ULONGLONG rest = bytes % bytesPerSecond;
    const ULONGLONG scaled = rest * 10000;
    const ULONGLONG high = scaled / bytesPerSecond;
    const ULONGLONG low = ((scaled % bytesPerSecond) * 1000 + bytesPerSecond / 2) / bytesPerSecond;
    const ULONGLONG units = seconds * 10000000 + high * 1000 + low;
    *physicalPosition = negative ? -static_cast<LONGLONG>(units) : static_cast<LONGLONG>(units);
    return STATUS_SUCCESS;
}

NTSTATUS WaveStream::GetAllocatorFraming(PKSALLOCATOR_FRAMING allocatorFraming)
{
    allocatorFraming->RequirementsFlags = AllocatorRequirements;
    allocatorFraming->PoolType = NonPagedPool;
    allocatorFraming->Frames = AllocatorFrames;
    allocatorFraming->FrameSize =
        ((Format.Format.nSamplesPerSec * AllocatorFrameMs + 500) / 1000) * Format.Format.nBlockAlign;
    allocatorFraming->FileAlignment = FileLongAlignment;
    return STATUS_SUCCESS;
}

NTSTATUS WaveStream::RevokeMappings(PVOID firstTag, PVOID lastTag, PULONG mappingsRevoked)
{
    ULONG first = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(firstTag));
    ULONG last = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(lastTag));
    ULONG revoked = 0;
    StreamLock.Enter();
    // Every mapping the port handed out and has not had back: pending, used up but not yet
    // claimed for release, and the one a refill is filing right now. A release already claimed
    // goes on and is not counted.
    List* lists[] = {&PendingMappings, &CompletedMappings};
    for (List* list : lists) {
        ListEntry* walk = list->First();
        while (walk != NULL) {
            ListEntry* next = walk->Next;
            auto* record = CONTAINING_RECORD(walk, Mapping, Link);
            if (TagInRange(record->Tag, first, last)) {
                list->Remove(walk);
                if (list == &PendingMappings) {
                    PendingBytes -= record->ByteCount;
                }
                FreeMappings.PushBack(walk);
                ++revoked;
            }
            walk = next;
        }
    }
    if (MappingInFlight && !InFlightRevoked && TagInRange(InFlightTag, first, last)) {
        InFlightRevoked = TRUE;
        ++revoked;
    }
    StreamLock.Leave();
    *mappingsRevoked = revoked;
    return STATUS_SUCCESS;
}

// The port may call from a client thread at PASSIVE_LEVEL. The refill and release claims are
// run at DISPATCH_LEVEL, so a preempted client thread never holds a claim that the cable's DPC
// then waits for and counts as an underflow or overflow.
void WaveStream::MappingAvailable()
{
    InterlockedIncrement(&Arrivals);
    // Waits out a transfer pass in progress.
    StreamLock.Enter();
    StreamLock.Leave();
    // In the thread that delivered the buffers, the thread the restriction is about.
    RestrictThreadAffinity(Miniport, Capture);
    KIRQL previousIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &previousIrql);
    ReleaseCompletedMappings();
    GetMappings();
    KeLowerIrql(previousIrql);
}

void WaveStream::Service() {}

// Caller holds the stream lock. After GetMapping found no client buffer (STATUS_NOT_FOUND) the
// port announces the next one through MappingAvailable, so until a buffer has arrived asking
// again is wasted. Any other refusal is retried at the next pass.
// The watermark counts the bytes still to transfer: a mapping larger than the low watermark, when
// nearly used up, must not keep the refill away until the pass runs dry in its middle.
bool WaveStream::RefillWanted() const
{
    const ListEntry* head = PendingMappings.First();
    const ULONG headConsumed = (head != NULL) ? CONTAINING_RECORD(head, Mapping, Link)->Consumed : 0;
    const ULONG unconsumed = PendingBytes - headConsumed;
    return unconsumed < LowWatermark && PendingMappings.Size() < RefillMappingCount &&
           PendingBytes < HighWatermark && RefusedAtArrival != ReadArrivals();
}

// Client bytes hinted: what a 5-ms pass of 48 kHz stereo 16-bit audio moves, after which the
// processor's own prefetcher follows a longer run. Past the end of the head mapping the bytes
// are usually the same buffer's next page, where the pass goes on.
constexpr ULONG PrefetchClientBytes = 1024;

// The port stream's interface is called for every mapping taken and released: the object's
// vtable pointer and what the port keeps beside it.
constexpr ULONG PrefetchPortStreamBytes = 2 * CacheLineBytes;

void WaveStream::PrefetchTransferState(const WaveStream* stream, const Mapping* mapping, const UCHAR* clientBytes,
                                       const void* portStream)
{
    const UCHAR* start = reinterpret_cast<const UCHAR*>(stream);
    const UCHAR* end = reinterpret_cast<const UCHAR*>(&stream->Converter + 1);
    PrefetchBytes(start, static_cast<ULONG>(end - start));
    PrefetchBytes(mapping, sizeof(Mapping));
    PrefetchBytes(clientBytes, PrefetchClientBytes);
    PrefetchBytes(portStream, PrefetchPortStreamBytes);
}

LONG WaveStream::ReadArrivals() const
{
    return ReadNoFence(&Arrivals);
}

// Caller holds the stream lock. A free record while more mappings are wanted, else null.
ListEntry* WaveStream::TakeRecordForMapping()
{
    if (PendingBytes >= HighWatermark || PendingMappings.Size() >= MaxPendingMappings) {
        return NULL;
    }
    return FreeMappings.PopFront();
}

// Caller holds the stream lock. Claims the refill when one is wanted and no other caller is
// refilling, with the first record for it; null when there is nothing to do. *arrivals is read
// before the port is asked, for RunRefill.
ListEntry* WaveStream::ClaimRefill(LONG* arrivals)
{
    *arrivals = ReadArrivals();
    if (Acquiring || !RefillWanted()) {
        return NULL;
    }
    ListEntry* free = TakeRecordForMapping();
    Acquiring = (free != NULL) ? TRUE : FALSE;
    if (free != NULL) {
        MarkMappingInFlight();
    }
    return free;
}

void WaveStream::MarkMappingInFlight()
{
    InFlightTag = NextTag;
    MappingInFlight = TRUE;
    InFlightRevoked = FALSE;
}

// Runs a claimed refill with its first record: asks the port for mappings until it refuses or the
// rule says stop, and gives up the claim in the hold that ends it. No spin lock may be held.
// arrivals: as ClaimRefill read it, so that a buffer arriving later is retried for.
ULONG WaveStream::RunRefill(ListEntry* free, LONG arrivals)
{
    ULONG obtained = 0;
    while (free != NULL) {
        auto* record = CONTAINING_RECORD(free, Mapping, Link);
        // Only the claimant changes NextTag.
        const ULONG tag = NextTag;
        PHYSICAL_ADDRESS physical;
        PVOID virtualAddress = NULL;
        ULONG byteCount = 0;
        ULONG flags = 0;
        // The port forbids holding a spin lock across GetMapping.
        NTSTATUS status = PortStream->GetMapping(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(tag)), &physical,
                                                 &virtualAddress, &byteCount, &flags);
        StreamLock.Enter();
        MappingInFlight = FALSE;
        if (NT_SUCCESS(status) && !InFlightRevoked) {
            record->Tag = tag;
            record->VirtualAddress = static_cast<PUCHAR>(virtualAddress);
            record->ByteCount = byteCount;
            record->Consumed = 0;
            PendingMappings.PushBack(free);
            ++NextTag;
            PendingBytes += byteCount;
            ++obtained;
            // The next record is taken in the same hold as this one is filed.
            free = TakeRecordForMapping();
        } else if (NT_SUCCESS(status)) {
            // Revoked while the port handed it out: the buffer is the port's again, unused.
            ++NextTag;
            FreeMappings.PushBack(free);
            free = TakeRecordForMapping();
        } else {
            FreeMappings.PushBack(free);
            free = NULL;
            if (status == STATUS_NOT_FOUND) {
                RefusedAtArrival = arrivals;
            }
        }
        if (free != NULL) {
            MarkMappingInFlight();
        } else {
            Acquiring = FALSE;
        }
        StreamLock.Leave();
    }
    return obtained;
}

ULONG WaveStream::GetMappings()
{
    LONG arrivals = 0;
    StreamLock.Enter();
    ListEntry* free = ClaimRefill(&arrivals);
    StreamLock.Leave();
    return RunRefill(free, arrivals);
}

// Caller holds the stream lock. Claims the release of the completed mappings and moves them into
// batch; false when none are completed or another caller is releasing (and picks them up).
// Mappings go back to the port in the order they were taken, so one caller at a time: two
// processors each holding some of them could otherwise release them out of order.
bool WaveStream::ClaimCompletedMappings(List* batch)
{
    if (Releasing || CompletedMappings.Empty()) {
        return false;
    }
    Releasing = TRUE;
    CompletedMappings.MoveAllTo(batch);
    return true;
}

// Releases a claimed batch and whatever completes meanwhile, and gives up the claim in the hold
// that finds nothing more. No spin lock may be held.
void WaveStream::ReleaseClaimedMappings(List* batch)
{
    while (!batch->Empty()) {
        // The port forbids holding a spin lock across ReleaseMapping.
        for (ListEntry* walk = batch->First(); walk != NULL; walk = walk->Next) {
            ULONG tag = CONTAINING_RECORD(walk, Mapping, Link)->Tag;
            PortStream->ReleaseMapping(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(tag)));
        }
        // Return the records and pick up what completed meanwhile in one hold.
        StreamLock.Enter();
        batch->MoveAllTo(&FreeMappings);
        CompletedMappings.MoveAllTo(batch);
        if (batch->Empty()) {
            Releasing = FALSE;
        }
        StreamLock.Leave();
    }
}

void WaveStream::ReleaseCompletedMappings()
{
    List batch;
    StreamLock.Enter();
    bool claimed = ClaimCompletedMappings(&batch);
    StreamLock.Leave();
    if (claimed) {
        ReleaseClaimedMappings(&batch);
    }
}
