// GUIDs as text, for registry paths and diagnostics.
#pragma once

#include "core/platform.h"

constexpr size_t GuidTextBytes = 37;  // 36 characters and the terminator

// Writes the GUID in lower case without braces (6994ad04-93ef-11d0-a3cc-00a0c9223196) into a
// buffer of at least GuidTextBytes, and returns the buffer.
PCHAR FormatGuid(PCHAR buffer, const GUID* guid);
