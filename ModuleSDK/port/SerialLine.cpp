// The serial port's time keeping and the calls that only read or set it, the
// same on every system.
#include "port/SerialLine.h"

#include "ModuleSDK.h"

namespace kelvor {

serial_line::Line& serial_line::line() {
    static Line instance;
    return instance;
}

serial_line::Held& serial_line::held() {
    static Held instance;
    return instance;
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
    // Lock-free, so that a signal handler may set it.
    static std::atomic<bool> flag{false};
    static_assert(std::atomic<bool>::is_always_lock_free);
    return flag;
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
