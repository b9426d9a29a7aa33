// Client-side requests to filter and pin handles, built as an application's would be.
#include "host/ks_client.h"

#include <cstring>

#include "host/port_wave_pci.h"

namespace host {

namespace {

template <typename Record>
void Append(std::vector<uint8_t>* bytes, const Record& record)
{
    const auto* begin = reinterpret_cast<const uint8_t*>(&record);
    bytes->insert(bytes->end(), begin, begin + sizeof(record));
}

template <typename Handle>
PropertyReply Send(Handle* handle, const std::vector<uint8_t>& input, ULONG valueSize)
{
    PropertyReply reply;
    reply.value.resize(valueSize);
    KsPropertyBuffers buffers;
    buffers.input = input.data();
    buffers.inputSize = static_cast<ULONG>(input.size());
    buffers.output = valueSize != 0 ? reply.value.data() : nullptr;
    buffers.outputSize = valueSize;
    reply.status = handle->Property(buffers, &reply.bytes);
    if (NT_SUCCESS(reply.status)) {
        reply.value.resize(reply.bytes);
    }
    return reply;
}

}  // namespace

std::vector<uint8_t> PinConnectRequest(ULONG pinId, const KSDATAFORMAT* dataFormat)
{
    KSPIN_CONNECT connect = {};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.Priority.PriorityClass = 0x00000002;  // KSPRIORITY_NORMAL
    connect.Priority.PrioritySubClass = 1;
    std::vector<uint8_t> request;
    Append(&request, connect);
    const auto* format = reinterpret_cast<const uint8_t*>(dataFormat);
    request.insert(request.end(), format, format + dataFormat->FormatSize);
    return request;
}

std::vector<uint8_t> PropertyInput(const GUID& set, ULONG id, ULONG flags)
{
    KSPROPERTY property = {};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    std::vector<uint8_t> input;
    Append(&input, property);
    return input;
}

std::vector<uint8_t> PinPropertyInput(ULONG id, ULONG pinId, const std::vector<uint8_t>& extra)
{
    KSP_PIN property = {};
    property.Property.Set = KSPROPSETID_Pin;
    property.Property.Id = id;
    property.Property.Flags = KSPROPERTY_TYPE_GET;
    property.PinId = pinId;
    std::vector<uint8_t> input;
    Append(&input, property);
    input.insert(input.end(), extra.begin(), extra.end());
    return input;
}

std::vector<uint8_t> NodePropertyInput(const GUID& set, ULONG id, ULONG flags, ULONG nodeId,
                                       const std::vector<uint8_t>& extra)
{
    KSP_NODE property = {};
    property.Property.Set = set;
    property.Property.Id = id;
    property.Property.Flags = flags | KSPROPERTY_TYPE_TOPOLOGY;
    property.NodeId = nodeId;
    std::vector<uint8_t> input;
    Append(&input, property);
    input.insert(input.end(), extra.begin(), extra.end());
    return input;
}

PropertyReply SendProperty(KsFilter* filter, const std::vector<uint8_t>& input, ULONG valueSize)
{
    return Send(filter, input, valueSize);
}

PropertyReply SendProperty(WavePciPin* pin, const std::vector<uint8_t>& input, ULONG valueSize)
{
    return Send(pin, input, valueSize);
}

PropertyReply QueryProperty(KsFilter* filter, const std::vector<uint8_t>& input)
{
    PropertyReply size = Send(filter, input, 0);
    if (size.status != STATUS_BUFFER_OVERFLOW) {
        return size;
    }
    return Send(filter, input, size.bytes);
}

KSDATARANGE_AUDIO PcmDataRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate)
{
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = maxChannels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

NTSTATUS ProposeFormat(KsFilter* filter, ULONG pinId, const std::vector<std::vector<uint8_t>>& ranges,
                       std::vector<uint8_t>* format)
{
    format->clear();
    std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM));
    for (const std::vector<uint8_t>& range : ranges) {
        list.resize((list.size() + 7) & ~size_t{7});
        list.insert(list.end(), range.begin(), range.end());
    }
    const KSMULTIPLE_ITEM header = {static_cast<ULONG>(list.size()), static_cast<ULONG>(ranges.size())};
    std::memcpy(list.data(), &header, sizeof(header));
    PropertyReply reply = QueryProperty(filter, PinPropertyInput(KSPROPERTY_PIN_DATAINTERSECTION, pinId, list));
    if (NT_SUCCESS(reply.status)) {
        *format = std::move(reply.value);
    }
    return reply.status;
}

}  // namespace host
