// TCP connections on POSIX systems: non-blocking sockets waited for in poll,
// beside the pipe that serial_interrupt() writes to; no Nagle delay (a
// command packet goes out at once); SIGPIPE never raised by a send.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "port/NetCommon.h"
#include "port/Wake.h"

namespace kelvor::net {

namespace {

Failure failure_of(int error) {
    switch (error) {
    case ECONNREFUSED: return Failure::Refused;
    case ETIMEDOUT: return Failure::TimedOut;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT: return Failure::Unreachable;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ENOTCONN: return Failure::Closed;
    default: return Failure::Other;
    }
}

Fault fault_of(int error) {
    return Fault{failure_of(error), error, std::strerror(error)};
}

int milliseconds_left(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, -1, 1 << 30));
}

// The system's resolver: a name unknown, or one that no server could tell, has no address either way.
bool lookup(const std::string& host, const std::string& service, bool literal, std::vector<Address>& found,
            Fault& fault) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (literal ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    const int error = errno;
    for (addrinfo* a = list; rc == 0 && a; a = a->ai_next)
        keep_address(found, a->ai_addr, a->ai_addrlen, a->ai_family, a->ai_family == AF_INET6);
    if (list) ::freeaddrinfo(list);
    if (rc == 0) return true;
    fault = rc == EAI_SYSTEM ? fault_of(error) : Fault{Failure::UnknownHost, ENXIO, ::gai_strerror(rc)};
    return false;
}

const sockaddr* native(const Address& a) {
    return system_address<sockaddr, sockaddr_storage>(a);
}

bool numeric(const Address& a, std::string& host, std::string& service) {
    char h[NI_MAXHOST] = {};
    char s[NI_MAXSERV] = {};
    if (::getnameinfo(native(a), static_cast<socklen_t>(a.length), h, sizeof h, s, sizeof s,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return false;
    host = h;
    service = s;
    return true;
}

const System SYSTEM{lookup, numeric, ETIMEDOUT, ENXIO};

// Waits for `events` on fd, or the wake-up pipe. 1 ready, 0 time-out, -1 interrupted, -2 a poll failure.
int wait_for(int fd, short events, Clock::time_point deadline, short& revents) {
    for (;;) {
        if (interrupted()) return -1;
        const int left = milliseconds_left(deadline);
        if (left < 0) return 0;
        pollfd fds[2] = {{fd, events, 0}, {wake::fd(), POLLIN, 0}};
        const nfds_t count = wake::fd() >= 0 ? 2 : 1;
        const int ready = ::poll(fds, count, left);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -2;
        }
        if (count == 2 && (fds[1].revents & POLLIN)) wake::drain();
        if (fds[0].revents != 0) {
            revents = fds[0].revents;
            return 1;
        }
        if (ready == 0) return 0;
    }
}

class PosixSocket final : public SystemSocket {
public:
    PosixSocket() : SystemSocket(SYSTEM) {}
    ~PosixSocket() override { close(); }

    Wait wait_readable(Clock::time_point deadline, Fault& fault) override {
        short revents = 0;
        switch (wait_for(fd_, POLLIN, deadline, revents)) {
        case 1: return Wait::Ready;
        case 0: return Wait::TimedOut;
        case -1: return Wait::Interrupted;
        default: fault = fault_of(errno); return Wait::Failed;
        }
    }

    long receive(uint8_t* buffer, size_t n, Fault& fault) override {
        for (;;) {
            const ssize_t r = ::recv(fd_, buffer, n, 0);
            if (r > 0) quick_ack();
            if (r >= 0) return static_cast<long>(r);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return NOTHING_YET;
            fault = fault_of(errno);
            return FAILED;
        }
    }

    size_t send(const uint8_t* bytes, size_t n, Clock::time_point deadline, Fault& fault) override {
        size_t done = 0;
        while (done < n) {
            const ssize_t w = ::send(fd_, bytes + done, n - done, MSG_NOSIGNAL);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                fault = fault_of(errno);
                break;
            }
            // The connection's buffer is full: the server reads no faster.
            short revents = 0;
            const int ready = wait_for(fd_, POLLOUT, deadline, revents);
            if (ready == 1 && !(revents & (POLLERR | POLLHUP | POLLNVAL))) continue;
            if (ready == 1) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
                fault = fault_of(error ? error : EPIPE);
            } else if (ready == 0) {
                fault = Fault{Failure::TimedOut, ETIMEDOUT, "the server took no more bytes in time"};
            }
            break;
        }
        return done;
    }

    Clock::duration handshake_time() const override { return handshake_; }
    bool acknowledges_at_once() const override { return quickAck_; }

    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    bool prepare(Fault&) override {
        wake::prepare();
        return true;
    }

    bool try_address(const Address& a, Clock::time_point deadline, Fault& fault) override {
        close();
        fd_ = ::socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            fault = fault_of(errno);
            return false;
        }
        const auto started = Clock::now();
        if (::connect(fd_, native(a), static_cast<socklen_t>(a.length)) != 0) {
            if (errno != EINPROGRESS && errno != EINTR) {
                fault = fault_of(errno);
                close();
                return false;
            }
            short revents = 0;
            const int ready = wait_for(fd_, POLLOUT, deadline, revents);
            if (ready != 1) {
                fault = ready == -1 ? Fault{Failure::TimedOut, ETIMEDOUT, "the connection was interrupted"}
                                    : Fault{Failure::TimedOut, ETIMEDOUT, std::strerror(ETIMEDOUT)};
                close();
                return false;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            if (error != 0) {
                fault = fault_of(error);
                close();
                return false;
            }
        }
        handshake_ = Clock::now() - started;
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        quick_ack();
        return true;
    }

    // What arrives is acknowledged at once, not after the delayed-ACK wait:
    // a server that holds its small writes until the last is acknowledged
    // (Nagle's rule, ser2net's answers) would otherwise hold an answer back
    // for 40 ms. The system forgets the setting now and then; it is set
    // again after each read.
    void quick_ack() {
#ifdef TCP_QUICKACK
        const int one = 1;
        quickAck_ = ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one) == 0;
#endif
    }

    int fd_ = -1;
    Clock::duration handshake_{};
    bool quickAck_ = false;
};

} // namespace

std::unique_ptr<Socket> system_socket() {
    return std::make_unique<PosixSocket>();
}

int system_code(Failure failure) {
    switch (failure) {
    case Failure::None: return 0;
    case Failure::BadAddress: return EINVAL;
    case Failure::UnknownHost: return ENXIO;
    case Failure::Refused: return ECONNREFUSED;
    case Failure::TimedOut: return ETIMEDOUT;
    case Failure::Unreachable: return EHOSTUNREACH;
    case Failure::Closed: return ECONNRESET;
    case Failure::NotRfc2217: return EPROTO;
    case Failure::SettingsRefused: return EINVAL;
    case Failure::SettingsUnconfirmed: return ETIMEDOUT;
    case Failure::Broken: return EPROTO;
    case Failure::Other: return EIO;
    }
    return EIO;
}

} // namespace kelvor::net
