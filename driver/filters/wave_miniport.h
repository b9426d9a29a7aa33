// The WaveMiniport: the cable's wave filter and its mixing engine. This header holds the object
// and its engine: the cable format and mix buffer, the period timer and its DPC, the cable clock
// and the locking between the DPC and the control paths.
//
// Lock order, outermost first: Adapter::AdapterLock, Cable::FormatLock, Cable::StateLock (through
// LockStateIdle), a WaveStream's lock, the spin locks of individual lists.
#pragma once

#include "core/unknown.h"
#include "engine/gain.h"
#include "engine/stream_list.h"
#include "filters/cable.h"
#include "filters/wave_filter.h"

class Cable;
class WaveStream;

// The formats a cable accepts from its streams now.
struct FormatLimits {
    ULONG MinRate;
    ULONG MaxRate;
    ULONG MinBits;
    ULONG MaxBits;
    ULONG MinChannels;
    ULONG MaxChannels;
};

constexpr ULONG DefaultMsPerInterrupt = 5;
constexpr ULONG UnityClockCorrection = 0x10000;  // 16.16 fixed point
constexpr ULONG MinClockCorrection = 58655;      // 0xE51F, 89.500 %: the lowest that rounds to 90 %
constexpr ULONG MaxClockCorrection = 72416;      // 0x11AE0, 110.498 %: the highest that rounds to 110 %
constexpr ULONG MinChunkMilliseconds = 20;
// The backlog one pass catches up beyond its own period: the jitter of a late DPC, up to the order
// of the system's single-DPC limit. Past that the DPC was stalled (sleep, a debugger, a DPC storm)
// and the rest is dropped, so a pass never does more than about six chunks of work.
constexpr ULONG MaxCatchUpMilliseconds = 100;
constexpr ULONG MaxHintedStreams = 4;

// Where a pass left one stream's transfer, for the next DPC to ask for it on entry: addresses of
// the stream, its head mapping record, its next client byte and its port stream, never read
// through.
struct StreamHint {
    PVOID Stream;
    PVOID NextMapping;
    PVOID NextClientByte;
    PVOID PortStream;
};

class ProcessorMixAreas;

class WaveMiniport : public IMiniportWavePci, public UnknownBase {
public:
    // Allocates and constructs the miniport of `cable` (whose storage it references), holding one
    // reference; null when pool is exhausted.
    static WaveMiniport* Create(Cable* cable);

    DELEGATING_UNKNOWN
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    // Caller holds LockStateIdle. The first user fixes the cable format (clamped into the cable's
    // limits) and allocates the mix buffer; later users keep it.
    NTSTATUS AcquireEngine(const WAVEFORMATEXTENSIBLE* streamFormat);
    void ReleaseEngine();

    // By "Stream format limiting": 0, any format; 2 while the cable format is set, exactly it;
    // otherwise the cable's own limits.
    void GetFormatLimits(FormatLimits* limits) const;
    // Extensible PCM within the limits, with consistent block align and byte rate. Valid bits,
    // not the container, are held against the bits limits.
    NTSTATUS ValidateFormat(const WAVEFORMATEXTENSIBLE* format) const;

