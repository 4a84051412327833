// A serial port behind a network server, as a kind of port: socket:// is the
// far port's bytes over raw TCP (the server sets the line up itself);
// rfc2217:// is Telnet with the COM-PORT-OPTION, which sets the far port's
// line as a local port's is set and confirms it.
//
// Time over a network: the first byte's wait counts, as on a local line, from
// when the bytes written have left (written to the connection) and had time
// to cross the far line at its rate; it is widened by the round trip measured
// at the opening (bounded). The turn pause of a shared line is a local
// port's: a server gives the line its turns itself.
#include <algorithm>
#include <array>
#include <cstdio>

#include "ModuleSDK.h"
#include "port/NetPort.h"
#include "port/PortKind.h"
#include "port/Rfc2217.h"
#include "port/SerialLine.h"
#include "trace/LineState.h"

namespace kelvor {

namespace {

using net::Clock;
using net::Failure;
using net::Fault;
using net::Socket;
using serial_line::line;
using std::chrono::milliseconds;

// What the latest opening on the calling thread's line found, and its notes.
net::Status& the_status() {
    return line_state::part<net::Status>(line_state::NET_STATUS);
}

std::vector<std::string>& the_notes() {
    return line_state::part<std::vector<std::string>>(line_state::NET_NOTES);
}

// How sockets are made, for the whole process (tests put their own in).
net::SocketMaker& socket_maker() {
    static net::SocketMaker instance = nullptr;
    return instance;
}

using serial_line::HUNG_UP;
using serial_line::WAIT_OVER;
using serial_line::WOKEN;
// The read of one call: what a recv takes at most.
constexpr size_t RECEIVE_CHUNK = 4096;
// The most receives one look at the connection makes.
constexpr int RECEIVES_AT_ONCE = 16;
// A write waits for room in the connection this long beyond the bytes' wire time.
constexpr auto WRITE_SLACK = milliseconds(5000);

std::string round_trip_text(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms",
                  static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(d).count()) /
                      1000.0);
    return text;
}

class NetPort final : public port_kind::Kind {
public:
    bool open(const char* name) override {
        reset();
        net::Status& st = the_status();
        st = net::Status{};
        the_notes().clear();
        const port_name::Parsed parsed = port_name::parse(name);
        st.kind = parsed.kind;
        url_ = name;
        if (!parsed.error.empty()) return fail(Failure::BadAddress, parsed.error);
        st.host = parsed.host;
        st.endpoint = port_name::endpoint(parsed.host, parsed.port);
        rfc2217_ = parsed.kind == port_name::Kind::Rfc2217;

        socket_ = socket_maker() ? socket_maker()() : net::system_socket();
        Fault fault;
        if (!socket_->connect(parsed.host, parsed.port, Clock::now() + milliseconds(net::CONNECT_WAIT_MS),
                              fault, st.peer)) {
            socket_.reset();
            return fail(fault, "");
        }
        // The connection's handshake took one round trip: a first measure.
        roundTrip_ = socket_->handshake_time();
        if (rfc2217_) {
            client_ = std::make_unique<rfc2217::Client>();
            client_->start();
            const bool taken = pump_until(milliseconds(net::NEGOTIATION_WAIT_MS),
                                          [this] { return client_->accepted() || client_->broken(); });
            if (!taken || !client_->accepted()) {
                if (the_status().fault.failure != Failure::None) return fail_open();
                return fail(Failure::NotRfc2217, client_->broken()
                                                     ? "the Telnet stream broke off"
                                                     : "no COM-PORT-OPTION within " +
                                                           std::to_string(net::NEGOTIATION_WAIT_MS) + " ms");
            }
        }
        note(st.peer.empty() ? "connected" : "connected to " + st.peer);
        return true;
    }

    bool setup(int baudRate) override {
        if (!socket_) {
            line().lastError = net::system_code(Failure::Closed);
            trace(TRACE_ERROR, "Cannot get the status of the com port\n");
            return false;
        }
        if (baudRate <= 0) {
            line().lastError = net::system_code(Failure::SettingsRefused);
            trace(TRACE_ERROR, "Cannot set the status of the com port\n");
            return false;
        }
        const bool first = !setUp_;
        if (rfc2217_ ? !setup_far_port(baudRate, first) : !setup_raw(baudRate, first)) {
            trace(TRACE_ERROR, "Cannot set the status of the com port\n");
            return false;
        }
        setUp_ = true;
        line().set_rate(baudRate);
        // The first byte's wait is widened by the round trip, within a bound.
        line().networkDelay = std::min(std::chrono::duration_cast<std::chrono::microseconds>(roundTrip_),
                                       std::chrono::microseconds(milliseconds(net::NETWORK_DELAY_MAX_MS)));
        return true;
    }

