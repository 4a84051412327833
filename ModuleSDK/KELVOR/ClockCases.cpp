// Command cases of the module's clock: TW, TR.
#include "Commands.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::CLOCK_CASES;
} // namespace

using namespace kelvor;

namespace {

// Param1 0 and Param2 0 initialise the module's clock; any other pair is a
// date and a time in the clock words.
int set_clock(OrvantiCom& c) {
    if (c.param1 == 0 && c.param2 == 0) return set_time(0);
    const int64_t seconds = clock_seconds(c.param1, c.param2);
    if (seconds <= 0) {
        ERR_LINE("Err: Invalid Time\n");
        return FRONT_REFUSED;
    }
    return set_time(seconds);
}

constexpr CommandCase CASES[] = {
    {packet::cmd::TW, set_clock},
    {packet::cmd::TR,
     [](OrvantiCom&) {
         int64_t seconds = 0;
         return get_time(&seconds);
     }},
};

} // namespace

std::span<const CommandCase> clock_cases() {
    return CASES;
}
