// The modes that run many commands: batch files, one command line a line,
// and directory mode, one command a file.
#include "OrvantiCom.h"
#include "connection/PortInfo.h"

#include <cstring>
#include <string_view>

#include "Json.h"
#include "Remote.h"

using namespace kelvor;

// ------------------------------------------------- batch and directory mode

// The commands that take a directory for -i and run once a file of it.
bool OrvantiCom::is_directory_command() const {
    return packet::command_has(command, packet::trait::TAKES_DIRECTORY);
}

void OrvantiCom::reset_line() {
    wordCount = 0;
    words.clear();
    command = 0;
    hookLevel = -1;
    param1 = 0;
    param2 = 0;
    flag = 0;
    inputIsDirectory = 0;
    inputFile.reset();
    inputPath.clear();
    inputError = 0;
    inputSize = 0;
    outputFile.reset();
    outputPath.clear();
    outputError = 0;
    batchMode = 0;
    refused = false;
}

void OrvantiCom::batch_mode() {
    const results::Holding holding;
    // A directory opens for reading here but yields no lines: it is no batch file.
    int error = 0;
    File batch(open_input_file(batchFile, error));
    if (!batch) {
        err_line(err_site::BATCH_CANNOT_OPEN, "Err: Cannot open batch file: %s\n", batchFile.c_str());
        print_file_reason(batchFile, error);
        note_result(FRONT_REFUSED);
        json_output::command_end(*this, FRONT_REFUSED);
        return;
    }
    json_output::command_drop();
    char line[WORDS_BYTES];
    // The file's own line numbers: the rest of a line longer than one read
    // runs as a command line of its own, under the same number, as its next part.
    int number = 0, part = 0;
    bool lineEnded = true;
    while (std::fgets(line, sizeof line, batch.get())) {
        if (lineEnded) {
            ++number;
            part = 0;
        }
        ++part;
        // A port that is gone serves no line after it; a module that merely
        // does not answer still lets the batch go on.
        if (serial_port_lost()) {
            json_output::command_begin();
            err_line(err_site::BATCH_PORT_GONE,
                     "Err: The serial port is gone; the batch file %s ends before line %d\n",
                     batchFile.c_str(), number);
            if (const std::string why = port_loss_reason(portName); !why.empty())
                trace_print("       %s\n", why.c_str());
            note_result(ERR_READ);
            reset_line();
            batchLine = number;
            batchPart = 0;
            json_output::command_end(*this, ERR_READ);
            batchLine = 0;
            return;
        }
        // Results that nobody reads are not worth the commands behind them.
        if (json_output::on() && results::lost()) {
            err_line(err_site::BATCH_RESULTS_LOST,
                     "Err: The results cannot be written to the standard output: %s; the batch file %s ends "
                     "before line %d\n",
                     results::why(), batchFile.c_str(), number);
            results::reported();
            batchLine = 0;
            return;
        }
        if (char* lf = std::strchr(line, '\n')) {
            *(lf > line && lf[-1] == '\r' ? lf - 1 : lf) = '\0'; // a CR LF line end loses its CR too
            lineEnded = true;
        } else if (std::strlen(line) == sizeof line - 1) {
            // A line of exactly 511 characters: its line feed is not a line of its own.
            const int next = std::fgetc(batch.get());
            lineEnded = next == '\n' || next == EOF;
            if (!lineEnded) std::ungetc(next, batch.get());
        } else {
            lineEnded = true; // the last line, without its line feed
        }
        reset_line();
        batchLine = number;
        batchPart = part > 1 || !lineEnded ? part : 0;
        json_output::command_begin();
        // Words are what single spaces part (a tab belongs to its word).
        for (std::string_view rest(line);;) {
            const size_t space = rest.find(' ');
            if (const std::string_view word = rest.substr(0, space); !word.empty()) words.emplace_back(word);
            if (space == std::string_view::npos) break;
            rest.remove_prefix(space + 1);
        }
        wordCount = static_cast<int>(words.size());
        parse_options();
        if (refused) {
            note_result(FRONT_REFUSED);
            json_output::command_end(*this, FRONT_REFUSED);
            continue;
        }
        if (inputIsDirectory && is_directory_command())
            directory_mode();
        else
            dispatch();
    }
    batchLine = 0;
    batchPart = 0;
}

void OrvantiCom::directory_mode() {
    const results::Holding holding;
    if (!json_output::command_open()) json_output::command_begin();
    if (!output_creatable()) {
        lastResult = FRONT_REFUSED;
        outputFile.reset();
        json_output::command_end(*this, FRONT_REFUSED);
        return;
    }
    std::vector<std::string> names;
    if (!list_directory(directory, names)) {
        err_line(err_site::DIRECTORY_NOT_FOUND, "Err: Cannot find the directory: %s\n", directory.c_str());
        note_result(FRONT_REFUSED);
        json_output::command_end(*this, FRONT_REFUSED);
        return;
    }
    json_output::command_drop(); // an object for every file instead
    if (!is_directory_command()) return;
    for (const std::string& name : names) {
        const std::string path = join_path(directory, name);
        if (json_output::on() && results::lost()) {
            err_line(err_site::DIRECTORY_RESULTS_LOST,
                     "Err: The results cannot be written to the standard output: %s; the directory %s ends "
                     "before %s\n",
                     results::why(), directory.c_str(), path.c_str());
            results::reported();
            return;
        }
        json_output::command_begin();
        directoryFile = path;
        run_directory_file(path);
        json_output::command_end(*this, lastResult);
        directoryFile.clear();
    }
}

void OrvantiCom::run_directory_file(const std::string& path) {
    if (path.size() > PATH_MAX_CHARS) {
        err_line(err_site::DIRECTORY_PATH_TOO_LONG, "Err: Path is longer than %d characters: %s\n",
                 static_cast<int>(PATH_MAX_CHARS), path.c_str());
        lastResult = FRONT_REFUSED;
        note_result(FRONT_REFUSED);
        return;
    }
    open_input(path);
    if (!inputFile) {
        err_line(err_site::DIRECTORY_CANNOT_OPEN_FILE, "Err: Cannot open file: %s\n", path.c_str());
        print_file_reason(path, inputError);
        lastResult = FRONT_REFUSED;
        note_result(FRONT_REFUSED);
        return;
    }
    lastResult = remote::active() ? remote::forward(*this) : run_case();
    note_result(lastResult);
    inputFile.reset();
}
