#include "Harness.h"

#include <fcntl.h>
#include <unistd.h>

#include "FakeLine.h"
#include "ModuleSDK.h"

using namespace kelvor;

namespace fuzz {

bool split_input(const uint8_t* data, size_t size, Input& out) {
    if (size < INPUT_HEADER) return false;
    out.network = data[0] & 1;
    out.hexText = data[0] & 2;
    out.fullOpen = data[0] & 4;
    out.scanSuccessOn = data[0] & 8;
    out.row = data[1];
    out.value = packet::get32(data + 2);
    out.enrollMode = data[6];
    out.traceMask = data[7] & 0x0F;
    out.module = std::span<const uint8_t>(data + INPUT_HEADER, size - INPUT_HEADER);
    return true;
}

void setup_once() {
    static bool done = false;
    if (done) return;
    done = true;
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 1); // module text lines
    trace_reset(null);
    keyword_fill();
}

bool open_link(const Input& in) {
    fakeline::load(in.module.data(), in.module.size());
    trace_disable(TRACE_ERROR | TRACE_CALL | TRACE_COMM | TRACE_DATA);
    trace_enable(in.traceMask);
    const int hex = in.hexText ? 1 : 0;
    const int network = in.network ? 1 : 0;
    if (in.fullOpen) return module_open("fuzz", 0x35, hex, network, 1, 1000) == 0;
    // The state an opening leaves, without its exchanges.
    if (serial_open("fuzz") != 0 || serial_setup(115200) != 0 || serial_set_read_timeout(1000) != 0)
        return false;
    LinkState& s = link_state();
    s.hexText = hex;
    s.network = network;
    s.moduleId = 1;
    s.broadcast = 0;
    s.open = true;
    serial_set_turn_pause(network ? packet::SHARED_LINE_PAUSE_MS : 0);
    module_settings().enrollMode = in.enrollMode;
    module_settings().scanSuccessOn = in.scanSuccessOn ? 1 : 0;
    return true;
}

void run_row(std::span<const Row> table, const Input& in) {
    if (table.empty()) return;
    if (open_link(in)) table[in.row % table.size()].run(in);
    module_close();
}

} // namespace fuzz

// A small quarantine of freed memory: the runs stay in memory they have
// touched before instead of faulting in fresh pages, several times faster,
// and use-after-free of recent memory is still caught.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
