// The bridge's server end: frames in, Win32 calls on the stand-in, frames out.
#include "bridge_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

#include "ctlpan/bridge_protocol.h"

namespace tarnhost {

namespace {

// Reads a request's arguments; any read past the end marks the request malformed.
class ArgumentReader {
public:
    ArgumentReader(const uint8_t* data, size_t size) : data_(data), left_(size) {}
    bool Ok() const { return ok_; }
    bool Done() const { return ok_ && left_ == 0; }
    uint32_t U32() { return static_cast<uint32_t>(Integer(4)); }
    uint64_t U64() { return Integer(8); }
    // `size` raw bytes into `out`.
    void Bytes(void* out, size_t size)
    {
        if (!Take(size)) {
            std::memset(out, 0, size);
            return;
        }
        std::memcpy(out, data_ - size, size);
    }
    // A length-prefixed run of bytes.
    std::vector<uint8_t> Text()
    {
        const uint32_t size = U32();
        if (!Take(size)) {
            return {};
        }
        return std::vector<uint8_t>(data_ - size, data_);
    }

private:
    bool Take(size_t size)
    {
        if (!ok_ || size > left_) {
            ok_ = false;
            return false;
        }
        data_ += size;
        left_ -= size;
        return true;
    }
    uint64_t Integer(size_t bytes)
    {
        uint64_t value = 0;
        if (!Take(bytes)) {
            return 0;
        }
        for (size_t i = 0; i < bytes; ++i) {
            value |= static_cast<uint64_t>(data_[static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(bytes)]) << (8 * i);
        }
        return value;
    }

    const uint8_t* data_;
    size_t left_;
    bool ok_ = true;
};

void PutInteger(std::vector<uint8_t>* out, uint64_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) {
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void PutBytes(std::vector<uint8_t>* out, const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

uint64_t HandleValue(const void* handle)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

void* HandleFrom(uint64_t value)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(value));
}

bool SendAll(int socket, const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = send(socket, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

BridgeServer::BridgeServer(host::Win32System& system, std::string token) : system_(system), token_(std::move(token)) {}

BridgeServer::~BridgeServer()
{
    for (const Connection& connection : connections_) {
        close(connection.socket);
    }
    if (listener_ >= 0) {
        close(listener_);
    }
}

std::string BridgeServer::NewToken()
{
    std::random_device source;
    static const char Digits[] = "0123456789abcdef";
    std::string token;
    while (token.size() < bridge::TokenChars) {
        const unsigned value = source();
        for (int shift = 0; shift < 32 && token.size() < bridge::TokenChars; shift += 4) {
            token.push_back(Digits[(value >> shift) & 0xF]);
        }
    }
    return token;
}

uint16_t BridgeServer::Listen(uint16_t port)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof(address);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 8) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + reason);
    }
    return ntohs(address.sin_port);
}

void BridgeServer::PollOnce(int timeoutMs)
{
    std::vector<pollfd> watched;
    watched.push_back({listener_, POLLIN, 0});
    for (const Connection& connection : connections_) {
        watched.push_back({connection.socket, POLLIN, 0});
    }
    if (poll(watched.data(), watched.size(), timeoutMs) <= 0) {
        return;  // nothing ready, or a signal: the caller decides whether to go on
    }
    // Connections first, in the order they came; the ones that end are closed afterwards.
    std::vector<Connection> kept;
    for (size_t i = 0; i < connections_.size(); ++i) {
        Connection& connection = connections_[i];
        const short events = watched[i + 1].revents;
        if (events != 0 && !Receive(connection)) {
            close(connection.socket);
            continue;
        }
        kept.push_back(std::move(connection));
    }
    connections_ = std::move(kept);
    if ((watched[0].revents & POLLIN) != 0) {
        const int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted >= 0) {
            connections_.push_back({accepted, {}, false});
        }
    }
}

bool BridgeServer::Receive(Connection& connection)
{
    uint8_t chunk[4096];
    const ssize_t received = recv(connection.socket, chunk, sizeof(chunk), 0);
    if (received <= 0) {
        return received < 0 && errno == EINTR;
    }
    connection.received.insert(connection.received.end(), chunk, chunk + received);
    // Every complete frame, in order.
    size_t used = 0;
    while (connection.received.size() - used >= 4) {
        const uint8_t* frame = connection.received.data() + used;
        const uint32_t length = static_cast<uint32_t>(frame[0] | frame[1] << 8 | frame[2] << 16) |
                                static_cast<uint32_t>(frame[3]) << 24;
        if (length > bridge::MaxFrameBytes) {
            return false;
        }
        if (connection.received.size() - used - 4 < length) {
            break;
        }
        std::vector<uint8_t> reply;
        if (!Answer(connection, frame + 4, length, &reply)) {
            return false;
        }
        std::vector<uint8_t> framed;
        PutInteger(&framed, reply.size(), 4);
        framed.insert(framed.end(), reply.begin(), reply.end());
        if (!SendAll(connection.socket, framed.data(), framed.size())) {
            return false;
        }
        used += 4 + length;
    }
    connection.received.erase(connection.received.begin(), connection.received.begin() + static_cast<ptrdiff_t>(used));
    return true;
}

