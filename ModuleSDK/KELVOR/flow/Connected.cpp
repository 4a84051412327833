// What a run does once its connection is open: the work of a long option, a
// batch, a directory or the command; on a line of several modules (RS-485)
// the scan for the modules that answer (--scan), and the run against each
// module of a list in turn on one connection (--modules).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "Backup.h"
#include "Json.h"
#include "LongOptions.h"
#include "OrvantiCom.h"
#include "Remote.h"
#include "ServerRun.h"
#include "connection/PortInfo.h"
#include "trace/Console.h"
#include "trace/Outcome.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::CONNECTED;
} // namespace

using namespace kelvor;

void OrvantiCom::run_connected() {
    if (work && remote::active()) {
        // The service runs the work on its line; the directory stays the
        // run's own: the backup's files come back, a restore's go with the
        // request, and the objects and lines are printed here as the work
        // prints them in a run on the port (the trace of the bytes on the
        // line is the service's).
        json_output::command_drop();
        note_result(server_work(*this));
    } else if (work) {
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
    // --watch: the events after the command, as -w shows packets.
    if (extras.watch) monitor = 2;
    // Through kelvord: the line is the service's, the port and rate its own.
    if (!extras.server.empty()) {
        remote::use(extras.server, extras.words);
        portName = extras.server;
        baudCode = packet::baud_code_of(115200);
    }
    copyUsers = extras.copy;
}

int OrvantiCom::open_connection() {
    if (remote::used()) return remote::open() ? 0 : ERR_PORT_OPEN;
    // The line of several modules is opened without a module: each is addressed in turn.
    // So is the line of a copy from one of its modules: the copy addresses the source and the targets.
    if (scanBus || (!moduleIds.empty() && !broadcast) || copyUsers.fromModule != 0)
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
        // Results that nobody reads are not worth the runs behind them.
        if (json_output::on() && results::lost()) {
            ERR_LINE(
                "Err: The results cannot be written to the standard output: %s; the modules from %u (%#x) "
                "on are not run\n",
                results::why(), static_cast<unsigned>(id), static_cast<unsigned>(id));
            results::reported();
            break;
        }
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
            rc = remote::active() ? 0 : module_select(id); // the service addresses each module itself
        }
        if (rc != 0) {
            if (!json_output::command_open()) json_output::command_begin();
            ERR_LINE("Err: Module %u (%#x) does not answer: %s\n", static_cast<unsigned>(id),
                     static_cast<unsigned>(id), result_text(rc));
            note_result(rc);
            if (work != nullptr) {
                // The backup or restore of this module failed: its object says so.
                json_output::command_drop();
                workDirectory = module_directory(base, id);
                work_not_begun(*this, rc);
            } else {
                json_output::command_end(*this, rc);
            }
            continue;
        }
        if (work != nullptr) workDirectory = module_directory(base, id);
        if (json_output::command_open()) json_output::command_begin();
        run_connected();
        // The next module's run starts where a run of its own would: the batch
        // and the directory from their first line and file.
        batchLine = 0;
        batchPart = 0;
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

int OrvantiCom::scan_bus() {
    if (remote::active()) return server_scan(*this);
    const int wait = timeout_given(*this) ? readTimeout : probe_wait_ms(baud_rate_of_code(baudCode), hexText);
    serial_set_read_timeout(wait);
    // One probe waits for its answer before the next goes out, so the line is
    // free by then: a short pause is enough, where commands keep the long one.
    serial_set_turn_pause(SCAN_TURN_PAUSE_MS);
    const bool details = traceLevel >= 2;
    const bool json = json_output::on();
    ScanProgress progress(!json && console::is_terminal(2));
    const auto started = std::chrono::steady_clock::now();
    std::vector<uint16_t> ids, checksum, cutShort;
    uint32_t id = scanFirst;
    uint32_t lostAt = 0; // the ID whose probe met a port that is gone
    {
        const QuietTrace quiet;
        for (; id <= scanLast; ++id) {
            // A list that nobody reads ends here, and one that was interrupted.
            if (results::lost() || serial_interrupted()) break;
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
                json_output::print(o);
            } else if (f.heard == Heard::Answer) {
                std::printf("Module %u (%#06x): %s", f.id, f.id,
                            keyword_name(KW_STATUS, static_cast<int>(f.status)));
                if (f.details) std::printf(", firmware %#x, %u templates", f.firmware, f.templates);
                std::printf("\n");
            } else {
                std::printf("Module %u (%#06x): %s\n", f.id, f.id, damage_text(f.heard));
            }
            std::fflush(stdout);
        }
        progress.erase();
    }
    serial_set_read_timeout(readTimeout);
    serial_set_turn_pause(packet::SHARED_LINE_PAUSE_MS);
    if (lostAt != 0) {
        ERR_LINE("Err: The serial port is gone; the scan ends at ID %u\n", lostAt);
        if (const std::string why = port_loss_reason(portName); !why.empty())
            trace_print("       %s\n", why.c_str());
        return ERR_READ;
    }
    if (id <= scanLast && !serial_interrupted()) {
        ERR_LINE(
            "Err: The results cannot be written to the standard output: %s; the scan ends before ID %u\n",
            results::why(), id);
        results::reported();
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
        json_output::print(o);
    } else {
        std::printf("%zu module%s found on IDs %u-%u", ids.size(), ids.size() == 1 ? "" : "s", scanFirst,
                    scanLast);
        if (!checksum.empty()) std::printf(", %zu %s", checksum.size(), damage_text(Heard::Checksum));
        if (!cutShort.empty()) std::printf(", %zu %s", cutShort.size(), damage_text(Heard::CutShort));
        std::printf("\n");
    }
    std::fflush(stdout);
    // A damaged answer is a fault of the line: the scan is no clean success then.
    return !checksum.empty() ? ERR_CHECKSUM : !cutShort.empty() ? ERR_READ_TIMEOUT : 0;
}
