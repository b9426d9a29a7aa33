// The property handlers of the cable's nodes and line pins: volume levels with their stepping
// ranges, mutes, jack descriptions and channel configurations. The levels they keep shape the
// audio only when the cable's volume control is on: the line out's in the processing cycle, a
// render stream's in its conversion.
#pragma once

#include "core/platform.h"

// Volume levels are 1/65536 dB; the range offered runs from -100 dB to 0 dB in steps of 1 dB.
constexpr LONG MinVolumeLevel = -100 * 65536;
constexpr LONG MaxVolumeLevel = 0;
constexpr ULONG VolumeLevelStep = 65536;
constexpr LONG SilentVolumeLevel = -2147483647 - 1;  // the lowest 32-bit value: no sound at all
constexpr ULONG AllChannels = 0xFFFFFFFF;            // KSNODEPROPERTY_AUDIO_CHANNEL: every channel

// The basic support of a volume level: the description, then one stepping range per channel
// when the cable carries more than two (flagged multichannel), else one range for all. Sizes
// as BasicSupport, with the full size reported for a size query. Any IRQL.
NTSTATUS VolumeBasicSupport(PPCPROPERTY_REQUEST request, ULONG maxChannels);

// Topology filter: KSPROPERTY_AUDIO_VOLUMELEVEL and KSPROPERTY_AUDIO_MUTE of a line's nodes,
// under the cable's StateLock with no processing pass running. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS TopologyVolumeHandler(PPCPROPERTY_REQUEST request);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS TopologyMuteHandler(PPCPROPERTY_REQUEST request);
// Topology filter: KSPROPERTY_JACK_DESCRIPTION of a line pin, under the cable's FormatLock.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS JackDescriptionHandler(PPCPROPERTY_REQUEST request);

// Wave filter: KSPROPERTY_AUDIO_VOLUMELEVEL of the volume node, for the stream of a pin request
// or the filter's own levels, under LockStateIdle. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WaveVolumeHandler(PPCPROPERTY_REQUEST request);
// Wave filter: KSPROPERTY_AUDIO_CHANNEL_CONFIG of the DAC node (render) and the ADC node
// (capture), under LockStateIdle. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ChannelConfigHandler(PPCPROPERTY_REQUEST request);
