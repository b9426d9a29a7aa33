// What an application sees of a cable's wave pin: open a stream with a format, submit buffers of
// any size (render: with data; capture: empty), reap the completed ones with their data, step the
// state and read the position. The pin comes from the wave filter's pin factory (a filter handle,
// port_filter.h), as an application's does, or straight from the port for the engine's tests.
//
// Client buffers are allocated by the client at varying offsets into their first page (by default
// the DefaultBufferPageOffsets in turn), so that the port's page-bounded mappings split frames as
// they do on Windows. An empty capture buffer starts filled with UnfilledCaptureByte, so bytes
// the driver never wrote stand out.
//
// The memory of a completed buffer is the client's again: the client takes its contents as the
// port completes it and fills it with CompletedBufferPoison, then keeps it poisoned (a reaped
// buffer's pages stay in a quarantine of QuarantinedBuffers, a slot until it is taken again). The
// poison is checked when the buffer is reaped, leaves the quarantine, or its slot is reused, and
// at close: a changed byte is a late write by the miniport (LATE_WRITE_TO_COMPLETED_BUFFER), as
// on Windows it would corrupt the application's memory.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/host_mutex.h"
#include "host/ks_client.h"
#include "host/port_wave_pci.h"

namespace host {

constexpr uint8_t UnfilledCaptureByte = 0xCD;
constexpr uint8_t CompletedBufferPoison = 0xB7;
constexpr size_t QuarantinedBuffers = 32;
extern const std::vector<ULONG> DefaultBufferPageOffsets;

// The connection format of a pin: a KSDATAFORMAT (audio, PCM, WAVEFORMATEX specifier) with the
// given wave format bytes packed after it; FormatSize counts both.
std::vector<uint8_t> WaveDataFormat(const void* waveFormat, size_t waveFormatBytes);
std::vector<uint8_t> WaveDataFormat(const WAVEFORMATEX& format);           // 18 bytes, cbSize as given
std::vector<uint8_t> WaveDataFormat(const WAVEFORMATEXTENSIBLE& format);   // 40 bytes
WAVEFORMATEX PcmWaveFormat(ULONG samplesPerSec, USHORT bitsPerSample, USHORT channels);
WAVEFORMATEXTENSIBLE PcmWaveFormatExtensible(ULONG samplesPerSec, USHORT bitsPerSample, USHORT channels,
                                             ULONG channelMask, USHORT validBitsPerSample);

struct WaveClientOptions {
    // When given, the pin is created as an application creates it: a KSPIN_CONNECT and the format
    // to the filter's pin factory, which checks them and decides the direction from the pin's
    // data flow (`capture` and `mapping` are then not used). Otherwise PortWavePci::OpenPin.
    KsFilter* filter = nullptr;
    // When given instead, the pin is opened on this filter handle through the I/O manager (a create
    // request, KsHandle::OpenPin) and closed by a close request when the client goes.
    KsHandle* filterHandle = nullptr;
    ULONG pinId = 0;
    bool capture = false;
    std::vector<uint8_t> dataFormat;  // WaveDataFormat(...)
    POOL_TYPE poolType = NonPagedPool;
    const MappingOptions* mapping = nullptr;  // null: the port's
    // A load generator that never looks at what it records or plays: completed buffers are reaped
    // without their contents (ReapedBuffer::data empty), which spares the copy at completion. The
    // memory is still poisoned then, so late writes are still caught.
    bool discardContents = false;
};

// A completed client buffer as the client reaps it.
struct ReapedBuffer {
    uint64_t id;
    NTSTATUS status;            // STATUS_SUCCESS, or STATUS_CANCELLED
    ULONG bytes;                // as the port reported: the buffer's length, 0 when cancelled
    std::vector<uint8_t> data;  // the buffer's whole contents when it completed
};

class WaveClient {
public:
    // Creates the pin through options.filterHandle's create request, options.filter's pin
    // factory, or with PortWavePci::OpenPin on the port's miniport (the port may be null with a
    // filter or filter handle).
    static NTSTATUS Open(PortWavePci* port, const WaveClientOptions& options, std::unique_ptr<WaveClient>* client);
    ~WaveClient();  // closes the pin
    WaveClient(const WaveClient&) = delete;
    WaveClient& operator=(const WaveClient&) = delete;

