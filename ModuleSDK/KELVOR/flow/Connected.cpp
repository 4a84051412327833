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
#include "QuietTrace.h"
#include "Remote.h"
#include "ServerRun.h"
#include "connection/PortInfo.h"
#include "trace/Console.h"
#include "trace/Outcome.h"

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

using tools::QuietTrace;

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
        err_line(err_site::LINE_BROADCAST_WITH_MODULES,
                 "Err: -B reaches every module at once; --modules is for one module after the other\n");
        note_result(FRONT_REFUSED);
        json_output::command_end(*this, FRONT_REFUSED);
        return;
    }
    if (!outputPath.empty() && moduleIds.size() > 1) {
        err_line(err_site::LINE_OUTPUT_WITH_MODULES,
                 "Err: -o takes what one module sends; --modules names %zu (give one, or use --backup DIR)\n",
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
            err_line(err_site::LINE_CANNOT_CREATE_OUTPUT, "Err: Cannot create %s: %s\n", base.c_str(),
                     std::strerror(error));
            note_result(FRONT_REFUSED);
            return;
        }
    }
    for (const uint16_t id : moduleIds) {
        // Results that nobody reads are not worth the runs behind them.
        if (json_output::on() && results::lost()) {
            err_line(
                err_site::LINE_RESULTS_LOST,
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
            err_line(err_site::LINE_MODULE_SILENT, "Err: Module %u (%#x) does not answer: %s\n",
                     static_cast<unsigned>(id), static_cast<unsigned>(id), result_text(rc));
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
