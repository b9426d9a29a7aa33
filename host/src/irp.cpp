// The I/O manager's requests: IRPs with one stack location and a file object, built for a device
// and sent through its driver's MajorFunction table, and their completion.
#include <algorithm>
#include <cstring>
#include <memory>
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

NTSTATUS SendBufferedDeviceControl(PDEVICE_OBJECT deviceObject, PFILE_OBJECT fileObject, ULONG ioControlCode,
                                   const void* input, ULONG inputLength, void* output, ULONG outputLength,
                                   ULONG_PTR* bytesReturned)
{
    // Exactly as large as the I/O manager makes it, so that a driver reaching past it is caught.
    std::unique_ptr<uint8_t[]> systemBuffer;
    const ULONG systemBytes = std::max(inputLength, outputLength);
    if (systemBytes != 0) {
        systemBuffer.reset(new uint8_t[systemBytes]());
        if (inputLength != 0) {
            std::memcpy(systemBuffer.get(), input, inputLength);
        }
    }
    IoRequest request(IRP_MJ_DEVICE_CONTROL, 0, deviceObject);
    request.UseFileObject(fileObject);
    request.irp.AssociatedIrp.SystemBuffer = systemBuffer.get();
    request.irp.RequestorMode = UserMode;
    auto& control = request.stack.Parameters.DeviceIoControl;
    control.IoControlCode = ioControlCode;
    control.InputBufferLength = inputLength;
    control.OutputBufferLength = outputLength;
    NTSTATUS returned = request.Send(deviceObject);
    if (!request.completed) {
        ReportViolation("IRP_NOT_COMPLETED", "IoCallDriver",
                        "the driver returned " + std::to_string(returned) +
                            " without completing the request; the application would wait for it forever");
    }
    ULONG_PTR information = request.irp.IoStatus.Information;
    if (information > outputLength) {
        ReportViolation("BUFFERED_IO_OVERRUN", "IofCompleteRequest",
                        "a buffered request reported " + std::to_string(information) + " bytes for an output of " +
                            std::to_string(outputLength) + "; the I/O manager would copy past the caller's buffer");
        information = outputLength;
    }
    // Copied back unless the request failed with an error status (warnings still copy).
    const bool error = (static_cast<ULONG>(request.irp.IoStatus.Status) >> 30) == 3;
    if (information != 0 && !error) {
        std::memcpy(output, systemBuffer.get(), information);
    }
    *bytesReturned = request.irp.IoStatus.Information;
    return request.irp.IoStatus.Status;
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
