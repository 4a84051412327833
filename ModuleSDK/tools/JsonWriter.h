// The objects of --json and of the service, as JSON Lines: a command's object
// from its outcome and its context (which command, on which module, the files
// it wrote, how long it took), and the objects of other kinds. Nothing here
// is process-wide: what goes in is the caller's, what comes out is text.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "ModuleSDK.h"

namespace json_output {

using Object = nlohmann::ordered_json;

// The version of the objects' format, "format" in every object.
inline constexpr int FORMAT = 1;

// An object of `kind` with its "format" and "kind".
Object object_of(const char* kind);
// One object as one line (without its line end). Strings that are not UTF-8
// (a module's text, a file name) have their bad bytes replaced.
std::string line_of(const Object& object);

// printf's text of `format` and `args`, whatever its length.
std::string formatted(const char* format, va_list args);

// "ok", "refused" or "link_failed": the classes of --exit-code.
const char* outcome_of(int result);
// The stable name of a result code (result_name).
const char* result_name_of(int result);

// The context of a command's object beside its outcome: which command, on
// which module, from which line of a batch or file of a directory, why the
// connection could not be opened, the files it wrote and how long it took.
struct FileWritten {
    std::string path;
    std::vector<uint8_t> bytes;
};
struct CommandContext {
    uint8_t code = 0;
    int moduleId = -1; // the module addressed in network mode, -1 otherwise
    int batchLine = 0;
    int batchPart = 0;
    std::string_view directoryFile; // views: the context lives while its object is written
    std::string_view reason;
    const std::vector<FileWritten>* files = nullptr;
    int64_t elapsedMs = 0;
};
// The object of a command as its line (without its line end): the outcome's
// result, message, values and module text lines, in the context given.
std::string command_object(const kelvor::Outcome& outcome, int result, const CommandContext& context);

// The same into `out`, from its start (its room kept from object to
// object); its length comes back, and with `lineEnd` a line feed follows it in
// `out`, beyond that length.
size_t write_command_object(std::string& out, const kelvor::Outcome& o, int result, const CommandContext& ctx,
                            bool lineEnd);

} // namespace json_output
