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
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "port/SerialLine.h"
#include "port/Socket.h"
#include "port/Wake.h"

namespace kelvor::net {

namespace {

// A name lookup is waited for in slices, so that an interrupt ends it.
constexpr auto LOOKUP_SLICE = std::chrono::milliseconds(50);

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

// How much a fault tells: when several addresses fail, the diagnosis names
// the most telling failure (a refusal says more than an unused IPv6 route).
int weight(Failure f) {
    switch (f) {
    case Failure::Refused: return 4;
    case Failure::TimedOut: return 3;
    case Failure::Closed: return 2;
    case Failure::Other: return 1;
    default: return 0;
    }
}

int milliseconds_left(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, -1, 1 << 30));
}

bool interrupted() {
    return serial_line::interrupt_flag().load();
}

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = 0;
};

// The addresses of `host`. A literal address needs no resolver; a name is
// looked up on a thread of its own, waited for until the deadline at most
// (the system's resolver has no deadline of its own to give).
std::vector<Address> resolve(const std::string& host, uint16_t port, Clock::time_point deadline,
                             Fault& fault) {
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        int rc = 0;
        int error = 0;
        std::vector<Address> addresses;
    };
    const std::string service = std::to_string(port);
    auto run = [host, service](Lookup& into, int flags) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV | flags;
        addrinfo* list = nullptr;
        std::vector<Address> found;
        const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
        const int error = errno;
        for (addrinfo* a = list; rc == 0 && a; a = a->ai_next) {
            if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
            Address address;
            std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
            address.length = a->ai_addrlen;
            address.family = a->ai_family;
            found.push_back(address);
        }
        if (list) ::freeaddrinfo(list);
        const std::lock_guard lock(into.mutex);
        into.rc = rc;
        into.error = error;
        into.addresses = std::move(found);
        into.finished = true;
        into.done.notify_all();
    };
    Lookup literal;
    run(literal, AI_NUMERICHOST);
    if (literal.rc == 0) return literal.addresses;

    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, run] { run(*lookup, 0); }).detach();
    std::unique_lock lock(lookup->mutex);
    while (!lookup->finished) {
        if (interrupted()) {
            fault = Fault{Failure::TimedOut, ETIMEDOUT, "the lookup of the host name was interrupted"};
            return {};
        }
        if (Clock::now() >= deadline) {
            fault = Fault{Failure::TimedOut, ETIMEDOUT, "the host name did not resolve in time"};
            return {};
        }
        lookup->done.wait_until(lock, std::min(deadline, Clock::now() + LOOKUP_SLICE));
    }
    if (lookup->rc == EAI_SYSTEM) {
        fault = fault_of(lookup->error);
        return {};
    }
    if (lookup->rc != 0) {
        // The name is unknown, or no server could tell: either way no address.
        fault = Fault{Failure::UnknownHost, ENXIO, ::gai_strerror(lookup->rc)};
        return {};
    }
    if (lookup->addresses.empty()) fault = Fault{Failure::UnknownHost, ENXIO, "the name has no address"};
    return lookup->addresses;
}

std::string address_text(const Address& a) {
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a.storage), a.length, host, sizeof host, service,
                      sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "";
    return a.family == AF_INET6 ? "[" + std::string(host) + "]:" + service
                                : std::string(host) + ":" + service;
}

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

class PosixSocket final : public Socket {
public:
    ~PosixSocket() override { close(); }

    bool connect(const std::string& host, uint16_t port, Clock::time_point deadline, Fault& fault,
                 std::string& peer) override {
        wake::prepare();
        const std::vector<Address> addresses = resolve(host, port, deadline, fault);
        if (addresses.empty()) return false;
        Fault worst{Failure::None, 0, ""};
        for (const Address& a : addresses) {
            Fault f;
            if (try_address(a, deadline, f)) {
                peer = address_text(a);
                return true;
            }
            if (worst.failure == Failure::None || weight(f.failure) > weight(worst.failure)) worst = f;
            if (f.failure == Failure::TimedOut && Clock::now() >= deadline) break;
        }
        fault = worst;
        return false;
    }

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
    bool try_address(const Address& a, Clock::time_point deadline, Fault& fault) {
        close();
        fd_ = ::socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            fault = fault_of(errno);
            return false;
        }
        const auto started = Clock::now();
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&a.storage), a.length) != 0) {
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
