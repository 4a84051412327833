// TCP connections on Windows (Winsock 2): non-blocking sockets waited for in
// select, a slice at a time so that serial_interrupt() ends a wait within a
// slice; no Nagle delay (a command packet goes out at once).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "port/PortList.h"
#include "port/SerialLine.h"
#include "port/Socket.h"

namespace kelvor::net {

namespace {

// The longest single wait; an interrupt is seen when it ends.
constexpr auto WAIT_SLICE = std::chrono::milliseconds(100);

bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

Failure failure_of(int error) {
    switch (error) {
    case WSAECONNREFUSED: return Failure::Refused;
    case WSAETIMEDOUT: return Failure::TimedOut;
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
    case WSAENETDOWN:
    case WSAEHOSTDOWN:
    case WSAEADDRNOTAVAIL:
    case WSAEAFNOSUPPORT: return Failure::Unreachable;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENOTCONN:
    case WSAESHUTDOWN: return Failure::Closed;
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
    case WSATRY_AGAIN:
    case WSANO_RECOVERY: return Failure::UnknownHost;
    default: return Failure::Other;
    }
}

Fault fault_of(int error) {
    return Fault{failure_of(error), error, port::system_error_text(error)};
}

int weight(Failure f) {
    switch (f) {
    case Failure::Refused: return 4;
    case Failure::TimedOut: return 3;
    case Failure::Closed: return 2;
    case Failure::Other: return 1;
    default: return 0;
    }
}

bool interrupted() {
    return serial_line::interrupt_flag().load();
}

struct Address {
    sockaddr_storage storage{};
    int length = 0;
    int family = 0;
};

// The addresses of `host`: a literal at once, a name looked up on a thread of
// its own and waited for until the deadline at most.
std::vector<Address> resolve(const std::string& host, uint16_t port, Clock::time_point deadline,
                             Fault& fault) {
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        int rc = 0;
        std::vector<Address> addresses;
    };
    const std::string service = std::to_string(port);
    auto run = [host, service](Lookup& into, int flags) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        hints.ai_flags = AI_NUMERICSERV | flags;
        addrinfo* list = nullptr;
        std::vector<Address> found;
        const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
        for (addrinfo* a = list; rc == 0 && a; a = a->ai_next) {
            if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
            Address address;
            std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
            address.length = static_cast<int>(a->ai_addrlen);
            address.family = a->ai_family;
            found.push_back(address);
        }
        if (list) ::freeaddrinfo(list);
        const std::lock_guard lock(into.mutex);
        into.rc = rc;
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
        if (interrupted() || Clock::now() >= deadline) {
            fault = Fault{Failure::TimedOut, WSAETIMEDOUT, "the host name did not resolve in time"};
            return {};
        }
        lookup->done.wait_until(lock, std::min(deadline, Clock::now() + WAIT_SLICE));
    }
    if (lookup->rc != 0) {
        fault = fault_of(lookup->rc);
        if (fault.failure == Failure::Other) fault.failure = Failure::UnknownHost;
        return {};
    }
    if (lookup->addresses.empty())
        fault = Fault{Failure::UnknownHost, WSAHOST_NOT_FOUND, "the name has no address"};
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

enum class Ready { Yes, TimedOut, Interrupted, Failed };

// Waits for the socket to be readable, or writable (a connection made or
// failed, room to send).
Ready wait_for(SOCKET s, bool write, Clock::time_point deadline) {
    for (;;) {
        if (interrupted()) return Ready::Interrupted;
        const auto left = deadline - Clock::now();
        if (left < Clock::duration::zero()) return Ready::TimedOut;
        const auto slice = std::min<Clock::duration>(left, WAIT_SLICE);
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(slice).count();
        timeval tv{static_cast<long>(us / 1000000), static_cast<long>(us % 1000000)};
        fd_set set;
        fd_set failed;
        FD_ZERO(&set);
        FD_ZERO(&failed);
        FD_SET(s, &set);
        FD_SET(s, &failed);
        const int ready = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &tv);
        if (ready == SOCKET_ERROR) return Ready::Failed;
        if (ready > 0) return Ready::Yes;
        if (left <= slice) return Ready::TimedOut;
    }
}

class Win32Socket final : public Socket {
public:
    ~Win32Socket() override { close(); }

