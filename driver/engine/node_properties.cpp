// The node and line-pin property handlers of both filters, and the values they keep.
#include "engine/node_properties.h"

#include "engine/gain.h"
#include "engine/wave_stream.h"
#include "filters/cable.h"
#include "filters/filter_tables.h"
#include "filters/topology_miniport.h"
#include "filters/wave_filter.h"
#include "filters/wave_miniport.h"

namespace {

// The speaker positions KSAUDIO_CHANNEL_CONFIG can name: SPEAKER_FRONT_LEFT (bit 0) to
// SPEAKER_TOP_BACK_RIGHT (bit 17); 0 is KSAUDIO_SPEAKER_DIRECTOUT.
constexpr ULONG SpeakerPositionBits = 0x0003FFFF;

// The value a jack description answers with: the list header and its one description.
struct JackDescriptionList {
    KSMULTIPLE_ITEM Header;
    KSJACK_DESCRIPTION Jack;
};
static_assert(sizeof(JackDescriptionList) == 36, "a jack description list of one is 36 bytes");

// What a volume basic support holds in full: the description, the members header and up to one
// stepping range per channel.
constexpr ULONG VolumeSupportBytes(ULONG ranges)
{
    return sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
           ranges * sizeof(KSPROPERTY_STEPPING_LONG);
}

TopologyMiniport* TopologyOf(PPCPROPERTY_REQUEST request)
{
    return static_cast<TopologyMiniport*>(static_cast<IMiniportTopology*>(request->MajorTarget));
}

WaveMiniport* WaveOf(PPCPROPERTY_REQUEST request)
{
    return static_cast<WaveMiniport*>(static_cast<IMiniportWavePci*>(request->MajorTarget));
}

// The channels a level may name: the cable's channel limit, which never exceeds the gain tables.
// A topology without its wave filter (never so once the cable is installed) allows them all.
ULONG ChannelLimit(Cable* cable)
{
    WaveMiniport* wave = cable->Wave;
    ULONG limit = (wave != NULL) ? wave->MaxChannels : GainTableEntries;
    return (limit < GainTableEntries) ? limit : GainTableEntries;
}

// The cable's StateLock with no processing pass running, as the wave filter's handlers take it:
// a pass then never sees a line's gain pair half written or an all-channel change half made.
void LockLines(Cable* cable)
{
    WaveMiniport* wave = cable->Wave;
    if (wave != NULL) {
        wave->LockStateIdle();
    } else {
        cable->StateLock.Enter();
    }
}

void UnlockLines(Cable* cable)
{
    cable->StateLock.Leave();
}

// A topology whose Init failed may have counted lines it never allocated.
TopologyLine* LineOfNode(TopologyMiniport* topology, ULONG node)
{
    if (topology->Lines == NULL) {
        return NULL;
    }
    for (ULONG line = 0; line < topology->LineCount; ++line) {
        if (topology->Lines[line].VolumeNode == node || topology->Lines[line].MuteNode == node) {
            return &topology->Lines[line];
        }
    }
    return NULL;
}

TopologyLine* LineOfPin(TopologyMiniport* topology, ULONG pin)
{
    if (topology->Lines == NULL || pin >= topology->PinCount) {
        return NULL;
    }
    for (ULONG line = 0; line < topology->LineCount; ++line) {
        if (topology->Lines[line].PinId == pin) {
            return &topology->Lines[line];
        }
    }
    return NULL;
}

// The channel of a KSNODEPROPERTY_AUDIO_CHANNEL request: AllChannels, or one below the limit.
// The caller has checked that the instance holds it.
bool ReadChannel(PPCPROPERTY_REQUEST request, ULONG limit, ULONG* channel)
{
    *channel = *static_cast<const ULONG*>(request->Instance);
    return *channel == AllChannels || *channel < limit;
}

// GET of a per-channel value: the channel's own, or channel 0's for all channels, whose values
// a SET of all channels makes equal.
ULONG ChannelIndex(ULONG channel)
{
    return channel == AllChannels ? 0 : channel;
}

// Stores a level and its gain into one channel, or into all for AllChannels.
void StoreLevel(LONG* levels, ScalePair* gains, ULONG channel, LONG level)
{
    const ScalePair gain = LevelToScale(level);
    for (ULONG index = 0; index < GainTableEntries; ++index) {
        if (channel == AllChannels || channel == index) {
            levels[index] = level;
            gains[index] = gain;
        }
    }
}

// The GET or SET of a volume level on one channel table. `accepted` says whether a level may be
// set. The sizes have been checked.
NTSTATUS VolumeLevelRequest(PPCPROPERTY_REQUEST request, ULONG channel, LONG* levels, ScalePair* gains,
                            bool (*accepted)(LONG level))
{
    auto* value = static_cast<PLONG>(request->Value);
    if ((request->Verb & KSPROPERTY_TYPE_GET) != 0) {
        *value = levels[ChannelIndex(channel)];
        request->ValueSize = sizeof(LONG);
        return STATUS_SUCCESS;
    }
    if ((request->Verb & KSPROPERTY_TYPE_SET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const LONG level = *value;
    if (!accepted(level)) {
        return STATUS_INVALID_PARAMETER;
    }
    StoreLevel(levels, gains, channel, level);
    return STATUS_SUCCESS;
}

// The topology's lines take any level whose whole-dB part lies in -100..0 dB: down to a shade
// above -101 dB, which sounds as -100 dB does.
bool LineLevelAccepted(LONG level)
{
    const LONG wholeDecibels = level / static_cast<LONG>(VolumeLevelStep);
    return level == SilentVolumeLevel || (wholeDecibels >= -100 && level <= MaxVolumeLevel);
}

bool StreamLevelAccepted(LONG level)
{
    return level == SilentVolumeLevel || (level >= MinVolumeLevel && level <= MaxVolumeLevel);
}

}  // namespace

NTSTATUS VolumeBasicSupport(PPCPROPERTY_REQUEST request, ULONG maxChannels)
{
    const ULONG ranges = (maxChannels > 2) ? maxChannels : 1;
    const ULONG fullSize = VolumeSupportBytes(ranges);
    if (request->ValueSize == 0) {
        request->ValueSize = fullSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION)) {
        return BasicSupport(request, VT_I4);  // the access flags, or too small
    }
    auto* description = static_cast<PKSPROPERTY_DESCRIPTION>(request->Value);
    description->AccessFlags = request->PropertyItem->Flags;
    description->DescriptionSize = fullSize;
    description->PropTypeSet.Set = KSPROPTYPESETID_General;
    description->PropTypeSet.Id = VT_I4;
    description->PropTypeSet.Flags = 0;
    description->MembersListCount = 1;
    description->Reserved = 0;
    if (request->ValueSize < fullSize) {
        request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_SUCCESS;
    }
    auto* members = reinterpret_cast<PKSPROPERTY_MEMBERSHEADER>(description + 1);
    members->MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
    members->MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
    members->MembersCount = ranges;
    members->Flags = (ranges > 1) ? KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL : 0;
    auto* range = reinterpret_cast<PKSPROPERTY_STEPPING_LONG>(members + 1);
    for (ULONG index = 0; index < ranges; ++index) {
        range[index].SteppingDelta = VolumeLevelStep;
        range[index].Reserved = 0;
        range[index].Bounds.SignedMinimum = MinVolumeLevel;
        range[index].Bounds.SignedMaximum = MaxVolumeLevel;
    }
    request->ValueSize = fullSize;
    return STATUS_SUCCESS;
}

NTSTATUS TopologyVolumeHandler(PPCPROPERTY_REQUEST request)
{
    Cable* cable = TopologyOf(request)->CableOwner;
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return VolumeBasicSupport(request, ChannelLimit(cable));
    }
    NTSTATUS status = CheckPropertySizes(request, sizeof(ULONG), sizeof(LONG));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LockLines(cable);
    TopologyLine* line = LineOfNode(TopologyOf(request), request->Node);
    ULONG channel = 0;
    if (line == NULL || !ReadChannel(request, ChannelLimit(cable), &channel)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = VolumeLevelRequest(request, channel, line->ChannelLevels, line->ChannelGains, LineLevelAccepted);
    }
    UnlockLines(cable);
    return status;
}

