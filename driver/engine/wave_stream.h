// A WaveStream: one client's render or capture stream on a cable's wave filter. The port
// aggregates it; it holds the client's format, borrows the client's buffers as mappings, follows
// the KS state machine and reports a position that advances with the cable's clock. Its data
// moves in TransferStream, called by the cable's processing cycle.
#pragma once

#include "core/list.h"
#include "core/unknown.h"
#include "engine/format_converter.h"

class WaveMiniport;

constexpr ULONG MaxPendingMappings = 16;
constexpr ULONG RefillMappingCount = 4;   // refill only while fewer than this are pending
constexpr ULONG PartialFrameBytes = 32;   // one frame: 8 channels of 4 bytes
constexpr ULONG LowWatermarkMs = 50;
constexpr ULONG HighWatermarkMs = 1000;
constexpr ULONG DefaultLowWatermark = 4096;
constexpr ULONG DefaultHighWatermark = 32768;

// One client buffer piece borrowed from the port between GetMapping and ReleaseMapping. The
// records live in the stream itself, so taking a mapping from the processing pass allocates
// nothing.
struct Mapping {
    ListEntry Link;
    ULONG Tag;
    PUCHAR VirtualAddress;
    ULONG ByteCount;
    ULONG Consumed;
};

class WaveStream : public IMiniportWavePciStream, public UnknownBase {
public:
    // Allocates and constructs a stream (one reference, the creation reference, taken through
    // the outer unknown) and counts it in the adapter's live streams.
    static WaveStream* Create(PUNKNOWN outerUnknown, WaveMiniport* miniport, PPORTWAVEPCISTREAM portStream,
                              ULONG pin, BOOLEAN capture);
    static WaveStream* FromLink(ListEntry* link) { return CONTAINING_RECORD(link, WaveStream, Link); }

