// TopologyMiniport: construction, identity, the run-time descriptor and the pin names.
#include "filters/topology_miniport.h"

#include "config/registry_store.h"
#include "core/driver_state.h"
#include "core/guid_text.h"
#include "filters/cable.h"
#include "filters/filter_tables.h"

namespace {

constexpr size_t LabelTextBytes = 32;  // the longest label, a space and a cable number up to 256

// Builds "<MediaCategories>\{guid}" into a KeyPathBytes buffer.
TARN_PAGEABLE
NTSTATUS BuildMediaCategoryPath(const GUID* guid, PCHAR path)
{
    PAGED_CODE();
    CHAR text[GuidTextBytes];
    NTSTATUS status = RtlStringCbPrintfA(path, KeyPathBytes, "%s\\{%s}", MediaCategoriesPath, FormatGuid(text, guid));
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

TARN_PAGEABLE
NTSTATUS SetValue(HANDLE key, PCWSTR name, ULONG type, PVOID data, ULONG size)
{
    PAGED_CODE();
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    return ZwSetValueKey(key, &valueName, 0, type, data, size);
}

bool IsZeroGuid(const GUID& guid)
{
    constexpr GUID zero = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    return IsEqualGUIDAligned(guid, zero);
}

}  // namespace

GUID MakeNameGuid(ULONG value)
{
    return GUID{value | 0x5A000000, 0x4C2E, 0x4A1D, {0x9E, 0x63, 0x5B, 0x2C, 0x07, 0xD4, 0xE8, 0x15}};
}

TARN_PAGEABLE
NTSTATUS CreateMediaCategory(const GUID* guid, PCSTR name)
{
    PAGED_CODE();
    CHAR path[KeyPathBytes];
    NTSTATUS status = BuildMediaCategoryPath(guid, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WCHAR wideName[LabelTextBytes];
    status = RtlStringCbPrintfW(wideName, sizeof(wideName), TARN_WIDE("%S"), name);
    if (!NT_SUCCESS(status)) {
        return STATUS_INVALID_PARAMETER;
    }
    HANDLE key = NULL;
    status = CreateKeyPath(path, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        if (key != NULL) {
            ZwDeleteKey(key);
            ZwClose(key);
        }
        return status;
    }
    size_t nameChars = 0;
    while (name[nameChars] != '\0') {
        ++nameChars;
    }
    status = SetValue(key, TARN_WIDE("Name"), REG_SZ, wideName, static_cast<ULONG>((nameChars + 1) * sizeof(WCHAR)));
    if (NT_SUCCESS(status)) {
        ULONG display = 0;
        status = SetValue(key, TARN_WIDE("Display"), REG_DWORD, &display, sizeof(display));
    }
    if (!NT_SUCCESS(status)) {
        ZwDeleteKey(key);
    }
    ZwClose(key);
    return status;
}

TARN_PAGEABLE
NTSTATUS DeleteMediaCategory(const GUID* guid)
{
    PAGED_CODE();
    CHAR path[KeyPathBytes];
    NTSTATUS status = BuildMediaCategoryPath(guid, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HANDLE key = NULL;
    status = OpenKeyPath(path, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        if (key != NULL) {
            ZwClose(key);
        }
        return status;
    }
    status = ZwDeleteKey(key);
    ZwClose(key);
    return status;
}

TopologyMiniport* TopologyMiniport::Create(Cable* cable)
{
    void* memory = PoolAlloc(sizeof(TopologyMiniport));
    if (memory == NULL) {
        return NULL;
    }
    return new (memory, InPlace) TopologyMiniport(cable);
}

TopologyMiniport::TopologyMiniport(Cable* cable)
    : UnknownBase(NULL),
      CableOwner(cable),
      CableIndex(cable->Index),
      SourceLineTypesMask(DefaultSourceLineTypesMask),
      SourceLineCount(0),
      Lines(NULL),
      LineCount(0),
      ConnectedSourceLinesMask(DefaultConnectedSourceLinesMask),
      Nodes(NULL),
      NodeCount(0),
      Pins(NULL),
      PinCount(0),
      Connections(NULL),
      ConnectionCount(0)
{
    RtlZeroMemory(&FilterDescriptor, sizeof(FilterDescriptor));
    // "topo1" for the first cable; a name that does not fit is cut and terminated.
    if (!NT_SUCCESS(RtlStringCbPrintfW(Name, sizeof(Name), TARN_WIDE("%S%u"), "topo", CableIndex + 1))) {
        Name[SubdeviceNameChars - 1] = 0;
    }
    CableOwner->AddRef();
    AddRef();
}

// Only names registered by this object are removed: a line's GUID is set once its key exists.
TopologyMiniport::~TopologyMiniport()
{
    PAGED_CODE();
    if (Lines != NULL) {
        for (ULONG line = 0; line < LineCount; ++line) {
            if (!IsZeroGuid(Lines[line].NameGuid)) {
                DeleteMediaCategory(&Lines[line].NameGuid);  // a failure leaves nothing else to do
            }
        }
    }
    PoolFree(Lines);
    PoolFree(Connections);
    PoolFree(Pins);
    PoolFree(Nodes);
    CableOwner->Release();
}

NTSTATUS TopologyMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    PUNKNOWN found = NULL;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniport) ||
        IsEqualGUIDAligned(iid, IID_IMiniportTopology)) {
        found = static_cast<IMiniportTopology*>(this);
    }
    *object = found;
    return ReturnInterface(found);
}

