// What the TCP connections of both systems share (NetPosix.cpp, NetWin32.cpp):
// a host name looked up on a thread of its own and waited for until the
// deadline at most (the system's resolver has no deadline of its own to
// give), and the connection to the first of its addresses that takes it, the
// failures of the others ranked for the diagnosis. The system calls are the
// platform file's, given here as a System and a SystemSocket's overrides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "port/SerialLine.h"
#include "port/Socket.h"

namespace kelvor::net {

// An address as the system's resolver gives it: the socket address's bytes.
struct Address {
    // Room for the system's sockaddr_storage (system_address() checks so).
    alignas(16) unsigned char storage[128]{};
    size_t length = 0;
    int family = 0;
    bool ipv6 = false;
};

// The socket address an Address holds, as the system's calls take it:
// Sockaddr its sockaddr, Storage its sockaddr_storage (which must fit).
template <class Sockaddr, class Storage> const Sockaddr* system_address(const Address& a) {
    static_assert(sizeof(Storage) <= sizeof a.storage && alignof(Storage) <= alignof(Address));
    return reinterpret_cast<const Sockaddr*>(a.storage);
}

// Keeps an address the resolver found; one too long for an Address is passed over.
void keep_address(std::vector<Address>& found, const void* bytes, size_t length, int family, bool ipv6);

// The system calls that need no socket. They run on the lookup's own thread
// too, which may outlive the socket that started it: they touch nothing but
// their arguments.
struct System {
    // Looks `host` up for the port `service` (a literal address only, with
    // `literal`): true with `found` filled, else false with `fault` set.
    bool (*lookup)(const std::string& host, const std::string& service, bool literal,
                   std::vector<Address>& found, Fault& fault);
    // The address as numbers: false when the system cannot tell.
    bool (*numeric)(const Address& address, std::string& host, std::string& service);
    int timedOut;  // the system's code for a time-out
    int noAddress; // and for a name that has no address
};

// Whether serial_interrupt() has been called: every wait ends at it.
inline bool interrupted() {
    return serial_line::interrupt_flag().load();
}

// The addresses of `host` by the deadline; empty with the fault set.
std::vector<Address> resolve(const System& system, const std::string& host, uint16_t port,
                             Clock::time_point deadline, Fault& fault);

// A socket of the system: its connection made here, of the platform's steps.
class SystemSocket : public Socket {
public:
    bool connect(const std::string& host, uint16_t port, Clock::time_point deadline, Fault& fault,
                 std::string& peer) final;

protected:
    explicit SystemSocket(const System& system) : system_(system) {}
    // Before the first lookup: false with the fault set when the system cannot serve.
    virtual bool prepare(Fault& fault) = 0;
    // Connects to one address by the deadline: false with the fault set, the socket closed.
    virtual bool try_address(const Address& address, Clock::time_point deadline, Fault& fault) = 0;

private:
    const System& system_;
};

} // namespace kelvor::net
