#include "trace/Outcome.h"

#include <cstring>
#include <utility>

namespace kelvor {

const Value* Value::find(std::string_view name) const {
    for (size_t i = 0; i < names.size(); ++i)
        if (name == names[i]) return &items[i];
    return nullptr;
}

Value& Value::member(const char* name) {
    // Names are the library's static texts: most often the very same one.
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name || (names[i][0] == name[0] && std::strcmp(names[i], name) == 0)) return items[i];
    if (names.empty()) {
        // Most outcomes hold a few values: room for them at once, not growth one by one.
        names.reserve(4);
        items.reserve(4);
    }
    names.push_back(name);
    return items.emplace_back();
}

namespace {

// The count of an aggregate's members: the most values it is initialized from.
struct AnyMember {
    template <class T> operator T() const;
};
template <class T, class... Given> constexpr size_t member_count() {
    if constexpr (requires { T{Given{}..., AnyMember{}}; })
        return member_count<T, Given..., AnyMember>();
    else
        return sizeof...(Given);
}

} // namespace

void outcome_empty(Outcome& out) {
    static_assert(member_count<Outcome>() == 10, "outcome_empty() empties every member of an outcome");
    out.result = 0;
    out.hasMessage = false;
    out.message.clear();
    Value& values = out.values;
    values.kind = Value::Kind::Object;
    values.integer = 0;
    // An object has no text of its own: its `text` keeps the room of a text
    // member, which the next command's first text takes (slot()) instead of
    // allocating again. A batch records the same texts line after line.
    for (Value& item : values.items)
        if (item.kind == Value::Kind::Text && item.text.capacity() > values.text.capacity())
            values.text = std::move(item.text);
    values.text.clear();
    values.items.clear();
    out.values.names.clear();
    out.moduleText.clear();
    out.output.clear();
    out.outputTaken = false;
    out.hostLine.clear();
    out.hostCheck = 0;
    out.hostRefused = false;
}

namespace outcome {

namespace {

// The calling thread's recorder: the outcome of its innermost scope, what
// that scope records, and the object named values go into (the outcome's
// values, or an item or object being filled).
struct Recorder {
    Outcome* into = nullptr;
    Value* target = nullptr;
    Recording recording{false, false};
};
thread_local Recorder t_recorder;

Value& target() {
    Recorder& r = t_recorder;
    return r.target ? *r.target : r.into->values;
}

// A line as the outcome keeps it: without its indentation and its line end.
std::string_view bare(std::string_view line) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    return line;
}

Value& array_named(const char* name) {
    Value& slot = target().member(name);
    if (slot.kind != Value::Kind::List) slot = Value{Value::Kind::List};
    return slot;
}

Value integer(int64_t v) {
    Value out{Value::Kind::Integer};
    out.integer = v;
    return out;
}

Value text_value(std::string_view v) {
    Value out{Value::Kind::Text};
    out.text = std::string(v);
    return out;
}

// The member `name` of the target, made a value of `kind` in place; what it
// held before is gone.
Value& slot(const char* name, Value::Kind kind) {
    Value& v = target().member(name);
    if (v.kind != Value::Kind::Null) v = Value{};
    v.kind = kind;
    // A text takes the room that the emptied outcome kept (outcome_empty()).
    if (Value& values = t_recorder.into->values; kind == Value::Kind::Text &&
                                                 values.kind == Value::Kind::Object &&
                                                 values.text.capacity() > v.text.capacity())
        v.text = std::move(values.text);
    return v;
}

} // namespace

Scope::Scope(Outcome& into, Recording recording)
    : outer_(t_recorder.into), outerTarget_(t_recorder.target), outerRecording_(t_recorder.recording) {
    t_recorder = Recorder{&into, nullptr, recording};
}

void Scope::redirect(Outcome& into, Recording recording) {
    t_recorder = Recorder{&into, nullptr, recording};
}

Scope::~Scope() {
    t_recorder = Recorder{outer_, outerTarget_, outerRecording_};
}

bool recording() {
    return t_recorder.into != nullptr && t_recorder.recording.values;
}

Outcome* current() {
    return t_recorder.into;
}

void value(Key key, int64_t v) {
    const char* name = key.name();
    if (!recording()) return;
    slot(name, Value::Kind::Integer).integer = v;
}

void text(Key key, std::string_view v) {
    const char* name = key.name();
    if (!recording()) return;
    slot(name, Value::Kind::Text).text = v;
}

void keyword(Key key, int category, int code) {
    const char* name = key.name();
    if (!recording()) return;
    slot(name, Value::Kind::Text).text = keyword_name(category, code);
}

void none(Key key) {
    const char* name = key.name();
    if (!recording()) return;
    target().member(name) = Value{};
}

void flag(Key key, bool v) {
    const char* name = key.name();
    if (!recording()) return;
    Value b{Value::Kind::Boolean};
    b.integer = v ? 1 : 0;
    target().member(name) = std::move(b);
}

void append(Key key, int64_t v) {
    const char* list = key.name();
    if (!recording()) return;
    array_named(list).items.push_back(integer(v));
}

void append_text(Key key, std::string_view v) {
    const char* list = key.name();
    if (!recording()) return;
    array_named(list).items.push_back(text_value(v));
}

void list(Key key) {
    const char* list = key.name();
    if (!recording()) return;
    array_named(list);
}

void item_begin(Key key) {
    const char* list = key.name();
    if (!recording()) return;
    t_recorder.target = nullptr; // items are not nested
    Value& array = array_named(list);
    array.items.push_back(Value{Value::Kind::Object});
    t_recorder.target = &array.items.back();
}

void item_end() {
    t_recorder.target = nullptr;
}

void object_begin(Key key) {
    const char* name = key.name();
    if (!recording()) return;
    t_recorder.target = nullptr;
    Value& slot = target().member(name);
    if (slot.kind != Value::Kind::Object) slot = Value{Value::Kind::Object};
    t_recorder.target = &slot;
}

void object_end() {
    t_recorder.target = nullptr;
}

void message(std::string_view line) {
    if (!recording()) return;
    Outcome& o = *t_recorder.into;
    o.message = std::string(bare(line));
    o.hasMessage = true;
}

void module_text(std::string_view line) {
    if (!module_text_kept()) return;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    std::vector<std::string>& lines = t_recorder.into->moduleText;
    if (lines.size() < MODULE_TEXT_LINES_MAX) lines.emplace_back(line);
}

bool module_text_kept() {
    return t_recorder.into != nullptr && t_recorder.recording.keepText;
}

void move_text_lines(Outcome& from, Outcome& to) {
    for (std::string& line : from.moduleText) {
        if (to.moduleText.size() >= MODULE_TEXT_LINES_MAX) break;
        to.moduleText.push_back(std::move(line));
    }
    from.moduleText.clear();
}

} // namespace outcome

} // namespace kelvor
