#include "trace/LineState.h"

namespace kelvor::line_state {

namespace {
thread_local State* t_current = nullptr;
} // namespace

State::~State() {
    for (int p = PARTS - 1; p >= 0; --p) {
        if (parts[p]) destroy[p](parts[p]);
        parts[p] = nullptr;
    }
}

State& process_default() {
    // Never destroyed: a signal handler or a thread still running at exit may use it.
    static State* instance = new State();
    return *instance;
}

State& current() {
    return t_current ? *t_current : process_default();
}

State* exchange(State* state) {
    State* previous = t_current;
    t_current = state;
    return previous;
}

Scope::Scope(State& state) : previous_(exchange(&state)) {}

Scope::~Scope() {
    exchange(previous_);
}

} // namespace kelvor::line_state
