// Where the works report: the output their program gave, for the thread
// that runs one.
#include "Works.h"

#include "trace/Outcome.h"

namespace tools::work_output {

namespace {
thread_local WorkOutput* current = nullptr;
} // namespace

Scope::Scope(WorkOutput* output) : outer_(current) {
    current = output;
}

Scope::~Scope() {
    current = outer_;
}

bool on() {
    return current != nullptr && current->objects();
}

void text(const std::string& text) {
    if (current) current->text(text);
}

void entry(const json_output::Object& entry) {
    if (current) current->entry(entry);
}

bool count(uint64_t done, uint64_t total) {
    return current == nullptr || current->count(done, total);
}

bool user_done(uint64_t done, uint64_t total) {
    return current == nullptr || current->user_done(done, total);
}

void print(const json_output::Object& object) {
    if (current) current->print(object);
}

void print_with_module_text(json_output::Object object, const kelvor::Outcome& record) {
    object["module_text"] = record.moduleText;
    print(object);
}

void begin_record(kelvor::Outcome& record) {
    if (current) current->pending_text(record);
}

} // namespace tools::work_output
