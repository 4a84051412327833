// _kelvor: the library's command functions for Python, one call each, with
// Python values in and out. The library's line and its outcome record belong
// to the whole process, so one call runs at a time: every call holds the line
// lock, runs with the interpreter's lock released, keeps its outcome (message,
// decoded values, module text) for the thread that made it, hands the trace to
// a Python handler when one is set, tells a progress callable how a transfer
// goes, and turns Ctrl-C during a wait into an ended read and a
// KeyboardInterrupt. A call made while the same thread's call runs (from a
// progress callable or a trace handler) is refused. Errors are raised by the
// Python layer (kelvor/__init__.py) from the result codes returned here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/stat.h>

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
#include "image/Bmp.h"
#include "ModuleSDK.h"
#include "connection/LineSettings.h"
#include "connection/PortInfo.h"
#include "UserCopy.h"
#include "port/System.h"
#include "trace/Outcome.h"

namespace py = pybind11;
using namespace kelvor;

namespace {

using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------------ process state

// The trace lines gathered while a call runs, handed to Python when it ends
// (or at the next progress report): the library's thread never calls Python.
constexpr size_t TRACE_BACKLOG_MAX = 16u << 20;
struct TraceBacklog {
    std::mutex lock;
    std::vector<std::string> lines;
    size_t bytes = 0;
    size_t dropped = 0;
};
TraceBacklog& backlog() {
    static TraceBacklog b;
    return b;
}

struct Session {
    bool open = false;
    py::object progress;   // callable(done, total), or None or null
    py::object traceLines; // callable(line), or None or null
    std::optional<py::error_already_set> failure;
    unsigned long mainThread = 0;
};
Session& session() {
    static Session s;
    return s;
}

// One call of the library at a time, in the whole process. The lock is
// waited for with the interpreter's lock released, so that the call that holds
// it can still report progress; the thread that holds it is known, so that a
// call from inside its own call is refused instead of waiting for ever.
struct Line {
    std::timed_mutex lock;
    std::atomic<unsigned long> owner{0};
};
Line& line() {
    static Line l;
    return l;
}

class LineLock {
public:
    LineLock() {
        Line& l = line();
        const unsigned long me = PyThread_get_thread_ident();
        if (l.owner.load() == me)
            throw std::runtime_error(
                "a kelvor call is running on this thread already: the module cannot be used "
                "from inside its own call (a progress callable or a trace handler); "
                "call it once the running call has returned");
        {
            py::gil_scoped_release unlocked;
            l.lock.lock();
        }
        l.owner.store(me);
    }
    ~LineLock() {
        line().owner.store(0);
        line().lock.unlock();
    }
    LineLock(const LineLock&) = delete;
    LineLock& operator=(const LineLock&) = delete;
};

// What the latest call of a thread found, kept for that thread alone.
thread_local Outcome t_outcome;

// What a run of a command found goes to the outcome of the call that runs it.
void absorb(Outcome& from) {
    Outcome* into = outcome::current();
    if (!into) return;
    if (from.hasMessage) {
        into->message = std::move(from.message);
        into->hasMessage = true;
    }
    for (size_t i = 0; i < from.values.names.size(); ++i)
        into->values.member(from.values.names[i]) = std::move(from.values.items[i]);
    outcome::move_text(from, *into);
}

bool given(const py::object& o) {
    return o && !o.is_none();
}

// Text of the module or the line as Python text: what is no UTF-8 becomes U+FFFD.
py::str text_of(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
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
        for (size_t i = 0; i < v.items.size(); ++i) out[py::str(v.names[i])] = python_of(v.items[i]);
        return out;
    }
    }
    return py::none();
}

std::atomic<bool> g_sigint{false};

extern "C" void on_sigint(int) {
    g_sigint.store(true);
    serial_interrupt();
}

void keep_trace_line(const char* text, size_t n, void*) {
    TraceBacklog& b = backlog();
    std::lock_guard<std::mutex> guard(b.lock);
    if (b.bytes + n > TRACE_BACKLOG_MAX) {
        ++b.dropped;
        return;
    }
    b.lines.emplace_back(text, n);
    b.bytes += n;
}

void drop_trace_line(const char*, size_t, void*) {}

// Hands the gathered lines to the Python handler; the lock is held.
void deliver_trace() {
    std::vector<std::string> lines;
    size_t dropped = 0;
    {
        TraceBacklog& b = backlog();
        std::lock_guard<std::mutex> guard(b.lock);
        lines.swap(b.lines);
        dropped = b.dropped;
        b.bytes = 0;
        b.dropped = 0;
    }
    Session& s = session();
    if (!given(s.traceLines)) return;
    for (const std::string& line : lines) s.traceLines(text_of(line));
    if (dropped > 0)
        s.traceLines(py::str("[ERR] " + std::to_string(dropped) +
                             " trace lines were dropped: the backlog was full\n"));
}

bool observe(uint64_t done, uint64_t total, void*) {
    if (g_sigint.load()) return false;
    Session& s = session();
    if (!given(s.progress)) return true;
    py::gil_scoped_acquire gil;
    try {
        deliver_trace();
        s.progress(done, total);
    } catch (py::error_already_set& e) {
        s.failure.emplace(std::move(e));
        return false;
    }
    return true;
}