    // IMiniport. The descriptor is this miniport's; the intersection proposes the highest format
    // both the client's range and the cable's limits allow (STATUS_BUFFER_OVERFLOW with 104 for a
    // size query, STATUS_BUFFER_TOO_SMALL below 104 bytes, STATUS_NO_MATCH without overlap).
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                                  ULONG outputBufferLength, PVOID resultantFormat,
                                                  PULONG resultantFormatLength) override;

    // Drops the reference Init took on the port, for a port whose subdevice could not be
    // registered (nothing else would break the port's and the miniport's hold on each other).
    // PASSIVE_LEVEL; no stream exists.
    _IRQL_requires_(PASSIVE_LEVEL)
    void ReleasePort();
    // IMiniportWavePci. Init keeps the port and makes the service group that every stream shares.
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVEPCI port,
                                 PSERVICEGROUP* serviceGroup) override;
    // Creates a stream for a pin the port opens.
    STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVEPCISTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                      PPORTWAVEPCISTREAM portStream, ULONG pin, BOOLEAN capture,
                                      PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                                      PSERVICEGROUP* serviceGroup) override;
    // The engine runs on its own timer: nothing to do when the port asks.
    STDMETHODIMP_(void) Service() override {}
    // Unlinks a stream being destroyed, under FormatLock and LockStateIdle; does nothing for a
    // stream that never joined a list.
    void RemoveStream(WaveStream* stream);

    // The first user sets the clock origin and arms the timer; the last cancels it.
    void StartTimer();
    void StopTimer();

    // StateLock, then wait until no processing pass runs: keeps the DPC out while the control
    // paths change what it reads.
    _IRQL_requires_max_(DISPATCH_LEVEL)
    void LockStateIdle();
    void UnlockStateIdle();

    // One pass of the cable clock: process the bytes due, then have the port service its streams.
    _IRQL_requires_(DISPATCH_LEVEL)
    void ProcessTick();
    // Processes `total` cable bytes in chunks of at most ChunkSize; returns the bytes processed.
    _IRQL_requires_(DISPATCH_LEVEL)
    ULONG ProcessBytes(ULONG total);
    // Hints into the cache what the timer DPC reads first, and the streams as the last pass left
    // them.
    void PrefetchEngineState() const;
    // Records where the pass left the first streams, for the next DPC's hints.
    void RecordStreamHints();

    // Cable bytes due since the clock origin, now or at interrupt time `now`.
    ULONGLONG CableBytesDue() const { return CableBytesDueAt(KeQueryInterruptTime()); }
    ULONGLONG CableBytesDueAt(ULONGLONG now) const;
    // Moves the clock origin to `now` with nothing processed since: the bytes due restart from 0.
    void ReBaseClock(ULONGLONG now);
    // Range-checks a clock correction and, when it changes, re-bases the clock under
    // LockStateIdle so the change never overlaps a processing pass.
    NTSTATUS ApplyClockCorrection(ULONG correction);
    // The other setters of the cable's settings: each checks its value and changes nothing when it
    // refuses one (STATUS_INVALID_PARAMETER). The control paths call them under FormatLock.
    NTSTATUS ApplyMsPerInterrupt(ULONG milliseconds);       // 1..20
    NTSTATUS ApplyFormatRanges(const FormatLimits* ranges);  // all six bounds, or none
    NTSTATUS ApplyFormatLimiting(LONG mode);                 // 0, 1 or 2
    NTSTATUS ApplyVolumeControl(ULONG value);                // low byte 0 or 1

    WCHAR Name[SubdeviceNameChars];  // the subdevice name, "wave" and the cable number
    // The filter's descriptor, with this cable's copy of the pin table.
    PCFILTER_DESCRIPTOR FilterDescriptor;
    PCPIN_DESCRIPTOR FilterPins[WavePinCount];

    // Engine fields.
    StreamList CaptureStreams;
    StreamList RenderStreams;
    PPORTWAVEPCI Port;          // set by Init; Notify is called after each pass
    PSERVICEGROUP ServiceGroup;
    PDMACHANNEL DmaChannel;
    ULONG MinSampleRate;
    ULONG MaxSampleRate;
    ULONG MinBitsPerSample;
    ULONG MaxBitsPerSample;
    ULONG MinChannels;
    ULONG MaxChannels;
    LONG FormatLimiting;        // "Stream format limiting": 0, 1 or 2
    BOOLEAN VolumeControl;      // read by the DPC at each chunk (one byte)
    LONG FilterChannelLevels[GainTableEntries];
    ScalePair FilterChannelGains[GainTableEntries];
    WAVEFORMATEXTENSIBLE CableFormat;  // wFormatTag 0 while no engine user holds it
    ULONG ContainerBytes;
    PUCHAR MixBuffer;
    ULONG ChunkSize;
    // The adapter's per-processor mix areas, which a pass uses instead of MixBuffer for a chunk
    // that fits; the cable's adapter reference keeps them while the cable runs passes.
    const ProcessorMixAreas* MixAreas;
    ULONG EngineUsers;          // under LockStateIdle
    ULONG MsPerInterrupt;       // read by the DPC at each arming (one word)
    ULONG ClockCorrection;      // 16.16; changed only through ApplyClockCorrection
    ULONGLONG StartTime;        // interrupt time of the clock origin
    ULONGLONG ProcessedBytes;   // cable bytes processed since the origin
    ULONGLONG ChunksProcessed;  // mix-buffer chunks processed since the miniport was made
    ULONGLONG SharedConversions;  // capture chunks taken from another stream's conversion since then
    KTIMER Timer;
    LONG TimerUsers;            // interlocked
    LONG DpcEntries;            // interlocked; > 0 while a pass runs
    KDPC Dpc;
    // Beside the DPC object, which the dispatcher has just read when the DPC starts: the first
    // thing the DPC reads, and then the first streams in list order as the last pass left them
    // (written in the processing section; read only for prefetch hints, which never fault, so the
    // entries of a stream gone since are harmless).
    Cable* CableOwner;  // one reference on the cable's storage, so never dangling
    StreamHint Hints[MaxHintedStreams];
    LONG HintCount;

private:
    explicit WaveMiniport(Cable* cable);
    ~WaveMiniport() override;

    static void TimerDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
    void ArmTimer();
    // Counts a dropped backlog as one underflow or overflow of every running stream.
    void CountDroppedBacklog();
};
