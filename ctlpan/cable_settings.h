// A cable's settings as the main dialog edits them: validation of what the user typed, in the
// order the fields are checked, and the requests that bring the driver to the new settings.
// No window code: built into tarnpanel.exe and into host unit tests.
#pragma once

#include "panel_platform.h"

// The dialog's fields as read: numbers from ReadNumber (NotANumber for a text that is none),
// check boxes as booleans, the combo box's selection and the clock text (empty when unread).
struct CableFields {
    ULONG MaxInstances;
    ULONG MsPerInterrupt;
    bool VolumeControl;
    ULONG MinSamplingRate;
    ULONG MaxSamplingRate;
    ULONG MinBitsPerSample;
    ULONG MaxBitsPerSample;
    ULONG MinChannels;
    ULONG MaxChannels;
    ULONG FormatLimiting;
    bool Mic;
    bool Line;
    bool Spdif;
    const char* ClockText;
};

// Validated settings in the driver's terms (clock correction as its 16.16 factor).
struct CableSettings {
    ULONG MaxInstances;
    ULONG MsPerInterrupt;
    ULONG VolumeControl;
    ULONG MinSamplingRate;
    ULONG MaxSamplingRate;
    ULONG MinBitsPerSample;
    ULONG MaxBitsPerSample;
    ULONG MinChannels;
    ULONG MaxChannels;
    ULONG FormatLimiting;
    ULONG ConnectedSourceLines;
    ULONG ClockCorrection;
};

// The message for the first field that fails. With a Field the message takes it first, then the
// numbers ("Invalid %s %u. Must be in range %u..%u"); without one it takes the numbers alone.
struct ValidationError {
    const char* Format;
    const char* Field;
    ULONG Numbers[3];
};

// The range check's message and the number-of-cables limits, which the cables field uses too.
extern const char* const RangeMessage;
constexpr ULONG MinCables = 1;
constexpr ULONG MaxCables = 256;

// True with the settings filled when every field is valid; false with the first failure.
bool ValidateCableFields(const CableFields& fields, CableSettings* settings, ValidationError* error);

// One set request of the cable update. Value is unused for the format range, whose six bounds
// come from the settings.
struct PlannedRequest {
    ULONG Code;
    ULONG Value;
};

constexpr int MaxPlannedRequests = 7;

// The requests that change what differs between the wanted settings and the driver's reply, in
// the order they are sent. Returns their number (0 when nothing differs).
int PlanCableRequests(const CableSettings& wanted, const CableInfo& current, PlannedRequest* requests);
