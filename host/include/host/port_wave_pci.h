// The stand-in's WavePci port: the port object a wave miniport is bound to (IPortWavePci), and its
// pin instances, each an IPortWavePciStream over a queue of client buffers. The wave filter's
// handles, pin factory, instance limits and property requests are in port_filter.h and end in
// PortWavePci::OpenPin; the client side (wave_client.h, ks_client.h) goes through them, and the
// engine's tests may call OpenPin directly.
//
// Choices where the platform leaves room (PLATFORM-NOTES 1-11), kept by every test:
// - Mappings are cut at every 4096-byte page boundary of the client buffer's virtual address and
//   at the buffer's end; by default adjacent pages are never merged, so a frame may straddle two
//   mappings (MappingOptions can make runs of pages physically contiguous). The last mapping of a
//   buffer carries LastMappingFlag. The physical address reported is the virtual address (the host
//   has no other).
// - The verifier's mapping rules: a tag must name one outstanding mapping (GetMapping with the tag
//   of one still outstanding is reported); mappings go back in acquisition order; RevokeMappings
//   must count exactly the mappings of its range the miniport had not released when it returns
//   (fewer or more is reported); afterwards the whole range is gone, and releasing one of its tags
//   is reported as the release of a revoked mapping.
// - Buffers are accepted in every state. Entering KSSTATE_STOP (after the miniport's SetState
//   succeeded) cancels every queued buffer: RevokeMappings once per buffer that has unreleased
//   mappings (its first and last such tag, called at DISPATCH_LEVEL with the count set to 0
//   first), then each buffer completes with STATUS_CANCELLED and 0 bytes, in queue order.
// - MappingAvailable and RevokeMappings are called at DISPATCH_LEVEL, the highest level the
//   platform allows, so that a miniport that would block there is caught.
// - A miniport that returns no service group from NewStream is polled: the pin calls its
//   stream's Service every PollingPeriod.
// - A client buffer of 0 bytes is refused (STATUS_INVALID_PARAMETER): it would have no mapping.
// - Completion routines run on the thread that released the last mapping (often a DPC) or that
//   cancelled the buffer; they must not queue buffers on the same pin (an application's I/O
//   completes asynchronously, never inside the miniport's ReleaseMapping).
// - TerminatePacket, NewMasterDmaChannel, GetDeviceProperty and NewRegistryKey answer
//   STATUS_NOT_IMPLEMENTED: the driver does not use them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "host/host_mutex.h"
#include "host/port_filter.h"
#include "host/portcls.h"
#include "host/processor_counter.h"

