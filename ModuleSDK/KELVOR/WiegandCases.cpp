// Command cases of the Wiegand interface: WW, WR, WG, WS, WM, WL, WC, WWX,
// WRX, WGX, WSX, WFW, WFR, WPW, WPR. WM, WL and WC serve the smart-card
// reader's mappings too, with -f 1.
#include <vector>

#include "Commands.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::WIEGAND_CASES;
} // namespace

using namespace kelvor;

namespace {

namespace cmd = packet::cmd;

// Largest mapping list and format definition the tool takes from the module.
constexpr uint32_t MAPPING_DATA_MAX = packet::describe("WL").announced.most;
constexpr uint32_t FORMAT_DATA_MAX = packet::describe("WRX").announced.most;

bool card_variant(const OrvantiCom& c) {
    return c.flag == MAPPING_CARD;
}

int write_config(OrvantiCom& c) {
    return write_wiegand_config(c.flag, wiegand_config_of(c.param1, c.param2));
}

int read_config(OrvantiCom& c) {
    WiegandConfig config;
    return read_wiegand_config(c.flag, &config);
}

int get_input(OrvantiCom& c) {
    uint32_t id = 0, facility = 0;
    return get_wiegand_input(c.param1, &id, &facility);
}

int set_mapping(OrvantiCom& c) {
    return card_variant(c) ? set_card_mapping(c.param1, c.param2) : set_wiegand_mapping(c.param1, c.param2);
}

// The list itself is laid out as the module likes: received and dropped.
int list_mappings(OrvantiCom& c) {
    uint32_t count = 0, size = 0;
    const int rc = card_variant(c) ? list_card_mappings(&count, &size) : list_wiegand_mappings(&count, &size);
    if (rc != 0 || size == 0) return rc;
    if (size > MAPPING_DATA_MAX) {
        ERR_LINE("Err: Mapping data of %#x bytes exceed %#x bytes\n", size, MAPPING_DATA_MAX);
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> data(size);
    return receive_data(data);
}

int clear_mappings(OrvantiCom& c) {
    return card_variant(c) ? clear_card_mappings() : clear_wiegand_mappings();
}

// Formats 0 and 1 need no definition; the others take theirs from the input file.
int write_format(OrvantiCom& c) {
    const uint16_t width = static_cast<uint16_t>(c.param1 >> 16);
    const uint16_t interval = static_cast<uint16_t>(c.param1);
    if (!c.inputFile) {
        if (c.flag != 0 && c.flag != 1) {
            ERR_NO_INPUT(c, "Err: No configuration file is defined\n");
            return FRONT_REFUSED;
        }
        return write_wiegand_format(width, interval, c.flag, 0, nullptr);
    }
    std::vector<uint8_t> data;
    if (c.param2 > static_cast<uint64_t>(std::max<int64_t>(c.inputSize, 0)) ||
        !c.read_input(data, c.param2)) {
        ERR_LINE("Err: Cannot read %#x bytes of configuration data\n", c.param2);
        return FRONT_REFUSED;
    }
    return write_wiegand_format(width, interval, c.flag, c.param2, data.data());
}

int read_format(OrvantiCom& c) {
    WiegandFormat format;
    if (const int rc = read_wiegand_format(&format); rc != 0 || format.dataSize == 0) return rc;
    if (format.dataSize > FORMAT_DATA_MAX) {
        ERR_LINE("Err: Format data of %#x bytes exceed %#x bytes\n", format.dataSize, FORMAT_DATA_MAX);
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> data(format.dataSize);
    if (const int rc = receive_data(data); rc != 0) return rc;
    return c.write_output(data.data(), data.size()) ? 0 : FRONT_REFUSED;
}

int read_input_string(OrvantiCom& c) {
    WiegandString s;
    return read_wiegand_input(c.param1, c.flag, &s);
}

int get_field(OrvantiCom& c) {
    uint32_t value = 0;
    return get_field_default(c.param2, &value);
}

int get_io(OrvantiCom&) {
    WiegandIo io;
    return get_wiegand_io(&io);
}

constexpr CommandCase CASES[] = {
    {cmd::WW, write_config},
    {cmd::WR, read_config},
    {cmd::WG, get_input},
    {cmd::WS, [](OrvantiCom& c) { return set_wiegand_output(c.param1); }},
    {cmd::WM, set_mapping},
    {cmd::WL, list_mappings},
    {cmd::WC, clear_mappings},
    {cmd::WWX, write_format},
    {cmd::WRX, read_format},
    {cmd::WGX, read_input_string},
    {cmd::WSX,
     [](OrvantiCom& c) {
         return set_wiegand_output_string({c.param1, c.param2});
     }},
    {cmd::WFW, [](OrvantiCom& c) { return set_field_default(c.param2, c.param1, c.flag); }},
    {cmd::WFR, get_field},
    {cmd::WPW,
     [](OrvantiCom& c) {
         return set_wiegand_io(
             {static_cast<uint16_t>(c.param1 >> 16), static_cast<uint16_t>(c.param1), c.param2});
     }},
    {cmd::WPR, get_io},
};

} // namespace

std::span<const CommandCase> wiegand_cases() {
    return CASES;
}
