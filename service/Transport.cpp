#include "Transport.h"

#include "Options.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <cstring>
#include <deque>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace kelvord {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

template <class Socket> struct IsTls : std::false_type {};
template <class Next> struct IsTls<asio::ssl::stream<Next>> : std::true_type {};

// A client on a stream: the Unix socket, TCP, or TLS on TCP.
template <class Socket> class StreamClient final : public Session<StreamClient<Socket>> {
    using Base = Session<StreamClient<Socket>>;
    using Base::closed_;
    using Base::out_;
    using Base::paused_;
    using Base::request_;
    using Base::secured_;
    using Base::writing_;

public:
    // Lines gathered into one write at most.
    static constexpr size_t LINES_PER_WRITE = 64;

    StreamClient(Socket socket, Service& service, std::string name, std::string remoteAddress,
                 bool mustAuthenticate)
        : Base(service, std::move(name), std::move(remoteAddress), mustAuthenticate, socket.get_executor(),
               true),
          socket_(std::move(socket)) {
        secured_ = !IsTls<Socket>::value;
    }

    void start() {
        // A slot first: a TLS handshake is a stranger's, and as bounded.
        if (!this->join()) return;
        if constexpr (IsTls<Socket>::value) {
            socket_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->self()](const error_code& ec) {
                                        if (self->closed_) return;
                                        if (ec) {
                                            self->close();
                                            return;
                                        }
                                        self->secured_ = true;
                                        self->write_queued();
                                        self->read();
                                    });
        } else {
            this->read();
        }
    }

    void send_and_close(std::string line) override {
        // Before the handshake nothing can be said.
        if (!secured_) {
            this->close();
            return;
        }
        Base::send_and_close(std::move(line));
    }

    void pause_reading(bool pause) override {
        paused_ = pause;
        if (pause || closed_ || splitting_) return;
        // What was read while paused is split first.
        if (!held_.empty()) {
            const std::string held = std::move(held_);
            held_.clear();
            take(held.data(), held.size());
            if (paused_ || closed_) return;
        }
        if (eof_) {
            take_rest();
            finish_if_done();
            return;
        }
        this->read();
    }

