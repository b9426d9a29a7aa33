// Opening, routing and closing the control channel: the file objects of the channel are known by
// their ControlHandle records in the Adapter's ControlHandles.
#include "control/control_channel.h"

#include "core/device.h"
#include "filters/adapter.h"

namespace {

// "\" and the 36 characters of the reference string, and the terminator.
constexpr size_t ControlFileNameChars = 1 + sizeof(CONTROL_REFERENCE_STRING);

// Whether the create names the channel: the whole file name, compared with letter case.
TARN_PAGEABLE
bool NamesControlChannel(PFILE_OBJECT fileObject)
{
    PAGED_CODE();
    if (fileObject == NULL) {
        return false;
    }
    WCHAR expectedText[ControlFileNameChars];
    if (!NT_SUCCESS(RtlStringCbPrintfW(expectedText, sizeof(expectedText), TARN_WIDE("\\%S"),
                                       CONTROL_REFERENCE_STRING))) {
        return false;
    }
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, expectedText);
    return RtlCompareUnicodeString(&fileObject->FileName, &expected, FALSE) == 0;
}

// The record of `fileObject`, or null. Caller holds AdapterLock, which every change of the list
// holds too; the list's own lock is taken for the walk all the same.
ControlHandle* FindControlHandle(Adapter* adapter, PFILE_OBJECT fileObject)
{
    ControlHandle* found = NULL;
    RecursiveLock* guard = adapter->ControlHandles.Guard();
    guard->Enter();
    for (ListEntry* link = adapter->ControlHandles.Items().First(); link != NULL; link = link->Next) {
        ControlHandle* handle = ControlHandle::FromLink(link);
        if (handle->FileObject == fileObject) {
            found = handle;
            break;
        }
    }
    guard->Leave();
    return found;
}

}  // namespace

TARN_PAGEABLE
NTSTATUS ControlCreate(Adapter* adapter, PIRP irp)
{
    PAGED_CODE();
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    // Without an adapter the device never started, and its interface was never opened.
    if (adapter == NULL || !NamesControlChannel(fileObject)) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    ControlHandle* handle = static_cast<ControlHandle*>(PoolAlloc(sizeof(ControlHandle)));
    if (handle == NULL) {
        CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    handle->Link.Previous = NULL;
    handle->Link.Next = NULL;
    handle->FileObject = fileObject;
    handle->OwnerAdapter = adapter;
    adapter->AdapterLock.Enter();
    adapter->ControlHandles.PushBack(&handle->Link);
    adapter->AdapterLock.Leave();
    CompleteIrp(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

TARN_PAGEABLE
NTSTATUS ControlRoute(Adapter* adapter, PIRP irp)
{
    PAGED_CODE();
    if (adapter == NULL) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    adapter->AdapterLock.Enter();
    NTSTATUS status = STATUS_MORE_PROCESSING_REQUIRED;
    ControlHandle* handle = FindControlHandle(adapter, stack->FileObject);
    if (handle != NULL) {
        switch (stack->MajorFunction) {
        case IRP_MJ_CLOSE:
            adapter->ControlHandles.Remove(&handle->Link);
            PoolFree(handle);
            status = STATUS_SUCCESS;
            CompleteIrp(irp, status, 0);
            break;
        case IRP_MJ_CLEANUP:
            // The record stays until the close: the I/O manager may still send requests that were
            // on their way.
            status = STATUS_SUCCESS;
            CompleteIrp(irp, status, 0);
            break;
        default:
            status = ControlDispatch(handle, irp);
            break;
        }
    }
    adapter->AdapterLock.Leave();
    return status;
}
