// Ports behind a network server against arbitrary input. The first byte picks
// what the rest is:
//   0  a port name: parsed; a URL that is accepted must give back a host
//      and a port that name it again
//   1  a Telnet script (TelnetDiff.h): our own codec must not fault, and
//      where the build has libtelnet must behave exactly as libtelnet does
//   2  what an RFC 2217 server sends, in chunks (a length byte, then the
//      bytes): the opening, then reads and writes until the stream ends
//   3  the same for a raw socket:// port
#include <cstdlib>
#include <string>
#include <string_view>

#include "FakeSocket.h"
#include "Harness.h"
#include "ModuleSDK.h"
#include "TelnetDiff.h"
#include "port/PortName.h"

using namespace kelvor;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void port_name_row(const uint8_t* data, size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const port_name::Parsed p = port_name::parse(name);
    require(port_name::is_url(name) == (p.kind != port_name::Kind::Local));
    if (p.kind == port_name::Kind::Local || !p.error.empty()) return;
    require(p.port != 0 && !p.host.empty());
    const std::string scheme = p.kind == port_name::Kind::Rfc2217 ? "rfc2217://" : "socket://";
    const port_name::Parsed again = port_name::parse(scheme + port_name::endpoint(p.host, p.port));
    require(again.error.empty() && again.host == p.host && again.port == p.port && again.kind == p.kind);
}

void telnet_row(const uint8_t* data, size_t size) {
    const telnetdiff::Record own = telnetdiff::run(telnet::own_codec, data, size, true);
#ifdef KELVOR_LIBTELNET
    if (!telnetdiff::comparable(data, size)) return;
    const telnetdiff::Record lib = telnetdiff::run(telnet::libtelnet_codec, data, size, true);
    require(own == lib);
#else
    (void)own;
#endif
}

void port_row(const char* name, const uint8_t* data, size_t size) {
    fakesocket::Use use;
    fakesocket::Server& server = fakesocket::server();
    for (size_t i = 0; i < size;) {
        const size_t n = std::min<size_t>(data[i], size - i - 1);
        server.chunks.emplace_back(data + i + 1, data + i + 1 + n);
        i += n + 1;
    }
    server.closeAtEnd = size % 2 == 1;
    if (serial_open(name) == 0 && serial_setup(115200) == 0 && serial_set_read_timeout(1) == 0) {
        uint8_t buffer[64];
        static constexpr uint8_t PACKET[] = {0x40, 0x04, 0xff, 0x0d, 0, 0, 0, 0, 0, 0, 0, 0x44, 0x0a};
        for (int round = 0; round < 64; ++round) {
            require(serial_write(PACKET, sizeof PACKET) <= static_cast<int>(sizeof PACKET));
            serial_input_waiting();
            const int r = serial_read(buffer, sizeof buffer);
            require(r <= static_cast<int>(sizeof buffer));
            if (r <= 0 && (serial_port_lost() || server.chunks.empty())) break;
        }
        serial_setup(9600);
    }
    serial_close();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::setup_once();
    if (size == 0) return 0;
    switch (data[0] % 4) {
    case 0: port_name_row(data + 1, size - 1); break;
    case 1: telnet_row(data + 1, size - 1); break;
    case 2: port_row("rfc2217://fuzz:1", data + 1, size - 1); break;
    case 3: port_row("socket://fuzz:1", data + 1, size - 1); break;
    }
    return 0;
}
