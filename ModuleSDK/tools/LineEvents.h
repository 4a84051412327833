// The events of a line: what a module sends on its own between commands
// (decoded where the wire vocabulary names it, as bytes otherwise), its text
// lines, and the state of the line, as the objects kelvord sends its watchers
// and kelvor --watch --json prints (one line of JSON each, without its line
// end), and as the lines kelvor --watch prints for people.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace line_events {

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

// The time of an event: UTC, ISO 8601 with milliseconds ("2026-12-07T10:15:30.123Z").
std::string event_time(int64_t unixMilliseconds);
// Now, in milliseconds since 1970.
int64_t now_ms();

// An event object as one line for people: its time, the module on a shared
// line, its kind and what it carries ("... identify: user 5, score 910").
// Control characters of a text line are shown as cat -v shows them.
std::string readable(const nlohmann::ordered_json& event);

} // namespace line_events
