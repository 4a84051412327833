// The stream transports of the protocol: a Unix socket, created with owner and
// group permissions only, and TCP (on TLS when given a certificate), whose
// clients present a token first. Each connection is one client of the
// service, reading lines of at most REQUEST_BYTES_MAX bytes (1 KiB before its
// token) and writing lines through a bounded queue.
#pragma once

#include "Server.h" // first: see there

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvord {

// How long a remote client may take to present its token (its TLS handshake
// included), and the longest line it may send before it has.
inline constexpr int AUTH_TIMEOUT_MS = 3000;
inline constexpr size_t UNAUTHENTICATED_LINE_MAX = 1024;

// What the clients of every transport share: the lines waiting to be written,
// bounded by --client-buffer (a client that lets more wait is dropped); the
// time and the line a client that must authenticate has to present its token
// in; its slot in the service, taken as it connects and moved once it has
// authenticated. The transport writes what the queue holds and closes.
class QueuedClient : public Client {
public:
    void send(std::string line) override;
    void send_and_close(std::string line) override;
    size_t queued_bytes() const override { return queued_; }
    const std::string& name() const override { return name_; }

protected:
    // `lineEnd`: each line goes out with "\n" (a stream), or as it is (a message).
    QueuedClient(Service& service, std::string name, std::string remoteAddress, bool mustAuthenticate,
                 const boost::asio::any_io_executor& executor, bool lineEnd);
    // Takes a slot of the service and starts the clock of authentication;
    // false when the service refused the client (it is closed).
    bool join();
    // The longest request line the client may send now.
    size_t line_limit() const { return authenticated ? REQUEST_BYTES_MAX : UNAUTHENTICATED_LINE_MAX; }
    // Bytes of the request under way (a line, a message), which may be
    // line_limit() long: past it, the rest is read and dropped, and the
    // request is answered as too long once it ends. Before the token, a
    // request that long is told and closed instead: false.
    bool gather(const char* bytes, size_t n);
    // The request has ended: to the service unless it holds `blanks` only.
    void end_request(std::string_view blanks);
    // The connection has ended: the queue goes, and the slot.
    void closed_now();
    // A write of `bytes` of the queue's lines has ended.
    void written(const boost::system::error_code& ec, size_t bytes);

    // Writes what the queue holds unless a write is under way.
    virtual void write_queued() = 0;
    // The last line has gone: the connection ends as its transport ends it.
    virtual void finish() = 0;
    // Everything queued has been written.
    virtual void drained() {}

    Service& service_;
    std::deque<std::string> out_;
    size_t queued_ = 0;
    bool writing_ = false;
    bool closed_ = false;
    bool closeAfterWrite_ = false;
    std::string request_;     // the request under way
    bool discarding_ = false; // it is too long: its end is looked for

private:
    void refuse_long_line();
    void hand_over(std::string_view line);
    void promote();
    std::string name_;
    boost::asio::steady_timer authTimer_;
    bool lineEnd_;
    bool added_ = false;
    bool promoted_ = false;
};

// A client on a connection of its own, as each transport (a stream's lines, a
// WebSocket's messages) reads and writes it: one read at a time, while the
// client is open and the service has not paused it; the queue's lines written
// Derived::LINES_PER_WRITE at a time. Derived gives its connection's calls:
//   read_some(handler)      reads what has arrived, handler(error, bytes)
//   received(bytes)         takes what a read brought
//   read_failed(error)      the read ended with an error (the end of the stream)
//   reads_more()            whether the client wants more than it has
//   write_lines(buffers, handler)  writes the lines, handler(error, bytes)
//   shut()                  ends the connection at once
template <class Derived> class Session : public QueuedClient {
public:
    void close() final {
        if (closed_) return;
        derived().shut();
        closed_now();
    }

protected:
    using QueuedClient::QueuedClient;

    std::shared_ptr<Derived> self() { return std::static_pointer_cast<Derived>(shared_from_this()); }

    void read() {
        if (closed_ || paused_ || reading_ || !derived().reads_more()) return;
        reading_ = true;
        derived().read_some([self = self()](const boost::system::error_code& ec, size_t n) {
            self->reading_ = false;
            if (self->closed_) return;
            if (ec) {
                self->read_failed(ec);
                return;
            }
            self->received(n);
            self->read();
        });
    }

    void write_queued() final {
        if (writing_ || out_.empty() || closed_ || !secured_) return;
        writing_ = true;
        batch_.clear();
        buffers_.clear();
        size_t bytes = 0;
        while (!out_.empty() && batch_.size() < Derived::LINES_PER_WRITE) {
            bytes += out_.front().size();
            batch_.push_back(std::move(out_.front()));
            out_.pop_front();
        }
        for (const std::string& line : batch_) buffers_.push_back(boost::asio::buffer(line));
        derived().write_lines(buffers_, [self = self(), bytes](const boost::system::error_code& ec, size_t) {
            self->batch_.clear();
            self->written(ec, bytes);
        });
    }

    bool paused_ = false;
    bool secured_ = true; // nothing is written before a TLS handshake has ended

private:
    Derived& derived() { return static_cast<Derived&>(*this); }

    bool reading_ = false;
    std::vector<std::string> batch_; // the lines being written
    std::vector<boost::asio::const_buffer> buffers_;
};

// Whether an accept brought a connection. One that failed for want of
// descriptors or memory is logged ("accept on WHERE: ...") and `again` called
// a little later rather than at once, over and over; one that the listener's
// close ended is not.
bool accepted(const boost::system::error_code& ec, Service& service, const std::string& where,
              boost::asio::steady_timer& retry, std::function<void()> again);

// The address of HOST:PORT to listen on (the resolver's first), and the
// acceptor opened on it, its address reusable at once, listening. Both throw
// std::runtime_error with the reason, naming the address as `given`.
boost::asio::ip::tcp::endpoint listening_address(boost::asio::io_context& io, const std::string& host,
                                                 const std::string& port, const std::string& given);
void listen_on(boost::asio::ip::tcp::acceptor& acceptor, const boost::asio::ip::tcp::endpoint& endpoint,
               const std::string& given);

// The server's side of TLS from a certificate chain and its key (PEM files;
// the key a file of this user's that no one else may read): TLS 1.2 at least.
// Throws std::runtime_error with the reason.
std::shared_ptr<boost::asio::ssl::context> tls_context(const std::string& certFile,
                                                       const std::string& keyFile);

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
    // With `tls`, every connection speaks TLS first.
    TcpListener(boost::asio::io_context& io, Service& service, const std::string& hostPort,
                std::shared_ptr<boost::asio::ssl::context> tls = nullptr);
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    // The port bound (the one given, or the one the system chose for port 0).
    uint16_t port() const;

private:
    void accept();
    Service& service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
};

// "HOST:PORT" split; false when it is no such pair.
bool split_host_port(const std::string& text, std::string& host, std::string& port);

} // namespace kelvord
