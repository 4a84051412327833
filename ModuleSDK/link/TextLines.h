// The module's text lines: a "[" where a packet is awaited starts one, a
// carriage return ends it, and it goes to the standard output stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvor {

// Reads up to n bytes as serial_read does; module text lines that come first
// are printed (or held back) and not counted.
int read_after_text_lines(uint8_t* buffer, int n);

// A text line as a terminal shows it: its control characters (C0, DEL and
// C1, as bytes or as UTF-8 characters) escaped as `cat -v` shows them, the
// carriage return that ends it and tabs kept.
std::string text_line_for_terminal(const std::string& line);

// How many text lines have been read since the process started: a reader
// that must tell whether the module spoke between two of its reads compares
// two counts.
size_t text_lines_read();

} // namespace kelvor
