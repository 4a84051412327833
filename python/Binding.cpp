// _kelvor: the library's command functions for Python, one call each, with
// Python values in and out. Each kelvor.Module has a Connection of its own: a
// kelvor::Line (port, link state, settings, trace, interrupt) and a lock, so
// that calls on different Modules run at the same time while the calls on one
// take turns. Every call holds its connection's lock, runs with the
// interpreter's lock released, keeps its outcome (message, decoded values,
// module text) for the thread that made it, hands the trace to the
// connection's Python handler (or the process's), tells a progress callable
// how a transfer goes, and turns Ctrl-C during a wait of the main thread into
// an ended read on the line of that call and a KeyboardInterrupt. A call made
// while the same thread's call on the same connection runs (from a progress
// callable or a trace handler) is refused. Errors are raised by the Python
// layer (kelvor/__init__.py) from the result codes returned here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BackupDirectory.h"
#include "JsonWriter.h"
#include "ModuleSDK.h"
#include "UserCopy.h"
#include "Works.h"
#include "connection/LineSettings.h"
#include "connection/PortInfo.h"
#include "image/Bmp.h"
#include "port/System.h"
#include "trace/Outcome.h"

namespace py = pybind11;
using namespace kelvor;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t TRACE_ALL = TRACE_ERROR | TRACE_CALL | TRACE_COMM | TRACE_DATA | TRACE_USER;

// ------------------------------------------------------------- connections

// The trace lines of one line gathered while a call runs, handed to Python
// when it ends (or at the next progress report): the library's thread never
// calls Python.
constexpr size_t TRACE_BACKLOG_MAX = 16u << 20;
struct TraceBacklog {
    std::mutex lock;
    std::vector<std::string> lines;
    size_t bytes = 0;
    size_t dropped = 0;
    std::atomic<bool> pending{false}; // lines or drops wait (set with the lock held)
};

bool observe(uint64_t done, uint64_t total, void* context);

// One module's connection. Its lock is waited for with the interpreter's
// lock released, so that the call that holds it can still report progress;
// the thread that holds it is known, so that a call from inside its own call
// is refused instead of waiting for ever. Everything but the lock, the owner
// and the interrupt flag is used with both locks held.
struct Connection {
    Line line;
    std::timed_mutex lock;
    std::atomic<unsigned long> owner{0};
    bool open = false;
    // Ctrl-C came during the main thread's call on this line.
    std::atomic<bool> sigint{false};
    py::object progress; // callable(done, total), or None or null
    std::optional<py::error_already_set> failure;
    TraceBacklog backlog;
    // The connection's own trace (mask and handler), or the process's: its
    // settings are taken at the first call after they change.
    bool ownTrace = false;
    py::object traceLines; // callable(line), or null: standard error
    uint64_t traceGeneration = 0;