namespace host {

constexpr ULONG MappingPageSize = 4096;
constexpr ULONG LastMappingFlag = 1;
constexpr LONGLONG PollingPeriod = 100000;  // 10 ms in 100-ns units

// How a pin hands out mappings, beyond the default: both are things Windows may do, so that the
// miniport is tested against them.
struct MappingOptions {
    // Runs of this many pages (aligned to the run in the buffer's address) are physically
    // contiguous, so a mapping may span up to that many pages; 1 cuts at every page.
    ULONG contiguousPages = 1;
    // Every refuseEvery-th GetMapping call (0: none) is refused with refusalStatus whether or not
    // data is queued. A status other than STATUS_NOT_FOUND is not followed by MappingAvailable.
    ULONG refuseEvery = 0;
    NTSTATUS refusalStatus = STATUS_INSUFFICIENT_RESOURCES;
};

// Told once per client buffer when the port is done with it: STATUS_SUCCESS with the buffer's
// full length when its last mapping was released, STATUS_CANCELLED with 0 when it was cancelled.
using BufferCompletion = std::function<void(NTSTATUS status, ULONG bytes)>;

// What a client asks for when it creates a pin (the KSPIN_CONNECT and the format after it).
struct PinRequest {
    ULONG pinId = 0;
    BOOLEAN capture = FALSE;                 // the pin's data flow is KSPIN_DATAFLOW_OUT
    const KSDATAFORMAT* dataFormat = nullptr;  // FormatSize bytes, format block included
    POOL_TYPE poolType = NonPagedPool;       // handed to NewStream
    const MappingOptions* mapping = nullptr;  // null: the port's (PortWavePci::SetMappingOptions)
};

// One RevokeMappings call as the port made it.
struct Revocation {
    ULONG_PTR firstTag;
    ULONG_PTR lastTag;
    ULONG unreleased;  // mappings of the range the miniport had not released when the call returned
    ULONG revoked;     // the count the miniport reported (the verifier reports any other than unreleased)
    NTSTATUS status;
};

class WavePciPin;

class PortWavePci final : public IPortWavePci, public IServiceSink, public FilterPort {
public:
    // Like PcNewPort for CLSID_PortWavePci: a port with one reference and no miniport yet.
    static PortWavePci* Create();

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Like IPort::Init: queries the miniport for IMiniportWavePci, calls its Init with this port,
    // then takes its filter descriptor (GetDescription) and keeps its own copy of the pin table;
    // a service group the miniport returned gets the port as a member (leading to its Service).
    // Any failure is returned and the miniport let go; AllowMissingDescription makes a miniport
    // whose GetDescription says STATUS_NOT_IMPLEMENTED acceptable, with no filter to open.
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                                 PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) override;
    STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                                              PVOID propertyBuffer, PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown,
                                           ULONG registryKeyType, ACCESS_MASK desiredAccess,
                                           POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
                                           PULONG disposition) override;
    // Like IPortWavePci::Notify: any IRQL; asks the group for service, which queues its DPC.
    STDMETHODIMP_(void) Notify(PSERVICEGROUP serviceGroup) override;
    STDMETHODIMP_(NTSTATUS) NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                                PRESOURCELIST resourceList, BOOLEAN scatterGather,
                                                BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses,
                                                BOOLEAN ignoreCount, DMA_WIDTH dmaWidth, DMA_SPEED dmaSpeed,
                                                ULONG maximumLength, ULONG dmaPort) override;
    // The port's member of the miniport's service group: calls IMiniportWavePci::Service.
    STDMETHODIMP_(void) RequestService() override;

    // Binds a miniport without IPort::Init (referenced), for tests of the engine below the wave
    // filter; streams are then created on it as after Init. With a descriptor, the filter is
    // opened on that one as if GetDescription had given it.
    NTSTATUS BindMiniport(PMINIPORTWAVEPCI miniport, const PCFILTER_DESCRIPTOR* descriptor = nullptr);
    // For engine tests and tools that run a miniport written before its filter descriptor: Init
    // then accepts a GetDescription of STATUS_NOT_IMPLEMENTED. Off by default, as on Windows.
    void AllowMissingDescription(bool allow) { allowMissingDescription_ = allow; }
    PMINIPORTWAVEPCI Miniport() const { return miniport_; }
    PSERVICEGROUP MiniportServiceGroup() const { return serviceGroup_; }
    ULONG NotifyCount() const { return notifyCount_.Total(); }
    // The mapping options of pins opened from now on that name none of their own.
    void SetMappingOptions(const MappingOptions& options) { mappingOptions_ = options; }

    // Creates a pin instance at PASSIVE_LEVEL: copies the format, calls NewStream (capture as
    // asked, no outer unknown), asks GetAllocatorFraming and joins the stream's service group.
    // On success *pin holds one reference for the caller, who closes the pin before releasing it.
    // This is the engine's way in, below the pin factory (KsFilter::CreatePin), which checks the
    // request against the descriptor first.
    NTSTATUS OpenPin(const PinRequest& request, WavePciPin** pin);

    // FilterPort: the pin factory's last step, OpenPin for a pin charged to `filter`.
    FilterSide& Filter() override { return filter_; }
    IPort* Port() override { return this; }
    NTSTATUS NewPinInstance(KsFilter* filter, ULONG pinId, BOOLEAN capture, const KSDATAFORMAT* dataFormat,
                            WavePciPin** pin) override;

    // Releases the miniport and its service group, as the class driver does when the subdevice
    // goes: the miniport holds the port, so this breaks the cycle. PASSIVE_LEVEL.
    void ReleaseChildren();

