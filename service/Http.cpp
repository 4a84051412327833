#include "Http.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include "ModuleSDK.h"
#include "Transport.h"

namespace kelvord {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::system::error_code;
using tcp = asio::ip::tcp;

// What the listener's connections share: its settings and how many plain
// HTTP connections are open.
struct HttpListener::Shared {
    Service& service;
    HttpOptions options;
    bool loopback = true;
    size_t connections = 0;
    uint64_t count = 0;
    std::shared_ptr<asio::ssl::context> tls;
};

namespace {

// The bytes of a WebSocket message read at a time.
constexpr size_t READ_PIECE = 64 * 1024;
// The longest header of a request taken.
constexpr uint32_t HEADER_BYTES_MAX = 8192;

// Every answer of the station carries these.
template <class Fields> void secure_headers(Fields& f) {
    f.set(http::field::server, std::string("kelvord/") + kelvor::version());
    f.set("Content-Security-Policy", CONTENT_SECURITY_POLICY);
    f.set("X-Content-Type-Options", "nosniff");
    f.set("X-Frame-Options", "DENY");
    f.set("Referrer-Policy", "no-referrer");
    f.set("Cross-Origin-Opener-Policy", "same-origin");
    f.set("Cross-Origin-Resource-Policy", "same-origin");
    f.set(http::field::cache_control, "no-cache");
}

template <class Stream> struct IsTls : std::false_type {};
template <class Next> struct IsTls<beast::ssl_stream<Next>> : std::true_type {};

// A client of the service on a WebSocket: each text message one request, each
// answer and event one text message. Its buffers are bounded as a stream
// client's are: a message longer than a request may be is read to its end and
// answered as malformed, and a client that does not read is dropped.
template <class Stream> class WebSocketClient final : public Session<WebSocketClient<Stream>> {
    using Base = Session<WebSocketClient<Stream>>;

public:
    // Each line a message of its own.
    static constexpr size_t LINES_PER_WRITE = 1;

    WebSocketClient(websocket::stream<Stream> ws, Service& service, std::string name,
                    std::string remoteAddress, bool login)
        : Base(service, std::move(name), std::move(remoteAddress), login, ws.get_executor(), false),
          ws_(std::move(ws)) {}

    void start(const http::request<http::empty_body>& request) {
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(HTTP_READ_TIMEOUT_S);
        timeouts.idle_timeout = std::chrono::seconds(WEBSOCKET_IDLE_TIMEOUT_S);
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.set_option(
            websocket::stream_base::decorator([](websocket::response_type& r) { secure_headers(r); }));
        // Messages are read in pieces and bounded here, as lines are bounded
        // on a stream: past the bound, the rest is read and dropped.
        ws_.read_message_max(0);
        ws_.auto_fragment(false);
        ws_.text(true);
        ws_.async_accept(request, [self = this->self()](const error_code& ec) {
            if (ec) {
                self->closed_ = true;
                return;
            }
            if (!self->join()) return;
            self->read();
        });
    }

    void pause_reading(bool pause) override {
        this->paused_ = pause;
        if (!pause) this->read();
    }

private:
    friend Base;

    template <class Handler> void read_some(Handler handler) {
        ws_.async_read_some(buffer_, READ_PIECE, std::move(handler));
    }

    bool reads_more() const { return !this->closing; }

    void read_failed(const error_code&) { this->close(); }

    // A piece of a message; the whole message is one request.
    void received(size_t) {
        const auto data = buffer_.data();
        const bool taken = this->gather(static_cast<const char*>(data.data()), data.size());
        buffer_.consume(data.size());
        if (taken && ws_.is_message_done()) this->end_request(" \t\r\n");
    }

    template <class Handler>
    void write_lines(const std::vector<asio::const_buffer>& buffers, Handler handler) {
        ws_.async_write(buffers, std::move(handler));
    }

    void shut() {
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).close();
    }

