// Runs the same script through two Telnet codecs and records what each did,
// in a form in which equal behaviour compares equal: the data received and the
// bytes to send each as one stream, every other event in order. Warnings are
// left out (libtelnet also warns about malformed forms of options we never
// take); after an error a codec reads nothing more, so the record ends there.
//
// A script is bytes: an operation byte, then its arguments.
//   op % 4 == 0: receive the next (b % 48) + 1 bytes
//   op % 4 == 1: negotiate(WILL + b % 4, option o); with `onOnly` (the calls
//                the RFC 2217 client makes) WONT is asked as WILL, DONT as DO
//   op % 4 == 2: send the next (b % 16) + 1 bytes as data
//   op % 4 == 3: subnegotiate(option o, the next (b % 8) bytes)
// where b is the byte after op and o picks an option (BINARY, ECHO, SGA,
// COM-PORT-OPTION, COMPRESS2 or the byte itself). libtelnet takes some
// requests to turn an option off otherwise than RFC 1143 says (a WONT that
// meets our queued DO sends no DO), so the two codecs are compared on the
// requests that the client makes, which only ever turn options on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/Telnet.h"

namespace telnetdiff {

using kelvor::telnet::Event;

struct Record final : kelvor::telnet::Sink {
    std::vector<uint8_t> data;
    std::vector<uint8_t> sent;
    std::vector<std::string> events;
    bool failed = false;

    void telnet_event(Event e, uint8_t code, const uint8_t* bytes, size_t n) override {
        if (failed) return;
        switch (e) {
        case Event::Data: data.insert(data.end(), bytes, bytes + n); return;
        case Event::Send: sent.insert(sent.end(), bytes, bytes + n); return;
        case Event::Warning: return;
        case Event::Error: failed = true; break;
        default: break;
        }
        std::string text = std::to_string(static_cast<int>(e)) + ":" + std::to_string(code);
        if (e == Event::Subnegotiation) {
            text += "[";
            for (size_t i = 0; i < n; ++i) text += std::to_string(bytes[i]) + " ";
            text += "]";
        }
        // Where in the data stream the event came.
        events.push_back(text + "@" + std::to_string(data.size()) + "/" + std::to_string(sent.size()));
    }
    bool operator==(const Record& o) const {
        return data == o.data && sent == o.sent && events == o.events && failed == o.failed;
    }
};

inline uint8_t pick_option(uint8_t b) {
    static constexpr uint8_t OPTIONS[] = {0, 1, 3, 44, 86};
    return b % 8 < 5 ? OPTIONS[b % 8] : b;
}

// Runs `script` through a codec made by `make`.
inline Record run(std::unique_ptr<kelvor::telnet::Codec> (*make)(kelvor::telnet::Sink&),
                  const uint8_t* script, size_t n, bool onOnly = false) {
    Record r;
    auto codec = make(r);
    size_t i = 0;
    auto next = [&]() -> uint8_t { return i < n ? script[i++] : 0; };
    while (i < n && !r.failed) {
        const uint8_t op = next();
        const uint8_t b = next();
        switch (op % 4) {
        case 0: {
            const size_t count = std::min<size_t>(b % 48 + 1, n - i);
            codec->receive(script + i, count);
            i += count;
            break;
        }
        case 1: {
            const uint8_t command = onOnly ? (b % 4 >= 2 ? kelvor::telnet::DO : kelvor::telnet::WILL)
                                           : static_cast<uint8_t>(kelvor::telnet::WILL + b % 4);
            codec->negotiate(command, pick_option(next()));
            break;
        }
        case 2: {
            const size_t count = std::min<size_t>(b % 16 + 1, n - i);
            codec->send(script + i, count);
            i += count;
            break;
        }
        case 3: {
            const uint8_t option = pick_option(next());
            const size_t count = std::min<size_t>(b % 8, n - i);
            codec->subnegotiate(option, script + i, count);
            i += count;
            break;
        }
        }
    }
    return r;
}

// The bytes a script has the codec receive, its receive steps joined.
inline std::vector<uint8_t> received(const uint8_t* script, size_t n) {
    static thread_local std::vector<uint8_t>* into = nullptr;
    struct Bytes final : kelvor::telnet::Codec {
        void receive(const uint8_t* bytes, size_t count) override { into->insert(into->end(), bytes, bytes + count); }
        void send(const uint8_t*, size_t) override {}
        void negotiate(uint8_t, uint8_t) override {}
        void subnegotiate(uint8_t, const uint8_t*, size_t) override {}
    };
    std::vector<uint8_t> in;
    into = &in;
    run([](kelvor::telnet::Sink&) -> std::unique_ptr<kelvor::telnet::Codec> { return std::make_unique<Bytes>(); },
        script, n);
    into = nullptr;
    return in;
}

// libtelnet also parses the subnegotiations of options we never take
// (terminal type, environment, ZMP, MSSP); one of those that is malformed
// and ended by IAC and a byte other than SE makes it pass over that byte.
// A script whose received bytes may hold one (SB followed by such an option
// anywhere in them, whichever receive steps the two bytes came in) is no fair
// comparison: it runs through our codec alone.
inline bool comparable(const uint8_t* script, size_t n) {
    const std::vector<uint8_t> in = received(script, n);
    for (size_t i = 0; i + 1 < in.size(); ++i) {
        if (in[i] != kelvor::telnet::SB) continue;
        switch (in[i + 1]) {
        case 24: // TERMINAL-TYPE
        case 36: // ENVIRON
        case 39: // NEW-ENVIRON
        case 70: // MSSP
        case 93: // ZMP
            return false;
        default: break;
        }
    }
    return true;
}

} // namespace telnetdiff
