// The floor of one SS exchange in system calls: the 13-byte packet written,
// a poll for the answer, the 13-byte answer read, nothing else (no checks of
// the answer beyond its length and its flag, no trace, no time-outs kept).
// Prints the CPU time (user and system) of one exchange in microseconds.
//   ss_floor PORT COUNT
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "protocol/Packet.h"

namespace {

double cpu_us() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
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
    kelvor::packet::Buffer packet{};
    const size_t n = kelvor::packet::encode(packet, false, {.command = kelvor::packet::cmd::SS});
    for (int i = 0; i < 20; ++i)
        if (!exchange(fd, packet, n)) return 1;
    const double t0 = cpu_us();
    for (int i = 0; i < count; ++i)
        if (!exchange(fd, packet, n)) {
            std::fprintf(stderr, "SS failed\n");
            return 1;
        }
    std::printf("%.3f\n", (cpu_us() - t0) / count);
    ::close(fd);
    return 0;
}
