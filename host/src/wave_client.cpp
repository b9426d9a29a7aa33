// The client side of a wave pin: format blocks, buffers in client memory, completions reaped.
#include "host/wave_client.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/harness.h"
#include "host/ks_client.h"

namespace host {

// Aligned, then across a page with a 1-byte first mapping, then in the middle of pages: so frames
// of every size straddle mappings somewhere.
const std::vector<ULONG> DefaultBufferPageOffsets = {0, 1000, 4095, 6, 2048, 3001};

std::vector<uint8_t> WaveDataFormat(const void* waveFormat, size_t waveFormatBytes)
{
    KSDATAFORMAT header = {};
    header.FormatSize = static_cast<ULONG>(sizeof(KSDATAFORMAT) + waveFormatBytes);
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    if (waveFormatBytes >= sizeof(WAVEFORMATEX)) {
        header.SampleSize = static_cast<const WAVEFORMATEX*>(waveFormat)->nBlockAlign;
    }
    std::vector<uint8_t> bytes(header.FormatSize);
    std::memcpy(bytes.data(), &header, sizeof(header));
    std::memcpy(bytes.data() + sizeof(header), waveFormat, waveFormatBytes);
    return bytes;
}

std::vector<uint8_t> WaveDataFormat(const WAVEFORMATEX& format)
{
    return WaveDataFormat(&format, sizeof(format));
}

std::vector<uint8_t> WaveDataFormat(const WAVEFORMATEXTENSIBLE& format)
{
    return WaveDataFormat(&format, sizeof(format));
}

WAVEFORMATEX PcmWaveFormat(ULONG samplesPerSec, USHORT bitsPerSample, USHORT channels)
{
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = samplesPerSec;
    format.nBlockAlign = static_cast<WORD>((bitsPerSample + 7) / 8 * channels);
    format.nAvgBytesPerSec = format.nBlockAlign * samplesPerSec;
    format.wBitsPerSample = bitsPerSample;
    format.cbSize = 0;
    return format;
}

WAVEFORMATEXTENSIBLE PcmWaveFormatExtensible(ULONG samplesPerSec, USHORT bitsPerSample, USHORT channels,
                                             ULONG channelMask, USHORT validBitsPerSample)
{
    WAVEFORMATEXTENSIBLE format = {};
    format.Format = PcmWaveFormat(samplesPerSec, bitsPerSample, channels);
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = validBitsPerSample;
    format.dwChannelMask = channelMask;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

NTSTATUS WaveClient::Open(PortWavePci* port, const WaveClientOptions& options, std::unique_ptr<WaveClient>* client)
{
    client->reset();
    const auto* dataFormat = reinterpret_cast<const KSDATAFORMAT*>(options.dataFormat.data());
    if (options.dataFormat.size() < sizeof(KSDATAFORMAT) || dataFormat->FormatSize > options.dataFormat.size()) {
        return STATUS_INVALID_PARAMETER;
    }
    WavePciPin* pin = nullptr;
    NTSTATUS status;
    std::unique_ptr<KsHandle> pinHandle;
    if (options.filterHandle != nullptr) {
        status = options.filterHandle->OpenPin(options.pinId, dataFormat, &pinHandle);
        if (NT_SUCCESS(status)) {
            pin = pinHandle->Pin();
            pin->AddRef();  // the client's own, let go before the handle closes
        }
    } else if (options.filter != nullptr) {
        std::vector<uint8_t> connect = PinConnectRequest(options.pinId, dataFormat);
        status = options.filter->CreatePin(connect.data(), static_cast<ULONG>(connect.size()), &pin);
    } else {
        PinRequest request;
        request.pinId = options.pinId;
        request.capture = options.capture ? TRUE : FALSE;
        request.dataFormat = dataFormat;
        request.poolType = options.poolType;
        request.mapping = options.mapping;
        status = port->OpenPin(request, &pin);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    client->reset(new WaveClient(pin, pin->Capture() != FALSE, options.discardContents));
    (*client)->pinHandle_ = std::move(pinHandle);
    return STATUS_SUCCESS;
}

WaveClient::~WaveClient()
{
    pin_->Close();
    pin_->Release();
    std::lock_guard<HostMutex> guard(lock_);
    for (auto& entry : buffers_) {
        std::free(entry.second.block);  // the slots go with their block
    }
    for (const Allocation& allocation : quarantine_) {
        CheckPoison(allocation, "when the client closed its pin");
        std::free(allocation.block);
    }
    for (size_t slot = 0; slot < slotPoisoned_.size(); ++slot) {
        if (slotPoisoned_[slot]) {
            CheckPoison(Allocation{nullptr, slotBlock_.get() + slot * slotBytes_, slotBytes_, 0, slot},
                        "when the client closed its pin");
        }
    }
}

[[gnu::cold, gnu::noinline]] static void ReportLateWrite(size_t offset, size_t changed, size_t length,
                                                         const char* when)
{
    ReportViolation("LATE_WRITE_TO_COMPLETED_BUFFER", "IPortWavePciStream::ReleaseMapping",
                    std::to_string(changed) + " byte(s) from offset " + std::to_string(offset) +
                        " of a client buffer of " + std::to_string(length) +
                        " bytes changed after the port completed it (found " + when +
                        "): the miniport wrote through a mapping it had released or that RevokeMappings "
                        "took back; once a buffer completes its memory is the application's again");
}

void WaveClient::CheckPoison(const Allocation& allocation, const char* when) const
{
    const uint8_t* begin = allocation.data;
    const uint8_t* end = allocation.data + allocation.length;
    const uint8_t* first = std::find_if(begin, end, [](uint8_t b) { return b != CompletedBufferPoison; });
    if (__builtin_expect(first != end, 0)) {
        auto changed = static_cast<size_t>(
            std::count_if(first, end, [](uint8_t b) { return b != CompletedBufferPoison; }));
        ReportLateWrite(static_cast<size_t>(first - begin), changed, allocation.length, when);
    }
}

NTSTATUS WaveClient::Write(const void* data, ULONG bytes, uint64_t* id)
{
    if (capture_) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return Submit(data, bytes, id);
}

NTSTATUS WaveClient::Read(ULONG bytes, uint64_t* id)
{
    if (!capture_) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return Submit(nullptr, bytes, id);
}

NTSTATUS WaveClient::Submit(const void* data, ULONG bytes, uint64_t* id)
{
    if (bytes == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    uint64_t clientId = 0;
    Allocation allocation;
    {
        std::lock_guard<HostMutex> guard(lock_);
        if (!Allocate(bytes, &allocation)) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        clientId = nextId_++;
    }
    if (data != nullptr) {
        std::memcpy(allocation.data, data, bytes);
    } else {
        std::memset(allocation.data, UnfilledCaptureByte, bytes);
    }
    {
        std::lock_guard<HostMutex> guard(lock_);
        buffers_[clientId] = allocation;
    }
    // Not under the lock: queuing may call into the miniport, which may complete buffers.
    uint64_t pinBufferId = 0;
    NTSTATUS status = pin_->QueueBuffer(
        allocation.data, bytes,
        [this, clientId](NTSTATUS result, ULONG done) {
            // The contents are taken and the memory poisoned at once: from here on it is ours.
            std::lock_guard<HostMutex> guard(lock_);
            auto found = buffers_.find(clientId);
            std::vector<uint8_t> contents;
            if (found != buffers_.end()) {
                const Allocation& allocation = found->second;
                if (!discardContents_) {
                    contents.assign(allocation.data, allocation.data + allocation.length);
                }
                std::memset(allocation.data, CompletedBufferPoison, allocation.length);
            }
            completed_.push_back(Completion{clientId, result, done, std::move(contents)});
        },
        &pinBufferId);
    std::lock_guard<HostMutex> guard(lock_);
    if (!NT_SUCCESS(status)) {
        // Never queued, so never poisoned: straight back, not through the quarantine.
        if (allocation.slot != NoSlot) {
            slotTaken_[allocation.slot] = false;
        } else {
            std::free(allocation.block);
        }
        buffers_.erase(clientId);
        return status;
    }
    auto queued = buffers_.find(clientId);
    if (queued != buffers_.end()) {  // else already completed and reaped
        queued->second.pinBufferId = pinBufferId;
    }
    if (id != nullptr) {
        *id = clientId;
    }
    return STATUS_SUCCESS;
}

bool WaveClient::Allocate(ULONG bytes, Allocation* allocation)
{
    allocation->length = bytes;
    allocation->pinBufferId = 0;
    allocation->block = nullptr;
    allocation->slot = NoSlot;
    if (bytes <= slotBytes_) {
        // In turn from the slot after the last one taken, as an application cycles its buffers.
        for (size_t tried = 0; tried < slotTaken_.size(); ++tried) {
            size_t slot = (nextSlot_ + tried) % slotTaken_.size();
            if (!slotTaken_[slot]) {
                slotTaken_[slot] = true;
                nextSlot_ = slot + 1;
                allocation->slot = slot;
                allocation->data = slotBlock_.get() + slot * slotBytes_;
                if (slotPoisoned_[slot]) {
                    slotPoisoned_[slot] = false;
                    CheckPoison(Allocation{nullptr, allocation->data, slotBytes_, 0, slot},
                                "when its slot was taken again");
                }
                return true;
            }
        }
    }
    ULONG offset = pageOffsets_.empty() ? 0 : pageOffsets_[nextOffset_++ % pageOffsets_.size()] % MappingPageSize;
    size_t span = (static_cast<size_t>(offset) + bytes + MappingPageSize - 1) / MappingPageSize * MappingPageSize;
    allocation->block = static_cast<uint8_t*>(std::aligned_alloc(MappingPageSize, span));
    if (allocation->block == nullptr) {
        return false;
    }
    allocation->data = allocation->block + offset;
    return true;
}

void WaveClient::Free(const Allocation& allocation)
{
    if (allocation.slot != NoSlot) {
        slotTaken_[allocation.slot] = false;
        return;
    }
    if (quarantine_.size() == QuarantinedBuffers) {
        CheckPoison(quarantine_.front(), "as it left the client's quarantine");
        std::free(quarantine_.front().block);
        quarantine_.erase(quarantine_.begin());
    }
    quarantine_.push_back(allocation);
}

NTSTATUS WaveClient::UseBufferSlots(size_t slots, ULONG slotBytes)
{
    std::lock_guard<HostMutex> guard(lock_);
    if (!buffers_.empty()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    size_t span = (slots * slotBytes + MappingPageSize - 1) / MappingPageSize * MappingPageSize;
    uint8_t* block = (span == 0) ? nullptr : static_cast<uint8_t*>(std::aligned_alloc(MappingPageSize, span));
    if (span != 0 && block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    slotBlock_.reset(block);
    slotBytes_ = (block == nullptr) ? 0 : slotBytes;
    slotTaken_.assign((block == nullptr) ? 0 : slots, false);
    slotPoisoned_.assign(slotTaken_.size(), false);
    nextSlot_ = 0;
    return STATUS_SUCCESS;
}

NTSTATUS WaveClient::Cancel(uint64_t id)
{
    uint64_t pinBufferId = 0;
    {
        std::lock_guard<HostMutex> guard(lock_);
        auto found = buffers_.find(id);
        if (found == buffers_.end()) {
            return STATUS_NOT_FOUND;
        }
        pinBufferId = found->second.pinBufferId;
    }
    return pin_->CancelBuffer(pinBufferId);
}

void WaveClient::SetBufferPageOffsets(std::vector<ULONG> offsets)
{
    std::lock_guard<HostMutex> guard(lock_);
    pageOffsets_ = std::move(offsets);
    nextOffset_ = 0;
}

size_t WaveClient::TakeCompleted(const std::function<void(Completion&, const Allocation&)>& take)
{
    size_t count = completed_.size();
    for (Completion& completion : completed_) {
        auto found = buffers_.find(completion.id);
        if (take) {
            take(completion, found->second);
        }
        CheckPoison(found->second, "when the client reaped it");
        if (found->second.slot != NoSlot) {
            slotPoisoned_[found->second.slot] = true;
        }
        Free(found->second);
        buffers_.erase(found);
    }
    completed_.clear();
    return count;
}

std::vector<ReapedBuffer> WaveClient::Reap()
{
    std::lock_guard<HostMutex> guard(lock_);
    std::vector<ReapedBuffer> reaped;
    reaped.reserve(completed_.size());
    TakeCompleted([&reaped](Completion& completion, const Allocation&) {
        reaped.push_back(ReapedBuffer{completion.id, completion.status, completion.bytes, std::move(completion.data)});
    });
    return reaped;
}

size_t WaveClient::ReapDiscarding()
{
    std::lock_guard<HostMutex> guard(lock_);
    return TakeCompleted(nullptr);
}

size_t WaveClient::InFlight() const
{
    std::lock_guard<HostMutex> guard(lock_);
    return buffers_.size() - completed_.size();
}

NTSTATUS WaveClient::SetFormat(const std::vector<uint8_t>& dataFormat)
{
    const auto* header = reinterpret_cast<const KSDATAFORMAT*>(dataFormat.data());
    if (dataFormat.size() < sizeof(KSDATAFORMAT) || header->FormatSize > dataFormat.size()) {
        return STATUS_INVALID_PARAMETER;
    }
    return pin_->SetFormat(header);
}

}  // namespace host