private:
    PortWavePci();
    ~PortWavePci();
    NTSTATUS CreatePin(const PinRequest& request, KsFilter* filter, WavePciPin** pin);

    std::atomic<LONG> references_{1};
    ProcessorCounter notifyCount_;
    PMINIPORTWAVEPCI miniport_ = nullptr;  // referenced
    PSERVICEGROUP serviceGroup_ = nullptr;
    std::mutex lock_;  // guards miniport_ against ReleaseChildren while a service call runs
    std::condition_variable servicesDone_;
    ULONG servicesInProgress_ = 0;
    MappingOptions mappingOptions_;
    FilterSide filter_;
    bool allowMissingDescription_ = false;
};

class alignas(64) WavePciPin final : public IPortWavePciStream, public IPreFetchOffset, public IServiceSink {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Like IPortWavePciStream::GetMapping: the next piece of the queued client data, never across
    // a page boundary that is not physically contiguous; STATUS_NOT_FOUND when nothing is queued
    // (MappingAvailable follows the next buffer). At most DISPATCH_LEVEL, holding no spin lock;
    // the tag must not be one still outstanding.
    STDMETHODIMP_(NTSTATUS) GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                                       PULONG byteCount, PULONG flags) override;
    // Like IPortWavePciStream::ReleaseMapping: in acquisition order; the release of a buffer's
    // last mapping completes it. At most DISPATCH_LEVEL, holding no spin lock; a tag revoked or
    // never handed out is reported.
    STDMETHODIMP_(NTSTATUS) ReleaseMapping(PVOID tag) override;
    STDMETHODIMP_(NTSTATUS) TerminatePacket() override;
    // Like IPreFetchOffset::SetPreFetchOffset: the render write offset becomes play + this.
    STDMETHODIMP_(void) SetPreFetchOffset(ULONG preFetchOffset) override;
    // The pin's member of its stream's service group: calls IMiniportWavePciStream::Service.
    STDMETHODIMP_(void) RequestService() override;

    // Queues a client buffer (the bytes stay the caller's until `completion` runs). A refused
    // GetMapping since the last arrival makes this call MappingAvailable, once. PASSIVE_LEVEL.
    NTSTATUS QueueBuffer(PVOID data, ULONG bytes, BufferCompletion completion, uint64_t* id = nullptr);
    // Cancels one queued buffer as an application's CancelIo does; STATUS_NOT_FOUND if it is not
    // queued (already completed).
    NTSTATUS CancelBuffer(uint64_t id);
    // Steps the stream one state at a time towards `state`; stops at the first refusal and
    // returns its status. Entering KSSTATE_STOP cancels the queued buffers. PASSIVE_LEVEL.
    NTSTATUS SetState(KSSTATE state);
    KSSTATE State() const;
    // KSPROPERTY_CONNECTION_DATAFORMAT: hands the format to the stream's SetFormat.
    NTSTATUS SetFormat(const KSDATAFORMAT* dataFormat);
    // KSPROPERTY_AUDIO_POSITION: play offset from GetPosition; render write offset as the
    // prefetch offset or the mapped bytes say; capture write offset = play offset.
    NTSTATUS GetPosition(KSAUDIO_POSITION* position);
    // Closes the pin: cancels queued buffers, leaves the service group, steps the stream down to
    // KSSTATE_STOP and releases it, and gives its instance back to its filter. PASSIVE_LEVEL;
    // later calls do nothing.
    void Close();
    // IOCTL_KS_PROPERTY on the pin handle: the pin's own answers first (KSPROPERTY_CONNECTION_STATE
    // get and set, one step at a time as SetState; CONNECTION_DATAFORMAT get and set;
    // CONNECTION_ALLOCATORFRAMING and KSPROPERTY_AUDIO_POSITION get), then the pin's automation
    // table (MinorTarget its stream), a node's for a topology request, and the port's answers. A
    // pin the factory did not create has no filter: STATUS_INVALID_DEVICE_REQUEST.
    NTSTATUS Property(const KsPropertyBuffers& buffers, ULONG* bytesReturned);
    KsFilter* Filter() const { return filter_; }

    ULONG PinId() const { return pinId_; }
    BOOLEAN Capture() const { return capture_; }
    const KSALLOCATOR_FRAMING& AllocatorFraming() const { return framing_; }
    PMINIPORTWAVEPCISTREAM MiniportStream() const { return stream_; }
    PDMACHANNEL DmaChannel() const { return dmaChannel_; }
    PSERVICEGROUP StreamServiceGroup() const { return serviceGroup_; }
    bool PreFetchOffsetSet(ULONG* preFetchOffset = nullptr) const;
    size_t QueuedBufferCount() const;
    size_t UnreleasedMappingCount() const;
    ULONG MappingAvailableCalls() const { return mappingAvailableCalls_.load(); }
    ULONG ServiceCalls() const { return serviceCalls_.Total(); }
    ULONG GetMappingCalls() const { return getMappingCalls_.Total(); }
    const MappingOptions& Mapping() const { return mappingOptions_; }
    std::vector<Revocation> Revocations() const;

