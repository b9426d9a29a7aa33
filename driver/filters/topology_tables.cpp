// The topology filter's tables: the template every cable's descriptor starts from, the kinds of
// line it adds to it, and the automation tables of the filter and its nodes.
#include "engine/node_properties.h"
#include "filters/filter_tables.h"
#include "filters/topology_miniport.h"

namespace {

constexpr ULONG GetAndBasicSupport = PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
constexpr ULONG GetSetAndBasicSupport = GetAndBasicSupport | PCPROPERTY_ITEM_FLAG_SET;

constexpr PCPROPERTY_ITEM FilterPropertyItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GetAndBasicSupport, CpuResourcesHandler},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GetAndBasicSupport, JackDescriptionHandler},
};

constexpr PCPROPERTY_ITEM VolumePropertyItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GetAndBasicSupport, CpuResourcesHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GetSetAndBasicSupport, TopologyVolumeHandler},
};

constexpr PCPROPERTY_ITEM MutePropertyItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, GetAndBasicSupport, CpuResourcesHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, GetSetAndBasicSupport, TopologyMuteHandler},
};

}  // namespace

constexpr PCAUTOMATION_TABLE TopologyFilterProperties = PROPERTY_AUTOMATION_TABLE(FilterPropertyItems);
constexpr PCAUTOMATION_TABLE VolumeNodeProperties = PROPERTY_AUTOMATION_TABLE(VolumePropertyItems);
constexpr PCAUTOMATION_TABLE MuteNodeProperties = PROPERTY_AUTOMATION_TABLE(MutePropertyItems);

constexpr GUID NoNodeName = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// A bridge pin of the template: no instances, the analog range, no name.
#define TARN_BRIDGE_PIN(flow, category, name)                                                             \
    {0, 0, 0, &CommonProperties,                                                                          \
     {0, NULL, 0, NULL, ARRAYSIZE(BridgeRanges), BridgeRanges, flow, KSPIN_COMMUNICATION_NONE, category, name, \
      {0}}}

// Pin 1's category and name change to the line connector and the registered name from Windows
// Vista on (TopologyMiniport::Init).
constexpr PCPIN_DESCRIPTOR TopologyTemplatePins[TemplatePinCount] = {
    TARN_BRIDGE_PIN(KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO, NULL),                          // 0: capture mix, to wave pin 1
    TARN_BRIDGE_PIN(KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER, &KSAUDFNAME_MASTER_VOLUME),   // 1: line out
    TARN_BRIDGE_PIN(KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO, NULL),                           // 2: render, from wave pin 3
};
#undef TARN_BRIDGE_PIN

constexpr PCNODE_DESCRIPTOR TopologyTemplateNodes[TemplateNodeCount] = {
    {0, &CommonProperties, &KSNODETYPE_SUM, NULL},
    {0, &VolumeNodeProperties, &KSNODETYPE_VOLUME, &KSAUDFNAME_MASTER_VOLUME},
    {0, &MuteNodeProperties, &KSNODETYPE_MUTE, &KSAUDFNAME_MASTER_MUTE},
};

// From node, from node pin, to node, to node pin; a node's pin 1 is its input, pin 0 its output.
constexpr PCCONNECTION_DESCRIPTOR TopologyTemplateConnections[TemplateConnectionCount] = {
    {0, 0, PCFILTER_NODE, 0},  // sum → capture mix pin
    {PCFILTER_NODE, 2, 1, 1},  // render pin → master volume
    {1, 0, 2, 1},              // master volume → master mute
    {2, 0, PCFILTER_NODE, 1},  // master mute → line out pin
};

constexpr TopologyLineKind SourceLineKinds[SourceLineKindCount] = {
    {1, &KSNODETYPE_MICROPHONE, &KSAUDFNAME_MIC_VOLUME, &KSAUDFNAME_MIC_MUTE, 0x1000, "Mic"},
    {2, &KSNODETYPE_LINE_CONNECTOR, &KSAUDFNAME_LINE_VOLUME, &KSAUDFNAME_LINE_MUTE, 0x2000, "Tarn IN"},
    {3, &KSNODETYPE_SPDIF_INTERFACE, &NoNodeName, &NoNodeName, 0x4000, "S/PDIF"},
};

constexpr TopologyLineKind LineOutKind = {0, &KSNODETYPE_LINE_CONNECTOR, &KSAUDFNAME_MASTER_VOLUME,
                                          &KSAUDFNAME_MASTER_MUTE, 0x3000, "Tarn OUT"};
