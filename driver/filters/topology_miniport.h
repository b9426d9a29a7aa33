// The TopologyMiniport: the cable's topology filter, an imaginary mixer with a line out (master
// volume and mute, fed by the wave filter's render side) and up to three source lines summed into
// the wave filter's capture side. Its descriptor is built per cable at Init from the source line
// types mask; from Windows Vista on, its line pins carry names registered under MediaCategories.
#pragma once

#include "core/unknown.h"
#include "filters/cable.h"
#include "engine/gain.h"

class Cable;

constexpr ULONG DefaultSourceLineTypesMask = 7;       // microphone, line in, S/PDIF in
constexpr ULONG DefaultConnectedSourceLinesMask = 2;  // line in
constexpr ULONG SourceLineKindCount = 3;              // bits 0..2 of both masks
constexpr ULONG AllSourceLineTypes = 7;
constexpr ULONG PinNamesFromVersion = 0x0600;         // Driver.OsVersion of Windows Vista

// The key under which a pin name GUID's label lives.
constexpr char MediaCategoriesPath[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\MediaCategories";

// One line of the mixer: the line out (line 0) or a source line. The node property handlers find
// a line by its nodes or its pin and keep its levels here; the processing cycle reads line 0's
// gains and mutes under the cable's StateLock.
struct TopologyLine {
    ULONG Type;        // 0 line out, 1 microphone, 2 line in, 3 S/PDIF in (a source's mask bit + 1)
    ULONG PinId;
    ULONG VolumeNode;
    ULONG MuteNode;
    GUID NameGuid;     // all zero unless a MediaCategories entry was made for it
    LONG ChannelLevels[GainTableEntries];
    ScalePair ChannelGains[GainTableEntries];
    BOOLEAN ChannelMutes[GainTableEntries];
};

// What distinguishes one kind of line: its type, its pin category, the names of its two nodes,
// and the seed and label of its pin name.
struct TopologyLineKind {
    ULONG Type;
    const GUID* PinCategory;
    const GUID* VolumeName;
    const GUID* MuteName;
    ULONG NameSeed;
    PCSTR Label;
};

// The tables (topology_tables.cpp).
constexpr ULONG TemplatePinCount = 3;
constexpr ULONG TemplateNodeCount = 3;
constexpr ULONG TemplateConnectionCount = 4;
extern const PCPIN_DESCRIPTOR TopologyTemplatePins[TemplatePinCount];
extern const PCNODE_DESCRIPTOR TopologyTemplateNodes[TemplateNodeCount];
extern const PCCONNECTION_DESCRIPTOR TopologyTemplateConnections[TemplateConnectionCount];
extern const TopologyLineKind SourceLineKinds[SourceLineKindCount];  // by mask bit
extern const TopologyLineKind LineOutKind;
extern const PCAUTOMATION_TABLE TopologyFilterProperties;
extern const PCAUTOMATION_TABLE VolumeNodeProperties;
extern const PCAUTOMATION_TABLE MuteNodeProperties;
extern const GUID NoNodeName;  // the all-zero GUID that names the S/PDIF nodes

// The name GUID of a line: the value in Data1 under a fixed base, so that each cable index
// (below 256) and seed gives its own GUID.
GUID MakeNameGuid(ULONG value);
// Creates (or opens) MediaCategories\{guid} with "Name" = `name` widened and "Display" = 0. A
// failure after the key exists deletes it again. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreateMediaCategory(const GUID* guid, PCSTR name);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS DeleteMediaCategory(const GUID* guid);

class TopologyMiniport : public IMiniportTopology, public UnknownBase {
public:
    // Allocates and constructs the topology miniport of `cable` (whose storage it references),
    // holding one reference; null when pool is exhausted.
    static TopologyMiniport* Create(Cable* cable);

    DELEGATING_UNKNOWN
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    // IMiniport. The bridge pins take the port's own intersection.
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                                  ULONG outputBufferLength, PVOID resultantFormat,
                                                  PULONG resultantFormatLength) override;
    // IMiniportTopology. Builds the descriptor and the line records, and registers the pin names.
    // What a failure leaves built stays with the object, whose destructor undoes it. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port) override;

    // "Source line types mask": non-zero, bits 0..2 only. Takes effect at the next Init. The
    // connected mask keeps only the lines of the new mask, and becomes the whole mask when that
    // leaves it empty.
    NTSTATUS ApplySourceLineTypesMask(ULONG mask);
    // "Connected source lines mask": a non-empty subset of the types mask.
    NTSTATUS ApplyConnectedSourceLinesMask(ULONG mask);

    Cable* CableOwner;  // one reference on the cable's storage, so never dangling
    ULONG CableIndex;
    WCHAR Name[SubdeviceNameChars];
    ULONG SourceLineTypesMask;
    ULONG SourceLineCount;
    TopologyLine* Lines;
    ULONG LineCount;
    ULONG ConnectedSourceLinesMask;
    PCNODE_DESCRIPTOR* Nodes;
    ULONG NodeCount;
    PCPIN_DESCRIPTOR* Pins;
    ULONG PinCount;
    PCCONNECTION_DESCRIPTOR* Connections;
    ULONG ConnectionCount;
    PCFILTER_DESCRIPTOR FilterDescriptor;

private:
    explicit TopologyMiniport(Cable* cable);
    ~TopologyMiniport() override;

    // Line `line` (1..SourceLineCount) of the given kind: its record, its pin, its two nodes and
    // its three connections.
    NTSTATUS AddSourceLine(ULONG line, const TopologyLineKind& kind);
    // Registers the cable's name for a line of `kind`; *nameGuid is set only once it exists.
    NTSTATUS RegisterPinName(GUID* nameGuid, const TopologyLineKind& kind);
};