    Connection() { line.transfer_observer(observe, this); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
};

// What the process keeps beside its connections.
struct Process {
    py::object outcomeType; // the package's class of outcomes (a named tuple), once it is given
    // The process's trace (kelvor.log_to_logging, log_to_stderr, trace_off),
    // for every connection without one of its own.
    py::object traceLines;
    uint32_t traceMask = 0;
    uint64_t traceGeneration = 1;
    unsigned long mainThread = 0;
    std::atomic<int> openCount{0};
    // Every connection made, for the interpreter's exit and the interrupt of all.
    std::mutex registryLock;
    std::vector<std::weak_ptr<Connection>> connections;
};
Process& process() {
    static Process p;
    return p;
}

std::shared_ptr<Connection> make_connection() {
    auto c = std::make_shared<Connection>();
    Process& p = process();
    std::lock_guard<std::mutex> guard(p.registryLock);
    std::erase_if(p.connections, [](const std::weak_ptr<Connection>& w) { return w.expired(); });
    p.connections.push_back(c);
    return c;
}

std::vector<std::shared_ptr<Connection>> every_connection() {
    Process& p = process();
    std::vector<std::shared_ptr<Connection>> out;
    std::lock_guard<std::mutex> guard(p.registryLock);
    for (const std::weak_ptr<Connection>& w : p.connections)
        if (auto c = w.lock()) out.push_back(std::move(c));
    return out;
}

class LineLock {
public:
    explicit LineLock(Connection& c) : c_(c) {
        const unsigned long me = PyThread_get_thread_ident();
        if (c.owner.load() == me)
            throw std::runtime_error(
                "a kelvor call is running on this thread already: the module cannot be used "
                "from inside its own call (a progress callable or a trace handler); "
                "call it once the running call has returned");
        // A free lock is taken at once; only a wait lets the interpreter go on.
        if (!c.lock.try_lock()) {
            py::gil_scoped_release unlocked;
            c.lock.lock();
        }
        c.owner.store(me);
    }
    ~LineLock() {
        c_.owner.store(0);
        c_.lock.unlock();
    }
    LineLock(const LineLock&) = delete;
    LineLock& operator=(const LineLock&) = delete;

private:
    Connection& c_;
};

// The interpreter's lock let go for the length of a library call (what
// py::gil_scoped_release does, without its bookkeeping for nested releases,
// which a command's call never makes).
class InterpreterReleased {
public:
    InterpreterReleased() : state_(PyEval_SaveThread()) {}
    ~InterpreterReleased() { PyEval_RestoreThread(state_); }
    InterpreterReleased(const InterpreterReleased&) = delete;
    InterpreterReleased& operator=(const InterpreterReleased&) = delete;

private:
    PyThreadState* state_;
};

// What the latest call of a thread found, kept for that thread alone.
thread_local Outcome t_outcome;

bool given(const py::object& o) {
    return o && !o.is_none();
}

// Text of the module or the line as Python text: what is no UTF-8 becomes U+FFFD.
py::str text_of(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

py::object text_or_none(const std::string& text) {
    return text.empty() ? py::object(py::none()) : py::object(text_of(text));
}

// The name of an outcome's value as Python text. The names are the library's
// static texts, so each is made once and kept: a table by the text's address,
// its entries replaced on a clash (the interpreter's lock is held).
const py::str& name_of(const char* name) {
    struct Entry {
        const char* name = nullptr;
        py::str text;
    };
    static auto* names = new std::array<Entry, 256>(); // never freed: outlives the interpreter's end
    Entry& e = (*names)[(reinterpret_cast<uintptr_t>(name) >> 3) & 0xFF];
    if (e.name != name) {
        e.text = py::str(name);
        e.name = name;
    }
    return e.text;
}

// A value of an outcome as a Python value: None, int, str, bool, list or dict.
py::object python_of(const Value& v) {
    switch (v.kind) {
    case Value::Kind::Null: return py::none();
    case Value::Kind::Integer: return py::int_(v.integer);
    case Value::Kind::Text: return text_of(v.text);
    case Value::Kind::Boolean: return py::bool_(v.integer != 0);
    case Value::Kind::List: {
        py::list out;
        for (const Value& item : v.items) out.append(python_of(item));
        return out;
    }
    case Value::Kind::Object: {
        py::dict out;
        for (size_t i = 0; i < v.items.size(); ++i) {
            const py::object item = python_of(v.items[i]);
            if (PyDict_SetItem(out.ptr(), name_of(v.names[i]).ptr(), item.ptr()) != 0)
                throw py::error_already_set();
        }
        return out;
    }
    }
    return py::none();
}

void keep_trace_line(const char* text, size_t n, void* context) {
    TraceBacklog& b = *static_cast<TraceBacklog*>(context);
    std::lock_guard<std::mutex> guard(b.lock);
    if (b.bytes + n > TRACE_BACKLOG_MAX) {
        ++b.dropped;
        b.pending.store(true);
        return;
    }
    b.lines.emplace_back(text, n);
    b.bytes += n;
    b.pending.store(true);
}

void drop_trace_line(const char*, size_t, void*) {}

const py::object& trace_handler(const Connection& c) {
    return c.ownTrace ? c.traceLines : process().traceLines;
}

// The line's trace to `handler` (null: its standard error), of `mask`.
void set_line_trace(Connection& c, uint32_t mask, const py::object& handler) {
    c.line.call([&] {
        trace_disable(TRACE_ALL);
        trace_enable(mask);
        trace_to(given(handler) ? keep_trace_line : nullptr, &c.backlog);
    });
}

// Before a call, with the connection's lock held: the process's trace
// settings, when they changed since the line took them.
void follow_process_trace(Connection& c) {
    const Process& p = process();
    if (c.ownTrace || c.traceGeneration == p.traceGeneration) return;
    set_line_trace(c, p.traceMask, p.traceLines);
    c.traceGeneration = p.traceGeneration;
}

// Hands the gathered lines to the Python handler; the lock is held.
void deliver_trace(Connection& c) {
    std::vector<std::string> lines;
    size_t dropped = 0;
    {
        TraceBacklog& b = c.backlog;
        // Most calls trace nothing: no lock for an empty backlog.
        if (!b.pending.load()) return;
        std::lock_guard<std::mutex> guard(b.lock);
        b.pending.store(false);
        lines.swap(b.lines);
        dropped = b.dropped;
        b.bytes = 0;
        b.dropped = 0;
    }
    // Held: a handler may set another while it is called.
    const py::object handler = trace_handler(c);
    if (!given(handler)) return;
    for (const std::string& line : lines) handler(text_of(line));
    if (dropped > 0)
        handler(py::str("[ERR] " + std::to_string(dropped) +
                        " trace lines were dropped: the backlog was full\n"));
}

// Tells the Python callable how a transfer of the connection `context` goes.
bool observe(uint64_t done, uint64_t total, void* context) {
    Connection& c = *static_cast<Connection*>(context);
    if (c.sigint.load()) return false;
    if (!given(c.progress)) return true;
    py::gil_scoped_acquire gil;
    try {
        deliver_trace(c);
        c.progress(done, total);
    } catch (py::error_already_set& e) {
        c.failure.emplace(std::move(e));
        return false;
    }
    return true;
}

// Ctrl-C during a call of the main thread: the read in progress on that
// call's line ends, the call returns, and the interrupt is raised as
// KeyboardInterrupt once the lock is back; the lines of other threads' calls
// go on. The handler is put in place once, in front of the interpreter's own,
// which it calls after it: outside a call Ctrl-C is the interpreter's alone.
// A program that sets a SIGINT handler of its own (signal.signal) puts the
// interpreter's back in front; the next call of the main thread sees that and
// puts this one in front of it again.
struct Sigint {
    struct sigaction next {};
    bool installed = false;
    py::object getsignal;  // _signal.getsignal (without the enum signal.getsignal makes)
    py::object number;     // SIGINT as a Python int, its argument
    py::object pythonSide; // what it returned when the handler was put in place
};
Sigint& sigint_state() {
    static Sigint s;
    return s;
}
// The connection of the main thread's call in progress (the innermost, when
// a progress callable calls another module).
std::atomic<Connection*> g_mainCall{nullptr};

extern "C" void on_sigint(int sig) {
    Connection* c = g_mainCall.load();
    if (c != nullptr) {
        c->sigint.store(true);
        c->line.interrupt();
    }
    const struct sigaction& next = sigint_state().next;
    if (next.sa_flags & SA_SIGINFO) {
        if (next.sa_sigaction) next.sa_sigaction(sig, nullptr, nullptr);
    } else if (next.sa_handler == SIG_DFL) {
        // Without a handler of the interpreter's, a Ctrl-C outside a call ends the process as always.
        if (c == nullptr) {
            ::signal(sig, SIG_DFL);
            ::raise(sig);
        }
    } else if (next.sa_handler != SIG_IGN && next.sa_handler != nullptr) {
        next.sa_handler(sig);
    }
}

// Puts the handler in front of the one in place (not when SIGINT is ignored).
void install_sigint() {
    Sigint& s = sigint_state();
    struct sigaction now {};
    if (sigaction(SIGINT, nullptr, &now) != 0) return;
    if (!(now.sa_flags & SA_SIGINFO) && now.sa_handler == on_sigint) return;
    if (!(now.sa_flags & SA_SIGINFO) && now.sa_handler == SIG_IGN) return;
    struct sigaction mine {};
    mine.sa_handler = on_sigint;
    sigemptyset(&mine.sa_mask);
    mine.sa_flags = now.sa_flags & SA_ONSTACK;
    s.next = now;
    s.installed = sigaction(SIGINT, &mine, nullptr) == 0;
}

// Marks a call of the main thread on `c` for the handler, after checking that
// the handler is still in front.
class SigintScope {
public:
    explicit SigintScope(Connection& c) {
        if (PyThread_get_thread_ident() != process().mainThread) return;
        Sigint& s = sigint_state();
        if (s.getsignal) {
            PyObject* got = PyObject_CallOneArg(s.getsignal.ptr(), s.number.ptr());
            if (got == nullptr) throw py::error_already_set();
            py::object now = py::reinterpret_steal<py::object>(got);
            if (!now.is(s.pythonSide)) {
                install_sigint();
                s.pythonSide = std::move(now);
            }
        }
        previous_ = g_mainCall.exchange(&c);
        marked_ = true;
    }
    ~SigintScope() {
        if (marked_) g_mainCall.store(previous_);
    }
    SigintScope(const SigintScope&) = delete;
    SigintScope& operator=(const SigintScope&) = delete;

private:
    Connection* previous_ = nullptr;
    bool marked_ = false;
};

void require_open(const Connection& c) {
    if (!c.open) throw py::value_error("the module is closed");
}

// After a call: the line's interrupt cleared; whether Ctrl-C came.
bool clear_interrupt(Connection& c) {
    const bool interrupted = c.sigint.exchange(false);
    if (interrupted || c.line.interrupted()) c.line.clear_interrupt();
    return interrupted;
}

// After a call, with the interpreter held: the trace delivered, and the first
// failure of a Python callable raised (the progress callable's, else the
// trace handler's), then any pending signal.
void end_call(Connection& c) {
    std::optional<py::error_already_set> failure = std::move(c.failure);
    c.failure.reset();
    try {
        deliver_trace(c);
    } catch (py::error_already_set& e) {
        if (!failure) failure.emplace(std::move(e));
    }
    if (failure) throw std::move(*failure);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

void check_progress(const py::object& progress) {
    if (given(progress) && !PyCallable_Check(progress.ptr()))
        throw py::type_error(std::string("progress is a callable(done, total), not ") +
                             Py_TYPE(progress.ptr())->tp_name);
}

// Runs one library call on the connection's line with its lock held:
// interpreter's lock released, outcome recorded, progress observed. Nothing
// is sent unless the progress argument can be called.
template <class F> int run_locked(Connection& c, F&& f, py::object progress = py::none()) {
    check_progress(progress);
    c.progress = std::move(progress);
    c.sigint.store(false);
    follow_process_trace(c);
    int rc = 0;
    Outcome recorded;
    {
        SigintScope sigint(c);
        py::gil_scoped_release unlocked;
        const outcome::Scope scope(recorded);
        rc = c.line.call([&] {
            const int r = f();
            trace_flush();
            return r;
        });
    }
    t_outcome = std::move(recorded);
    c.progress = py::object();
    clear_interrupt(c);
    end_call(c);
    return rc;
}

// One call on the open module.
template <class F> int run(Connection& c, F&& f, py::object progress = py::none()) {
    LineLock held(c);
    require_open(c);
    return run_locked(c, std::forward<F>(f), std::move(progress));
}

// Raised when the operator pressed Ctrl-C while the call was waiting.
void raise_if_interrupted(bool interrupted) {
    if (interrupted) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
}

// A call that the operator can stop: the interrupt is raised after it.
template <class F> int run_stoppable(Connection& c, F&& f, py::object progress = py::none()) {
    bool interrupted = false;
    const int rc = run(
        c,
        [&] {
            const int r = f();
            interrupted = c.sigint.load();
            return r;
        },
        std::move(progress));
    raise_if_interrupted(interrupted);
    return rc;
}

Bytes bytes_of(const py::buffer& b) {
    const py::buffer_info info = b.request();
    if (info.ndim > 1 && !(info.strides.empty())) {
        // A multi-dimensional buffer is taken only when it is contiguous.
        py::ssize_t expect = info.itemsize;
        for (py::ssize_t d = info.ndim - 1; d >= 0; --d) {
            if (info.strides[static_cast<size_t>(d)] != expect)
                throw py::value_error("the buffer is not contiguous");
            expect *= info.shape[static_cast<size_t>(d)];
        }
    }
    const auto* p = static_cast<const uint8_t*>(info.ptr);
    return Bytes(p, p + static_cast<size_t>(info.size) * static_cast<size_t>(info.itemsize));
}

py::bytes to_bytes(const Bytes& b, size_t n) {
    return py::bytes(reinterpret_cast<const char*>(b.data()), std::min(n, b.size()));
}
py::bytes to_bytes(const Bytes& b) {
    return to_bytes(b, b.size());
}

// ------------------------------------------------------------ run_command

// The type of the connections, for the entry point's check of its argument:
// compared by address, without the lookup that a cast makes.
PyTypeObject* g_connectionType = nullptr;

// The connection an argument is, nullptr when it is none.
Connection* connection_of(PyObject* o) {
    if (o == nullptr || Py_TYPE(o) != g_connectionType) return nullptr;
    auto* inst = reinterpret_cast<py::detail::instance*>(o);
    return static_cast<Connection*>(inst->get_value_and_holder().value_ptr());
}

// (result, message or None, values, module text lines, output bytes or None
// when the command took none, whether the host refused the command itself,
// None, the host's own line or None, which check it was) of one command on
// the connection `opening` (its Module's), as an instance of the package's
// class of outcomes once it is given. `command` is its keyword or code; a
// code without a command of its own goes out as a raw packet. A connection
// closed is refused.
py::object run_request(const py::object& command, std::optional<uint16_t> moduleId, uint32_t p1, uint32_t p2,
                       uint8_t flag, std::optional<py::buffer> input, uint32_t chunkSize, py::object progress,
                       PyObject* opening) {
    CommandRequest request;
    if (py::isinstance<py::str>(command)) {
        const std::string keyword = command.cast<std::string>();
        const packet::Command* described = packet::command_named(keyword);
        if (!described) throw py::value_error("no command is named " + keyword);
        request.code = described->code;
    } else {
        if (!py::isinstance<py::int_>(command) || py::isinstance<py::bool_>(command))
            throw py::type_error("a command is its keyword or its code");
        const long long code = command.cast<long long>();
        if (code < 0 || code > 0xFF) throw py::value_error("a command code is 0 to 0xff");
        request.code = static_cast<uint8_t>(code);
    }
    request.moduleId = moduleId;
    request.param1 = p1;
    request.param2 = p2;
    request.flag = flag;
    Bytes data;
    if (input) {
        data = bytes_of(*input);
        request.input = std::span<const uint8_t>(data);
    }
    if (chunkSize != 0) request.chunkSize = chunkSize;
    check_progress(progress);
    Connection* const at = connection_of(opening);
    if (at == nullptr)
        throw py::type_error("opening is the connection of a module (its Module's), not " +
                             std::string(opening ? Py_TYPE(opening)->tp_name : "missing"));
    Connection& c = *at;

    LineLock held(c);
    require_open(c);
    if (given(progress)) c.progress = std::move(progress);
    c.sigint.store(false);
    follow_process_trace(c);
    const Outcome o = [&] {
        SigintScope sigint(c);
        const InterpreterReleased unlocked;
        const LineScope scope(c.line);
        Outcome ran = run_command(request);
        trace_flush();
        return ran;
    }();
    if (c.progress) c.progress = py::object();
    const bool interrupted = clear_interrupt(c);
    end_call(c);
    raise_if_interrupted(interrupted);

    py::list text;
    for (const std::string& line : o.moduleText) text.append(text_of(line));
    py::object fields[] = {
        py::int_(o.result),
        o.hasMessage ? py::object(text_of(o.message)) : py::object(py::none()),
        python_of(o.values),
        std::move(text),
        o.outputTaken ? py::object(to_bytes(o.output)) : py::object(py::none()),
        py::bool_(o.hostRefused),
        py::none(),
        o.hostLine.empty() ? py::object(py::none()) : py::object(text_of(o.hostLine)),
        py::int_(o.hostCheck),
    };
    constexpr Py_ssize_t FIELDS = std::size(fields);
    // A plain tuple, or the package's named tuple made as tuple.__new__ makes
    // it, without a call into Python.
    const Process& p = process();
    auto* type = p.outcomeType ? reinterpret_cast<PyTypeObject*>(p.outcomeType.ptr()) : &PyTuple_Type;
    PyObject* made = type == &PyTuple_Type ? PyTuple_New(FIELDS) : type->tp_alloc(type, FIELDS);
    if (made == nullptr) throw py::error_already_set();
    for (Py_ssize_t i = 0; i < FIELDS; ++i) PyTuple_SET_ITEM(made, i, fields[i].release().ptr());
    return py::reinterpret_steal<py::object>(made);
}

// The same as the interpreter calls it for each command: by its fast calling
// convention, the arguments taken here, without the general dispatcher of
// bound functions (which costs as much as the rest of the call).
// run(command, module_id=None, p1=0, p2=0, flag=0, input=None, chunk_size=0,
//     progress=None, opening=None)
PyObject* run_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* NAMES[] = {"command", "module_id",  "p1",       "p2",     "flag",
                                            "input",   "chunk_size", "progress", "opening"};
    constexpr Py_ssize_t COUNT = std::size(NAMES);
    PyObject* given[COUNT] = {};
    try {
        if (nargs > COUNT) throw py::type_error("run() takes at most 9 arguments");
        for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
        const Py_ssize_t named = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < named; ++k) {
            const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
            if (name == nullptr) throw py::error_already_set();
            Py_ssize_t at = 0;
            while (at < COUNT && std::strcmp(NAMES[at], name) != 0) ++at;
            if (at == COUNT) throw py::type_error(std::string("run() has no argument ") + name);
            if (given[at]) throw py::type_error(std::string("run() got ") + name + " twice");
            given[at] = args[nargs + k];
        }
        if (!given[0]) throw py::type_error("run() needs the command");
        const auto number = [&given](int at, uint64_t most) -> uint64_t {
            PyObject* v = given[at];
            if (v == nullptr) return 0;
            if (!PyLong_Check(v) || PyBool_Check(v))
                throw py::type_error(std::string(NAMES[at]) + " is an int, not " + Py_TYPE(v)->tp_name);
            const unsigned long long n = PyLong_AsUnsignedLongLong(v);
            if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                throw py::value_error(std::string(NAMES[at]) + " is 0 to " + std::to_string(most));
            }
            if (n > most) throw py::value_error(std::string(NAMES[at]) + " is 0 to " + std::to_string(most));
            return n;
        };
        const auto absent = [&given](int at) { return given[at] == nullptr || given[at] == Py_None; };
        std::optional<uint16_t> moduleId;
        if (!absent(1)) moduleId = static_cast<uint16_t>(number(1, 0xFFFF));
        std::optional<py::buffer> input;
        if (!absent(5)) {
            if (!PyObject_CheckBuffer(given[5]))
                throw py::type_error(std::string("input is bytes or a buffer, not ") +
                                     Py_TYPE(given[5])->tp_name);
            input = py::reinterpret_borrow<py::buffer>(given[5]);
        }
        py::object progress =
            absent(7) ? py::object(py::none()) : py::reinterpret_borrow<py::object>(given[7]);
        return run_request(py::reinterpret_borrow<py::object>(given[0]), moduleId,
                           static_cast<uint32_t>(number(2, UINT32_MAX)),
                           static_cast<uint32_t>(number(3, UINT32_MAX)),
                           static_cast<uint8_t>(number(4, 0xFF)), std::move(input),
                           static_cast<uint32_t>(number(6, UINT32_MAX)), std::move(progress), given[8])
            .release()
            .ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        // As the bound functions report theirs: ValueError, TypeError, MemoryError and the rest.
        try {
            py::detail::translate_exception(std::current_exception());
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "kelvor: an unknown error of the library");
        }
    }
    return nullptr;
}

