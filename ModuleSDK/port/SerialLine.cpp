// The serial port's time keeping and the calls that only read or set it, the
// same on every system.
#include "port/SerialLine.h"

#include "ModuleSDK.h"
#include "trace/LineState.h"

namespace kelvor {

serial_line::Line& serial_line::line() {
    return line_state::part<Line>(line_state::SERIAL_LINE);
}

serial_line::Held& serial_line::held() {
    return line_state::part<Held>(line_state::HELD_WORK);
}

void serial_line::run_held() {
    // Also from a signal handler: a line that never held work has nothing to run.
    if (Held* h = line_state::find<Held>(line_state::HELD_WORK))
        if (void (*work)() = h->work.exchange(nullptr)) work();
}

void serial_hold(int milliseconds, void (*work)()) {
    serial_line::Held& h = serial_line::held();
    h.due = serial_line::Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
    h.work.store(work);
}

void serial_run_held() {
    serial_line::run_held();
}

void serial_unbound_reads() {
    serial_line::line().bound = serial_line::Clock::time_point{};
}

void serial_set_turn_pause(int milliseconds) {
    serial_line::line().turnPauseMs = std::max(milliseconds, 0);
}

std::atomic<bool>& serial_line::interrupt_flag() {
    return line_state::current().interrupted;
}

bool serial_interrupted() {
    return serial_line::interrupt_flag().load();
}

void serial_clear_interrupt() {
    serial_line::interrupt_flag().store(false);
}

int serial_last_error() {
    return serial_line::line().lastError;
}

bool serial_port_lost() {
    return serial_line::line().portLost;
}

int serial_read_timeout() {
    return serial_line::line().appliedTimeoutMs;
}

} // namespace kelvor
