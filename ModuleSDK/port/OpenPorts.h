// The local ports open in the process, on every line: what a signal that ends
// the program (or a console break on Windows) gives back their own settings.
// Slots are taken and freed without a lock, so that a handler may walk them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

namespace kelvor::open_ports {

template <class Port, size_t N = 64> class Registry {
public:
    // A port beyond the N open at once is not restored on a signal.
    void add(Port* port) {
        for (auto& slot : slots_) {
            Port* empty = nullptr;
            if (slot.compare_exchange_strong(empty, port)) return;
        }
    }
    void remove(Port* port) {
        for (auto& slot : slots_) {
            Port* held = port;
            if (slot.compare_exchange_strong(held, nullptr)) return;
        }
    }
    template <class F> void each(F&& f) {
        for (auto& slot : slots_)
            if (Port* p = slot.load()) f(*p);
    }

private:
    std::array<std::atomic<Port*>, N> slots_{};
};

} // namespace kelvor::open_ports
