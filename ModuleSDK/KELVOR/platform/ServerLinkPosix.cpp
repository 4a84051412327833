// The connection to kelvord on POSIX systems: a Unix stream socket.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "ServerLink.h"

namespace server_link {

namespace {

struct Link {
    int fd = -1;
    std::string buffer;
};

Link& link() {
    static Link instance;
    return instance;
}

} // namespace

bool connect(const std::string& path, std::string& error) {
    close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error =
            "the socket's path is longer than " + std::to_string(sizeof addr.sun_path - 1) + " characters";
        return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    link().fd = fd;
    link().buffer.clear();
    return true;
}

bool connected() {
    return link().fd >= 0;
}

void close() {
    if (link().fd >= 0) ::close(link().fd);
    link().fd = -1;
    link().buffer.clear();
}

bool send_line(const std::string& line, std::string& error) {
    if (link().fd < 0) {
        error = "not connected";
        return false;
    }
    std::string out = line + '\n';
    for (size_t done = 0; done < out.size();) {
        const ssize_t n = ::send(link().fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::strerror(errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool read_line(std::string& line, int timeoutMs, std::string& error) {
    Link& l = link();
    if (l.fd < 0) {
        error = "not connected";
        return false;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    size_t searched = 0;
    for (;;) {
        const size_t nl = l.buffer.find('\n', searched);
        if (nl != std::string::npos) {
            line.assign(l.buffer, 0, nl);
            l.buffer.erase(0, nl + 1);
            return true;
        }
        searched = l.buffer.size();
        if (l.buffer.size() > LINE_BYTES_MAX) {
            error = "the service sent a line longer than " + std::to_string(LINE_BYTES_MAX) + " bytes";
            return false;
        }
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                error = "no answer within " + std::to_string(timeoutMs / 1000) + " s";
                return false;
            }
            wait = static_cast<int>(left);
        }
        pollfd p{l.fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (ready == 0) continue;
        char chunk[65536];
        const ssize_t n = ::read(l.fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (n == 0) {
            error = "the service closed the connection";
            return false;
        }
        l.buffer.append(chunk, static_cast<size_t>(n));
    }
}

} // namespace server_link
