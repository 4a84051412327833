// Input, output and GPIO ports: OW, OR, OL, OS, IW, IR, IG, GR, GW, GC, GD.
#include "Module.h"

#include <algorithm>
#include <iterator>

namespace sim {
namespace {

using namespace cmd;

// Output ports OUT0..OUT2 and LED0..LED2, and the automatic response (the
// last), which takes configurations but cannot be set by hand.
constexpr uint8_t OUTPUT_PORTS = std::size(packet::OUTPUT_PORTS);
constexpr uint8_t SETTABLE_OUTPUTS = packet::output_port::AUTO_RESPONSE;
static_assert(SETTABLE_OUTPUTS + 1 == OUTPUT_PORTS, "the automatic response is the last output port");
constexpr uint8_t INPUT_PORTS = std::size(packet::INPUT_PORTS);
// Output configurations the module keeps, over all ports.
constexpr size_t OUTPUT_CONFIG_CAPACITY = 64;
constexpr uint8_t EVENT_CLEAR_ALL = packet::event::code_of("Clear all events");
// GPIO lines 0..3; the modes of the vocabulary; records per line.
constexpr uint32_t GPIO_LINES = 4;
constexpr uint32_t GPIO_MODE_MAX = packet::highest_code(packet::GPIO_MODES);
constexpr uint32_t GPIO_RECORDS_MAX = 16;
constexpr size_t GPIO_RECORD_SIZE = packet::record::GPIO_RECORD_SIZE;

constexpr const char* OUTPUT_CONFIG_BLOB = "output port configuration";
constexpr const char* OUTPUT_LEVEL_BLOB = "output port levels";
constexpr const char* INPUT_CONFIG_BLOB = "input port configuration";
constexpr const char* GPIO_BLOB = "gpio configuration";

// One output configuration: port, event, then Param1 and Param2 of OW as sent.
constexpr size_t OUTPUT_CONFIG_SIZE = 10;

struct OutputConfig {
    uint8_t port = 0;
    uint8_t event = 0;
    uint32_t timing = 0; // T_DELAY << 16 | T_COUNT << 8 | event
    uint32_t pulse = 0;  // T_HIGH << 16 | T_LOW
};

std::vector<OutputConfig> output_configs(Module& m) {
    const std::vector<uint8_t> blob = m.state().blob(OUTPUT_CONFIG_BLOB).value_or(std::vector<uint8_t>{});
    std::vector<OutputConfig> out;
    for (size_t at = 0; at + OUTPUT_CONFIG_SIZE <= blob.size(); at += OUTPUT_CONFIG_SIZE)
        out.push_back({blob[at], blob[at + 1], packet::get32(&blob[at + 2]), packet::get32(&blob[at + 6])});
    return out;
}

bool save_output_configs(Module& m, const std::vector<OutputConfig>& configs) {
    std::vector<uint8_t> blob(configs.size() * OUTPUT_CONFIG_SIZE);
    for (size_t i = 0; i < configs.size(); ++i) {
        uint8_t* p = &blob[i * OUTPUT_CONFIG_SIZE];
        p[0] = configs[i].port;
        p[1] = configs[i].event;
        packet::put32(p + 2, configs[i].timing);
        packet::put32(p + 6, configs[i].pulse);
    }
    return m.state().set_blob(OUTPUT_CONFIG_BLOB, blob);
}

// Event 0 clears every configuration of the port; any other event is added or replaced.
void out_write(Module& m, const Command& c) {
    if (c.flag >= OUTPUT_PORTS) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    const auto event = static_cast<uint8_t>(c.param1);
    std::vector<OutputConfig> configs = output_configs(m);
    const auto same = [&](const OutputConfig& o) {
        return o.port == c.flag && (event == EVENT_CLEAR_ALL || o.event == event);
    };
    const auto found = std::find_if(configs.begin(), configs.end(), same);
    if (event == EVENT_CLEAR_ALL) {
        configs.erase(std::remove_if(configs.begin(), configs.end(), same), configs.end());
    } else if (found != configs.end()) {
        found->timing = c.param1;
        found->pulse = c.param2;
    } else if (configs.size() >= OUTPUT_CONFIG_CAPACITY) {
        m.answer(c.code, 0, 0, flag::MEMORY_FULL);
        return;
    } else {
        configs.push_back({c.flag, event, c.param1, c.param2});
    }
    m.answer(c.code, 0, 0, save_output_configs(m, configs) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void out_read(Module& m, const Command& c) {
    if (c.flag >= OUTPUT_PORTS) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    for (const OutputConfig& o : output_configs(m)) {
        if (o.port == c.flag && o.event == static_cast<uint8_t>(c.param1)) {
            m.answer(c.code, o.timing, o.pulse, flag::SUCCEED);
            return;
        }
    }
    m.answer(c.code, 0, 0, flag::NOT_FOUND);
}

// The events the port acts on, one byte each after the answer.
void out_list(Module& m, const Command& c) {
    if (c.flag >= OUTPUT_PORTS) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    std::vector<uint8_t> events;
    for (const OutputConfig& o : output_configs(m))
        if (o.port == c.flag) events.push_back(o.event);
    m.answer(c.code, 0, static_cast<uint32_t>(events.size()), flag::SUCCEED);
    if (!events.empty()) m.send_block(events);
}

// Param1 0 clears the output, 1 sets it.
void out_set(Module& m, const Command& c) {
    if (c.flag >= SETTABLE_OUTPUTS || c.param1 > 1) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    std::vector<uint8_t> levels = m.state().blob(OUTPUT_LEVEL_BLOB).value_or(std::vector<uint8_t>{});
    levels.resize(SETTABLE_OUTPUTS, 0);
    levels[c.flag] = static_cast<uint8_t>(c.param1);
    m.answer(c.code, 0, 0, m.state().set_blob(OUTPUT_LEVEL_BLOB, levels) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

// Per input port: its function and value, 4 bytes each.
std::vector<uint8_t> input_configs(Module& m) {
    std::vector<uint8_t> blob = m.state().blob(INPUT_CONFIG_BLOB).value_or(std::vector<uint8_t>{});
    blob.resize(INPUT_PORTS * 8, 0);
    return blob;
}

void in_write(Module& m, const Command& c) {
    if (c.flag >= INPUT_PORTS) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    std::vector<uint8_t> blob = input_configs(m);
    packet::put32(&blob[c.flag * 8u], c.param1);
    packet::put32(&blob[c.flag * 8u + 4], c.param2);
    m.answer(c.code, 0, 0, m.state().set_blob(INPUT_CONFIG_BLOB, blob) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void in_read(Module& m, const Command& c) {
    if (c.flag >= INPUT_PORTS) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    const std::vector<uint8_t> blob = input_configs(m);
    m.answer(c.code, packet::get32(&blob[c.flag * 8u]), packet::get32(&blob[c.flag * 8u + 4]), flag::SUCCEED);
}

// Whether the input was raised since it was last cleared; Param1 0 clears it
// after the reading, 1 leaves it.
void in_status(Module& m, const Command& c) {
    if (c.flag >= INPUT_PORTS || c.param1 > 1) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    uint8_t& latches = m.input_latches();
    const uint8_t bit = static_cast<uint8_t>(1u << c.flag);
    const uint32_t active = (latches & bit) ? 1 : 0;
    if (c.param1 == 0) latches = static_cast<uint8_t>(latches & ~bit);
    m.answer(c.code, active, 0, flag::SUCCEED);
}

// A GPIO line's configuration: its mode and its records.
struct GpioLine {
    uint16_t mode = 0;
    std::vector<uint8_t> records;
};

std::vector<uint8_t> record(uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3) {
    std::vector<uint8_t> r(GPIO_RECORD_SIZE);
    packet::put16(&r[0], w0);
    packet::put16(&r[2], w1);
    packet::put16(&r[4], w2);
    packet::put16(&r[6], w3);
    return r;
}

// The factory configuration: line 0 an input that starts identification,
// lines 1 and 2 outputs for a match and a failed match, line 3 unused.
std::vector<GpioLine> default_gpio() {
    return {
        {1, record(2, 2, 0, 0)}, {2, record(0x87, 0x82, 0x1e, 0)}, {2, record(0x88, 0x82, 0x1e, 0)}, {0, {}}};
}

// Blob: per line a mode (2 bytes), a record count (2 bytes) and the records.
std::vector<GpioLine> gpio_lines(Module& m) {
    const auto blob = m.state().blob(GPIO_BLOB);
    if (!blob) return default_gpio();
    std::vector<GpioLine> lines(GPIO_LINES);
    size_t at = 0;
    for (GpioLine& line : lines) {
        if (at + 4 > blob->size()) break;
        line.mode = packet::get16(&(*blob)[at]);
        const size_t bytes = packet::get16(&(*blob)[at + 2]) * GPIO_RECORD_SIZE;
        at += 4;
        if (at + bytes > blob->size()) break;
        line.records.assign(blob->begin() + static_cast<std::ptrdiff_t>(at),
                            blob->begin() + static_cast<std::ptrdiff_t>(at + bytes));
        at += bytes;
    }
    return lines;
}

bool save_gpio(Module& m, const std::vector<GpioLine>& lines) {
    std::vector<uint8_t> blob;
    for (const GpioLine& line : lines) {
        uint8_t head[4];
        packet::put16(head, line.mode);
        packet::put16(head + 2, static_cast<uint16_t>(line.records.size() / GPIO_RECORD_SIZE));
        blob.insert(blob.end(), head, head + 4);
        blob.insert(blob.end(), line.records.begin(), line.records.end());
    }
    return m.state().set_blob(GPIO_BLOB, blob);
}

void gpio_read(Module& m, const Command& c) {
    const uint32_t id = c.param1 & 0xFFFF;
    if (id >= GPIO_LINES) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    const GpioLine line = gpio_lines(m)[id];
    const auto count = static_cast<uint32_t>(line.records.size() / GPIO_RECORD_SIZE);
    m.answer(c.code, static_cast<uint32_t>(line.mode) << 16 | id, count, flag::SUCCEED);
    if (count > 0) m.send_block(line.records);
}

void gpio_write(Module& m, const Command& c) {
    const uint32_t id = c.param1 & 0xFFFF, mode = c.param1 >> 16;
    std::vector<uint8_t> records;
    const uint64_t bytes = static_cast<uint64_t>(c.param2) * GPIO_RECORD_SIZE;
    // The records are read (or dropped) whole before the answer.
    const bool received = m.receive_block(records, static_cast<size_t>(std::min<uint64_t>(bytes, SIZE_MAX)),
                                          GPIO_RECORDS_MAX * GPIO_RECORD_SIZE);
    if (!received || id >= GPIO_LINES || mode > GPIO_MODE_MAX) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    std::vector<GpioLine> lines = gpio_lines(m);
    lines[id] = {static_cast<uint16_t>(mode), records};
    m.answer(c.code, 0, 0, save_gpio(m, lines) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void gpio_disable(Module& m, const Command& c) {
    m.answer(c.code, 0, 0,
             save_gpio(m, std::vector<GpioLine>(GPIO_LINES)) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void gpio_default(Module& m, const Command& c) {
    m.answer(c.code, 0, 0, save_gpio(m, default_gpio()) ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

const Register reg{{OW, out_write},  {OR, out_read},     {OL, out_list},    {OS, out_set},
                   {IW, in_write},   {IR, in_read},      {IG, in_status},   {GR, gpio_read},
                   {GW, gpio_write}, {GC, gpio_disable}, {GD, gpio_default}};

} // namespace
} // namespace sim
