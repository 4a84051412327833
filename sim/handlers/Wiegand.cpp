// The Wiegand port: WW, WR, WG, WS, WM, WL, WC, WWX, WRX, WGX, WSX, WFW, WFR,
// WPW, WPR. The configuration lives in the module's state; the input is what
// the control side presented (--wiegand); every output string is appended to
// the file LINK.wiegand beside the link, as a door controller would see it.
#include "Module.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <sstream>

namespace sim {
namespace {

using namespace cmd;

constexpr size_t MAPPINGS_MAX = 16;
constexpr size_t FORMAT_DATA_MAX = 4096;
constexpr uint32_t FIELDS_MAX = 32;
// The formats: the 26-bit one, pass-through (kept as it is set) and custom.
constexpr uint8_t FORMAT_26BIT = packet::wiegand_format::STANDARD_26BIT;
constexpr uint8_t FORMAT_CUSTOM = packet::wiegand_format::CUSTOM;
// The ports of WW and WR: the input and the output.
constexpr uint8_t WIEGAND_PORTS = std::size(packet::WIEGAND_PORTS);
constexpr const char* BLOB = "wiegand";

struct PortConfig {
    uint32_t fcBits = 8;
    uint32_t format = FORMAT_26BIT;
    uint32_t function = 0;
    uint32_t fcCode = 0;
};

struct Mapping {
    uint32_t function = 0;
    uint32_t value = 0;
};

struct Wiegand {
    PortConfig port[2];
    uint32_t format = 0; // extended format; 0 when not configured
    uint32_t pulseWidth = 0;
    uint32_t pulseInterval = 0;
    std::vector<uint8_t> formatData;
    std::map<uint32_t, uint32_t> defaults;
    uint32_t ioInput = 0, ioOutput = 0, ioOption = 0;
    std::vector<Mapping> mappings[2]; // Wiegand input, smart card
    uint64_t consumedInput = 0;       // the input presentation a clearing read took

