// Descriptor pieces both filters of a cable share, as constant data, and their two handlers.
#include "filters/filter_tables.h"

namespace {

// The GUID values of KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG and
// KSDATAFORMAT_SPECIFIER_NONE, written out: a table built from copies of the extern GUID objects
// would need a static constructor, and the kernel runs none.
#define TARN_GUID_TYPE_AUDIO {0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}}
#define TARN_GUID_SUBTYPE_ANALOG {0x6dba3190, 0x67bd, 0x11cf, {0xa0, 0xf7, 0x00, 0x20, 0xaf, 0xd1, 0x56, 0xe4}}
#define TARN_GUID_SPECIFIER_NONE {0x0f6417d6, 0xc318, 0x11d0, {0xa4, 0x3f, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}}

// KSPROPTYPESETID_General {97E99BA0-BDEA-11CF-A5D6-28DB04C10000} and the VARENUM VT_UI4, which a
// basic-support description names as the value's type.
constexpr GUID GeneralPropertyTypes = {0x97e99ba0, 0xbdea, 0x11cf, {0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00}};
constexpr ULONG VariantTypeUnsigned4 = 19;

constexpr PCPROPERTY_ITEM CommonPropertyItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, CpuResourcesHandler},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NAME, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     NotFoundHandler},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     NotFoundHandler},
};

}  // namespace

TARN_PAGEABLE
NTSTATUS BasicSupport(PPCPROPERTY_REQUEST request, ULONG variantType)
{
    PAGED_CODE();
    const ULONG accessFlags = request->PropertyItem->Flags;
    if (request->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
        auto* description = static_cast<PKSPROPERTY_DESCRIPTION>(request->Value);
        description->AccessFlags = accessFlags;
        description->DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
        description->PropTypeSet.Set = GeneralPropertyTypes;
        description->PropTypeSet.Id = variantType;
        description->PropTypeSet.Flags = 0;
        description->MembersListCount = 0;
        description->Reserved = 0;
        request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_SUCCESS;
    }
    if (request->ValueSize >= sizeof(ULONG)) {
        *static_cast<PULONG>(request->Value) = accessFlags;
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_BUFFER_OVERFLOW;
    }
    request->ValueSize = 0;
    return STATUS_BUFFER_TOO_SMALL;
}

constexpr KSDATARANGE BridgeRange = {{
    sizeof(KSDATARANGE),
    0,
    0,
    0,
    TARN_GUID_TYPE_AUDIO,
    TARN_GUID_SUBTYPE_ANALOG,
    TARN_GUID_SPECIFIER_NONE,
}};
#undef TARN_GUID_TYPE_AUDIO
#undef TARN_GUID_SUBTYPE_ANALOG
#undef TARN_GUID_SPECIFIER_NONE

constexpr PKSDATARANGE BridgeRanges[1] = {const_cast<PKSDATARANGE>(&BridgeRange)};

constexpr PCAUTOMATION_TABLE CommonProperties = {
    sizeof(PCPROPERTY_ITEM), ARRAYSIZE(CommonPropertyItems), CommonPropertyItems, 0, 0, NULL, 0, 0, NULL, 0,
};

TARN_PAGEABLE
NTSTATUS CpuResourcesHandler(PPCPROPERTY_REQUEST request)
{
    PAGED_CODE();
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return BasicSupport(request, VariantTypeUnsigned4);
    }
    if ((request->Verb & KSPROPERTY_TYPE_GET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *static_cast<PULONG>(request->Value) = KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS NotFoundHandler(PPCPROPERTY_REQUEST request)
{
    UNREFERENCED_PARAMETER(request);
    return STATUS_NOT_FOUND;
}
