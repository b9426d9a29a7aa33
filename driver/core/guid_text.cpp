// GUIDs as text.
#include "core/guid_text.h"

PCHAR FormatGuid(PCHAR buffer, const GUID* guid)
{
    if (guid == NULL) {
        RtlStringCbCopyA(buffer, GuidTextBytes, "*** zero GUID address ***");
        return buffer;
    }
    RtlStringCbPrintfA(buffer, GuidTextBytes, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                       static_cast<unsigned>(guid->Data1), guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1],
                       guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6], guid->Data4[7]);
    return buffer;
}
