// The standard streams on POSIX systems.
#include <unistd.h>

#include <cerrno>

#include "trace/Console.h"

namespace kelvor::console {

bool is_terminal(int stream) {
    return ::isatty(stream) == 1;
}

LineControl line_control(int stream) {
    return is_terminal(stream) ? LineControl::Escapes : LineControl::None;
}

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace kelvor::console
