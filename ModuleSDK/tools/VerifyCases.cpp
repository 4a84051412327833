// Cases of verification from files: the BMP image of VI and VIX, and the
// templates of VT and VH, which send as many bytes as they announce (VH: its
// number of templates, clamped, of -p2 bytes each) and are refused before
// anything is sent when the file holds fewer.
#include <algorithm>
#include <vector>

#include "Cases.h"

using namespace kelvor;

namespace {

// The templates that VT and VH send (the manual shows the number of the
// reporting site below).
bool templates_input(CommandCall& c, CaseInput& input) {
    const bool host = c.command == packet::cmd::VH;
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::VERIFY_NO_TEMPLATE_FILE, "Err: No template file is defined\n");
        return false;
    }
    const uint64_t count = host ? host_template_count(c.param1) : 1;
    const uint64_t want = count * c.param2;
    if (!c.data_size_usable(want)) return false;
    std::vector<uint8_t> data;
    if (want > static_cast<uint64_t>(std::max<int64_t>(c.input.size, 0)) ||
        !c.read_input(data, static_cast<size_t>(want))) {
        err_line(err_site::VERIFY_CANNOT_READ_TEMPLATE, "Err: Cannot read template data %#x\n", c.param2);
        return false;
    }
    input.take(std::move(data));
    return true;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::VT, templates_input},
    {packet::cmd::VH, templates_input},
};

} // namespace

std::span<const CommandCase> verify_cases() {
    return CASES;
}
