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

std::string formatted(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::vsnprintf(nullptr, 0, format, args);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
#pragma GCC diagnostic pop
    va_end(again);
    return text;
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

Object object_of(const char* kind) {
    Object o = Object::object();
    o["format"] = FORMAT;
    o["kind"] = kind;
    return o;
}

std::string line_of(const Object& object) {
    const std::string dumped = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    // The JSON library escapes the C0 controls; DEL and the C1 controls (CSI
    // among them) are escaped too, so that no string (a module's text line, a
    // file name) can drive a terminal the line is shown on. Outside strings
    // the line is ASCII, and in UTF-8 C2 80 to C2 9F are exactly U+0080 to
    // U+009F.
    if (dumped.find('\x7f') == std::string::npos && dumped.find('\xc2') == std::string::npos) return dumped;
    std::string line;
    line.reserve(dumped.size() + 16);
    for (size_t i = 0; i < dumped.size(); ++i) {
        const auto c = static_cast<unsigned char>(dumped[i]);
        const auto next = i + 1 < dumped.size() ? static_cast<unsigned char>(dumped[i + 1]) : 0u;
        if (c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c == 0x7F ? 0x7Fu : next);
            line += escape;
            i += c == 0x7F ? 0 : 1;
        } else {
            line += static_cast<char>(c);
        }
    }
    return line;
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

const char* outcome_of(int result) {
    switch (exit_class(result)) {
    case EXIT_SUCCEEDED: return "ok";
    case EXIT_LINK_FAILED: return "link_failed";
    default: return "refused";
    }
}

const char* result_name_of(int result) {
    return result == FRONT_REFUSED ? "front_end_refused" : result_name(result);
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

// A command's object as its line, member by member, in the order of the
// schema. The names are this file's own. A string of printable ASCII without
// a quote or a backslash stands as it is between its quotes; every other
// string, and every tree, is written by the JSON library (escapes, bytes that
// are not UTF-8). A batch of thousands of lines writes thousands of objects:
// no tree of the whole object is built for each, and the line is written into
// one buffer that each object reuses.
// The bytes that stand as they are in a JSON string: printable ASCII but the
// quote and the backslash.
constexpr std::array<bool, 256> PLAIN = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; ++c) plain[static_cast<size_t>(c)] = c != '"' && c != '\\';
    return plain;
}();

// Whether every byte of `t` stands as it is in a JSON string: eight bytes at
// a time, none of them below 0x20, from 0x7F up, a quote or a backslash.
bool plain(std::string_view t) {
    constexpr uint64_t ONES = 0x0101010101010101ull, HIGHS = 0x8080808080808080ull;
    const auto has_zero = [](uint64_t v) { return (v - ONES) & ~v & HIGHS; };
    const char* p = t.data();
    size_t n = t.size();
    const auto bad = [&](const char* at) {
        uint64_t w;
        std::memcpy(&w, at, 8);
        // The high bits first: below them, adding one reaches a high bit only from 0x7F.
        return ((w & HIGHS) | ((w + ONES) & HIGHS) | ((w - 0x20 * ONES) & ~w & HIGHS) |
                has_zero(w ^ ('"' * ONES)) | has_zero(w ^ ('\\' * ONES))) != 0;
    };
    if (n < 8) {
        for (; n > 0; ++p, --n)
            if (!PLAIN[static_cast<unsigned char>(*p)]) return false;
        return true;
    }
    // Eight bytes at a time, the last eight (over bytes already checked) for the rest.
    for (; n >= 8; p += 8, n -= 8)
        if (bad(p)) return false;
    return n == 0 || !bad(p + n - 8);
}

