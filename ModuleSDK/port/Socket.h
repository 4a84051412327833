// A TCP connection to a network server, as the system gives it (NetPosix.cpp,
// NetWin32.cpp, on what both share in NetCommon.cpp): name resolution and
// connection by a deadline, waits that serial_interrupt() ends, sends by a
// deadline, and the system's errors sorted into what a diagnosis tells.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kelvor::net {

using Clock = std::chrono::steady_clock;

// What went wrong with a network port.
enum class Failure {
    None,
    BadAddress,          // the URL names no port kelvor can reach
    UnknownHost,         // the host name does not resolve
    Refused,             // nothing listens on that port
    TimedOut,            // the host did not answer the connection in time
    Unreachable,         // no route to the host or its network
    Closed,              // the far end closed the connection
    NotRfc2217,          // the server did not take the COM-PORT-OPTION
    SettingsRefused,     // the server answered other line settings than asked
    SettingsUnconfirmed, // the server did not answer the line settings in time
    Broken,              // the Telnet stream cannot be read any further
    Other,
};

struct Fault {
    Failure failure = Failure::None;
    int code = 0;     // the system's error code (errno, a Winsock code); 0 when there is none
    std::string text; // the system's words for it
};

class Socket {
public:
    virtual ~Socket() = default;
    // Resolves `host` and connects to the first of its addresses that takes
    // the connection, by `deadline`; `peer` is the address connected to.
    virtual bool connect(const std::string& host, uint16_t port, Clock::time_point deadline, Fault& fault,
                         std::string& peer) = 0;
    // How long the handshake of the connection made took: one round trip.
    virtual Clock::duration handshake_time() const = 0;
    // What arrives is acknowledged at once, not after the system's delayed
    // acknowledgement: a peer that holds small writes until the last is
    // acknowledged (Nagle's rule) then never waits on us.
    virtual bool acknowledges_at_once() const = 0;
    enum class Wait { Ready, TimedOut, Interrupted, Failed };
    // Waits until something can be read (bytes or the end of the stream), the
    // deadline passes or serial_interrupt() is called.
    virtual Wait wait_readable(Clock::time_point deadline, Fault& fault) = 0;
    // What arrived, without waiting: the count (> 0), 0 when the far end
    // closed, NOTHING_YET, or FAILED with the fault set.
    static constexpr long NOTHING_YET = -2;
    static constexpr long FAILED = -1;
    virtual long receive(uint8_t* buffer, size_t n, Fault& fault) = 0;
    // Sends the bytes by the deadline: the count sent, fewer when the
    // deadline passed or the connection failed (the fault then set).
    virtual size_t send(const uint8_t* bytes, size_t n, Clock::time_point deadline, Fault& fault) = 0;
    virtual void close() = 0;
};

// A socket of the system.
std::unique_ptr<Socket> system_socket();

// The system's error code for a failure found above the sockets (a line
// setting the server refused), as serial_last_error() reports it.
int system_code(Failure failure);

} // namespace kelvor::net
