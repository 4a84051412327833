#include "trace/Progress.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "ModuleSDK.h"
#include "trace/Console.h"
#include "trace/LineState.h"

namespace kelvor {

namespace {

struct Line {
    int baudRate = 0;
    int hexText = 0;
    bool shown = false; // a progress line stands on the terminal now
    console::LineControl control = console::LineControl::None;
    size_t width = 0; // characters of the line shown, for a console that erases with blanks
};

Line& line() {
    return line_state::part<Line>(line_state::PROGRESS);
}

struct Observer {
    TransferObserver observer = nullptr;
    void* context = nullptr;
};

Observer& watcher() {
    return line_state::part<Observer>(line_state::TRANSFER_OBSERVER);
}

// Piece of a transfer that is observed but not shown, when the line's rate is not known.
constexpr size_t OBSERVED_PIECE = 4096;

constexpr double SHOW_AFTER_SECONDS = 2.0;
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(200);
// The erase sequence: back to the start of the line, clear to its end.
constexpr char ERASE[] = "\r\033[K";

void write_stderr(const char* p, size_t n) {
    console::write_all(2, p, n);
}

// Blanks over the line shown, and back to its start.
std::string blanked(size_t width) {
    std::string text = "\r";
    text.append(width, ' ');
    return text + "\r";
}

void erase() {
    if (!line().shown) return;
    if (line().control == console::LineControl::Escapes) {
        write_stderr(ERASE, sizeof ERASE - 1);
    } else {
        const std::string blank = blanked(line().width);
        write_stderr(blank.data(), blank.size());
    }
    line().shown = false;
}

} // namespace

void transfer_observer_now(TransferObserver* observer, void** context) {
    *observer = watcher().observer;
    *context = watcher().context;
}

void transfer_observer(TransferObserver observer, void* context) {
    watcher() = {observer, context};
}

void progress_line_rate(int baudRate, int hexText) {
    line().baudRate = baudRate;
    line().hexText = hexText;
}

void progress_yield() {
    erase();
}

bool progress_worth_showing(uint64_t bytes, int baudRate, int hexText) {
    if (baudRate <= 0) return false;
    const double seconds = static_cast<double>(bytes) * 10.0 * (hexText == 1 ? 2.0 : 1.0) / baudRate;
    return seconds > SHOW_AFTER_SECONDS;
}

Progress::Progress(uint64_t total) : total_(total) {
    drawn_ = total > 0 && progress_worth_showing(total, line().baudRate, line().hexText);
    if (drawn_) line().control = console::line_control(2);
    drawn_ = drawn_ && line().control != console::LineControl::None;
    observed_ = total > 0 && watcher().observer != nullptr;
    active_ = drawn_ || observed_;
    if (!active_) return;
    start_ = Clock::now();
    if (drawn_) draw(0);
}

Progress::~Progress() {
    if (drawn_) erase();
}

size_t Progress::piece(size_t rest) const {
    if (!active_) return rest;
    // About a fifth of a second of the line per piece (bytes x 10 / rate).
    const size_t perPiece = line().baudRate > 0
                                ? std::max<size_t>(256, static_cast<size_t>(line().baudRate) / 50)
                                : OBSERVED_PIECE;
    return std::min(rest, perPiece);
}

bool Progress::update(uint64_t done) {
    if (!active_ || stopped_) return !stopped_;
    if (observed_ && !watcher().observer(std::min(done, total_), total_, watcher().context)) {
        stopped_ = true;
        return false;
    }
    if (!drawn_) return true;
    const auto now = Clock::now();
    if (line().shown && now - lastDraw_ < REDRAW_EVERY && done < total_) return true;
    draw(done);
    return true;
}

void Progress::draw(uint64_t done) {
    const auto now = Clock::now();
    lastDraw_ = now;
    done = std::min(done, total_);
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double rate = elapsed > 0.05 && done > 0 ? static_cast<double>(done) / elapsed : 0.0;
    char text[128];
    int n;
    if (rate > 0) {
        const auto left = static_cast<unsigned long>(static_cast<double>(total_ - done) / rate + 0.5);
        n = std::snprintf(text, sizeof text, "\r%3u%% %llu/%llu bytes %.1f kB/s %lu:%02lu left\033[K",
                          static_cast<unsigned>(done * 100 / total_), static_cast<unsigned long long>(done),
                          static_cast<unsigned long long>(total_), rate / 1000.0, left / 60, left % 60);
    } else {
        n = std::snprintf(text, sizeof text, "\r%3u%% %llu/%llu bytes\033[K",
                          static_cast<unsigned>(done * 100 / total_), static_cast<unsigned long long>(done),
                          static_cast<unsigned long long>(total_));
    }
    if (n <= 0) return;
    size_t length = std::min(static_cast<size_t>(n), sizeof text - 1);
    if (line().control == console::LineControl::Escapes) {
        write_stderr(text, length);
    } else {
        // Without escape sequences: the text without "erase to the end", and
        // blanks over what a longer line before left.
        std::string plain(text, length);
        if (const size_t esc = plain.rfind("\033[K"); esc != std::string::npos) plain.erase(esc);
        const size_t width = plain.size() - 1;
        if (width < line().width) plain.append(line().width - width, ' ');
        line().width = std::max(width, line().width);
        write_stderr(plain.data(), plain.size());
    }
    line().shown = true;
}

} // namespace kelvor
