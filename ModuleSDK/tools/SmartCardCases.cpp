// Cases of the smart-card reader: the templates that CW writes, the keys of
// CKW (wiped after use) and the layout of CLW, from the input file. CR's card
// data go to the output file as they came.
#include <algorithm>
#include <vector>

#include "Cases.h"

using namespace kelvor;

namespace {

bool card_templates(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::SMART_CARD_NO_TEMPLATE_FILE, "Err: No template file is defined\n");
        return false;
    }
    if (constexpr auto& index = *packet::describe("CW").use("-p1");
        c.param1 < index.least || c.param1 > index.most) {
        err_line(err_site::SMART_CARD_BAD_TEMPLATE_COUNT, "Err: Invalid number of templates\n");
        return false;
    }
    std::vector<uint8_t> data;
    if (c.param2 > static_cast<uint64_t>(std::max<int64_t>(c.input.size, 0)) ||
        !c.read_input(data, c.param2)) {
        err_line(err_site::SMART_CARD_CANNOT_READ_TEMPLATES, "Err: Cannot read the template data\n");
        return false;
    }
    input.take(std::move(data));
    return true;
}

// Key 1 and key 2 from their file; a shorter file would lock the cards with a
// key nobody chose.
bool card_keys(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::SMART_CARD_NO_KEY_FILE, "Err: No key file is defined\n");
        return false;
    }
    constexpr int size = static_cast<int>(packet::describe("CKW").files.inputBytes);
    std::vector<uint8_t> keys;
    const bool whole = c.read_input(keys, size);
    input.take(std::move(keys), true);
    if (!whole)
        err_line(err_site::SMART_CARD_CANNOT_READ_KEYS, "Err: Cannot read %d bytes of card keys\n", size);
    return whole;
}

bool card_layout(CommandCall& c, CaseInput& input) {
    if (!c.input.present()) {
        ERR_NO_INPUT(c, err_site::SMART_CARD_NO_LAYOUT_FILE, "Err: No trace file is defined\n");
        return false;
    }
    constexpr int size = static_cast<int>(packet::describe("CLW").files.inputBytes);
    std::vector<uint8_t> bytes;
    if (!c.read_input(bytes, size)) {
        err_line(err_site::SMART_CARD_CANNOT_READ_LAYOUT, "Err: Cannot read %d bytes of card layout\n", size);
        return false;
    }
    input.take(std::move(bytes));
    return true;
}

constexpr CommandCase CASES[] = {
    {packet::cmd::CW, card_templates},
    {packet::cmd::CKW, card_keys},
    {packet::cmd::CLW, card_layout},
};

} // namespace

std::span<const CommandCase> smart_card_cases() {
    return CASES;
}