    bool apply_read_timeout(int) override { return socket_ != nullptr; }
    // No turn pause: the server gives the far line its turns.
    void begin_read() override {}
    void settle_output() override {}

    // The read loop every kind of port shares, over the waits of a connection.
    int read_span(uint8_t* dst, int n) override {
        return serial_line::read_loop(dst, n, [this](uint8_t* into, int want, int waitMs) {
            return wait_and_read(into, want, waitMs);
        });
    }

    // One wait of a read: the data already received, else at most waitMs for
    // the connection, then what it brought, up to `want` bytes. A count, or
    // WAIT_OVER (nothing within the wait), WOKEN (back early: an interrupt,
    // or only Telnet's own bytes came, which are no byte of the line) or
    // HUNG_UP (the connection is gone).
    int wait_and_read(uint8_t* dst, int want, int waitMs) {
        if (const size_t got = take(dst, static_cast<size_t>(want)); got > 0) return static_cast<int>(got);
        if (!socket_ || lost_) return HUNG_UP;
        Fault fault;
        switch (socket_->wait_readable(Clock::now() + milliseconds(waitMs), fault)) {
        case Socket::Wait::TimedOut: return WAIT_OVER;
        case Socket::Wait::Interrupted: return WOKEN;
        case Socket::Wait::Failed: lose(fault); return HUNG_UP;
        case Socket::Wait::Ready: break;
        }
        if (!receive_once()) return HUNG_UP;
        const size_t got = take(dst, static_cast<size_t>(want));
        return got > 0 ? static_cast<int>(got) : WOKEN;
    }

    int write(const uint8_t* bytes, int n) override {
        if (!socket_ || lost_) {
            trace(TRACE_ERROR, "Cannot write data\n");
            return -1;
        }
        if (n <= 0) return 0;
        const auto deadline = Clock::now() + WRITE_SLACK +
                              2 * serial_line::wire_time(static_cast<uint64_t>(n), line().baudRate);
        const uint8_t* out = bytes;
        size_t size = static_cast<size_t>(n);
        if (rfc2217_) {
            // A server that asked us to hold back is given until the deadline to resume.
            if (client_->suspended()) pump_until(deadline, [this] { return !client_->suspended() || lost_; });
            client_->send_data(bytes, size);
            out = client_->outgoing().data();
            size = client_->outgoing().size();
        }
        Fault fault;
        const size_t sent = socket_->send(out, size, deadline, fault);
        if (rfc2217_) client_->outgoing().clear();
        if (sent < size) {
            if (fault.failure != Failure::TimedOut) {
                lose(fault);
                trace(TRACE_ERROR, "Cannot write data\n");
                return -1;
            }
            // What the server took is as good as nothing: the command is cut short.
            return static_cast<int>(std::min(sent, static_cast<size_t>(n - 1)));
        }
        // Written to the connection: the bytes leave the far port at its rate from now.
        line().wrote(Clock::now(), static_cast<uint64_t>(n));
        return n;
    }

    bool input_waiting() override {
        // What is there to read now; a server that sends nothing but Telnet's
        // own bytes is not read for ever.
        for (int i = 0; i < RECEIVES_AT_ONCE && waiting() == 0 && socket_ && !lost_; ++i) {
            if (!receive_once() || !lastReceiveGot_) break;
        }
        return waiting() > 0;
    }

    void close() override {
        if (socket_) socket_->close();
        reset();
    }

private:
    void reset() {
        socket_.reset();
        client_.reset();
        raw_.clear();
        rawBegin_ = 0;
        rfc2217_ = false;
        setUp_ = false;
        lost_ = false;
        roundTrip_ = {};
    }

    bool fail(Failure failure, const std::string& detail) {
        return fail(Fault{failure, net::system_code(failure), ""}, detail);
    }
    bool fail(const Fault& fault, const std::string& detail) {
        the_status().fault = fault;
        if (!detail.empty()) the_status().detail = detail;
        return fail_open();
    }
    bool fail_open() {
        line().lastError = the_status().fault.code != 0 ? the_status().fault.code
                                                        : net::system_code(the_status().fault.failure);
        if (socket_) socket_->close();
        reset();
        return false;
    }

