// Filter descriptors for the port's filter tests, laid out as the cable's wave filter (4 pins,
// 6 nodes, 8 connections) and its topology filter with one source line (4 pins, 5 nodes, 7
// connections), with handlers that record the requests the port hands them.
#pragma once

#include <array>
#include <vector>

#include "fake_wave_miniport.h"
#include "host/ks_client.h"

namespace fake {

struct HandlerCall {
    const PCPROPERTY_ITEM* item;
    PUNKNOWN major;
    PUNKNOWN minor;
    ULONG node;
    ULONG verb;
    std::vector<uint8_t> instance;
    ULONG valueSize;
    PIRP irp;
};

inline std::vector<HandlerCall> handlerCalls;
inline ULONG handlerBytes = 4;  // what the recording handler writes (0x5A) and reports

inline NTSTATUS RecordingHandler(PPCPROPERTY_REQUEST r)
{
    const auto* instance = static_cast<const uint8_t*>(r->Instance);
    handlerCalls.push_back({r->PropertyItem, r->MajorTarget, r->MinorTarget, r->Node, r->Verb,
                            std::vector<uint8_t>(instance, instance + (instance != nullptr ? r->InstanceSize : 0)),
                            r->ValueSize, r->Irp});
    if (r->ValueSize < handlerBytes) {
        r->ValueSize = handlerBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memset(r->Value, 0x5A, handlerBytes);
    r->ValueSize = handlerBytes;
    return STATUS_SUCCESS;
}

inline NTSTATUS NotFoundHandler(PPCPROPERTY_REQUEST)
{
    return STATUS_NOT_FOUND;
}

// Claims four bytes more than the buffer holds.
inline NTSTATUS OverclaimingHandler(PPCPROPERTY_REQUEST r)
{
    r->ValueSize += 4;
    return STATUS_SUCCESS;
}

constexpr ULONG GetBasic = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;

inline const PCPROPERTY_ITEM FilterItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GetBasic, RecordingHandler},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT,
     RecordingHandler},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, GetBasic, NotFoundHandler},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GetBasic, RecordingHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, KSPROPERTY_TYPE_GET, OverclaimingHandler},
};
inline const PCPROPERTY_ITEM StreamPinItems[] = {
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, GetBasic, NotFoundHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_GET, RecordingHandler},
};
inline const PCPROPERTY_ITEM CommonItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GetBasic, RecordingHandler},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, GetBasic, NotFoundHandler},
};
inline const PCPROPERTY_ITEM VolumeItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GetBasic, RecordingHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GetBasic | KSPROPERTY_TYPE_SET, RecordingHandler},
};

template <size_t N>
constexpr PCAUTOMATION_TABLE Table(const PCPROPERTY_ITEM (&items)[N])
{
    return {sizeof(PCPROPERTY_ITEM), N, items, sizeof(PCMETHOD_ITEM), 0, nullptr, sizeof(PCEVENT_ITEM), 0, nullptr, 0};
}
inline const PCAUTOMATION_TABLE FilterTable = Table(FilterItems);
inline const PCAUTOMATION_TABLE StreamPinTable = Table(StreamPinItems);
inline const PCAUTOMATION_TABLE CommonTable = Table(CommonItems);
inline const PCAUTOMATION_TABLE VolumeTable = Table(VolumeItems);

inline KSDATARANGE_AUDIO PcmRange = host::PcmDataRange(8, 8, 32, 8000, 192000);
inline KSDATARANGE BridgeRange = [] {
    KSDATARANGE range = {};
    range.FormatSize = sizeof(KSDATARANGE);
    range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    return range;
}();
inline const PKSDATARANGE PcmRanges[] = {&PcmRange.DataRange};
inline const PKSDATARANGE BridgeRanges[] = {&BridgeRange};

inline PCPIN_DESCRIPTOR Pin(ULONG instances, const PCAUTOMATION_TABLE* table, const PKSDATARANGE* ranges,
                            KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication, const GUID* category,
                            const GUID* name = nullptr)
{
    PCPIN_DESCRIPTOR pin = {};
    pin.MaxGlobalInstanceCount = instances;
    pin.MaxFilterInstanceCount = instances;
    pin.AutomationTable = table;
    pin.KsPinDescriptor.DataRangesCount = 1;
    pin.KsPinDescriptor.DataRanges = ranges;
    pin.KsPinDescriptor.DataFlow = flow;
    pin.KsPinDescriptor.Communication = communication;
    pin.KsPinDescriptor.Category = category;
    pin.KsPinDescriptor.Name = name;
    return pin;
}

