// Runs the simulated module as its own process and talks to it over its line
// with a tiny client built on the packet codec: packets in every form, data
// blocks and chunks, raw characters for the fault checks.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FarEnd.h"
#include "protocol/Packet.h"

namespace packet = kelvor::packet;

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t SUCCEED = 0x61, SCAN_SUCCESS = 0x62, SCAN_FAILED = 0x63, NOT_FOUND = 0x69,
                         NOT_MATCH = 0x6a, TRY_AGAIN = 0x6b, TIMEOUT = 0x6c, MEMORY_FULL = 0x6d,
                         ID_ALREADY_USED = 0x6e, ADD_NEW_TEMPLATE = 0x71, FINGER_LIMIT = 0x72,
                         ENROLL_CONTINUE = 0x74, NOT_SUPPORTED = 0x75, INVALID_ID = 0x76, AUTO_ID = 0x79,
                         DATA_CHECKSUM_ERROR = 0x82, DATA_ACCEPTED = 0x83, CHECK_FINGER = 0x84,
                         FINGER_ALREADY_ENROLLED = 0x86, ID_REJECTED = 0x90, DURESS_FINGER = 0x91,
                         ADD_DURESS_FINGER = 0x92, CARD_ERROR = 0xa0;

// The module process, serving a link in a directory of its own.
class Sim {
public:
    explicit Sim(const std::vector<std::string>& extra = {}, const std::string& dir = "") {
        dir_ = dir.empty() ? own_.path() : dir;
        link = dir_ + "/module";
        start(extra);
    }
    ~Sim() { stop(); }
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    void start(const std::vector<std::string>& extra) {
        args_ = extra;
        // A module that died leaves its link behind, and the new module's
        // pseudo-terminal may well get the same number: only a link made anew
        // tells that the new module is ready.
        unlink(link.c_str());
        std::vector<std::string> argv = {ORVANTI_SIM_BIN, "--link", link};
        argv.insert(argv.end(), extra.begin(), extra.end());
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            std::vector<char*> a;
            for (auto& s : argv) a.push_back(s.data());
            a.push_back(nullptr);
            execv(a[0], a.data());
            _exit(127);
        }
        // Ready once the link points at the pseudo-terminal.
        for (int i = 0; i < 500; ++i) {
            struct stat st {};
            if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && stat(link.c_str(), &st) == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the simulator did not come up";
    }
    // Ends the module as an operator does (SIGTERM) or as a crash does (SIGKILL).
    void stop(int sig = SIGTERM) {
        if (pid_ <= 0) return;
        kill(pid_, sig);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (sig == SIGKILL) unlink(link.c_str());
    }
    void restart() {
        stop();
        start(args_);
    }
    // A control invocation beside the running module.
    farend::RunResult control(const std::vector<std::string>& args) const {
        std::vector<std::string> a = {"--link", link};
        a.insert(a.end(), args.begin(), args.end());
        return farend::run_program(ORVANTI_SIM_BIN, a, dir_);
    }
    void place(const std::string& text) const { EXPECT_EQ(control({"--place", text}).status, 0); }
    void fault(const std::string& text) const { EXPECT_EQ(control({"--fault", text}).status, 0); }
    const std::string& dir() const { return dir_; }

    std::string link;

private:
    farend::TempDir own_;
    std::string dir_;
    std::vector<std::string> args_;
    pid_t pid_ = -1;
};

struct Answer {
    uint8_t command = 0;
    uint16_t moduleId = 0;
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
};

