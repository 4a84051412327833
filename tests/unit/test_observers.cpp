// What a program of its own sees of the library: the trace's lines through a
// sink instead of a file descriptor, every data transfer through the transfer
// observer, which may stop it, and a wait that the program interrupts.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LinkFixture.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;
using namespace linktest;

namespace {

std::vector<std::string>& sunk() {
    static std::vector<std::string> lines;
    return lines;
}

void sink(const char* text, size_t n, void* context) {
    EXPECT_EQ(context, &sunk());
    sunk().emplace_back(text, n);
}

TEST_F(LinkTest, TraceLinesGoToTheSinkOneByOne) {
    sunk().clear();
    trace_enable(TRACE_ERROR | TRACE_CALL | TRACE_DATA);
    trace_to(sink, &sunk());
    trace(TRACE_CALL, "one %d\ntwo\n", 1);
    trace(TRACE_COMM, "not shown\n");
    trace(TRACE_DATA, "Send: ");
    const uint8_t bytes[] = {0x40, 0x0a};
    trace_hex(TRACE_DATA, bytes, sizeof bytes);
    EXPECT_EQ(sunk().size(), 2u); // the dump is not a line yet
    trace_flush();
    trace(TRACE_ERROR, "three\n");
    trace_to(nullptr);
    const std::vector<std::string> want = {"[API] one 1\n", "two\n", "      [DATA] Send: 40 0a ",
                                           "[ERR] three\n"};
    EXPECT_EQ(sunk(), want);
    farend::TraceCapture cap(TRACE_ERROR);
    trace(TRACE_ERROR, "back to the file\n");
    EXPECT_EQ(cap.text(), "[ERR] back to the file\n");
    EXPECT_EQ(sunk().size(), want.size());
}

struct Watch {
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    size_t stopAt = SIZE_MAX; // the call that returns false
};

bool watch(uint64_t done, uint64_t total, void* context) {
    auto& w = *static_cast<Watch*>(context);
    w.seen.emplace_back(done, total);
    return w.seen.size() < w.stopAt;
}

void expect_steady(const Watch& w, uint64_t total) {
    ASSERT_FALSE(w.seen.empty());
    for (size_t i = 0; i < w.seen.size(); ++i) {
        EXPECT_EQ(w.seen[i].second, total);
        if (i > 0) {
            EXPECT_GE(w.seen[i].first, w.seen[i - 1].first);
        }
    }
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
    return b;
}

TEST_F(LinkTest, ObserverFollowsBlocksBothWaysToTheirEnd) {
    const Bytes block = pattern(10000);
    farend::Script s;
    s.open_sequence().send_raw(block).send_raw(hex("0a")).expect(block).expect(hex("0a"));
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    Watch in, out;
    transfer_observer(watch, &in);
    Bytes got(block.size());
    EXPECT_EQ(receive_data(got), 0);
    EXPECT_EQ(got, block);
    transfer_observer(watch, &out);
    EXPECT_EQ(send_data(block.data(), static_cast<uint32_t>(block.size())), 0);
    transfer_observer(nullptr);
    expect_steady(in, block.size());
    expect_steady(out, block.size());
    EXPECT_EQ(in.seen.back().first, block.size());
    EXPECT_EQ(out.seen.back().first, block.size());
    EXPECT_GT(in.seen.size(), 1u); // in pieces, not at the end alone
    done(fe);
}

TEST_F(LinkTest, ObserverStopsATransferBeforeItsNextPiece) {
    struct Case {
        const char* name;
        bool receive;
    };
    for (const Case c : {Case{"receive", true}, Case{"send", false}}) {
        SCOPED_TRACE(c.name);
        const Bytes block = pattern(20000);
        farend::Script s;
        s.open_sequence();
        if (c.receive) s.send_raw(block).send_raw(hex("0a"));
        farend::FarEnd fe(s);
        ASSERT_EQ(open(fe), 0);
        Watch w;
        w.stopAt = 1;
        transfer_observer(watch, &w);
        farend::TraceCapture cap(TRACE_ERROR);
        Bytes got(block.size());
        const int rc =
            c.receive ? receive_data(got) : send_data(block.data(), static_cast<uint32_t>(block.size()));
        EXPECT_EQ(rc, ERR_STOPPED);
        EXPECT_EQ(cap.text(), "[ERR] The transfer is stopped\n");
        EXPECT_EQ(w.seen.size(), 1u);
        EXPECT_LT(w.seen[0].first, block.size());
        EXPECT_TRUE(link_state().unsettled);
        transfer_observer(nullptr);
        module_close();
        fe.finish(50);
        reset();
    }
    EXPECT_STREQ(result_name(ERR_STOPPED), "stopped");
    EXPECT_EQ(result_class(ERR_STOPPED), ResultClass::LinkFailed);
}

TEST_F(LinkTest, ObserverStopsChunksBetweenChunks) {
    const Bytes data = pattern(3 * 64);
    farend::Script s;
    s.open_sequence();
    // The first chunk goes and is accepted; the second is never sent.
    s.expect_packet(cmd::UG, packet::chunk_param1(3, 0), 64, 0);
    s.expect(farend::concat({Bytes(data.begin(), data.begin() + 64),
                             farend::le32(packet::byte_sum(Bytes(data.begin(), data.begin() + 64)))}));
    s.answer(cmd::UG, 0, 0, DATA_ACCEPTED);
    farend::FarEnd fe(s);
    ASSERT_EQ(open(fe), 0);
    Watch w;
    w.stopAt = 2;
    transfer_observer(watch, &w);
    EXPECT_EQ(send_data_chunks(cmd::UG, data.data(), static_cast<uint32_t>(data.size()), 64), ERR_STOPPED);
    const std::vector<std::pair<uint64_t, uint64_t>> want = {{0, 192}, {64, 192}};
    EXPECT_EQ(w.seen, want);
    done(fe);
}

} // namespace