// "00" to "99", the two digits of each number below 100.
constexpr std::array<char, 200> DIGIT_PAIRS = [] {
    std::array<char, 200> pairs{};
    for (size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

class Members {
public:
    // The object begun with `head`, this file's own JSON text.
    template <size_t N> explicit Members(std::string& out, const char (&head)[N]) : out_(out) {
        // The buffer's size is its room (kept from object to object), the
        // line's length is len_.
        if (out_.size() < 512) out_.resize(512);
        raw(head);
    }
    // A member's name, this file's own literal: its length is known here.
    template <size_t N> Members& name(const char (&n)[N]) {
        constexpr size_t len = N - 1;
        char* p = room(len + 4);
        p[0] = ',';
        p[1] = '"';
        std::memcpy(p + 2, n, len);
        p[len + 2] = '"';
        p[len + 3] = ':';
        return *this;
    }
    // This file's own JSON text, as it stands.
    template <size_t N> Members& raw(const char (&t)[N]) {
        std::memcpy(room(N - 1), t, N - 1);
        return *this;
    }
    void number(int64_t v) {
        if (v >= 0 && v < 10000) {
            // Most numbers of an object are small: a code, a status, a line, a time.
            const auto u = static_cast<uint32_t>(v);
            if (u < 10) {
                put(static_cast<char>('0' + u));
            } else if (u < 100) {
                std::memcpy(room(2), &DIGIT_PAIRS[2 * u], 2);
            } else if (u < 1000) {
                char* const p = room(3);
                p[0] = static_cast<char>('0' + u / 100);
                std::memcpy(p + 1, &DIGIT_PAIRS[2 * (u % 100)], 2);
            } else {
                char* const p = room(4);
                std::memcpy(p, &DIGIT_PAIRS[2 * (u / 100)], 2);
                std::memcpy(p + 2, &DIGIT_PAIRS[2 * (u % 100)], 2);
            }
            return;
        }
        constexpr size_t MOST = 20; // "-9223372036854775808"
        char* p = room(MOST);
        char* const end = std::to_chars(p, p + MOST, v).ptr;
        len_ -= MOST - static_cast<size_t>(end - p);
    }
    void null() { raw("null"); }
    // A text that needs no escape: the library's own names.
    void word(std::string_view t) {
        char* p = room(t.size() + 2);
        p[0] = '"';
        std::memcpy(p + 1, t.data(), t.size());
        p[t.size() + 1] = '"';
    }
    void text(std::string_view t) {
        if (plain(t))
            word(t);
        else
            put(line_of(Object(std::string(t))));
    }
    // A tree of the outcome: its structure member by member, its strings as
    // text() writes them (the members' names are the library's own).
    void tree(const Value& v) {
        switch (v.kind) {
        case Value::Kind::Object:
            put('{');
            for (size_t i = 0; i < v.items.size(); ++i) {
                // The member's name, its quotes and its colon (and the comma before) at once.
                const size_t len = std::strlen(v.names[i]);
                char* p = room(len + 3 + (i > 0));
                if (i > 0) *p++ = ',';
                p[0] = '"';
                std::memcpy(p + 1, v.names[i], len);
                p[len + 1] = '"';
                p[len + 2] = ':';
                leaf(v.items[i]);
            }
            put('}');
            break;
        case Value::Kind::List:
            put('[');
            for (size_t i = 0; i < v.items.size(); ++i) {
                if (i > 0) put(',');
                leaf(v.items[i]);
            }
            put(']');
            break;
        case Value::Kind::Text: text(v.text); break;
        case Value::Kind::Integer: number(v.integer); break;
        case Value::Kind::Boolean: put(v.integer ? "true" : "false"); break;
        case Value::Kind::Null: null(); break;
        }
    }
    // A member or an item: numbers and texts here, the rest as a tree.
    void leaf(const Value& v) {
        if (v.kind == Value::Kind::Integer)
            number(v.integer);
        else if (v.kind == Value::Kind::Text)
            text(v.text);
        else
            tree(v);
    }
    void texts(const std::vector<std::string>& lines) {
        put('[');
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i > 0) put(',');
            text(lines[i]);
        }
        put(']');
    }
    void put(std::string_view t) { std::memcpy(room(t.size()), t.data(), t.size()); }
    void put(char c) { *room(1) = c; }
    // The object closed, and the length of its line (and of its line end, when
    // asked, after that length).
    size_t end(bool lineEnd) {
        put('}');
        if (lineEnd) {
            put('\n');
            return len_ - 1;
        }
        return len_;
    }

private:
    // Room for n more bytes of the line, the buffer grown when it has none.
    [[gnu::always_inline]] char* room(size_t n) {
        if (out_.size() - len_ < n) [[unlikely]]
            grow(n);
        char* p = out_.data() + len_;
        len_ += n;
        return p;
    }
    [[gnu::noinline]] void grow(size_t n) { out_.resize(std::max(out_.size() * 2, len_ + n)); }

    std::string& out_;
    size_t len_ = 0;
};

// The object of a command into `out`, from its start; its length comes back
// (with `lineEnd`, a line feed follows it in `out`, beyond that length).
size_t write_command_object(std::string& out, const Outcome& o, int result, const CommandContext& ctx,
                            bool lineEnd) {
    static_assert(FORMAT == 1, "the head of a command's object names its format");
    Members m(out, R"({"format":1,"kind":"command","command":)");
    // A batch names the same command line after line: its name is kept.
    static thread_local uint8_t namedCode = 0;
    static thread_local const char* named = nullptr;
    if (ctx.code != namedCode || named == nullptr) {
        named = keyword_name(KW_COMMAND, ctx.code);
        namedCode = ctx.code;
    }
    const char* keyword = named;
    if (ctx.code != 0 && (keyword[0] != 'U' || std::strcmp(keyword, "Unknown") != 0))
        m.word(keyword); // the library's own name
    else
        m.null();
    if (ctx.code != 0)
        m.name("code").number(ctx.code);
    else
        m.raw(R"(,"code":null)");
    if (ctx.moduleId >= 0)
        m.name("module_id").number(ctx.moduleId);
    else
        m.raw(R"(,"module_id":null)");
    if (ctx.batchLine > 0) m.name("line").number(ctx.batchLine);
    if (ctx.batchLine > 0 && ctx.batchPart > 0) m.name("part").number(ctx.batchPart);
    if (!ctx.directoryFile.empty()) m.name("file").text(ctx.directoryFile);
    if (result == 0 && !o.hasMessage) {
        // The members of a command that succeeded with no message, at once.
        m.raw(R"(,"outcome":"ok","result":0,"result_name":"ok","message":null)");
    } else {
        m.name("outcome").word(outcome_of(result));
        m.name("result").number(result);
        m.name("result_name").word(result_name_of(result));
        if (o.hasMessage)
            m.name("message").text(o.message);
        else
            m.raw(R"(,"message":null)");
    }
    if (!ctx.reason.empty()) m.name("reason").text(ctx.reason);
    m.name("values").tree(o.values);
    if (!ctx.files || ctx.files->empty()) {
        m.raw(R"(,"files":[])");
    } else {
        Object files = Object::array();
        for (const FileWritten& f : *ctx.files) {
            files.push_back({{"path", f.path},
                             {"bytes", f.bytes.size()},
                             {"sha256", sha256_hex(f.bytes.data(), f.bytes.size())}});
        }
        m.name("files").put(line_of(files));
    }
    if (o.moduleText.empty())
        m.raw(R"(,"module_text":[])");
    else
        m.name("module_text").texts(o.moduleText);
    m.name("elapsed_ms").number(ctx.elapsedMs);
    return m.end(lineEnd);
}

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

std::string command_object(const Outcome& o, int result, const CommandContext& ctx) {
    std::string line;
    line.resize(write_command_object(line, o, result, ctx, false));
    return line;
}

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
