// Status, system parameters and calibration: SS, SR, SW, SF, CS.
#include "Module.h"

namespace sim {
namespace {

using namespace cmd;

bool is_ascii_setting(uint32_t v) {
    return (v >= 0x30 && v <= 0x39) || (v >= 0x41 && v <= 0x5A);
}

// Whether a value is one the module takes for the parameter.
bool value_allowed(uint8_t number, uint32_t value) {
    switch (number) {
    case param::BAUDRATE:
    case param::AUX_BAUDRATE: return packet::is_baud_code(value);
    case param::MODULE_ID: return value >= 1 && value <= 0xFFFE; // 0 addresses every module
    case param::ENCRYPTION_MODE:
    case param::SCAN_SUCCESS:
    case param::ASCII_PACKET:
    case param::ROTATE_IMAGE:
    case param::AUTOMATIC_GPIO_RESPONSE:
    case param::NETWORK_MODE:
    case param::FREE_SCAN:
    case param::PROVISIONAL_ENROLL:
    case param::PASS_WHEN_EMPTY:
    case param::FAST_MODE: return value == packet::setting::OFF || value == packet::setting::ON;
    default: return is_ascii_setting(value);
    }
}

void status(Module& m, const Command& c) {
    m.answer(c.code, packet::status::NORMAL, 0, flag::SUCCEED);
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
