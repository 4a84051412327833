// Cases of the ports: the GPIO records that GW writes, -p2 records of 8 bytes
// from the input file, refused before anything is sent when it holds fewer.
#include <algorithm>
#include <vector>

#include "Cases.h"

using namespace kelvor;

namespace {

bool gpio_records(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::PORTS_NO_GPIO_FILE, "Err: No gpio supplementary data is defined\n");
        return false;
    }
    const uint64_t want = static_cast<uint64_t>(c.param2) * GPIO_RECORD_SIZE;
    std::vector<uint8_t> records;
    if (want > static_cast<uint64_t>(std::max<int64_t>(c.input.size, 0)) ||
        !c.read_input(records, static_cast<size_t>(want))) {
        err_line(err_site::PORTS_CANNOT_READ_GPIO, "Err: Cannot read gpio supplementary\n");
        return false;
    }
    input.take(std::move(records));
    return true;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::GW, gpio_records},
};

} // namespace

std::span<const CommandCase> ports_cases() {
    return CASES;
}
