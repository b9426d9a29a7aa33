// The streams of one direction of a cable, with that direction's channel configuration and its
// table of restricted client threads.
#pragma once

#include "core/list.h"

constexpr ULONG RestrictedThreadSlots = 64;
constexpr ULONG DefaultChannelConfig = 3;  // KSAUDIO_SPEAKER_STEREO

struct StreamList {
    // In creation order; own spin lock for appends. The DPC walks it without the lock: streams
    // are removed only under LockStateIdle.
    LockedList Streams;
    ULONG ChannelConfig = DefaultChannelConfig;  // KSAUDIO_CHANNEL_CONFIG ActiveSpeakerPositions
    PKTHREAD RestrictedThreads[RestrictedThreadSlots] = {};
};
