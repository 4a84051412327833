// Cases of the user memory: the data that MW writes, -p2 bytes of the input
// file, refused before anything is sent when the file holds fewer. LR's
// records and MR's data go to the output file as they came.
#include <algorithm>
#include <vector>

#include "Cases.h"

using namespace kelvor;

namespace {

bool memory_data(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::EVENT_LOG_NO_INPUT_FILE, "Err: No input file is given\n");
        return false;
    }
    std::vector<uint8_t> data;
    if (c.param2 > static_cast<uint32_t>(std::max<int64_t>(c.input.size, 0)) ||
        !c.read_input(data, c.param2)) {
        err_line(err_site::EVENT_LOG_CANNOT_READ_USER_DATA, "Err: Cannot read the user data\n");
        return false;
    }
    input.take(std::move(data));
    return true;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::MW, memory_data},
};

} // namespace

std::span<const CommandCase> event_log_cases() {
    return CASES;
}