// ------------------------------------------------------------- image record

// An image record from width x height gray pixels, as a BMP file gives them.
std::unique_ptr<std::array<uint8_t, IMAGE_RECORD_SIZE>> image_record_of(uint32_t width, uint32_t height,
                                                                        const Bytes& pixels) {
    const uint64_t n = static_cast<uint64_t>(width) * height;
    if (width == 0 || height == 0 || n > IMAGE_PIXELS_MAX)
        throw py::value_error("an image of " + std::to_string(width) + " x " + std::to_string(height) +
                              " pixels does not fit the image record (at most " +
                              std::to_string(IMAGE_PIXELS_MAX) + " pixels)");
    if (pixels.size() != n)
        throw py::value_error("the image holds " + std::to_string(pixels.size()) +
                              " bytes, not width x height = " + std::to_string(n));
    auto rec = std::make_unique<std::array<uint8_t, IMAGE_RECORD_SIZE>>();
    rec->fill(0);
    packet::put32(rec->data() + packet::record::IMAGE_WIDTH_AT, width);
    packet::put32(rec->data() + packet::record::IMAGE_HEIGHT_AT, height);
    packet::put32(rec->data() + packet::record::IMAGE_SIZE_AT, static_cast<uint32_t>(n));
    std::memcpy(rec->data() + IMAGE_HEADER_SIZE, pixels.data(), pixels.size());
    return rec;
}

