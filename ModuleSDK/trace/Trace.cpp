// The trace log: every line of the library's output passes through here on its
// way to the standard error stream. Text is gathered until a line ends and then
// written with one system call, so a level-4 dump of a large block costs one
// write per line, not one per byte.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <string>

#include "ModuleSDK.h"
#include "trace/Console.h"
#include "trace/Format.h"
#include "trace/LineState.h"
#include "trace/Outcome.h"
#include "trace/Progress.h"

namespace kelvor {

namespace {

struct TraceLog {
    uint32_t mask = 0;
    int fd = 2;
    std::string pending;
    TraceSink sink = nullptr;
    void* context = nullptr;
    // Set while the held-back text is being changed; a signal handler leaves it alone then.
    volatile std::sig_atomic_t changing = 0;
};

// The trace log of the calling thread's line.
TraceLog& log() {
    return line_state::part<TraceLog>(line_state::TRACE_LOG);
}

struct Changing {
    TraceLog& t = log();
    Changing() { t.changing = 1; }
    ~Changing() { t.changing = 0; }
    Changing(const Changing&) = delete;
    Changing& operator=(const Changing&) = delete;
};

void write_all(int fd, const char* p, size_t n) {
    if (n > 0) progress_yield();  // the trace line takes the progress line's place
    console::write_all(fd, p, n); // on failure there is nowhere left to report to
}

// Hands `n` bytes of complete lines to the sink, a line at a time.
void to_sink(const TraceLog& t, const char* p, size_t n) {
    while (n > 0) {
        const auto* lf = static_cast<const char*>(std::memchr(p, '\n', n));
        const size_t line = lf ? static_cast<size_t>(lf - p) + 1 : n;
        t.sink(p, line, t.context);
        p += line;
        n -= line;
    }
}

void emit(const TraceLog& t, const char* p, size_t n) {
    if (t.sink)
        to_sink(t, p, n);
    else
        write_all(t.fd, p, n);
}

// Writes every complete line held back.
void emit_lines() {
    TraceLog& t = log();
    size_t end = t.pending.rfind('\n');
    if (end == std::string::npos) return;
    emit(t, t.pending.data(), end + 1);
    t.pending.erase(0, end + 1);
}

void append(const char* format, va_list args) {
    append_formatted(log().pending, format, args);
}

const char* prefix_of(uint32_t type) {
    switch (type) {
    case TRACE_ERROR: return "[ERR] ";
    case TRACE_CALL: return "[API] ";
    case TRACE_COMM: return "      [COM] ";
    case TRACE_DATA: return "      [DATA] ";
    case TRACE_USER: return "[USR] ";
    default: return "[UNK] ";
    }
}

// An error line is the outcome's message while a command's outcome is recorded,
// whether the trace shows it or not.
void keep_error_line(const char* format, va_list args) {
    outcome::message(formatted(format, args));
}

} // namespace

void trace(uint32_t type, const char* format, ...) {
    if (type == TRACE_ERROR && outcome::recording()) {
        va_list args;
        va_start(args, format);
        keep_error_line(format, args);
        va_end(args);
    }
    if ((type & log().mask) == 0) return;
    Changing guard;
    log().pending += prefix_of(type);
    va_list args;
    va_start(args, format);
    append(format, args);
    va_end(args);
    emit_lines();
}

void trace_more(uint32_t bits, const char* format, ...) {
    if ((bits & log().mask) == 0) return;
    Changing guard;
    va_list args;
    va_start(args, format);
    append(format, args);
    va_end(args);
    emit_lines();
}

void trace_print(const char* format, ...) {
    Changing guard;
    va_list args;
    va_start(args, format);
    append(format, args);
    va_end(args);
    emit_lines();
}

void trace_hex(uint32_t bits, const uint8_t* bytes, size_t n) {
    if ((bits & log().mask) == 0) return;
    Changing guard;
    static constexpr char digits[] = "0123456789abcdef";
    std::string& out = log().pending;
    const size_t at = out.size();
    out.resize(at + 3 * n);
    char* p = out.data() + at;
    for (size_t i = 0; i < n; ++i) {
        *p++ = digits[bytes[i] >> 4];
        *p++ = digits[bytes[i] & 0x0F];
        *p++ = ' ';
    }
}

void trace_enable(uint32_t bits) {
    log().mask |= bits;
}
void trace_disable(uint32_t bits) {
    log().mask &= ~bits;
}
uint32_t trace_mask() {
    return log().mask;
}

void trace_flush() {
    Changing guard;
    TraceLog& t = log();
    if (!t.pending.empty()) emit(t, t.pending.data(), t.pending.size());
    t.pending.clear();
}

void trace_flush_on_signal() {
    const TraceLog* t = line_state::find<TraceLog>(line_state::TRACE_LOG);
    if (!t || t->changing) return;
    // A sink is a program's own code, which a signal handler may not run.
    if (!t->sink) write_all(t->fd, t->pending.data(), t->pending.size());
}

void trace_to(TraceSink sink, void* context) {
    trace_flush();
    log().sink = sink;
    log().context = context;
}

void trace_reset(int fd) {
    trace_flush();
    log().mask = 0;
    log().fd = fd;
    log().sink = nullptr;
    log().context = nullptr;
}

} // namespace kelvor