namespace {

// A command whose answer never comes, with a read time-out of 5 s: the wait
// ends as soon as serial_interrupt() is called, as its time-out would end it.
void expect_interrupted_wait(const std::function<void()>& interrupt_soon) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0);
    farend::FarEnd fe(s);
    ASSERT_EQ(kelvor::module_open(fe.port().c_str(), 0x35, 0, 0, 1, 5000), 0);
    const auto start = Clock::now();
    interrupt_soon();
    uint32_t status = 0;
    EXPECT_EQ(system_status_check(&status), ERR_READ_TIMEOUT);
    EXPECT_LT(ms_since(start), 2000);
    EXPECT_TRUE(serial_interrupted());
    // Until it is cleared every read ends at once.
    AnswerPacket answer{};
    const auto again = Clock::now();
    EXPECT_EQ(receive_answer(answer), ERR_READ_TIMEOUT);
    EXPECT_LT(ms_since(again), 1000);
    serial_clear_interrupt();
    EXPECT_FALSE(serial_interrupted());
    module_close();
    fe.finish(50);
}

void on_alarm(int) {
    serial_interrupt();
}

} // namespace

TEST_F(LinkTest, AnInterruptEndsAWaitFromAnotherThread) {
    std::thread interrupter;
    expect_interrupted_wait([&] {
        interrupter = std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            serial_interrupt();
        });
    });
    interrupter.join();
}

TEST_F(LinkTest, AnInterruptEndsAWaitFromASignalHandler) {
    struct sigaction action {};
    action.sa_handler = on_alarm;
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &before), 0);
    expect_interrupted_wait([] {
        itimerval timer{};
        timer.it_value.tv_usec = 150000;
        setitimer(ITIMER_REAL, &timer, nullptr);
    });
    sigaction(SIGALRM, &before, nullptr);
}
