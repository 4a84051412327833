// The floor of one SS exchange in system calls: the 13-byte packet written,
// a poll for the answer, the 13-byte answer read, nothing else (no checks of
// the answer beyond its length and its flag, no trace, no time-outs kept).
// Prints the CPU time (user and system) of one exchange in microseconds, the
// mean of COUNT exchanges.
//   ss_floor PORT COUNT
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "protocol/Packet.h"

namespace {

double cpu_us() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// One exchange; false when no whole answer of SUCCEED came within a second.
bool exchange(int fd, const kelvor::packet::Buffer& packet, size_t n) {
    if (::write(fd, packet.data(), n) != static_cast<ssize_t>(n)) return false;
    uint8_t answer[kelvor::packet::COMMAND_LENGTH];
    size_t got = 0;
    while (got < sizeof answer) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1) return false;
        const ssize_t r = ::read(fd, answer + got, sizeof answer - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return kelvor::packet::decode(answer, false).flag == kelvor::packet::flag::SUCCEED;
}

} // namespace

// The CPU time of one exchange over `count` exchanges on `fd`, in
// microseconds; negative when an exchange failed. The Python rows load it
// (ctypes) and time it in turns with their own calls.
extern "C" __attribute__((visibility("default"))) double ss_floor_run(int fd, int count) {
    kelvor::packet::Buffer packet{};
    const size_t n = kelvor::packet::encode(packet, false, {.command = kelvor::packet::cmd::SS});
    const double t0 = cpu_us();
    for (int i = 0; i < count; ++i)
        if (!exchange(fd, packet, n)) return -1;
    return (cpu_us() - t0) / count;
}

#ifndef SS_FLOOR_LIBRARY
int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ss_floor PORT COUNT\n");
        return 2;
    }
    const int count = std::atoi(argv[2]);
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0 || count <= 0) return 1;
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B115200);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    if (ss_floor_run(fd, 20) < 0) return 1;
    const double us = ss_floor_run(fd, count);
    if (us < 0) {
        std::fprintf(stderr, "SS failed\n");
        return 1;
    }
    std::printf("%.3f\n", us);
    ::close(fd);
    return 0;
}
#endif
