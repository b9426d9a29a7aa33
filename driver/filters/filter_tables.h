// Descriptor pieces both filters of a cable share: the analog bridge range, the automation table
// of bridge pins and passive nodes, the handlers those tables name and the helpers of every
// property handler.
#pragma once

#include "core/platform.h"

// An automation table of properties only, over a constant array of PCPROPERTY_ITEM.
#define PROPERTY_AUTOMATION_TABLE(items) \
    {sizeof(PCPROPERTY_ITEM), ARRAYSIZE(items), items, 0, 0, NULL, 0, 0, NULL, 0}

// The analog data range of a bridge pin, the one that joins the wave filter to the topology
// filter: a plain 64-byte KSDATARANGE of TYPE_AUDIO / SUBTYPE_ANALOG / SPECIFIER_NONE.
extern const KSDATARANGE BridgeRange;
// The bridge range as a pin descriptor's list of one.
extern const PKSDATARANGE BridgeRanges[1];

// Bridge pins and nodes without controls: CPU resources answered here, the topology name and pin
// name left to the port.
extern const PCAUTOMATION_TABLE CommonProperties;

// The answer to a basic-support request for a property with a plain value of type `variantType`:
// the full description when it fits, the access flags alone in 4..39 bytes, the size wanted for 0.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS BasicSupport(PPCPROPERTY_REQUEST request, ULONG variantType);

// The common size checks of a property request: the instance must be at least `instanceBytes`
// (when that is not 0), a value buffer of 0 bytes asks for the size (STATUS_BUFFER_OVERFLOW with
// `valueBytes`), and a smaller one than `valueBytes` is refused. Any IRQL.
NTSTATUS CheckPropertySizes(PPCPROPERTY_REQUEST request, ULONG instanceBytes, ULONG valueBytes);

// KSPROPERTY_AUDIO_CPU_RESOURCES: the cable's processing never runs on the client's CPU budget of
// an audio device, so every node reports KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CpuResourcesHandler(PPCPROPERTY_REQUEST request);

// Leaves the request to the port's own handling (STATUS_NOT_FOUND), for properties the port
// answers better from its descriptor copy. Any IRQL.
NTSTATUS NotFoundHandler(PPCPROPERTY_REQUEST request);