// (width, height, format, pixels) of an image record a module sent, None
// when its header does not describe an image that fits it.
py::object image_of_record(const py::buffer& data) {
    const Bytes rec = bytes_of(data);
    if (rec.size() < IMAGE_RECORD_SIZE) return py::none();
    const uint32_t width = packet::get32(rec.data() + packet::record::IMAGE_WIDTH_AT);
    const uint32_t height = packet::get32(rec.data() + packet::record::IMAGE_HEIGHT_AT);
    const uint32_t format = packet::get32(rec.data() + packet::record::IMAGE_FORMAT_AT);
    const uint64_t n = static_cast<uint64_t>(width) * height;
    if (width == 0 || height == 0 || n > IMAGE_PIXELS_MAX) return py::none();
    return py::make_tuple(width, height, format,
                          py::bytes(reinterpret_cast<const char*>(rec.data() + IMAGE_HEADER_SIZE), n));
}

// ------------------------------------------------------------------ BMP files

bool regular_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

py::tuple bmp_load(const std::string& path) {
    if (!regular_file(path)) throw py::value_error(path + " is not a regular file");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    Bytes gray(IMAGE_PIXELS_MAX);
    int width = 0, height = 0;
    if (bmp_read(f.get(), &width, &height, gray.data(), gray.size()) == 0)
        throw py::value_error(path + " is not a BMP file of at most " + std::to_string(IMAGE_PIXELS_MAX) +
                              " pixels that can be read");
    return py::make_tuple(width, height,
                          to_bytes(gray, static_cast<size_t>(width) * static_cast<size_t>(height)));
}

