// The Telnet codec of our own: what it makes of a server's bytes and what it
// answers, checked on its own and, where the build has libtelnet, against
// libtelnet on the same streams (byte for byte, event for event).
#include <gtest/gtest.h>

#include <random>

#include "TelnetDiff.h"
#include "port/Telnet.h"

using namespace kelvor;
using Bytes = std::vector<uint8_t>;

namespace {

// A script that only receives `bytes`, in one piece.
Bytes receiving(const Bytes& bytes) {
    Bytes script;
    for (size_t at = 0; at < bytes.size(); at += 48) {
        const size_t n = std::min<size_t>(48, bytes.size() - at);
        script.push_back(0);
        script.push_back(static_cast<uint8_t>(n - 1));
        script.insert(script.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    return script;
}
// A script that asks for an option.
Bytes asking(uint8_t command, uint8_t option) {
    // pick_option(b) gives back b for b % 8 >= 5; the table's own values otherwise.
    const uint8_t code = option == 0 ? 0 : option == 1 ? 1 : option == 3 ? 2 : option == 44 ? 3 : 4;
    return {1, static_cast<uint8_t>(command - telnet::WILL), code};
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

telnetdiff::Record own(const Bytes& script) {
    return telnetdiff::run(telnet::own_codec, script.data(), script.size());
}

constexpr uint8_t IAC = telnet::IAC, SB = telnet::SB, SE = telnet::SE, WILL = telnet::WILL,
                  WONT = telnet::WONT, DO = telnet::DO, DONT = telnet::DONT;

struct Case {
    const char* name;
    Bytes script;
    Bytes data; // the data the codec hands over
    Bytes sent; // what it sends
    std::vector<std::string> events;
};

// Event texts as the record writes them: "kind:code@data/sent".
std::string ev(telnet::Event e, int code, size_t at, size_t sentAt) {
    return std::to_string(static_cast<int>(e)) + ":" + std::to_string(code) + "@" + std::to_string(at) + "/" +
           std::to_string(sentAt);
}

TEST(Telnet, OwnCodecOnTheStreamsAServerSends) {
    using E = telnet::Event;
    const Case cases[] = {
        {"data with a doubled IAC", receiving({'A', IAC, IAC, 'B'}), {'A', 0xff, 'B'}, {}, {}},
        {"data we send has its IAC doubled",
         {2, 3, 0xff, 0x00, 0x0d, 0x41},
         {},
         {0xff, 0xff, 0x00, 0x0d, 0x41},
         {}},
        {"BINARY offered and taken", receiving({IAC, WILL, 0}), {}, {IAC, DO, 0}, {ev(E::Will, 0, 0, 3)}},
        {"ECHO offered and refused", receiving({IAC, WILL, 1}), {}, {IAC, DONT, 1}, {}},
        {"COM-PORT-OPTION asked of us and given",
         receiving({IAC, DO, 44}),
         {},
         {IAC, WILL, 44},
         {ev(E::Do, 44, 0, 3)}},
        {"the server's own COM-PORT-OPTION refused", receiving({IAC, WILL, 44}), {}, {IAC, DONT, 44}, {}},
        {"our WILL confirmed by DO",
         asking(WILL, 44) + receiving({IAC, DO, 44}),
         {},
         {IAC, WILL, 44},
         {ev(E::Do, 44, 0, 3)}},
        {"our WILL refused: no event",
         asking(WILL, 44) + receiving({IAC, DONT, 44}),
         {},
         {IAC, WILL, 44},
         {}},
        {"an option on, then off",
         receiving({IAC, WILL, 0, IAC, WONT, 0}),
         {},
         {IAC, DO, 0, IAC, DONT, 0},
         {ev(E::Will, 0, 0, 3), ev(E::Wont, 0, 0, 6)}},
        {"a DO of what is on already is no news",
         receiving({IAC, DO, 3, IAC, DO, 3}),
         {},
         {IAC, WILL, 3},
         {ev(E::Do, 3, 0, 3)}},
        {"a subnegotiation with a doubled IAC",
         receiving({IAC, SB, 44, 101, 1, IAC, IAC, 2, IAC, SE, 'C'}),
         {'C'},
         {},
         {"7:44[101 1 255 2 ]@0/0"}},
        {"IAC and an unexpected byte end a subnegotiation",
         receiving({IAC, SB, 44, 1, IAC, 'A', 'B'}),
         {'B'},
         {},
         {"7:44[1 ]@0/0", ev(E::Command, 'A', 0, 0)}},
        {"a lone SE and a NOP are commands",
         receiving({'A', IAC, SE, IAC, 241, 'B'}),
         {'A', 'B'},
         {},
         {ev(E::Command, SE, 1, 0), ev(E::Command, 241, 1, 0)}},
        {"an IAC split over two receives",
         receiving({'A', IAC}) + receiving({IAC, 'B', IAC}) + receiving({WILL}) + receiving({3}),
         {'A', 0xff, 'B'},
         {IAC, DO, 3},
         {ev(E::Will, 3, 3, 3)}},
        // RFC 1143's queue: a request of the opposite while one is on its way.
        {"WILL then WONT before the DO: the DO is answered by WONT",
         asking(WILL, 44) + asking(WONT, 44) + receiving({IAC, DO, 44}) + receiving({IAC, DONT, 44}),
         {},
         {IAC, WILL, 44, IAC, WONT, 44},
         {ev(E::Do, 44, 0, 6), ev(E::Dont, 44, 0, 6)}},
        {"DONT then DO before the WONT: the DO goes out once the WONT came",
         receiving({IAC, WILL, 0}) + asking(DONT, 0) + asking(DO, 0) + receiving({IAC, WONT, 0}),
         {},
         {IAC, DO, 0, IAC, DONT, 0, IAC, DO, 0},
         {ev(E::Will, 0, 0, 3), ev(E::Wont, 0, 0, 9)}},
        {"compressed Telnet is the end of the stream",
         receiving({IAC, SB, 86, IAC, SE, 'x', 'y'}),
         {},
         {},
         {"7:86[]@0/0", ev(E::Error, 0, 0, 0)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const telnetdiff::Record r = own(c.script);
        EXPECT_EQ(r.data, c.data);
        EXPECT_EQ(r.sent, c.sent);
        EXPECT_EQ(r.events, c.events);
    }
}

TEST(Telnet, OwnCodecDropsASubnegotiationLongerThanItsBound) {
    Bytes stream = {IAC, SB, 44};
    stream.insert(stream.end(), telnet::SUBNEGOTIATION_MAX + 1, 7);
    stream.insert(stream.end(), {IAC, SE, 'Z'});
    const telnetdiff::Record r = own(receiving(stream));
    EXPECT_TRUE(r.events.size() == 1 && r.events[0].rfind("2:240@", 0) == 0) << r.events.size(); // IAC SE
    EXPECT_EQ(r.data, Bytes({'Z'}));
}

#ifdef KELVOR_LIBTELNET

// The same script through both codecs gives the same record.
::testing::AssertionResult alike(const Bytes& script) {
    const telnetdiff::Record a = telnetdiff::run(telnet::own_codec, script.data(), script.size(), true);
    const telnetdiff::Record b = telnetdiff::run(telnet::libtelnet_codec, script.data(), script.size(), true);
    if (a == b) return ::testing::AssertionSuccess();
    auto dump = [](const telnetdiff::Record& r) {
        std::string s = "data " + std::to_string(r.data.size()) + " sent";
        for (uint8_t x : r.sent) s += " " + std::to_string(x);
        for (const auto& e : r.events) s += " | " + e;
        return s + (r.failed ? " FAILED" : "");
    };
    std::string text;
    for (uint8_t x : script) text += std::to_string(x) + " ";
    return ::testing::AssertionFailure()
           << "script " << text << "\nown:       " << dump(a) << "\nlibtelnet: " << dump(b);
}

TEST(Telnet, OwnCodecAndLibtelnetAgreeOnFixedStreams) {
    const Bytes scripts[] = {
        receiving({'A', IAC, IAC, 'B', IAC, WILL, 0, IAC, WILL, 1, IAC, DO, 3, IAC, DO, 44, IAC, WILL, 44}),
        receiving({IAC, SB, 44, 101, 0, 1, 0xc2, 0, IAC, SE, IAC, SB, 44, 105, 1, IAC, SE}),
        receiving({IAC, SB, 44, 1, IAC, 'A', 'B'}),
        receiving({IAC, SB, IAC, IAC, 1, IAC, SE, 'D'}),
        receiving({IAC, SB, IAC, SE, 'E'}),
        asking(WILL, 0) + receiving({IAC, DONT, 0}) + asking(WILL, 0) + receiving({IAC, DO, 0, IAC, DO, 0}),
        asking(DO, 1) + asking(WILL, 1) + receiving({IAC, WILL, 1}),
        asking(WILL, 0) + asking(DO, 0) + receiving({IAC, WONT, 0, IAC, DO, 0, IAC, WILL, 0, IAC, WILL, 0}),
        // Options we never take, ended as they should be.
        receiving({IAC, SB, 24, 1, IAC, SE, IAC, SB, 39, 0, IAC, SE, IAC, SB, 93, 'A', IAC, SE, 'F'}),
        receiving({IAC, SB, 86, IAC, SE, 'x', 'y', 'z'}),
        receiving({IAC, SB, 86, 1, IAC, 'q', 'r'}),
    };
    for (const Bytes& s : scripts) EXPECT_TRUE(alike(s));
}

TEST(Telnet, OwnCodecAndLibtelnetAgreeOnRandomStreams) {
    // Bytes a server's stream is made of, the special ones often.
    static constexpr uint8_t ALPHABET[] = {IAC, IAC, IAC, SB, SE,  WILL, WONT, DO,   DONT, 0,   1,
                                           3,   44,  86,  24, 101, 105,  112,  0x0d, 'A',  241, 0x0a};
    std::mt19937 random(20240611);
    int compared = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes script(random() % 160);
        for (uint8_t& b : script)
            b = random() % 4 == 0 ? static_cast<uint8_t>(random()) : ALPHABET[random() % sizeof ALPHABET];
        if (!telnetdiff::comparable(script.data(), script.size())) continue;
        ++compared;
        ASSERT_TRUE(alike(script)) << "round " << round;
    }
    EXPECT_GT(compared, 15000);
}

TEST(Telnet, OwnCodecAndLibtelnetAgreeOnALongSubnegotiation) {
    for (size_t extra : {0, 1, 2}) {
        Bytes stream = {IAC, SB, 44};
        stream.insert(stream.end(), telnet::SUBNEGOTIATION_MAX - 1 + extra, 7);
        stream.insert(stream.end(), {IAC, IAC, IAC, SE, 'Z'});
        EXPECT_TRUE(alike(receiving(stream))) << extra;
    }
}

#endif

} // namespace
