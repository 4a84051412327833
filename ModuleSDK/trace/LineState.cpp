#include "trace/LineState.h"

namespace kelvor::line_state {

constinit thread_local State* t_current = nullptr;
constinit std::atomic<State*> g_default{nullptr};

State::~State() {
    for (int p = PARTS - 1; p >= 0; --p) {
        if (parts[p]) destroy[p](parts[p]);
        parts[p] = nullptr;
    }
}

State& make_process_default() {
    // Never destroyed: a signal handler or a thread still running at exit may use it.
    static State* const instance = [] {
        State* made = new State();
        g_default.store(made, std::memory_order_release);
        return made;
    }();
    return *instance;
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