// (width, height, gray pixels) of the bytes of a BMP file.
py::tuple bmp_decode(const py::buffer& data) {
    const Bytes file = bytes_of(data);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(
        ::fmemopen(const_cast<uint8_t*>(file.data()), std::max<size_t>(file.size(), 1), "rb"), std::fclose);
    if (!f || file.empty()) throw py::value_error("no BMP file");
    Bytes gray(IMAGE_PIXELS_MAX);
    int width = 0, height = 0;
    if (bmp_read(f.get(), &width, &height, gray.data(), gray.size()) == 0)
        throw py::value_error("not a BMP file of at most " + std::to_string(IMAGE_PIXELS_MAX) +
                              " pixels that can be read");
    return py::make_tuple(width, height,
                          to_bytes(gray, static_cast<size_t>(width) * static_cast<size_t>(height)));
}

py::bytes bmp_bytes(uint32_t width, uint32_t height, const py::buffer& pixels) {
    const Bytes p = bytes_of(pixels);
    if (static_cast<uint64_t>(width) * height != p.size() || width == 0 || height == 0)
        throw py::value_error("the image holds " + std::to_string(p.size()) + " bytes, not width x height");
    Bytes file;
    if (!bmp_encode(p.data(), static_cast<int>(width), static_cast<int>(height), file))
        throw py::value_error("the image is too large for a BMP file");
    return to_bytes(file);
}

// ------------------------------------------------------------------ opening

std::string diagnosis(Connection& c, const std::string& port, int baud, int hexText, int network, int timeout,
                      int rc) {
    LineSettings com;
    com.portName = port;
    com.baudCode = baud;
    com.hexText = hexText;
    com.networkMode = network;
    com.readTimeout = timeout;
    return c.line.call([&] {
        trace_to(drop_trace_line, nullptr);
        std::string why = print_port_diagnosis(com, rc);
        trace_to(given(trace_handler(c)) ? keep_trace_line : nullptr, &c.backlog);
        return why;
    });
}

// The opening holds the connection's lock from the check that it is not open
// to the end of its failure path: only the opening that failed closes the
// port it opened. Two connections opening the same port: the port's lock lets
// one have it.
py::tuple open_module(Connection& c, const std::string& port, int baud, int hexText, int network,
                      int moduleId, int timeout, bool broadcast) {
    LineLock held(c);
    if (c.open) throw std::runtime_error("this kelvor.Module is open already (close it first)");
    bool interrupted = false;
    int rc = 0;
    try {
        rc = run_locked(c, [&] {
            const int r = broadcast ? module_open_broadcast(port.c_str(), baud, hexText, moduleId, timeout)
                                    : module_open(port.c_str(), baud, hexText, network, moduleId, timeout);
            interrupted = c.sigint.load();
            return r;
        });
    } catch (...) {
        // A Ctrl-C (the interpreter's handler is told too) or a trace handler's
        // failure: the port this opening opened is given back before it is raised.
        c.line.close();
        throw;
    }
    if (rc == 0 && !interrupted) {
        c.open = true;
        ++process().openCount;
        return py::make_tuple(0, 0, std::string());
    }
    const int error = c.line.call([] { return serial_last_error(); });
    c.line.close();
    raise_if_interrupted(interrupted);
    return py::make_tuple(rc, error, diagnosis(c, port, baud, hexText, network, timeout, rc));
}

int close_module(Connection& c) {
    LineLock held(c);
    if (!c.open) return 0;
    c.open = false;
    --process().openCount;
    return c.line.close();
}

