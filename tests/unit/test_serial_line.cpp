// The read loop that every kind of port shares: the read time-out counted
// from the start and from each byte, the end of a read however steadily its
// bytes come, the bounds of a reader, and what a port's wait reports.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "ModuleSDK.h"
#include "port/SerialLine.h"

namespace sl = kelvor::serial_line;

namespace {

using Clock = sl::Clock;
using std::chrono::milliseconds;

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// The line of the process as each test wants it, and back as it was after.
class SerialLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = sl::line();
        sl::line().timeoutMs = 50;
        sl::line().baudRate = 0;
        sl::line().txDone = {};
        sl::line().bound = {};
        sl::interrupt_flag().store(false);
    }
    void TearDown() override {
        sl::line() = saved_;
        sl::interrupt_flag().store(false);
    }

private:
    sl::Line saved_;
};

// A port whose bytes come one every gapMs, for ever.
auto trickling(int gapMs) {
    return [gapMs](uint8_t* dst, int, int waitMs) {
        if (waitMs < gapMs) {
            std::this_thread::sleep_for(milliseconds(waitMs));
            return sl::WAIT_OVER;
        }
        std::this_thread::sleep_for(milliseconds(gapMs));
        dst[0] = 0x55;
        return 1;
    };
}

TEST_F(SerialLineTest, ATricklingLineCannotHoldARead) {
    struct Row {
        const char* name;
        int baudRate; // 0: no end of its own
        int boundMs;  // 0: no bound
        long long atMostMs;
    };
    const Row rows[] = {
        // At 100 Mbaud the wire time of the read's own allowance is 7 ms:
        // the read ends soon after its first time-out of 50 ms.
        {"the read's own end", 100'000'000, 0, 57},
        {"a reader's bound", 0, 120, 120},
        {"the nearer of both", 100'000'000, 20, 20},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sl::line().baudRate = row.baudRate;
        std::vector<uint8_t> buffer(1000);
        const auto start = Clock::now();
        int got = 0;
        {
            std::optional<sl::ReadBound> bound;
            if (row.boundMs > 0) bound.emplace(start + milliseconds(row.boundMs));
            got = sl::read_loop(buffer.data(), static_cast<int>(buffer.size()), trickling(10));
        }
        const long long took = ms_since(start);
        EXPECT_GE(took, row.atMostMs - 2);
        EXPECT_LT(took, row.atMostMs + 250); // a loaded machine oversleeps
        EXPECT_GE(got, 1);
        EXPECT_LE(got, row.atMostMs / 10 + 1);
        EXPECT_EQ(sl::line().bound, Clock::time_point{});
    }
}

TEST_F(SerialLineTest, TheTimeOutCountsFromTheStartAndFromEachByte) {
    // Silence: one time-out.
    auto start = Clock::now();
    uint8_t buffer[8] = {};
    EXPECT_EQ(sl::read_loop(buffer, 8, trickling(1000)), 0);
    EXPECT_GE(ms_since(start), 49);
    EXPECT_LT(ms_since(start), 300);
    // Bytes 30 ms apart, each within the 50 ms time-out of the one before:
    // all eight come, in 240 ms, without a bound.
    start = Clock::now();
    EXPECT_EQ(sl::read_loop(buffer, 8, trickling(30)), 8);
    EXPECT_GE(ms_since(start), 239);
}

// What a port's wait reports, in turn, and what the read makes of it.
TEST_F(SerialLineTest, WhatAWaitReports) {
    struct Row {
        const char* name;
        std::vector<int> results; // counts of bytes, or WAIT_OVER, WOKEN, HUNG_UP, READ_FAILED
        int expected;
    };
    const Row rows[] = {
        {"woken, then bytes", {sl::WOKEN, sl::WOKEN, 3, 5}, 8}, {"the wait over", {2, sl::WAIT_OVER}, 2},
        {"hung up after bytes", {3, sl::HUNG_UP}, 3},           {"hung up at once", {sl::HUNG_UP}, -1},
        {"failed after bytes", {3, sl::READ_FAILED}, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        size_t next = 0;
        uint8_t buffer[8] = {};
        const int got = sl::read_loop(buffer, 8, [&](uint8_t*, int want, int) {
            EXPECT_LT(next, row.results.size());
            const int r = next < row.results.size() ? row.results[next++] : sl::WAIT_OVER;
            return r > want ? want : r;
        });
        EXPECT_EQ(got, row.expected);
        EXPECT_EQ(next, row.results.size());
    }
    // An interrupt ends the read before its first wait.
    sl::interrupt_flag().store(true);
    uint8_t buffer[8] = {};
    const auto never = [](uint8_t*, int, int) {
        ADD_FAILURE() << "no wait after an interrupt";
        return 1;
    };
    EXPECT_EQ(sl::read_loop(buffer, 8, never), 0);
}

TEST_F(SerialLineTest, BoundsNestAndComeBack) {
    const auto now = Clock::now();
    {
        const sl::ReadBound outer(now + milliseconds(1000));
        EXPECT_EQ(sl::line().bound, now + milliseconds(1000));
        {
            const sl::ReadBound inner(now + milliseconds(100));
            EXPECT_EQ(sl::line().bound, now + milliseconds(100));
            // A later bound inside never lifts an earlier one.
            const sl::ReadBound later(now + milliseconds(5000));
            EXPECT_EQ(sl::line().bound, now + milliseconds(100));
        }
        EXPECT_EQ(sl::line().bound, now + milliseconds(1000));
    }
    EXPECT_EQ(sl::line().bound, Clock::time_point{});
}

} // namespace

namespace {
int g_heldRuns = 0;
void count_held_run() {
    ++g_heldRuns;
}
} // namespace

// Work held back (results written out several at once) runs once, before the
// line would keep the run waiting past its time, and never while bytes keep
// it busy; the read itself ends as it would without it.
TEST_F(SerialLineTest, HeldWorkRunsBeforeALongWaitOnly) {
    struct Row {
        const char* name;
        int dueMs; // from the read's start
        int gapMs; // a byte every gapMs (trickling), 1000: silence
        int runs;  // of the held work
        int got;   // bytes of the read of 8
        long long atLeastMs;
    };
    const Row rows[] = {
        {"bytes before its time", 500, 5, 0, 8, 39},
        {"silence past its time", 20, 1000, 1, 0, 49}, // the read still waits its whole time-out
        {"its time already past", 0, 5, 1, 8, 39},
        {"its time after the read's end", 5000, 1000, 0, 0, 49},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        g_heldRuns = 0;
        kelvor::serial_hold(row.dueMs, count_held_run);
        const auto start = Clock::now();
        uint8_t buffer[8] = {};
        EXPECT_EQ(sl::read_loop(buffer, 8, trickling(row.gapMs)), row.got);
        EXPECT_GE(ms_since(start), row.atLeastMs);
        EXPECT_EQ(g_heldRuns, row.runs);
        // What did not run is still held; it runs once, when asked.
        kelvor::serial_run_held();
        kelvor::serial_run_held();
        EXPECT_EQ(g_heldRuns, 1);
    }
}
