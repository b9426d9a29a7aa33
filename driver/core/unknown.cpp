// COM plumbing for the driver's objects.
#include "core/unknown.h"

ULONG UnknownBase::NonDelegatingAddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&referenceCount_));
}

ULONG UnknownBase::NonDelegatingRelease()
{
    LONG remaining = InterlockedDecrement(&referenceCount_);
    if (remaining == 0) {
        delete this;
    }
    return static_cast<ULONG>(remaining);
}

NTSTATUS ReturnInterface(PUNKNOWN object)
{
    if (object == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    object->AddRef();
    return STATUS_SUCCESS;
}
