// What one command found, by name, for programs that read results as data
// rather than from the trace: the values of its answers (a user ID, a score,
// a parameter, the records of the log), the line of text that decided it and
// the module's text lines that came during it. Recorded only between begin()
// and end(); otherwise every call returns at once, so the trace alone costs
// nothing more.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvor {

namespace outcome {

// Starts a fresh record (the values of the command before are dropped). Its
// module text lines begin with those kept since the last record ended (the
// opening of the connection, the status check of a module turned to) and
// those of a record still open, which this one replaces: no line is lost
// between two records.
void begin();
// Stops recording; what was recorded stays readable until the next begin().
void end();
// Stops recording a record that will not be reported: its module text lines
// are kept for the next record.
void set_aside();
bool recording();
// The module text lines kept that no record has taken, handed over once.
std::vector<std::string> take_pending_text();
// Drops the record and stops recording: the state of a fresh process.
void reset();

// A named value of the command. A name given again takes the newer value.
void value(const char* name, int64_t v);
void text(const char* name, std::string_view v);
// The name that the keyword table gives `code` in `category`, looked up only
// while recording.
void keyword(const char* name, int category, int code);
// A named value that the command knows it has not got (a time the module's
// bytes do not make).
void none(const char* name);
void flag(const char* name, bool v);
// Appends to the named array (created empty by the first call).
void append(const char* list, int64_t v);
void append_text(const char* list, std::string_view v);
// An array that exists, empty, even when nothing is appended to it.
void list(const char* list);
// The named values that follow go into a new object at the end of the named
// array, up to item_end().
void item_begin(const char* list);
void item_end();
// The named values that follow go into the named object, up to object_end().
void object_begin(const char* name);
void object_end();

// The text of the line that decided the command: an answer table's message,
// the success line, an error line. The last one counts; a line's prefix and
// indentation and its line end are not part of it.
void message(std::string_view line);
// A text line of the module, kept instead of being printed: in the record,
// or outside one (while the module text is kept) for the next record.
void module_text(std::string_view line);
// Whether the module's text lines are kept rather than printed on standard
// output (which then carries results only); outside a recorded command
// they wait for the next record (take_pending_text()).
void keep_module_text(bool keep);
bool module_text_kept();

} // namespace outcome

} // namespace kelvor
