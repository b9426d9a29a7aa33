// The device seam of tarnpanel-bridge.exe: each call goes over a loopback TCP connection to
// `tarnhost serve`, which makes the same call on the driver running in the stand-in and sends
// back its result, its last error and what it wrote. The server's address comes from the
// environment ("TARN_BRIDGE=PORT:TOKEN", as the server prints it). Without it, or when the
// server cannot be reached, the calls fail as if no device of the class were present.
//
// The panel has no C run-time library and one thread: frames are built in static buffers.
#include <winsock2.h>

#include "device_calls.h"

#include "bridge_protocol.h"

namespace {

SOCKET connection = INVALID_SOCKET;
unsigned char frame[bridge::MaxFrameBytes + 4];
unsigned char replyFrame[bridge::MaxFrameBytes];

// A request being built in `frame`, after its 4-byte length.
class Request {
public:
    explicit Request(bridge::Operation operation) { U32(static_cast<DWORD>(operation)); }
    void U32(DWORD value) { Integer(value, 4); }
    void U64(ULONG_PTR value) { Integer(value, 8); }
    void Bytes(const void* data, DWORD size)
    {
        if (!Room(size)) {
            return;
        }
        CopyMemory(frame + 4 + used_, data, size);
        used_ += size;
    }
    void Text(const void* data, DWORD size)
    {
        U32(size);
        Bytes(data, size);
    }
    bool Ok() const { return ok_; }
    DWORD Size() const { return used_; }

private:
    bool Room(DWORD size)
    {
        ok_ = ok_ && size <= bridge::MaxFrameBytes - used_;
        return ok_;
    }
    void Integer(unsigned long long value, DWORD bytes)
    {
        if (!Room(bytes)) {
            return;
        }
        for (DWORD i = 0; i < bytes; ++i) {
            frame[4 + used_ + i] = static_cast<unsigned char>(value >> (8 * i));
        }
        used_ += bytes;
    }

    DWORD used_ = 0;
    bool ok_ = true;
};

// A reply: the call's result and last error, then its out-arguments read in order.
struct Reply {
    unsigned long long result = 0;
    DWORD error = ERROR_NOT_CONNECTED;
    DWORD size = 0;  // of the out-arguments
    DWORD read = 0;
    bool received = false;

    const unsigned char* Take(DWORD bytes)
    {
        if (bytes > size - read) {
            return nullptr;
        }
        const unsigned char* at = replyFrame + 12 + read;
        read += bytes;
        return at;
    }
    DWORD U32()
    {
        const unsigned char* at = Take(4);
        return at == nullptr ? 0 : static_cast<DWORD>(at[0] | at[1] << 8 | at[2] << 16 | static_cast<DWORD>(at[3]) << 24);
    }
    void Bytes(void* out, DWORD bytes)
    {
        const unsigned char* at = Take(bytes);
        if (at != nullptr && out != nullptr) {
            CopyMemory(out, at, bytes);
        }
    }
};

bool SendAll(const unsigned char* data, int size)
{
    while (size > 0) {
        const int sent = send(connection, reinterpret_cast<const char*>(data), size, 0);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= sent;
    }
    return true;
}

bool ReceiveAll(unsigned char* data, DWORD size)
{
    while (size > 0) {
        const int received = recv(connection, reinterpret_cast<char*>(data), static_cast<int>(size), 0);
        if (received <= 0) {
            return false;
        }
        data += received;
        size -= static_cast<DWORD>(received);
    }
    return true;
}

DWORD ReadLittle32(const unsigned char* at)
{
    return static_cast<DWORD>(at[0] | at[1] << 8 | at[2] << 16 | static_cast<DWORD>(at[3]) << 24);
}

void Disconnect()
{
    if (connection != INVALID_SOCKET) {
        closesocket(connection);
        connection = INVALID_SOCKET;
    }
}

// Sends one frame and reads its reply; false when the connection failed (it is then closed).
bool Exchange(DWORD size, Reply* reply)
{
    for (DWORD i = 0; i < 4; ++i) {
        frame[i] = static_cast<unsigned char>(size >> (8 * i));
    }
    unsigned char header[4];
    if (!SendAll(frame, static_cast<int>(size + 4)) || !ReceiveAll(header, 4)) {
        Disconnect();
        return false;
    }
    const DWORD length = ReadLittle32(header);
    if (length < 12 || length > bridge::MaxFrameBytes || !ReceiveAll(replyFrame, length)) {
        Disconnect();
        return false;
    }
    reply->result = ReadLittle32(replyFrame) | static_cast<unsigned long long>(ReadLittle32(replyFrame + 4)) << 32;
    reply->error = ReadLittle32(replyFrame + 8);
    reply->size = length - 12;
    reply->received = true;
    return true;
}

// Connects and presents the token, once; later calls reuse the connection.
bool Connect()
{
    if (connection != INVALID_SOCKET) {
        return true;
    }
    char setting[64];
    const DWORD length = GetEnvironmentVariableA(bridge::EnvironmentVariable, setting, sizeof(setting));
    if (length == 0 || length >= sizeof(setting)) {
        return false;
    }
    DWORD port = 0;
    DWORD at = 0;
    for (; at < length && setting[at] >= '0' && setting[at] <= '9' && port <= 65535; ++at) {
        port = port * 10 + static_cast<DWORD>(setting[at] - '0');
    }
    if (at == 0 || at >= length || setting[at] != ':' || port == 0 || port > 65535) {
        return false;
    }
    const char* token = setting + at + 1;
    const DWORD tokenLength = length - at - 1;

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return false;
    }
    connection = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address;
    ZeroMemory(&address, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connection == INVALID_SOCKET ||
        connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        Disconnect();
        return false;
    }
    Request hello(bridge::Operation::Hello);
    hello.Text(token, tokenLength);
    Reply reply;
    return hello.Ok() && Exchange(hello.Size(), &reply) && reply.result == 1;
}

