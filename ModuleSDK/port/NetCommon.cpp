#include "port/NetCommon.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace kelvor::net {

namespace {

// A name lookup is waited for in slices, so that an interrupt ends it.
constexpr auto LOOKUP_SLICE = std::chrono::milliseconds(50);

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

// A lookup on its own thread, as the waiting caller and the thread share it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool answered = false;
    std::vector<Address> addresses;
    Fault fault;
};

std::string address_text(const System& system, const Address& a) {
    std::string host, service;
    if (!system.numeric(a, host, service)) return "";
    return a.ipv6 ? "[" + host + "]:" + service : host + ":" + service;
}

} // namespace

void keep_address(std::vector<Address>& found, const void* bytes, size_t length, int family, bool ipv6) {
    Address address;
    if (length > sizeof address.storage) return;
    std::memcpy(address.storage, bytes, length);
    address.length = length;
    address.family = family;
    address.ipv6 = ipv6;
    found.push_back(address);
}

// A literal address needs no resolver; a name is looked up on a thread of its
// own, left to end by itself when the deadline or an interrupt comes first.
std::vector<Address> resolve(const System& system, const std::string& host, uint16_t port,
                             Clock::time_point deadline, Fault& fault) {
    const std::string service = std::to_string(port);
    std::vector<Address> addresses;
    Fault notLiteral;
    if (!system.lookup(host, service, true, addresses, notLiteral)) {
        auto lookup = std::make_shared<Lookup>();
        std::thread([lookup, look = system.lookup, host, service] {
            std::vector<Address> found;
            Fault failed;
            const bool answered = look(host, service, false, found, failed);
            const std::lock_guard lock(lookup->mutex);
            lookup->answered = answered;
            lookup->addresses = std::move(found);
            lookup->fault = std::move(failed);
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
        std::unique_lock lock(lookup->mutex);
        while (!lookup->finished) {
            if (interrupted()) {
                fault =
                    Fault{Failure::TimedOut, system.timedOut, "the lookup of the host name was interrupted"};
                return {};
            }
            if (Clock::now() >= deadline) {
                fault = Fault{Failure::TimedOut, system.timedOut, "the host name did not resolve in time"};
                return {};
            }
            lookup->done.wait_until(lock, std::min(deadline, Clock::now() + LOOKUP_SLICE));
        }
        if (!lookup->answered) {
            fault = lookup->fault;
            return {};
        }
        addresses = std::move(lookup->addresses);
    }
    if (addresses.empty()) fault = Fault{Failure::UnknownHost, system.noAddress, "the name has no address"};
    return addresses;
}

bool SystemSocket::connect(const std::string& host, uint16_t port, Clock::time_point deadline, Fault& fault,
                           std::string& peer) {
    if (!prepare(fault)) return false;
    const std::vector<Address> addresses = resolve(system_, host, port, deadline, fault);
    if (addresses.empty()) return false;
    Fault worst{Failure::None, 0, ""};
    for (const Address& a : addresses) {
        Fault f;
        if (try_address(a, deadline, f)) {
            peer = address_text(system_, a);
            return true;
        }
        if (worst.failure == Failure::None || weight(f.failure) > weight(worst.failure)) worst = f;
        if (f.failure == Failure::TimedOut && Clock::now() >= deadline) break;
    }
    fault = worst;
    return false;
}

} // namespace kelvor::net
