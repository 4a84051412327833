// The simulated module: the handler registry, the serve loop, commands in
// and out to their handlers.
#include "Module.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace sim {

namespace {

std::array<Handler, 256>& handlers() {
    static std::array<Handler, 256> table{};
    return table;
}

} // namespace

void sleep_ms(uint32_t ms) {
    while (ms > 0 && !stop_requested()) {
        const uint32_t step = std::min<uint32_t>(ms, 50);
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
        ms -= step;
    }
}

Register::Register(std::initializer_list<std::pair<uint8_t, Handler>> list) {
    for (const auto& [code, h] : list) handlers()[code] = h;
}

Handler find_handler(uint8_t code) {
    return handlers()[code];
}

bool Module::start(const Options& options, std::string& error) {
    options_ = options;
    if (!state_.open(options.state, options.capacity, error)) return false;
    controlPath_ = control_path(options.link);
    if (!line_->open(options.link, error)) return false;
    // A fresh control file (nothing on the sensor, no faults) before the link
    // appears, so that a control invocation never races with it.
    if (!save_control(controlPath_, Control{}, error) || !line_->publish(error)) return false;
    line_->set_pace(options.pace);
    line_->set_strict_baud(options.strictBaud);
    apply_line_settings();
    return true;
}

bool Module::join(const Options& options, Line& line, uint16_t id, bool first, std::string& error) {
    options_ = options;
    onBus_ = true;
    line_ = &line;
    if (!state_.open(options.state, options.capacity, error, "m" + std::to_string(id) + "_")) return false;
    // A module of a bus speaks network packets under its own ID, whatever it saved.
    state_.set_param(param::MODULE_ID, id);
    state_.set_param(param::NETWORK_MODE, packet::setting::ON);
    controlPath_ = control_path(options.link, id, first);
    if (!save_control(controlPath_, Control{}, error)) return false;
    apply_line_settings();
    return true;
}

void Module::idle(bool hostFellSilent) {
    if (hostFellSilent) send_unsolicited();
    notice_inputs();
    if (param(param::FREE_SCAN) != packet::setting::OFF) free_scan();
}

void Module::turnaround() const {
    if (onBus_) std::this_thread::sleep_for(std::chrono::milliseconds(BUS_TURNAROUND_MS));
}

void Module::apply_line_settings() {
    line_->set_baud(baud_rate(param(param::BAUDRATE)));
    line_->set_hex(param(param::ASCII_PACKET) != packet::setting::OFF);
    network_ = param(param::NETWORK_MODE) != packet::setting::OFF;
    moduleId_ = static_cast<uint16_t>(param(param::MODULE_ID));
}

Control Module::control() {
    Control c;
    std::string error;
    if (!load_control(controlPath_, c, error) && options_.verbose)
        std::fprintf(stderr, "control: %s\n", error.c_str());
    return c;
}

void Module::note(const char* what, const Command& c) {
    if (!options_.verbose) return;
    std::fprintf(stderr, "%s %02x %08x %08x %02x%s\n", what, c.code, c.param1, c.param2, c.flag,
                 c.broadcast ? " (broadcast)" : "");
}

void Module::serve() {
    bool quietAfterCommand = false;
    while (!stop_requested()) {
        const auto c = receive_command(quietAfterCommand ? UNSOLICITED_AFTER_MS : IDLE_POLL_MS);
        if (c) {
            dispatch(*c);
            quietAfterCommand = true;
            continue;
        }
        // Once the host has fallen silent after its command: time for packets of the module's own.
        idle(quietAfterCommand);
        quietAfterCommand = false;
    }
}

void Module::notice_inputs() {
    // An input raised from the control side latches until IG clears it, and is logged.
    const Control ctl = control();
    if (ctl.inputSerial == inputSerial_) return;
    inputSerial_ = ctl.inputSerial;
    if (!ctl.input || *ctl.input > 2) return;
    inputLatches_ = static_cast<uint8_t>(inputLatches_ | 1u << *ctl.input);
    record_event(static_cast<uint8_t>(LOG_SOURCE_IN0 + *ctl.input),
                 static_cast<uint8_t>(EVENT_DETECT_INPUT0 + *ctl.input), 0);
}

void Module::dispatch(const Command& c) {
    note("<-", c);
    notice_inputs();
    broadcast_ = c.broadcast;
    currentCommand_ = c.code;
    const uint32_t delay = param(param::RESPONSE_DELAY);
    if (delay > 0x30 && delay <= 0x39) sleep_ms((delay - 0x30) * 100);
    // A second step of a two-step enrolment must follow at once; anything else drops it.
    const bool continues = (c.code == cmd::ES || c.code == cmd::EW) && c.flag == flag::ENROLL_CONTINUE;
    if (!continues) pendingEnroll.reset();
    cancelled_ = false;
    if (state_.locked() && refused_while_locked(c.code))
        answer(c.code, 0, 0, flag::SYSTEM_BUSY);
    else if (Handler h = find_handler(c.code))
        h(*this, c);
    else
        answer(c.code, 0, 0, flag::NOT_SUPPORTED);
    broadcast_ = false;
}

std::optional<Command> Module::receive_command(int timeoutMs) {
    const size_t len = packet::length(network_);
    const uint8_t start = packet::start_code(network_);
    uint8_t buf[packet::MAX_LENGTH];
    if (!line_->read_byte(buf[0], timeoutMs) || buf[0] != start) return std::nullopt;
    if (line_->read(buf + 1, len - 1, GAP_MS) != len - 1) return std::nullopt;
    // A damaged packet gets no answer at all.
    if (!packet::checksum_ok(buf, network_) || buf[len - 1] != packet::END_CODE) {
        if (options_.verbose) std::fprintf(stderr, "<- damaged packet dropped\n");
        return std::nullopt;
    }
    const packet::Fields f = packet::decode(buf, network_);
    Command c;
    c.code = f.command;
    c.param1 = f.param1;
    c.param2 = f.param2;
    c.flag = f.flag;
    if (network_) {
        if (f.moduleId == 0)
            c.broadcast = true;
        else if (f.moduleId != moduleId_)
            return std::nullopt; // another module's packet
    }
    return c;
}

} // namespace sim
