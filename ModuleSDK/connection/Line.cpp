// A line as a value: its state, and the library's functions run on it.
#include <utility>

#include "ModuleSDK.h"
#include "port/SerialLine.h"
#include "trace/LineState.h"

namespace kelvor {

Line::Line() : state_(new line_state::State()) {}

Line::~Line() {
    if (!state_) return;
    {
        const line_state::Scope scope(*state_);
        module_close();
        trace_flush();
    }
    delete state_;
}

Line::Line(Line&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}

Line& Line::operator=(Line&& other) noexcept {
    if (this != &other) {
        Line gone(std::move(*this));
        state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
}

Line& Line::process() {
    // Never destroyed, like the state it stands for.
    static Line* instance = new Line(&line_state::process_default());
    return *instance;
}

line_state::State& Line::state() {
    // A Line moved from starts afresh.
    if (!state_) state_ = new line_state::State();
    return *state_;
}

LineScope::LineScope(Line& line) : previous_(line_state::exchange(&line.state())) {}

LineScope::~LineScope() {
    line_state::exchange(previous_);
}

int Line::open(const char* portName, int baudCode, int hexText, int network, int moduleId, int readTimeout) {
    return call([&] { return module_open(portName, baudCode, hexText, network, moduleId, readTimeout); });
}

int Line::open_broadcast(const char* portName, int baudCode, int hexText, int moduleId, int readTimeout) {
    return call([&] { return module_open_broadcast(portName, baudCode, hexText, moduleId, readTimeout); });
}

int Line::open_line(const char* portName, int baudCode, int hexText, int readTimeout) {
    return call([&] { return module_open_line(portName, baudCode, hexText, readTimeout); });
}

int Line::select(int moduleId) {
    return call([&] { return module_select(moduleId); });
}

int Line::close() {
    return call([] { return module_close(); });
}

Outcome Line::run(const CommandRequest& request) {
    return call([&] { return run_command(request); });
}

void Line::run(const CommandRequest& request, Outcome& out) {
    call([&] { run_command(request, out); });
}

void Line::interrupt() {
    call([] { serial_interrupt(); });
}

bool Line::interrupted() const {
    return state_ && state_->interrupted.load();
}

void Line::clear_interrupt() {
    state().interrupted.store(false);
}

void Line::trace_enable(uint32_t bits) {
    call([&] { kelvor::trace_enable(bits); });
}

void Line::trace_disable(uint32_t bits) {
    call([&] { kelvor::trace_disable(bits); });
}

uint32_t Line::trace_mask() {
    return call([] { return kelvor::trace_mask(); });
}

void Line::trace_to(TraceSink sink, void* context) {
    call([&] { kelvor::trace_to(sink, context); });
}

void Line::transfer_observer(TransferObserver observer, void* context) {
    call([&] { kelvor::transfer_observer(observer, context); });
}

void Line::answer_observer(AnswerObserver observer, void* context) {
    call([&] { kelvor::answer_observer(observer, context); });
}

bool Line::is_open() {
    return call([] { return kelvor::link_state().open; });
}

int Line::baud_rate() {
    return call([] { return serial_line::line().baudRate; });
}

int Line::read_timeout() {
    return call([] { return serial_read_timeout(); });
}

LinkState Line::link_state() {
    return call([] { return kelvor::link_state(); });
}

ModuleSettings Line::module_settings() {
    return call([] { return kelvor::module_settings(); });
}

void Line::set_module_settings(const ModuleSettings& settings) {
    call([&] { kelvor::module_settings() = settings; });
}

} // namespace kelvor
