// One command of the module on the line the service owns. What goes in is what
// kelvor's command line gives one command (its code, parameters, flag, the
// bytes of its -i file); what comes out is the object `kelvor --json` prints
// for it, the bytes it would have written to its -o file and its trace. This
// is the one place where the service meets the command implementations.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "BackupDirectory.h"

namespace kelvord {

// The line as kelvor's serial options give it.
struct LineSettings {
    std::string port;
    int baudCode = 0x35;    // 0x31 to 0x35
    int network = 0;        // 1: 15-byte packets with a module ID
    uint16_t moduleId = 1;  // the module addressed in network mode
    int hexText = 0;        // 1: every byte as two hexadecimal characters
    int readTimeout = 1000; // ms
};

struct CommandRequest {
    uint8_t code = 0;                 // the command code (a keyword already resolved)
    std::optional<uint16_t> moduleId; // the module addressed; none: the line's own
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
    std::optional<std::vector<uint8_t>> input; // the bytes of the -i file
    std::string inputName;                     // the -i path as the client names it
    int inputError = 0;        // why the client could not read it (errno, or a file check's code)
    bool output = false;       // the command writes an -o file
    std::string outputName;    // the -o path as the client names it
    int outputError = 0;       // why the client could not create it
    int chunkSize = 0x1000;    // -s
    int traceLevel = -1;       // the trace is captured at this level (0 to 4); -1: none
    int batchLine = 0;         // the batch file's line the object names, 0: none
    int batchPart = 0;         // the part of a long batch line, 0: a line read whole
    std::string directoryFile; // the file of directory mode the object names
    bool steps = false;        // the module's answers reported as they come
    bool readImage = false;    // the image the command scanned read after it (RI)
};

struct CommandResult {
    int result = 0;              // 0, a library result code, or the front end's refusal
    std::string object;          // the object's line, without its line end
    std::vector<uint8_t> output; // what the command wrote to its -o file
    std::string trace;           // its trace at the level asked ("" when none was)
    // With readImage: RI's own result after the command (its object, and the
    // BMP file as output), or nothing when the command scanned no finger.
    std::shared_ptr<CommandResult> image;
    bool readImage = false; // the request asked for the image ("image": null without one)
};

// One file of a backup directory, by its name in the directory.
struct BackupFile {
    std::string name;
    std::vector<uint8_t> data;
};

// The most bytes of files a backup hands over or a request carries: their
// base64 fits in one request line, so that what a backup gives a restore takes.
inline constexpr uint64_t REQUEST_FILES_BYTES_MAX = backup::SERVICE_FILES_BYTES_MAX;

// The work of a long option through the front end: a backup of the module
// into a directory, its restore from one, or a copy of users onto modules.
enum class Tool { Backup, Restore, CopyUsers };

struct WorkOptions {
    Tool tool = Tool::Backup;
    int traceLevel = -1; // as for a command
    bool text = false;   // the lines for the operator instead of the objects (a run without --json)
    // One module of a list (--modules with --backup or --restore): its object names it.
    std::optional<uint16_t> ofList;
    // A copy: its source on the line (0: the backup in the work's directory),
    // its targets (none: the module addressed), its users first to last (none: all).
    uint16_t fromModule = 0;
    std::vector<uint16_t> targets;
    std::vector<std::pair<uint32_t, uint32_t>> users;
    bool replace = false;
    bool prune = false;
    bool dryRun = false;
};

struct WorkResult {
    int result = 0;
    bool partial = false;             // a copy reached some users or targets and not others
    std::vector<std::string> objects; // kelvor --json's objects of the work (none with `text`)
    std::string text;                 // the lines the work writes for the operator
    std::string trace;
};

// What a work tells as it goes, on the line's thread: `member` "object" with
// an object as it is printed, "user" with a user's entry of a backup or
// restore as it is done, or "" with a copy's counts ("done":N,"total":M).
using WorkProgress = std::function<void(const char* member, const std::string& json)>;

struct ScanResult {
    int result = 0;                   // 0, or the link failure of a module that answered garbled
    std::vector<std::string> objects; // kelvor --json's objects of the scan: each module found, then the scan
    std::string trace;
    std::vector<uint16_t> found; // the modules that answered
};

// Once, on the thread that will run the commands, before the first.
void execute_setup();
// Told of each answer of the module while a command runs: its command code,
// Param1, Param2 and flag.
struct AnswerStep {
    uint8_t command = 0;
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
};
using StepObserver = std::function<void(const AnswerStep&)>;
// Runs the command on the open line (`line` as it stands now); `steps`, when
// given, hears of every answer as it comes (the request's steps and the scan
// that its readImage looks for).
CommandResult execute(const CommandRequest& request, const LineSettings& line,
                      const StepObserver& steps = {});
// Whether a command of `code` that ended with `result` scanned a finger whose
// image the module holds now; `scanSuccess` tells that a SCAN_SUCCESS answer came.
bool scanned_a_finger(uint8_t code, int result, bool scanSuccess);
// kelvor --backup, --restore or --copy-users on the module addressed (a copy:
// or its targets), with `directory` as the work's directory (a copy's source
// when it has no module); `progress`, when given, hears of it as it goes.
WorkResult execute_work(const WorkOptions& options, const std::string& directory, const LineSettings& line,
                        const WorkProgress& progress = {});
// Asks every ID from first to last on a line in network mode, as kelvor --scan
// does; the module addressed before is addressed again afterwards.
// `waitMs` is each ID's wait, as -t gives it (0: as the rate needs).
ScanResult execute_scan(uint32_t first, uint32_t last, int traceLevel, int waitMs, const LineSettings& line);
// What a command gets when the line could not be opened: the error line and
// the port diagnosis of a run whose connection failed with `openResult`, the
// latest opening's result.
CommandResult execute_unopened(const CommandRequest& request, const LineSettings& line, int openResult);
// The reason a port could not be opened, as the diagnosis words it.
std::string open_failure_reason(const LineSettings& line, int openResult);

} // namespace kelvord
