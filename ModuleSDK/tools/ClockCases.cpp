// Cases of the module's clock: TW's date and time words checked before
// anything is sent (the library checks them too, for every caller; this is
// the front end's own line, whose number the manual shows).
#include "Cases.h"

using namespace kelvor;

namespace {

// Param1 0 and Param2 0 initialise the module's clock; any other pair is a
// date and a time in the clock words.
bool clock_words_usable(CommandCall& c, CaseInput&) {
    if ((c.param1 != 0 || c.param2 != 0) && clock_seconds(c.param1, c.param2) <= 0) {
        err_line(err_site::CLOCK_INVALID_TIME, "Err: Invalid Time\n");
        return false;
    }
    return true;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::TW, clock_words_usable},
};

} // namespace

std::span<const CommandCase> clock_cases() {
    return CASES;
}
