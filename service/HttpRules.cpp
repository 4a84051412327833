#include "HttpRules.h"

#include <boost/asio/ip/address.hpp>
#include <cctype>
#include <string>
#include <utility>

namespace kelvord {

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string station_file(std::string_view target) {
    if (target == "/") return "index.html";
    if (target.size() < 2 || target[0] != '/' || target.size() > 65) return {};
    const std::string_view name = target.substr(1);
    if (!(std::islower(static_cast<unsigned char>(name[0])) ||
          std::isdigit(static_cast<unsigned char>(name[0]))))
        return {};
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) return {};
    }
    if (name.find("..") != std::string_view::npos || content_type(name).empty()) return {};
    return std::string(name);
}

std::string content_type(std::string_view name) {
    static constexpr std::pair<std::string_view, std::string_view> TYPES[] = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
    };
    for (const auto& [ending, type] : TYPES)
        if (name.size() > ending.size() && name.substr(name.size() - ending.size()) == ending)
            return std::string(type);
    return {};
}

void split_host_header(std::string_view header, std::string& host, std::string& port) {
    host.clear();
    port.clear();
    std::string_view h, p;
    bool bracketed = false;
    if (!header.empty() && header[0] == '[') {
        const size_t close = header.find(']');
        if (close == std::string_view::npos || close < 2) return;
        h = header.substr(0, close + 1);
        const std::string_view rest = header.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return;
            p = rest.substr(1);
            if (p.empty()) return;
        }
        bracketed = true;
    } else {
        const size_t colon = header.find(':');
        h = header.substr(0, colon);
        if (colon != std::string_view::npos) {
            p = header.substr(colon + 1);
            if (p.empty()) return;
        }
    }
    if (h.empty() || p.size() > 5) return;
    for (const char c : p)
        if (c < '0' || c > '9') return;
    for (size_t i = bracketed ? 1 : 0; i < h.size() - (bracketed ? 1 : 0); ++i) {
        const char c = h[i];
        const bool ok =
            bracketed ? (std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.')
                      : (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_');
        if (!ok) return;
    }
    host = std::string(h);
    port = std::string(p);
}

bool loopback_host(std::string_view host) {
    if (equal_ignoring_case(host, "localhost")) return true;
    std::string bare(host);
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    boost::system::error_code ec;
    const boost::asio::ip::address a = boost::asio::ip::make_address(bare, ec);
    return !ec && a.is_loopback();
}

bool host_allowed(std::string_view hostHeader, bool loopbackListener) {
    std::string host, port;
    split_host_header(hostHeader, host, port);
    if (host.empty()) return false;
    return !loopbackListener || loopback_host(host);
}

bool origin_allowed(std::string_view origin, std::string_view hostHeader, bool tls,
                    const std::vector<std::string>& extra) {
    if (origin.empty()) return false;
    for (const std::string& e : extra)
        if (equal_ignoring_case(origin, e)) return true;
    std::string host, port;
    split_host_header(hostHeader, host, port);
    if (host.empty()) return false;
    return equal_ignoring_case(origin, (tls ? "https://" : "http://") + std::string(hostHeader));
}

bool origin_url(std::string_view text, std::string& origin) {
    std::string_view rest;
    std::string scheme;
    if (text.size() > 7 && equal_ignoring_case(text.substr(0, 7), "http://")) {
        scheme = "http://";
        rest = text.substr(7);
    } else if (text.size() > 8 && equal_ignoring_case(text.substr(0, 8), "https://")) {
        scheme = "https://";
        rest = text.substr(8);
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.size() > 255) return false;
    std::string host, port;
    split_host_header(rest, host, port);
    if (host.empty()) return false;
    origin = scheme;
    for (const char c : rest) origin += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return true;
}

} // namespace kelvord
