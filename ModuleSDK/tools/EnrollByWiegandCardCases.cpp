// Cases of enrollment onto smart cards: the 8-byte Wiegand string that EC
// sends when the file is given, and ECX's templates and Wiegand string, whose
// size -p2 and the option announce (what the file lacks is zeros).
#include <vector>

#include "Cases.h"

using namespace kelvor;

namespace {

bool wiegand_string(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) return true;
    std::vector<uint8_t> wiegand;
    if (!c.read_input(wiegand, packet::describe("EC").files.inputBytes)) {
        err_line(err_site::WIEGAND_CARD_CANNOT_READ_STRING, "Err: Cannot read the wiegand string\n");
        return false;
    }
    input.take(std::move(wiegand));
    return true;
}

bool card_templates(CommandCall& c, CaseInput& input) {
    const bool withWiegand = (c.flag & CARD_ENROLL_WIEGAND) != 0;
    if (c.param2 <= 0xFFFF && !withWiegand) return true;
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::WIEGAND_CARD_NO_DATA_FILE, "Err: No data file is defined\n");
        return false;
    }
    const uint64_t total =
        card_enroll_data_size(static_cast<uint16_t>(c.param2 >> 16), static_cast<uint16_t>(c.param2), c.flag);
    if (total > CARD_ENROLL_DATA_MAX) {
        err_line(err_site::WIEGAND_CARD_TEMPLATE_TOO_LARGE,
                 "Err: Template data of %#llx bytes exceed %#llx bytes\n",
                 static_cast<unsigned long long>(total),
                 static_cast<unsigned long long>(CARD_ENROLL_DATA_MAX));
        return false;
    }
    std::vector<uint8_t> data;
    c.read_input(data, static_cast<size_t>(total));
    input.take(std::move(data));
    return true;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::EC, wiegand_string},
    {packet::cmd::ECX, card_templates},
};

} // namespace

std::span<const CommandCase> enroll_by_wiegand_card_cases() {
    return CASES;
}