private:
    friend Base;

    template <class Handler> void read_some(Handler handler) {
        socket_.async_read_some(asio::buffer(buffer_), std::move(handler));
    }

    bool reads_more() const { return !eof_; }

    void received(size_t n) { take(buffer_.data(), n); }

    void read_failed(const error_code& ec) {
        if (ec != asio::error::eof) {
            this->close();
            return;
        }
        eof_ = true;
        if (!paused_) take_rest();
        // A client that closed its end entirely reads no answers: it is gone,
        // and its jobs with it; one that only ended its requests is watched
        // until it goes too.
        watch_hang_up();
        if (closed_) return;
        if (!paused_) finish_if_done();
    }

    // Whole lines to the service, until it pauses the client: the rest is
    // held until it resumes. A line longer than a request may be is skipped
    // to its end and answered as malformed; before the token, one longer than
    // a token's line ends the connection.
    void take(const char* p, size_t n) {
        splitting_ = true;
        while (n > 0 && !this->closing) {
            if (paused_) {
                held_.append(p, n);
                break;
            }
            const auto* nl = static_cast<const char*>(std::memchr(p, '\n', n));
            const size_t part = nl ? static_cast<size_t>(nl - p) : n;
            if (!this->gather(p, part) || !nl) break;
            deliver();
            p = nl + 1;
            n -= part + 1;
        }
        splitting_ = false;
    }

    // Whether the far end has closed both ways, not only its writing: a local
    // socket tells so at once; over TCP it looks like a half close until a write fails.
    bool peer_gone() {
        pollfd p{socket_.lowest_layer().native_handle(), 0, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
    }

    void watch_hang_up() {
        if (closed_) return;
        socket_.lowest_layer().async_wait(asio::socket_base::wait_error,
                                          [self = this->self()](const error_code& ec) {
                                              if (!ec && !self->closed_ && self->peer_gone()) self->close();
                                          });
        if (peer_gone()) this->close();
    }

    // A last line without its end, as the stream ends.
    void take_rest() {
        if (this->discarding_ || request_.empty() || this->closing) return;
        deliver();
    }

    // A line's end: without a CR before it; blank lines are no requests.
    void deliver() {
        if (!request_.empty() && request_.back() == '\r') request_.pop_back();
        this->end_request(" \t");
    }

    // A client that has stopped sending gets its answers, then the connection
    // ends; one that watches keeps getting events until it goes.
    void finish_if_done() {
        if (eof_ && !closed_ && !paused_ && held_.empty() && !this->watching &&
            !Service::answers_pending(*this) && out_.empty() && !writing_)
            this->close();
    }

    template <class Handler>
    void write_lines(const std::vector<asio::const_buffer>& buffers, Handler handler) {
        asio::async_write(socket_, buffers, std::move(handler));
    }

    void shut() {
        error_code ignored;
        socket_.lowest_layer().shutdown(asio::socket_base::shutdown_both, ignored);
        socket_.lowest_layer().close(ignored);
    }

    void finish() override { this->close(); }
    void drained() override { finish_if_done(); }

    Socket socket_;
    std::array<char, 64 * 1024> buffer_{};
    std::string held_; // read while the client was paused, not yet split
    bool splitting_ = false;
    bool eof_ = false;
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

QueuedClient::QueuedClient(Service& service, std::string name, std::string remoteAddress,
                           bool mustAuthenticate, const asio::any_io_executor& executor, bool lineEnd)
    : service_(service), name_(std::move(name)), authTimer_(executor), lineEnd_(lineEnd),
      promoted_(!mustAuthenticate) {
    authenticated = !mustAuthenticate;
    address = std::move(remoteAddress);
}

bool QueuedClient::join() {
    if (!service_.add(shared_from_this())) return false;
    added_ = true;
    if (!authenticated) {
        authTimer_.expires_after(std::chrono::milliseconds(AUTH_TIMEOUT_MS));
        authTimer_.async_wait(
            [self = std::static_pointer_cast<QueuedClient>(shared_from_this())](const error_code& ec) {
                if (ec || self->authenticated || self->closed_) return;
                const std::string why = "no token within " + std::to_string(AUTH_TIMEOUT_MS / 1000) + " s";
                self->service_.log("client " + self->name_ + " refused: " + why);
                self->send_and_close(error_line(nullptr, why));
            });
    }
    return true;
}

void QueuedClient::refuse_long_line() {
    const std::string why = "a line of more than " + std::to_string(UNAUTHENTICATED_LINE_MAX) + " bytes";
    service_.log("client " + name_ + " refused: " + why + " before its token");
    send_and_close(error_line(nullptr, "present the token first, in " + why.substr(2) + " at most"));
}

bool QueuedClient::gather(const char* bytes, size_t n) {
    if (!discarding_ && request_.size() + n > line_limit()) {
        if (!authenticated) {
            refuse_long_line();
            return false;
        }
        discarding_ = true;
        request_.clear();
        request_.shrink_to_fit();
    }
    if (!discarding_) request_.append(bytes, n);
    return true;
}

void QueuedClient::end_request(std::string_view blanks) {
    if (discarding_) {
        discarding_ = false;
        service_.oversized(shared_from_this());
    } else if (request_.find_first_not_of(blanks) != std::string::npos) {
        hand_over(request_);
    }
    request_.clear();
    if (request_.capacity() > (64u << 10)) request_.shrink_to_fit();
}

void QueuedClient::hand_over(std::string_view line) {
    promote();
    service_.request(shared_from_this(), line);
    promote();
}

void QueuedClient::promote() {
    if (promoted_ || !authenticated || !added_ || closing) return;
    promoted_ = true;
    authTimer_.cancel();
    service_.add(shared_from_this());
}

void QueuedClient::send(std::string line) {
    if (closed_ || closeAfterWrite_) return;
    // A client that stops reading may not grow the service's memory: once
    // more than its buffer waits for it, it is dropped.
    if (queued_ > service_.options().clientBuffer) {
        service_.log("client " + name_ + " dropped: it does not read (" + std::to_string(queued_) +
                     " bytes waiting)");
        close();
        return;
    }
    if (lineEnd_) line += '\n';
    queued_ += line.size();
    out_.push_back(std::move(line));
    write_queued();
}

void QueuedClient::send_and_close(std::string line) {
    send(std::move(line));
    if (closed_) return;
    closing = true;
    closeAfterWrite_ = true;
    if (!writing_ && out_.empty()) finish();
}

void QueuedClient::closed_now() {
    closed_ = true;
    closing = true;
    authTimer_.cancel();
    for (const std::string& line : out_) queued_ -= std::min(queued_, line.size());
    out_.clear();
    if (added_) service_.remove(this);
}

void QueuedClient::written(const error_code& ec, size_t bytes) {
    writing_ = false;
    queued_ -= std::min(queued_, bytes);
    if (closed_) return;
    if (ec) {
        close();
        return;
    }
    if (!out_.empty())
        write_queued();
    else if (closeAfterWrite_)
        finish();
    else
        drained();
}

bool accepted(const error_code& ec, Service& service, const std::string& where, asio::steady_timer& retry,
              std::function<void()> again) {
    if (ec == asio::error::operation_aborted) return false;
    if (!ec) return true;
    service.log("accept on " + where + ": " + ec.message());
    retry.expires_after(std::chrono::milliseconds(ACCEPT_RETRY_MS));
    retry.async_wait([again = std::move(again)](const error_code& e) {
        if (!e) again();
    });
    return false;
}

asio::ip::tcp::endpoint listening_address(asio::io_context& io, const std::string& host,
                                          const std::string& port, const std::string& given) {
    asio::ip::tcp::resolver resolver(io);
    error_code ec;
    const auto found = resolver.resolve(host, port, asio::ip::tcp::resolver::passive, ec);
    if (ec || found.empty()) throw std::runtime_error("cannot resolve " + given + ": " + ec.message());
    return found.begin()->endpoint();
}

void listen_on(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint,
               const std::string& given) {
    error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error("cannot listen on " + given + ": " + ec.message());
}

std::shared_ptr<asio::ssl::context> tls_context(const std::string& certFile, const std::string& keyFile) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
    if (::SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION) != 1)
        throw std::runtime_error("TLS: cannot require TLS 1.2 at least");
    error_code ec;
    context->use_certificate_chain_file(certFile, ec);
    if (ec) throw std::runtime_error("--tls-cert " + certFile + ": " + ec.message());
    std::string why;
    std::optional<std::string> key = read_private_file(keyFile, "the TLS key file", why);
    if (!key) throw std::runtime_error(why);
    context->use_private_key(asio::buffer(*key), asio::ssl::context::pem, ec);
    ::explicit_bzero(key->data(), key->size());
    if (ec) throw std::runtime_error("--tls-key " + keyFile + ": " + ec.message());
    if (::SSL_CTX_check_private_key(context->native_handle()) != 1)
        throw std::runtime_error("--tls-key " + keyFile + " is not the key of " + certFile);
    return context;
}

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
        if (!accepted(ec, service_, path_, retry_, [this] { accept(); })) return;
        const std::string name = peer_name(socket.native_handle(), ++count_);
        std::make_shared<StreamClient<asio::local::stream_protocol::socket>>(std::move(socket), service_,
                                                                             name, std::string(), false)
            ->start();
        accept();
    });
}