bool BridgeServer::Answer(Connection& connection, const uint8_t* request, size_t size, std::vector<uint8_t>* reply)
{
    using bridge::Operation;
    ArgumentReader in(request, size);
    const auto operation = static_cast<Operation>(in.U32());
    if (!connection.greeted) {
        const std::vector<uint8_t> token = in.Text();
        if (operation != Operation::Hello || !in.Done() || std::string(token.begin(), token.end()) != token_) {
            return false;
        }
        connection.greeted = true;
        PutInteger(reply, 1, 8);
        PutInteger(reply, 0, 4);
        return true;
    }

    uint64_t result = 0;
    std::vector<uint8_t> out;  // the out-arguments, after the result and the error
    host::SetLastError(0);
    switch (operation) {
    case Operation::GetClassDevs: {
        GUID interfaceClass;
        in.Bytes(&interfaceClass, sizeof(interfaceClass));
        const uint32_t flags = in.U32();
        if (!in.Done()) {
            return false;
        }
        result = HandleValue(system_.SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, flags));
        break;
    }
    case Operation::EnumInterfaces: {
        const uint64_t list = in.U64();
        GUID interfaceClass;
        in.Bytes(&interfaceClass, sizeof(interfaceClass));
        const uint32_t index = in.U32();
        if (!in.Done()) {
            return false;
        }
        host::SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        result = system_.SetupDiEnumDeviceInterfaces(HandleFrom(list), nullptr, &interfaceClass, index, &data);
        PutBytes(&out, &data, sizeof(data));
        break;
    }
    case Operation::GetInterfaceDetail: {
        const uint64_t list = in.U64();
        host::SP_DEVICE_INTERFACE_DATA data;
        in.Bytes(&data, sizeof(data));
        const uint32_t detailSize = in.U32();
        const uint32_t detailCbSize = in.U32();
        const uint32_t deviceCbSize = in.U32();
        if (!in.Done() || detailSize > bridge::MaxFrameBytes) {
            return false;
        }
        std::vector<uint64_t> detailStore((detailSize + 7) / 8 + 1, 0);  // aligned as the caller's would be
        auto* detail = reinterpret_cast<host::SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailStore.data());
        detail->cbSize = detailCbSize;
        host::SP_DEVINFO_DATA device = {};
        device.cbSize = deviceCbSize;
        DWORD required = 0;
        result = system_.SetupDiGetDeviceInterfaceDetailA(HandleFrom(list), &data, detailSize == 0 ? nullptr : detail,
                                                          detailSize, &required, deviceCbSize == 0 ? nullptr : &device);
        PutInteger(&out, required, 4);
        PutBytes(&out, detail, detailSize);
        if (deviceCbSize != 0) {
            PutBytes(&out, &device, sizeof(device));
        }
        break;
    }
    case Operation::DestroyInfoList: {
        const uint64_t list = in.U64();
        if (!in.Done()) {
            return false;
        }
        result = system_.SetupDiDestroyDeviceInfoList(HandleFrom(list));
        break;
    }
    case Operation::Open: {
        std::vector<uint8_t> path = in.Text();
        if (!in.Done()) {
            return false;
        }
        const std::string text(path.begin(), path.end());
        result = HandleValue(system_.CreateFileA(text.c_str(), host::GENERIC_READ | host::GENERIC_WRITE, 0, nullptr,
                                                 host::OPEN_EXISTING, 0, nullptr));
        break;
    }
    case Operation::Control: {
        const uint64_t handle = in.U64();
        const uint32_t code = in.U32();
        const uint32_t outputSize = in.U32();
        std::vector<uint8_t> input = in.Text();
        if (!in.Done() || outputSize > bridge::MaxFrameBytes) {
            return false;
        }
        std::vector<uint8_t> output(outputSize);
        DWORD returned = 0;
        result = system_.DeviceIoControl(HandleFrom(handle), code, input.empty() ? nullptr : input.data(),
                                         static_cast<DWORD>(input.size()), output.empty() ? nullptr : output.data(),
                                         outputSize, &returned, nullptr);
        PutInteger(&out, returned, 4);
        PutBytes(&out, output.data(), output.size());
        break;
    }
    case Operation::Close: {
        const uint64_t handle = in.U64();
        if (!in.Done()) {
            return false;
        }
        result = system_.CloseHandle(HandleFrom(handle));
        break;
    }
    case Operation::SetClassInstallParams: {
        const uint64_t list = in.U64();
        host::SP_DEVINFO_DATA device;
        in.Bytes(&device, sizeof(device));
        std::vector<uint8_t> params = in.Text();
        if (!in.Done()) {
            return false;
        }
        std::vector<uint64_t> aligned(params.size() / 8 + 1, 0);
        std::memcpy(aligned.data(), params.data(), params.size());
        result = system_.SetupDiSetClassInstallParamsA(
            HandleFrom(list), &device, params.empty() ? nullptr : reinterpret_cast<host::SP_CLASSINSTALL_HEADER*>(aligned.data()),
            static_cast<DWORD>(params.size()));
        break;
    }
    case Operation::CallClassInstaller: {
        const uint32_t function = in.U32();
        const uint64_t list = in.U64();
        host::SP_DEVINFO_DATA device;
        in.Bytes(&device, sizeof(device));
        if (!in.Done()) {
            return false;
        }
        result = system_.SetupDiCallClassInstaller(function, HandleFrom(list), &device);
        break;
    }
    case Operation::GetInstallParams: {
        const uint64_t list = in.U64();
        host::SP_DEVINFO_DATA device;
        in.Bytes(&device, sizeof(device));
        host::SP_DEVINSTALL_PARAMS_A params;
        in.Bytes(&params, sizeof(params));
        if (!in.Done()) {
            return false;
        }
        result = system_.SetupDiGetDeviceInstallParamsA(HandleFrom(list), &device, &params);
        PutBytes(&out, &params, sizeof(params));
        break;
    }
    default:
        return false;
    }
    PutInteger(reply, result, 8);
    PutInteger(reply, host::GetLastError(), 4);
    reply->insert(reply->end(), out.begin(), out.end());
    return true;
}

}  // namespace tarnhost
