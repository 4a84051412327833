#include "trace/Outcome.h"

#include "ModuleSDK.h"
#include "trace/OutcomeJson.h"

namespace kelvor {

namespace outcome {

namespace {

// Lines kept outside a record beyond this many are dropped.
constexpr size_t PENDING_LINES_MAX = 4096;

struct State {
    bool on = false;
    bool keepText = false;
    Record record;
    // Module text lines kept that no record has taken yet, oldest first.
    std::vector<std::string> pending;
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

namespace {

// The module text lines of the record being given up go back to the pending
// ones, after those that came before it.
void keep_lines_of_record() {
    State& s = state();
    for (std::string& line : s.record.moduleText) {
        if (s.pending.size() >= PENDING_LINES_MAX) break;
        s.pending.push_back(std::move(line));
    }
    s.record.moduleText.clear();
}

} // namespace

void begin() {
    State& s = state();
    if (s.on) keep_lines_of_record();
    // Cleared in place: a batch begins thousands of records.
    s.record.values = nlohmann::ordered_json::object();
    s.record.message.clear();
    s.record.hasMessage = false;
    s.record.moduleText.clear();
    s.record.moduleText.swap(s.pending);
    s.target = nullptr;
    s.on = true;
}

void end() {
    state().on = false;
    state().target = nullptr;
}

void set_aside() {
    State& s = state();
    if (s.on) keep_lines_of_record();
    end();
}

std::vector<std::string> take_pending_text() {
    std::vector<std::string> lines;
    lines.swap(state().pending);
    return lines;
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
    s.pending.clear();
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
    State& s = state();
    if (!s.on && !s.keepText) return;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (s.on)
        s.record.moduleText.emplace_back(line);
    else if (s.pending.size() < PENDING_LINES_MAX)
        s.pending.emplace_back(line);
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