TcpListener::TcpListener(asio::io_context& io, Service& service, const std::string& hostPort,
                         std::shared_ptr<asio::ssl::context> tls)
    : service_(service), acceptor_(io), retry_(io), tls_(std::move(tls)) {
    std::string host, port;
    if (!split_host_port(hostPort, host, port))
        throw std::runtime_error("--tcp takes HOST:PORT (127.0.0.1:7000, [::1]:7000), not " + hostPort);
    listen_on(acceptor_, listening_address(io, host, port, hostPort), hostPort);
    accept();
}

uint16_t TcpListener::port() const {
    error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void TcpListener::accept() {
    acceptor_.async_accept([this](const error_code& ec, asio::ip::tcp::socket socket) {
        if (!accepted(ec, service_, "TCP", retry_, [this] { accept(); })) return;
        error_code ignored;
        const auto peer = socket.remote_endpoint(ignored);
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        const std::string address = peer.address().to_string();
        const std::string name = (tls_ ? "tls " : "tcp ") + address + ":" + std::to_string(peer.port());
        if (tls_)
            std::make_shared<StreamClient<asio::ssl::stream<asio::ip::tcp::socket>>>(
                asio::ssl::stream<asio::ip::tcp::socket>(std::move(socket), *tls_), service_, name, address,
                true)
                ->start();
        else
            std::make_shared<StreamClient<asio::ip::tcp::socket>>(std::move(socket), service_, name, address,
                                                                  true)
                ->start();
        accept();
    });
}

} // namespace kelvord