    void note(const std::string& text) {
        std::string noted = url_ + ": " + text;
        trace(TRACE_COMM, "%s\n", noted.c_str());
        the_notes().push_back(std::move(noted));
    }

    // The connection is gone: the line is lost for good on this opening.
    void lose(const Fault& fault) {
        lost_ = true;
        line().portLost = true;
        the_status().fault = fault.failure == Failure::None ? Fault{Failure::Closed, 0, ""} : fault;
    }

    size_t waiting() const { return rfc2217_ ? client_->data_waiting() : raw_.size() - rawBegin_; }

    size_t take(uint8_t* dst, size_t n) {
        if (rfc2217_) return client_ ? client_->take(dst, n) : 0;
        const size_t count = std::min(n, raw_.size() - rawBegin_);
        std::copy_n(raw_.data() + rawBegin_, count, dst);
        rawBegin_ += count;
        if (rawBegin_ == raw_.size()) {
            raw_.clear();
            rawBegin_ = 0;
        }
        return count;
    }

    // One receive from the connection, fed to the codec or kept as it is,
    // and the codec's answers sent. False when the connection is gone.
    bool receive_once() {
        lastReceiveGot_ = false;
        std::array<uint8_t, RECEIVE_CHUNK> buffer;
        Fault fault;
        const long r = socket_->receive(buffer.data(), buffer.size(), fault);
        if (r == Socket::NOTHING_YET) return true;
        if (r == 0 || r == Socket::FAILED) {
            lose(r == 0 ? Fault{Failure::Closed, net::system_code(Failure::Closed), "closed by the far end"}
                        : fault);
            return false;
        }
        lastReceiveGot_ = true;
        const size_t count = static_cast<size_t>(r);
        if (!rfc2217_) {
            raw_.insert(raw_.end(), buffer.data(), buffer.data() + count);
            return true;
        }
        client_->received(buffer.data(), count);
        if (client_->broken()) {
            lose(Fault{Failure::Broken, net::system_code(Failure::Broken), "the Telnet stream broke off"});
            return false;
        }
        return flush();
    }

    // The Telnet bytes the codec has to send (answers to negotiations).
    bool flush() {
        if (!client_ || client_->outgoing().empty()) return true;
        std::vector<uint8_t>& out = client_->outgoing();
        Fault fault;
        const size_t sent = socket_->send(out.data(), out.size(), Clock::now() + WRITE_SLACK, fault);
        const bool all = sent == out.size();
        out.clear();
        if (!all) lose(fault);
        return all;
    }

    // Reads from the connection until `done` holds or `wait` passes; false
    // when the connection failed or the wait ended first.
    template <class Done> bool pump_until(Clock::duration wait, Done done) {
        return pump_until(Clock::now() + wait, done);
    }
    template <class Done> bool pump_until(Clock::time_point deadline, Done done) {
        if (!flush()) return fail_status();
        while (!done()) {
            Fault fault;
            const Socket::Wait w = socket_->wait_readable(deadline, fault);
            if (w == Socket::Wait::TimedOut) return false;
            if (w == Socket::Wait::Interrupted) {
                the_status().fault = Fault{Failure::TimedOut, net::system_code(Failure::TimedOut), ""};
                the_status().detail = "interrupted";
                return false;
            }
            if (w == Socket::Wait::Failed) {
                lose(fault);
                return fail_status();
            }
            if (!receive_once()) return fail_status();
        }
        return true;
    }
    // A failure met while the opening waits is the opening's.
    bool fail_status() {
        if (the_status().fault.failure == Failure::None)
            the_status().fault = Fault{Failure::Closed, net::system_code(Failure::Closed), ""};
        return false;
    }