    // The last line has gone: the WebSocket is closed as the protocol closes it.
    void finish() override {
        if (this->closed_ || finishing_) return;
        finishing_ = true;
        beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(5));
        ws_.async_close(websocket::close_code::policy_error,
                        [self = this->self()](const error_code&) { self->close(); });
    }

    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;
    bool finishing_ = false;
};

// One HTTP connection (on TLS, or plain): requests for the page's files, one
// after the other, until one asks for the WebSocket, which takes the
// connection over.
template <class Stream> class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(Stream stream, std::shared_ptr<HttpListener::Shared> shared, std::string name,
                std::string address)
        : stream_(std::move(stream)), shared_(std::move(shared)), name_(std::move(name)),
          address_(std::move(address)) {
        ++shared_->connections;
    }
    ~HttpSession() { --shared_->connections; }

    void start() {
        if constexpr (IsTls<Stream>::value) {
            // The handshake is as bounded as a token is.
            beast::get_lowest_layer(stream_).expires_after(std::chrono::milliseconds(AUTH_TIMEOUT_MS));
            auto self = this->shared_from_this();
            stream_.async_handshake(asio::ssl::stream_base::server, [self](const error_code& ec) {
                if (ec) {
                    beast::get_lowest_layer(self->stream_).close();
                    return;
                }
                self->read();
            });
        } else {
            read();
        }
    }

private:
    void read() {
        parser_.emplace();
        parser_->header_limit(HEADER_BYTES_MAX);
        parser_->body_limit(0);
        beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(HTTP_READ_TIMEOUT_S));
        auto self = this->shared_from_this();
        http::async_read(stream_, buffer_, *parser_, [self](const error_code& ec, size_t) {
            if (ec == http::error::end_of_stream || ec == beast::error::timeout) {
                self->shut();
                return;
            }
            if (ec) {
                self->respond(http::status::bad_request,
                              "the request is no HTTP request this station takes\n", false);
                return;
            }
            self->handle();
        });
    }

    void handle() {
        const http::request<http::empty_body>& req = parser_->get();
        const std::string host(req[http::field::host]);
        if (!host_allowed(host, shared_->loopback)) {
            respond(http::status::forbidden,
                    "this station answers under the names of this machine's loopback (localhost) only\n",
                    false);
            return;
        }
        std::string_view target(req.target().data(), req.target().size());
        if (const size_t q = target.find('?'); q != std::string_view::npos) target = target.substr(0, q);
        if (target == WEBSOCKET_PATH) {
            if (!websocket::is_upgrade(req)) {
                respond(http::status::bad_request, "the station's protocol is spoken on a WebSocket\n",
                        false);
                return;
            }
            const std::string origin(req[http::field::origin]);
            if (!origin_allowed(origin, host, IsTls<Stream>::value, shared_->options.origins)) {
                shared_->service.log("client " + name_ + " refused: the WebSocket's origin " +
                                     (origin.empty() ? std::string("is missing") : origin) +
                                     " is not the page's");
                respond(http::status::forbidden, "a WebSocket of the station's own page only\n", false);
                return;
            }
            upgrade();
            return;
        }
        if (req.method() != http::verb::get && req.method() != http::verb::head) {
            respond(http::status::method_not_allowed, "GET and HEAD only\n", req.keep_alive());
            return;
        }
        const std::string name = station_file(target);
        std::string body;
        if (name.empty() || !read_file(shared_->options.root + "/" + name, body)) {
            respond(http::status::not_found, "no such page\n", req.keep_alive());
            return;
        }
        auto res = std::make_shared<http::response<http::string_body>>(http::status::ok, req.version());
        secure_headers(*res);
        res->set(http::field::content_type, content_type(name));
        res->keep_alive(req.keep_alive());
        const size_t size = body.size();
        if (req.method() == http::verb::get) res->body() = std::move(body);
        res->prepare_payload();
        if (req.method() == http::verb::head) res->content_length(size);
        send(res, req.keep_alive());
    }

    static bool read_file(const std::string& path, std::string& out) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return false;
        struct stat st {};
        bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  static_cast<uint64_t>(st.st_size) <= STATION_FILE_BYTES_MAX;
        if (ok) {
            out.resize(static_cast<size_t>(st.st_size));
            size_t done = 0;
            while (done < out.size()) {
                const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ok = done == out.size();
        }
        ::close(fd);
        return ok;
    }

    void respond(http::status status, const char* text, bool keepAlive) {
        auto res = std::make_shared<http::response<http::string_body>>(status, 11);
        secure_headers(*res);
        res->set(http::field::content_type, "text/plain; charset=utf-8");
        res->keep_alive(keepAlive);
        res->body() = text;
        res->prepare_payload();
        send(res, keepAlive);
    }

    void send(const std::shared_ptr<http::response<http::string_body>>& res, bool keepAlive) {
        auto self = this->shared_from_this();
        beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(HTTP_READ_TIMEOUT_S));
        http::async_write(stream_, *res, [self, res, keepAlive](const error_code& ec, size_t) {
            if (ec || !keepAlive) {
                self->shut();
                return;
            }
            self->read();
        });
    }

    void shut() {
        error_code ignored;
        beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_send, ignored);
        beast::get_lowest_layer(stream_).close();
    }

    void upgrade() {
        const http::request<http::empty_body> req = parser_->release();
        auto client = std::make_shared<WebSocketClient<Stream>>(websocket::stream<Stream>(std::move(stream_)),
                                                                shared_->service, "websocket " + name_,
                                                                address_, shared_->options.login);
        client->start(req);
    }

    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::shared_ptr<HttpListener::Shared> shared_;
    std::string name_;
    std::string address_;
};

} // namespace