// Sends `request`; the reply, or one that carries ERROR_NOT_CONNECTED when there was none.
Reply Call(const Request& request)
{
    Reply reply;
    if (!request.Ok() || !Connect() || !Exchange(request.Size(), &reply)) {
        reply = Reply();
    }
    return reply;
}

// Ends a call: the last error as the server's call left it, and the result.
unsigned long long Finish(const Reply& reply)
{
    SetLastError(reply.error);
    return reply.received ? reply.result : 0;
}

HANDLE HandleFrom(const Reply& reply)
{
    SetLastError(reply.error);
    return reply.received ? reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(reply.result)) : INVALID_HANDLE_VALUE;
}

}  // namespace

HDEVINFO DeviceGetClassDevs(const GUID* classGuid, DWORD flags)
{
    Request request(bridge::Operation::GetClassDevs);
    request.Bytes(classGuid, sizeof(GUID));
    request.U32(flags);
    return HandleFrom(Call(request));
}

BOOL DeviceEnumInterfaces(HDEVINFO list, const GUID* classGuid, DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData)
{
    Request request(bridge::Operation::EnumInterfaces);
    request.U64(reinterpret_cast<ULONG_PTR>(list));
    request.Bytes(classGuid, sizeof(GUID));
    request.U32(index);
    Reply reply = Call(request);
    reply.Bytes(interfaceData, bridge::InterfaceDataBytes);
    return static_cast<BOOL>(Finish(reply));
}

BOOL DeviceGetInterfaceDetail(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interfaceData,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize,
                              SP_DEVINFO_DATA* device)
{
    Request request(bridge::Operation::GetInterfaceDetail);
    request.U64(reinterpret_cast<ULONG_PTR>(list));
    request.Bytes(interfaceData, bridge::InterfaceDataBytes);
    request.U32(detail == nullptr ? 0 : detailSize);
    request.U32(detail == nullptr ? 0 : detail->cbSize);
    request.U32(device == nullptr ? 0 : device->cbSize);
    Reply reply = Call(request);
    const DWORD required = reply.U32();
    if (requiredSize != nullptr) {
        *requiredSize = required;
    }
    reply.Bytes(detail, detail == nullptr ? 0 : detailSize);
    if (device != nullptr) {
        reply.Bytes(device, bridge::DevInfoDataBytes);
    }
    return static_cast<BOOL>(Finish(reply));
}

BOOL DeviceDestroyInfoList(HDEVINFO list)
{
    Request request(bridge::Operation::DestroyInfoList);
    request.U64(reinterpret_cast<ULONG_PTR>(list));
    return static_cast<BOOL>(Finish(Call(request)));
}

HANDLE DeviceOpen(const char* path)
{
    Request request(bridge::Operation::Open);
    request.Text(path, lstrlenA(path));
    return HandleFrom(Call(request));
}

BOOL DeviceControl(HANDLE handle, DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize,
                   DWORD* bytesReturned)
{
    Request request(bridge::Operation::Control);
    request.U64(reinterpret_cast<ULONG_PTR>(handle));
    request.U32(code);
    request.U32(output == nullptr ? 0 : outputSize);
    request.Text(input, input == nullptr ? 0 : inputSize);
    Reply reply = Call(request);
    const DWORD returned = reply.U32();
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    // Only what the driver returned reaches the caller's buffer, as with the real call.
    const DWORD kept = returned <= outputSize ? returned : outputSize;
    if (output != nullptr && kept != 0) {
        const unsigned char* at = reply.Take(outputSize);
        if (at != nullptr) {
            CopyMemory(output, at, kept);
        }
    }
    return static_cast<BOOL>(Finish(reply));
}

BOOL DeviceClose(HANDLE handle)
{
    Request request(bridge::Operation::Close);
    request.U64(reinterpret_cast<ULONG_PTR>(handle));
    return static_cast<BOOL>(Finish(Call(request)));
}

BOOL DeviceSetClassInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device, SP_CLASSINSTALL_HEADER* params,
                                 DWORD paramsSize)
{
    Request request(bridge::Operation::SetClassInstallParams);
    request.U64(reinterpret_cast<ULONG_PTR>(list));
    request.Bytes(device, bridge::DevInfoDataBytes);
    request.Text(params, params == nullptr ? 0 : paramsSize);
    return static_cast<BOOL>(Finish(Call(request)));
}

BOOL DeviceCallClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device)
{
    Request request(bridge::Operation::CallClassInstaller);
    request.U32(function);
    request.U64(reinterpret_cast<ULONG_PTR>(list));
    request.Bytes(device, bridge::DevInfoDataBytes);
    return static_cast<BOOL>(Finish(Call(request)));
}

BOOL DeviceGetInstallParams(HDEVINFO list, SP_DEVINFO_DATA* device, SP_DEVINSTALL_PARAMS_A* params)
{
    Request request(bridge::Operation::GetInstallParams);
    request.U64(reinterpret_cast<ULONG_PTR>(list));
    request.Bytes(device, bridge::DevInfoDataBytes);
    request.Bytes(params, bridge::InstallParamsBytes);
    Reply reply = Call(request);
    reply.Bytes(params, bridge::InstallParamsBytes);
    return static_cast<BOOL>(Finish(reply));
}
