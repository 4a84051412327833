// What the serial port keeps alike on every system: the line's rate and read
// time-out, when the bytes written have left the port, the bounds on a whole
// answer or transfer, the turn pause of a shared line, what the latest opening
// and the latest read or write found, and the loop of every read. The file of
// each kind of port (SerialPosix.cpp, SerialWin32.cpp) moves the bytes; this
// keeps the time.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
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
    // For a port behind a network server, the round trip to the server
    // measured at the opening (bounded): the answer comes that much later
    // than on a local line. 0 on a local port.
    std::chrono::microseconds networkDelay{0};

    // The end of a read's wait for its first byte: the module cannot answer
    // before it has had the bytes sent to it, nor its answer arrive before it
    // has crossed the network.
    Clock::time_point first_deadline() const {
        return std::max(Clock::now(), txDone) + std::chrono::milliseconds(timeoutMs) + networkDelay;
    }
    // The end of the wait for the byte after one that just came.
    Clock::time_point next_deadline() const { return Clock::now() + std::chrono::milliseconds(timeoutMs); }
    // A deadline no later than the bound, when there is one.
    Clock::time_point within_bound(Clock::time_point deadline) const {
        return bound == Clock::time_point{} ? deadline : std::min(deadline, bound);
    }
    // The time-out and the wire time of `bytes` from now: the end of reads
    // that carry at most that much, however steadily the bytes come.
    Clock::time_point end_after(uint64_t bytes) const {
        return first_deadline() + wire_time(bytes, baudRate);
    }
    // The reads that follow end within the time-out and the wire time of `bytes`.
    void bind(uint64_t bytes) { bound = end_after(bytes); }
    // The latest end of a single read of n bytes, within the bound: the
    // time-out for its first byte and the wire time of twice its bytes and
    // READ_SLACK_BYTES besides, so that a line whose bytes trickle in one by
    // one, each within the time-out of the one before, cannot hold it for
    // ever. Callers that know better bound their reads more tightly.
    static constexpr uint64_t READ_SLACK_BYTES = 0x10000;
    Clock::time_point read_end(uint64_t n) const {
        if (baudRate <= 0) return within_bound(Clock::time_point::max());
        return within_bound(end_after(READ_SLACK_BYTES + 2 * n));
    }
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
        networkDelay = std::chrono::microseconds(0);
    }
};

// The line of the calling thread (its Line in scope, or the process's).
Line& line();

// Work a program holds back while the line keeps it busy (results written out
// several at once): it runs once, before any wait of a read would go past
// `due`, before a write that may wait for room, before a turn's pause, and
// when a signal ends the program. Nothing when `work` is null.
struct Held {
    // Taken by whoever runs it: a signal handler, or on Windows the thread of
    // a console break, never runs it twice.
    std::atomic<void (*)()> work{nullptr};
    Clock::time_point due{};
};
Held& held();
// The held work, done now; nothing held afterwards.
void run_held();

// Set by serial_interrupt(), from a signal handler or another thread: reads
// end as their time-out would end them until serial_clear_interrupt().
std::atomic<bool>& interrupt_flag();

// While one lives, reads end by `until` at the latest (or by an earlier bound
// already set); the bound before it is back when it goes. For a reader that
// reads piece by piece (a packet after its text lines, a drain, a data block
// with a progress line) and must be over by a time of its own.
class ReadBound {
public:
    explicit ReadBound(Clock::time_point until) : saved_(line().bound) {
        line().bound = line().within_bound(until);
    }
    ~ReadBound() { line().bound = saved_; }
    ReadBound(const ReadBound&) = delete;
    ReadBound& operator=(const ReadBound&) = delete;

private:
    Clock::time_point saved_;
};

// What one wait of a port found, when no byte came (a positive result is the
// count of bytes read).
inline constexpr int WAIT_OVER = 0;    // the whole wait passed without a byte
inline constexpr int READ_FAILED = -1; // the read failed (portLost set when the port is gone)
inline constexpr int HUNG_UP = -2;     // the line hung up: nothing more will come
inline constexpr int WOKEN = -3; // back before the wait was over (a signal, an interrupt, a slice of it)

// The read of every kind of port: up to n bytes into dst, until all came, the
// time-out passed without a new byte (counted from the start until the first
// byte and from each byte to the next), the read's own end or the line's bound
// came (checked before every wait, so that bytes that keep coming never hold
// it), or serial_interrupt() stopped it. `wait(dst, want, waitMs)` waits at
// most waitMs for bytes and reads up to `want` of them: a count, or one of the
// results above. The count that arrived, or -1 when the read failed (or the
// line hung up before a byte came).
template <class Wait> int read_loop(uint8_t* dst, int n, Wait&& wait) {
    Line& l = line();
    const Held& h = held();
    const Clock::time_point end = l.read_end(n > 0 ? static_cast<uint64_t>(n) : 0);
    Clock::time_point deadline = l.first_deadline();
    int got = 0;
    while (got < n) {
        if (interrupt_flag().load()) break;
        const Clock::time_point now = Clock::now();
        Clock::time_point until = std::min(deadline, end);
        // Work held back is done when its time comes, and a wait that would
        // go past that time stops there first.
        const bool cut = h.work.load(std::memory_order_relaxed) != nullptr && h.due < until;
        if (cut) {
            if (h.due <= now) {
                run_held();
                continue;
            }
            until = h.due;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        if (left <= 0) break;
        const int r = wait(dst + got, n - got, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (r > 0) {
            got += r;
            deadline = l.next_deadline();
        } else if (r == WAIT_OVER) {
            if (cut) continue;
            break;
        } else if (r == HUNG_UP) {
            // What arrived before is handed over; the next read fails.
            return got > 0 ? got : -1;
        } else if (r != WOKEN) {
            return -1;
        }
    }
    return got;
}

} // namespace kelvor::serial_line
