// The wave filter's tables, its data-range intersection and its format proposal.
#include "filters/wave_filter.h"

#include "engine/audio_format.h"
#include "engine/node_properties.h"
#include "engine/wave_stream.h"
#include "filters/cable.h"
#include "filters/filter_tables.h"
#include "filters/wave_miniport.h"

namespace {

// The driver's absolute limits; a cable's narrower ones apply in the intersection and in format
// acceptance, never by changing this range.
const KSDATARANGE_AUDIO WavePcmRange = {
    {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},
      {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)}, {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}}},
    MaxChannels,
    MinBitsPerSample,
    MaxBitsPerSample,
    MinSampleRate,
    MaxSampleRate,
};

const PKSDATARANGE StreamRanges[] = {const_cast<PKSDATARANGE>(&WavePcmRange.DataRange)};

NTSTATUS ProposeFormatHandler(PPCPROPERTY_REQUEST request);

const PCPROPERTY_ITEM WaveFilterPropertyItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     CpuResourcesHandler},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     ProposeFormatHandler},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     NotFoundHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, NotFoundHandler},
};

const PCPROPERTY_ITEM StreamPinPropertyItems[] = {
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     NotFoundHandler},
};

constexpr ULONG GetAndBasicSupport = PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
constexpr ULONG GetSetAndBasicSupport = GetAndBasicSupport | PCPROPERTY_ITEM_FLAG_SET;

// A pin request reaches the volume node with its stream, a filter request without one.
const PCPROPERTY_ITEM VolumeNodePropertyItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GetAndBasicSupport, CpuResourcesHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GetSetAndBasicSupport, WaveVolumeHandler},
};

const PCPROPERTY_ITEM SrcNodePropertyItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GetAndBasicSupport, CpuResourcesHandler},
};

// The DAC node answers for the render side, the ADC node for the capture side.
const PCPROPERTY_ITEM ConverterNodePropertyItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GetAndBasicSupport, CpuResourcesHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, GetSetAndBasicSupport, ChannelConfigHandler},
};

const PCAUTOMATION_TABLE WaveFilterProperties = PROPERTY_AUTOMATION_TABLE(WaveFilterPropertyItems);
const PCAUTOMATION_TABLE StreamPinProperties = PROPERTY_AUTOMATION_TABLE(StreamPinPropertyItems);
const PCAUTOMATION_TABLE WaveVolumeNodeProperties = PROPERTY_AUTOMATION_TABLE(VolumeNodePropertyItems);
const PCAUTOMATION_TABLE SrcNodeProperties = PROPERTY_AUTOMATION_TABLE(SrcNodePropertyItems);
const PCAUTOMATION_TABLE ConverterNodeProperties = PROPERTY_AUTOMATION_TABLE(ConverterNodePropertyItems);

#define WAVE_PIN(instances, automation, ranges, flow, communication, category, name)                         \
    {instances, instances, 0, automation,                                                                      \
     {0, NULL, 0, NULL, ARRAYSIZE(ranges), ranges, flow, communication, category, name, {0}}}

// Pins 0 and 2 carry DefaultMaxInstances here; each miniport's copy carries its cable's limit.
const PCPIN_DESCRIPTOR WavePins[WavePinCount] = {
    WAVE_PIN(DefaultMaxInstances, &StreamPinProperties, StreamRanges, KSPIN_DATAFLOW_OUT,
             KSPIN_COMMUNICATION_SINK, &PINNAME_CAPTURE, NULL),
    WAVE_PIN(0, &CommonProperties, BridgeRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO,
             NULL),
    WAVE_PIN(DefaultMaxInstances, &StreamPinProperties, StreamRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK,
             &KSCATEGORY_AUDIO, NULL),
    WAVE_PIN(0, &CommonProperties, BridgeRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO,
             NULL),
};

const PCNODE_DESCRIPTOR WaveNodes[] = {
    {0, &WaveVolumeNodeProperties, &KSNODETYPE_VOLUME, NULL},
    {0, &CommonProperties, &KSNODETYPE_SUPERMIX, NULL},
    {0, &SrcNodeProperties, &KSNODETYPE_SRC, NULL},
    {0, &CommonProperties, &KSNODETYPE_SUM, NULL},
    {0, &ConverterNodeProperties, &KSNODETYPE_DAC, NULL},
    {0, &ConverterNodeProperties, &KSNODETYPE_ADC, NULL},
};

// A node's pin 1 is its input, pin 0 its output. Render: pin 2, volume, supermix, SRC, sum, DAC,
// pin 3. Capture: pin 1, ADC, pin 0.
const PCCONNECTION_DESCRIPTOR WaveConnections[] = {
    {PCFILTER_NODE, WaveRenderPin, 0, 1},
    {0, 0, 1, 1},
    {1, 0, 2, 1},
    {2, 0, 3, 1},
    {3, 0, WaveDacNode, 1},
    {WaveDacNode, 0, PCFILTER_NODE, WaveRenderBridgePin},
    {PCFILTER_NODE, WaveCaptureBridgePin, WaveAdcNode, 1},
    {WaveAdcNode, 0, PCFILTER_NODE, WaveCapturePin},
};

