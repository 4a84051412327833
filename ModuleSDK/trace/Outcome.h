// The recorder of a command's outcome (ModuleSDK.h's Outcome): the command
// functions record what they find by name (a user ID, a score, a parameter,
// the records of the log), the line that decided it and the module's text
// lines, into the outcome that the calling thread's innermost Scope names.
// Without a scope every call returns at once, so the trace alone costs nothing
// more; nothing is recorded process-wide.
#pragma once

#include <cstdint>
#include <string_view>

#include "ModuleSDK.h"
#include "protocol/Commands.h"

namespace kelvor {

namespace outcome {

// What a scope records.
struct Recording {
    bool values = true;   // the named values and the message
    bool keepText = true; // the module's text lines, instead of printing them
};

// From its making to its end, the calling thread records into `into`; the
// scope around it (if any) records again afterwards. Scopes nest: the
// innermost one takes what is recorded.
class Scope {
public:
    explicit Scope(Outcome& into, Recording recording = {});
    ~Scope();
    // The scope, the innermost one, records into `into` from here on, as a
    // new scope would (its end still gives the thread back to the outer one).
    void redirect(Outcome& into, Recording recording = {});
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Outcome* outer_;
    Value* outerTarget_;
    Recording outerRecording_;
};

// The name of a value of an outcome: one that the value sets of the command
// rows hold (a field, a list, a record's or an object's field), checked when
// the call is compiled, so that no command records a value that the schema of
// its results does not know.
class Key {
public:
    constexpr Key() = default; // no value (a table's empty place)
    consteval Key(const char* name) : name_(name) {
        if (name && !known(name, packet::COMMANDS)) throw "not the name of a value of any command's outcome";
    }
    constexpr const char* name() const { return name_; }

private:
    static consteval bool same(const char* a, const char* b) {
        for (; *a && *a == *b; ++a, ++b) {
        }
        return *a == *b;
    }
    static consteval bool known_in(const char* name, std::span<const packet::ValueField> fields) {
        for (const packet::ValueField& f : fields)
            if (same(name, f.name) || known_in(name, f.fields)) return true;
        return false;
    }
    static consteval bool known(const char* name, std::span<const packet::Command> rows) {
        for (const packet::Command& c : rows)
            if (c.values && known_in(name, c.values->fields)) return true;
        return false;
    }
    const char* name_ = nullptr;
};

// Whether named values are recorded on this thread now.
bool recording();
// The outcome that the innermost scope names, nullptr without one.
Outcome* current();

// A named value of the command. A name given again takes the newer value.
void value(Key name, int64_t v);
void text(Key name, std::string_view v);
// The name that the keyword table gives `code` in `category`, looked up only
// while recording.
void keyword(Key name, int category, int code);
// A named value that the command knows it has not got (a time the module's
// bytes do not make).
void none(Key name);
void flag(Key name, bool v);
// Appends to the named array (created empty by the first call).
void append(Key list, int64_t v);
void append_text(Key list, std::string_view v);
// An array that exists, empty, even when nothing is appended to it.
void list(Key list);
// The named values that follow go into a new object at the end of the named
// array, up to item_end().
void item_begin(Key list);
void item_end();
// The named values that follow go into the named object, up to object_end().
void object_begin(Key name);
void object_end();

// The text of the line that decided the command: an answer table's message,
// the success line, an error line. The last one counts; a line's prefix and
// indentation and its line end are not part of it.
void message(std::string_view line);
// A text line of the module, kept instead of being printed, while a scope
// keeps them; at most MODULE_TEXT_LINES_MAX lines an outcome.
void module_text(std::string_view line);
inline constexpr size_t MODULE_TEXT_LINES_MAX = 4096;
// Whether the module's text lines are kept rather than printed on standard
// output (which then carries results only).
bool module_text_kept();

// The lines kept in `from` moved to the end of `to`'s, within the bound.
void move_text_lines(Outcome& from, Outcome& to);
inline void move_text(Outcome& from, Outcome& to) {
    if (!from.moduleText.empty()) move_text_lines(from, to); // most often there are none
}

} // namespace outcome

} // namespace kelvor