NTSTATUS TopologyMuteHandler(PPCPROPERTY_REQUEST request)
{
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return BasicSupport(request, VT_BOOL);
    }
    NTSTATUS status = CheckPropertySizes(request, sizeof(ULONG), sizeof(ULONG));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Cable* cable = TopologyOf(request)->CableOwner;
    LockLines(cable);
    TopologyLine* line = LineOfNode(TopologyOf(request), request->Node);
    ULONG channel = 0;
    auto* value = static_cast<PULONG>(request->Value);
    if (line == NULL || !ReadChannel(request, ChannelLimit(cable), &channel)) {
        status = STATUS_INVALID_PARAMETER;
    } else if ((request->Verb & KSPROPERTY_TYPE_GET) != 0) {
        *value = line->ChannelMutes[ChannelIndex(channel)] ? 1 : 0;
        request->ValueSize = sizeof(ULONG);
    } else if ((request->Verb & KSPROPERTY_TYPE_SET) != 0) {
        const BOOLEAN muted = (*value != 0) ? TRUE : FALSE;
        for (ULONG index = 0; index < GainTableEntries; ++index) {
            if (channel == AllChannels || channel == index) {
                line->ChannelMutes[index] = muted;
            }
        }
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    UnlockLines(cable);
    return status;
}

