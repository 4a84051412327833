// The station's transport: HTTP for the page's own files and a WebSocket on
// which the page is one more client of the service, each text message one
// request, answer or event object of the protocol (Boost.Beast on the
// service's loop), on TLS when given a certificate. Safe by default: an
// address of this machine only unless told otherwise, and a login with the
// service's token wherever it listens (the socket's mode keeps other users
// out; the station must too); the Host of every request and the Origin of the
// WebSocket checked against where the page is served (or the origins of
// --origin); a Content-Security-Policy that allows the page's own files alone.
#pragma once

#include "Server.h" // first: see there

#include "HttpRules.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvord {

struct HttpOptions {
    std::string hostPort;       // HOST:PORT, or PORT alone for localhost
    std::string root;           // the directory of the page's files
    bool login = true;          // clients present the service's token before anything else
    size_t maxConnections = 64; // HTTP connections at once, beside the WebSocket clients
    std::shared_ptr<boost::asio::ssl::context> tls; // HTTPS and WSS only, when set
    std::vector<std::string> origins;               // pages elsewhere whose WebSocket is taken (a proxy's)
};

// "HOST:PORT" of --http: PORT alone means localhost. False when it is neither.
bool http_address(const std::string& text, std::string& host, std::string& port);

class HttpListener {
public:
    // Listens on the address; throws std::runtime_error with the reason.
    HttpListener(boost::asio::io_context& io, Service& service, HttpOptions options);
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;
    uint16_t port() const;
    // Whether it listens on a loopback address only.
    bool loopback() const { return loopback_; }

    struct Shared;

private:
    void accept();
    Service& service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    std::shared_ptr<Shared> shared_;
    bool loopback_ = true;
};

} // namespace kelvord
