// The connection to one module, or to all modules of a line: the port opened
// and set up, a line left busy by an earlier run drained, the status check
// and the settings the library follows read once.
#include <algorithm>
#include <chrono>
#include <vector>

#include "ModuleSDK.h"
#include "port/SerialLine.h"

namespace kelvor {

namespace {

// A drain gives up on a line that has not fallen quiet after this many read
// time-outs, and the wire time of twice the bytes it has drained: the tail of a
// transfer that an earlier run gave up comes at the line's rate and earns its
// time, a line that trickles (noise, a half-broken adapter) earns next to
// nothing. Never beyond the wire time of DRAIN_BYTES_MAX, the largest
// transfer in hex text.
constexpr int DRAIN_TIMEOUTS = 3;
constexpr uint64_t DRAIN_BYTES_MAX = 2 * 0x40000;

// Reads and drops whatever arrives until the line has been quiet for one read
// time-out; bounded in bytes and in time, the bound checked by the reads
// themselves. Nothing of it is printed: it is no text of the module's, but the
// bytes of some transfer. False when the line never went quiet.
bool discard_until_quiet() {
    using serial_line::Clock;
    std::vector<uint8_t> sink(4096);
    const serial_line::Line& line = serial_line::line();
    const auto started = Clock::now();
    const auto timeouts =
        std::chrono::milliseconds(static_cast<int64_t>(std::max(serial_read_timeout(), 1)) * DRAIN_TIMEOUTS);
    LinkState& s = link_state();
    s.unsettled = false;
    s.neverQuiet = false;
    for (uint64_t total = 0;;) {
        const auto deadline =
            started + timeouts + serial_line::wire_time(std::min(2 * total, DRAIN_BYTES_MAX), line.baudRate);
        if (total >= DRAIN_BYTES_MAX || Clock::now() >= deadline) {
            s.neverQuiet = true;
            return false;
        }
        const serial_line::ReadBound bounded(deadline);
        const int r = serial_read(sink.data(), static_cast<int>(sink.size()));
        // The line failed: the next read tells.
        if (r < 0) return true;
        total += static_cast<uint64_t>(r);
        // A read that ended short before the deadline ended on a quiet line;
        // one that the deadline ended goes on only as far as its bytes earned.
        if (r < static_cast<int>(sink.size()) && Clock::now() < deadline) return true;
    }
}

// Port, line settings and read time-out: the part of the opening shared by
// both forms of connection.
int open_port(const char* portName, int baudCode, int readTimeout) {
    if (serial_open(portName) != 0) {
        trace(TRACE_ERROR, "Cannot open the serial port\n");
        return ERR_PORT_OPEN;
    }
    if (serial_setup(baud_rate_of_code(baudCode)) != 0) {
        trace(TRACE_ERROR, "Cannot setup the serial port %#x\n", baudCode);
        return ERR_PORT_SETUP;
    }
    if (serial_set_read_timeout(readTimeout) != 0) {
        trace(TRACE_ERROR, "Cannot set read timeout %#x\n", readTimeout);
        return ERR_SET_TIMEOUT;
    }
    return 0;
}

// The status check of the module the link addresses, and the settings the
// library follows read once: the part of an opening that talks to the module.
int check_module() {
    LinkState& s = link_state();
    uint32_t status = 0;
    s.neverQuiet = false;
    // Bytes already arriving on a port just opened belong to no command of
    // this run; a line that never stops sending has no room for an answer.
    if (serial_input_waiting() && !discard_until_quiet()) return ERR_READ_TIMEOUT;
    // The module's text lines of the first status check are shown only when
    // the check met a clean line: "[" bytes in the tail of an image are no text.
    link_hold_text_lines();
    int rc = system_status_check(&status);
    const bool tail = rc < 0 && rc != ERR_READ && (s.strayBytes || link_held_text_lines() > 0);
    link_release_text_lines(!tail);
    if (tail) {
        // The line carried something else: most likely the tail of a transfer
        // that an earlier run gave up, still on its way. Once it has passed,
        // the status check is tried once more. A quiet line costs nothing here.
        if (!discard_until_quiet()) return ERR_READ_TIMEOUT;
        rc = system_status_check(&status);
    }
    if (rc < 0) return rc;
    uint32_t enrollMode = static_cast<uint32_t>(module_settings().enrollMode);
    system_parameter_read(packet::param::ENROLL_MODE, &enrollMode);
    module_settings().enrollMode = static_cast<int>(enrollMode);
    uint32_t scanSuccess = 0;
    system_parameter_read(packet::param::SCAN_SUCCESS, &scanSuccess);
    module_settings().scanSuccessOn = scanSuccess != packet::setting::OFF;
    return 0;
}

} // namespace

int module_open(const char* portName, int baudCode, int hexText, int network, int moduleId, int readTimeout) {
    trace(TRACE_CALL, "Initialize Orvanti Module: %s %d %d %d %d %d\n", portName, baudCode, hexText, network,
          moduleId, readTimeout);
    if (int rc = open_port(portName, baudCode, readTimeout); rc != 0) return rc;
    // Taken over only once the port is ours: a refused second opening leaves
    // the connection that is open as it was.
    LinkState& s = link_state();
    // Network mode and hex text count only when their setting is exactly 1:
    // packets, answers, chunk headers and pauses then all follow the one rule.
    s.hexText = hexText == 1 ? 1 : 0;
    s.network = network == 1 ? 1 : 0;
    s.moduleId = static_cast<uint16_t>(moduleId);
    s.broadcast = 0;
    s.open = true;
    serial_set_turn_pause(s.network ? packet::SHARED_LINE_PAUSE_MS : 0);
    return check_module();
}

int module_open_broadcast(const char* portName, int baudCode, int hexText, int moduleId, int readTimeout) {
    trace(TRACE_CALL, "Initialize Orvanti Module for broadcast: %s %d %d %d\n", portName, baudCode, hexText,
          readTimeout);
    if (int rc = open_port(portName, baudCode, readTimeout); rc != 0) return rc;
    LinkState& s = link_state();
    s.network = 1;
    s.broadcast = 1;
    s.moduleId = static_cast<uint16_t>(moduleId);
    s.hexText = hexText == 1 ? 1 : 0;
    s.open = true;
    serial_set_turn_pause(packet::SHARED_LINE_PAUSE_MS);
    return 0;
}

int module_open_line(const char* portName, int baudCode, int hexText, int readTimeout) {
    trace(TRACE_CALL, "Initialize Orvanti line: %s %d %d %d\n", portName, baudCode, hexText, readTimeout);
    if (int rc = open_port(portName, baudCode, readTimeout); rc != 0) return rc;
    LinkState& s = link_state();
    s.network = 1;
    s.broadcast = 0;
    s.moduleId = 0;
    s.hexText = hexText == 1 ? 1 : 0;
    s.open = true;
    serial_set_turn_pause(packet::SHARED_LINE_PAUSE_MS);
    s.neverQuiet = false;
    if (serial_input_waiting() && !discard_until_quiet()) return ERR_READ_TIMEOUT;
    return 0;
}

int module_select(int moduleId) {
    LinkState& s = link_state();
    if (!s.open || s.network != 1 || s.broadcast != 0 || moduleId < 1 || moduleId > 0xFFFF) return ERR_PORT_SETUP;
    s.moduleId = static_cast<uint16_t>(moduleId);
    return check_module();
}

int module_close() {
    trace_disable(TRACE_CALL | TRACE_COMM | TRACE_DATA);
    serial_close();
    link_state().open = false;
    link_state().awaitedCommand = -1;
    link_state().unsettled = false;
    return 0;
}

} // namespace kelvor
