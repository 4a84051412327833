// The connection to one module, or to all modules of a line: the port opened
// and set up, a line left busy by an earlier run drained, the status check
// and the settings the library follows read once.
#include <algorithm>
#include <chrono>
#include <vector>

#include "ModuleSDK.h"

namespace kelvor {

namespace {

// The most a drain takes before it gives up waiting for a quiet line.
constexpr size_t DISCARD_MAX = 16u << 20;
constexpr int DISCARD_TIMEOUTS_MAX = 30;

// Reads and drops whatever arrives until the line has been quiet for one read
// time-out; bounded in bytes and in time. Nothing of it is printed: it is no
// text of the module's, but the bytes of some transfer.
void discard_until_quiet() {
    std::vector<uint8_t> sink(4096);
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(static_cast<int64_t>(std::max(serial_read_timeout(), 1)) *
                                  DISCARD_TIMEOUTS_MAX);
    for (size_t total = 0; total < DISCARD_MAX && std::chrono::steady_clock::now() < deadline;) {
        const int r = serial_read(sink.data(), static_cast<int>(sink.size()));
        if (r <= 0) break;
        total += static_cast<size_t>(r);
    }
    link_state().unsettled = false;
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
    // Bytes already arriving on a port just opened belong to no command of this run.
    if (serial_input_waiting()) discard_until_quiet();
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
        discard_until_quiet();
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
    if (serial_input_waiting()) discard_until_quiet();
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
