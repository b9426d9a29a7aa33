// Property requests on a pin handle: the pin's own (connection state, data format, allocator
// framing, audio position), then the filter side's routing to the miniport's tables.
#include <cstring>

#include "host/port_wave_pci.h"

namespace host {

namespace {

constexpr ULONG VerbMask = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// A value of `size` bytes on a get: an empty buffer asks for the size, a short one is refused.
NTSTATUS CheckRoom(ULONG size, ULONG capacity, ULONG* bytesReturned)
{
    if (capacity == 0) {
        *bytesReturned = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    return capacity < size ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WavePciPin::Property(const KsPropertyBuffers& buffers, ULONG* bytesReturned)
{
    *bytesReturned = 0;
    if (filter_ == nullptr || closed_) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (buffers.input != nullptr && buffers.inputSize >= sizeof(KSPROPERTY) &&
        (buffers.output != nullptr || buffers.outputSize == 0)) {
        KSPROPERTY property;
        std::memcpy(&property, buffers.input, sizeof(property));
        NTSTATUS status = OwnProperty(property, buffers.output, buffers.outputSize, bytesReturned);
        if (status != STATUS_NOT_FOUND) {
            return status;
        }
    }
    return port_->Filter().Property(buffers, filter_, stream_, pinId_, bytesReturned);
}

// What the class driver answers for every pin itself. Values are copied byte-wise, so the
// client's buffer may have any alignment, and it gets exactly the bytes returned.
NTSTATUS WavePciPin::OwnProperty(const KSPROPERTY& property, PVOID value, ULONG valueSize, ULONG* bytesReturned)
{
    const ULONG verb = property.Flags & (VerbMask | KSPROPERTY_TYPE_TOPOLOGY);
    const bool get = verb == KSPROPERTY_TYPE_GET;
    const bool set = verb == KSPROPERTY_TYPE_SET;
    auto answer = [&](const void* data, ULONG size) {
        NTSTATUS status = CheckRoom(size, valueSize, bytesReturned);
        if (status == STATUS_SUCCESS) {
            std::memcpy(value, data, size);
            *bytesReturned = size;
        }
        return status;
    };
    if (property.Set == KSPROPSETID_Connection && property.Id == KSPROPERTY_CONNECTION_STATE && (get || set)) {
        if (get) {
            const KSSTATE state = State();
            return answer(&state, sizeof(state));
        }
        if (valueSize < sizeof(KSSTATE)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KSSTATE state;
        std::memcpy(&state, value, sizeof(state));
        return SetState(state);
    }
    if (property.Set == KSPROPSETID_Connection && property.Id == KSPROPERTY_CONNECTION_DATAFORMAT && (get || set)) {
        if (get) {
            std::vector<uint8_t> format;
            {
                std::lock_guard<HostMutex> guard(lock_);
                format = dataFormat_;
            }
            return answer(format.data(), static_cast<ULONG>(format.size()));
        }
        if (valueSize < sizeof(KSDATAFORMAT)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::vector<uint8_t> format(static_cast<const uint8_t*>(value), static_cast<const uint8_t*>(value) + valueSize);
        const auto* header = reinterpret_cast<const KSDATAFORMAT*>(format.data());
        return header->FormatSize > valueSize ? STATUS_INVALID_PARAMETER : SetFormat(header);
    }
    if (property.Set == KSPROPSETID_Connection && property.Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING && get) {
        return answer(&framing_, sizeof(framing_));
    }
    if (property.Set == KSPROPSETID_Audio && property.Id == KSPROPERTY_AUDIO_POSITION && get) {
        NTSTATUS status = CheckRoom(sizeof(KSAUDIO_POSITION), valueSize, bytesReturned);
        KSAUDIO_POSITION position = {};
        if (status == STATUS_SUCCESS) {
            status = GetPosition(&position);
        }
        return NT_SUCCESS(status) ? answer(&position, sizeof(position)) : status;
    }
    return STATUS_NOT_FOUND;
}

}  // namespace host