bool IsPcmRange(const KSDATARANGE* range)
{
    return IsEqualGUIDAligned(range->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
           IsEqualGUIDAligned(range->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) &&
           (IsEqualGUIDAligned(range->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
            IsEqualGUIDAligned(range->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND));
}

ULONG Lesser(ULONG first, ULONG second)
{
    return first < second ? first : second;
}

// Whether a stream of this format would be accepted now; nothing is stored. Resident: it holds
// the cable's StateLock, a spin lock, while it validates.
NTSTATUS ProposeFormatHandler(PPCPROPERTY_REQUEST request)
{
    PAGED_CODE();
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        return BasicSupport(request, VT_UI4);
    }
    NTSTATUS status = CheckPropertySizes(request, sizeof(ULONG), sizeof(KSDATAFORMAT));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG pinId = *static_cast<const ULONG*>(request->Instance);
    const auto* format = static_cast<const KSDATAFORMAT*>(request->Value);
    // The format must lie inside the client's buffer.
    if ((pinId != WaveCapturePin && pinId != WaveRenderPin) || !(request->Verb & KSPROPERTY_TYPE_SET) ||
        format->FormatSize > request->ValueSize) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* miniport = static_cast<WaveMiniport*>(static_cast<IMiniportWavePci*>(request->MajorTarget));
    Cable* cable = miniport->CableOwner;
    WAVEFORMATEXTENSIBLE parsed;
    cable->FormatLock.Enter();
    miniport->LockStateIdle();
    status = ParseDataFormat(format, &parsed);
    if (NT_SUCCESS(status)) {
        status = miniport->ValidateFormat(&parsed);
    }
    miniport->UnlockStateIdle();
    cable->FormatLock.Leave();
    return status;
}

}  // namespace

void BuildWaveFilterDescriptor(PCFILTER_DESCRIPTOR* descriptor, PCPIN_DESCRIPTOR* pins, ULONG maxInstances)
{
    for (ULONG pin = 0; pin < WavePinCount; ++pin) {
        pins[pin] = WavePins[pin];
        if (pins[pin].KsPinDescriptor.Communication == KSPIN_COMMUNICATION_SINK) {
            pins[pin].MaxGlobalInstanceCount = maxInstances;
            pins[pin].MaxFilterInstanceCount = maxInstances;
        }
    }
    *descriptor = {0,     &WaveFilterProperties, sizeof(PCPIN_DESCRIPTOR), WavePinCount, pins,
                   sizeof(PCNODE_DESCRIPTOR), ARRAYSIZE(WaveNodes), WaveNodes, ARRAYSIZE(WaveConnections),
                   WaveConnections, 0, NULL};
}

NTSTATUS WaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description)
{
    *description = &FilterDescriptor;
    return STATUS_SUCCESS;
}

// The same answer for either streaming pin: the highest rate, width and channel count that both
// the client's range and the cable allow now.
TARN_PAGEABLE
NTSTATUS WaveMiniport::DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                             ULONG outputBufferLength, PVOID resultantFormat,
                                             PULONG resultantFormatLength)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(pinId);
    UNREFERENCED_PARAMETER(matchingDataRange);
    if (outputBufferLength == 0) {
        *resultantFormatLength = IntersectionFormatBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputBufferLength < IntersectionFormatBytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // The audio limits are read only from a range long enough to hold them.
    if (dataRange->FormatSize < sizeof(KSDATARANGE_AUDIO) || !IsPcmRange(dataRange)) {
        return STATUS_NO_MATCH;
    }
    FormatLimits limits;
    CableOwner->FormatLock.Enter();
    GetFormatLimits(&limits);
    CableOwner->FormatLock.Leave();
    const auto* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(dataRange);
    if (client->MinimumSampleFrequency > limits.MaxRate || client->MaximumSampleFrequency < limits.MinRate ||
        client->MinimumBitsPerSample > limits.MaxBits || client->MaximumBitsPerSample < limits.MinBits ||
        client->MaximumChannels < limits.MinChannels) {
        return STATUS_NO_MATCH;
    }
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result;
    BuildExtensibleFormat(&result.WaveFormatExt, Lesser(client->MaximumSampleFrequency, limits.MaxRate),
                          Lesser(client->MaximumBitsPerSample, limits.MaxBits),
                          Lesser(client->MaximumChannels, limits.MaxChannels), 0, UseDefaultChannelMask);
    result.DataFormat.FormatSize = IntersectionFormatBytes;
    result.DataFormat.Flags = 0;
    result.DataFormat.SampleSize = result.WaveFormatExt.Format.nBlockAlign;
    result.DataFormat.Reserved = 0;
    result.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    result.DataFormat.SubFormat = result.WaveFormatExt.SubFormat;
    // The format written is a WAVEFORMATEXTENSIBLE right behind the header, which is what the
    // WAVEFORMATEX specifier says; a DirectSound client's specifier would describe a buffer
    // description there, and the format would be refused when the client opened a pin with it.
    result.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    RtlCopyMemory(resultantFormat, &result, sizeof(result));
    *resultantFormatLength = IntersectionFormatBytes;
    return STATUS_SUCCESS;
}
