// TCP connections on Windows (Winsock 2): non-blocking sockets waited for in
// select, a slice at a time so that serial_interrupt() ends a wait within a
// slice; no Nagle delay (a command packet goes out at once).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "port/NetCommon.h"
#include "port/PortList.h"

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

// The system's resolver: its failures are Winsock's codes; whatever else it
// says, the name has no address.
bool lookup(const std::string& host, const std::string& service, bool literal, std::vector<Address>& found,
            Fault& fault) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | (literal ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    for (addrinfo* a = list; rc == 0 && a; a = a->ai_next)
        keep_address(found, a->ai_addr, a->ai_addrlen, a->ai_family, a->ai_family == AF_INET6);
    if (list) ::freeaddrinfo(list);
    if (rc == 0) return true;
    fault = fault_of(rc);
    if (fault.failure == Failure::Other) fault.failure = Failure::UnknownHost;
    return false;
}

const sockaddr* native(const Address& a) {
    return system_address<sockaddr, sockaddr_storage>(a);
}

bool numeric(const Address& a, std::string& host, std::string& service) {
    char h[NI_MAXHOST] = {};
    char s[NI_MAXSERV] = {};
    if (::getnameinfo(native(a), static_cast<int>(a.length), h, sizeof h, s, sizeof s,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return false;
    host = h;
    service = s;
    return true;
}

const System SYSTEM{lookup, numeric, WSAETIMEDOUT, WSAHOST_NOT_FOUND};

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

class Win32Socket final : public SystemSocket {
public:
    Win32Socket() : SystemSocket(SYSTEM) {}
    ~Win32Socket() override { close(); }

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
    bool prepare(Fault& fault) override {
        if (winsock_ready()) return true;
        fault = fault_of(::WSAGetLastError());
        return false;
    }

    bool try_address(const Address& a, Clock::time_point deadline, Fault& fault) override {
        close();
        socket_ = ::socket(a.family, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) {
            fault = fault_of(::WSAGetLastError());
            return false;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(socket_, FIONBIO, &nonBlocking);
        const auto started = Clock::now();
        if (::connect(socket_, native(a), static_cast<int>(a.length)) != 0) {
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
