#include "FakeLine.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "port/SerialSeam.h"

namespace {

// Time-outs the quiet line gives before it hangs up.
constexpr int QUIET_WAITS = 8;

struct Line {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    int quietWaits = 0;
    size_t written = 0;
};

Line& line() {
    static Line instance;
    return instance;
}

} // namespace

namespace fakeline {

void load(const uint8_t* data, size_t n) {
    line() = Line{data, n, 0, 0, 0};
}

size_t written() {
    return line().written;
}

} // namespace fakeline

namespace serial_seam {

// A real descriptor (of /dev/null) stands for the port, so that the numbers
// the serial code keeps are genuine and anything done to them is harmless.
int open(const char*, int) {
    return ::open("/dev/null", O_RDWR | O_CLOEXEC);
}
int close(int fd) {
    return ::close(fd);
}

ssize_t read(int, void* buffer, size_t n) {
    Line& l = line();
    const size_t take = std::min(n, l.size - l.pos);
    if (take > 0) std::memcpy(buffer, l.data + l.pos, take);
    l.pos += take;
    return static_cast<ssize_t>(take); // 0 once the line has hung up
}

ssize_t write(int, const void*, size_t n) {
    line().written += n;
    return static_cast<ssize_t>(n);
}

int poll(pollfd* fds, nfds_t, int) {
    Line& l = line();
    if (l.pos < l.size) {
        fds[0].revents = POLLIN;
        return 1;
    }
    if (l.quietWaits < QUIET_WAITS) {
        ++l.quietWaits;
        fds[0].revents = 0;
        return 0;
    }
    fds[0].revents = POLLIN | POLLHUP;
    return 1;
}

int ioctl(int, unsigned long request, void* arg) {
    if (request == TIOCOUTQ) {
        *static_cast<int*>(arg) = 0;
        return 0;
    }
    if (request == TIOCGRS485) {
        errno = ENOTTY;
        return -1;
    }
    return 0;
}

int fcntl(int, int, int) {
    return 0;
}
int flock(int, int) {
    return 0;
}
int tcgetattr(int, termios* tio) {
    std::memset(tio, 0, sizeof *tio);
    return 0;
}
int tcsetattr(int, int, const termios*) {
    return 0;
}
int tcflush(int, int) {
    return 0;
}
bool set_arbitrary_rate(int, int) {
    return true;
}
void pause_ms(int) {}

} // namespace serial_seam
