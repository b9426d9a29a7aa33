// What an application or the audio engine sends a filter or pin handle: create requests for
// pins, property requests, and the data intersection that proposes a format for a data range.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <functional>

#include "host/harness.h"
#include "host/port_filter.h"

namespace host {

class WavePciPin;

// The create request of a pin: a KSPIN_CONNECT (standard streaming interface and medium, no
// peer, normal priority) followed by the format's FormatSize bytes.
std::vector<uint8_t> PinConnectRequest(ULONG pinId, const KSDATAFORMAT* dataFormat);

// A property request's input: KSPROPERTY, then the pin or node id when given, then `extra`.
std::vector<uint8_t> PropertyInput(const GUID& set, ULONG id, ULONG flags = KSPROPERTY_TYPE_GET);
std::vector<uint8_t> PinPropertyInput(ULONG id, ULONG pinId, const std::vector<uint8_t>& extra = {});
std::vector<uint8_t> NodePropertyInput(const GUID& set, ULONG id, ULONG flags, ULONG nodeId,
                                       const std::vector<uint8_t>& extra = {});

struct PropertyReply {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG bytes = 0;             // the request's byte count
    std::vector<uint8_t> value;  // the value buffer, `bytes` long on success
};

// One request with a value buffer of `valueSize` bytes.
PropertyReply SendProperty(KsFilter* filter, const std::vector<uint8_t>& input, ULONG valueSize);
PropertyReply SendProperty(WavePciPin* pin, const std::vector<uint8_t>& input, ULONG valueSize);
// As clients of variable-sized values do: an empty buffer for the size, then one of that size.
PropertyReply QueryProperty(KsFilter* filter, const std::vector<uint8_t>& input);

// A filter or pin handle opened through the I/O manager, as an application's CreateFile on the
// filter's interface (the interface path resolves to the device and the reference string) or
// KsCreatePin on a filter handle opens it. Each request is an IRP sent through the driver's
// MajorFunction table with the handle's file object, and its result is the IoStatus the request
// was completed with:
// - a filter: IRP_MJ_CREATE to the device, FileName the reference string ("\wave1");
// - a pin: IRP_MJ_CREATE with RelatedFileObject the filter's file object and, as KS carries the
//   connection, FileName KSSTRING_Pin "\" followed by the KSPIN_CONNECT and the KSDATAFORMAT
//   (padded to whole characters; the format's FormatSize says how much is format);
// - property requests: IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY (METHOD_NEITHER);
// - close: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE (the destructor closes a handle still open). A pin
//   handle may outlive its filter handle: the pin holds its filter.
// A request the driver returns from without completing would leave the application waiting:
// reported as IRP_NOT_COMPLETED. Handles are PASSIVE_LEVEL objects of one client thread.
class KsHandle {
public:
    static NTSTATUS OpenFilter(PDEVICE_OBJECT device, const std::u16string& referenceString,
                               std::unique_ptr<KsHandle>* handle);
    // A pin on this filter handle with the format (FormatSize bytes).
    NTSTATUS OpenPin(ULONG pinId, const KSDATAFORMAT* dataFormat, std::unique_ptr<KsHandle>* pin);
    ~KsHandle();
    KsHandle(const KsHandle&) = delete;
    KsHandle& operator=(const KsHandle&) = delete;

    // Cleanup, then close: the close's status. STATUS_INVALID_HANDLE once closed.
    NTSTATUS Close();
    // IRP_MJ_DEVICE_CONTROL with a METHOD_NEITHER code and these buffers; the byte count is the
    // request's Information.
    NTSTATUS DeviceControl(ULONG ioControlCode, const KsPropertyBuffers& buffers, ULONG* bytesReturned);
    NTSTATUS Property(const KsPropertyBuffers& buffers, ULONG* bytesReturned)
    {
        return DeviceControl(IOCTL_KS_PROPERTY, buffers, bytesReturned);
    }
    // The port's objects the class driver keeps in the file object; null once closed.
    KsFilter* Filter() const;
    WavePciPin* Pin() const;
    PFILE_OBJECT FileObject() { return &file_; }

private:
    KsHandle(PDEVICE_OBJECT device, PFILE_OBJECT related, std::vector<WCHAR> name);
    void MarkOpen();  // the create succeeded: the I/O manager counts the file object
    // One request on the handle's file object; the status it completed with.
    NTSTATUS Send(UCHAR majorFunction, ULONG_PTR* information = nullptr,
                  const std::function<void(IoRequest&)>& fill = nullptr);

    PDEVICE_OBJECT device_;
    FILE_OBJECT file_;
    std::vector<WCHAR> name_;  // file_.FileName's characters
    bool open_ = false;
};

PropertyReply SendProperty(KsHandle* handle, const std::vector<uint8_t>& input, ULONG valueSize);
// A SET request whose value buffer holds `value`.
PropertyReply SetProperty(KsHandle* handle, const std::vector<uint8_t>& input, const std::vector<uint8_t>& value);
PropertyReply QueryProperty(KsHandle* handle, const std::vector<uint8_t>& input);

// The audio range a client proposes with.
KSDATARANGE_AUDIO PcmDataRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate);
// KSPROPERTY_PIN_DATAINTERSECTION with the client's ranges in order (each FormatSize bytes): the
// format the filter proposes for the pin, asked for by size first, as the audio engine does.
NTSTATUS ProposeFormat(KsFilter* filter, ULONG pinId, const std::vector<std::vector<uint8_t>>& ranges,
                       std::vector<uint8_t>* format);

}  // namespace host
