// The front end: one OrvantiCom object per process carries the current command
// (argument words, options, files) and the saved serial settings; its run flow
// checks the options, saves the settings, opens the connection and runs the
// work: one command through the dispatcher, a batch file or a directory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CopyUsers.h"
#include "ModuleSDK.h"
#include "Numbers.h"
#include "Platform.h"
#include "Report.h"
#include "connection/LineSettings.h"

// Settings file in the working directory.
inline constexpr const char* SETTINGS_FILE = "kelvor.cfg";

class OrvantiCom;

// The parts of the record of a run. OrvantiCom is all of them at once, and
// its fields are read by their own names (com.portName, com.param1).

// What kelvor.cfg is to the run: whether it was read, why not, and whether an
// option changed a setting (then it is written back).
struct SettingsFileState {
    uint8_t settingsLoaded = 0;
    uint8_t settingsChanged = 0;
    int settingsError = 0; // why kelvor.cfg could not be read, 0 when it was
};

// How the run goes besides its command: batch file, broadcast, response
// monitor, the work of a long option, the modules of a shared line.
struct RunOptions {
    uint8_t batchMode = 0;
    std::string batchFile;
    uint8_t monitor = 0;
    uint8_t broadcast = 0;
    int hookLevel = -1;
    // Work given by a long option (backup, restore) instead of a command, and its directory.
    int (*work)(OrvantiCom&) = nullptr;
    std::string workDirectory;
    // A line of several modules: the IDs of --modules, each run in turn, and
    // the scan of --scan (IDs scanFirst to scanLast).
    std::vector<uint16_t> moduleIds;
    bool scanBus = false;
    uint32_t scanFirst = 1;
    uint32_t scanLast = 255;
    // --copy-users and its options; its targets are the modules of --modules.
    CopyRequest copyUsers;
};

// The command: the argument words and what the options made of them.
struct CommandWords {
    int wordCount = 0;
    std::vector<std::string> words;
    uint8_t command = 0;
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
    // A word broke a limit of the record; the command is refused.
    bool refused = false;
};

// The command's files: the -i input (a file or a directory) and the -o output.
struct CommandFiles {
    uint8_t inputIsDirectory = 0;
    std::string directory;
    File inputFile;
    int64_t inputSize = 0;
    std::string inputPath; // the -i path of a file, empty when none was given
    int inputError = 0;    // why it could not be opened (errno or a code of open_input_file), 0 when it could
    File outputFile;
    std::string outputPath;
    int outputError = 0; // why the -o file could not be created, 0 when it could
    // The file of directory mode being run, empty outside it.
    std::string directoryFile;
};

// Where the run is and how it went so far.
struct RunResults {
    // The batch line being run (from 1), 0 outside a batch.
    int batchLine = 0;
    // The part of a batch line longer than one read (from 1), 0 for a line read whole.
    int batchPart = 0;
    // Result of the last command case: 0, a library result code or FRONT_REFUSED.
    int lastResult = 0;
    // The worst outcome of the run so far, as an exit status of --exit-code.
    int worstExit = 0;
    // The outcome of the command the library ran last; the next one reuses
    // its room (a batch runs thousands).
    kelvor::Outcome outcome;
};

class OrvantiCom : public kelvor::LineSettings,
                   public SettingsFileState,
                   public RunOptions,
                   public CommandWords,
                   public CommandFiles,
                   public RunResults {
public:
    // Limits of the command record.
    static constexpr size_t WORDS_BYTES = 512;
    static constexpr size_t NAME_MAX_CHARS = 255;                            // port name, batch file name
    static constexpr size_t DIRECTORY_MAX_CHARS = 257;                       // directory path
    static constexpr size_t PATH_MAX_CHARS = 255;                            // file path in directory mode
    static constexpr uint32_t RAW_BUFFER = kelvor::packet::limit::RAW_BYTES; // raw packet mode buffer
    static constexpr size_t SETTINGS_BYTES_MAX = 4096;                               // kelvor.cfg
    static constexpr int READ_TIMEOUT_MIN = kelvor::READ_TIMEOUT_LEAST_MS;
    static constexpr int READ_TIMEOUT_MAX = kelvor::READ_TIMEOUT_MOST_MS;

    // Process entry: the whole run; returns the exit status (always 1).
    static int main(int argc, char** argv);

    // Initial values, the argument words, kelvor.cfg read (unless `settings` is false).
    OrvantiCom(const std::vector<std::string>& args, bool settings = true);
    // The object of a run refused before its command, with --json: of `com`'s
    // command, or of none.
    static void end_refused_run(const OrvantiCom* com);

    // Opens the connection of the run: one module, all of them (broadcast), or
    // the line of several for --modules and --scan.
    int open_connection();
    // The long options' part of the run: the work's directory, the scan, the modules.
    void take_extras(const struct RunExtras& extras);
    // What the run does once the connection is open: the work, a batch, a
    // directory, the command; across every module of --modules in turn.
    void run_connected();
    void run_on_modules();
    int scan_bus();
    // Folds a result code (0, a library code or FRONT_REFUSED) into worstExit.
    void note_result(int result);

    void parse_options();
    int run();
    bool write_settings() const;
    void dispatch();
    // The command's case around the library's run of it: its result.
    int run_case();
    void broadcast_raw_mode();
    void response_monitor();
    void batch_mode();
    void directory_mode();
    // Whether the command runs once a file of a directory given to -i (EI, EIX, ET, II, IIX, IT).
    bool is_directory_command() const;
    // One file of directory mode through the command's case; lastResult tells how it went.
    void run_directory_file(const std::string& path);
    void reset_line();
    // Opens the -i file (inputFile, inputSize, inputPath, inputError).
    void open_input(const std::string& path);
    // The reason line after a case's "No ... file" error line.
    void explain_input() const;

    // The steps of the command's files (the tools' steps, with --json's record of the files written).
    // Writes received data to the output file, when one is open. A write that
    // fails is an error line naming the file and the reason, and the file is
    // left empty rather than partial; false then.
    bool write_output(const uint8_t* data, size_t n);
    // False with an error line naming the path and the reason when the -o file
    // could not be created: the command is then not sent.
    bool output_creatable();

private:
    void read_settings();
    std::string next_value(size_t& i);
};

// The calls to the file system (Platform.h) are the front end's too.