// Gives the ports back at the interpreter's exit. A call still running on
// another thread (a daemon thread's wait) is ended first; one that does not
// let its line go within a few seconds keeps it, and the system closes the
// port with the process.
void close_at_exit() {
    const std::vector<std::shared_ptr<Connection>> all = every_connection();
    for (const auto& c : all) c->line.interrupt();
    for (const auto& c : all) {
        bool held = false;
        {
            py::gil_scoped_release unlocked;
            held = c->lock.try_lock_for(std::chrono::seconds(3));
        }
        if (held) {
            if (c->open) {
                c->open = false;
                --process().openCount;
                c->line.close();
            }
            c->line.trace_to(nullptr, nullptr);
            c->line.transfer_observer(nullptr, nullptr);
            c->lock.unlock();
        }
        c->progress = py::object();
        c->traceLines = py::object();
        c->failure.reset();
    }
    Process& p = process();
    p.traceLines = py::object();
    p.outcomeType = py::object();
    sigint_state().getsignal = py::object();
    sigint_state().pythonSide = py::object();
}

// The names of the files' roles, the values' types and the families, in the order of their enumerations.
constexpr const char* ROLES[] = {"none", "data", "image", "templates", "firmware", "key", "password"};
constexpr const char* TYPES[] = {"unsigned", "signed",        "text",      "name",    "hex",   "time",
                                 "boolean",  "unsigned_list", "name_list", "records", "object"};
constexpr const char* FAMILIES[] = {
    "system",   "image",     "enroll", "verify", "identify", "database",   "admin",
    "firmware", "event_log", "clock",  "ports",  "wiegand",  "smart_card", "enroll_by_wiegand_card",
    "raw"};
static_assert(std::size(FAMILIES) == static_cast<size_t>(packet::Family::Raw) + 1);

// ------------------------------------------------------------- copy of users

// Tells the Python callable the progress of a work of the tools, with the
// interpreter's lock taken for it; a failure of the callable stops the work.
bool tell_progress(Connection& c, const py::object& progress, uint64_t done, uint64_t total) {
    if (c.sigint.load()) return false;
    if (!given(progress)) return true;
    py::gil_scoped_acquire gil;
    try {
        deliver_trace(c);
        progress(done, total);
    } catch (py::error_already_set& e) {
        c.failure.emplace(std::move(e));
        return false;
    }
    return true;
}

// Hands every user's and target's outcome back and tells Python the progress
// (pairs of user and target done).
class CopyCollector : public tools::CopyObserver {
public:
    CopyCollector(Connection& c, py::object progress) : c_(c), progress_(std::move(progress)) {}
    void user_done(const tools::UserOutcome& u) override { users.push_back(u); }
    void target_done(const tools::TargetOutcome& t) override { targets.push_back(t); }
    bool progress(uint64_t done, uint64_t total) override {
        return tell_progress(c_, progress_, done, total);
    }
    std::vector<tools::UserOutcome> users;
    std::vector<tools::TargetOutcome> targets;

private:
    Connection& c_;
    py::object progress_;
};

// (rc, message, users, targets): rc and message tell why the source could not
// be read (0 and None when it was); users are (module_id, user_id, status,
// dry_run, templates, found_on_module, admin_level, auth_policy, result,
// reason, left_in_part), targets (module_id, dry_run, copied, replaced,
// updated, unchanged, conflicts, pruned, failed, not_tried, result, message).
py::tuple copy_users_call(Connection& c, uint16_t fromModule, const std::string& fromDirectory,
                          const std::vector<uint16_t>& targets,
                          const std::vector<std::pair<uint32_t, uint32_t>>& users, bool replace, bool prune,
                          bool dryRun, py::object progress) {
    check_progress(progress);
    if (fromDirectory.find('\0') != std::string::npos)
        throw py::value_error("the backup's directory is a name without NUL characters");
    tools::CopyOptions options;
    for (const auto& [first, last] : users) options.users.push_back({first, last});
    options.replace = replace;
    options.prune = prune;
    options.dryRun = dryRun;
    CopyCollector collector(c, std::move(progress));
    std::string message;
    const int rc = run_stoppable(c, [&] {
        tools::UserSource source;
        if (fromModule != 0) {
            tools::Failure why;
            if (const int r = tools::read_module_source(fromModule, options.users, source, why); r < 0) {
                message = why.message;
                return r;
            }
        } else {
            backup::Problem problem;
            if (!backup::load_source(fromDirectory, options.users, source, problem)) {
                message = backup::problem_text(problem, "copied");
                return tools::REFUSED;
            }
        }
        tools::copy_users(source, targets, options, collector);
        return 0;
    });
    py::list userList, targetList;
    for (const tools::UserOutcome& u : collector.users)
        userList.append(py::make_tuple(u.moduleId, u.userId, tools::status_name(u.status, u.planned),
                                       u.planned, u.templates, u.foundOnModule, u.adminLevel, u.authPolicy,
                                       u.result, text_or_none(u.reason), u.leftInPart));
    for (const tools::TargetOutcome& t : collector.targets)
        targetList.append(py::make_tuple(t.moduleId, t.planned, t.copied, t.replaced, t.updated, t.unchanged,
                                         t.conflicts, t.pruned, t.failed, t.notTried, t.result,
                                         text_or_none(t.message)));
    return py::make_tuple(rc, text_or_none(message), userList, targetList);
}

// ------------------------------------------------------- backup and restore

// What a backup or a restore tells as it goes: the operator's lines and its
// object (as kelvor --json prints it); each user done to the Python callable.
class WorkCollector : public tools::WorkOutput {
public:
    WorkCollector(Connection& c, py::object progress) : c_(c), progress_(std::move(progress)) {}
    bool objects() const override { return true; }
    void text(const std::string& line) override { lines.push_back(line); }
    void print(const json_output::Object& o) override { object = json_output::line_of(o); }
    bool user_done(uint64_t done, uint64_t total) override {
        return tell_progress(c_, progress_, done, total);
    }
    std::vector<std::string> lines;
    std::string object;

private:
    Connection& c_;
    py::object progress_;
};

// (rc, the work's object as its JSON line, the lines for the operator) of a
// backup or a restore of the module addressed (`moduleId` names it in the
// object when it is one of a shared line's).
py::tuple work_call(Connection& c, bool restore, const std::string& directory,
                    std::optional<uint16_t> moduleId, py::object progress) {
    check_progress(progress);
    // The system's calls would take the name only up to its first NUL: another directory.
    if (directory.empty() || directory.find('\0') != std::string::npos)
        throw py::value_error("the backup's directory is a name without NUL characters");
    WorkCollector collector(c, std::move(progress));
    tools::Work work;
    work.workDirectory = directory;
    work.output = &collector;
    if (moduleId) {
        work.moduleIds = {*moduleId};
        work.moduleId = *moduleId;
    }
    const int rc =
        run_stoppable(c, [&] { return restore ? tools::restore_module(work) : tools::backup_module(work); });
    py::list lines;
    for (const std::string& line : collector.lines) lines.append(text_of(line));
    return py::make_tuple(rc, py::bytes(collector.object), lines);
}

} // namespace

