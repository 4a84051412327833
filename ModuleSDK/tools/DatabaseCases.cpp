// Cases of the template database. The library reads the templates of RT and
// ST for the output file, lists the user IDs of LT and the records of LTX;
// what is the front end's is LT's list of IDs, printed on a line of its own
// whatever the trace level.
#include "Cases.h"

using namespace kelvor;

namespace {

// LT's IDs (the manual shows the number of this reporting site).
int print_user_ids(CommandCall&, const Outcome& o, int result) {
    if (result != 0 || o.output.empty()) return result;
    const size_t count = o.output.size() / 4;
    err_line(err_site::DATABASE_USER_IDS, "User IDs(%#x): ", static_cast<unsigned>(count));
    for (size_t i = 0; i < count; ++i) trace_print("%#x ", packet::get32(&o.output[4 * i]));
    trace_print("\n");
    return 0;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::LT, nullptr, print_user_ids},
};

} // namespace

std::span<const CommandCase> database_cases() {
    return CASES;
}
