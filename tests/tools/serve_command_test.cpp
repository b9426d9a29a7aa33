// tarnhost serve end to end: the panel's device calls over the loopback bridge reach the started
// driver; a connection without the token, or one that breaks the protocol, is closed alone; the
// server stops on SIGTERM and saves the registry.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>

#include "ctlpan/bridge_protocol.h"
#include "host/harness.h"
#include "host/win32_device.h"
#include "shared/control_protocol.h"
#include "tool_runner.h"

using tool_test::ScratchDirectory;

namespace {

using bridge::Operation;

// The server as a child process, its first stdout line read.
class Server {
public:
    explicit Server(const std::string& registryFile)
    {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            const std::string program = std::string(TARN_TOOLS_DIR) + "/tarnhost";
            execl(program.c_str(), program.c_str(), "serve", "--registry", registryFile.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        output_ = fdopen(out[0], "r");
        char line[128] = {};
        if (fgets(line, sizeof(line), output_) != nullptr) {
            const std::string text(line);
            const size_t equals = text.find('='), colon = text.find(':');
            if (text.rfind(bridge::EnvironmentVariable, 0) == 0 && colon != std::string::npos) {
                port = static_cast<uint16_t>(std::stoi(text.substr(equals + 1, colon - equals - 1)));
                token = text.substr(colon + 1, bridge::TokenChars);
            }
        }
    }
    ~Server()
    {
        if (pid_ > 0) {
            Stop();
        }
    }
    // SIGTERM, then the exit status.
    int Stop()
    {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        fclose(output_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    uint16_t port = 0;
    std::string token;

private:
    pid_t pid_ = -1;
    FILE* output_ = nullptr;
};

// One connection speaking the bridge's frames.
class Connection {
public:
    explicit Connection(uint16_t port)
    {
        socket_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        EXPECT_EQ(connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    }
    ~Connection() { close(socket_); }

    struct Reply {
        bool received = false;  // false: the server closed the connection
        uint64_t result = 0;
        uint32_t error = 0;
        std::vector<uint8_t> out;
    };
    // Sends `bytes` as one frame (or with another length in its header) and reads the reply.
    Reply Call(const std::vector<uint8_t>& bytes, uint32_t declaredLength = UINT32_MAX)
    {
        std::vector<uint8_t> frame;
        Put(&frame, declaredLength == UINT32_MAX ? bytes.size() : declaredLength, 4);
        frame.insert(frame.end(), bytes.begin(), bytes.end());
        send(socket_, frame.data(), frame.size(), MSG_NOSIGNAL);
        Reply reply;
        std::vector<uint8_t> header = Receive(4);
        if (header.size() < 4) {
            return reply;
        }
        std::vector<uint8_t> body = Receive(header[0] | header[1] << 8 | header[2] << 16 | uint32_t(header[3]) << 24);
        if (body.size() < 12) {
            return reply;
        }
        reply.received = true;
        std::memcpy(&reply.result, body.data(), 8);
        std::memcpy(&reply.error, body.data() + 8, 4);
        reply.out.assign(body.begin() + 12, body.end());
        return reply;
    }

    static void Put(std::vector<uint8_t>* out, uint64_t value, size_t bytes)
    {
        for (size_t i = 0; i < bytes; ++i) {
            out->push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }
    static void PutText(std::vector<uint8_t>* out, const std::string& text)
    {
        Put(out, text.size(), 4);
        out->insert(out->end(), text.begin(), text.end());
    }
    static std::vector<uint8_t> Request(Operation operation)
    {
        std::vector<uint8_t> bytes;
        Put(&bytes, static_cast<uint32_t>(operation), 4);
        return bytes;
    }
    static void PutBytes(std::vector<uint8_t>* out, const void* data, size_t size)
    {
        out->insert(out->end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    }

    Reply Hello(const std::string& token)
    {
        std::vector<uint8_t> bytes = Request(Operation::Hello);
        PutText(&bytes, token);
        return Call(bytes);
    }

private:
    std::vector<uint8_t> Receive(size_t size)
    {
        std::vector<uint8_t> bytes(size);
        size_t got = 0;
        while (got < size) {
            const ssize_t n = recv(socket_, bytes.data() + got, size - got, 0);
            if (n <= 0) {
                bytes.resize(got);
                return bytes;
            }
            got += static_cast<size_t>(n);
        }
        return bytes;
    }

    int socket_ = -1;
};

}  // namespace

TEST(ServeCommand, ThePanelsCallsReachTheDriverAndOnlyBrokenConnectionsAreClosed)
{
    ScratchDirectory scratch;
    Server server(scratch.File("tarn.reg"));
    ASSERT_NE(server.port, 0) << "no TARN_BRIDGE line";
    ASSERT_EQ(server.token.size(), bridge::TokenChars);

    // Without the token first, a connection is closed.
    for (const std::string& presented : {std::string("0123456789abcdef0123456789abcdef"), server.token + "x"}) {
        Connection stranger(server.port);
        EXPECT_FALSE(stranger.Hello(presented).received);
    }
    Connection first(server.port);
    EXPECT_FALSE(first.Call(Connection::Request(Operation::GetClassDevs)).received) << "no hello first";

    Connection panel(server.port);
    ASSERT_TRUE(panel.Hello(server.token).received);
    std::vector<uint8_t> classDevs = Connection::Request(Operation::GetClassDevs);
    Connection::PutBytes(&classDevs, &GUID_CONTROL_INTERFACE_CLASS, sizeof(GUID));
    Connection::Put(&classDevs, host::DIGCF_PRESENT | host::DIGCF_DEVICEINTERFACE, 4);
    Connection::Reply list = panel.Call(classDevs);
    ASSERT_TRUE(list.received);
    ASSERT_NE(list.result, UINT64_MAX);

    auto enumerate = [&](uint32_t index) {
        std::vector<uint8_t> bytes = Connection::Request(Operation::EnumInterfaces);
        Connection::Put(&bytes, list.result, 8);
        Connection::PutBytes(&bytes, &GUID_CONTROL_INTERFACE_CLASS, sizeof(GUID));
        Connection::Put(&bytes, index, 4);
        return panel.Call(bytes);
    };
    Connection::Reply second = enumerate(1);
    EXPECT_EQ(second.result, 0u);
    EXPECT_EQ(second.error, host::ERROR_NO_MORE_ITEMS);
    Connection::Reply interface = enumerate(0);
    ASSERT_EQ(interface.result, 1u);
    ASSERT_EQ(interface.out.size(), bridge::InterfaceDataBytes);

    auto detail = [&](uint32_t size) {
        std::vector<uint8_t> bytes = Connection::Request(Operation::GetInterfaceDetail);
        Connection::Put(&bytes, list.result, 8);
        bytes.insert(bytes.end(), interface.out.begin(), interface.out.end());
        Connection::Put(&bytes, size, 4);
        Connection::Put(&bytes, 8, 4);  // the detail's cbSize on x64
        Connection::Put(&bytes, 0, 4);  // no device data
        return panel.Call(bytes);
    };
    Connection::Reply sizeQuery = detail(0);
    EXPECT_EQ(sizeQuery.result, 0u);
    EXPECT_EQ(sizeQuery.error, host::ERROR_INSUFFICIENT_BUFFER);
    uint32_t required = 0;
    ASSERT_GE(sizeQuery.out.size(), 4u);
    std::memcpy(&required, sizeQuery.out.data(), 4);
    Connection::Reply path = detail(required);
    ASSERT_EQ(path.result, 1u);
    const std::string devicePath(reinterpret_cast<const char*>(path.out.data() + 4 + 4));
    EXPECT_EQ(devicePath.rfind("\\\\?\\", 0), 0u) << devicePath;

    // A request that breaks the protocol ends its own connection only.
    {
        Connection broken(server.port);
        ASSERT_TRUE(broken.Hello(server.token).received);
        EXPECT_FALSE(broken.Call(Connection::Request(static_cast<Operation>(99))).received) << "unknown operation";
        Connection oversized(server.port);
        ASSERT_TRUE(oversized.Hello(server.token).received);
        EXPECT_FALSE(oversized.Call({1, 2, 3}, bridge::MaxFrameBytes + 1).received);
        Connection truncated(server.port);
        ASSERT_TRUE(truncated.Hello(server.token).received);
        EXPECT_FALSE(truncated.Call(Connection::Request(Operation::Close)).received) << "no handle argument";
    }

    std::vector<uint8_t> open = Connection::Request(Operation::Open);
    Connection::PutText(&open, devicePath + "\\" + CONTROL_REFERENCE_STRING);
    Connection::Reply handle = panel.Call(open);
    ASSERT_TRUE(handle.received);
    ASSERT_EQ(handle.error, 0u);
    std::vector<uint8_t> control = Connection::Request(Operation::Control);
    Connection::Put(&control, handle.result, 8);
    Connection::Put(&control, IOCTL_GET_DRIVER_INFO, 4);
    Connection::Put(&control, sizeof(DriverInfo), 4);
    Connection::Put(&control, 4, 4);
    Connection::Put(&control, CONTROL_INTERFACE_VERSION, 4);
    Connection::Reply info = panel.Call(control);
    ASSERT_EQ(info.result, 1u) << "error " << info.error;
    ASSERT_EQ(info.out.size(), 4 + sizeof(DriverInfo));
    DriverInfo reply;
    std::memcpy(&reply, info.out.data() + 4, sizeof(reply));
    EXPECT_EQ(reply.NumberOfCables, 8u);
    EXPECT_EQ(reply.OpenHandles, 1u) << "the panel's own handle";
    std::vector<uint8_t> closing = Connection::Request(Operation::Close);
    Connection::Put(&closing, handle.result, 8);
    EXPECT_EQ(panel.Call(closing).result, 1u);

    EXPECT_EQ(server.Stop(), 0);
    std::ifstream saved(scratch.File("tarn.reg"));
    EXPECT_TRUE(saved.good()) << "the registry is saved at the end";
}
