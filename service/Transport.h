// The stream transports of the protocol: a Unix socket, created with owner and
// group permissions only, and TCP, whose clients present a token first. Each
// connection is one client of the service, reading lines of at most
// REQUEST_BYTES_MAX bytes and writing lines through a bounded queue.
#pragma once

#include "Server.h" // first: see there

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <string>

namespace kelvord {

class UnixListener {
public:
    // Creates the socket at `path` (mode 0660); a stale socket left by a
    // service that ended is replaced, a live one or any other file refused.
    // Throws std::runtime_error with the reason.
    UnixListener(boost::asio::io_context& io, Service& service, std::string path);
    ~UnixListener();
    UnixListener(const UnixListener&) = delete;
    UnixListener& operator=(const UnixListener&) = delete;
    const std::string& path() const { return path_; }

private:
    void accept();
    Service& service_;
    std::string path_;
    boost::asio::local::stream_protocol::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    uint64_t count_ = 0;
};

class TcpListener {
public:
    // Listens on HOST:PORT ("[::1]:7000" for an IPv6 address); its clients
    // authenticate first. Throws std::runtime_error with the reason.
    TcpListener(boost::asio::io_context& io, Service& service, const std::string& hostPort);
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    // The port bound (the one given, or the one the system chose for port 0).
    uint16_t port() const;

private:
    void accept();
    Service& service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
};

// How long a TCP client may take to present its token.
inline constexpr int AUTH_TIMEOUT_MS = 10000;

// "HOST:PORT" split; false when it is no such pair.
bool split_host_port(const std::string& text, std::string& host, std::string& port);

} // namespace kelvord
