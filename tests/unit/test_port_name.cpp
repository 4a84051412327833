// Port names: which name a local device and which a port behind a network
// server, and what a URL that cannot be used is told.
#include <gtest/gtest.h>

#include "port/PortName.h"

using kelvor::port_name::Kind;

namespace {

struct Row {
    const char* name;
    Kind kind;
    const char* host;  // expected host when good
    uint16_t port;     // expected port when good
    const char* error; // part of the error when bad, nullptr when good
};

TEST(PortName, LocalNamesAndUrls) {
    const Row rows[] = {
        // Local devices, whatever they look like.
        {"/dev/ttyUSB0", Kind::Local, "", 0, nullptr},
        {"COM3", Kind::Local, "", 0, nullptr},
        {"\\\\.\\COM12", Kind::Local, "", 0, nullptr},
        {"orvanti", Kind::Local, "", 0, nullptr},
        {"localhost:2000", Kind::Local, "", 0, nullptr},
        {"rfc2217:/host:2000", Kind::Local, "", 0, nullptr},
        {"", Kind::Local, "", 0, nullptr},
        {"2000://x:1", Kind::Local, "", 0, nullptr},
        // The two kinds, any case of the scheme.
        {"rfc2217://localhost:2000", Kind::Rfc2217, "localhost", 2000, nullptr},
        {"RFC2217://door-1.plant.example:4001", Kind::Rfc2217, "door-1.plant.example", 4001, nullptr},
        {"socket://192.168.1.20:4001", Kind::Socket, "192.168.1.20", 4001, nullptr},
        {"socket://[::1]:65535", Kind::Socket, "::1", 65535, nullptr},
        {"rfc2217://[fe80::1%eth0]:1", Kind::Rfc2217, "fe80::1%eth0", 1, nullptr},
        {"rfc2217://[::ffff:127.0.0.1]:23", Kind::Rfc2217, "::ffff:127.0.0.1", 23, nullptr},
        {"socket://my_host:07", Kind::Socket, "my_host", 7, nullptr},
        // URLs that name no port.
        {"tcp://localhost:2000", Kind::Other, "", 0, "no port of the kind tcp://"},
        {"rfc2217://localhost", Kind::Rfc2217, "", 0, "the port number is missing"},
        {"rfc2217://localhost:", Kind::Rfc2217, "", 0, "the port number is missing"},
        {"rfc2217://:2000", Kind::Rfc2217, "", 0, "the host is missing"},
        {"rfc2217://", Kind::Rfc2217, "", 0, "the host is missing"},
        {"socket://host:0", Kind::Socket, "", 0, "0 is no TCP port"},
        {"socket://host:65536", Kind::Socket, "", 0, "above 65535"},
        {"socket://host:99999999999999999999", Kind::Socket, "", 0, "above 65535"},
        {"socket://host:-1", Kind::Socket, "", 0, "holds the character '-'"},
        {"socket://host:20x", Kind::Socket, "", 0, "holds the character 'x'"},
        {"rfc2217://host:2000/", Kind::Rfc2217, "", 0, "nothing after the port number"},
        {"rfc2217://host:2000?ign_set_control", Kind::Rfc2217, "", 0, "nothing after the port number"},
        {"rfc2217://host/x", Kind::Rfc2217, "", 0, "the port number is missing"},
        {"rfc2217://::1:2000", Kind::Rfc2217, "", 0, "goes in brackets"},
        {"rfc2217://[::1]", Kind::Rfc2217, "", 0, "the port number is missing"},
        {"rfc2217://[::1]2000", Kind::Rfc2217, "", 0, "follows the address after ':'"},
        {"rfc2217://[::1:2000", Kind::Rfc2217, "", 0, "closing bracket"},
        {"rfc2217://[]:2000", Kind::Rfc2217, "", 0, "no IPv6 address"},
        {"rfc2217://[host]:2000", Kind::Rfc2217, "", 0, "no IPv6 address"},
        {"rfc2217://[::g]:2000", Kind::Rfc2217, "", 0, "the character 'g'"},
        {"rfc2217://[fe80::1%]:2000", Kind::Rfc2217, "", 0, "empty zone"},
        {"rfc2217://user@host:2000", Kind::Rfc2217, "", 0, "no user name"},
        {"rfc2217://ho st:2000", Kind::Rfc2217, "", 0, "the character ' '"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto parsed = kelvor::port_name::parse(r.name);
        EXPECT_EQ(parsed.kind, r.kind);
        EXPECT_EQ(kelvor::port_name::is_url(r.name), r.kind != Kind::Local);
        if (r.error) {
            EXPECT_NE(parsed.error.find(r.error), std::string::npos) << parsed.error;
            continue;
        }
        EXPECT_EQ(parsed.error, "");
        EXPECT_EQ(parsed.host, r.host);
        EXPECT_EQ(parsed.port, r.port);
    }
}

TEST(PortName, HostsLongerThanAnyNameAreRefused) {
    const std::string longest(253, 'a');
    EXPECT_EQ(kelvor::port_name::parse("socket://" + longest + ":1").error, "");
    EXPECT_NE(kelvor::port_name::parse("socket://" + longest + "a:1").error, "");
}

TEST(PortName, EndpointsPutIpv6InBrackets) {
    EXPECT_EQ(kelvor::port_name::endpoint("::1", 2000), "[::1]:2000");
    EXPECT_EQ(kelvor::port_name::endpoint("door", 23), "door:23");
}

} // namespace
