// The serial_* calls: one port per line (the calling thread's), of the kind
// its name tells (a local device, or a URL of a network port), and what is
// alike for every kind.
#include "ModuleSDK.h"
#include "port/PortKind.h"
#include "port/PortName.h"
#include "port/SerialLine.h"
#include "trace/LineState.h"

namespace kelvor {

namespace {

using serial_line::line;

// The kind of the port open on the calling thread's line, none before.
port_kind::Kind*& active_kind() {
    return line_state::part<port_kind::Kind*>(line_state::ACTIVE_PORT);
}

// Writes of at most this many bytes go to the system's queue without a wait.
constexpr int HELD_WRITE_BYTES = 1024;

// The kind that answers a call: the open port's, or before any the local
// one, whose calls on a port not open fail as they always did.
port_kind::Kind& current() {
    return active_kind() ? *active_kind() : port_kind::local_port();
}

} // namespace

int serial_open(const char* name) {
    port_kind::Kind*& active = active_kind();
    if (active) {
        trace(TRACE_ERROR, "The serial port is already open\n");
        return -1;
    }
    line().lastError = 0;
    serial_clear_interrupt();
    const char* given = name ? name : "";
    port_kind::Kind& kind = port_name::is_url(given) ? port_kind::network_port() : port_kind::local_port();
    if (!kind.open(given)) {
        trace(TRACE_ERROR, "Cannot create the handle\n");
        return -1;
    }
    line().portLost = false;
    active = &kind;
    return 0;
}

int serial_setup(int baudRate) {
    return current().setup(baudRate) ? 0 : -1;
}

int serial_set_read_timeout(int milliseconds) {
    port_kind::Kind*& active = active_kind();
    if (milliseconds >= 0 && milliseconds == line().appliedTimeoutMs) return 0;
    if (!active || milliseconds < 0 || !active->apply_read_timeout(milliseconds)) {
        trace(TRACE_ERROR, "Cannot get timeout object\n");
        return -1;
    }
    line().appliedTimeoutMs = milliseconds;
    line().timeoutMs = milliseconds;
    return 0;
}

void serial_bound_reads(uint64_t bytes) {
    port_kind::Kind*& active = active_kind();
    if (active) active->settle_output();
    line().bind(bytes);
}

int serial_begin_read() {
    port_kind::Kind*& active = active_kind();
    if (!active) {
        trace(TRACE_ERROR, "Cannot read data\n");
        return -1;
    }
    // A shared line pauses before its turn.
    if (line().turnPauseMs > 0) serial_line::run_held();
    active->begin_read();
    return 0;
}

int serial_read_more(uint8_t* buffer, int n) {
    port_kind::Kind*& active = active_kind();
    if (n <= 0) return 0;
    if (!active) return -1;
    return active->read_span(buffer, n);
}

int serial_read(uint8_t* buffer, int n) {
    if (n <= 0) return 0;
    if (serial_begin_read() < 0) return -1;
    const int r = active_kind()->read_span(buffer, n);
    if (r < 0) trace(TRACE_ERROR, "Cannot read data\n");
    return r;
}

bool serial_input_waiting() {
    port_kind::Kind*& active = active_kind();
    return active && active->input_waiting();
}

int serial_write(const uint8_t* bytes, int n) {
    port_kind::Kind*& active = active_kind();
    if (!active) {
        trace(TRACE_ERROR, "Cannot write data\n");
        return -1;
    }
    // A write longer than the system takes at once waits for the line; so
    // does the pause before a shared line's turn.
    if (n > HELD_WRITE_BYTES || line().turnPauseMs > 0) serial_line::run_held();
    return active->write(bytes, n);
}

int serial_close() {
    port_kind::Kind*& active = active_kind();
    if (active) active->close();
    active = nullptr;
    line().closed();
    return 0;
}

} // namespace kelvor
