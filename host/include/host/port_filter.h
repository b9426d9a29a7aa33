// The filter side of the stand-in's ports: the descriptor a miniport gives at IPort::Init, the
// filter handles a client opens on the subdevice, pin instance counts, and KS property requests
// on filter and pin handles, routed to the miniport's automation tables or answered by the port.
//
// Choices where the platform leaves room (PLATFORM-NOTES 2-4, 12-14), kept by every test:
// - The port copies the descriptor's pin table at Init (pool, the port's tag); the instance
//   limits it enforces are the ones in that copy. Nodes, connections, ranges and automation
//   tables are the miniport's, read where they are. Tables are walked with the stride the
//   descriptor gives (PinSize, NodeSize, PropertyItemSize); a stride smaller than the structure
//   is refused at Init, as it cannot describe a table of this platform's structures.
// - Requests are double-buffered as KS does: the input is copied to an aligned system buffer and
//   the value comes back through one, so a client buffer may have any alignment and nothing is
//   written past the bytes returned.
// - A request with KSPROPERTY_TYPE_TOPOLOGY starts with a KSP_NODE and goes to that node's
//   automation table; any other goes to the handle's table (the filter's, or the pin's for a pin
//   handle). An item without a handler, or a handler answering STATUS_NOT_FOUND, leaves the
//   request to the port's own answers (KSPROPSETID_Pin and KSPROPSETID_Topology); anything else
//   is STATUS_NOT_FOUND.
// - An item that lacks the verb asked: STATUS_INVALID_DEVICE_REQUEST, except basic support,
//   which the port answers from the item's flags (4 bytes: access flags; 40 or more: a
//   KSPROPERTY_DESCRIPTION of 40 bytes).
// - Statuses of the port's own answers: input shorter than its header (KSPROPERTY, KSP_PIN,
//   KSP_NODE) STATUS_INVALID_BUFFER_SIZE; a pin or node id out of range STATUS_INVALID_PARAMETER;
//   a verb other than get (set, for the read-only pin and topology properties)
//   STATUS_INVALID_DEVICE_REQUEST; an empty value buffer STATUS_BUFFER_OVERFLOW with the size
//   needed as the byte count; a short one STATUS_BUFFER_TOO_SMALL, nothing written.
// - Global instance counts are per port (all filter handles of the subdevice), per-filter counts
//   per handle. A pin over either limit is STATUS_INSUFFICIENT_RESOURCES, as the Windows port
//   answers; a limit of 0 means no pin, ULONG(-1) no limit.
// - The port's default intersection (a miniport's DataRangeIntersection answering
//   STATUS_NOT_IMPLEMENTED): for two audio ranges (KSDATARANGE_AUDIO, PCM, WAVEFORMATEX
//   specifier) the highest rate, bits and channel count both allow, as a 104-byte
//   KSDATAFORMAT_WAVEFORMATEXTENSIBLE with the default channel mask; for other ranges the pin's
//   range itself as the format (wildcards taken from the client's). DirectSound ranges and
//   non-PCM audio find no default match (STATUS_NO_MATCH).
// - KSPROPERTY_PIN_NAME and KSPROPERTY_TOPOLOGY_NAME (a KSP_NODE) look the pin's or node's Name
//   GUID up under \Registry\Machine\SYSTEM\CurrentControlSet\Control\MediaCategories\{guid},
//   value "Name" (REG_SZ); without a Name GUID, or without that key or value, STATUS_NOT_FOUND.
#pragma once

#include <atomic>
#include <mutex>

#include "host/portcls.h"

namespace host {

constexpr ULONG PortPoolTag = 0x6C466350;  // "PcFl": the port's filter and pin objects

// The buffers of one IOCTL_KS_PROPERTY request: the KSPROPERTY (or KSP_PIN, KSP_NODE) and what
// follows it, and the value buffer. `irp` is handed on in PCPROPERTY_REQUEST::Irp.
struct KsPropertyBuffers {
    const void* input = nullptr;
    ULONG inputSize = 0;
    void* output = nullptr;
    ULONG outputSize = 0;
    PIRP irp = nullptr;
};

class KsFilter;
class WavePciPin;

// One port's filter: its miniport's descriptor and the global instance counts.
class FilterSide {
public:
    // The categories a filter that names none of its own is registered under (the port type's).
    FilterSide(const GUID* const* defaultCategories, ULONG defaultCategoryCount);
    ~FilterSide();
    FilterSide(const FilterSide&) = delete;
    FilterSide& operator=(const FilterSide&) = delete;

    // Asks the miniport for its descriptor (GetDescription) and takes it as UseDescriptor does.
    NTSTATUS TakeDescriptor(PMINIPORT miniport);
    // Checks the descriptor and copies its pin table; the miniport is not referenced (the port
    // holds it) and answers this filter's data intersections. PASSIVE_LEVEL.
    NTSTATUS UseDescriptor(PMINIPORT miniport, const PCFILTER_DESCRIPTOR* descriptor);
    // Frees the copy; the filter answers no more requests.
    void Forget();
    bool HasDescriptor() const { return bound_; }

    ULONG PinCount() const { return descriptor_.PinCount; }
    const PCPIN_DESCRIPTOR* Pin(ULONG pinId) const;  // the port's copy; null when out of range
    const PCNODE_DESCRIPTOR* Node(ULONG nodeId) const;
    ULONG GlobalInstances(ULONG pinId) const;

