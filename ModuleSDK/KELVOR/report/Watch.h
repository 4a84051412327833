// kelvor --watch: what the modules send on their own (free-scan results, other
// packets, text lines) and, through kelvord, the line's state, printed as it
// comes: one line for people each, or with --json one object a line.
#pragma once

#include <string>

namespace watch {

// Prints one event (its JSON line) in the run's form.
void print_event(const std::string& eventLine);
// Reads the line the run has open until it fails (or the run is stopped):
// the run is then the only program on the line. Returns the result code.
int watch_line(const std::string& port);

} // namespace watch
