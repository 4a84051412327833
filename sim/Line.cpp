#include "Line.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sim {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

// How long a write may wait for the far side to take bytes before the module
// gives the answer up (nobody is reading the line).
constexpr int WRITE_STALL_MS = 3000;

uint32_t speed_of(speed_t s) {
    switch (s) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
    }
}

} // namespace

bool stop_requested() {
    return g_stop != 0;
}

void install_stop_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocked poll returns at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

uint32_t baud_rate(uint32_t code) {
    return packet::baud_rate_of(code);
}

Line::~Line() {
    if (!link_.empty()) {
        struct stat st {};
        if (lstat(link_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link_.c_str());
    }
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

bool Line::open(const std::string& linkPath, std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
        error = "cannot name the pseudo-terminal";
        return false;
    }
    device_ = name;
    slave_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        error = "cannot open " + device_ + ": " + std::strerror(errno);
        return false;
    }
    termios tio{};
    if (tcgetattr(slave_, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(slave_, TCSANOW, &tio);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = linkPath + " exists and is not a symbolic link";
        return false;
    }
    wantedLink_ = linkPath;
    return true;
}

bool Line::publish(std::string& error) {
    unlink(wantedLink_.c_str());
    if (symlink(device_.c_str(), wantedLink_.c_str()) != 0) {
        error = "cannot create the link " + wantedLink_ + ": " + std::strerror(errno);
        return false;
    }
    link_ = wantedLink_;
    return true;
}

bool Line::baud_matches() const {
    if (!strictBaud_) return true;
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) return true;
    const uint32_t rate = speed_of(cfgetospeed(&tio));
    return rate == 0 || rate == baud_;
}

void Line::pace_for(size_t chars) const {
    if (!pace_ || baud_ == 0 || chars == 0) return;
    // Ten bit times per character: start bit, eight data bits, stop bit.
    const auto us = static_cast<long long>(chars) * 10 * 1000000 / baud_;
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

bool Line::fill(int timeoutMs) {
    if (rxPos_ == rx_.size()) {
        rx_.clear();
        rxPos_ = 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (stop_requested()) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd p{master_, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(std::max<long long>(0, left)));
        if (r < 0 && errno != EINTR) return false;
        if (r > 0 && (p.revents & POLLIN)) {
            uint8_t buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                pace_for(static_cast<size_t>(n));
                if (!baud_matches()) continue; // garbage at the wrong rate
                rx_.insert(rx_.end(), buf, buf + n);
                return true;
            }
        }
        if (left <= 0) return false;
    }
}

bool Line::raw_char(uint8_t& c, int timeoutMs) {
    if (rxPos_ == rx_.size() && !fill(timeoutMs)) return false;
    c = rx_[rxPos_++];
    return true;
}

bool Line::read_byte(uint8_t& out, int timeoutMs) {
    if (!hex_) return raw_char(out, timeoutMs);
    uint8_t hi = 0, lo = 0;
    if (!raw_char(hi, timeoutMs) || !raw_char(lo, timeoutMs)) return false;
    out = static_cast<uint8_t>(16 * packet::hex_value(hi) + packet::hex_value(lo));
    return true;
}

size_t Line::read(uint8_t* out, size_t n, int gapMs) {
    size_t got = 0;
    if (hex_) {
        while (got < n && read_byte(out[got], gapMs)) ++got;
        return got;
    }
    while (got < n) {
        if (rxPos_ == rx_.size() && !fill(gapMs)) break;
        const size_t take = std::min(n - got, rx_.size() - rxPos_);
        std::memcpy(out + got, rx_.data() + rxPos_, take);
        rxPos_ += take;
        got += take;
    }
    return got;
}

void Line::drop_input() {
    rx_.clear();
    rxPos_ = 0;
    uint8_t buf[4096];
    while (::read(master_, buf, sizeof buf) > 0) {
    }
}

bool Line::write_raw(const uint8_t* bytes, size_t n) {
    if (capture_ != nullptr) {
        capture_->insert(capture_->end(), bytes, bytes + n);
        return true;
    }
    // Slices of about 10 ms of line time when paced, so that the far side sees
    // the bytes arrive at the rate of the line.
    // Each slice is due at its place in one schedule that starts with the
    // write, so the sleeps' own lateness does not add up over a long block.
    const size_t slice = pace_ ? std::max<size_t>(1, baud_ / 1000) : n;
    const auto start = std::chrono::steady_clock::now();
    size_t done = 0;
    while (done < n) {
        if (stop_requested()) return false;
        const size_t want = std::min(slice, n - done);
        size_t sent = 0;
        while (sent < want) {
            const ssize_t w = ::write(master_, bytes + done + sent, want - sent);
            if (w > 0) {
                sent += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd p{master_, POLLOUT, 0};
            if (poll(&p, 1, WRITE_STALL_MS) <= 0) {
                // Nobody takes the bytes: forget what is queued for the far side.
                tcflush(slave_, TCIFLUSH);
                return false;
            }
        }
        done += want;
        if (pace_ && baud_ != 0) {
            // Ten bit times per character: start bit, eight data bits, stop bit.
            const auto due =
                start + std::chrono::microseconds(static_cast<long long>(done) * 10 * 1000000 / baud_);
            std::this_thread::sleep_until(due);
        }
    }
    return true;
}

bool Line::write(const uint8_t* bytes, size_t n) {
    if (capture_ != nullptr) {
        capture_->insert(capture_->end(), bytes, bytes + n);
        return true;
    }
    if (!hex_) return write_raw(bytes, n);
    std::vector<char> text(2 * n);
    packet::hex_encode(bytes, n, text.data());
    return write_raw(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

} // namespace sim
