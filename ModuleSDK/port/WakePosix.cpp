// The wake-up of a waiting read on POSIX systems: a non-blocking pipe.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "ModuleSDK.h"
#include "port/SerialLine.h"
#include "port/Wake.h"
#include "trace/LineState.h"

namespace kelvor {

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() = default;
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
};

// The pipe of the calling thread's line.
Pipe& pipe_ends() {
    return line_state::part<Pipe>(line_state::WAKE);
}

} // namespace

void wake::prepare() {
    Pipe& p = pipe_ends();
    if (p.read < 0) {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
        p.read = fds[0];
        p.write = fds[1];
        line_state::current().wakeFd.store(p.write);
    }
    drain();
}

int wake::fd() {
    return pipe_ends().read;
}

void wake::drain() {
    uint8_t bytes[64];
    // A read of a pipe takes what it holds up to the buffer: one that comes
    // back short has emptied it, and needs no second read to say so.
    for (ssize_t n = sizeof bytes; n == static_cast<ssize_t>(sizeof bytes) && pipe_ends().read >= 0;)
        n = ::read(pipe_ends().read, bytes, sizeof bytes);
}

void serial_interrupt() {
    serial_line::interrupt_flag().store(true);
    // From a signal handler or another thread too: a line without its pipe
    // has no wait to wake.
    if (const int fd = line_state::current().wakeFd.load(); fd >= 0) {
        const uint8_t byte = 1;
        [[maybe_unused]] const ssize_t w = ::write(fd, &byte, 1); // a full pipe is already awake
    }
}

} // namespace kelvor
