// Cases of the Wiegand interface: the format definition that WWX writes,
// -p2 bytes of the input file (formats 0 and 1 need none). WRX's format data
// go to the output file as they came.
#include <algorithm>
#include <vector>

#include "Cases.h"

using namespace kelvor;

namespace {

bool format_data(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        if (c.flag == 0 || c.flag == 1) return true;
        ERR_NO_INPUT(c, err_site::WIEGAND_NO_CONFIGURATION_FILE, "Err: No configuration file is defined\n");
        return false;
    }
    std::vector<uint8_t> data;
    if (c.param2 > static_cast<uint64_t>(std::max<int64_t>(c.input.size, 0)) ||
        !c.read_input(data, c.param2)) {
        err_line(err_site::WIEGAND_CANNOT_READ_CONFIGURATION,
                 "Err: Cannot read %#x bytes of configuration data\n", c.param2);
        return false;
    }
    input.take(std::move(data));
    return true;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::WWX, format_data},
};

} // namespace

std::span<const CommandCase> wiegand_cases() {
    return CASES;
}
