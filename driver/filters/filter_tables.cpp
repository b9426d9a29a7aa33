// Descriptor pieces both filters of a cable share, as constant data, and their two handlers.
#include "filters/filter_tables.h"

namespace {

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
        description->PropTypeSet.Set = KSPROPTYPESETID_General;
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

// From the GUIDs' value lists: a table built from copies of the extern GUID objects would need a
// static constructor, and the kernel runs none.
constexpr KSDATARANGE BridgeRange = {{sizeof(KSDATARANGE), 0, 0, 0, {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},
                                      {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)},
                                      {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}}};

constexpr PKSDATARANGE BridgeRanges[1] = {const_cast<PKSDATARANGE>(&BridgeRange)};

constexpr PCAUTOMATION_TABLE CommonProperties = PROPERTY_AUTOMATION_TABLE(CommonPropertyItems);

TARN_PAGEABLE
NTSTATUS CpuResourcesHandler(PPCPROPERTY_REQUEST request)
{
    PAGED_CODE();
    if ((request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return BasicSupport(request, VT_UI4);
    }
    if ((request->Verb & KSPROPERTY_TYPE_GET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = CheckPropertySizes(request, 0, sizeof(ULONG));
    if (!NT_SUCCESS(status)) {
        return status;
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

NTSTATUS CheckPropertySizes(PPCPROPERTY_REQUEST request, ULONG instanceBytes, ULONG valueBytes)
{
    if (instanceBytes != 0 && request->InstanceSize < instanceBytes) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request->ValueSize == 0) {
        request->ValueSize = valueBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    return request->ValueSize < valueBytes ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}