private:
    // A queued client buffer. Records are reused (spare_), so streaming neither allocates nor
    // frees them; one goes back once it has left the queue, no mapping of it is outstanding and
    // no cancellation is still revoking its mappings.
    struct ClientBuffer {
        ClientBuffer* next = nullptr;  // in the queue, or in spare_
        uint64_t id = 0;
        PUCHAR data = nullptr;
        ULONG bytes = 0;
        ULONG mapped = 0;      // bytes handed out in mappings so far
        ULONG unreleased = 0;  // mappings handed out and neither released nor revoked
        bool queued = false;
        bool revoking = false;  // CancelBuffers still looks for its mappings
        BufferCompletion completion;  // moved out as the buffer leaves the queue
    };
    // A mapping handed out, as ReleaseMapping and RevokeMappings look it up.
    struct Acquired {
        ULONG_PTR tag;
        ClientBuffer* buffer;
    };

    friend class PortWavePci;
    WavePciPin(PortWavePci* port, const PinRequest& request, KsFilter* filter, void* block);
    ~WavePciPin();

    NTSTATUS Connect(PMINIPORTWAVEPCI miniport, POOL_TYPE poolType);
    NTSTATUS OwnProperty(const KSPROPERTY& property, PVOID value, ULONG valueSize, ULONG* bytesReturned);
    void CheckPortCall(const char* routine) const;
    // Takes the buffers that `cancel` picks out of the queue, revokes their mappings and completes them.
    void CancelBuffers(const std::function<bool(const ClientBuffer&)>& cancel);
    // The queue and record helpers below run under lock_.
    ClientBuffer* NewRecord();
    void RecycleIfDone(ClientBuffer* buffer);
    void Unqueue(ClientBuffer* buffer);
    Acquired* UnreleasedBegin() { return unreleased_.data() + releasedPrefix_; }
    Acquired* UnreleasedEnd() { return unreleased_.data() + unreleased_.size(); }
    void DropUnreleased(Acquired* mapping);
    void CompactUnreleased();
    // Under lock_: the end of the mapping that starts at `start` in a buffer ending at `end`.
    PUCHAR MappingEnd(PUCHAR start, PUCHAR end) const;
    bool TagOutstanding(ULONG_PTR tag);
    void ForgetRevokedTag(ULONG_PTR tag);
    bool TagRevoked(ULONG_PTR tag) const;
    // Runs `call` on the stream unless the pin is closing; Close waits for calls in progress.
    template <typename Call>
    bool CallStream(const Call& call);
    // The member a draining group (IsDrainingServiceGroup) serves: no call count is needed, as
    // Close takes it out of the group and waits for the group's DPCs before the stream goes.
    void ServeFromGroup();
    class GroupMember final : public IServiceSink {
    public:
        explicit GroupMember(WavePciPin* pin) : pin_(pin) {}
        STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override
        {
            return pin_->QueryInterface(iid, object);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return pin_->AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return pin_->Release(); }
        STDMETHODIMP_(void) RequestService() override { pin_->ServeFromGroup(); }

    private:
        WavePciPin* pin_;
    };
    // Wakes Close, which waits for the calls in progress to end.
    [[gnu::cold, gnu::noinline]] void NotifyCallsDone();
    static void PollDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);

    // The streaming path's fields first, beside the interface pointers: the group's call and
    // the test for closing touch the first line; GetMapping and ReleaseMapping the first two.
    GroupMember groupMember_{this};
    PMINIPORTWAVEPCISTREAM stream_ = nullptr;
    std::atomic<bool> closing_{false};  // written under lock_; read without it by the service path
    bool refusedSinceArrival_ = false;  // a GetMapping found nothing since the last buffer came
    mutable HostMutex lock_;            // guards the queue, the records and the mappings, and more below
    ClientBuffer* unmapped_ = nullptr;   // the first queued buffer not fully mapped; the rest follow it
    ClientBuffer* queueHead_ = nullptr;  // buffers not yet completed, in arrival order
    ClientBuffer* queueTail_ = nullptr;
    // Mappings handed out, in acquisition order, from releasedPrefix_ on: the released front is
    // dropped by moving an index and compacted now and then, so the usual release is O(1).
    std::vector<Acquired> unreleased_;
    size_t releasedPrefix_ = 0;
    ULONGLONG mappedSinceStop_ = 0;
    size_t queuedCount_ = 0;
    ClientBuffer* spare_ = nullptr;  // records to reuse

    std::atomic<LONG> references_{1};
    PortWavePci* port_;  // referenced
    KsFilter* filter_;   // referenced; null for a pin OpenPin made directly
    void* block_;        // the pool block the pin lives in
    ULONG pinId_;
    BOOLEAN capture_;
    std::vector<uint8_t> dataFormat_;  // the connection format, as the stream was given it
    PDMACHANNEL dmaChannel_ = nullptr;  // the port never uses or releases it
    PSERVICEGROUP serviceGroup_ = nullptr;
    KSALLOCATOR_FRAMING framing_ = {};
    std::atomic<KSSTATE> state_{KSSTATE_STOP};
    std::atomic<ULONG> mappingAvailableCalls_{0};
    bool drainingGroup_ = false;  // serviceGroup_ has groupMember_ as member, not this
    bool closed_ = false;  // set by Close (the client's thread)

    // Guarded by lock_ too, but for the atomic count and the timer objects.
    std::condition_variable_any callsDone_;
    std::vector<std::unique_ptr<ClientBuffer>> records_;  // every record the pin made
    uint64_t nextBufferId_ = 1;
    std::atomic<ULONG> callsInProgress_{0};  // CallStream calls running; Close waits for 0
    bool preFetchSet_ = false;
    ULONG preFetchOffset_ = 0;
    std::vector<Revocation> revocations_;
    // Tags of revoked mappings not handed out again since, newest last, for the verifier's report
    // on a release of one; the oldest go once there are MaxRevokedTagsKept.
    std::vector<ULONG_PTR> revokedTags_;
    static constexpr size_t MaxRevokedTagsKept = 1024;
    MappingOptions mappingOptions_;
    ULONG mappingCallsCounted_ = 0;  // GetMapping calls towards the next refusal (refuseEvery)
    bool polling_ = false;
    KTIMER pollTimer_;
    KDPC pollDpc_;
    // Last: slots per processor, touched one line at a time.
    ProcessorCounter serviceCalls_;
    ProcessorCounter getMappingCalls_;
};

}  // namespace host