// The host's side of the line.
class Client {
public:
    explicit Client(const std::string& link, speed_t speed = B115200) {
        fd_ = open(link.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd_, 0) << "cannot open " << link;
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tcsetattr(fd_, TCSANOW, &tio);
        tcflush(fd_, TCIOFLUSH);
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void set_speed(speed_t speed) {
        termios tio{};
        tcgetattr(fd_, &tio);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tcsetattr(fd_, TCSANOW, &tio);
    }

    bool network = false;
    bool hex = false;
    uint16_t moduleId = 1;

    // Raw characters on the line.
    void write_raw(const Bytes& b) {
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t w = ::write(fd_, b.data() + done, b.size() - done);
            if (w <= 0) {
                ADD_FAILURE() << "write failed";
                return;
            }
            done += static_cast<size_t>(w);
        }
    }
    Bytes read_raw(size_t n, int timeoutMs = 2000) {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            uint8_t buf[4096];
            const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    // Bytes in the line's form (two characters each in hex-text mode).
    void write(const Bytes& b) {
        if (!hex) return write_raw(b);
        Bytes text(2 * b.size());
        packet::hex_encode(b.data(), b.size(), reinterpret_cast<char*>(text.data()));
        write_raw(text);
    }
    Bytes read(size_t n, int timeoutMs = 2000) {
        if (!hex) return read_raw(n, timeoutMs);
        const Bytes text = read_raw(2 * n, timeoutMs);
        Bytes out(text.size() / 2);
        packet::hex_decode(reinterpret_cast<const char*>(text.data()), out.size(), out.data());
        return out;
    }

    Bytes packet_bytes(uint8_t command, uint32_t p1, uint32_t p2, uint8_t flag,
                       std::optional<uint16_t> to = {}) const {
        packet::Buffer b;
        packet::Fields f;
        f.command = command;
        f.moduleId = to.value_or(moduleId);
        f.param1 = p1;
        f.param2 = p2;
        f.flag = flag;
        const size_t n = packet::encode(b, network, f);
        return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void send(uint8_t command, uint32_t p1 = 0, uint32_t p2 = 0, uint8_t flag = 0,
              std::optional<uint16_t> to = {}) {
        write(packet_bytes(command, p1, p2, flag, to));
    }
    // The next answer: skips to a start code, checks the checksum.
    std::optional<Answer> receive(int timeoutMs = 2000) {
        const uint8_t start = packet::start_code(network);
        const size_t len = packet::length(network);
        for (;;) {
            const Bytes first = read(1, timeoutMs);
            if (first.empty()) return std::nullopt;
            if (first[0] != start) continue;
            Bytes rest = read(len - 1, 1000);
            if (rest.size() != len - 1) return std::nullopt;
            Bytes pkt = first;
            pkt.insert(pkt.end(), rest.begin(), rest.end());
            if (!packet::checksum_ok(pkt.data(), network)) return std::nullopt;
            const packet::Fields f = packet::decode(pkt.data(), network);
            return Answer{f.command, f.moduleId, f.param1, f.param2, f.flag};
        }
    }
    // The answers that follow are exactly these flags, and then the module falls silent.
    ::testing::AssertionResult answers_are(const std::vector<uint8_t>& expected, int quietMs = 250) {
        std::vector<uint8_t> got;
        while (got.size() < expected.size()) {
            const auto a = receive(5000);
            if (!a) break;
            got.push_back(a->flag);
        }
        while (auto a = receive(quietMs)) got.push_back(a->flag);
        if (got == expected) return ::testing::AssertionSuccess();
        auto text = [](const std::vector<uint8_t>& v) {
            std::string s;
            for (uint8_t f : v) s += farend::hex_dump({f}) + " ";
            return s;
        };
        return ::testing::AssertionFailure() << "answers " << text(got) << "expected " << text(expected);
    }
    Answer expect(uint8_t flag, int timeoutMs = 3000) {
        const auto a = receive(timeoutMs);
        EXPECT_TRUE(a.has_value()) << "no answer, expected flag " << std::hex << int(flag);
        if (!a) return {};
        EXPECT_EQ(a->flag, flag) << std::hex << "command 0x" << int(a->command);
        return *a;
    }
    bool silent(int ms = 300) { return read_raw(1, ms).empty(); }

    // A data block: the bytes, then the end code.
    void send_block(const Bytes& data) {
        Bytes b = data;
        b.push_back(packet::END_CODE);
        write(b);
    }
    Bytes receive_block(size_t n) {
        Bytes b = read(n + 1, 5000);
        EXPECT_EQ(b.size(), n + 1);
        if (b.size() != n + 1) return {};
        EXPECT_EQ(b.back(), packet::END_CODE);
        b.pop_back();
        return b;
    }
    // Chunks to the module; returns the flags of its acknowledgements.
    std::vector<uint8_t> send_chunks(uint8_t command, const Bytes& data, size_t chunk,
                                     bool spoilFirst = false) {
        std::vector<uint8_t> acks;
        const size_t count = (data.size() + chunk - 1) / chunk;
        for (size_t i = 0; i < count; ++i) {
            const size_t at = i * chunk, len = std::min(chunk, data.size() - at);
            send(command, packet::chunk_param1(static_cast<uint16_t>(count), static_cast<uint16_t>(i)),
                 static_cast<uint32_t>(len), 0);
            Bytes body(data.begin() + static_cast<std::ptrdiff_t>(at),
                       data.begin() + static_cast<std::ptrdiff_t>(at + len));
            uint32_t sum = packet::byte_sum(body.data(), body.size()) + (spoilFirst && i == 0 ? 1 : 0);
            body.resize(len + 4);
            packet::put32(&body[len], sum);
            write(body);
            const auto ack = receive();
            if (!ack) break;
            acks.push_back(ack->flag);
            if (ack->flag != DATA_ACCEPTED) break;
        }
        return acks;
    }
    // Chunks from the module, acknowledged; a wrong checksum is refused with 0x82.
    struct Received {
        Bytes data;
        std::vector<uint32_t> lengths;
        bool sumsOk = true;
    };
    Received receive_chunks(size_t total) {
        Received r;
        while (r.data.size() < total) {
            const auto h = receive(3000);
            if (!h) {
                ADD_FAILURE() << "chunk header missing";
                return r;
            }
            const Bytes body = read(h->param2, 3000);
            const Bytes sum = read(4, 3000);
            if (body.size() != h->param2 || sum.size() != 4) {
                ADD_FAILURE() << "chunk cut short";
                return r;
            }
            const bool ok = packet::get32(sum.data()) == packet::byte_sum(body.data(), body.size());
            send(h->command, 0, 0, ok ? DATA_ACCEPTED : DATA_CHECKSUM_ERROR);
            r.lengths.push_back(h->param2);
            r.data.insert(r.data.end(), body.begin(), body.end());
            if (!ok) {
                r.sumsOk = false;
                return r;
            }
        }
        return r;
    }

private:
    int fd_ = -1;
};

// The image record as the host sends it for EI, VI and II: width*height bytes
// from the start of the record, so the header displaces the last 28 pixels.
inline Bytes host_image(const Bytes& record) {
    const uint32_t w = packet::get32(&record[0]), h = packet::get32(&record[4]);
    return Bytes(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(w * h));
}

} // namespace simtest