PYBIND11_MODULE(_kelvor, m) {
    m.doc() = "The kelvor library's calls; use the kelvor package, not this module.";
    process().mainThread = PyThread_get_thread_ident();
    {
        Sigint& s = sigint_state();
        s.getsignal = py::module_::import("_signal").attr("getsignal");
        s.number = py::int_(SIGINT);
        s.pythonSide = s.getsignal(s.number);
        install_sigint();
    }
    // At the interpreter's exit the ports are given back and no Python object
    // is left for the static destructors, which run without the interpreter.
    py::module_::import("atexit").attr("register")(py::cpp_function(close_at_exit));
    m.attr("__version__") = version();
    m.attr("CARD_ENROLL_WIEGAND") = CARD_ENROLL_WIEGAND;
    // The trace types, the library's bits.
    m.attr("TRACE_ERROR") = TRACE_ERROR;
    m.attr("TRACE_CALL") = TRACE_CALL;
    m.attr("TRACE_COMM") = TRACE_COMM;
    m.attr("TRACE_DATA") = TRACE_DATA;
    m.attr("TRACE_USER") = TRACE_USER;
    m.attr("TRACE_ALL") = TRACE_ALL;
    m.attr("RES_FRONT_REFUSED") = RES_FRONT_REFUSED;
    m.attr("SERVICE_FILES_BYTES_MAX") = backup::SERVICE_FILES_BYTES_MAX;
    m.attr("READ_TIMEOUT_LEAST_MS") = READ_TIMEOUT_LEAST_MS;
    m.attr("READ_TIMEOUT_MOST_MS") = READ_TIMEOUT_MOST_MS;
    m.attr("IMAGE_PIXELS_MAX") = IMAGE_PIXELS_MAX;
    m.attr("GPIO_RECORD_SIZE") = GPIO_RECORD_SIZE;
    m.attr("LOG_RECORD_SIZE") = LOG_RECORD_SIZE;
    m.attr("USER_ID_COUNT_MAX") = USER_ID_COUNT_MAX;
    m.attr("MAPPING_WIEGAND") = MAPPING_WIEGAND;
    m.attr("MAPPING_CARD") = MAPPING_CARD;
    {
        py::list rates;
        for (const packet::BaudRate& b : packet::BAUD_RATES) rates.append(b.rate);
        m.attr("BAUD_RATES") = py::tuple(rates);
    }

    // ---- results, keywords, trace
    m.def("result_table", [] {
        py::list out;
        for (const ResultInfo& r : result_table())
            out.append(py::make_tuple(r.code, r.name, r.text, static_cast<int>(r.outcome)));
        return out;
    });
    m.def("keywords", [](int category) {
        py::list out;
        // Codes of the vocabulary are bytes; a code without a row has the name
        // "Unknown", which leads back to no code.
        for (int code = 0; code <= 0xFF; ++code) {
            const char* name = keyword_name(category, code);
            if (name && keyword_code(category, name) == code) out.append(py::make_tuple(code, name));
        }
        return out;
    });
    // (message or None, values as a dict, module text lines) of this thread's latest call.
    m.def("outcome", [] {
        const Outcome& o = t_outcome;
        // The module's bytes as they came: what is no UTF-8 becomes U+FFFD.
        py::list text;
        for (const std::string& line : o.moduleText) text.append(text_of(line));
        return py::make_tuple(o.hasMessage ? py::object(text_of(o.message)) : py::object(py::none()),
                              python_of(o.values), text);
    });
    // The process's trace: every connection without a trace of its own takes
    // it at its next call.
    m.def("trace_enable", [](uint32_t bits) {
        Process& p = process();
        p.traceMask |= bits & TRACE_ALL;
        ++p.traceGeneration;
    });
    m.def("trace_disable", [](uint32_t bits) {
        Process& p = process();
        p.traceMask &= ~bits;
        ++p.traceGeneration;
    });
    m.def("trace_mask", [] { return process().traceMask; });
    m.def("trace_lines_to", [](py::object handler) {
        Process& p = process();
        p.traceLines = handler.is_none() ? py::object() : handler;
        ++p.traceGeneration;
    });
    // The commands' descriptions, one dict each: what the package's checks and limits come from.
    m.def("commands", [] {
        const auto fields = [](auto&& self, std::span<const packet::ValueField> of) -> py::list {
            py::list out;
            for (const packet::ValueField& f : of)
                out.append(py::make_tuple(f.name, TYPES[static_cast<size_t>(f.type)], self(self, f.fields)));
            return out;
        };
        py::list out;
        for (const packet::Command& c : packet::COMMANDS) {
            py::dict options;
            for (const packet::OptionUse& u : c.uses) {
                if (!u.option) break;
                options[u.option] = py::make_tuple(u.meaning, u.least, u.most);
            }
            py::dict row;
            row["keyword"] = c.keyword;
            row["code"] = c.code;
            row["family"] = FAMILIES[static_cast<size_t>(c.family)];
            row["summary"] = c.summary;
            row["function"] = c.function ? py::object(py::str(c.function)) : py::object(py::none());
            row["method"] = c.method ? py::object(py::str(c.method)) : py::object(py::none());
            row["options"] = options;
            row["input"] = ROLES[static_cast<size_t>(c.files.input)];
            row["input_bytes"] = c.files.inputBytes;
            row["input_optional"] = c.files.inputOptional;
            row["input_most"] = c.files.inputMost;
            row["output"] = ROLES[static_cast<size_t>(c.files.output)];
            row["announced_most"] = c.announced.most;
            row["announced_unit"] = c.announced.unit;
            row["values"] = c.values ? fields(fields, c.values->fields) : py::list();
            // The parameters made of several values: each field's name, shift and width.
            py::dict layouts;
            for (const packet::OptionUse& u : c.uses) {
                if (!u.option) break;
                if (u.fields.empty()) continue;
                py::list layout;
                for (const packet::BitField& f : u.fields)
                    layout.append(py::make_tuple(f.name, f.shift, f.bits));
                layouts[u.option] = layout;
            }
            row["fields"] = layouts;
            row["scans_finger"] = c.has(packet::trait::SCANS_FINGER);
            row["takes_directory"] = c.has(packet::trait::TAKES_DIRECTORY);
            out.append(row);
        }
        return out;
    });
    m.def("parameters", [] {
        py::list out;
        for (const packet::Parameter& p : packet::PARAMETERS) out.append(py::make_tuple(p.number, p.name));
        return out;
    });

    // ---- images as BMP files
    m.def("bmp_load", bmp_load);
    m.def("bmp_bytes", bmp_bytes);

    // ---- connections: one a Module
    py::class_<Connection, std::shared_ptr<Connection>> connection(m, "Connection");
    connection.def(py::init(&make_connection));
    connection.def("open", open_module);
    connection.def("close", close_module);
    connection.def_property_readonly("is_open", [](const Connection& c) { return c.open; });
    // From any thread: the read in progress on this line ends as its time-out would.
    connection.def("interrupt", [](Connection& c) { c.line.interrupt(); });
    connection.def("link", [](Connection& c) {
        LineLock held(c);
        const LinkState l = c.line.link_state();
        return py::make_tuple(l.hexText, l.network, l.moduleId, l.broadcast);
    });
    // The connection's own trace: `bits` of it to `handler` (None: standard
    // error); bits None gives it back to the process's.
    connection.def("trace", [](Connection& c, std::optional<uint32_t> bits, py::object handler) {
        LineLock held(c);
        if (!bits) {
            c.ownTrace = false;
            c.traceLines = py::object();
            c.traceGeneration = 0;
            return;
        }
        c.ownTrace = true;
        c.traceLines = handler.is_none() ? py::object() : handler;
        set_line_trace(c, *bits & TRACE_ALL, c.traceLines);
    });
    // The module of a shared line that the calls address from now on.
    connection.def("select", [](Connection& c, uint16_t moduleId) {
        return run_stoppable(c, [&] { return module_select(moduleId); });
    });
    connection.def("copy_users", copy_users_call);
    connection.def("backup", [](Connection& c, const std::string& directory, std::optional<uint16_t> moduleId,
                                py::object progress) {
        return work_call(c, false, directory, moduleId, std::move(progress));
    });
    connection.def("restore", [](Connection& c, const std::string& directory,
                                 std::optional<uint16_t> moduleId, py::object progress) {
        return work_call(c, true, directory, moduleId, std::move(progress));
    });
    connection.def("raw", [](Connection& c, uint8_t code, uint32_t p1, uint32_t p2, uint8_t flag,
                             const py::buffer& data, bool broadcast) {
        const Bytes d = bytes_of(data);
        AnswerPacket answer{};
        const int rc = run_stoppable(c, [&] {
            if (const int r = data_block_check(d.size()); r < 0) return r;
            int r = broadcast ? send_broadcast_command(code, p1, p2, flag) : send_command(code, p1, p2, flag);
            if (r < 0) return r;
            if (!d.empty()) {
                if (r = send_data(d.data(), static_cast<uint32_t>(d.size())); r < 0) return r;
            }
            if (broadcast) return 0;
            r = receive_answer_any(answer);
            return r < 0 ? r : 0;
        });
        if (rc != 0 || broadcast) return py::make_tuple(rc, py::none());
        return py::make_tuple(
            rc, py::make_tuple(answer_field(FIELD_COMMAND, answer), answer_field(FIELD_MODULE_ID, answer),
                               answer_field(FIELD_PARAM1, answer), answer_field(FIELD_PARAM2, answer),
                               answer_field(FIELD_FLAG, answer)));
    });
    g_connectionType = reinterpret_cast<PyTypeObject*>(connection.ptr());
    // Whether any module of the process is open.
    m.def("is_open", [] { return process().openCount.load() > 0; });
    // Every line of the process: the reads in progress end.
    m.def("interrupt", [] {
        for (const auto& c : every_connection()) c->line.interrupt();
    });

    // ---- commands: any command of the library, its outcome as Python values
    {
        static PyMethodDef run{"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_entry)),
                               METH_FASTCALL | METH_KEYWORDS,
                               "run(command, module_id=None, p1=0, p2=0, flag=0, input=None, chunk_size=0, "
                               "progress=None, opening=None): one command on the connection `opening`, its "
                               "outcome"};
        PyObject* function = PyCFunction_NewEx(&run, nullptr, m.ptr());
        if (function == nullptr) throw py::error_already_set();
        m.add_object("run", py::reinterpret_steal<py::object>(function));
    }
    // The class of the outcomes run() returns: a subclass of tuple with its nine fields.
    m.def("outcome_type", [](const py::type& type) {
        if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()), &PyTuple_Type))
            throw py::type_error("the outcomes' class is a subclass of tuple");
        process().outcomeType = type;
    });

    // ---- the host's own coding of what commands carry
    m.def("image_record", [](uint32_t width, uint32_t height, const py::buffer& pixels) {
        const auto rec = image_record_of(width, height, bytes_of(pixels));
        return py::bytes(reinterpret_cast<const char*>(rec->data()), rec->size());
    });
    m.def("image_of_record", image_of_record);
    m.def("bmp_decode", bmp_decode);
    m.def("card_header", [](const py::buffer& data) -> py::object {
        const Bytes d = bytes_of(data);
        CardHeader h;
        if (!card_header_of(d, &h)) return py::none();
        return py::make_tuple(h.csn, h.wiegand.word1, h.wiegand.word2, h.version, h.templates,
                              py::make_tuple(h.slot[0].size, h.slot[0].duress),
                              py::make_tuple(h.slot[1].size, h.slot[1].duress));
    });
    m.def("card_layout_bytes",
          [](uint16_t size, uint8_t cis, uint8_t s1, uint8_t b1, uint8_t s2, uint8_t b2) {
              const auto b = card_layout_bytes(CardLayout{size, cis, s1, b1, s2, b2});
              return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
          });
    m.def("clock_words", [](int64_t seconds) -> py::object {
        uint32_t date = 0, time = 0;
        if (!clock_words(seconds, &date, &time)) return py::none();
        return py::make_tuple(date, time);
    });
}
