// What the serial port keeps alike on every system: the line's rate and read
// time-out, when the bytes written have left the port, the bound on a whole
// answer, the turn pause of a shared line, and what the latest opening and
// the latest read or write found. The system's own file (SerialPosix.cpp,
// SerialWin32.cpp) moves the bytes; this keeps the time.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace kelvor::serial_line {

using Clock = std::chrono::steady_clock;

// Microseconds that n characters take on the wire: a start bit, 8 data bits
// and a stop bit each.
inline std::chrono::microseconds wire_time(uint64_t n, int baudRate) {
    if (baudRate <= 0) return std::chrono::microseconds(0);
    return std::chrono::microseconds(n * 10'000'000ull / static_cast<uint64_t>(baudRate));
}

struct Line {
    int timeoutMs = 1000;
    int baudRate = 0;
    // The read time-out applied to the port, -1 before any.
    int appliedTimeoutMs = -1;
    // The pause the module needs between turns of a shared (network or
    // broadcast) line, before each read and each write; 0 on a line of its own.
    int turnPauseMs = 0;
    // When the bytes written so far have left the port at the line's rate at
    // the earliest; the next read's time-out counts from then.
    Clock::time_point txDone{};
    // Reads end by this time at the latest, however steadily bytes arrive;
    // unset (the epoch) when the caller set no bound.
    Clock::time_point bound{};
    // The system's error code of the latest failed opening or line setup, 0
    // when the port opened and took its settings.
    int lastError = 0;
    // The port itself is gone (the device unplugged, the far side closed):
    // reads and writes cannot succeed again on this opening.
    bool portLost = false;

    // The end of a read's wait for its first byte: the module cannot answer
    // before it has had the bytes sent to it.
    Clock::time_point first_deadline() const {
        return std::max(Clock::now(), txDone) + std::chrono::milliseconds(timeoutMs);
    }
    // The end of the wait for the byte after one that just came.
    Clock::time_point next_deadline() const { return Clock::now() + std::chrono::milliseconds(timeoutMs); }
    // A deadline no later than the bound, when there is one.
    Clock::time_point within_bound(Clock::time_point deadline) const {
        return bound == Clock::time_point{} ? deadline : std::min(deadline, bound);
    }
    // The reads that follow end within the time-out and the wire time of `bytes`.
    void bind(uint64_t bytes) { bound = first_deadline() + wire_time(bytes, baudRate); }
    // n bytes handed to the port at `start` go out after those still on their way.
    void wrote(Clock::time_point start, uint64_t n) {
        txDone = std::max(txDone, start) + wire_time(n, baudRate);
    }
    // A line set up anew at `rate`: nothing on its way.
    void set_rate(int rate) {
        baudRate = rate;
        txDone = Clock::time_point{};
    }
    // The port closed: what the next opening starts with.
    void closed() {
        baudRate = 0;
        txDone = Clock::time_point{};
        appliedTimeoutMs = -1;
        turnPauseMs = 0;
    }
};

// The one line of the process.
Line& line();

// Set by serial_interrupt(), from a signal handler or another thread: reads
// end as their time-out would end them until serial_clear_interrupt().
std::atomic<bool>& interrupt_flag();

} // namespace kelvor::serial_line