    bool configured() const { return format != 0; }
};

std::string hex(const std::vector<uint8_t>& b) {
    std::string s;
    char x[3];
    for (uint8_t v : b) {
        std::snprintf(x, sizeof x, "%02x", v);
        s += x;
    }
    return s;
}

// Kept as text: one line per item.
std::vector<uint8_t> serialize(const Wiegand& w) {
    std::ostringstream s;
    for (int i = 0; i < 2; ++i)
        s << "port " << i << " " << w.port[i].fcBits << " " << w.port[i].format << " " << w.port[i].function
          << " " << w.port[i].fcCode << "\n";
    s << "format " << w.format << " " << w.pulseWidth << " " << w.pulseInterval << " " << hex(w.formatData)
      << "\n";
    for (const auto& [index, value] : w.defaults) s << "default " << index << " " << value << "\n";
    s << "io " << w.ioInput << " " << w.ioOutput << " " << w.ioOption << "\n";
    for (int i = 0; i < 2; ++i)
        for (const Mapping& m : w.mappings[i])
            s << "map " << i << " " << m.function << " " << m.value << "\n";
    s << "consumed " << w.consumedInput << "\n";
    const std::string t = s.str();
    return {t.begin(), t.end()};
}

Wiegand load(Module& m) {
    Wiegand w;
    const auto blob = m.state().blob(BLOB);
    if (!blob) return w;
    std::istringstream in(std::string(blob->begin(), blob->end()));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string key;
        f >> key;
        if (key == "port") {
            int i = 0;
            PortConfig p;
            if (f >> i >> p.fcBits >> p.format >> p.function >> p.fcCode && (i == 0 || i == 1)) w.port[i] = p;
        } else if (key == "format") {
            std::string data;
            f >> w.format >> w.pulseWidth >> w.pulseInterval >> data;
            for (size_t i = 0; i + 1 < data.size(); i += 2) {
                uint64_t byte = 0;
                if (!parse_number("0x" + data.substr(i, 2), byte)) break;
                w.formatData.push_back(static_cast<uint8_t>(byte));
            }
        } else if (key == "default") {
            uint32_t index = 0, value = 0;
            if (f >> index >> value) w.defaults[index] = value;
        } else if (key == "io") {
            f >> w.ioInput >> w.ioOutput >> w.ioOption;
        } else if (key == "map") {
            int i = 0;
            Mapping mp;
            if (f >> i >> mp.function >> mp.value && (i == 0 || i == 1)) w.mappings[i].push_back(mp);
        } else if (key == "consumed") {
            f >> w.consumedInput;
        }
    }
    return w;
}

void save(Module& m, const Wiegand& w) {
    m.state().set_blob(BLOB, serialize(w));
}

// The raw bits of a value in a format: the 26-bit standard frame is an even
// parity bit, the 8-bit facility code, the 16-bit ID and an odd parity bit;
// the other formats carry the value as it is.
uint64_t raw_string(uint32_t format, uint32_t value, uint32_t facility) {
    if (format != FORMAT_26BIT) return value;
    const uint32_t body = (facility & 0xFF) << 16 | (value & 0xFFFF);
    const auto ones = [](uint32_t v) { return __builtin_popcount(v); };
    const uint32_t even = ones(body >> 12) & 1;        // over the first 12 bits
    const uint32_t odd = (ones(body & 0xFFF) & 1) ^ 1; // over the last 12 bits
    return static_cast<uint64_t>(even) << 25 | static_cast<uint64_t>(body) << 1 | odd;
}

// The input presented on the port that no clearing read has taken yet.
std::optional<uint32_t> latched_input(Module& m, const Wiegand& w) {
    const Control ctl = m.control();
    if (!ctl.wiegand || ctl.wiegandSerial == w.consumedInput) return std::nullopt;
    return ctl.wiegand;
}

void take_input(Module& m, Wiegand& w, uint32_t statusHandling) {
    if (statusHandling != 0) return;
    w.consumedInput = m.control().wiegandSerial;
    save(m, w);
}

void record_output(Module& m, uint64_t raw) {
    char line[40];
    std::snprintf(line, sizeof line, "%08x %08x\n", static_cast<uint32_t>(raw >> 32),
                  static_cast<uint32_t>(raw));
    if (std::FILE* f = std::fopen((m.link_path() + ".wiegand").c_str(), "a")) {
        std::fputs(line, f);
        std::fclose(f);
    }
}

bool known_port_function(uint32_t f) {
    return packet::is_named(packet::WIEGAND_FUNCTIONS, f);
}

bool known_input_function(uint32_t f) {
    return packet::is_named(packet::INPUT_FUNCTIONS, f);
}

void write_config(Module& m, const Command& c) {
    const PortConfig p{c.param1 >> 16, c.param1 >> 8 & 0xFF, c.param1 & 0xFF, c.param2};
    if (c.flag >= WIEGAND_PORTS || p.fcBits > 32 || !known_port_function(p.function)) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    Wiegand w = load(m);
    w.port[c.flag] = p;
    save(m, w);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

void read_config(Module& m, const Command& c) {
    if (c.flag >= WIEGAND_PORTS) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    const PortConfig& p = load(m).port[c.flag];
    m.answer(c.code, p.fcBits << 16 | p.format << 8 | p.function, p.fcCode, flag::SUCCEED);
}

void get_input(Module& m, const Command& c) {
    Wiegand w = load(m);
    const auto input = latched_input(m, w);
    if (!input) {
        m.answer(c.code, 0, 0, flag::NOT_FOUND);
        return;
    }
    take_input(m, w, c.param1);
    m.answer(c.code, *input, w.port[0].fcCode, flag::SUCCEED);
}

void set_output(Module& m, const Command& c) {
    const Wiegand w = load(m);
    record_output(m, raw_string(w.port[1].format, c.param1, w.port[1].fcCode));
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

size_t interface_of(const Command& c) {
    return c.flag == 1 ? 1 : 0;
}

void set_mapping(Module& m, const Command& c) {
    if (!known_input_function(c.param1)) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    Wiegand w = load(m);
    auto& list = w.mappings[interface_of(c)];
    const auto same =
        std::find_if(list.begin(), list.end(), [&](const Mapping& x) { return x.value == c.param2; });
    if (same != list.end()) {
        same->function = c.param1;
    } else if (list.size() >= MAPPINGS_MAX) {
        m.answer(c.code, 0, 0, flag::MEMORY_FULL);
        return;
    } else {
        list.push_back({c.param1, c.param2});
    }
    save(m, w);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

// The list: 8 bytes per mapping, function and value, little-endian.
void list_mappings(Module& m, const Command& c) {
    const auto& list = load(m).mappings[interface_of(c)];
    std::vector<uint8_t> data(8 * list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        packet::put32(&data[8 * i], list[i].function);
        packet::put32(&data[8 * i + 4], list[i].value);
    }
    m.answer(c.code, static_cast<uint32_t>(list.size()), static_cast<uint32_t>(data.size()), flag::SUCCEED);
    if (!data.empty()) m.send_block(data);
}

void clear_mappings(Module& m, const Command& c) {
    Wiegand w = load(m);
    w.mappings[interface_of(c)].clear();
    save(m, w);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

// Format 0 takes the extended configuration away; a custom format needs its definition.
void write_format(Module& m, const Command& c) {
    std::vector<uint8_t> data;
    if (c.param2 > 0 && !m.receive_block(data, c.param2, FORMAT_DATA_MAX)) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    if (c.flag > FORMAT_CUSTOM || (c.flag == FORMAT_CUSTOM && data.empty())) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    Wiegand w = load(m);
    w.format = c.flag;
    w.pulseWidth = c.param1 >> 16;
    w.pulseInterval = c.param1 & 0xFFFF;
    w.formatData = data;
    if (!w.configured()) w.defaults.clear();
    save(m, w);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

// The width reads back in 8 bits.
void read_format(Module& m, const Command& c) {
    const Wiegand w = load(m);
    if (!w.configured()) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    m.answer(c.code, w.format << 24 | (w.pulseWidth & 0xFF) << 16 | w.pulseInterval,
             static_cast<uint32_t>(w.formatData.size()), flag::SUCCEED);
    if (!w.formatData.empty()) m.send_block(w.formatData);
}

// A new input is announced when it arrives; a latched one is answered at once.
void read_input_string(Module& m, const Command& c) {
    Wiegand w = load(m);
    if (!w.configured()) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    const auto input = latched_input(m, w);
    if (!input) {
        if (c.flag == 0) m.wait_timeout_period();
        m.answer(c.code, 0, 0, flag::NOT_FOUND);
        return;
    }
    if (c.flag == 0) m.scan_success(c.code);
    take_input(m, w, c.param1);
    const uint64_t raw = raw_string(w.format, *input, w.port[0].fcCode);
    m.answer(c.code, static_cast<uint32_t>(raw >> 32), static_cast<uint32_t>(raw), flag::SUCCEED);
}

void set_output_string(Module& m, const Command& c) {
    if (!load(m).configured()) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    record_output(m, static_cast<uint64_t>(c.param1) << 32 | c.param2);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

void set_default(Module& m, const Command& c) {
    Wiegand w = load(m);
    if (!w.configured() || c.param2 >= FIELDS_MAX) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    if (c.flag)
        w.defaults.erase(c.param2);
    else
        w.defaults[c.param2] = c.param1;
    save(m, w);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

void get_default(Module& m, const Command& c) {
    const Wiegand w = load(m);
    if (!w.configured()) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    const auto it = w.defaults.find(c.param2);
    if (it == w.defaults.end())
        m.answer(c.code, 0, 0, flag::NOT_FOUND);
    else
        m.answer(c.code, it->second, c.param2, flag::SUCCEED);
}

void set_io(Module& m, const Command& c) {
    Wiegand w = load(m);
    if (!w.configured()) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    w.ioInput = c.param1 >> 16;
    w.ioOutput = c.param1 & 0xFFFF;
    w.ioOption = c.param2;
    save(m, w);
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

void get_io(Module& m, const Command& c) {
    const Wiegand w = load(m);
    if (!w.configured()) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    m.answer(c.code, w.ioInput << 16 | w.ioOutput, w.ioOption, flag::SUCCEED);
}

const Register reg{{WW, write_config},
                   {WR, read_config},
                   {WG, get_input},
                   {WS, set_output},
                   {WM, set_mapping},
                   {WL, list_mappings},
                   {WC, clear_mappings},
                   {WWX, write_format},
                   {WRX, read_format},
                   {WGX, read_input_string},
                   {WSX, set_output_string},
                   {WFW, set_default},
                   {WFR, get_default},
                   {WPW, set_io},
                   {WPR, get_io}};

} // namespace
} // namespace sim
