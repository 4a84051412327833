#include "Json.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "CommandReference.h"
#include "OrvantiCom.h"
#include "Schema.h"
#include "Sha256.h"
#include "port/PortList.h"
#include "trace/Console.h"
#include "trace/Outcome.h"
#include "trace/OutcomeJson.h"

using namespace kelvor;

namespace json_output {

namespace {

struct FileWritten {
    std::string path;
    std::vector<uint8_t> bytes;
};

struct State {
    bool on = false;
    bool open = false;
    std::chrono::steady_clock::time_point started{};
    std::vector<FileWritten> files;
};

State& state() {
    static State instance;
    return instance;
}

} // namespace

bool on() {
    return state().on;
}

void set_on(bool value) {
    state().on = value;
}

void reset() {
    State& s = state();
    s = State{};
    outcome::reset();
}

Object object_of(const char* kind) {
    Object o = Object::object();
    o["format"] = FORMAT;
    o["kind"] = kind;
    return o;
}

std::string line_of(const Object& object) {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void print(const Object& object) {
    std::string line = line_of(object);
    line += '\n';
    // Written whole to the stream's handle, as the trace is: a reader of the
    // pipe gets each object as soon as its command ends.
    std::fflush(stdout);
    console::write_all(1, line.data(), line.size());
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
    s.open = true;
    s.files.clear();
    s.started = std::chrono::steady_clock::now();
    outcome::begin();
}

bool command_open() {
    return state().open;
}

void command_drop() {
    State& s = state();
    if (!s.open) return;
    s.open = false;
    s.files.clear();
    outcome::end();
}

void file_written(const std::string& path, const uint8_t* data, size_t n) {
    State& s = state();
    if (!s.open) return;
    for (FileWritten& f : s.files) {
        if (f.path == path) {
            f.bytes.insert(f.bytes.end(), data, data + n);
            return;
        }
    }
    s.files.push_back({path, std::vector<uint8_t>(data, data + n)});
}

void command_end(const OrvantiCom& com, int result, const std::string& reason) {
    State& s = state();
    if (!s.open) return;
    s.open = false;
    outcome::end();
    const outcome::Record& r = outcome::record();
    Object o = object_of("command");
    const char* keyword = keyword_name(KW_COMMAND, com.command);
    o["command"] = com.command != 0 && std::strcmp(keyword, "Unknown") != 0 ? Object(keyword) : Object();
    o["code"] = com.command != 0 ? Object(com.command) : Object();
    o["module_id"] = com.networkMode == 1 ? Object(com.moduleId) : Object();
    if (com.batchLine > 0) o["line"] = com.batchLine;
    if (!com.directoryFile.empty()) o["file"] = com.directoryFile;
    o["outcome"] = outcome_of(result);
    o["result"] = result;
    o["result_name"] = result_name_of(result);
    o["message"] = r.hasMessage ? Object(r.message) : Object();
    if (!reason.empty()) o["reason"] = reason;
    o["values"] = r.values;
    Object files = Object::array();
    for (const FileWritten& f : s.files) {
        files.push_back({{"path", f.path},
                         {"bytes", f.bytes.size()},
                         {"sha256", sha256_hex(f.bytes.data(), f.bytes.size())}});
    }
    o["files"] = std::move(files);
    o["module_text"] = r.moduleText;
    const auto elapsed = std::chrono::steady_clock::now() - s.started;
    o["elapsed_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    s.files.clear();
    print(o);
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
    return KELVOR_RESULT_SCHEMA;
}

void print_schema() {
    std::fflush(stdout);
    const char* text = schema_text();
    console::write_all(1, text, std::strlen(text));
}

} // namespace json_output
