// Port names: a local device, or the URL of a network port.
#include "port/PortName.h"

#include <cctype>

namespace kelvor::port_name {

namespace {

constexpr std::string_view FORMS = "rfc2217://HOST:PORT or socket://HOST:PORT";
// The longest host name DNS allows; a literal address is far shorter.
constexpr size_t HOST_MAX = 253;

bool scheme_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

// The scheme's length when the name starts with SCHEME://, else 0.
size_t scheme_length(std::string_view name) {
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return 0;
    size_t i = 1;
    while (i < name.size() && scheme_char(name[i])) ++i;
    return name.substr(i, 3) == "://" ? i : 0;
}

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool host_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// The inside of [...]: hexadecimal groups, colons, an IPv4 tail, and a zone
// after '%' (fe80::1%eth0). The system checks the address itself.
std::string ipv6_error(std::string_view inside) {
    if (inside.empty()) return "the brackets hold no IPv6 address";
    const size_t zone = inside.find('%');
    const std::string_view address = inside.substr(0, zone);
    if (address.find(':') == std::string_view::npos) return "the brackets hold no IPv6 address";
    for (char c : address) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
            return "the IPv6 address holds the character '" + std::string(1, c) + "'";
    }
    if (zone != std::string_view::npos) {
        const std::string_view name = inside.substr(zone + 1);
        if (name.empty()) return "the IPv6 address has an empty zone after '%'";
        for (char c : name) {
            if (!host_char(c)) return "the IPv6 zone holds the character '" + std::string(1, c) + "'";
        }
    }
    return "";
}

std::string host_error(std::string_view host) {
    if (host.empty()) return "the host is missing";
    if (host.size() > HOST_MAX)
        return "the host name is longer than " + std::to_string(HOST_MAX) + " characters";
    for (char c : host) {
        if (!host_char(c)) {
            if (c == '@') return "a URL of a port takes no user name";
            return "the host holds the character '" + std::string(1, c) + "'";
        }
    }
    return "";
}

// PORT: 1 to 65535, decimal.
std::string port_error(std::string_view text, uint16_t& port) {
    if (text.empty()) return "the port number is missing";
    uint32_t value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            if (c == '/' || c == '?' || c == '#')
                return "a URL of a port takes nothing after the port number";
            return "the port number holds the character '" + std::string(1, c) + "'";
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 65535) return "the port number is above 65535";
    }
    if (value == 0) return "the port number 0 is no TCP port";
    port = static_cast<uint16_t>(value);
    return "";
}

} // namespace

bool is_url(std::string_view name) {
    return scheme_length(name) > 0;
}

Parsed parse(std::string_view name) {
    Parsed p;
    const size_t schemeLength = scheme_length(name);
    if (schemeLength == 0) return p;
    const std::string_view scheme = name.substr(0, schemeLength);
    if (same_letters(scheme, "rfc2217")) {
        p.kind = Kind::Rfc2217;
    } else if (same_letters(scheme, "socket")) {
        p.kind = Kind::Socket;
    } else {
        p.kind = Kind::Other;
        p.error = "no port of the kind " + std::string(scheme) + "://; kelvor takes " + std::string(FORMS);
        return p;
    }
    const std::string_view rest = name.substr(schemeLength + 3);
    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            p.error = "the IPv6 address lacks its closing bracket";
            return p;
        }
        host = rest.substr(1, close - 1);
        if (std::string why = ipv6_error(host); !why.empty()) {
            p.error = why;
            return p;
        }
        const std::string_view after = rest.substr(close + 1);
        if (after.empty() || after[0] != ':') {
            p.error =
                after.empty() ? "the port number is missing" : "a port number follows the address after ':'";
            return p;
        }
        port = after.substr(1);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            const size_t end = rest.find_first_of("/?#");
            p.error = host_error(rest.substr(0, end));
            if (p.error.empty()) p.error = "the port number is missing";
            return p;
        }
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            p.error = "an IPv6 address goes in brackets, as in [::1]:PORT";
            return p;
        }
        if (std::string why = host_error(host); !why.empty()) {
            p.error = why;
            return p;
        }
    }
    if (std::string why = port_error(port, p.port); !why.empty()) {
        p.error = why;
        return p;
    }
    p.host = std::string(host);
    return p;
}

std::string endpoint(const std::string& host, uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace kelvor::port_name
