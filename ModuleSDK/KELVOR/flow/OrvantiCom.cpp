// The record of one run and its flow: process entry, the check of the
// options, the settings saved, the connection opened, the work run.
#include "OrvantiCom.h"

#include <algorithm>
#include <exception>

#include "Json.h"
#include "LongOptions.h"
#include "Remote.h"
#include "connection/PortInfo.h"
#include "trace/Progress.h"

using namespace kelvor;

// --------------------------------------------------------------- settings

OrvantiCom::OrvantiCom(const std::vector<std::string>& args, bool settings)
    : CommandWords{static_cast<int>(args.size()), args} {
    if (settings) read_settings();
}

// --------------------------------------------------------------- run flow

int OrvantiCom::main(int argc, char** argv) {
    RunExtras extras;
    if (const auto status = long_options(argc, argv, extras)) {
        trace_flush();
        if (*status == 0)
            json_output::command_drop(); // its object, if it has one, is printed
        else
            end_refused_run(nullptr);
        return results::end(*status, extras.exitCode);
    }
    if (extras.words.empty() && !extras.work && !extras.scan && !extras.watch) {
        err_line(err_site::RUN_NO_ARGUMENT, "Err: No argument\n");
        trace_flush();
        end_refused_run(nullptr);
        return results::end(extras.exitCode ? EXIT_REFUSED : 1, extras.exitCode);
    }
    std::vector<std::string> args = extras.words;
    size_t bytes = 0;
    for (const auto& a : args) bytes += a.size() + 1;
    if (bytes > WORDS_BYTES) {
        err_line(err_site::RUN_ARGUMENTS_TAKE_MORE_THAN, "Err: The arguments take more than %d bytes\n",
                 static_cast<int>(WORDS_BYTES));
        trace_flush();
        end_refused_run(nullptr);
        return results::end(extras.exitCode ? EXIT_REFUSED : 1, extras.exitCode);
    }
    int worst = EXIT_REFUSED;
    try {
        OrvantiCom com(args);
        com.work = extras.work;
        com.take_extras(extras);
        com.run();
        worst = com.worstExit;
    } catch (const std::exception& e) {
        // Nothing a module or a file announces may end the run otherwise than
        // with an error line (memory that cannot be had, for example).
        err_line(err_site::RUN_UNEXPECTED_FAILURE, "Err: %s\n", e.what());
        module_close();
        end_refused_run(nullptr);
    }
    trace_flush();
    json_output::end_run();
    return results::end(extras.exitCode ? worst : 1, extras.exitCode);
}

void OrvantiCom::end_refused_run(const OrvantiCom* com) {
    if (!json_output::command_open()) return;
    if (com) {
        json_output::command_end(*com, FRONT_REFUSED);
    } else {
        const OrvantiCom none(std::vector<std::string>{}, false);
        json_output::command_end(none, FRONT_REFUSED);
    }
}

namespace {

// Why the connection could not be opened, as the line after the error says it:
// through kelvord its reason, else what the port and the system tell.
std::string why_not_open(const OrvantiCom& com, int rc) {
    if (!remote::used()) return print_port_diagnosis(com, rc);
    const std::string why = remote::failure();
    trace_print("       %s\n", why.c_str());
    return why;
}

} // namespace

int OrvantiCom::run() {
    // What the command line, the settings and the opening report is the
    // outcome of the command, or of a run that ends before one.
    if (!json_output::command_open()) json_output::command_begin();
    settingsChanged = 0;
    // Backup and restore may run on the saved settings alone, without a word.
    if (!(work || scanBus || monitor == 2) || wordCount > 0) parse_options();
    if (refused) {
        note_result(FRONT_REFUSED);
        end_refused_run(this);
        return 1;
    }
    if (command == 0 && !batchMode && !monitor && !work && !scanBus) {
        err_line(err_site::RUN_NO_COMMAND, "Err: No command\n");
        note_result(FRONT_REFUSED);
        end_refused_run(this);
        return 1;
    }
    if (baudCode < 0) {
        err_line(err_site::RUN_NO_BAUDRATE_SPECIFIED, "Err: No baudrate is specified\n");
        if (settingsLoaded == 0 && settingsError != 0)
            trace_print("       %s: %s (a first run gives -P and -b)\n", SETTINGS_FILE,
                        file_error_text(settingsError).c_str());
        note_result(FRONT_REFUSED);
        end_refused_run(this);
        return 1;
    }
    if (portName.empty()) {
        err_line(err_site::RUN_NO_SERIAL_DEVICE_SPECIFIED, "Err: No serial device is specified\n");
        note_result(FRONT_REFUSED);
        end_refused_run(this);
        return 1;
    }
    if (readTimeout < READ_TIMEOUT_MIN || readTimeout > READ_TIMEOUT_MAX) {
        // Zero would make every read return at once, and on some systems mean no
        // time-out at all; refused before anything is saved or sent.
        err_line(err_site::RUN_READ_TIMEOUT_OUTSIDE,
                 "Err: The read time-out -t %d ms is outside %d to %d ms\n", readTimeout, READ_TIMEOUT_MIN,
                 READ_TIMEOUT_MAX);
        note_result(FRONT_REFUSED);
        end_refused_run(this);
        return 1;
    }
    if ((settingsLoaded == 0 || settingsChanged == 1) && !write_settings()) {
        err_line(err_site::RUN_CANNOT_SAVE_SETTINGS, "Err: Cannot save the settings to %s\n", SETTINGS_FILE);
    }
    // hookLevel > 0 would run the pre-connection hook, which has nothing to do.
    // One module, all of them (broadcast), or the line of several (--modules, --scan).
    int rc = open_connection();
    if (rc != 0) {
        err_line(err_site::RUN_CANNOT_INITIALIZE_SDK, "Err: Cannot initialize sdk\n");
        const std::string reason = why_not_open(*this, rc);
        note_result(ERR_PORT_OPEN);
        module_close(); // gives the port back with its own line settings
        json_output::command_end(*this, ERR_PORT_OPEN, reason);
        return 1;
    }
    // What the opening read of the module is not the command's; its text lines go along.
    if (json_output::command_open()) json_output::command_begin();
    progress_line_rate(baud_rate_of_code(baudCode), hexText);
    static constexpr uint32_t LEVEL_BITS[] = {0, 0x01, 0x03, 0x07, 0x0F};
    if (traceLevel >= 0 && traceLevel <= 4) trace_enable(LEVEL_BITS[traceLevel]);
    trace_opening_notes(portName);
    if (scanBus) {
        json_output::command_drop(); // the scan reports objects of its own
        note_result(scan_bus());
    } else if (!moduleIds.empty() && !copyUsers.on) {
        // A copy goes to the modules of the list itself, one after the other.
        run_on_modules();
    } else {
        run_connected();
    }
    module_close();
    // Module text lines that no object took are not lost.
    json_output::print_module_text();
    return 1;
}
