// Results for programs (--json): standard output becomes a stream of JSON
// Lines, one object per command the run carries out and one for each run that
// is no module command (the port list, the command list, a backup, a
// restore, the version). The trace on standard error stays as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

class OrvantiCom;

namespace json_output {

using Object = nlohmann::ordered_json;

// The version of the objects' format, "format" in every object.
inline constexpr int FORMAT = 1;

bool on();
void set_on(bool on);
// Off, and no command open: the state of a fresh process.
void reset();

// An object of `kind` with its "format" and "kind".
Object object_of(const char* kind);
// Where the lines go instead of standard output: a program's own sink (a
// service that hands each object to its client), each line without its line
// end. nullptr gives them back to standard output.
using LineSink = void (*)(const std::string& line, void* context);
void set_line_sink(LineSink sink, void* context = nullptr);

// One object as one line on standard output, flushed at once. Strings that
// are not UTF-8 (a module's text, a file name) have their bad bytes replaced.
void print(const Object& object);
// The object as that line, without its line end.
std::string line_of(const Object& object);

// "ok", "refused" or "link_failed": the classes of --exit-code.
const char* outcome_of(int result);
// The stable name of a result code; the front end's own refusal included.
const char* result_name_of(int result);

// A command begins: its values, message and module text lines are recorded
// from here on.
void command_begin();
// Whether a command is being recorded.
bool command_open();
// The command recorded so far is no command of its own (the run goes on to
// a batch or a directory, whose commands have their objects): no object. The
// module's text lines recorded go to the next object.
void command_drop();
// An object of a run that records its command's outcome (a backup, a
// restore), with the module's text lines of that record as "module_text".
void print_with_module_text(Object object);
// The module's text lines that no object has taken (a scan, the response
// monitor, a run whose last object came before them), as an object of their
// own, kind "module_text"; nothing when there are none.
void print_module_text();
// Bytes written to an output file by the command (the calls for one path add up).
void file_written(const std::string& path, const uint8_t* data, size_t n);
// The command ends with `result`: its object is printed. `reason` is the
// port diagnosis of a connection that could not be opened.
void command_end(const OrvantiCom& com, int result, const std::string& reason = {});
// The line of that object, from what is recorded, without printing it.
std::string command_line(const OrvantiCom& com, int result, const std::string& reason = {});

// The objects of the runs that are no module command.
void print_version();
void print_ports();
// The command list, or one command in detail; false when `keyword` names none.
bool print_commands(const char* keyword);
// The schema of every object kind, as it is installed beside the tool.
void print_schema();
const char* schema_text();

} // namespace json_output
