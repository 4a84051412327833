// What a run does once its connection is open: the work of a long option, a
// batch, a directory or the command; on a line of several modules (RS-485)
// the scan for the modules that answer (--scan), and the run against each
// module of a list in turn on one connection (--modules).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Backup.h"
#include "Commands.h"
#include "Json.h"
#include "LongOptions.h"
#include "OrvantiCom.h"
#include "trace/Console.h"
#include "trace/Outcome.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::CONNECTED;
} // namespace

using namespace kelvor;

void OrvantiCom::run_connected() {
    if (work) {
        json_output::command_drop(); // backup and restore report objects of their own
        note_result(work(*this));
    } else if (batchMode) {
        batch_mode();
    } else if (inputIsDirectory && is_directory_command()) {
        directory_mode();
    } else {
        if (command != 0) {
            if (!broadcast) {
                dispatch();
            } else if (output_creatable()) {
                broadcast_raw_mode();
                note_result(lastResult);
                json_output::command_end(*this, lastResult);
            } else {
                note_result(FRONT_REFUSED);
                json_output::command_end(*this, FRONT_REFUSED);
            }
        }
        json_output::command_drop();
        if (monitor) response_monitor();
    }
}

void OrvantiCom::take_extras(const RunExtras& extras) {
    workDirectory = extras.directory;
    scanBus = extras.scan;
    scanFirst = extras.scanFirst;
    scanLast = extras.scanLast;
    moduleIds = extras.modules;
}

int OrvantiCom::open_connection() {
    // The line of several modules is opened without a module: each is addressed in turn.
    if (scanBus || (!moduleIds.empty() && !broadcast))
        return module_open_line(portName.c_str(), baudCode, hexText, readTimeout);
    if (broadcast) return module_open_broadcast(portName.c_str(), baudCode, hexText, moduleId, readTimeout);
    return module_open(portName.c_str(), baudCode, hexText, networkMode, moduleId, readTimeout);
}

namespace {

// The trace shows nothing of what the tool asks a module on its own account
// (the status check of a module it turns to, the probes of a scan).
class QuietTrace {
public:
    QuietTrace() : mask_(trace_mask()) { trace_disable(mask_); }
    ~QuietTrace() { trace_enable(mask_); }
    QuietTrace(const QuietTrace&) = delete;
    QuietTrace& operator=(const QuietTrace&) = delete;

private:
    uint32_t mask_;
};

// The backup or restore directory of one module of a list.
std::string module_directory(const std::string& dir, uint16_t id) {
    char name[32];
    std::snprintf(name, sizeof name, "module-%05u", static_cast<unsigned>(id));
    return dir + "/" + name;
}

} // namespace

void OrvantiCom::run_on_modules() {
    if (broadcast) {
        // A broadcast reaches every module of the line at once: one run.
        ERR_LINE("Err: -B reaches every module at once; --modules is for one module after the other\n");
        note_result(FRONT_REFUSED);
        json_output::command_end(*this, FRONT_REFUSED);
        return;
    }
    if (!outputPath.empty() && moduleIds.size() > 1) {
        ERR_LINE("Err: -o takes what one module sends; --modules names %zu (give one, or use --backup DIR)\n",
                 moduleIds.size());
        note_result(FRONT_REFUSED);
        json_output::command_end(*this, FRONT_REFUSED);
        return;
    }
    const std::string base = workDirectory;
    // Every module's run starts from the command line as given: a batch or a
    // command case leaves the record as its last line or case had it.
    const std::vector<std::string> runWords = words;
    bool first = true;
    if (work != nullptr && work != restore_module && !path_exists(base)) {
        int error = 0;
        if (!make_private_directory(base, error)) {
            ERR_LINE("Err: Cannot create %s: %s\n", base.c_str(), std::strerror(error));
            note_result(FRONT_REFUSED);
            return;
        }
    }
    for (const uint16_t id : moduleIds) {
        if (!first && !runWords.empty()) {
            reset_line();
            words = runWords;
            wordCount = static_cast<int>(words.size());
            parse_options();
        }
        first = false;
        networkMode = 1;
        moduleId = id;
        trace_print("== Module %u (%#x)\n", static_cast<unsigned>(id), static_cast<unsigned>(id));
        int rc = 0;
        {
            const QuietTrace quiet;
            rc = module_select(id);
        }
        if (rc != 0) {
            if (!json_output::command_open()) json_output::command_begin();
            ERR_LINE("Err: Module %u (%#x) does not answer: %s\n", static_cast<unsigned>(id),
                     static_cast<unsigned>(id), result_text(rc));
            note_result(rc);
            json_output::command_end(*this, rc);
            continue;
        }
        if (work != nullptr) workDirectory = module_directory(base, id);
        if (json_output::command_open()) json_output::command_begin();
        run_connected();
        // The next module's run starts where a run of its own would: the batch
        // and the directory from their first line and file.
        batchLine = 0;
        directoryFile.clear();
    }
    workDirectory = base;
}

