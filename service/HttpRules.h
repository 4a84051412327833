// The station's rules for what a browser sends: which paths name the page's
// files, and which Host and Origin headers it answers. Pure functions of the
// request's text, apart from the listener (and fuzzed as such).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kelvord {

// The page's path on the server: "/" and "/NAME" of a file the station
// serves (lower-case letters, digits, ".", "_", "-", a known kind); the file's
// name, or empty for anything else.
std::string station_file(std::string_view target);
// The Content-Type of a file the station serves, by its name.
std::string content_type(std::string_view name);
// The Host header's name and port, or nothing but `host` empty when it is
// no HOST[:PORT].
void split_host_header(std::string_view header, std::string& host, std::string& port);
// Whether a request may be answered under the Host it names: on a listener of
// this machine's loopback alone, a loopback name or address only (a page of
// another site whose name was made to lead here gets nothing); elsewhere any.
bool host_allowed(std::string_view hostHeader, bool loopbackListener);
// Whether a WebSocket's Origin is the page's own: "http://" ("https://" on a
// listener of TLS) and the Host the request was sent to, exactly; or one of
// `extra`, the origins of a page served elsewhere (through a proxy), as
// origin_url gives them.
bool origin_allowed(std::string_view origin, std::string_view hostHeader, bool tls = false,
                    const std::vector<std::string>& extra = {});
// An origin as --origin gives it: http:// or https://, a host and a port
// (none but digits), no path (a "/" alone is dropped). Lower-cased into
// `origin`; false when it is no such origin.
bool origin_url(std::string_view text, std::string& origin);
// Whether `host`, as --http gives it, names a loopback address ("localhost",
// 127.0.0.0/8, ::1).
bool loopback_host(std::string_view host);
// Whether two names are the same but for the case of their ASCII letters.
bool equal_ignoring_case(std::string_view a, std::string_view b);

// The headers every answer of the station carries: the policy that lets the
// page use its own files and its own WebSocket alone.
inline constexpr const char* CONTENT_SECURITY_POLICY =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
// The path of the WebSocket.
inline constexpr const char* WEBSOCKET_PATH = "/ws";
// How long an HTTP request may take to arrive whole, and a WebSocket may stay
// silent before a ping asks whether the browser is still there.
inline constexpr int HTTP_READ_TIMEOUT_S = 30;
inline constexpr int WEBSOCKET_IDLE_TIMEOUT_S = 60;
// The largest file the station serves.
inline constexpr size_t STATION_FILE_BYTES_MAX = 4u << 20;

} // namespace kelvord
