// The connection of kelvor --server to kelvord: its Unix socket, lines both
// ways, every wait and every line bounded.
#pragma once

#include <string>

namespace server_link {

// The longest line taken from the service (an answer with its output and trace).
inline constexpr size_t LINE_BYTES_MAX = 64u << 20;

// Connects to the service's socket; false with `error` set.
bool connect(const std::string& path, std::string& error);
bool connected();
void close();
// Sends one line (its end added); false with `error` set when the connection failed.
bool send_line(const std::string& line, std::string& error);
// The next line, without its end, within `timeoutMs` (-1: as long as it
// takes); false with `error` set at the connection's end, on a failure or
// when the time is up.
bool read_line(std::string& line, int timeoutMs, std::string& error);

} // namespace server_link
