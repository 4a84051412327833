// Command cases of enrollment through the Wiegand input and onto smart cards:
// EW, EWA, EC, ECX.
#include <algorithm>
#include <vector>

#include "Commands.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::ENROLL_BY_WIEGAND_CARD_CASES;
} // namespace

using namespace kelvor;

namespace {

namespace cmd = packet::cmd;

constexpr size_t WIEGAND_STRING_SIZE = packet::record::WIEGAND_STRING_SIZE;

// The 8-byte Wiegand string of the input file goes with the command only when
// the option announces it.
int enroll_card(OrvantiCom& c) {
    std::vector<uint8_t> wiegand;
    if (c.inputFile && !c.read_input(wiegand, WIEGAND_STRING_SIZE)) {
        ERR_LINE("Err: Cannot read the wiegand string\n");
        return FRONT_REFUSED;
    }
    return enroll_smartcard(c.param1, c.param2, c.flag, wiegand.empty() ? nullptr : wiegand.data());
}

// number x size template bytes, then the Wiegand string; what the file lacks is zeros.
int enroll_card_templates(OrvantiCom& c) {
    const bool withWiegand = (c.flag & CARD_ENROLL_WIEGAND) != 0;
    if (c.param2 <= 0xFFFF && !withWiegand)
        return enroll_templates_to_smartcard(c.param1, 0, 0, c.flag, nullptr, nullptr);
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No data file is defined\n");
        return FRONT_REFUSED;
    }
    const uint16_t count = static_cast<uint16_t>(c.param2 >> 16);
    const uint16_t size = static_cast<uint16_t>(c.param2);
    const uint64_t total = card_enroll_data_size(count, size, c.flag);
    if (total > CARD_ENROLL_DATA_MAX) {
        ERR_LINE("Err: Template data of %#llx bytes exceed %#llx bytes\n",
                 static_cast<unsigned long long>(total),
                 static_cast<unsigned long long>(CARD_ENROLL_DATA_MAX));
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> data;
    c.read_input(data, static_cast<size_t>(total));
    const size_t templateBytes = static_cast<size_t>(count) * size;
    return enroll_templates_to_smartcard(c.param1, count, size, c.flag, data.data(),
                                         withWiegand ? data.data() + templateBytes : nullptr);
}

constexpr CommandCase CASES[] = {
    {cmd::EW,
     [](OrvantiCom& c) {
         uint32_t id = 0;
         return enroll_by_wiegand(c.flag, &id);
     }},
    {cmd::EWA,
     [](OrvantiCom& c) {
         uint32_t id = 0;
         return enroll_by_wiegand_with_admin(c.flag, &id);
     }},
    {cmd::EC, enroll_card},
    {cmd::ECX, enroll_card_templates},
};

} // namespace

std::span<const CommandCase> enroll_by_wiegand_card_cases() {
    return CASES;
}