// Ctrl-C during a call: the read in progress ends, the call returns, and the
// interrupt is raised as KeyboardInterrupt once the lock is back. Only the
// main thread gets signals, so only there the handler is put in place.
class SigintScope {
public:
    SigintScope() {
        if (PyThread_get_thread_ident() != session().mainThread) return;
        struct sigaction mine {};
        mine.sa_handler = on_sigint;
        sigemptyset(&mine.sa_mask);
        installed_ = sigaction(SIGINT, &mine, &old_) == 0;
    }
    ~SigintScope() {
        if (installed_) sigaction(SIGINT, &old_, nullptr);
    }
    SigintScope(const SigintScope&) = delete;
    SigintScope& operator=(const SigintScope&) = delete;

private:
    struct sigaction old_ {};
    bool installed_ = false;
};

void require_open() {
    if (!session().open) throw py::value_error("no module is open");
}

// Runs one library call with the line lock held: interpreter's lock released,
// outcome recorded, progress observed. Nothing is sent unless the progress
// argument can be called.
template <class F> int run_locked(F&& f, py::object progress = py::none()) {
    if (given(progress) && !PyCallable_Check(progress.ptr()))
        throw py::type_error(std::string("progress is a callable(done, total), not ") +
                             Py_TYPE(progress.ptr())->tp_name);
    Session& s = session();
    s.progress = std::move(progress);
    g_sigint.store(false);
    int rc = 0;
    Outcome recorded;
    {
        SigintScope sigint;
        py::gil_scoped_release unlocked;
        const outcome::Scope scope(recorded);
        rc = f();
        trace_flush();
    }
    t_outcome = std::move(recorded);
    s.progress = py::object();
    if (g_sigint.exchange(false))
        serial_clear_interrupt();
    else if (serial_interrupted())
        serial_clear_interrupt();
    // The first failure of a Python callable comes out of the call: the
    // progress callable's, else the trace handler's.
    std::optional<py::error_already_set> failure = std::move(s.failure);
    s.failure.reset();
    try {
        deliver_trace();
    } catch (py::error_already_set& e) {
        if (!failure) failure.emplace(std::move(e));
    }
    if (failure) throw std::move(*failure);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    return rc;
}

// One call on the open module.
template <class F> int run(F&& f, py::object progress = py::none()) {
    LineLock held;
    require_open();
    return run_locked(std::forward<F>(f), std::move(progress));
}

// Raised when the operator pressed Ctrl-C while the call was waiting.
void raise_if_interrupted(bool interrupted) {
    if (interrupted) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
}

