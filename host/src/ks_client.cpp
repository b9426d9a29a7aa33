// Client-side requests to filter and pin handles, built as an application's would be.
#include "host/ks_client.h"
#include "host/internal.h"

#include <cstring>

#include "host/port_wave_pci.h"

namespace host {

namespace {

template <typename Record>
void Append(std::vector<uint8_t>* bytes, const Record& record)
{
    const auto* begin = reinterpret_cast<const uint8_t*>(&record);
    bytes->insert(bytes->end(), begin, begin + sizeof(record));
}

template <typename Handle>
PropertyReply Send(Handle* handle, const std::vector<uint8_t>& input, ULONG valueSize)
{
    PropertyReply reply;
    reply.value.resize(valueSize);
    KsPropertyBuffers buffers;
    buffers.input = input.data();
    buffers.inputSize = static_cast<ULONG>(input.size());
    buffers.output = valueSize != 0 ? reply.value.data() : nullptr;
    buffers.outputSize = valueSize;
    reply.status = handle->Property(buffers, &reply.bytes);
    if (NT_SUCCESS(reply.status)) {
        reply.value.resize(reply.bytes);
    }
    return reply;
}

}  // namespace

std::vector<uint8_t> PinConnectRequest(ULONG pinId, const KSDATAFORMAT* dataFormat)
{
    KSPIN_CONNECT connect = {};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.Priority.PriorityClass = 0x00000002;  // KSPRIORITY_NORMAL
    connect.Priority.PrioritySubClass = 1;
    std::vector<uint8_t> request;
    Append(&request, connect);
    const auto* format = reinterpret_cast<const uint8_t*>(dataFormat);
    request.insert(request.end(), format, format + dataFormat->FormatSize);
    return request;
}

std::vector<uint8_t> PropertyInput(const GUID& set, ULONG id, ULONG flags)
{
    KSPROPERTY property = {};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    std::vector<uint8_t> input;
    Append(&input, property);
    return input;
}

std::vector<uint8_t> PinPropertyInput(ULONG id, ULONG pinId, const std::vector<uint8_t>& extra)
{
    KSP_PIN property = {};
    property.Property.Set = KSPROPSETID_Pin;
    property.Property.Id = id;
    property.Property.Flags = KSPROPERTY_TYPE_GET;
    property.PinId = pinId;
    std::vector<uint8_t> input;
    Append(&input, property);
    input.insert(input.end(), extra.begin(), extra.end());
    return input;
}

std::vector<uint8_t> NodePropertyInput(const GUID& set, ULONG id, ULONG flags, ULONG nodeId,
                                       const std::vector<uint8_t>& extra)
{
    KSP_NODE property = {};
    property.Property.Set = set;
    property.Property.Id = id;
    property.Property.Flags = flags | KSPROPERTY_TYPE_TOPOLOGY;
    property.NodeId = nodeId;
    std::vector<uint8_t> input;
    Append(&input, property);
    input.insert(input.end(), extra.begin(), extra.end());
    return input;
}

PropertyReply SendProperty(KsFilter* filter, const std::vector<uint8_t>& input, ULONG valueSize)
{
    return Send(filter, input, valueSize);
}

PropertyReply SendProperty(WavePciPin* pin, const std::vector<uint8_t>& input, ULONG valueSize)
{
    return Send(pin, input, valueSize);
}

PropertyReply SendProperty(KsHandle* handle, const std::vector<uint8_t>& input, ULONG valueSize)
{
    return Send(handle, input, valueSize);
}

PropertyReply SetProperty(KsHandle* handle, const std::vector<uint8_t>& input, const std::vector<uint8_t>& value)
{
    PropertyReply reply;
    reply.value = value;
    KsPropertyBuffers buffers;
    buffers.input = input.data();
    buffers.inputSize = static_cast<ULONG>(input.size());
    buffers.output = reply.value.empty() ? nullptr : reply.value.data();
    buffers.outputSize = static_cast<ULONG>(reply.value.size());
    reply.status = handle->Property(buffers, &reply.bytes);
    return reply;
}

template <typename Handle>
PropertyReply QuerySized(Handle* handle, const std::vector<uint8_t>& input)
{
    PropertyReply size = Send(handle, input, 0);
    if (size.status != STATUS_BUFFER_OVERFLOW) {
        return size;
    }
    return Send(handle, input, size.bytes);
}

PropertyReply QueryProperty(KsFilter* filter, const std::vector<uint8_t>& input)
{
    return QuerySized(filter, input);
}

PropertyReply QueryProperty(KsHandle* handle, const std::vector<uint8_t>& input)
{
    return QuerySized(handle, input);
}

KsHandle::KsHandle(PDEVICE_OBJECT device, PFILE_OBJECT related, std::vector<WCHAR> name)
    : device_(device), name_(std::move(name))
{
    std::memset(&file_, 0, sizeof(file_));
    file_.Size = sizeof(FILE_OBJECT);
    file_.DeviceObject = device;
    file_.RelatedFileObject = related;
    file_.FileName.Buffer = name_.data();
    file_.FileName.Length = static_cast<USHORT>(name_.size() * sizeof(WCHAR));
    file_.FileName.MaximumLength = file_.FileName.Length;
}

KsHandle::~KsHandle()
{
    Close();
}

void KsHandle::MarkOpen()
{
    open_ = true;
    NoteFileOpened(device_);
}

NTSTATUS KsHandle::Send(UCHAR majorFunction, ULONG_PTR* information, const std::function<void(IoRequest&)>& fill)
{
    IoRequest request(majorFunction, 0, device_);
    request.UseFileObject(&file_);
    if (fill) {
        fill(request);
    }
    NTSTATUS returned = request.Send(device_);
    if (!request.completed) {
        ReportViolation("IRP_NOT_COMPLETED", "IoCallDriver",
                        "the driver returned " + std::to_string(returned) +
                            " without completing the request; the application would wait for it forever");
    }
    if (information != nullptr) {
        *information = request.irp.IoStatus.Information;
    }
    return request.irp.IoStatus.Status;
}

NTSTATUS KsHandle::OpenFilter(PDEVICE_OBJECT device, const std::u16string& referenceString,
                              std::unique_ptr<KsHandle>* handle)
{
    handle->reset();
    std::vector<WCHAR> name(1, u'\\');
    name.insert(name.end(), referenceString.begin(), referenceString.end());
    std::unique_ptr<KsHandle> filter(new KsHandle(device, nullptr, std::move(name)));
    NTSTATUS status = filter->Send(IRP_MJ_CREATE);
    if (status == STATUS_SUCCESS) {
        filter->MarkOpen();
        *handle = std::move(filter);
    }
    return status;
}

NTSTATUS KsHandle::OpenPin(ULONG pinId, const KSDATAFORMAT* dataFormat, std::unique_ptr<KsHandle>* pin)
{
    pin->reset();
    if (dataFormat == nullptr || dataFormat->FormatSize < sizeof(KSDATAFORMAT)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string prefix = std::u16string(KSSTRING_Pin) + u"\\";
    std::vector<uint8_t> connect = PinConnectRequest(pinId, dataFormat);
    std::vector<WCHAR> name(prefix.begin(), prefix.end());
    const size_t tail = name.size();
    name.resize(tail + (connect.size() + 1) / sizeof(WCHAR), 0);
    std::memcpy(name.data() + tail, connect.data(), connect.size());
    if (name.size() * sizeof(WCHAR) > 0xFFFE) {
        return STATUS_OBJECT_NAME_INVALID;  // longer than a UNICODE_STRING holds
    }
    std::unique_ptr<KsHandle> created(new KsHandle(device_, &file_, std::move(name)));
    NTSTATUS status = created->Send(IRP_MJ_CREATE);
    if (status == STATUS_SUCCESS) {
        created->MarkOpen();
        *pin = std::move(created);
    }
    return status;
}

NTSTATUS KsHandle::Close()
{
    if (!open_) {
        return STATUS_INVALID_HANDLE;
    }
    open_ = false;
    NoteFileClosed(device_);
    Send(IRP_MJ_CLEANUP);
    return Send(IRP_MJ_CLOSE);
}

NTSTATUS KsHandle::DeviceControl(ULONG ioControlCode, const KsPropertyBuffers& buffers, ULONG* bytesReturned)
{
    ULONG_PTR information = 0;
    NTSTATUS status = Send(IRP_MJ_DEVICE_CONTROL, &information, [&](IoRequest& request) {
        auto& control = request.stack.Parameters.DeviceIoControl;
        control.IoControlCode = ioControlCode;
        control.Type3InputBuffer = const_cast<void*>(buffers.input);
        control.InputBufferLength = buffers.inputSize;
        control.OutputBufferLength = buffers.outputSize;
        request.irp.UserBuffer = buffers.output;
    });
    *bytesReturned = static_cast<ULONG>(information);
    return status;
}

KsFilter* KsHandle::Filter() const
{
    const auto* context = static_cast<const KsFileContext*>(file_.FsContext);
    return context == nullptr ? nullptr : context->filter;
}

WavePciPin* KsHandle::Pin() const
{
    const auto* context = static_cast<const KsFileContext*>(file_.FsContext);
    return context == nullptr ? nullptr : context->pin;
}

KSDATARANGE_AUDIO PcmDataRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate)
{
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = maxChannels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

NTSTATUS ProposeFormat(KsFilter* filter, ULONG pinId, const std::vector<std::vector<uint8_t>>& ranges,
                       std::vector<uint8_t>* format)
{
    format->clear();
    std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM));
    for (const std::vector<uint8_t>& range : ranges) {
        list.resize((list.size() + 7) & ~size_t{7});
        list.insert(list.end(), range.begin(), range.end());
    }
    const KSMULTIPLE_ITEM header = {static_cast<ULONG>(list.size()), static_cast<ULONG>(ranges.size())};
    std::memcpy(list.data(), &header, sizeof(header));
    PropertyReply reply = QueryProperty(filter, PinPropertyInput(KSPROPERTY_PIN_DATAINTERSECTION, pinId, list));
    if (NT_SUCCESS(reply.status)) {
        *format = std::move(reply.value);
    }
    return reply.status;
}

}  // namespace host