// The wave filter: capture stream, capture bridge, render stream, render bridge.
struct WaveFilter {
    explicit WaveFilter(ULONG maxInstances)
        : pins{Pin(maxInstances, &StreamPinTable, PcmRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK,
                   &PINNAME_CAPTURE),
               Pin(0, &CommonTable, BridgeRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO),
               Pin(maxInstances, &StreamPinTable, PcmRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK,
                   &KSCATEGORY_AUDIO),
               Pin(0, &CommonTable, BridgeRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO)},
          descriptor{0,     &FilterTable, sizeof(PCPIN_DESCRIPTOR), 4, pins.data(), sizeof(PCNODE_DESCRIPTOR), 6,
                     nodes, 8,            connections,              0, nullptr}
    {
    }
    std::array<PCPIN_DESCRIPTOR, 4> pins;
    static constexpr PCNODE_DESCRIPTOR nodes[6] = {{0, &VolumeTable, &KSNODETYPE_VOLUME, nullptr},
                                                   {0, &CommonTable, &KSNODETYPE_SUPERMIX, nullptr},
                                                   {0, nullptr, &KSNODETYPE_SRC, nullptr},
                                                   {0, &CommonTable, &KSNODETYPE_SUM, nullptr},
                                                   {0, &CommonTable, &KSNODETYPE_DAC, nullptr},
                                                   {0, &CommonTable, &KSNODETYPE_ADC, nullptr}};
    static constexpr PCCONNECTION_DESCRIPTOR connections[8] = {
        {PCFILTER_NODE, 2, 0, 1}, {0, 0, 1, 1}, {1, 0, 2, 1}, {2, 0, 3, 1},
        {3, 0, 4, 1},             {4, 0, PCFILTER_NODE, 3}, {PCFILTER_NODE, 1, 5, 1}, {5, 0, PCFILTER_NODE, 0}};
    PCFILTER_DESCRIPTOR descriptor;
};

// The topology filter with line in as its one source line; pins 1 and 3 carry name GUIDs.
inline const GUID LineOutName = {0x5A003000, 0x4C2E, 0x4A1D, {0x9E, 0x63, 0x5B, 0x2C, 0x07, 0xD4, 0xE8, 0x15}};
inline const GUID LineInName = {0x5A002000, 0x4C2E, 0x4A1D, {0x9E, 0x63, 0x5B, 0x2C, 0x07, 0xD4, 0xE8, 0x15}};

struct TopologyFilter {
    PCPIN_DESCRIPTOR pins[4] = {
        Pin(0, &CommonTable, BridgeRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO),
        Pin(0, &CommonTable, BridgeRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSNODETYPE_LINE_CONNECTOR,
            &LineOutName),
        Pin(0, &CommonTable, BridgeRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO),
        Pin(0, &CommonTable, BridgeRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSNODETYPE_LINE_CONNECTOR,
            &LineInName)};
    static constexpr PCNODE_DESCRIPTOR nodes[5] = {{0, &CommonTable, &KSNODETYPE_SUM, nullptr},
                                                   {0, &VolumeTable, &KSNODETYPE_VOLUME, &KSAUDFNAME_MASTER_VOLUME},
                                                   {0, &CommonTable, &KSNODETYPE_MUTE, &KSAUDFNAME_MASTER_MUTE},
                                                   {0, &VolumeTable, &KSNODETYPE_VOLUME, &KSAUDFNAME_LINE_VOLUME},
                                                   {0, &CommonTable, &KSNODETYPE_MUTE, &KSAUDFNAME_LINE_MUTE}};
    static constexpr PCCONNECTION_DESCRIPTOR connections[7] = {
        {0, 0, PCFILTER_NODE, 0}, {PCFILTER_NODE, 2, 1, 1}, {1, 0, 2, 1}, {2, 0, PCFILTER_NODE, 1},
        {PCFILTER_NODE, 3, 3, 1}, {3, 0, 4, 1},             {4, 0, 0, 1}};
    PCFILTER_DESCRIPTOR descriptor = {0, &FilterTable, sizeof(PCPIN_DESCRIPTOR), 4, pins, sizeof(PCNODE_DESCRIPTOR),
                                      5, nodes, 7, connections, 0, nullptr};
};

class TopologyMiniport : public Counted<IMiniportTopology> {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override
    {
        if (iid == IID_IUnknown || iid == IID_IMiniport || (iid == IID_IMiniportTopology && answersTopology)) {
            *object = static_cast<IMiniportTopology*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = NT_SUCCESS(descriptionStatus) ? &filter.descriptor : nullptr;
        return descriptionStatus;
    }
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY initPort) override
    {
        port = initPort;
        return initStatus;
    }

    TopologyFilter filter;
    bool answersTopology = true;
    NTSTATUS initStatus = STATUS_SUCCESS;
    NTSTATUS descriptionStatus = STATUS_SUCCESS;
    PPORTTOPOLOGY port = nullptr;  // not referenced, as the driver's topology miniport keeps none
};

}  // namespace fake
