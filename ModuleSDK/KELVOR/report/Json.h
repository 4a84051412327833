// Results for programs (--json): standard output becomes a stream of JSON
// Lines, one object per command the run carries out and one for each run that
// is no module command (the port list, the command list, a backup, a
// restore, the version). The trace on standard error stays as it is.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "JsonWriter.h"
#include "ModuleSDK.h"

class OrvantiCom;

namespace json_output {

bool on();
void set_on(bool on);
// Off, and no command open: the state of a fresh process.
void reset();

// Where the lines go instead of standard output: a program's own sink (a
// service that hands each object to its client), each line without its line
// end. nullptr gives them back to standard output.
using LineSink = void (*)(const std::string& line, void* context);
void set_line_sink(LineSink sink, void* context = nullptr);

// The lines a backup, a restore or a copy writes for the operator: on standard
// output, or with --json on standard error; a program's own sink (a service
// that hands them to its client) takes them instead.
using TextSink = void (*)(const std::string& text, void* context);
void set_work_text_sink(TextSink sink, void* context = nullptr);
void work_text(const std::string& text);
// Each user of a backup or restore as its entry is done (the entry of its
// object's "users"): to a program's own sink, nowhere otherwise.
using EntrySink = void (*)(const Object& entry, void* context);
void set_work_entry_sink(EntrySink sink, void* context = nullptr);
void work_entry(const Object& entry);
// A copy's pairs of user and target done, of the total: to a program's own
// sink, which may stop the copy (false); nowhere otherwise.
using CountSink = bool (*)(uint64_t done, uint64_t total, void* context);
void set_work_count_sink(CountSink sink, void* context = nullptr);
bool work_count(uint64_t done, uint64_t total);

// One object as one line on standard output, written at once. Strings that
// are not UTF-8 (a module's text, a file name) have their bad bytes replaced.
void print(const Object& object);
// A command begins: its values, message and module text lines are recorded
// from here on, the module text lines that no object took first.
void command_begin();
// Whether a command is being recorded.
bool command_open();
// What the library's run of the command found goes to the command's outcome
// (its message, values and module text lines).
void take(kelvor::Outcome& outcome);
// The outcome of the command recorded last (open or ended).
const kelvor::Outcome& command_outcome();
// The command recorded so far is no command of its own (the run goes on to
// a batch or a directory, whose commands have their objects): no object. The
// module's text lines recorded go to the next object.
void command_drop();
// A record of the run's own (a backup, a restore) begins: the module text
// lines that no object took go to it first.
void begin_record(kelvor::Outcome& record);
// An object of a run that records its own outcome (a backup, a restore),
// with the module's text lines of that record as "module_text".
void print_with_module_text(Object object, const kelvor::Outcome& record);
// The module's text lines that no object has taken, handed over once (a
// program that reports them as it sees fit: the service's events).
std::vector<std::string> take_pending_text();
// The module's text lines that no object has taken (a scan, the response
// monitor, a run whose last object came before them), as an object of their
// own, kind "module_text"; nothing when there are none.
void print_module_text();
// Bytes written to an output file by the command (the calls for one path add up).
void file_written(const std::string& path, const uint8_t* data, size_t n);
// The command ends with `result`: its object is printed (or held with others
// while a results::Holding lives). `reason` is the port diagnosis of a
// connection that could not be opened.
void command_end(const OrvantiCom& com, int result, const std::string& reason = {});
// The line of that object, from what is recorded, without printing it.
std::string command_line(const OrvantiCom& com, int result, const std::string& reason = {});
// The run is over: nothing is recorded any more.
void end_run();

// The objects of the runs that are no module command.
void print_version();
void print_ports();
// The command list, or one command in detail; false when `keyword` names none.
bool print_commands(const char* keyword);
// The schema of every object kind, as it is installed beside the tool.
void print_schema();
const char* schema_text();

} // namespace json_output
