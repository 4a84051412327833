// A progress line for long transfers: shown on the standard error stream only
// when it is a terminal and the transfer is expected to take more than about
// two seconds on the wire; one line that overwrites itself and is erased when
// the transfer ends, so the trace reads as it would without it. The transfer
// observer of the program (transfer_observer) is told of every transfer, long
// or short, and may stop it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "ModuleSDK.h"

namespace kelvor {

// The line's rate and form, set when the connection opens: bytes × 10 / rate
// seconds on the wire, twice that in hex-text mode.
void progress_line_rate(int baudRate, int hexText);

// Erases a progress line that is shown, before the trace writes a line; the
// next update draws it again.
void progress_yield();

class Progress {
public:
    // A transfer of `total` bytes; inactive when it is short or stderr is no terminal.
    explicit Progress(uint64_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Whether the transfer goes in pieces: a line is shown or an observer is told.
    bool active() const { return active_; }
    // Most bytes to move in one read or write so that the line keeps moving:
    // the whole rest when inactive.
    size_t piece(size_t rest) const;
    // `done` bytes of the total have moved. False when the observer stops the
    // transfer (it is not asked again).
    bool update(uint64_t done);

private:
    using Clock = std::chrono::steady_clock;
    void draw(uint64_t done);

    uint64_t total_;
    bool active_ = false;
    bool drawn_ = false;    // a progress line is shown for it
    bool observed_ = false; // the observer is told
    bool stopped_ = false;
    Clock::time_point start_;
    Clock::time_point lastDraw_;
};

// The program's transfer observer as it stands (to put it back after one of a command's own).
void transfer_observer_now(TransferObserver* observer, void** context);

// Whether a transfer of `bytes` at `baudRate` (hex text doubling it) is long
// enough for a progress line.
bool progress_worth_showing(uint64_t bytes, int baudRate, int hexText);

} // namespace kelvor
