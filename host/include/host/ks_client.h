// What an application or the audio engine sends a filter or pin handle: create requests for
// pins, property requests, and the data intersection that proposes a format for a data range.
#pragma once

#include <cstdint>
#include <vector>

#include "host/port_filter.h"

namespace host {

class WavePciPin;

// The create request of a pin: a KSPIN_CONNECT (standard streaming interface and medium, no
// peer, normal priority) followed by the format's FormatSize bytes.
std::vector<uint8_t> PinConnectRequest(ULONG pinId, const KSDATAFORMAT* dataFormat);

// A property request's input: KSPROPERTY, then the pin or node id when given, then `extra`.
std::vector<uint8_t> PropertyInput(const GUID& set, ULONG id, ULONG flags = KSPROPERTY_TYPE_GET);
std::vector<uint8_t> PinPropertyInput(ULONG id, ULONG pinId, const std::vector<uint8_t>& extra = {});
std::vector<uint8_t> NodePropertyInput(const GUID& set, ULONG id, ULONG flags, ULONG nodeId,
                                       const std::vector<uint8_t>& extra = {});

struct PropertyReply {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG bytes = 0;             // the request's byte count
    std::vector<uint8_t> value;  // the value buffer, `bytes` long on success
};

// One request with a value buffer of `valueSize` bytes.
PropertyReply SendProperty(KsFilter* filter, const std::vector<uint8_t>& input, ULONG valueSize);
PropertyReply SendProperty(WavePciPin* pin, const std::vector<uint8_t>& input, ULONG valueSize);
// As clients of variable-sized values do: an empty buffer for the size, then one of that size.
PropertyReply QueryProperty(KsFilter* filter, const std::vector<uint8_t>& input);

// The audio range a client proposes with.
KSDATARANGE_AUDIO PcmDataRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate);
// KSPROPERTY_PIN_DATAINTERSECTION with the client's ranges in order (each FormatSize bytes): the
// format the filter proposes for the pin, asked for by size first, as the audio engine does.
NTSTATUS ProposeFormat(KsFilter* filter, ULONG pinId, const std::vector<std::vector<uint8_t>>& ranges,
                       std::vector<uint8_t>* format);

}  // namespace host
