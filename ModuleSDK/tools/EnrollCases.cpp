// Cases of enrollment from files: the BMP image of EI and EIX, the templates
// of ET and ETX; directory mode runs EI, EIX and ET once a file.
#include <algorithm>
#include <vector>

#include "Cases.h"

using namespace kelvor;

bool template_input(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::ENROLL_NO_TEMPLATE_FILE, "Err: No template file is defined\n");
        return false;
    }
    if (!c.data_size_usable(c.param2)) return false;
    // At most -p2 bytes, and never more than the file holds.
    std::vector<uint8_t> data(
        std::min<size_t>(c.param2, static_cast<size_t>(std::max<int64_t>(c.input.size, 0))));
    data.resize(c.input.read(data.data(), data.size()));
    input.take(std::move(data));
    return true;
}

namespace {

// N bytes are sent whatever the file holds; what it lacks is zeros.
bool templates_chunked(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::ENROLL_NO_TEMPLATE_FILE_CHUNKED, "Err: No template file is defined\n");
        return false;
    }
    std::vector<uint8_t> data;
    c.read_input(data, static_cast<uint16_t>(c.param2 & 0xFFFF));
    input.take(std::move(data));
    return true;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::ET, template_input},
    {packet::cmd::ETX, templates_chunked},
};

} // namespace

std::span<const CommandCase> enroll_cases() {
    return CASES;
}