namespace {

// Wait for one answer: the command packet and the answer on the wire, the
// module's turnaround, twice over for safety; 20 ms at least.
// The pause before each probe's packet and its answer.
constexpr int SCAN_TURN_PAUSE_MS = 5;

int probe_wait_ms(int baudRate, int hexText) {
    const double bitsPerByte = hexText == 1 ? 20.0 : 10.0;
    const double wire = 2.0 * packet::length(true) * bitsPerByte * 1000.0 / std::max(baudRate, 1);
    constexpr double TURNAROUND_MS = 10.0;
    return std::max(20, static_cast<int>(2.0 * (wire + TURNAROUND_MS) + 0.5));
}

bool timeout_given(const OrvantiCom& c) {
    return std::find(c.words.begin(), c.words.end(), "-t") != c.words.end();
}

struct Found {
    uint16_t id = 0;
    int result = 0; // 0: answered; ERR_CHECKSUM: answered with a bad checksum
    uint32_t status = 0;
    uint32_t firmware = 0, templates = 0;
    bool details = false;
};

} // namespace

int OrvantiCom::scan_bus() {
    const int wait = timeout_given(*this) ? readTimeout : probe_wait_ms(baud_rate_of_code(baudCode), hexText);
    serial_set_read_timeout(wait);
    // One probe waits for its answer before the next goes out, so the line is
    // free by then: a short pause is enough, where commands keep the long one.
    serial_set_turn_pause(SCAN_TURN_PAUSE_MS);
    const bool details = traceLevel >= 2;
    const bool json = json_output::on();
    const bool progress = !json && console::is_terminal(2);
    const auto started = std::chrono::steady_clock::now();
    std::vector<Found> found;
    {
        const QuietTrace quiet;
        for (uint32_t id = scanFirst; id <= scanLast; ++id) {
            if (progress) {
                char line[80];
                const int n = std::snprintf(line, sizeof line, "\rScanning module %u of %u-%u ...", id,
                                            scanFirst, scanLast);
                console::write_all(2, line, static_cast<size_t>(n));
            }
            link_state().moduleId = static_cast<uint16_t>(id);
            uint32_t status = 0;
            const int rc = system_status_check(&status);
            if (rc == ERR_READ_TIMEOUT && !serial_input_waiting()) {
                // Silence: nobody of this ID on the line; the line is quiet already.
                link_state().unsettled = false;
                continue;
            }
            if (rc != 0 && rc != ERR_CHECKSUM) continue;
            Found f{static_cast<uint16_t>(id), rc, status};
            if (rc == 0 && details) {
                f.details = system_parameter_read(packet::param::FIRMWARE_VERSION, &f.firmware) == 0 &&
                            system_parameter_read(packet::param::ENROLLED_FINGERPRINTS, &f.templates) == 0;
            }
            found.push_back(f);
        }
        if (progress) console::write_all(2, "\r\033[K", 4);
    }
    std::vector<uint16_t> ids, damaged;
    for (const Found& f : found) {
        (f.result == 0 ? ids : damaged).push_back(f.id);
        if (json) {
            json_output::Object o = json_output::object_of("scan_module");
            o["module_id"] = f.id;
            o["result"] = f.result;
            o["result_name"] = result_name(f.result);
            if (f.result == 0) {
                o["status"] = f.status;
                o["status_name"] = keyword_name(KW_STATUS, static_cast<int>(f.status));
            }
            if (f.details) {
                o["firmware_version"] = f.firmware;
                o["templates"] = f.templates;
            }
            json_output::print(o);
        } else if (f.result == 0) {
            std::printf("Module %u (%#06x): %s", f.id, f.id,
                        keyword_name(KW_STATUS, static_cast<int>(f.status)));
            if (f.details) std::printf(", firmware %#x, %u templates", f.firmware, f.templates);
            std::printf("\n");
        } else {
            std::printf("Module %u (%#06x): answered with a checksum error\n", f.id, f.id);
        }
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count();
    if (json) {
        json_output::Object o = json_output::object_of("scan");
        o["first"] = scanFirst;
        o["last"] = scanLast;
        o["modules"] = ids;
        o["checksum_errors"] = damaged;
        o["wait_ms"] = wait;
        o["elapsed_ms"] = elapsed;
        json_output::print(o);
    } else {
        std::printf("%zu module%s found on IDs %u-%u", ids.size(), ids.size() == 1 ? "" : "s", scanFirst,
                    scanLast);
        if (!damaged.empty()) std::printf(", %zu answered with a checksum error", damaged.size());
        std::printf("\n");
    }
    std::fflush(stdout);
    serial_set_read_timeout(readTimeout);
    serial_set_turn_pause(packet::SHARED_LINE_PAUSE_MS);
    // A damaged answer is a fault of the line: the scan is no clean success then.
    return damaged.empty() ? 0 : ERR_CHECKSUM;
}
