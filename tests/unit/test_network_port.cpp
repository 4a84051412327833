// A port behind a network server, against a scripted server: the opening's
// negotiation and what it confirms, the bytes both ways, the time rule, a
// lost connection, and what each failure leaves for the diagnosis.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "FakeSocket.h"
#include "ModuleSDK.h"
#include "port/NetCommon.h"
#include "port/NetPort.h"
#include "port/Rfc2217.h"
#include "port/SerialLine.h"

using namespace kelvor;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t IAC = telnet::IAC, SB = telnet::SB, SE = telnet::SE, WILL = telnet::WILL, DO = telnet::DO,
                  DONT = telnet::DONT;

Bytes sb(std::initializer_list<uint8_t> body) {
    Bytes b = {IAC, SB, telnet::COM_PORT_OPTION};
    b.insert(b.end(), body);
    b.insert(b.end(), {IAC, SE});
    return b;
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bool holds(const Bytes& hay, const Bytes& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// What ser2net sends when a client connects, and its answers to 115200 8N1.
const Bytes GREETING = {IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44};
const Bytes CONFIRMED = sb({101, 0, 1, 0xc2, 0}) + sb({102, 8}) + sb({103, 1}) + sb({104, 1}) + sb({105, 1});
const Bytes PURGED = sb({112, 3});

bool has_note(const std::string& part) {
    for (const std::string& n : net::opening_notes())
        if (n.find(part) != std::string::npos) return true;
    return false;
}

class NetworkPort : public ::testing::Test {
protected:
    void SetUp() override { trace_reset(-1); }
    void TearDown() override { serial_close(); }
    fakesocket::Server& server() { return fakesocket::server(); }
    fakesocket::Use use_;
};

TEST_F(NetworkPort, Rfc2217OpeningSetsTheFarLineAndGoesOnWithoutModemControl) {
    server().chunks = {GREETING, CONFIRMED, PURGED};
    ASSERT_EQ(serial_open("rfc2217://door.example:4001"), 0);
    EXPECT_EQ(server().host, "door.example");
    EXPECT_EQ(server().port, 4001);
    ASSERT_EQ(serial_setup(115200), 0);
    const Bytes& sent = server().received;
    EXPECT_TRUE(holds(sent, {IAC, WILL, 44}));
    EXPECT_TRUE(holds(sent, sb({1, 0, 1, 0xc2, 0}))) << "SET-BAUDRATE 115200, big-endian";
    for (const Bytes& s : {sb({2, 8}), sb({3, 1}), sb({4, 1}), sb({5, 1}), sb({5, 8}), sb({12, 3})})
        EXPECT_TRUE(holds(sent, s));
    EXPECT_TRUE(has_note("115200 baud, 8 data bits, no parity, 1 stop bit, no flow control confirmed"));
    EXPECT_TRUE(has_note("answered no modem-control request (DTR on); going on"));
    EXPECT_EQ(net::status().fault.failure, net::Failure::None);
    EXPECT_EQ(net::status().peer, "192.0.2.1:4001");
    // A baud-rate change asks for the new rate, without DTR again.
    server().received.clear();
    server().chunks = {
        sb({101, 0, 0, 0x25, 0x80}) + sb({102, 8}) + sb({103, 1}) + sb({104, 1}) + sb({105, 1}), PURGED};
    ASSERT_EQ(serial_setup(9600), 0);
    EXPECT_TRUE(holds(server().received, sb({1, 0, 0, 0x25, 0x80})));
    EXPECT_FALSE(holds(server().received, sb({5, 8})));
}

TEST_F(NetworkPort, ThePurgeGoesWithTheSettingsOnlyWhereTheConnectionAcknowledgesAtOnce) {
    for (const bool atOnce : {true, false}) {
        SCOPED_TRACE(atOnce);
        server() = fakesocket::Server{};
        server().acksAtOnce = atOnce;
        server().chunks = {GREETING, CONFIRMED, PURGED};
        ASSERT_EQ(serial_open("rfc2217://h:1"), 0);
        ASSERT_EQ(serial_setup(115200), 0);
        const Bytes& sent = server().received;
        const Bytes purge = sb({12, 3}), dtr = sb({5, 8}), rate = sb({1, 0, 1, 0xc2, 0});
        const auto at = [&sent](const Bytes& b) {
            return static_cast<size_t>(std::search(sent.begin(), sent.end(), b.begin(), b.end()) -
                                       sent.begin());
        };
        ASSERT_EQ(server().sentBeforeChunk.size(), 3u);
        // The settings' answers are the second chunk taken.
        EXPECT_EQ(at(purge) < server().sentBeforeChunk[1], atOnce);
        EXPECT_LT(at(dtr), at(rate)) << "DTR is asked before the settings";
        serial_close();
    }
}

TEST_F(NetworkPort, AServerThatAnswersNeitherDtrNorThePurgeStopsNoOpening) {
    server().chunks = {GREETING, CONFIRMED};
    ASSERT_EQ(serial_open("rfc2217://h:1"), 0);
    EXPECT_EQ(serial_setup(115200), 0);
    EXPECT_TRUE(has_note("answered neither DTR on nor the purge within 500 ms; going on"));
}

TEST_F(NetworkPort, DataCrossesWithItsIacBytesEscapedBothWays) {
    server().chunks = {GREETING, CONFIRMED + sb({105, 8}), PURGED};
    ASSERT_EQ(serial_open("rfc2217://h:1"), 0);
    ASSERT_EQ(serial_setup(115200), 0);
    EXPECT_FALSE(has_note("modem-control"));
    server().received.clear();
    const uint8_t out[] = {0x40, 0xff, 0x0d, 0x0a};
    EXPECT_EQ(serial_write(out, 4), 4);
    EXPECT_EQ(server().received, Bytes({0x40, 0xff, 0xff, 0x0d, 0x0a})) << "BINARY: CR goes as it is";
    // Telnet's own bytes between the data, and a notice of the modem lines.
    server().chunks = {{0x41, IAC, IAC}, sb({107, 0x30}) + Bytes{IAC, 241, 0x42}};
    ASSERT_EQ(serial_set_read_timeout(50), 0);
    uint8_t in[3] = {};
    EXPECT_EQ(serial_read(in, 3), 3);
    EXPECT_EQ(Bytes(in, in + 3), Bytes({0x41, 0xff, 0x42}));
}

TEST_F(NetworkPort, WhatCameBeforeThePurgeIsDropped) {
    server().chunks = {GREETING, Bytes{'o', 'l', 'd'} + CONFIRMED, PURGED + Bytes{'n', 'e', 'w'}};
    ASSERT_EQ(serial_open("rfc2217://h:1"), 0);
    ASSERT_EQ(serial_setup(115200), 0);
    ASSERT_EQ(serial_set_read_timeout(50), 0);
    uint8_t in[8] = {};
    EXPECT_EQ(serial_read(in, 8), 3);
    EXPECT_EQ(Bytes(in, in + 3), Bytes({'n', 'e', 'w'}));
}

TEST_F(NetworkPort, WithoutBinaryACarriageReturnTravelsAsCrNul) {
    // A server that leaves BINARY off both ways.
    server().chunks = {{IAC, DO, 44, IAC, DONT, 0}, CONFIRMED, PURGED + Bytes{'a', 0x0d, 0x00, 'b'}};
    ASSERT_EQ(serial_open("rfc2217://h:1"), 0);
    ASSERT_EQ(serial_setup(115200), 0);
    ASSERT_EQ(serial_set_read_timeout(50), 0);
    uint8_t in[4] = {};
    EXPECT_EQ(serial_read(in, 4), 3);
    EXPECT_EQ(Bytes(in, in + 3), Bytes({'a', 0x0d, 'b'}));
    server().received.clear();
    const uint8_t out[] = {0x0d, 'c'};
    EXPECT_EQ(serial_write(out, 2), 2);
    EXPECT_EQ(server().received, Bytes({0x0d, 0x00, 'c'}));
}

TEST_F(NetworkPort, ASignatureRequestIsAnswered) {
    server().chunks = {GREETING, CONFIRMED, PURGED + sb({100})};
    ASSERT_EQ(serial_open("rfc2217://h:1"), 0);
    ASSERT_EQ(serial_setup(115200), 0);
    serial_input_waiting();
    EXPECT_TRUE(holds(server().received, sb({0, 'k', 'e', 'l', 'v', 'o', 'r'})));
}

TEST_F(NetworkPort, AConnectionClosedInTheMiddleIsALostLine) {
    server().chunks = {GREETING, CONFIRMED, PURGED, {0x40, 0x04}};
    server().closeAtEnd = true;
    ASSERT_EQ(serial_open("rfc2217://h:1"), 0);
    ASSERT_EQ(serial_setup(115200), 0);
    ASSERT_EQ(serial_set_read_timeout(1000), 0);
    EXPECT_FALSE(serial_port_lost());
    uint8_t in[13] = {};
    EXPECT_EQ(serial_read(in, 13), 2) << "what came before the end is handed over";
    EXPECT_TRUE(serial_port_lost());
    EXPECT_EQ(serial_read(in, 13), -1);
    EXPECT_EQ(serial_write(in, 13), -1);
    EXPECT_EQ(net::status().fault.failure, net::Failure::Closed);
}

TEST_F(NetworkPort, RawSocketPassesEveryByteAndDropsWhatCameBeforeTheSetup) {
    server().chunks = {{'x', 'y'}};
    ASSERT_EQ(serial_open("socket://[2001:db8::7]:4001"), 0);
    EXPECT_EQ(server().host, "2001:db8::7");
    ASSERT_EQ(serial_setup(57600), 0);
    EXPECT_TRUE(server().received.empty()) << "socket:// sets nothing on the far port";
    EXPECT_TRUE(has_note("the line settings are the server's own"));
    const uint8_t out[] = {0xff, 0x0d, 0x00};
    EXPECT_EQ(serial_write(out, 3), 3);
    EXPECT_EQ(server().received, Bytes(out, out + 3));
    server().chunks = {{0xff, IAC, 0x01}};
    ASSERT_EQ(serial_set_read_timeout(50), 0);
    uint8_t in[4] = {};
    EXPECT_EQ(serial_read(in, 4), 3);
    EXPECT_EQ(Bytes(in, in + 3), Bytes({0xff, 0xff, 0x01}));
}

TEST_F(NetworkPort, TheFirstBytesWaitIsWidenedByTheRoundTripAndTheTurnPauseIsLeftOut) {
    server().chunks = {GREETING, CONFIRMED, PURGED};
    ASSERT_EQ(serial_open("rfc2217://h:1"), 0);
    ASSERT_EQ(serial_setup(115200), 0);
    ASSERT_EQ(serial_set_read_timeout(100), 0);
    serial_line::line().networkDelay = std::chrono::milliseconds(150);
    serial_set_turn_pause(400);
    const auto start = serial_line::Clock::now();
    const auto deadline = serial_line::line().first_deadline();
    EXPECT_GE(deadline - start, std::chrono::milliseconds(250));
    EXPECT_LT(deadline - start, std::chrono::milliseconds(300));
    EXPECT_EQ(serial_begin_read(), 0);
    EXPECT_LT(serial_line::Clock::now() - start, std::chrono::milliseconds(100)) << "no turn pause";
}

struct Failing {
    const char* name;
    const char* port;
    std::vector<Bytes> chunks;
    bool closes;
    net::Failure failure;
    const char* detail; // part of the status's detail
    bool opens;         // serial_open succeeds (the failure is the setup's)
};

TEST_F(NetworkPort, FailuresOfTheOpeningAreToldApart) {
    const Failing rows[] = {
        {"a URL that names no port",
         "rfc2217://h",
         {},
         false,
         net::Failure::BadAddress,
         "the port number is missing",
         false},
        {"a server that does not take the option",
         "rfc2217://h:1",
         {{IAC, WILL, 1, IAC, DONT, 44}},
         false,
         net::Failure::NotRfc2217,
         "no COM-PORT-OPTION",
         false},
        {"a server that closes at once", "rfc2217://h:1", {}, true, net::Failure::Closed, "", false},
        {"a server that starts compressed Telnet",
         "rfc2217://h:1",
         {{IAC, SB, 86, IAC, SE, 0x78}},
         false,
         net::Failure::Broken,
         "",
         false},
        {"another rate answered",
         "rfc2217://h:1",
         {GREETING, sb({101, 0, 0, 0xe1, 0}) + sb({102, 8}) + sb({103, 1}) + sb({104, 1}) + sb({105, 1})},
         false,
         net::Failure::SettingsRefused,
         "57600 baud",
         true},
        {"7 data bits answered",
         "rfc2217://h:1",
         {GREETING, sb({101, 0, 1, 0xc2, 0}) + sb({102, 7}) + sb({103, 1}) + sb({104, 1}) + sb({105, 1})},
         false,
         net::Failure::SettingsRefused,
         "7 data bits",
         true},
        {"settings never answered",
         "rfc2217://h:1",
         {GREETING, sb({101, 0, 1, 0xc2, 0})},
         false,
         net::Failure::SettingsUnconfirmed,
         "data bits, parity, stop bits, flow control",
         true},
        {"closed while the settings are made",
         "rfc2217://h:1",
         {GREETING},
         true,
         net::Failure::Closed,
         "closed while the line settings",
         true},
    };
    for (const Failing& r : rows) {
        SCOPED_TRACE(r.name);
        server() = fakesocket::Server{};
        for (const Bytes& c : r.chunks) server().chunks.push_back(c);
        server().closeAtEnd = r.closes;
        const int opened = serial_open(r.port);
        EXPECT_EQ(opened == 0, r.opens);
        if (opened == 0) {
            EXPECT_EQ(serial_setup(115200), -1);
        }
        EXPECT_EQ(net::status().fault.failure, r.failure);
        // The system's own code for it (errno, a Winsock code).
        EXPECT_EQ(serial_last_error(), net::system_code(r.failure));
        EXPECT_NE(net::status().detail.find(r.detail), std::string::npos) << net::status().detail;
        serial_close();
    }
}

TEST_F(NetworkPort, ARefusedConnectionKeepsTheSystemsError) {
    server().refuse = net::Fault{net::Failure::Refused, ECONNREFUSED, "Connection refused"};
    EXPECT_EQ(serial_open("socket://h:1"), -1);
    EXPECT_EQ(serial_last_error(), ECONNREFUSED);
    EXPECT_EQ(net::status().fault.failure, net::Failure::Refused);
    EXPECT_EQ(net::status().endpoint, "h:1");
}

// The connection both systems make of their own calls, over a scripted
// system: a literal "N" has N addresses (10.0.0.1 ..., the number kept as the
// family), "v6" one IPv6 address; any other name is looked up on the lookup's
// thread: "slow" in 500 ms, "none" answered without an address, any other
// unknown.
bool scripted_lookup(const std::string& host, const std::string&, bool literal,
                     std::vector<net::Address>& found, net::Fault& fault) {
    const unsigned char bytes = 0;
    if (literal) {
        if (host == "v6") net::keep_address(found, &bytes, 1, 1, true);
        if (host.size() == 1 && host[0] >= '1' && host[0] <= '9')
            for (int i = 0; i < host[0] - '0'; ++i) net::keep_address(found, &bytes, 1, i + 1, false);
        return !found.empty();
    }
    if (host == "slow") {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        net::keep_address(found, &bytes, 1, 1, false);
    }
    if (host == "slow" || host == "none") return true;
    fault = net::Fault{net::Failure::UnknownHost, 99, "no such name"};
    return false;
}

bool scripted_numeric(const net::Address& a, std::string& host, std::string& service) {
    host = a.ipv6 ? "::1" : "10.0.0." + std::to_string(a.family);
    service = "4001";
    return true;
}

const net::System SCRIPTED{scripted_lookup, scripted_numeric, 110, 6};

using net::Clock;

// Each address the connection tries meets the next of `faults` (None: taken).
class ScriptedSocket final : public net::SystemSocket {
public:
    explicit ScriptedSocket(std::vector<net::Fault> faults)
        : SystemSocket(SCRIPTED), faults_(std::move(faults)) {}
    size_t tried = 0;

    Clock::duration handshake_time() const override { return {}; }
    bool acknowledges_at_once() const override { return false; }
    Wait wait_readable(Clock::time_point, net::Fault&) override { return Wait::TimedOut; }
    long receive(uint8_t*, size_t, net::Fault&) override { return NOTHING_YET; }
    size_t send(const uint8_t*, size_t n, Clock::time_point, net::Fault&) override { return n; }
    void close() override {}

private:
    bool prepare(net::Fault&) override { return true; }
    bool try_address(const net::Address&, Clock::time_point, net::Fault& fault) override {
        const net::Fault f = tried < faults_.size() ? faults_[tried] : net::Fault{};
        ++tried;
        fault = f;
        return f.failure == net::Failure::None;
    }
    std::vector<net::Fault> faults_;
};

// When every address fails, the diagnosis names the most telling failure (the
// first of equals); a time-out past the deadline tries no further address.
TEST(SystemSocket, TheMostTellingFailureOfTheAddressesIsKept) {
    using F = net::Failure;
    struct Case {
        const char* host;
        std::vector<net::Fault> faults;
        bool connected;
        net::Fault fault; // what is kept
        size_t tried;
        std::string peer;
    };
    const net::Fault unreachable{F::Unreachable, 1, "u"}, unreachable2{F::Unreachable, 2, "u2"},
        refused{F::Refused, 3, "r"}, timedOut{F::TimedOut, 4, "t"}, closed{F::Closed, 5, "c"},
        other{F::Other, 6, "o"};
    const Case cases[] = {
        {"2", {unreachable, refused}, false, refused, 2, ""},
        {"2", {refused, timedOut}, false, refused, 2, ""},
        {"3", {closed, timedOut, other}, false, timedOut, 3, ""},
        {"3", {other, closed, unreachable}, false, closed, 3, ""},
        {"2", {unreachable, unreachable2}, false, unreachable, 2, ""},
        {"3", {unreachable, {}, refused}, true, {}, 2, "10.0.0.2:4001"},
        {"v6", {{}}, true, {}, 1, "[::1]:4001"},
        {"none", {}, false, {F::UnknownHost, 6, "the name has no address"}, 0, ""},
        {"unknown", {}, false, {F::UnknownHost, 99, "no such name"}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.host << ", " << c.faults.size() << " faults, " << c.tried);
        ScriptedSocket socket(c.faults);
        net::Fault fault;
        std::string peer;
        EXPECT_EQ(socket.connect(c.host, 4001, Clock::now() + std::chrono::seconds(5), fault, peer),
                  c.connected);
        EXPECT_EQ(socket.tried, c.tried);
        EXPECT_EQ(peer, c.peer);
        if (c.connected) continue;
        EXPECT_EQ(fault.failure, c.fault.failure);
        EXPECT_EQ(fault.code, c.fault.code);
        EXPECT_EQ(fault.text, c.fault.text);
    }
    ScriptedSocket late({timedOut, refused});
    net::Fault fault;
    std::string peer;
    EXPECT_FALSE(late.connect("2", 4001, Clock::now(), fault, peer));
    EXPECT_EQ(late.tried, 1u);
    EXPECT_EQ(fault.failure, F::TimedOut);
}

// A name's lookup is waited for until the deadline or an interrupt at most;
// one that answers in time connects.
TEST(SystemSocket, ALookupEndsAtTheDeadlineOrAnInterrupt) {
    struct Case {
        int waitMs;
        bool interrupt;
        bool connected;
        const char* text;
    };
    const Case cases[] = {
        {50, false, false, "the host name did not resolve in time"},
        {5000, true, false, "the lookup of the host name was interrupted"},
        {5000, false, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.waitMs);
        if (c.interrupt) serial_interrupt();
        ScriptedSocket socket(std::vector<net::Fault>(1));
        net::Fault fault;
        std::string peer;
        EXPECT_EQ(
            socket.connect("slow", 4001, Clock::now() + std::chrono::milliseconds(c.waitMs), fault, peer),
            c.connected);
        serial_clear_interrupt();
        if (c.connected) {
            EXPECT_EQ(peer, "10.0.0.1:4001");
            continue;
        }
        EXPECT_EQ(fault.failure, net::Failure::TimedOut);
        EXPECT_EQ(fault.code, 110);
        EXPECT_EQ(fault.text, c.text);
    }
}

TEST(Rfc2217Client, SettingsAnsweredOtherwiseAreNamedAndMissingOnesListed) {
    rfc2217::Client c(telnet::own_codec);
    c.request_line(19200, true);
    EXPECT_EQ(c.settings_missing(), "baud rate, data bits, parity, stop bits, flow control");
    const Bytes answers = sb({101, 0, 0, 0x4b, 0}) + sb({103, 2}) + sb({105, 3}) + sb({105, 9});
    c.received(answers.data(), answers.size());
    EXPECT_EQ(c.settings_refused(), "parity setting 2, flow control setting 3");
    EXPECT_EQ(c.settings_missing(), "data bits, stop bits");
    EXPECT_TRUE(c.modem_control_answered());
    EXPECT_FALSE(c.dtr_on());
    EXPECT_FALSE(c.settings_confirmed());
}

TEST(Rfc2217Client, SuspendAndResumeOfTheServersFlow) {
    rfc2217::Client c(telnet::own_codec);
    const Bytes suspend = sb({108});
    c.received(suspend.data(), suspend.size());
    EXPECT_TRUE(c.suspended());
    const Bytes resume = sb({109});
    c.received(resume.data(), resume.size());
    EXPECT_FALSE(c.suspended());
}

} // namespace