// A call that the operator can stop: the interrupt is raised after it.
template <class F> int run_stoppable(F&& f, py::object progress = py::none()) {
    bool interrupted = false;
    const int rc = run(
        [&] {
            const int r = f();
            interrupted = g_sigint.load();
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

// A command the library runs as a whole (run_command): its result, and what
// it received for an output file, within the limits of its description.
struct Ran {
    int rc = 0;
    Bytes output;
};

Ran run_one(uint8_t code, uint32_t param1, uint32_t param2, uint8_t flag, const Bytes* input = nullptr,
            py::object progress = py::none()) {
    require_open();
    Ran ran;
    ran.rc = run_stoppable(
        [&] {
            CommandRequest request;
            request.code = code;
            request.param1 = param1;
            request.param2 = param2;
            request.flag = flag;
            if (input) request.input = std::span<const uint8_t>(*input);
            Outcome o = run_command(request);
            absorb(o);
            if (o.outputTaken) ran.output = std::move(o.output);
            return o.result;
        },
        std::move(progress));
    return ran;
}

py::bytes bytes_out(const Ran& ran) {
    return py::bytes(reinterpret_cast<const char*>(ran.output.data()), ran.output.size());
}

// An integer value of this thread's latest call, 0 when it has none.
int64_t last_value(const char* name) {
    const Value* v = t_outcome.values.find(name);
    return v && v->kind == Value::Kind::Integer ? v->integer : 0;
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

// (rc, width, height, format, pixels) of an image the module sends.
py::tuple take_image(bool scan, uint32_t chunk, py::object progress) {
    namespace cmd = packet::cmd;
    const uint8_t code = chunk == 0 ? (scan ? cmd::SI : cmd::RI) : (scan ? cmd::SIX : cmd::RIX);
    const Ran ran = run_one(code, 0, chunk, 0, nullptr, std::move(progress));
    if (ran.rc != 0 || ran.output.size() < IMAGE_RECORD_SIZE)
        return py::make_tuple(ran.rc, 0, 0, 0, py::bytes());
    const uint8_t* rec = ran.output.data();
    const uint32_t width = packet::get32(rec + packet::record::IMAGE_WIDTH_AT);
    const uint32_t height = packet::get32(rec + packet::record::IMAGE_HEIGHT_AT);
    const uint32_t format = packet::get32(rec + packet::record::IMAGE_FORMAT_AT);
    const uint64_t n = static_cast<uint64_t>(width) * height;
    if (width == 0 || height == 0 || n > IMAGE_PIXELS_MAX)
        return py::make_tuple(RES_DATA_ERROR, width, height, format, py::bytes());
    return py::make_tuple(0, width, height, format,
                          py::bytes(reinterpret_cast<const char*>(rec + IMAGE_HEADER_SIZE), n));
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

std::string diagnosis(const std::string& port, int baud, int hexText, int network, int timeout, int rc) {
    LineSettings com;
    com.portName = port;
    com.baudCode = baud;
    com.hexText = hexText;
    com.networkMode = network;
    com.readTimeout = timeout;
    trace_to(drop_trace_line, nullptr);
    std::string why = print_port_diagnosis(com, rc);
    trace_to(given(session().traceLines) ? keep_trace_line : nullptr, nullptr);
    return why;
}

// The opening holds the line lock from the check that no module is open to
// the end of its failure path: a second opening waits and is then refused,
// and only the opening that failed closes the port it opened.
py::tuple open_module(const std::string& port, int baud, int hexText, int network, int moduleId, int timeout,
                      bool broadcast) {
    LineLock held;
    Session& s = session();
    if (s.open)
        throw std::runtime_error("a kelvor.Module is open already: the library has one link per process "
                                 "(close it first)");
    bool interrupted = false;
    const int rc = run_locked([&] {
        const int r = broadcast ? module_open_broadcast(port.c_str(), baud, hexText, moduleId, timeout)
                                : module_open(port.c_str(), baud, hexText, network, moduleId, timeout);
        interrupted = g_sigint.load();
        return r;
    });
    if (rc == 0 && !interrupted) {
        s.open = true;
        return py::make_tuple(0, 0, std::string());
    }
    const int error = serial_last_error();
    module_close();
    raise_if_interrupted(interrupted);
    return py::make_tuple(rc, error, diagnosis(port, baud, hexText, network, timeout, rc));
}

// Gives the port back at the interpreter's exit. A call still running on
// another thread (a daemon thread's wait) is ended first; one that does not
// let the line go within a few seconds keeps it, and the system closes the
// port with the process.
void close_at_exit() {
    serial_interrupt();
    Line& l = line();
    bool held = false;
    {
        py::gil_scoped_release unlocked;
        held = l.lock.try_lock_for(std::chrono::seconds(3));
    }
    Session& s = session();
    if (held) {
        if (s.open) module_close();
        s.open = false;
        l.lock.unlock();
    }
    trace_to(nullptr, nullptr);
    transfer_observer(nullptr, nullptr);
    s.progress = py::object();
    s.traceLines = py::object();
    s.failure.reset();
}

// One 32-bit value out.
template <class F> py::tuple one_out(F&& f) {
    require_open();
    uint32_t v = 0;
    const int rc = run_stoppable([&] { return f(&v); });
    return py::make_tuple(rc, v);
}
template <class F> py::tuple two_out(F&& f) {
    require_open();
    uint32_t a = 0, b = 0;
    const int rc = run_stoppable([&] { return f(&a, &b); });
    return py::make_tuple(rc, a, b);
}
template <class F> int none_out(F&& f, py::object progress = py::none()) {
    require_open();
    return run_stoppable(std::forward<F>(f), std::move(progress));
}

std::optional<std::array<uint8_t, 8>> wiegand_string_of(const std::optional<py::buffer>& b) {
    if (!b) return std::nullopt;
    const Bytes v = bytes_of(*b);
    if (v.size() != packet::record::WIEGAND_STRING_SIZE) throw py::value_error("a Wiegand string is 8 bytes");
    std::array<uint8_t, 8> out{};
    std::memcpy(out.data(), v.data(), 8);
    return out;
}

// The names of the files' roles and of the values' types, in the order of their enumerations.
constexpr const char* ROLES[] = {"none", "data", "image", "templates", "firmware", "key", "password"};
constexpr const char* TYPES[] = {"unsigned", "signed",        "text",      "name",    "hex",   "time",
                                 "boolean",  "unsigned_list", "name_list", "records", "object"};

std::string hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(v));
    return text;
}

// Refuses an input beyond the most that its command's description lets the host send.
void check_input_most(const char* keyword, size_t n, const char* what) {
    const uint32_t most = packet::command_named(keyword)->files.inputMost;
    if (most != 0 && n > most)
        throw py::value_error(std::string(what) + " of more than " + hex(most) + " bytes");
}

std::array<uint8_t, MASTER_PASSWORD_SIZE> password_of(const py::buffer& b) {
    const Bytes v = bytes_of(b);
    if (v.size() != MASTER_PASSWORD_SIZE) throw py::value_error("a master password is 16 bytes");
    std::array<uint8_t, MASTER_PASSWORD_SIZE> out{};
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}

// ------------------------------------------------------------- copy of users

// Hands every user's and target's outcome back and tells Python the progress
// (pairs of user and target done), with the lock taken for it.
class CopyCollector : public tools::CopyObserver {
public:
    explicit CopyCollector(py::object progress) : progress_(std::move(progress)) {}
    void user_done(const tools::UserOutcome& u) override { users.push_back(u); }
    void target_done(const tools::TargetOutcome& t) override { targets.push_back(t); }
    bool progress(uint64_t done, uint64_t total) override {
        if (g_sigint.load()) return false;
        if (!given(progress_)) return true;
        py::gil_scoped_acquire gil;
        try {
            deliver_trace();
            progress_(done, total);
        } catch (py::error_already_set& e) {
            session().failure.emplace(std::move(e));
            return false;
        }
        return true;
    }
    std::vector<tools::UserOutcome> users;
    std::vector<tools::TargetOutcome> targets;

private:
    py::object progress_;
};

// (rc, message, users, targets): rc and message tell why the source could not
// be read (0 and None when it was); users are (module_id, user_id, status,
// dry_run, templates, found_on_module, admin_level, auth_policy, result,
// reason, left_in_part), targets (module_id, dry_run, copied, replaced,
// updated, unchanged, conflicts, pruned, failed, not_tried, result, message).
py::tuple copy_users_call(uint16_t fromModule, const std::string& fromDirectory,
                          const std::vector<uint16_t>& targets,
                          const std::vector<std::pair<uint32_t, uint32_t>>& users, bool replace, bool prune,
                          bool dryRun, py::object progress) {
    require_open();
    tools::CopyOptions options;
    for (const auto& [first, last] : users) options.users.push_back({first, last});
    options.replace = replace;
    options.prune = prune;
    options.dryRun = dryRun;
    CopyCollector collector(std::move(progress));
    std::string message;
    const int rc = run_stoppable([&] {
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
        userList.append(py::make_tuple(
            u.moduleId, u.userId, tools::status_name(u.status, u.planned), u.planned, u.templates,
            u.foundOnModule, u.adminLevel, u.authPolicy, u.result,
            u.reason.empty() ? py::object(py::none()) : py::object(text_of(u.reason)), u.leftInPart));
    for (const tools::TargetOutcome& t : collector.targets)
        targetList.append(
            py::make_tuple(t.moduleId, t.planned, t.copied, t.replaced, t.updated, t.unchanged, t.conflicts,
                           t.pruned, t.failed, t.notTried, t.result,
                           t.message.empty() ? py::object(py::none()) : py::object(text_of(t.message))));
    return py::make_tuple(rc, message.empty() ? py::object(py::none()) : py::object(text_of(message)),
                          userList, targetList);
}

} // namespace

PYBIND11_MODULE(_kelvor, m) {
    m.doc() = "The kelvor library's calls; use the kelvor package, not this module.";
    session().mainThread = PyThread_get_thread_ident();
    transfer_observer(observe, nullptr);
    // At the interpreter's exit the port is given back and no Python object is
    // left for the static destructors, which run without the interpreter.
    py::module_::import("atexit").attr("register")(py::cpp_function(close_at_exit));
    m.attr("__version__") = version();
    m.attr("CARD_ENROLL_WIEGAND") = CARD_ENROLL_WIEGAND;
    m.attr("READ_TIMEOUT_LEAST_MS") = READ_TIMEOUT_LEAST_MS;
    m.attr("READ_TIMEOUT_MOST_MS") = READ_TIMEOUT_MOST_MS;
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
    // The trace's settings change between calls, never during one.
    m.def("trace_enable", [](uint32_t bits) {
        LineLock held;
        trace_enable(bits);
    });
    m.def("trace_disable", [](uint32_t bits) {
        LineLock held;
        trace_disable(bits);
    });
    m.def("trace_mask", [] { return trace_mask(); });
    m.def("trace_lines_to", [](py::object handler) {
        LineLock held;
        Session& s = session();
        s.traceLines = handler;
        trace_to(handler.is_none() ? nullptr : keep_trace_line, nullptr);
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
            row["summary"] = c.summary;
            row["options"] = options;
            row["input"] = ROLES[static_cast<size_t>(c.files.input)];
            row["input_bytes"] = c.files.inputBytes;
            row["input_optional"] = c.files.inputOptional;
            row["input_most"] = c.files.inputMost;
            row["output"] = ROLES[static_cast<size_t>(c.files.output)];
            row["announced_most"] = c.announced.most;
            row["announced_unit"] = c.announced.unit;
            row["values"] = c.values ? fields(fields, c.values->fields) : py::list();
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

    // ---- connection
    m.def("open", open_module);
    m.def("close", [] {
        LineLock held;
        Session& s = session();
        const int rc = s.open ? module_close() : 0;
        s.open = false;
        return rc;
    });
    m.def("is_open", [] { return session().open; });
    m.def("interrupt", [] { serial_interrupt(); });
    m.def("link", [] {
        LineLock held;
        const LinkState& l = link_state();
        return py::make_tuple(l.hexText, l.network, l.moduleId, l.broadcast);
    });

    // ---- system
    m.def("status", [] { return one_out([](uint32_t* v) { return system_status_check(v); }); });
    m.def("parameter_read",
          [](uint8_t n) { return one_out([n](uint32_t* v) { return system_parameter_read(n, v); }); });
    m.def("parameter_write",
          [](uint8_t n, uint32_t v) { return none_out([=] { return system_parameter_write(n, v); }); });
    m.def("parameter_save", [] { return none_out([] { return system_parameter_save(); }); });
    m.def("calibrate", [] { return none_out([] { return calibrate_sensor(); }); });

    // ---- images and encryption
    m.def("take_image", take_image);
    m.def("write_encryption_key", [](const py::buffer& key) {
        const Bytes k = bytes_of(key);
        if (k.size() != packet::record::ENCRYPTION_KEY_SIZE)
            throw py::value_error("an encryption key is 32 bytes");
        return none_out([&] { return write_encryption_key(k.data()); });
    });
    m.def("scan_encrypted_template", [](uint32_t challenge) {
        const Ran ran = run_one(packet::cmd::KS, challenge, 0, 0);
        return py::make_tuple(ran.rc, bytes_out(ran));
    });

    // ---- enrollment
    m.def("enroll_by_scan", [](uint32_t user, uint8_t option, bool admin) {
        return one_out([=](uint32_t* id) {
            return admin ? enroll_by_scan_with_admin(user, option, id) : enroll_by_scan(user, option, id);
        });
    });
    m.def("enroll_by_image", [](uint32_t user, uint32_t width, uint32_t height, const py::buffer& pixels,
                                uint8_t option, uint32_t chunk, py::object progress) {
        require_open();
        auto rec = image_record_of(width, height, bytes_of(pixels));
        uint32_t id = 0;
        const uint32_t size = width * height;
        const int rc = run_stoppable(
            [&] {
                return chunk == 0 ? enroll_by_image(user, rec->data(), size, option, &id)
                                  : enroll_by_image_chunked(user, rec->data(), size, option, chunk, &id);
            },
            std::move(progress));
        return py::make_tuple(rc, id);
    });
    m.def("enroll_by_template", [](uint32_t user, const py::buffer& data, uint8_t option) {
        const Bytes d = bytes_of(data);
        return one_out([&](uint32_t* id) {
            if (const int r = data_block_check(d.size()); r < 0) return r;
            return enroll_by_template(user, d.data(), static_cast<uint32_t>(d.size()), option, id);
        });
    });
    m.def("enroll_by_templates",
          [](uint32_t user, const py::buffer& data, uint16_t count, uint16_t size, uint8_t option) {
              const Bytes d = bytes_of(data);
              if (d.size() != static_cast<size_t>(count) * size)
                  throw py::value_error("the templates are not count x size bytes");
              return one_out([&](uint32_t* id) {
                  return enroll_by_templates_chunked(user, d.data(), count, size, option, id);
              });
          });
    m.def("enroll_by_wiegand", [](uint8_t option, bool admin) {
        return one_out([=](uint32_t* id) {
            return admin ? enroll_by_wiegand_with_admin(option, id) : enroll_by_wiegand(option, id);
        });
    });
    m.def("enroll_smartcard", [](uint32_t user, uint32_t fingers, uint8_t option,
                                 std::optional<py::buffer> wiegand) {
        const auto w = wiegand_string_of(wiegand);
        return none_out([&] { return enroll_smartcard(user, fingers, option, w ? w->data() : nullptr); });
    });
    m.def("enroll_templates_to_smartcard", [](uint32_t user, uint16_t count, uint16_t size, uint8_t option,
                                              const py::buffer& templates,
                                              std::optional<py::buffer> wiegand) {
        const Bytes t = bytes_of(templates);
        const auto w = wiegand_string_of(wiegand);
        if (t.size() != static_cast<size_t>(count) * size)
            throw py::value_error("the templates are not count x size bytes");
        return none_out([&] {
            return enroll_templates_to_smartcard(user, count, size, option, t.empty() ? nullptr : t.data(),
                                                 w ? w->data() : nullptr);
        });
    });

    // ---- verification and identification
    m.def("verify_by_scan",
          [](uint32_t user) { return one_out([=](uint32_t* v) { return verify_by_scan(user, v); }); });
    m.def("verify_by_image", [](uint32_t user, uint32_t width, uint32_t height, const py::buffer& pixels,
                                uint32_t chunk, py::object progress) {
        require_open();
        auto rec = image_record_of(width, height, bytes_of(pixels));
        uint32_t v = 0;
        const int rc = run_stoppable(
            [&] {
                return chunk == 0 ? verify_by_image(user, rec->data(), width * height, &v)
                                  : verify_by_image_chunked(user, rec->data(), width * height, chunk, &v);
            },
            std::move(progress));
        return py::make_tuple(rc, v);
    });
    m.def("verify_by_template", [](uint32_t user, const py::buffer& data) {
        const Bytes d = bytes_of(data);
        return one_out([&](uint32_t* v) {
            if (const int r = data_block_check(d.size()); r < 0) return r;
            return verify_by_template(user, d.data(), static_cast<uint32_t>(d.size()), v);
        });
    });
    m.def("verify_by_host_templates", [](const py::buffer& data, uint32_t count, uint32_t size) {
        const Bytes d = bytes_of(data);
        constexpr const packet::OptionUse& bound = *packet::describe("VH").use("-p1");
        if (count < bound.least || count > bound.most || d.size() != static_cast<size_t>(count) * size)
            throw py::value_error("VH sends " + std::to_string(bound.least) + " to " +
                                  std::to_string(bound.most) + " templates of one size");
        return none_out([&] { return verify_by_host_templates(count, d.data(), size); });
    });
    m.def("verify_by_wiegand",
          [] { return two_out([](uint32_t* id, uint32_t* v) { return verify_by_wiegand(id, v); }); });
    m.def("verify_by_smartcard", [](uint8_t option) {
        return two_out([=](uint32_t* id, uint32_t* v) { return verify_by_smartcard(option, id, v); });
    });
    m.def("identify_by_scan", [](uint16_t start, uint16_t end) {
        return two_out([=](uint32_t* id, uint32_t* v) { return identify_by_scan(start, end, id, v); });
    });
    m.def("identify_by_image", [](uint16_t start, uint16_t end, uint32_t width, uint32_t height,
                                  const py::buffer& pixels, uint32_t chunk, py::object progress) {
        require_open();
        auto rec = image_record_of(width, height, bytes_of(pixels));
        uint32_t id = 0, v = 0;
        const int rc = run_stoppable(
            [&] {
                return chunk == 0 ? identify_by_image(start, end, rec->data(), width * height, &id, &v)
                                  : identify_by_image_chunked(start, end, rec->data(), width * height, chunk,
                                                              &id, &v);
            },
            std::move(progress));
        return py::make_tuple(rc, id, v);
    });
    m.def("identify_by_template", [](uint16_t start, uint16_t end, const py::buffer& data) {
        const Bytes d = bytes_of(data);
        return two_out([&](uint32_t* id, uint32_t* v) {
            if (const int r = data_block_check(d.size()); r < 0) return r;
            return identify_by_template(start, end, d.data(), static_cast<uint32_t>(d.size()), id, v);
        });
    });

    // ---- firmware, cancel, lock
    m.def("upgrade_firmware", [](const py::buffer& image, uint32_t chunk, py::object progress) {
        const Bytes d = bytes_of(image);
        return none_out(
            [&] {
                if (const int r = data_chunks_check(d.size(), chunk); r < 0) return r;
                return upgrade_firmware(d.data(), static_cast<uint32_t>(d.size()), chunk);
            },
            std::move(progress));
    });
    m.def("cancel", [] { return none_out([] { return cancel_command(); }); });
    m.def("lock", [] { return none_out([] { return lock_module(); }); });
    m.def("unlock", [](const py::buffer& password) {
        auto p = password_of(password);
        const int rc = none_out([&] { return unlock_module(p.data()); });
        port::secure_wipe(p.data(), p.size());
        return rc;
    });
    m.def("change_password", [](const py::buffer& current, const py::buffer& next) {
        auto a = password_of(current);
        auto b = password_of(next);
        const int rc = none_out([&] { return write_master_password(a.data(), b.data()); });
        port::secure_wipe(a.data(), a.size());
        port::secure_wipe(b.data(), b.size());
        return rc;
    });

    // ---- administrator levels and policies
    m.def("write_admin_level", [](uint32_t user, uint32_t level) {
        return none_out([=] { return write_admin_level(user, level); });
    });
    m.def("read_admin_level",
          [](uint32_t user) { return one_out([=](uint32_t* v) { return read_admin_level(user, v); }); });
    m.def("clear_admin_levels", [] { return none_out([] { return clear_admin_levels(); }); });
    m.def("write_auth_policy", [](uint32_t user, uint32_t policy, uint8_t flag) {
        return none_out([=] { return write_auth_policy(user, policy, flag); });
    });
    m.def("read_auth_policy",
          [](uint32_t user) { return one_out([=](uint32_t* v) { return read_auth_policy(user, v); }); });
    m.def("reset_auth_policies", [] { return none_out([] { return reset_auth_policies(); }); });
    m.def("users_by_policy", [](uint32_t policy) {
        const Ran ran = run_one(packet::cmd::UL, 0, policy, 0);
        return py::make_tuple(ran.rc, bytes_out(ran));
    });

    // ---- template database
    m.def("read_templates", [](uint32_t user) {
        const Ran ran = run_one(packet::cmd::RT, user, 0, 0);
        // The templates back to back, each of the size its answer announced.
        py::list out;
        size_t at = 0;
        if (const Value* sizes = t_outcome.values.find("template_bytes")) {
            for (const Value& size : sizes->items) {
                const auto n = static_cast<size_t>(size.integer);
                if (at + n > ran.output.size()) break;
                out.append(py::bytes(reinterpret_cast<const char*>(ran.output.data() + at), n));
                at += n;
            }
        }
        return py::make_tuple(ran.rc, out);
    });
    m.def("scan_template", [] {
        const Ran ran = run_one(packet::cmd::ST, 0, 0, 0);
        return py::make_tuple(ran.rc, bytes_out(ran));
    });
    m.def("delete_template", [](uint32_t user) { return none_out([=] { return delete_template(user); }); });
    m.def("delete_all", [](bool admin) {
        return none_out([=] { return admin ? delete_all_templates_with_admin() : delete_all_templates(); });
    });
    m.def("delete_provisional", [] { return none_out([] { return delete_provisional_templates(); }); });
    m.def("fix_provisional", [] { return none_out([] { return fix_provisional_templates(); }); });
    m.def("user_ids", [](uint32_t first, uint32_t second) {
        const Ran ran = run_one(packet::cmd::LT, first, second, 0);
        return py::make_tuple(ran.rc, bytes_out(ran));
    });
    m.def("check_user_id",
          [](uint32_t user) { return one_out([=](uint32_t* v) { return check_user_id(user, v); }); });
    m.def("delete_by_scan", [](uint16_t first, uint16_t second, bool admin) {
        return none_out([=] {
            return admin ? delete_template_by_scan_with_admin(first, second)
                         : delete_template_by_scan(first, second);
        });
    });
    m.def("delete_by_wiegand", [](bool admin) {
        return one_out([=](uint32_t* id) {
            return admin ? delete_template_by_wiegand_with_admin(id) : delete_template_by_wiegand(id);
        });
    });
    m.def("template_info", [](uint32_t index, uint32_t capacity) {
        require_open();
        if (capacity > USER_ID_COUNT_MAX) throw py::value_error("too many template records asked for");
        Bytes records(TEMPLATE_INFO_SIZE * std::max<uint32_t>(capacity, 1));
        uint32_t number = 0;
        const int rc = run_stoppable([&] { return read_template_info(index, records, &number); });
        return py::make_tuple(rc, number);
    });

    // ---- Wiegand
    m.def("write_wiegand_config",
          [](uint8_t port, uint16_t fcBits, uint8_t format, uint8_t function, uint32_t fcCode) {
              return none_out([=] {
                  return write_wiegand_config(port, WiegandConfig{fcBits, format, function, fcCode});
              });
          });
    m.def("read_wiegand_config", [](uint8_t port) {
        require_open();
        WiegandConfig c;
        const int rc = run_stoppable([&] { return read_wiegand_config(port, &c); });
        return py::make_tuple(rc, c.fcBits, c.format, c.function, c.fcCode);
    });
    m.def("get_wiegand_input", [](uint32_t handling) {
        return two_out([=](uint32_t* id, uint32_t* fc) { return get_wiegand_input(handling, id, fc); });
    });
    m.def("set_wiegand_output", [](uint32_t id) { return none_out([=] { return set_wiegand_output(id); }); });
    m.def("set_mapping", [](bool card, uint32_t function, uint32_t value) {
        return none_out(
            [=] { return card ? set_card_mapping(function, value) : set_wiegand_mapping(function, value); });
    });
    m.def("list_mappings", [](bool card) {
        const Ran ran = run_one(packet::cmd::WL, 0, 0, card ? MAPPING_CARD : MAPPING_WIEGAND);
        return py::make_tuple(ran.rc, last_value("mappings"), bytes_out(ran));
    });
    m.def("clear_mappings", [](bool card) {
        return none_out([=] { return card ? clear_card_mappings() : clear_wiegand_mappings(); });
    });
    m.def("write_wiegand_format",
          [](uint16_t width, uint16_t interval, uint8_t format, const py::buffer& data) {
              const Bytes d = bytes_of(data);
              check_input_most("WWX", d.size(), "format data");
              return none_out([&] {
                  return write_wiegand_format(width, interval, format, static_cast<uint32_t>(d.size()),
                                              d.empty() ? nullptr : d.data());
              });
          });
    m.def("read_wiegand_format", [] {
        const Ran ran = run_one(packet::cmd::WRX, 0, 0, 0);
        return py::make_tuple(ran.rc, last_value("format"), last_value("pulse_width_us"),
                              last_value("pulse_interval_us"), bytes_out(ran));
    });
    m.def("read_wiegand_input", [](uint32_t handling, uint8_t latched) {
        require_open();
        WiegandString s;
        const int rc = run_stoppable([&] { return read_wiegand_input(handling, latched, &s); });
        return py::make_tuple(rc, s.word1, s.word2);
    });
    m.def("set_wiegand_output_string", [](uint32_t word1, uint32_t word2) {
        return none_out([=] { return set_wiegand_output_string({word1, word2}); });
    });
    m.def("set_field_default", [](uint32_t index, uint32_t value, uint8_t clear) {
        return none_out([=] { return set_field_default(index, value, clear); });
    });
    m.def("get_field_default",
          [](uint32_t index) { return one_out([=](uint32_t* v) { return get_field_default(index, v); }); });
    m.def("set_wiegand_io", [](uint16_t input, uint16_t output, uint32_t option) {
        return none_out([=] { return set_wiegand_io(WiegandIo{input, output, option}); });
    });
    m.def("get_wiegand_io", [] {
        require_open();
        WiegandIo io;
        const int rc = run_stoppable([&] { return get_wiegand_io(&io); });
        return py::make_tuple(rc, io.input, io.output, io.option);
    });

    // ---- smart card
    m.def("read_card", [](uint8_t option) {
        const Ran ran = run_one(packet::cmd::CR, 0, 0, option);
        return py::make_tuple(ran.rc, bytes_out(ran));
    });
    m.def("card_header", [](const py::buffer& data) -> py::object {
        const Bytes d = bytes_of(data);
        CardHeader h;
        if (!card_header_of(d, &h)) return py::none();
        return py::make_tuple(h.csn, h.wiegand.word1, h.wiegand.word2, h.version, h.templates,
                              py::make_tuple(h.slot[0].size, h.slot[0].duress),
                              py::make_tuple(h.slot[1].size, h.slot[1].duress));
    });
    m.def("write_card", [](uint32_t index, uint8_t option, const py::buffer& data) {
        const Bytes d = bytes_of(data);
        check_input_most("CW", d.size(), "card data");
        return none_out([&] {
            return write_card_templates(index, static_cast<uint32_t>(d.size()), option,
                                        d.empty() ? nullptr : d.data());
        });
    });
    m.def("format_card", [](uint8_t mode) { return none_out([=] { return format_card(mode); }); });
    m.def("set_card_input_function",
          [](uint8_t f) { return none_out([=] { return set_card_input_function(f); }); });
    m.def("get_card_input_function",
          [] { return one_out([](uint32_t* v) { return get_card_input_function(v); }); });
    m.def("write_card_key", [](const py::buffer& key1, const py::buffer& key2, uint8_t type, uint8_t option) {
        Bytes a = bytes_of(key1), b = bytes_of(key2);
        if (a.size() != CARD_KEY_SIZE || b.size() != CARD_KEY_SIZE)
            throw py::value_error("a card key is 6 bytes");
        const int rc = none_out([&] { return write_card_key(a.data(), b.data(), type, option); });
        port::secure_wipe(a.data(), a.size());
        port::secure_wipe(b.data(), b.size());
        return rc;
    });
    m.def("read_card_key_option",
          [] { return one_out([](uint32_t* v) { return read_card_key_option(v); }); });
    m.def("read_card_layout", [] {
        require_open();
        CardLayout l;
        const int rc = run_stoppable([&] { return read_card_layout(&l); });
        return py::make_tuple(rc, l.templateSize, l.cisBlock, l.template1Start, l.template1Blocks,
                              l.template2Start, l.template2Blocks);
    });
    m.def("write_card_layout",
          [](uint16_t size, uint8_t cis, uint8_t s1, uint8_t b1, uint8_t s2, uint8_t b2) {
              return none_out([=] { return write_card_layout(CardLayout{size, cis, s1, b1, s2, b2}); });
          });

    // ---- event log, clock, user memory
    m.def("log_count", [] { return two_out([](uint32_t* u, uint32_t* t) { return get_log_count(u, t); }); });
    m.def("read_log", [](uint32_t start, uint32_t count) {
        constexpr uint32_t most = packet::describe("LR").use("-p2")->most;
        if (count > most) throw py::value_error("at most " + hex(most) + " log records at once");
        const Ran ran = run_one(packet::cmd::LR, start, count, 0);
        return py::make_tuple(ran.rc, ran.output.size() / LOG_RECORD_SIZE);
    });
    m.def("delete_log",
          [](uint32_t argument) { return one_out([=](uint32_t* v) { return delete_log(argument, v); }); });
    m.def("set_time", [](int64_t seconds) { return none_out([=] { return set_time(seconds); }); });
    m.def("get_time", [] {
        require_open();
        int64_t seconds = -1;
        const int rc = run_stoppable([&] { return get_time(&seconds); });
        return py::make_tuple(rc, seconds);
    });
    m.def("clock_words", [](int64_t seconds) -> py::object {
        uint32_t date = 0, time = 0;
        if (!clock_words(seconds, &date, &time)) return py::none();
        return py::make_tuple(date, time);
    });
    m.def("memory_length", [] { return one_out([](uint32_t* v) { return get_user_memory_length(v); }); });
    m.def("write_memory", [](uint32_t offset, const py::buffer& data) {
        const Bytes d = bytes_of(data);
        return none_out([&] {
            if (const int r = data_block_check(d.size()); r < 0) return r;
            return write_user_memory(d.data(), offset, static_cast<uint32_t>(d.size()));
        });
    });
    m.def("read_memory", [](uint32_t offset, uint32_t length) {
        const Ran ran = run_one(packet::cmd::MR, offset, length, 0);
        return py::make_tuple(ran.rc, bytes_out(ran));
    });

    // ---- input, output and GPIO ports
    m.def("write_out_port",
          [](uint8_t port, uint8_t event, uint16_t delay, uint8_t count, uint16_t high, uint16_t low) {
              return none_out([=] { return write_out_port_config(delay, count, event, high, low, port); });
          });
    m.def("read_out_port", [](uint8_t port, uint8_t event) {
        require_open();
        uint16_t delay = 0, high = 0, low = 0;
        uint8_t count = 0;
        const int rc =
            run_stoppable([&] { return read_out_port_config(event, port, &delay, &count, &high, &low); });
        return py::make_tuple(rc, delay, count, high, low);
    });
    m.def("enabled_events", [](uint8_t port) {
        const Ran ran = run_one(packet::cmd::OL, 0, 0, port);
        return py::make_tuple(ran.rc, std::vector<int>(ran.output.begin(), ran.output.end()));
    });
    m.def("set_output", [](uint8_t port, uint32_t action) {
        return none_out([=] { return set_output_port(port, action); });
    });
    m.def("write_in_port", [](uint8_t port, uint32_t function, uint32_t value) {
        return none_out([=] { return write_in_port_config(function, value, port); });
    });
    m.def("read_in_port", [](uint8_t port) {
        return two_out([=](uint32_t* f, uint32_t* v) { return read_in_port_config(port, f, v); });
    });
    m.def("read_in_status", [](uint8_t port, uint32_t handling) {
        return one_out([=](uint32_t* s) { return read_in_port_status(port, handling, s); });
    });
    m.def("read_gpio", [](uint16_t id) {
        const Ran ran = run_one(packet::cmd::GR, id, 0, 0);
        return py::make_tuple(ran.rc, last_value("mode"), bytes_out(ran));
    });
    m.def("write_gpio", [](uint16_t id, uint16_t mode, const py::buffer& records) {
        const Bytes d = bytes_of(records);
        if (d.size() % GPIO_RECORD_SIZE != 0) throw py::value_error("GPIO records are 8 bytes each");
        check_input_most("GW", d.size(), "GPIO records");
        return none_out([&] {
            return write_gpio_config(id, mode, static_cast<uint32_t>(d.size() / GPIO_RECORD_SIZE),
                                     d.empty() ? nullptr : d.data());
        });
    });
    m.def("disable_gpio", [] { return none_out([] { return disable_gpio(); }); });
    m.def("reset_gpio", [] { return none_out([] { return reset_gpio(); }); });

    // ---- copy of users
    m.def("copy_users", copy_users_call);

    // ---- raw packets
    m.def("raw", [](uint8_t code, uint32_t p1, uint32_t p2, uint8_t flag, const py::buffer& data,
                    bool broadcast) {
        require_open();
        const Bytes d = bytes_of(data);
        AnswerPacket answer{};
        const int rc = run_stoppable([&] {
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
}
