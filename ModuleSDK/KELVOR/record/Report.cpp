#include "Report.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#if __has_include(<stdio_ext.h>)
#include <stdio_ext.h>
#define KELVOR_HAVE_FPENDING 1
#else
#define KELVOR_HAVE_FPENDING 0
#endif

#include "OrvantiCom.h"
#include "trace/Console.h"
#include "trace/Outcome.h"

using namespace kelvor;

void OrvantiCom::note_result(int result) {
    worstExit = std::max(worstExit, exit_class(result));
}

namespace results {

namespace {

struct Loss {
    int error = 0; // errno of the first write that failed, 0 while none did
    bool reported = false;
};

Loss& loss() {
    static Loss instance;
    return instance;
}

void remember(int error) {
    if (loss().error == 0) loss().error = error != 0 ? error : EIO;
}

// What stdio holds for standard output, written out; a failure is remembered.
void flush_stdio() {
#if KELVOR_HAVE_FPENDING
    // Nothing held and no failure standing: nothing to do (checked for every
    // object of a batch).
    if (__fpending(stdout) == 0 && !std::ferror(stdout)) return;
#endif
    // A write that failed before (some C libraries write a line at once) left
    // its reason in errno and the stream's error flag set.
    const int before = errno;
    errno = 0;
    const bool failed = std::fflush(stdout) != 0;
    const int error = errno;
    if (failed || std::ferror(stdout)) {
        remember(error != 0 ? error : before);
        std::clearerr(stdout); // remembered once, here; the error flag is not taken twice
    }
    if (error == 0) errno = before;
}

// The results held back. Constant-initialized, so that the signal handler
// that writes them out never meets it half made.
struct Held {
    char bytes[HELD_BYTES];
    std::atomic<size_t> size{0};
    bool on = false;
};
Held held;

// The work the line runs before it waits (see serial_hold), and a signal
// handler before the run ends: what is held, written. Only what a signal
// handler may do.
void write_held() {
    const size_t n = held.size.load(std::memory_order_acquire);
    if (n == 0) return;
    if (!write_all(1, reinterpret_cast<const uint8_t*>(held.bytes), n)) remember(errno);
    held.size.store(0, std::memory_order_release);
}

} // namespace

void release() {
    serial_run_held();
    write_held(); // held without the line's part (nothing held there any more)
}

bool emit(const char* p, size_t n) {
    if (!held.on) return write(p, n);
    flush_stdio(); // what stdio holds came first
    size_t size = held.size.load(std::memory_order_relaxed);
    if (size + n > HELD_BYTES) {
        release();
        size = 0;
        if (n > HELD_BYTES) return write(p, n);
    }
    std::memcpy(held.bytes + size, p, n);
    held.size.store(size + n, std::memory_order_release);
    if (size == 0) serial_hold(HELD_MS, write_held);
    return loss().error == 0;
}

Holding::Holding() : outer_(held.on) {
    release();
    // A terminal shows each result as it comes; a reader of both streams
    // (2>&1) sees the trace and the results in the order they were made.
    held.on = !console::is_terminal(1) && !outputs_may_meet();
}

Holding::~Holding() {
    release();
    held.on = outer_;
}

bool write(const char* p, size_t n) {
    if (held.size.load(std::memory_order_relaxed) != 0) release();
    flush_stdio();
    if (n == 0) return loss().error == 0;
    if (!write_all(1, reinterpret_cast<const uint8_t*>(p), n)) {
        remember(errno);
        return false;
    }
    return loss().error == 0;
}

bool lost() {
    flush_stdio();
    return loss().error != 0;
}

const char* why() {
    return std::strerror(loss().error);
}

void reported() {
    loss().reported = true;
}

int end(int status, bool exitCode) {
    release();
    if (!lost()) return status;
    if (!loss().reported) {
        err_line(err_site::REPORT_RESULTS_LOST,
                 "Err: The results cannot be written to the standard output: %s\n", why());
        reported();
    }
    if (!exitCode) return status == 0 ? 1 : status;
    return std::max(status, EXIT_REFUSED);
}

} // namespace results