    // rfc2217://: the far port's line, confirmed; its buffers emptied. The
    // first time, DTR is raised too, as on a local port, asked before the
    // settings: a server answers its requests in order, so one that has
    // answered the settings and not DTR answers no modem-control request (one
    // in front of a pseudo-terminal), and costs no wait.
    //
    // The purge goes with the settings where the connection acknowledges what
    // arrives at once; elsewhere only once the settings are answered: asked
    // together, a server that answers the purge at once would hold the
    // settings' answers back until its first answer is acknowledged (Nagle's
    // rule against the delayed acknowledgement), up to 200 ms.
    bool setup_far_port(int baudRate, bool first) {
        const auto asked = Clock::now();
        client_->request_line(static_cast<uint32_t>(baudRate), first);
        const bool together = socket_->acknowledges_at_once();
        if (together) client_->request_purge();
        const bool answered = pump_until(milliseconds(net::NEGOTIATION_WAIT_MS), [this] {
            return client_->settings_confirmed() || !client_->settings_refused().empty();
        });
        if (!client_->settings_confirmed()) {
            if (lost_ || (!answered && the_status().fault.failure == Failure::Closed)) {
                the_status().detail = "the connection closed while the line settings were made";
                line().lastError = the_status().fault.code ? the_status().fault.code
                                                           : net::system_code(the_status().fault.failure);
                return false;
            }
            const std::string refused = client_->settings_refused();
            if (!refused.empty()) {
                setup_failed(Failure::SettingsRefused, "the server answered " + refused + " for " +
                                                           std::to_string(baudRate) + " baud 8N1");
            } else {
                setup_failed(Failure::SettingsUnconfirmed, "no answer within " +
                                                               std::to_string(net::NEGOTIATION_WAIT_MS) +
                                                               " ms to: " + client_->settings_missing());
            }
            return false;
        }
        // The round trip of a request through the server's software: the
        // measure that counts for an answer, when larger than the handshake's.
        roundTrip_ = std::max(roundTrip_, Clock::now() - asked);
        note(std::to_string(baudRate) +
             " baud, 8 data bits, no parity, 1 stop bit, no flow control confirmed; round trip " +
             round_trip_text(roundTrip_));
        if (!together) client_->request_purge();
        pump_until(milliseconds(net::ANSWER_WAIT_MS), [this] { return client_->purge_answered(); });
        if (lost_) {
            line().lastError = the_status().fault.code ? the_status().fault.code
                                                       : net::system_code(the_status().fault.failure);
            return false;
        }
        if (first && !client_->modem_control_answered())
            note(client_->purge_answered() ? "the server answered no modem-control request (DTR on); going on"
                                           : "the server answered neither DTR on nor the purge within " +
                                                 std::to_string(net::ANSWER_WAIT_MS) + " ms; going on");
        else if (first && !client_->dtr_on())
            note("the server answered DTR off to DTR on; going on");
        else if (!client_->purge_answered())
            note("the server did not answer the purge within " + std::to_string(net::ANSWER_WAIT_MS) +
                 " ms; going on");
        if (!client_->purge_answered()) client_->drop_data();
        return true;
    }

    void setup_failed(Failure failure, const std::string& detail) {
        the_status().fault = Fault{failure, net::system_code(failure), ""};
        the_status().detail = detail;
        line().lastError = net::system_code(failure);
    }

    // socket://: nothing is set on the far port; what has arrived is dropped
    // as a local port's buffers are emptied.
    bool setup_raw(int baudRate, bool first) {
        for (int i = 0; i < RECEIVES_AT_ONCE && input_waiting(); ++i) {
            raw_.clear();
            rawBegin_ = 0;
        }
        raw_.clear();
        rawBegin_ = 0;
        if (lost_) {
            line().lastError = the_status().fault.code ? the_status().fault.code
                                                       : net::system_code(the_status().fault.failure);
            return false;
        }
        if (first) {
            note("raw TCP, round trip " + round_trip_text(roundTrip_) +
                 "; the line settings are the server's own (kelvor sets nothing)");
        } else {
            note("the module now talks at " + std::to_string(baudRate) +
                 " baud: set the server's port to that rate too (kelvor sets nothing over socket://)");
        }
        return true;
    }

    std::string url_;
    std::unique_ptr<Socket> socket_;
    std::unique_ptr<rfc2217::Client> client_;
    std::vector<uint8_t> raw_;
    size_t rawBegin_ = 0;
    bool rfc2217_ = false;
    bool setUp_ = false;
    bool lost_ = false;
    bool lastReceiveGot_ = false;
    Clock::duration roundTrip_{};
};

} // namespace

port_kind::Kind& port_kind::network_port() {
    return line_state::part<NetPort>(line_state::NET_PORT);
}

const net::Status& net::status() {
    return the_status();
}

const std::vector<std::string>& net::opening_notes() {
    return the_notes();
}

long long net::round_trip_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(line().networkDelay).count();
}

void net::use_sockets(SocketMaker make) {
    socket_maker() = make;
}

} // namespace kelvor
