// The wave filter's descriptor: the same pins, nodes and connections for every cable, but each
// miniport keeps its own copy of the pin table, which carries its cable's instance limits.
#pragma once

#include "core/platform.h"

constexpr ULONG WaveCapturePin = 0;
constexpr ULONG WaveCaptureBridgePin = 1;
constexpr ULONG WaveRenderPin = 2;
constexpr ULONG WaveRenderBridgePin = 3;
constexpr ULONG WavePinCount = 4;

constexpr ULONG WaveVolumeNode = 0;
constexpr ULONG WaveDacNode = 4;
constexpr ULONG WaveAdcNode = 5;

// The size of the format the intersection returns: KSDATAFORMAT and WAVEFORMATEXTENSIBLE.
constexpr ULONG IntersectionFormatBytes = 104;

// The template every miniport copies: pins 0 and 2 allow `maxInstances` streams each.
void BuildWaveFilterDescriptor(PCFILTER_DESCRIPTOR* descriptor, PCPIN_DESCRIPTOR* pins, ULONG maxInstances);
