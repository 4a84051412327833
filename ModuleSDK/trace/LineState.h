// The state of one line, kept apart from every other line's: a kelvor::Line
// owns one, and the process has one more, the default, that the library's
// plain functions use on a thread that has no Line in scope. The state comes
// in parts, each the business of the layer that uses it (the trace log here,
// the port and its time in port/, the link's state in link/); a layer makes
// its part the first time the line needs it and the line destroys it.
#pragma once

#include <array>
#include <atomic>

namespace kelvor::line_state {

// The parts, lowest layer first; a line destroys them highest first.
enum Part : int {
    TRACE_LOG,
    PROGRESS,
    TRANSFER_OBSERVER,
    SERIAL_LINE,
    HELD_WORK,
    WAKE,
    LOCAL_PORT,
    NET_STATUS,
    NET_NOTES,
    NET_PORT,
    ACTIVE_PORT,
    LINK_STATE,
    MODULE_SETTINGS,
    ANSWER_OBSERVER,
    TEXT_LINES,
    PARTS
};

struct State {
    State() = default;
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    std::array<void*, PARTS> parts{};
    std::array<void (*)(void*), PARTS> destroy{};
    // Set by an interrupt, from a signal handler or another thread; it is
    // here rather than in a part so that setting it never allocates.
    std::atomic<bool> interrupted{false};
    // The end an interrupt writes to, to wake a wait in poll (POSIX); -1
    // until the line has one. Read by other threads and signal handlers.
    std::atomic<int> wakeFd{-1};
    static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);
};

// The calling thread's Line in scope (nullptr: the default) and the
// process's default line once it is made: read on every call of the library,
// so looked up inline.
extern constinit thread_local State* t_current;
extern constinit std::atomic<State*> g_default;
// Makes the default line, once.
State& make_process_default();

// The process's default line.
inline State& process_default() {
    if (State* d = g_default.load(std::memory_order_acquire)) [[likely]]
        return *d;
    return make_process_default();
}
// The line of the calling thread: the innermost Line in scope, or the default.
inline State& current() {
    if (State* s = t_current) return *s;
    return process_default();
}

// Makes `state` the calling thread's line (nullptr: the default) and hands
// back the one it had (nullptr when it had the default).
State* exchange(State* state);

// `state` is the calling thread's line while this lives.
class Scope {
public:
    explicit Scope(State& state);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    State* previous_;
};

// The part `P` of the line `s`, made on first use.
template <class T> T& part_of(State& s, Part p) {
    if (!s.parts[p]) {
        s.parts[p] = new T();
        s.destroy[p] = [](void* at) { delete static_cast<T*>(at); };
    }
    return *static_cast<T*>(s.parts[p]);
}
// The part of the calling thread's line.
template <class T> T& part(Part p) {
    return part_of<T>(current(), p);
}
// The part when the line has made it, nullptr otherwise: for a signal
// handler, which must not allocate.
template <class T> T* find(Part p) {
    return static_cast<T*>(current().parts[p]);
}

} // namespace kelvor::line_state