TARN_PAGEABLE
NTSTATUS JackDescriptionHandler(PPCPROPERTY_REQUEST request)
{
    PAGED_CODE();
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return BasicSupport(request, VT_BOOL);
    }
    NTSTATUS status = CheckPropertySizes(request, sizeof(ULONG), sizeof(JackDescriptionList));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((request->Verb & KSPROPERTY_TYPE_GET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    TopologyMiniport* topology = TopologyOf(request);
    Cable* cable = topology->CableOwner;
    cable->FormatLock.Enter();
    const TopologyLine* line = LineOfPin(topology, *static_cast<const ULONG*>(request->Instance));
    if (line == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        JackDescriptionList list;
        list.Header.Size = sizeof(JackDescriptionList);
        list.Header.Count = 1;
        list.Jack.ChannelMapping = 0;
        list.Jack.Color = 0;
        list.Jack.ConnectionType = eConnTypeUnknown;
        list.Jack.GeoLocation = eGeoLocFront;
        list.Jack.GenLocation = eGenLocInternal;
        list.Jack.PortConnection = ePortConnIntegratedDevice;
        // The line out always carries the cable's signal; a source line as the mask says.
        list.Jack.IsConnected =
            (line->Type == 0) ? TRUE : static_cast<BOOL>((topology->ConnectedSourceLinesMask >> (line->Type - 1)) & 1);
        RtlCopyMemory(request->Value, &list, sizeof(list));
        request->ValueSize = sizeof(list);
    }
    cable->FormatLock.Leave();
    return status;
}

NTSTATUS WaveVolumeHandler(PPCPROPERTY_REQUEST request)
{
    WaveMiniport* miniport = WaveOf(request);
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return VolumeBasicSupport(request, ChannelLimit(miniport->CableOwner));
    }
    NTSTATUS status = CheckPropertySizes(request, sizeof(ULONG), sizeof(LONG));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG* levels = miniport->FilterChannelLevels;
    ScalePair* gains = miniport->FilterChannelGains;
    if (request->MinorTarget != NULL) {
        auto* stream = static_cast<WaveStream*>(static_cast<IMiniportWavePciStream*>(request->MinorTarget));
        levels = stream->ChannelLevels;
        gains = stream->ChannelGains;
    }
    miniport->LockStateIdle();
    ULONG channel = 0;
    if (!ReadChannel(request, ChannelLimit(miniport->CableOwner), &channel)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = VolumeLevelRequest(request, channel, levels, gains, StreamLevelAccepted);
    }
    miniport->UnlockStateIdle();
    return status;
}

NTSTATUS ChannelConfigHandler(PPCPROPERTY_REQUEST request)
{
    WaveMiniport* miniport = WaveOf(request);
    StreamList* list = (request->Node == WaveDacNode)   ? &miniport->RenderStreams
                       : (request->Node == WaveAdcNode) ? &miniport->CaptureStreams
                                                        : NULL;
    if (list == NULL) {
        return STATUS_NOT_FOUND;
    }
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return BasicSupport(request, VT_UI4);
    }
    NTSTATUS status = CheckPropertySizes(request, 0, sizeof(ULONG));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* value = static_cast<PULONG>(request->Value);
    miniport->LockStateIdle();
    if ((request->Verb & KSPROPERTY_TYPE_GET) != 0) {
        *value = list->ChannelConfig;
        request->ValueSize = sizeof(ULONG);
    } else if ((request->Verb & KSPROPERTY_TYPE_SET) == 0) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if ((*value & ~SpeakerPositionBits) != 0) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        list->ChannelConfig = *value;
    }
    miniport->UnlockStateIdle();
    return status;
}
