// The event objects: what a module sends on its own (decoded where the wire
// vocabulary names it, as bytes otherwise), its text lines, and the state of
// the line. Each is one line of JSON without its line end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvord {

// A whole packet with a good checksum, in the form of the line (13 bytes, or
// 15 with a module ID in network mode).
std::string packet_event(const uint8_t* packet, size_t n, bool network, int64_t unixMs);
// A module text line, "[" to its carriage return.
std::string text_event(std::string_view text, int64_t unixMs);
// Bytes that make no packet and no text line (a damaged packet among them).
std::string noise_event(const uint8_t* bytes, size_t n, int64_t unixMs);
// The line opened, was lost, or was opened again; `reason` why it was lost.
std::string line_event(std::string_view state, std::string_view port, std::string_view reason,
                       int64_t unixMs);

// The snake_case name of an answer's flag byte, as results are named
// ("not_found", "scan_failed"); nothing for a byte the vocabulary does not name.
std::optional<std::string> flag_name(uint8_t flag);

} // namespace kelvord
