// The I/O manager's requests: IRPs with one stack location and a file object, built for a device
// and sent through its driver's MajorFunction table, and their completion.
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

std::mutex requestMutex;
std::unordered_map<PIRP, IoRequest*> liveRequests;      // guarded by requestMutex
std::unordered_map<PDEVICE_OBJECT, size_t> openFiles;  // guarded by requestMutex

}  // namespace

void NoteFileOpened(PDEVICE_OBJECT deviceObject)
{
    std::lock_guard<std::mutex> guard(requestMutex);
    ++openFiles[deviceObject];
}

void NoteFileClosed(PDEVICE_OBJECT deviceObject)
{
    std::lock_guard<std::mutex> guard(requestMutex);
    auto found = openFiles.find(deviceObject);
    if (found != openFiles.end() && --found->second == 0) {
        openFiles.erase(found);
    }
}

size_t OpenFileCount(PDEVICE_OBJECT deviceObject)
{
    std::lock_guard<std::mutex> guard(requestMutex);
    auto found = openFiles.find(deviceObject);
    return found == openFiles.end() ? 0 : found->second;
}

void ResetOpenFiles()
{
    std::lock_guard<std::mutex> guard(requestMutex);
    openFiles.clear();
}

IoRequest::IoRequest(UCHAR majorFunction, UCHAR minorFunction, PDEVICE_OBJECT deviceObject)
{
    std::memset(&irp, 0, sizeof(irp));
    std::memset(&stack, 0, sizeof(stack));
    std::memset(&file, 0, sizeof(file));
    irp.Size = sizeof(IRP);
    irp.StackCount = 1;
    irp.CurrentLocation = 1;
    irp.RequestorMode = KernelMode;
    // A request the driver does not answer keeps the status the I/O manager starts it with.
    irp.IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    stack.MajorFunction = majorFunction;
    stack.MinorFunction = minorFunction;
    stack.DeviceObject = deviceObject;
    file.Size = sizeof(FILE_OBJECT);
    file.DeviceObject = deviceObject;
    stack.FileObject = &file;
    irp.Tail.Overlay.OriginalFileObject = &file;
    std::lock_guard<std::mutex> guard(requestMutex);
    liveRequests[&irp] = this;
}

IoRequest::~IoRequest()
{
    std::lock_guard<std::mutex> guard(requestMutex);
    liveRequests.erase(&irp);
}

void IoRequest::UseFileObject(PFILE_OBJECT fileObject)
{
    stack.FileObject = fileObject;
    irp.Tail.Overlay.OriginalFileObject = fileObject;
}

NTSTATUS IoRequest::Send(PDEVICE_OBJECT deviceObject)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCallDriver", "the I/O manager sends these requests at PASSIVE_LEVEL");
    stack.DeviceObject = deviceObject;
    PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[stack.MajorFunction];
    DriverCall call("dispatch");
    return dispatch(deviceObject, &irp);
}

}  // namespace host

// Like IofCompleteRequest: the request is finished with the status in IoStatus. Completing a
// request twice is a bug check (MULTIPLE_IRP_COMPLETE_REQUESTS); above DISPATCH_LEVEL, a stop.
void IofCompleteRequest(PIRP irp, CCHAR priorityBoost)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest", "requests are completed at DISPATCH_LEVEL or below");
    host::IoRequest* request = nullptr;
    {
        std::lock_guard<std::mutex> guard(host::requestMutex);
        auto found = host::liveRequests.find(irp);
        if (found != host::liveRequests.end()) {
            request = found->second;
        }
    }
    if (request == nullptr) {
        return;
    }
    if (request->completed) {
        host::ReportViolation("MULTIPLE_IRP_COMPLETE_REQUESTS", "IofCompleteRequest",
                              "the request was already completed; a driver completes a request once");
        return;
    }
    request->completed = true;
    request->priorityBoost = priorityBoost;
}