    // Render: submits a copy of `bytes` bytes. Capture clients get STATUS_INVALID_DEVICE_REQUEST.
    NTSTATUS Write(const void* data, ULONG bytes, uint64_t* id = nullptr);
    // Capture: submits an empty buffer of `bytes` bytes. Render clients get STATUS_INVALID_DEVICE_REQUEST.
    NTSTATUS Read(ULONG bytes, uint64_t* id = nullptr);
    // Cancels a submitted buffer (as CancelIo would); STATUS_NOT_FOUND once it has completed.
    NTSTATUS Cancel(uint64_t id);
    // Buffers submitted from now on start at these offsets into their first page, in turn (< 4096).
    void SetBufferPageOffsets(std::vector<ULONG> offsets);
    // Buffers submitted from now on that fit in `slotBytes` take one of `slots` slots laid end to
    // end in one block, in turn, each free again once its buffer is reaped: the memory of an
    // application that allocates its buffers once and cycles through them. Frames still straddle
    // mappings where a slot crosses a page. A buffer that does not fit, or that finds every slot
    // taken, gets pages of its own as without slots. STATUS_INVALID_DEVICE_STATE while buffers
    // are in flight or unreaped.
    NTSTATUS UseBufferSlots(size_t slots, ULONG slotBytes);
    // The buffers completed since the last call, in completion order.
    std::vector<ReapedBuffer> Reap();
    // Frees the buffers completed since the last call without copying their contents out (for
    // load generators that never look at them); returns how many there were.
    size_t ReapDiscarding();
    // Buffers submitted and not yet completed.
    size_t InFlight() const;

    NTSTATUS SetState(KSSTATE state) { return pin_->SetState(state); }
    KSSTATE State() const { return pin_->State(); }
    NTSTATUS SetFormat(const std::vector<uint8_t>& dataFormat);
    NTSTATUS GetPosition(KSAUDIO_POSITION* position) { return pin_->GetPosition(position); }
    const KSALLOCATOR_FRAMING& AllocatorFraming() const { return pin_->AllocatorFraming(); }
    WavePciPin* Pin() const { return pin_; }
    // The pin's handle when it was opened through the I/O manager, else null.
    KsHandle* PinHandle() const { return pinHandle_.get(); }
    // Closes the pin; queued buffers complete as cancelled and can still be reaped.
    void Close() { pin_->Close(); }

private:
    struct Allocation {
        uint8_t* block;  // from aligned_alloc, page aligned; null for a slot
        uint8_t* data;   // block + the page offset, or the slot
        ULONG length;
        uint64_t pinBufferId;  // the pin's id of the queued buffer
        size_t slot;           // NoSlot, or the slot holding the buffer
    };
    static constexpr size_t NoSlot = static_cast<size_t>(-1);
    struct Completion {
        uint64_t id;
        NTSTATUS status;
        ULONG bytes;
        std::vector<uint8_t> data;  // the buffer's contents as it completed
    };

    WaveClient(WavePciPin* pin, bool capture, bool discardContents)
        : pin_(pin), capture_(capture), discardContents_(discardContents)
    {
    }
    NTSTATUS Submit(const void* data, ULONG bytes, uint64_t* id);
    // Memory for a buffer of `bytes`: a free slot, or pages of its own; under lock_.
    bool Allocate(ULONG bytes, Allocation* allocation);
    // Gives the memory of a buffer back (into the quarantine, or its slot); under lock_.
    void Free(const Allocation& allocation);
    // Reports a late write unless the buffer's memory is still all poison; under lock_.
    void CheckPoison(const Allocation& allocation, const char* when) const;
    // Hands each completed buffer to `take` (when given), frees it and forgets it; under lock_.
    size_t TakeCompleted(const std::function<void(Completion&, const Allocation&)>& take);

    WavePciPin* pin_;  // referenced
    std::unique_ptr<KsHandle> pinHandle_;  // closed after the pin is let go
    bool capture_;
    bool discardContents_;
    mutable HostMutex lock_;  // guards everything below
    std::vector<ULONG> pageOffsets_ = DefaultBufferPageOffsets;
    size_t nextOffset_ = 0;
    struct FreeDeleter {
        void operator()(uint8_t* block) const { std::free(block); }
    };
    std::unique_ptr<uint8_t, FreeDeleter> slotBlock_;
    ULONG slotBytes_ = 0;
    std::vector<bool> slotTaken_;
    std::vector<bool> slotPoisoned_;  // the slot's last buffer completed and it is not taken since
    std::vector<Allocation> quarantine_;  // reaped buffers' own pages, oldest first
    size_t nextSlot_ = 0;
    uint64_t nextId_ = 1;
    std::map<uint64_t, Allocation> buffers_;  // submitted, not yet reaped
    std::vector<Completion> completed_;
};

}  // namespace host
