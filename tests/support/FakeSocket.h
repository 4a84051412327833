// A network server played from a script, in place of the system's sockets
// (kelvor::net::use_sockets): what the server sends, chunk by chunk, and
// whether it then closes; what the client sends is kept. No time passes: a
// wait with nothing left to read ends as its deadline would.
#pragma once

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "port/NetPort.h"
#include "port/Socket.h"

namespace fakesocket {

using kelvor::net::Clock;
using kelvor::net::Failure;
using kelvor::net::Fault;

struct Server {
    // The connection fails with this, when set.
    Fault refuse{};
    // Chunks the server sends, in order; each receive takes at most one.
    std::deque<std::vector<uint8_t>> chunks;
    // Once the chunks are read: the server closes (a receive gives 0).
    bool closeAtEnd = false;
    // The server takes no more than this many bytes (a full connection).
    size_t takes = static_cast<size_t>(-1);
    // The connection acknowledges at once (the purge goes with the settings).
    bool acksAtOnce = true;
    // What the client sent, and how much of it it had sent when each chunk was taken.
    std::vector<uint8_t> received;
    std::vector<size_t> sentBeforeChunk;
    std::string host;
    uint16_t port = 0;
};

inline Server& server() {
    static Server instance;
    return instance;
}

class Socket final : public kelvor::net::Socket {
public:
    bool connect(const std::string& host, uint16_t port, Clock::time_point, Fault& fault,
                 std::string& peer) override {
        server().host = host;
        server().port = port;
        if (server().refuse.failure != Failure::None) {
            fault = server().refuse;
            return false;
        }
        peer = "192.0.2.1:" + std::to_string(port);
        return true;
    }
    Clock::duration handshake_time() const override { return std::chrono::microseconds(150); }
    bool acknowledges_at_once() const override { return server().acksAtOnce; }
    Wait wait_readable(Clock::time_point, Fault&) override {
        return server().chunks.empty() && !server().closeAtEnd ? Wait::TimedOut : Wait::Ready;
    }
    long receive(uint8_t* buffer, size_t n, Fault&) override {
        Server& s = server();
        while (!s.chunks.empty() && s.chunks.front().empty()) s.chunks.pop_front();
        if (s.chunks.empty()) return s.closeAtEnd ? 0 : NOTHING_YET;
        std::vector<uint8_t>& chunk = s.chunks.front();
        s.sentBeforeChunk.push_back(s.received.size());
        const size_t count = std::min(n, chunk.size());
        std::memcpy(buffer, chunk.data(), count);
        chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
        if (chunk.empty()) s.chunks.pop_front();
        return static_cast<long>(count);
    }
    size_t send(const uint8_t* bytes, size_t n, Clock::time_point, Fault& fault) override {
        Server& s = server();
        const size_t count = std::min(n, s.takes);
        s.takes -= s.takes == static_cast<size_t>(-1) ? 0 : count;
        s.received.insert(s.received.end(), bytes, bytes + count);
        if (count < n) fault = Fault{Failure::TimedOut, 110, "full"};
        return count;
    }
    void close() override {}
};

inline std::unique_ptr<kelvor::net::Socket> make() {
    return std::make_unique<Socket>();
}

// While it lives, network ports connect to the scripted server.
class Use {
public:
    Use() {
        server() = Server{};
        kelvor::net::use_sockets(make);
    }
    ~Use() { kelvor::net::use_sockets(nullptr); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
};

} // namespace fakesocket
