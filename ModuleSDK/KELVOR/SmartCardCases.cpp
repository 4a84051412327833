// Command cases of the smart-card reader: CR, CW, CF, CC, CG, CKW, CKR, CLR, CLW.
#include <algorithm>
#include <vector>

#include "Commands.h"
#include "trace/Outcome.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::SMART_CARD_CASES;
} // namespace

using namespace kelvor;

namespace {

namespace cmd = packet::cmd;

// Largest card data the tool takes from the module, and the key file's size.
constexpr uint32_t CARD_DATA_MAX = packet::describe("CR").announced.most;
constexpr size_t KEY_FILE_SIZE = packet::describe("CKW").files.inputBytes;

// Bit of CR's option that asks for the header lines.
constexpr uint8_t PRINT_HEADER = 0x01;

void print_header(const CardHeader& h) {
    trace(TRACE_CALL, "CSN: %#x\n", h.csn);
    trace(TRACE_CALL, "Wiegand String: %#08x %08x\n", h.wiegand.word1, h.wiegand.word2);
    trace(TRACE_CALL, "Version: %d\n", h.version);
    trace(TRACE_CALL, "Num of Template: %d\n", h.templates);
    trace(TRACE_CALL, "Template1: %d bytes ", h.slot[0].size);
    trace_more(TRACE_CALL, h.slot[0].duress ? "duress\n" : "\n");
    trace(TRACE_CALL, "Template2: %d bytes ", h.slot[1].size);
    trace_more(TRACE_CALL, h.slot[1].duress ? "duress\n" : "\n");
    outcome::value("csn", h.csn);
    outcome::value("wiegand_word1", h.wiegand.word1);
    outcome::value("wiegand_word2", h.wiegand.word2);
    outcome::value("version", h.version);
    outcome::value("templates", h.templates);
    for (const auto& slot : h.slot) {
        outcome::item_begin("slots");
        outcome::value("bytes", slot.size);
        outcome::flag("duress", slot.duress);
        outcome::item_end();
    }
}

// The whole card data go to the output file; a header shorter than its 20
// bytes prints nothing.
int read_templates(OrvantiCom& c) {
    uint32_t length = 0;
    if (const int rc = read_card_templates(c.flag, &length); rc != 0) return rc;
    if (length > CARD_DATA_MAX) {
        ERR_LINE("Err: Card data of %#x bytes exceed %#x bytes\n", length, CARD_DATA_MAX);
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> data(length);
    if (const int rc = receive_data(data); rc != 0) return rc;
    if (!c.write_output(data.data(), data.size())) return FRONT_REFUSED;
    CardHeader header;
    if ((c.flag & PRINT_HEADER) && card_header_of(data, &header)) print_header(header);
    return 0;
}

int write_templates(OrvantiCom& c) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No template file is defined\n");
        return FRONT_REFUSED;
    }
    if (constexpr auto& index = *packet::describe("CW").use("-p1");
        c.param1 < index.least || c.param1 > index.most) {
        ERR_LINE("Err: Invalid number of templates\n");
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> data;
    if (c.param2 > static_cast<uint64_t>(std::max<int64_t>(c.inputSize, 0)) ||
        !c.read_input(data, c.param2)) {
        ERR_LINE("Err: Cannot read the template data\n");
        return FRONT_REFUSED;
    }
    return write_card_templates(c.param1, c.param2, c.flag, data.data());
}

// Key 1 and key 2 from a 12-byte file; a shorter file would lock the cards
// with a key nobody chose.
int write_key(OrvantiCom& c) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No key file is defined\n");
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> keys;
    const bool whole = c.read_input(keys, KEY_FILE_SIZE);
    int rc = FRONT_REFUSED;
    if (!whole)
        ERR_LINE("Err: Cannot read %d bytes of card keys\n", static_cast<int>(KEY_FILE_SIZE));
    else
        rc = write_card_key(keys.data(), keys.data() + CARD_KEY_SIZE, static_cast<uint8_t>(c.param1), c.flag);
    volatile uint8_t* wipe = keys.data();
    for (size_t i = 0; i < keys.size(); ++i) wipe[i] = 0;
    return rc;
}

int read_layout(OrvantiCom&) {
    CardLayout layout;
    return read_card_layout(&layout);
}

int write_layout(OrvantiCom& c) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No trace file is defined\n");
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> bytes;
    if (!c.read_input(bytes, CARD_LAYOUT_SIZE)) {
        ERR_LINE("Err: Cannot read %d bytes of card layout\n", static_cast<int>(CARD_LAYOUT_SIZE));
        return FRONT_REFUSED;
    }
    return write_card_layout(
        card_layout_of(std::span<const uint8_t, CARD_LAYOUT_SIZE>(bytes.data(), CARD_LAYOUT_SIZE)));
}

constexpr CommandCase CASES[] = {
    {cmd::CR, read_templates},
    {cmd::CW, write_templates},
    {cmd::CF, [](OrvantiCom& c) { return format_card(c.flag); }},
    {cmd::CC, [](OrvantiCom& c) { return set_card_input_function(c.flag); }},
    {cmd::CG,
     [](OrvantiCom&) {
         uint32_t function = 0;
         return get_card_input_function(&function);
     }},
    {cmd::CKW, write_key},
    {cmd::CKR,
     [](OrvantiCom&) {
         uint32_t option = 0;
         return read_card_key_option(&option);
     }},
    {cmd::CLR, read_layout},
    {cmd::CLW, write_layout},
};

} // namespace

std::span<const CommandCase> smart_card_cases() {
    return CASES;
}
