// The client side of a wave pin: format blocks, buffers in client memory, completions reaped.
#include "host/wave_client.h"

#include <cstdlib>
#include <cstring>

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
    PinRequest request;
    request.pinId = options.pinId;
    request.capture = options.capture ? TRUE : FALSE;
    request.dataFormat = dataFormat;
    request.poolType = options.poolType;
    WavePciPin* pin = nullptr;
    NTSTATUS status = port->OpenPin(request, &pin);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    client->reset(new WaveClient(pin, options.capture));
    return STATUS_SUCCESS;
}

WaveClient::~WaveClient()
{
    pin_->Close();
    pin_->Release();
    for (auto& entry : buffers_) {
        std::free(entry.second.block);  // the slots go with their block
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
            std::lock_guard<HostMutex> guard(lock_);
            completed_.push_back(Completion{clientId, result, done});
        },
        &pinBufferId);
    std::lock_guard<HostMutex> guard(lock_);
    if (!NT_SUCCESS(status)) {
        Free(allocation);
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
    } else {
        std::free(allocation.block);
    }
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

size_t WaveClient::TakeCompleted(const std::function<void(const Completion&, const Allocation&)>& take)
{
    size_t count = completed_.size();
    for (const Completion& completion : completed_) {
        auto found = buffers_.find(completion.id);
        if (take) {
            take(completion, found->second);
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
    TakeCompleted([&reaped](const Completion& completion, const Allocation& allocation) {
        reaped.push_back(ReapedBuffer{completion.id, completion.status, completion.bytes,
                                      std::vector<uint8_t>(allocation.data, allocation.data + allocation.length)});
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