bool http_address(const std::string& text, std::string& host, std::string& port) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() > 5 || std::stoul(text) > 65535) return false;
        host = "127.0.0.1";
        port = text;
        return true;
    }
    if (!split_host_port(text, host, port)) return false;
    // localhost is the IPv4 loopback, whatever order the resolver gives its addresses in.
    if (equal_ignoring_case(host, "localhost")) host = "127.0.0.1";
    return true;
}

HttpListener::HttpListener(asio::io_context& io, Service& service, HttpOptions options)
    : service_(service), acceptor_(io), retry_(io) {
    std::string host, port;
    if (!http_address(options.hostPort, host, port))
        throw std::runtime_error("--http takes HOST:PORT (localhost:8080, [::1]:8080) or PORT, not " +
                                 options.hostPort);
    const tcp::endpoint endpoint = listening_address(io, host, port, options.hostPort);
    loopback_ = endpoint.address().is_loopback();
    if (!loopback_ && !options.login)
        throw std::runtime_error(
            "--http " + options.hostPort +
            " listens beyond this machine: the page then asks for the token of --token-file");
    listen_on(acceptor_, endpoint, options.hostPort);
    std::shared_ptr<asio::ssl::context> tls = options.tls;
    shared_ = std::make_shared<Shared>(Shared{service, std::move(options), loopback_, 0, 0, std::move(tls)});
    accept();
}

uint16_t HttpListener::port() const {
    error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void HttpListener::accept() {
    acceptor_.async_accept([this](const error_code& ec, tcp::socket socket) {
        if (!accepted(ec, service_, "HTTP", retry_, [this] { accept(); })) return;
        if (shared_->connections >= shared_->options.maxConnections) {
            // Too many at once: this one is closed at once, the others go on.
            error_code ignored;
            socket.close(ignored);
            accept();
            return;
        }
        error_code ignored;
        const auto peer = socket.remote_endpoint(ignored);
        socket.set_option(tcp::no_delay(true), ignored);
        const std::string address = peer.address().to_string();
        const std::string name = address + ":" + std::to_string(peer.port());
        if (shared_->tls)
            std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
                beast::ssl_stream<beast::tcp_stream>(beast::tcp_stream(std::move(socket)), *shared_->tls),
                shared_, name, address)
                ->start();
        else
            std::make_shared<HttpSession<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)), shared_,
                                                             name, address)
                ->start();
        accept();
    });
}

} // namespace kelvord
