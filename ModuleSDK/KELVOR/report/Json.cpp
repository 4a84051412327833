#include "Json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "CommandReference.h"
#include "OrvantiCom.h"
#include "Schema.h"
#include "Sha256.h"
#include "port/PortList.h"
#include "trace/Outcome.h"

using namespace kelvor;

namespace json_output {

namespace {

struct State {
    bool on = false;
    bool open = false;
    std::chrono::steady_clock::time_point started{};
    std::vector<FileWritten> files;
    LineSink sink = nullptr;
    void* sinkContext = nullptr;
    // The module text lines that no object has taken yet (the opening's, those
    // between commands), and the outcome of the command recorded last.
    Outcome pending;
    Outcome command;
    // The line of the latest command's object: one buffer for every object.
    std::string line;
    // While --json is on, the thread records into the open command's outcome,
    // or between commands into `pending` (its text lines only).
    std::optional<outcome::Scope> scope;
    TextSink textSink = nullptr;
    void* textContext = nullptr;
    EntrySink entrySink = nullptr;
    void* entryContext = nullptr;
    CountSink countSink = nullptr;
    void* countContext = nullptr;
};

// One state for the process, made before main() runs: a batch asks for it
// several times a line, and a function's own static would check each time.
State g_state;

[[gnu::always_inline]] inline State& state() {
    return g_state;
}

// The thread records into `into` from here on.
void record(Outcome& into, outcome::Recording recording) {
    State& s = state();
    if (s.scope)
        s.scope->redirect(into, recording);
    else
        s.scope.emplace(into, recording);
}

void record_pending() {
    State& s = state();
    if (s.on)
        record(s.pending, outcome::Recording{false, true});
    else
        s.scope.reset();
}

void record_command() {
    record(state().command, {});
}

} // namespace

bool on() {
    return state().on;
}

void set_on(bool value) {
    state().on = value;
    if (!state().open) record_pending();
}

void reset() {
    State& s = state();
    s.scope.reset();
    s.on = false;
    s.open = false;
    s.files.clear();
    s.pending = Outcome{};
    s.command = Outcome{};
}

void end_run() {
    state().scope.reset();
}

void set_line_sink(LineSink sink, void* context) {
    state().sink = sink;
    state().sinkContext = context;
}

void set_work_text_sink(TextSink sink, void* context) {
    state().textSink = sink;
    state().textContext = context;
}

void work_text(const std::string& text) {
    if (const State& s = state(); s.textSink) {
        s.textSink(text, s.textContext);
        return;
    }
    std::FILE* to = state().on ? stderr : stdout;
    std::fwrite(text.data(), 1, text.size(), to);
    if (to == stdout) std::fflush(stdout);
}


void set_work_entry_sink(EntrySink sink, void* context) {
    state().entrySink = sink;
    state().entryContext = context;
}

void work_entry(const Object& entry) {
    if (const State& s = state(); s.entrySink) s.entrySink(entry, s.entryContext);
}

void set_work_count_sink(CountSink sink, void* context) {
    state().countSink = sink;
    state().countContext = context;
}

bool work_count(uint64_t done, uint64_t total) {
    const State& s = state();
    return s.countSink == nullptr || s.countSink(done, total, s.countContext);
}

namespace {

// One line on standard output, written whole to the stream's handle as the
// trace is: a reader of the pipe gets each object as soon as its command ends.
// One that cannot be written is a lost result (results::lost).
void write_line(std::string& line) {
    if (const State& s = state(); s.sink) {
        s.sink(line, s.sinkContext);
        return;
    }
    line += '\n';
    results::write(line.data(), line.size());
    line.pop_back();
}

} // namespace

void print(const Object& object) {
    std::string line = line_of(object);
    write_line(line);
}

void command_begin() {
    if (!on()) return;
    State& s = state();
    // A record still open gives its module text lines back: this one replaces it.
    if (s.open) outcome::move_text(s.command, s.pending);
    outcome_empty(s.command);
    outcome::move_text(s.pending, s.command);
    s.open = true;
    s.files.clear();
    s.started = std::chrono::steady_clock::now();
    record_command();
}

bool command_open() {
    return state().open;
}

void take(Outcome& from) {
    State& s = state();
    if (!s.open) return;
    Outcome& c = s.command;
    if (from.hasMessage) {
        c.message = std::move(from.message);
        c.hasMessage = true;
    }
    if (c.values.items.empty()) {
        // Both are objects: their members change hands, and `from` gets the
        // room back for the next command.
        c.values.items.swap(from.values.items);
        c.values.names.swap(from.values.names);
        std::swap(c.values.text, from.values.text); // the room of a text (outcome_empty())
    } else
        for (size_t i = 0; i < from.values.names.size(); ++i)
            c.values.member(from.values.names[i]) = std::move(from.values.items[i]);
    outcome::move_text(from, c);
}

const Outcome& command_outcome() {
    return state().command;
}

void command_drop() {
    State& s = state();
    if (!s.open) return;
    s.open = false;
    s.files.clear();
    // Its module text lines go to the next object.
    outcome::move_text(s.command, s.pending);
    record_pending();
}

void begin_record(Outcome& record) {
    outcome::move_text(state().pending, record);
}

void print_with_module_text(Object object, const Outcome& record) {
    object["module_text"] = record.moduleText;
    print(object);
}

std::vector<std::string> take_pending_text() {
    std::vector<std::string> lines;
    lines.swap(state().pending.moduleText);
    return lines;
}

void print_module_text() {
    if (!on()) return;
    State& s = state();
    if (s.pending.moduleText.empty()) return;
    Object o = object_of("module_text");
    o["module_text"] = std::move(s.pending.moduleText);
    s.pending.moduleText.clear();
    print(o);
}

void file_written(const std::string& path, const uint8_t* data, size_t n) {
    State& s = state();
    if (!s.open) return;
    const std::span<const uint8_t> bytes =
        n > 0 ? std::span<const uint8_t>(data, n) : std::span<const uint8_t>();
    for (FileWritten& f : s.files) {
        if (f.path == path) {
            f.bytes.insert(f.bytes.end(), bytes.begin(), bytes.end());
            return;
        }
    }
    s.files.push_back({path, std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

namespace {

CommandContext context_of(const OrvantiCom& com, const std::string& reason) {
    const State& s = state();
    CommandContext ctx;
    ctx.code = com.command;
    ctx.moduleId = com.networkMode == 1 ? com.moduleId : -1;
    ctx.batchLine = com.batchLine;
    ctx.batchPart = com.batchPart;
    ctx.directoryFile = com.directoryFile;
    ctx.reason = reason;
    ctx.files = &s.files;
    const auto elapsed = std::chrono::steady_clock::now() - s.started;
    ctx.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return ctx;
}

} // namespace

std::string command_line(const OrvantiCom& com, int result, const std::string& reason) {
    return command_object(state().command, result, context_of(com, reason));
}

void command_end(const OrvantiCom& com, int result, const std::string& reason) {
    State& s = state();
    if (!s.open) return;
    s.open = false;
    const size_t n = write_command_object(s.line, s.command, result, context_of(com, reason), true);
    if (s.sink)
        s.sink(s.line.substr(0, n), s.sinkContext);
    else
        results::emit(s.line.data(), n + 1); // with its line feed
    s.files.clear();
    record_pending();
}

void print_version() {
    Object o = object_of("version");
    o["version"] = version();
    print(o);
}

void print_ports() {
    Object o = object_of("ports");
    Object ports = Object::array();
    for (const port::PortEntry& p : port::serial_ports()) {
        ports.push_back({{"path", p.path},
                         {"driver", p.driver.empty() ? Object() : Object(p.driver)},
                         {"description", p.description.empty() ? Object() : Object(p.description)},
                         {"links", p.byId}});
    }
    o["ports"] = std::move(ports);
    print(o);
}

namespace {

Object command_entry(const CommandInfo& info, bool detail) {
    Object e = {
        {"command", keyword_name(KW_COMMAND, info.code)}, {"code", info.code}, {"summary", info.summary}};
    Object options = Object::array();
    for (const OptionUse& use : info.uses) {
        if (!use.option) break;
        options.push_back({{"option", use.option}, {"meaning", use.meaning}});
    }
    e["options"] = std::move(options);
    if (detail) {
        e["notes"] = info.notes;
        e["example"] = std::string("kelvor ") + info.example;
    }
    return e;
}

} // namespace

bool print_commands(const char* keyword) {
    Object o = object_of("commands");
    Object list = Object::array();
    if (keyword) {
        const uint8_t code = parse_command(keyword);
        const CommandInfo* info = code ? command_info(code) : nullptr;
        if (!info) return false;
        list.push_back(command_entry(*info, true));
    } else {
        for (const CommandInfo& info : command_reference()) list.push_back(command_entry(info, false));
    }
    o["commands"] = std::move(list);
    print(o);
    return true;
}

const char* schema_text() {
    return result_schema().c_str();
}

void print_schema() {
    const std::string& text = result_schema();
    results::write(text.data(), text.size());
}

} // namespace json_output
