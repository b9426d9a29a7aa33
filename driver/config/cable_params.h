// Per-cable parameters: loading a cable's settings from the registry when it is installed, and
// saving a changed one. Each value lives in the object that uses it (the Cable, its wave miniport
// or its topology miniport), whose setter decides what is accepted.
#pragma once

#include "core/platform.h"

class Cable;

constexpr ULONG MinMaxInstances = 1;
constexpr ULONG MaxMaxInstances = 100;
constexpr ULONG MinMsPerInterrupt = 1;
constexpr ULONG MaxMsPerInterrupt = 20;

// The format range a cable offers when the registry names none.
constexpr ULONG LoadDefaultMinSampleRate = 8000;
constexpr ULONG LoadDefaultMaxSampleRate = 48000;
constexpr ULONG LoadDefaultMinBits = 8;
constexpr ULONG LoadDefaultMaxBits = 16;
constexpr ULONG LoadDefaultMinChannels = 1;
constexpr ULONG LoadDefaultMaxChannels = 2;

// Reads the cable's values from its "Cable N" subkey (software key first, then the service's
// Parameters key) under FormatLock, applies those its setters accept, and writes the accepted ones
// back to both locations. The six format bounds are written back as read, before the set is
// checked. Never fails: absent or refused values leave the object's own.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS LoadCableParams(Cable* cable);

// Writes one REG_DWORD into the cable's subkey in both locations; returns the Parameters key's
// status. Validates nothing: the value has passed its setter.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SaveCableValue(Cable* cable, PCSTR valueName, ULONG value);

// Saves "Maximum instances" for the next device start (1..100); the running cable keeps its limit.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SaveCableMaxInstances(Cable* cable, ULONG maxInstances);
