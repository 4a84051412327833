// Telnet (RFC 854) as far as a serial port behind a network server needs it:
// the stream's data with its IAC bytes escaped both ways, option negotiation
// by the rules of RFC 1143 for the options we take (BINARY and
// SUPPRESS-GO-AHEAD both ways, COM-PORT-OPTION from our side; every other
// option is refused), and subnegotiations.
//
// Two codecs have this one interface: Debian's libtelnet where the build has
// it (Linux), and a small one of our own for the systems without it (the
// Windows program). They behave alike byte for byte on what a server sends,
// which a test checks on the same streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kelvor::telnet {

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t BINARY = 0, ECHO = 1, SGA = 3, COM_PORT_OPTION = 44, COMPRESS2 = 86;
// The longest subnegotiation kept; a longer one is dropped with a warning.
constexpr size_t SUBNEGOTIATION_MAX = 16384;

enum class Event {
    Data,           // bytes of the stream, unescaped
    Send,           // bytes to send to the peer, escaped
    Command,        // IAC and a command byte of no option (NOP, BREAK, ...): `code`
    Will,           // the peer enabled option `code` on its side (or took our DO)
    Wont,           // the peer's side of option `code` is off
    Do,             // our side of option `code` is on
    Dont,           // our side of option `code` is off
    Subnegotiation, // IAC SB `code` bytes IAC SE, unescaped
    Warning,        // a fault of the stream that was passed over
    Error,          // a fault after which the stream cannot be read any further
};

class Sink {
public:
    virtual void telnet_event(Event event, uint8_t code, const uint8_t* bytes, size_t n) = 0;

protected:
    ~Sink() = default;
};

class Codec {
public:
    virtual ~Codec() = default;
    // Bytes from the peer: events for the data, negotiations and subnegotiations in them.
    virtual void receive(const uint8_t* bytes, size_t n) = 0;
    // Data to the peer, IAC bytes doubled: Send events.
    virtual void send(const uint8_t* bytes, size_t n) = 0;
    // Asks for an option (WILL, WONT, DO or DONT), unless it is so already.
    virtual void negotiate(uint8_t command, uint8_t option) = 0;
    // IAC SB option bytes IAC SE, the bytes escaped.
    virtual void subnegotiate(uint8_t option, const uint8_t* bytes, size_t n) = 0;
};

// The codec of our own.
std::unique_ptr<Codec> own_codec(Sink& sink);
#ifdef KELVOR_LIBTELNET
// Debian's libtelnet behind the same interface.
std::unique_ptr<Codec> libtelnet_codec(Sink& sink);
#endif
// The codec the build uses: libtelnet where it has it.
std::unique_ptr<Codec> make_codec(Sink& sink);

} // namespace kelvor::telnet
