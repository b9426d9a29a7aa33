// The server end of the panel's bridge: it answers each device call that arrives over a loopback
// TCP connection with the same call on one program's view of the stand-in machine, so the real
// panel, built with its bridge seam, drives the real driver logic. Connections are served one
// request at a time on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/win32_device.h"

namespace tarnhost {

class BridgeServer {
public:
    BridgeServer(host::Win32System& system, std::string token);
    ~BridgeServer();  // closes the connections and the listening socket
    BridgeServer(const BridgeServer&) = delete;
    BridgeServer& operator=(const BridgeServer&) = delete;

    // Listens on 127.0.0.1 only, on `port` (0: a free one); the port listened on. A port that
    // cannot be had is a std::runtime_error.
    uint16_t Listen(uint16_t port);
    // Waits up to `timeoutMs` for something to do, then does all that is ready: accepts
    // connections, answers complete requests, drops connections that broke the protocol.
    void PollOnce(int timeoutMs);
    size_t ConnectionCount() const { return connections_.size(); }

    // 32 hexadecimal digits from the system's random source.
    static std::string NewToken();

private:
    struct Connection {
        int socket;
        std::vector<uint8_t> received;
        bool greeted = false;
    };
    // Reads what arrived and answers each complete request; false when the connection must end.
    bool Receive(Connection& connection);
    // One request's reply, or false when the request breaks the protocol.
    bool Answer(Connection& connection, const uint8_t* request, size_t size, std::vector<uint8_t>* reply);

    host::Win32System& system_;
    std::string token_;
    int listener_ = -1;
    std::vector<Connection> connections_;
};

}  // namespace tarnhost
