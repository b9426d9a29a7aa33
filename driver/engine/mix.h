// The cable's mix buffer operations: the saturating add of a stream's converted samples and the
// in-place gain stage. Both work on whole samples of the cable format, in place, inside the
// cable's timer DPC: no allocation, integers only.
#pragma once

#include "core/platform.h"

#include "engine/gain.h"

// destination[i] = destination[i] + source[i] with saturation at the bounds of the container,
// for bytes of samples in the cable format (the container width, nBlockAlign / nChannels, picks
// the arithmetic: offset-binary 8-bit, 16-bit, packed 24-bit, 32-bit).
_IRQL_requires_max_(DISPATCH_LEVEL)
void MixIntoBuffer(const WAVEFORMATEXTENSIBLE* cableFormat, PUCHAR destination, const UCHAR* source, ULONG bytes);

// Multiplies every sample of a buffer in the given format by its channel's pair of the gain table
// (GainTableEntries pairs), truncating toward zero; a gain above unity saturates.
_IRQL_requires_max_(DISPATCH_LEVEL)
void ScaleBuffer(PUCHAR buffer, ULONG bytes, const WAVEFORMATEXTENSIBLE* format, const ScalePair* gains);