    // A property request on a filter handle (stream null) or a pin handle (the pin's stream and
    // its pin id). The byte count is set in every case (0 on most failures).
    NTSTATUS Property(const KsPropertyBuffers& buffers, KsFilter* filter, PUNKNOWN stream, ULONG pinId,
                      ULONG* bytesReturned);

    // The port's default intersection of one client range with one of the pin's ranges.
    static NTSTATUS DefaultIntersection(const KSDATARANGE* clientRange, const KSDATARANGE* pinRange,
                                        ULONG outputSize, PVOID output, PULONG resultSize);

private:
    friend class KsFilter;
    bool ReserveGlobal(ULONG pinId);
    void ReleaseGlobal(ULONG pinId);
    NTSTATUS Route(const PCAUTOMATION_TABLE* table, const KSPROPERTY& property, ULONG node, PUNKNOWN stream,
                   ULONG headerSize, PUCHAR input, ULONG inputSize, PUCHAR value, ULONG* valueSize,
                   PIRP irp, bool* handled);
    NTSTATUS OwnAnswer(const KSPROPERTY& property, KsFilter* filter, PUCHAR input, ULONG inputSize,
                       PUCHAR value, ULONG* valueSize);
    NTSTATUS PinAnswer(ULONG id, ULONG pinId, const PCPIN_DESCRIPTOR& pin, KsFilter* filter, PUCHAR value,
                       ULONG* valueSize);
    NTSTATUS TopologyAnswer(ULONG id, PUCHAR value, ULONG* valueSize);
    NTSTATUS Intersect(ULONG pinId, const PCPIN_DESCRIPTOR& pin, PUCHAR input, ULONG inputSize, PUCHAR value,
                       ULONG* valueSize);

    const GUID* const* defaultCategories_;
    ULONG defaultCategoryCount_;
    PMINIPORT miniport_ = nullptr;  // not referenced: the port holds it
    bool bound_ = false;
    PCFILTER_DESCRIPTOR descriptor_ = {};
    PCPIN_DESCRIPTOR* pins_ = nullptr;  // pool: the copy, then PinCount global counts
    ULONG* globalInstances_ = nullptr;  // in the same block; guarded by lock_
    mutable std::mutex lock_;
};

// What a port offers the filter handles opened on it.
class FilterPort {
public:
    virtual FilterSide& Filter() = 0;
    virtual IPort* Port() = 0;
    // Creates the pin instance once the factory has checked the request: a pin with one
    // reference for the caller, charged to `filter`. Ports that stream nothing refuse.
    virtual NTSTATUS NewPinInstance(KsFilter* filter, ULONG pinId, BOOLEAN capture, const KSDATAFORMAT* dataFormat,
                                    WavePciPin** pin)
    {
        *pin = nullptr;
        return STATUS_INVALID_DEVICE_REQUEST;
    }

protected:
    ~FilterPort() = default;
};

// A filter handle: what a client holds after opening the subdevice (CreateFile on its
// interface). It references the port; its pins reference it.
class KsFilter {
public:
    // Opens a handle on the port's filter: STATUS_INVALID_DEVICE_STATE before the port has a
    // descriptor, STATUS_INSUFFICIENT_RESOURCES out of pool. PASSIVE_LEVEL.
    static NTSTATUS Open(FilterPort* port, KsFilter** filter);
    ULONG AddRef();
    ULONG Release();  // the client's CloseHandle once its pins are closed

    // IOCTL_KS_PROPERTY on the filter handle.
    NTSTATUS Property(const KsPropertyBuffers& buffers, ULONG* bytesReturned);
    // A create request for a pin: a KSPIN_CONNECT followed by the KSDATAFORMAT (FormatSize
    // bytes) in `connectSize` bytes, as an application's CreateFile on the filter carries it.
    // The pin id must name a sink pin; instance limits, interface, medium and data format are
    // checked before the port creates the instance. PASSIVE_LEVEL.
    NTSTATUS CreatePin(const void* connect, ULONG connectSize, WavePciPin** pin);

    ULONG Instances(ULONG pinId) const;
    FilterPort* Owner() const { return port_; }
    // The pin's instance, taken by CreatePin, goes back when the pin closes.
    void PinClosed(ULONG pinId);

private:
    explicit KsFilter(FilterPort* port, ULONG* instances);
    ~KsFilter();
    NTSTATUS Reserve(ULONG pinId);

    std::atomic<LONG> references_{1};
    FilterPort* port_;     // referenced through Port()
    ULONG* instances_;     // pool: per-filter counts of the pin table; guarded by the filter side's lock
};

// Whether a format matches a data range: major format, subformat and specifier (the range's
// wildcards match anything), and for an audio range over a WAVEFORMATEX (or DirectSound)
// specifier the format's channels, bits and rate within its limits. `formatSize` is the bytes
// the caller holds (at least the format's FormatSize).
bool FormatMatchesRange(const KSDATAFORMAT* format, ULONG formatSize, const KSDATARANGE* range);

// The KSAUDIO_SPEAKER_* mask for a channel count (mono centre, stereo, quad, 5.1, 7.1), the low
// bits for other counts.
ULONG DefaultSpeakerMask(ULONG channels);

}  // namespace host
