// System parameters and calibration: SW writes one system parameter, SF saves
// the parameters in the module, CS calibrates the sensor. SW is the one command
// after which the library's own side of the link follows the module: baud rate,
// hex-text and network packet forms, Enroll Mode and SCAN_SUCCESS answers.
#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "engine/Tables.h"
#include "families/Run.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

// The library's on/off parameters take the character '0' as off.

// The table's argument is the parameter number.
constexpr answers::Row swAnswer[] = {
    {NOT_FOUND, "Cannot find the parameter: %#x\n", RES_NOT_FOUND},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {answers::ANY, "Unknown error: %#x\n", RES_UNKNOWN},
};

constexpr answers::Row csAnswer[] = {
    {SCAN_FAILED, "Scan calibration failed\n", RES_SCAN_FAILED},
    {NOT_SUPPORTED, "Calibration is not supported\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {answers::ANY, "Unknown error\n", RES_UNKNOWN},
};

// What the library changes on its own side once the module accepted a new value.
struct ParameterEffect {
    uint8_t number;
    int (*apply)(uint32_t value);
};

int set_enroll_mode(uint32_t value) {
    module_settings().enrollMode = static_cast<int>(value);
    return 0;
}

int set_scan_success(uint32_t value) {
    module_settings().scanSuccessOn = value != packet::setting::OFF;
    return 0;
}

int set_hex_text(uint32_t value) {
    link_state().hexText = value != packet::setting::OFF;
    return 0;
}

int set_network(uint32_t value) {
    LinkState& s = link_state();
    s.network = value != packet::setting::OFF;
    serial_set_turn_pause(s.network || s.broadcast ? packet::SHARED_LINE_PAUSE_MS : 0);
    return 0;
}

int set_baudrate(uint32_t value) {
    if (serial_setup(baud_rate_of_code(static_cast<int>(value))) < 0) {
        trace(TRACE_ERROR, "Cannot set baudrate: %#x\n", value);
        return ERR_PORT_SETUP;
    }
    return 0;
}

constexpr ParameterEffect parameterEffects[] = {
    {packet::param::ENROLL_MODE, set_enroll_mode},   {packet::param::BAUDRATE, set_baudrate},
    {packet::param::SCAN_SUCCESS, set_scan_success}, {packet::param::ASCII_PACKET, set_hex_text},
    {packet::param::NETWORK_MODE, set_network},
};

constexpr sequence::Sequence SW{.command = packet::cmd::SW, .answer = swAnswer};
constexpr sequence::Sequence SF{.command = packet::cmd::SF, .answer = answers::busyOrUnknown};
constexpr sequence::Sequence CS{.command = packet::cmd::CS, .answer = csAnswer};

constexpr run::Plain SF_RUN{&SF, "System Parameter Save"};
constexpr run::Plain CS_RUN{&CS, "Calibrate sensor"};

} // namespace

int system_parameter_write(uint8_t number, uint32_t value) {
    trace(TRACE_CALL, "System Parameter Write(SW): %s(%#02x) %#x\n", keyword_name(KW_PARAMETER, number),
          number, value);
    outcome::value("parameter", number);
    outcome::keyword("parameter_name", KW_PARAMETER, number);
    outcome::value("value", value);
    // The answer still arrives in the old form and at the old rate; the new
    // settings apply from the next packet on.
    if (int rc = sequence::run(SW, {.param2 = value, .flag = number, .arg = number}); rc != answers::GO_ON)
        return rc;
    for (const ParameterEffect& effect : parameterEffects) {
        if (effect.number == number) return effect.apply(value);
    }
    return 0;
}

int system_parameter_save() {
    return run::plain(SF_RUN);
}

int calibrate_sensor() {
    return run::plain(CS_RUN);
}

// ------------------------------------------------------------- run_command

namespace {

constexpr run::Registration RUNS[] = {
    {packet::cmd::SS,
     [](const CommandRequest&, Outcome&) {
         uint32_t status = 0;
         return system_status_check(&status);
     }},
    {packet::cmd::SR,
     [](const CommandRequest& r, Outcome&) {
         uint32_t value = 0;
         return system_parameter_read(r.flag, &value);
     }},
    {packet::cmd::SW,
     [](const CommandRequest& r, Outcome&) { return system_parameter_write(r.flag, r.param2); }},
    {packet::cmd::SF, nullptr, &SF_RUN},
    {packet::cmd::CS, nullptr, &CS_RUN},
};

} // namespace

std::span<const run::Registration> run::system_runs() {
    return RUNS;
}

} // namespace kelvor
