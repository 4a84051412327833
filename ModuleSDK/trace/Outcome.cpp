#include "trace/Outcome.h"

#include "ModuleSDK.h"
#include "trace/OutcomeJson.h"

namespace kelvor {

namespace outcome {

namespace {

struct State {
    bool on = false;
    bool keepText = false;
    Record record;
    // The object that named values go into: the record's values, or the last
    // item of an array while an item is open.
    nlohmann::ordered_json* target = nullptr;
};

State& state() {
    static State instance;
    return instance;
}

nlohmann::ordered_json& target() {
    State& s = state();
    return s.target ? *s.target : s.record.values;
}

// A line as the record keeps it: without its indentation and its line end.
std::string_view bare(std::string_view line) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    return line;
}

nlohmann::ordered_json& array_named(const char* name) {
    nlohmann::ordered_json& slot = target()[name];
    if (!slot.is_array()) slot = nlohmann::ordered_json::array();
    return slot;
}

} // namespace

void begin() {
    State& s = state();
    // Cleared in place: a batch begins thousands of records.
    s.record.values = nlohmann::ordered_json::object();
    s.record.message.clear();
    s.record.hasMessage = false;
    s.record.moduleText.clear();
    s.target = nullptr;
    s.on = true;
}

void end() {
    state().on = false;
    state().target = nullptr;
}

bool recording() {
    return state().on;
}

void reset() {
    State& s = state();
    s.on = false;
    s.keepText = false;
    s.target = nullptr;
    s.record = Record{};
}

void value(const char* name, int64_t v) {
    if (!recording()) return;
    target()[name] = v;
}

void text(const char* name, std::string_view v) {
    if (!recording()) return;
    target()[name] = std::string(v);
}

void keyword(const char* name, int category, int code) {
    if (!recording()) return;
    target()[name] = keyword_name(category, code);
}

void none(const char* name) {
    if (!recording()) return;
    target()[name] = nullptr;
}

void flag(const char* name, bool v) {
    if (!recording()) return;
    target()[name] = v;
}

void append(const char* list, int64_t v) {
    if (!recording()) return;
    array_named(list).push_back(v);
}

void append_text(const char* list, std::string_view v) {
    if (!recording()) return;
    array_named(list).push_back(std::string(v));
}

void list(const char* list) {
    if (!recording()) return;
    array_named(list);
}

void item_begin(const char* list) {
    if (!recording()) return;
    State& s = state();
    s.target = nullptr; // items are not nested
    nlohmann::ordered_json& array = array_named(list);
    array.push_back(nlohmann::ordered_json::object());
    s.target = &array.back();
}

void item_end() {
    state().target = nullptr;
}

void object_begin(const char* name) {
    if (!recording()) return;
    State& s = state();
    s.target = nullptr;
    nlohmann::ordered_json& slot = target()[name];
    if (!slot.is_object()) slot = nlohmann::ordered_json::object();
    s.target = &slot;
}

void object_end() {
    state().target = nullptr;
}

void message(std::string_view line) {
    if (!recording()) return;
    Record& r = state().record;
    r.message = std::string(bare(line));
    r.hasMessage = true;
}

void module_text(std::string_view line) {
    if (!recording()) return;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    state().record.moduleText.emplace_back(line);
}

void keep_module_text(bool keep) {
    state().keepText = keep;
}

bool module_text_kept() {
    return state().keepText;
}

const Record& record() {
    return state().record;
}

} // namespace outcome

} // namespace kelvor
