// Status, system parameters and calibration: SS, SR, SW, SF, CS.
#include "Module.h"

namespace sim {
namespace {

using namespace cmd;
constexpr uint32_t STATUS_NORMAL = 0x30;

bool is_ascii_setting(uint32_t v) {
    return (v >= 0x30 && v <= 0x39) || (v >= 0x41 && v <= 0x5A);
}

// Whether a value is one the module takes for the parameter.
bool value_allowed(uint8_t number, uint32_t value) {
    switch (number) {
    case param::BAUDRATE:
    case param::AUX_BAUDRATE: return packet::is_baud_code(value);
    case 0x6d: return value >= 1 && value <= 0xFFFE; // 0 addresses every module
    case 0x67:
    case 0x75:
    case 0x76:
    case 0x77:
    case 0x82:
    case 0x83:
    case 0x84:
    case 0x85:
    case 0x86:
    case 0x93: return value == 0x30 || value == 0x31;
    default: return is_ascii_setting(value);
    }
}

void status(Module& m, const Command& c) {
    m.answer(c.code, STATUS_NORMAL, 0, flag::SUCCEED);
}

void read_param(Module& m, const Command& c) {
    const auto v = m.state().param(c.flag);
    if (!v || find_param(c.flag) == nullptr)
        m.answer(c.code, 0, 0, flag::NOT_FOUND);
    else
        m.answer(c.code, 0, *v, flag::SUCCEED);
}

void write_param(Module& m, const Command& c) {
    const ParamInfo* info = find_param(c.flag);
    if (info == nullptr) {
        m.answer(c.code, 0, 0, flag::NOT_FOUND);
        return;
    }
    if (!info->writable || !value_allowed(c.flag, c.param2)) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    m.state().set_param(c.flag, c.param2);
    m.answer(c.code, 0, c.param2, flag::SUCCEED);
    // The answer went out in the old form and at the old rate; the line changes now.
    m.apply_line_settings();
}

void save_params(Module& m, const Command& c) {
    m.answer(c.code, 0, 0, m.state().save_params() ? flag::SUCCEED : flag::SYSTEM_BUSY);
}

void calibrate(Module& m, const Command& c) {
    // Calibration needs an empty sensor.
    m.answer(c.code, 0, 0, m.finger_on_sensor() ? flag::SCAN_FAILED : flag::SUCCEED);
}

const Register reg{{SS, status}, {SR, read_param}, {SW, write_param}, {SF, save_params}, {CS, calibrate}};

} // namespace
} // namespace sim
