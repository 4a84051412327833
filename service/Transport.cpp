#include "Transport.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

namespace kelvord {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// Lines gathered into one write at most.
constexpr size_t WRITE_LINES_MAX = 64;

template <class Socket> class StreamClient final : public Client {
public:
    StreamClient(Socket socket, Service& service, std::string name, bool mustAuthenticate)
        : socket_(std::move(socket)), service_(service), name_(std::move(name)),
          authTimer_(socket_.get_executor()) {
        authenticated = !mustAuthenticate;
    }

    void start() {
        auto self = std::static_pointer_cast<StreamClient>(shared_from_this());
        if (!service_.add(self)) return;
        if (!authenticated) {
            authTimer_.expires_after(std::chrono::milliseconds(AUTH_TIMEOUT_MS));
            authTimer_.async_wait([self](const error_code& ec) {
                if (ec || self->authenticated || self->closed_) return;
                self->service_.log("client " + self->name_ + " refused: no token within " +
                                   std::to_string(AUTH_TIMEOUT_MS / 1000) + " s");
                self->send_and_close(
                    error_line(nullptr, "no token within " + std::to_string(AUTH_TIMEOUT_MS / 1000) + " s"));
            });
        }
        read();
    }

    void send(std::string line) override {
        if (closed_ || closeAfterWrite_) return;
        // A client that stops reading may not grow the service's memory: once
        // more than its buffer waits for it, it is dropped.
        if (queued_ > service_.options().clientBuffer) {
            service_.log("client " + name_ + " dropped: it does not read (" + std::to_string(queued_) +
                         " bytes waiting)");
            close();
            return;
        }
        line += '\n';
        queued_ += line.size();
        out_.push_back(std::move(line));
        write();
    }

    void send_and_close(std::string line) override {
        send(std::move(line));
        closing = true;
        closeAfterWrite_ = true;
        if (!writing_ && out_.empty()) close();
    }

    void close() override {
        if (closed_) return;
        closed_ = true;
        closing = true;
        error_code ignored;
        authTimer_.cancel();
        socket_.shutdown(asio::socket_base::shutdown_both, ignored);
        socket_.close(ignored);
        out_.clear();
        service_.remove(this);
    }

    void pause_reading(bool pause) override {
        paused_ = pause;
        if (!pause) read();
    }

    const std::string& name() const override { return name_; }

private:
    void read() {
        if (closed_ || paused_ || reading_ || eof_) return;
        reading_ = true;
        auto self = std::static_pointer_cast<StreamClient>(shared_from_this());
        socket_.async_read_some(asio::buffer(buffer_), [self](const error_code& ec, size_t n) {
            self->reading_ = false;
            if (self->closed_) return;
            if (ec) {
                if (ec == asio::error::eof) {
                    self->eof_ = true;
                    self->take_rest();
                    // A client that closed its end entirely reads no answers:
                    // it is gone, and its jobs with it; one that only ended
                    // its requests is watched until it goes too.
                    self->watch_hang_up();
                    if (self->closed_) return;
                    self->finish_if_done();
                } else {
                    self->close();
                }
                return;
            }
            self->take(self->buffer_.data(), n);
            self->read();
        });
    }

    // Whole lines to the service; a line longer than a request may be is
    // skipped to its end and answered as malformed.
    void take(const char* p, size_t n) {
        auto self = std::static_pointer_cast<StreamClient>(shared_from_this());
        while (n > 0 && !closing) {
            const auto* nl = static_cast<const char*>(std::memchr(p, '\n', n));
            const size_t part = nl ? static_cast<size_t>(nl - p) : n;
            if (!discarding_ && in_.size() + part > REQUEST_BYTES_MAX) {
                discarding_ = true;
                in_.clear();
                in_.shrink_to_fit();
            }
            if (!discarding_) in_.append(p, part);
            if (!nl) break;
            if (discarding_) {
                discarding_ = false;
                service_.oversized(self);
            } else {
                deliver(self);
            }
            p = nl + 1;
            n -= part + 1;
        }
    }

    // Whether the far end has closed both ways, not only its writing: a local
    // socket tells so at once; over TCP it looks like a half close until a write fails.
    bool peer_gone() {
        pollfd p{socket_.native_handle(), 0, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
    }

    void watch_hang_up() {
        if (closed_) return;
        auto self = std::static_pointer_cast<StreamClient>(shared_from_this());
        socket_.async_wait(Socket::wait_error, [self](const error_code& ec) {
            if (!ec && !self->closed_ && self->peer_gone()) self->close();
        });
        if (peer_gone()) close();
    }

    void take_rest() {
        if (discarding_ || in_.empty() || closing) return;
        deliver(std::static_pointer_cast<StreamClient>(shared_from_this()));
    }

    void deliver(const std::shared_ptr<StreamClient>& self) {
        if (!in_.empty() && in_.back() == '\r') in_.pop_back();
        // Blank lines are no requests.
        if (in_.find_first_not_of(" \t") != std::string::npos) service_.request(self, in_);
        in_.clear();
        if (in_.capacity() > (64u << 10)) in_.shrink_to_fit();
    }

    // A client that has stopped sending gets its answers, then the connection
    // ends; one that watches keeps getting events until it goes.
    void finish_if_done() {
        if (eof_ && !closed_ && !watching && !Service::answers_pending(*this) && out_.empty() && !writing_)
            close();
    }

    void write() {
        if (writing_ || out_.empty() || closed_) return;
        writing_ = true;
        batch_.clear();
        buffers_.clear();
        while (!out_.empty() && batch_.size() < WRITE_LINES_MAX) {
            batch_.push_back(std::move(out_.front()));
            out_.pop_front();
        }
        for (const std::string& line : batch_) buffers_.push_back(asio::buffer(line));
        auto self = std::static_pointer_cast<StreamClient>(shared_from_this());
        asio::async_write(socket_, buffers_, [self](const error_code& ec, size_t) {
            self->writing_ = false;
            for (const std::string& line : self->batch_) self->queued_ -= line.size();
            self->batch_.clear();
            if (self->closed_) return;
            if (ec) {
                self->close();
                return;
            }
            if (!self->out_.empty()) {
                self->write();
            } else if (self->closeAfterWrite_) {
                self->close();
            } else {
                self->finish_if_done();
            }
        });
    }

    Socket socket_;
    Service& service_;
    std::string name_;
    asio::steady_timer authTimer_;
    std::array<char, 64 * 1024> buffer_{};
    std::string in_;
    bool discarding_ = false;
    bool reading_ = false;
    bool paused_ = false;
    bool eof_ = false;
    bool closed_ = false;
    bool closeAfterWrite_ = false;
    bool writing_ = false;
    std::deque<std::string> out_;
    std::vector<std::string> batch_;
    std::vector<asio::const_buffer> buffers_;
    size_t queued_ = 0;
};

// Who is at the other end of a Unix socket: its process and user.
std::string peer_name(int fd, uint64_t number) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    std::string name = "unix#" + std::to_string(number);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0)
        name += " (pid " + std::to_string(cred.pid) + ", uid " + std::to_string(cred.uid) + ")";
    return name;
}