    DELEGATING_UNKNOWN
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    // Second-phase construction by NewStream: the format, the DMA channel, the prefetch offset.
    NTSTATUS Init(const WAVEFORMATEXTENSIBLE* format, PDMACHANNEL* dmaChannel);

    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT dataFormat) override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONGLONG position) override;
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG physicalPosition) override;
    STDMETHODIMP_(NTSTATUS) GetAllocatorFraming(PKSALLOCATOR_FRAMING allocatorFraming) override;
    STDMETHODIMP_(NTSTATUS) RevokeMappings(PVOID firstTag, PVOID lastTag, PULONG mappingsRevoked) override;
    STDMETHODIMP_(void) MappingAvailable() override;
    STDMETHODIMP_(void) Service() override;

    // Takes mappings from the port while below the low watermark; never runs twice at once.
    // Returns the number obtained. No spin lock may be held by the caller (the port forbids it).
    ULONG GetMappings();
    // Returns the mappings on the completed list to the port. No spin lock may be held.
    void ReleaseCompletedMappings();
    // The two in parts, for a caller that already holds StreamLock: the claim under it, the port
    // calls after it is let go (see GetMappings and ReleaseCompletedMappings).
    ListEntry* ClaimRefill(LONG* arrivals);
    ULONG RunRefill(ListEntry* free, LONG arrivals);
    bool ClaimCompletedMappings(List* batch);
    void ReleaseClaimedMappings(List* batch);
    // Hints into the cache what the next transfer of a stream touches first: the transfer
    // bookkeeping of the stream at `stream`, the mapping record at `mapping`, the start of the
    // client bytes at `clientBytes` and the head of the port stream object at `portStream`, as
    // the last pass left them. Reads none of them, so addresses of a stream gone since cost
    // nothing but the hints.
    static void PrefetchTransferState(const WaveStream* stream, const Mapping* mapping, const UCHAR* clientBytes,
                                      const void* portStream);

    ListEntry Link;  // membership in the miniport's StreamList of the stream's direction
    ULONG Pin;
    BOOLEAN Capture;
    WaveMiniport* Miniport;         // referenced
    PPORTWAVEPCISTREAM PortStream;  // referenced
    PDMACHANNEL DmaChannel;         // referenced while the stream lives; the port is handed it unreferenced
    BOOLEAN Initialized;
    // Under LockStateIdle: the stream holds a cable engine user, a timer user and its conversion
    // buffer. Set only by a successful start and cleared only by the stop that gives them back, so
    // no order of state or format requests can release what the stream does not hold.
    BOOLEAN EngineHeld;
    LONG ChannelLevels[GainTableEntries];
    ScalePair ChannelGains[GainTableEntries];
    WAVEFORMATEXTENSIBLE Format;  // wFormatTag 0: no format
    KSSTATE State;
    ULONGLONG PositionAccumulator;
    ULONGLONG Position;  // bytes of the stream format since the last KSSTATE_STOP
    SpinLockLock StreamLock;  // mappings, position and transfer bookkeeping
    List PendingMappings;     // under StreamLock
    ULONG NextTag;
    ULONG LowWatermark;
    ULONG HighWatermark;
    ULONG PendingBytes;       // under StreamLock
    BOOLEAN Acquiring;        // under StreamLock: a refill has been claimed and runs
    BOOLEAN Releasing;        // under StreamLock: a release has been claimed and runs
    LONG Arrivals;            // interlocked: MappingAvailable calls so far
    LONG RefusedAtArrival;    // under StreamLock: Arrivals when the port last had no buffer
    // Under StreamLock: the tag of the mapping a refill is asking the port for, while it asks, and
    // whether RevokeMappings took it meanwhile (then it is dropped unused instead of filed).
    ULONG InFlightTag;
    BOOLEAN MappingInFlight;
    BOOLEAN InFlightRevoked;
    List CompletedMappings;   // under StreamLock
    UCHAR PartialFrame[PartialFrameBytes];
    ULONG PartialLength;
    ULONG PartialFillOffset;
    PUCHAR ConversionBuffer;
    ULONG ConversionBufferSize;
    ULONG ConversionDataLength;
    ULONG ConversionReadOffset;
    FormatConverter Converter;
    // Capture streams handed the conversion of a chunk ahead of their transfer (one conversion
    // shared by streams converting alike, transfer.h): the converted bytes and where they are
    // (the processor's conversion area), and the position the converters stood at when the chunk
    // came, to go back to should the client buffers run out partway (the first stream of the
    // group holds it). 0 and null outside such a pass: HandedData tells a stream handed one.
    ULONG HandedBytes;
    const UCHAR* HandedData;
    const ConverterPosition* HandedFrom;
    ConverterPosition PositionAtChunkStart;
    // Where the last transfer stopped, for prefetching only: the head mapping then and the next
    // client byte in it. Written by the transfer; may be stale, as the hint never faults.
    Mapping* NextMapping;
    PUCHAR NextClientByte;

private:
    WaveStream(PUNKNOWN outerUnknown, WaveMiniport* miniport, PPORTWAVEPCISTREAM portStream, ULONG pin,
               BOOLEAN capture);
    ~WaveStream() override;

    NTSTATUS ApplyFormat(const WAVEFORMATEXTENSIBLE* format);
    NTSTATUS PrepareConverter();
    void DropConversionBuffer();
    NTSTATUS StartStreaming();
    void StopStreaming();
    NTSTATUS ChangeState(KSSTATE state);
    // Caller holds StreamLock: fewer mappings are pending than the refill rule allows.
    bool RefillWanted() const;
    ListEntry* TakeRecordForMapping();
    // Caller holds StreamLock: the claimant is about to ask the port for the mapping of NextTag.
    void MarkMappingInFlight();
    LONG ReadArrivals() const;

    Mapping MappingRecords[MaxPendingMappings];
    List FreeMappings;  // unused records; under StreamLock
};

// Turns a KSDATAFORMAT (WAVEFORMATEX or DirectSound specifier) into the driver's extensible form.
NTSTATUS ParseDataFormat(const KSDATAFORMAT* dataFormat, PWAVEFORMATEXTENSIBLE format);