NTSTATUS TopologyMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description)
{
    *description = &FilterDescriptor;
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                                 ULONG outputBufferLength, PVOID resultantFormat,
                                                 PULONG resultantFormatLength)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TopologyMiniport::ApplySourceLineTypesMask(ULONG mask)
{
    if (mask == 0 || (mask & ~AllSourceLineTypes) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    SourceLineTypesMask = mask;
    // The connected mask stays a non-empty subset of the lines there are: a connected line that
    // goes away drops out, and when none is left (the default, line in, without a line in) every
    // line shown counts as connected, so the capture side is never reported unplugged.
    ConnectedSourceLinesMask &= mask;
    if (ConnectedSourceLinesMask == 0) {
        ConnectedSourceLinesMask = mask;
    }
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::ApplyConnectedSourceLinesMask(ULONG mask)
{
    if ((mask & SourceLineTypesMask) == 0 || (mask & ~SourceLineTypesMask) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ConnectedSourceLinesMask = mask & SourceLineTypesMask;
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::RegisterPinName(GUID* nameGuid, const TopologyLineKind& kind)
{
    PAGED_CODE();
    CHAR label[LabelTextBytes];
    NTSTATUS status = RtlStringCbPrintfA(label, sizeof(label), "%s %u", kind.Label, CableIndex + 1);
    if (!NT_SUCCESS(status)) {
        return STATUS_INVALID_PARAMETER;
    }
    const GUID guid = MakeNameGuid(CableIndex + kind.NameSeed);
    status = CreateMediaCategory(&guid, label);
    if (NT_SUCCESS(status)) {
        *nameGuid = guid;
    }
    return status;
}

// Only the types mask's three defined bits make lines; the setter admits no others.
NTSTATUS TopologyMiniport::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port)
{
    PAGED_CODE();
    ULONG sourceLines = 0;
    for (ULONG bit = 0; bit < SourceLineKindCount; ++bit) {
        sourceLines += (SourceLineTypesMask >> bit) & 1;
    }
    SourceLineCount = sourceLines;
    LineCount = sourceLines + 1;
    NodeCount = 2 * sourceLines + TemplateNodeCount;
    PinCount = sourceLines + TemplatePinCount;
    ConnectionCount = 3 * sourceLines + TemplateConnectionCount;

    Nodes = static_cast<PCNODE_DESCRIPTOR*>(PoolAllocEx(NodeCount * sizeof(PCNODE_DESCRIPTOR), PoolZeroed));
    if (Nodes == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Nodes, TopologyTemplateNodes, sizeof(TopologyTemplateNodes));
    Pins = static_cast<PCPIN_DESCRIPTOR*>(PoolAllocEx(PinCount * sizeof(PCPIN_DESCRIPTOR), PoolZeroed));
    if (Pins == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Pins, TopologyTemplatePins, sizeof(TopologyTemplatePins));
    Connections = static_cast<PCCONNECTION_DESCRIPTOR*>(
        PoolAllocEx(ConnectionCount * sizeof(PCCONNECTION_DESCRIPTOR), PoolZeroed));
    if (Connections == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Connections, TopologyTemplateConnections, sizeof(TopologyTemplateConnections));
    Lines = static_cast<TopologyLine*>(PoolAllocEx(LineCount * sizeof(TopologyLine), PoolZeroed));
    if (Lines == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    TopologyLine& lineOut = Lines[0];
    lineOut.Type = LineOutKind.Type;
    lineOut.PinId = 1;
    lineOut.VolumeNode = 1;
    lineOut.MuteNode = 2;
    ResetChannelLevels(lineOut.ChannelLevels, lineOut.ChannelGains);
    if (Driver.OsVersion >= PinNamesFromVersion) {
        NTSTATUS status = RegisterPinName(&lineOut.NameGuid, LineOutKind);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        Pins[1].KsPinDescriptor.Category = LineOutKind.PinCategory;
        Pins[1].KsPinDescriptor.Name = &lineOut.NameGuid;
    }
    ULONG bit = 0;
    for (ULONG line = 1; line < LineCount; ++line, ++bit) {
        while ((SourceLineTypesMask & (1u << bit)) == 0) {
            ++bit;
        }
        NTSTATUS status = AddSourceLine(line, SourceLineKinds[bit]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    FilterDescriptor.Version = 0;
    FilterDescriptor.AutomationTable = &TopologyFilterProperties;
    FilterDescriptor.PinSize = sizeof(PCPIN_DESCRIPTOR);
    FilterDescriptor.PinCount = PinCount;
    FilterDescriptor.Pins = Pins;
    FilterDescriptor.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    FilterDescriptor.NodeCount = NodeCount;
    FilterDescriptor.Nodes = Nodes;
    FilterDescriptor.ConnectionCount = ConnectionCount;
    FilterDescriptor.Connections = Connections;
    FilterDescriptor.CategoryCount = 0;  // the port type's own categories
    FilterDescriptor.Categories = NULL;
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::AddSourceLine(ULONG line, const TopologyLineKind& kind)
{
    PAGED_CODE();
    TopologyLine& record = Lines[line];
    record.Type = kind.Type;
    record.PinId = line + 2;
    record.VolumeNode = 2 * line + 1;
    record.MuteNode = 2 * line + 2;
    ResetChannelLevels(record.ChannelLevels, record.ChannelGains);
    if (Driver.OsVersion >= PinNamesFromVersion) {
        NTSTATUS status = RegisterPinName(&record.NameGuid, kind);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    Nodes[record.VolumeNode] = {0, &VolumeNodeProperties, &KSNODETYPE_VOLUME, kind.VolumeName};
    Nodes[record.MuteNode] = {0, &MuteNodeProperties, &KSNODETYPE_MUTE, kind.MuteName};

    PCPIN_DESCRIPTOR& pin = Pins[record.PinId];
    RtlZeroMemory(&pin, sizeof(pin));
    pin.AutomationTable = &CommonProperties;
    pin.KsPinDescriptor.DataRangesCount = ARRAYSIZE(BridgeRanges);
    pin.KsPinDescriptor.DataRanges = BridgeRanges;
    pin.KsPinDescriptor.DataFlow = KSPIN_DATAFLOW_IN;
    pin.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    pin.KsPinDescriptor.Category = kind.PinCategory;
    pin.KsPinDescriptor.Name = &record.NameGuid;

    PCCONNECTION_DESCRIPTOR* connection = &Connections[3 * line + 1];
    connection[0] = {PCFILTER_NODE, record.PinId, record.VolumeNode, 1};
    connection[1] = {record.VolumeNode, 0, record.MuteNode, 1};
    connection[2] = {record.MuteNode, 0, 0, line};  // into the sum's input `line`
    return STATUS_SUCCESS;
}
