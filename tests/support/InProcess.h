// The library in-process against the scripted far end: one exchange opened on
// the far end's port, a call run with the trace captured, the connection
// closed; and the library's process-wide state put back between tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "FarEnd.h"

namespace farend {

// How the keyword table is left by reset_library().
enum class Keywords { Keep, Refill };

// Closes the connection, points the trace log back at stderr with nothing
// enabled, clears the settings cache and the link state; with Keywords::Refill
// it fills the keyword table as the front end does at start (a constant table:
// the fill changes nothing).
void reset_library(Keywords keywords = Keywords::Keep);

struct InProcessOptions {
    uint32_t traceMask = 0x03; // what the call traces (the opening itself is not traced)
    int hexText = 0;           // form of the connection at its opening
    int network = 0;
    // Packet and data dump lines go to Exchange::dumps instead of Exchange::trace.
    bool splitDumps = false;
    // Looks at the port after the call, while the connection is still open.
    std::function<void(const std::string& port)> inspect = {};
    int finishGraceMs = 100; // how long the far end gathers what is sent after its script
};

struct Exchange {
    int rc = 0;        // what the call returned
    std::string trace; // what it traced
    std::string dumps; // its packet and data dump lines, when split off
    Outcome far;       // what the far end made of it
};

// Opens the connection on a far end serving `script` (which starts with the
// opening's exchanges), runs `call` with its trace captured, closes.
Exchange run_in_process(const Script& script, const std::function<int()>& call,
                        const InProcessOptions& options = {});

} // namespace farend
