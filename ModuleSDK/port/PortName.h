// What a port name names: a local serial device (/dev/ttyUSB0, COM3) or a
// serial port behind a network server, given as a URL:
//   rfc2217://HOST:PORT   Telnet with the COM-PORT-OPTION: the line settings
//                         are made on the far port
//   socket://HOST:PORT    raw TCP: the far port is set up on the server
// HOST is a name, an IPv4 address or an IPv6 address in brackets ([::1]).
// No system calls: the name is only read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvor::port_name {

// Other: a URL of a kind that names no port kelvor opens (tcp://, http://).
enum class Kind { Local, Rfc2217, Socket, Other };

struct Parsed {
    Kind kind = Kind::Local;
    std::string host; // without the brackets of an IPv6 address
    uint16_t port = 0;
    // Why a URL names no network port we can reach; empty when it does.
    std::string error;
};

// A name that begins with a URL scheme and "://" is a URL; anything else
// names a local device.
bool is_url(std::string_view name);

// The kind, host and port of a name. A local name comes back as it is
// (kind Local, no host); a URL that cannot be used carries its error.
Parsed parse(std::string_view name);

// HOST:PORT as a URL writes it ([HOST]:PORT for an IPv6 address).
std::string endpoint(const std::string& host, uint16_t port);

} // namespace kelvor::port_name