// An accept that failed for want of descriptors or memory is tried again a
// little later rather than at once, over and over.
constexpr int ACCEPT_RETRY_MS = 100;

} // namespace

bool split_host_port(const std::string& text, std::string& host, std::string& port) {
    std::string h, p;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        h = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return false;
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
    }
    if (h.empty() || p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(p) > 65535)
        return false;
    host = h;
    port = p;
    return true;
}

UnixListener::UnixListener(asio::io_context& io, Service& service, std::string path)
    : service_(service), path_(std::move(path)), acceptor_(io), retry_(io) {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path_ + " exists and is no socket");
        // A socket that still answers belongs to a service that runs.
        asio::local::stream_protocol::socket probe(io);
        error_code ec;
        probe.connect(asio::local::stream_protocol::endpoint(path_), ec);
        if (!ec) throw std::runtime_error(path_ + " is served by another kelvord");
        ::unlink(path_.c_str());
    }
    // The socket is made under a name of its own and renamed into place once it listens: a
    // client that sees the path can connect at once, never meets a socket not yet listening.
    const std::string building = path_ + "." + std::to_string(::getpid());
    ::unlink(building.c_str());
    const asio::local::stream_protocol::endpoint endpoint(building);
    error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    // Owner and group only, from its creation on.
    const mode_t mask = ::umask(0117);
    if (!ec) acceptor_.bind(endpoint, ec);
    ::umask(mask);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) ::chmod(building.c_str(), 0660);
    if (!ec && ::rename(building.c_str(), path_.c_str()) != 0)
        ec = error_code(errno, asio::error::get_system_category());
    if (ec) {
        ::unlink(building.c_str());
        throw std::runtime_error("cannot listen on " + path_ + ": " + ec.message());
    }
    accept();
}

UnixListener::~UnixListener() {
    error_code ignored;
    acceptor_.close(ignored);
    ::unlink(path_.c_str());
}

void UnixListener::accept() {
    acceptor_.async_accept([this](const error_code& ec, asio::local::stream_protocol::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            service_.log("accept on " + path_ + ": " + ec.message());
            retry_.expires_after(std::chrono::milliseconds(ACCEPT_RETRY_MS));
            retry_.async_wait([this](const error_code& e) {
                if (!e) accept();
            });
            return;
        }
        const std::string name = peer_name(socket.native_handle(), ++count_);
        std::make_shared<StreamClient<asio::local::stream_protocol::socket>>(std::move(socket), service_,
                                                                             name, false)
            ->start();
        accept();
    });
}

TcpListener::TcpListener(asio::io_context& io, Service& service, const std::string& hostPort)
    : service_(service), acceptor_(io), retry_(io) {
    std::string host, port;
    if (!split_host_port(hostPort, host, port))
        throw std::runtime_error("--tcp takes HOST:PORT (127.0.0.1:7000, [::1]:7000), not " + hostPort);
    asio::ip::tcp::resolver resolver(io);
    error_code ec;
    const auto found = resolver.resolve(host, port, asio::ip::tcp::resolver::passive, ec);
    if (ec || found.empty()) throw std::runtime_error("cannot resolve " + hostPort + ": " + ec.message());
    const asio::ip::tcp::endpoint endpoint = found.begin()->endpoint();
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error("cannot listen on " + hostPort + ": " + ec.message());
    accept();
}

uint16_t TcpListener::port() const {
    error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void TcpListener::accept() {
    acceptor_.async_accept([this](const error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            service_.log("accept on TCP: " + ec.message());
            retry_.expires_after(std::chrono::milliseconds(ACCEPT_RETRY_MS));
            retry_.async_wait([this](const error_code& e) {
                if (!e) accept();
            });
            return;
        }
        error_code ignored;
        const auto peer = socket.remote_endpoint(ignored);
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        const std::string name = "tcp " + peer.address().to_string() + ":" + std::to_string(peer.port());
        std::make_shared<StreamClient<asio::ip::tcp::socket>>(std::move(socket), service_, name, true)
            ->start();
        accept();
    });
}

} // namespace kelvord
