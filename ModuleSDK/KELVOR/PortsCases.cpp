// Command cases of the input, output and GPIO ports: OW, OR, OL, OS, IW, IR,
// IG, GR, GW, GC, GD.
#include <algorithm>
#include <vector>

#include "Commands.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::PORTS_CASES;
} // namespace

using namespace kelvor;

namespace {

// Most events an output port acts on and GPIO records a line is read with.
constexpr uint32_t ENABLED_EVENTS_MAX = packet::describe("OL").announced.most;
constexpr uint32_t GPIO_RECORDS_MAX = packet::describe("GR").announced.most;

int write_out_port(OrvantiCom& c) {
    return write_out_port_config(static_cast<uint16_t>(c.param1 >> 16), static_cast<uint8_t>(c.param1 >> 8),
                                 static_cast<uint8_t>(c.param1), static_cast<uint16_t>(c.param2 >> 16),
                                 static_cast<uint16_t>(c.param2), c.flag);
}

int list_enabled_events(OrvantiCom& c) {
    uint32_t count = 0;
    if (const int rc = read_enabled_events(c.flag, &count); rc != 0 || count == 0) return rc;
    if (count > ENABLED_EVENTS_MAX) {
        ERR_LINE("Err: Enabled event count %#x is beyond %#x\n", count, ENABLED_EVENTS_MAX);
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> events(count);
    return get_enabled_events(events);
}

int read_gpio(OrvantiCom& c) {
    uint16_t mode = 0;
    uint32_t count = 0;
    if (const int rc = read_gpio_config(static_cast<uint16_t>(c.param1), &mode, &count);
        rc != 0 || count == 0)
        return rc;
    if (count > GPIO_RECORDS_MAX) {
        ERR_LINE("Err: GPIO record count %#x is beyond %#x\n", count, GPIO_RECORDS_MAX);
        return FRONT_REFUSED;
    }
    std::vector<uint8_t> records(static_cast<size_t>(count) * GPIO_RECORD_SIZE);
    return list_gpio_records(mode, records);
}

int write_gpio(OrvantiCom& c) {
    if (!c.inputFile) {
        ERR_NO_INPUT(c, "Err: No gpio supplementary data is defined\n");
        return FRONT_REFUSED;
    }
    const uint64_t want = static_cast<uint64_t>(c.param2) * GPIO_RECORD_SIZE;
    std::vector<uint8_t> records;
    if (want > static_cast<uint64_t>(std::max<int64_t>(c.inputSize, 0)) ||
        !c.read_input(records, static_cast<size_t>(want))) {
        ERR_LINE("Err: Cannot read gpio supplementary\n");
        return FRONT_REFUSED;
    }
    return write_gpio_config(static_cast<uint16_t>(c.param1), static_cast<uint16_t>(c.param1 >> 16), c.param2,
                             records.data());
}

constexpr CommandCase CASES[] = {
    {packet::cmd::OW, write_out_port},
    {packet::cmd::OR,
     [](OrvantiCom& c) {
         uint16_t delay = 0, high = 0, low = 0;
         uint8_t count = 0;
         return read_out_port_config(static_cast<uint8_t>(c.param1), c.flag, &delay, &count, &high, &low);
     }},
    {packet::cmd::OL, list_enabled_events},
    {packet::cmd::OS, [](OrvantiCom& c) { return set_output_port(c.flag, c.param1); }},
    {packet::cmd::IW, [](OrvantiCom& c) { return write_in_port_config(c.param1, c.param2, c.flag); }},
    {packet::cmd::IR,
     [](OrvantiCom& c) {
         uint32_t function = 0, value = 0;
         return read_in_port_config(c.flag, &function, &value);
     }},
    {packet::cmd::IG,
     [](OrvantiCom& c) {
         uint32_t status = 0;
         return read_in_port_status(c.flag, c.param1, &status);
     }},
    {packet::cmd::GR, read_gpio},
    {packet::cmd::GW, write_gpio},
    {packet::cmd::GC, [](OrvantiCom&) { return disable_gpio(); }},
    {packet::cmd::GD, [](OrvantiCom&) { return reset_gpio(); }},
};

} // namespace

std::span<const CommandCase> ports_cases() {
    return CASES;
}
