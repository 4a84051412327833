// The scan of a shared line: every ID of a range asked for its status, one
// after the other, with a short wait; each module found reported as it is
// found, and the whole scan at the end.
#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "ErrorLines.h"
#include "JsonWriter.h"
#include "QuietTrace.h"
#include "Works.h"
#include "connection/PortInfo.h"
#include "trace/Console.h"

// Reporting sites of this file: the numbers the command line's scan has had
// from the start, given explicitly.

using namespace kelvor;

namespace tools {

namespace {

std::string text_of(const char* format, ...) KELVOR_PRINTF(1, 2);
std::string text_of(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = json_output::formatted(format, args);
    va_end(args);
    return text;
}

// Wait for one answer: the command packet and the answer on the wire, the
// module's turnaround, twice over for safety; 20 ms at least.
// The pause before each probe's packet and its answer.
constexpr int SCAN_TURN_PAUSE_MS = 5;

} // namespace

int probe_wait_ms(int baudRate, int hexText) {
    const double bitsPerByte = hexText == 1 ? 20.0 : 10.0;
    const double wire = 2.0 * packet::length(true) * bitsPerByte * 1000.0 / std::max(baudRate, 1);
    constexpr double TURNAROUND_MS = 10.0;
    return std::max(20, static_cast<int>(2.0 * (wire + TURNAROUND_MS) + 0.5));
}

namespace {

// What came back to a probe.
enum class Heard {
    Nothing,  // silence: nobody of this ID on the line
    Answer,   // a clean answer
    Checksum, // an answer with a bad checksum
    CutShort, // the start of an answer, and then nothing
};

struct Found {
    uint16_t id = 0;
    Heard heard = Heard::Nothing;
    int result = 0; // 0, or the link's result code of the damaged answer
    uint32_t status = 0;
    uint32_t firmware = 0, templates = 0;
    bool details = false;
};

// Asks module `id` for its status.
Heard probe(uint16_t id, uint32_t& status, int& result) {
    link_state().moduleId = id;
    result = system_status_check(&status);
    if (result == 0) return Heard::Answer;
    if (result == ERR_CHECKSUM) return Heard::Checksum;
    if (result != ERR_READ_TIMEOUT) return Heard::Nothing;
    if (link_state().strayBytes) return Heard::CutShort;
    // Silence; the line is quiet already unless something arrives just now.
    if (!serial_input_waiting()) link_state().unsettled = false;
    return Heard::Nothing;
}

const char* damage_text(Heard heard) {
    return heard == Heard::Checksum ? "answered with a checksum error" : "answered with a packet cut short";
}

// The scan's progress line on standard error, erased before a module's line
// and at the end, so that both read as without it.
class ScanProgress {
public:
    explicit ScanProgress(bool shown)
        : control_(shown ? console::line_control(2) : console::LineControl::None) {}
    void show(uint32_t id, uint32_t first, uint32_t last) {
        if (control_ == console::LineControl::None) return;
        char line[80];
        const int n = std::snprintf(line, sizeof line, "\rScanning module %u of %u-%u ...", id, first, last);
        console::write_all(2, line, static_cast<size_t>(n));
        width_ = static_cast<size_t>(n) - 1;
    }
    void erase() {
        if (width_ == 0) return;
        if (control_ == console::LineControl::Escapes) {
            console::write_all(2, "\r\033[K", 4);
        } else {
            const std::string blank = "\r" + std::string(width_, ' ') + "\r";
            console::write_all(2, blank.data(), blank.size());
        }
        width_ = 0;
    }

private:
    console::LineControl control_;
    size_t width_ = 0;
};

} // namespace

int scan_bus(ScanRequest& scan) {
    WorkOutput& out = *scan.output;
    const uint32_t scanFirst = scan.first, scanLast = scan.last;
    const int wait = scan.waitMs;
    serial_set_read_timeout(wait);
    // One probe waits for its answer before the next goes out, so the line is
    // free by then: a short pause is enough, where commands keep the long one.
    serial_set_turn_pause(SCAN_TURN_PAUSE_MS);
    const bool details = scan.details;
    const bool json = out.objects();
    ScanProgress progress(!json && scan.showProgress && console::is_terminal(2));
    const auto started = std::chrono::steady_clock::now();
    std::vector<uint16_t> ids, checksum, cutShort;
    uint32_t id = scanFirst;
    uint32_t lostAt = 0; // the ID whose probe met a port that is gone
    {
        const QuietTrace quiet;
        for (; id <= scanLast; ++id) {
            // A list that nobody reads ends here, and one that was interrupted.
            if (out.lost() || serial_interrupted()) break;
            progress.show(id, scanFirst, scanLast);
            Found f{static_cast<uint16_t>(id)};
            f.heard = probe(f.id, f.status, f.result);
            if (f.heard == Heard::CutShort) {
                // Bytes came but no whole answer. Once more after a quiet line:
                // a module that answers badly does so again, and bytes that
                // were another's (an answer late for the ID before) do not come again.
                link_state().unsettled = true;
                f.heard = probe(f.id, f.status, f.result);
            }
            // A port that is gone answers for nobody: the scan cannot go on.
            if (serial_port_lost()) {
                lostAt = id;
                break;
            }
            if (f.heard == Heard::Nothing) continue;
            if (f.heard == Heard::Answer && details) {
                f.details = system_parameter_read(packet::param::FIRMWARE_VERSION, &f.firmware) == 0 &&
                            system_parameter_read(packet::param::ENROLLED_FINGERPRINTS, &f.templates) == 0;
            }
            (f.heard == Heard::Answer     ? ids
             : f.heard == Heard::Checksum ? checksum
                                          : cutShort)
                .push_back(f.id);
            // Each module as it is found: a scan stopped halfway has shown what it found.
            progress.erase();
            if (json) {
                json_output::Object o = json_output::object_of("scan_module");
                o["module_id"] = f.id;
                o["result"] = f.result;
                o["result_name"] = result_name(f.result);
                o["answer"] = f.heard == Heard::Answer     ? "ok"
                              : f.heard == Heard::Checksum ? "checksum_error"
                                                           : "cut_short";
                if (f.heard == Heard::Answer) {
                    o["status"] = f.status;
                    o["status_name"] = keyword_name(KW_STATUS, static_cast<int>(f.status));
                }
                if (f.details) {
                    o["firmware_version"] = f.firmware;
                    o["templates"] = f.templates;
                }
                out.print(o);
            } else if (f.heard == Heard::Answer) {
                std::string line = text_of("Module %u (%#06x): %s", f.id, f.id,
                                           keyword_name(KW_STATUS, static_cast<int>(f.status)));
                if (f.details) line += text_of(", firmware %#x, %u templates", f.firmware, f.templates);
                out.text(line + "\n");
            } else {
                out.text(text_of("Module %u (%#06x): %s\n", f.id, f.id, damage_text(f.heard)));
            }
        }
        progress.erase();
    }
    serial_set_read_timeout(scan.readTimeout);
    serial_set_turn_pause(packet::SHARED_LINE_PAUSE_MS);
    if (lostAt != 0) {
        err_line(err_site::SCAN_PORT_GONE, "Err: The serial port is gone; the scan ends at ID %u\n", lostAt);
        if (const std::string why = port_loss_reason(scan.portName); !why.empty())
            trace_print("       %s\n", why.c_str());
        return ERR_READ;
    }
    if (id <= scanLast && !serial_interrupted()) {
        err_line(
            err_site::SCAN_RESULTS_LOST,
            "Err: The results cannot be written to the standard output: %s; the scan ends before ID %u\n",
            out.lost_reason(), id);
        out.loss_reported();
        return FRONT_REFUSED;
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count();
    if (json) {
        json_output::Object o = json_output::object_of("scan");
        o["first"] = scanFirst;
        o["last"] = scanLast;
        o["modules"] = ids;
        o["checksum_errors"] = checksum;
        o["cut_short"] = cutShort;
        o["wait_ms"] = wait;
        o["elapsed_ms"] = elapsed;
        out.print(o);
    } else {
        std::string line = text_of("%zu module%s found on IDs %u-%u", ids.size(), ids.size() == 1 ? "" : "s",
                                   scanFirst, scanLast);
        if (!checksum.empty()) line += text_of(", %zu %s", checksum.size(), damage_text(Heard::Checksum));
        if (!cutShort.empty()) line += text_of(", %zu %s", cutShort.size(), damage_text(Heard::CutShort));
        out.text(line + "\n");
    }
    scan.found = ids;
    // A damaged answer is a fault of the line: the scan is no clean success then.
    return !checksum.empty() ? ERR_CHECKSUM : !cutShort.empty() ? ERR_READ_TIMEOUT : 0;
}

} // namespace tools