    bool connect(const std::string& host, uint16_t port, Clock::time_point deadline, Fault& fault,
                 std::string& peer) override {
        if (!winsock_ready()) {
            fault = fault_of(::WSAGetLastError());
            return false;
        }
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
        switch (wait_for(socket_, false, deadline)) {
        case Ready::Yes: return Wait::Ready;
        case Ready::TimedOut: return Wait::TimedOut;
        case Ready::Interrupted: return Wait::Interrupted;
        case Ready::Failed: break;
        }
        fault = fault_of(::WSAGetLastError());
        return Wait::Failed;
    }

    long receive(uint8_t* buffer, size_t n, Fault& fault) override {
        const int r = ::recv(socket_, reinterpret_cast<char*>(buffer),
                             static_cast<int>(std::min<size_t>(n, 1 << 20)), 0);
        if (r >= 0) return r;
        const int error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK || error == WSAEINTR) return NOTHING_YET;
        fault = fault_of(error);
        return FAILED;
    }

    size_t send(const uint8_t* bytes, size_t n, Clock::time_point deadline, Fault& fault) override {
        size_t done = 0;
        while (done < n) {
            const int w = ::send(socket_, reinterpret_cast<const char*>(bytes + done),
                                 static_cast<int>(std::min<size_t>(n - done, 1 << 20)), 0);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            const int error = w < 0 ? ::WSAGetLastError() : WSAEWOULDBLOCK;
            if (error != WSAEWOULDBLOCK && error != WSAEINTR) {
                fault = fault_of(error);
                break;
            }
            const Ready ready = wait_for(socket_, true, deadline);
            if (ready == Ready::Yes) continue;
            if (ready == Ready::TimedOut)
                fault = Fault{Failure::TimedOut, WSAETIMEDOUT, "the server took no more bytes in time"};
            else if (ready == Ready::Failed)
                fault = fault_of(::WSAGetLastError());
            break;
        }
        return done;
    }

    Clock::duration handshake_time() const override { return handshake_; }
    // Winsock has no quick acknowledgement to ask for.
    bool acknowledges_at_once() const override { return false; }

    void close() override {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }

private:
    bool try_address(const Address& a, Clock::time_point deadline, Fault& fault) {
        close();
        socket_ = ::socket(a.family, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) {
            fault = fault_of(::WSAGetLastError());
            return false;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(socket_, FIONBIO, &nonBlocking);
        const auto started = Clock::now();
        if (::connect(socket_, reinterpret_cast<const sockaddr*>(&a.storage), a.length) != 0) {
            const int error = ::WSAGetLastError();
            if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) {
                fault = fault_of(error);
                close();
                return false;
            }
            const Ready ready = wait_for(socket_, true, deadline);
            int soError = 0;
            int length = sizeof soError;
            if (ready == Ready::Yes &&
                ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) != 0)
                soError = ::WSAGetLastError();
            if (ready != Ready::Yes || soError != 0) {
                fault = ready == Ready::Yes ? fault_of(soError)
                        : ready == Ready::Failed
                            ? fault_of(::WSAGetLastError())
                            : Fault{Failure::TimedOut, WSAETIMEDOUT, port::system_error_text(WSAETIMEDOUT)};
                close();
                return false;
            }
        }
        handshake_ = Clock::now() - started;
        const BOOL one = TRUE;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        return true;
    }

    SOCKET socket_ = INVALID_SOCKET;
    Clock::duration handshake_{};
};

} // namespace

std::unique_ptr<Socket> system_socket() {
    return std::make_unique<Win32Socket>();
}

int system_code(Failure failure) {
    switch (failure) {
    case Failure::None: return 0;
    case Failure::BadAddress: return WSAEINVAL;
    case Failure::UnknownHost: return WSAHOST_NOT_FOUND;
    case Failure::Refused: return WSAECONNREFUSED;
    case Failure::TimedOut: return WSAETIMEDOUT;
    case Failure::Unreachable: return WSAEHOSTUNREACH;
    case Failure::Closed: return WSAECONNRESET;
    case Failure::NotRfc2217: return WSAEPROTONOSUPPORT;
    case Failure::SettingsRefused: return ERROR_INVALID_PARAMETER;
    case Failure::SettingsUnconfirmed: return WSAETIMEDOUT;
    case Failure::Broken: return WSAECONNABORTED;
    case Failure::Other: return ERROR_GEN_FAILURE;
    }
    return ERROR_GEN_FAILURE;
}

} // namespace kelvor::net
