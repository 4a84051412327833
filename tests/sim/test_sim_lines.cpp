// Several lines in one process, each a kelvor::Line of its own on a simulated
// module of its own: commands and transfers on all of them at once, from a
// thread each, with each answer the one of its own module; and what one line
// holds (trace, interrupt, link state, settings, observers) never seen on
// another or on the process's default line.
#include "SimHarness.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "ModuleSDK.h"

using namespace simtest;
using kelvor::CommandRequest;
using kelvor::Line;
using kelvor::Outcome;

namespace {

constexpr int TIMEOUT_MS = 3000;

CommandRequest request(const char* keyword, uint32_t p1 = 0, uint32_t p2 = 0, uint8_t flag = 0) {
    CommandRequest r;
    r.keyword = keyword;
    r.param1 = p1;
    r.param2 = p2;
    r.flag = flag;
    return r;
}

const kelvor::Value* value(const Outcome& o, const char* name) {
    return o.values.find(name);
}

// What one line's thread found, checked on the main thread.
struct Found {
    int opened = -1;
    int statusResult = -1;
    int enrolled = -1;
    uint32_t listed = 0;
    std::vector<uint8_t> listBytes;
    int scanned = -1;
    std::vector<uint8_t> image;
    int reread = -1;
    std::vector<uint8_t> imageAgain;
    uint32_t parameter = 0;
    uint16_t moduleIdSeen = 0;
};

// On line `i`: the module's own finger i + 1, its own user 100 + i, its own
// value of a system parameter; an image scanned and read again.
void work_on(Line& line, const std::string& port, int i, Found& f) {
    f.opened = line.open(port.c_str(), 0x35, 0, 0, 1, TIMEOUT_MS);
    if (f.opened != 0) return;
    f.statusResult = line.run(request("SS")).result;
    // The scan's time-out differs from line to line.
    const uint32_t period = 0x31 + static_cast<uint32_t>(i % 9);
    line.run(request("SW", 0, period, kelvor::packet::param::TIMEOUT_PERIOD));
    const Outcome read = line.run(request("SR", 0, 0, kelvor::packet::param::TIMEOUT_PERIOD));
    if (const kelvor::Value* v = value(read, "value")) f.parameter = static_cast<uint32_t>(v->integer);
    f.enrolled = line.run(request("ES", 100 + static_cast<uint32_t>(i), 0, 0x71)).result;
    const Outcome listed = line.run(request("LT"));
    f.listBytes = listed.output;
    if (const kelvor::Value* v = value(listed, "count")) f.listed = static_cast<uint32_t>(v->integer);
    const Outcome scan = line.run(request("SI"));
    f.scanned = scan.result;
    f.image = scan.output;
    const Outcome again = line.run(request("RI"));
    f.reread = again.result;
    f.imageAgain = again.output;
    f.moduleIdSeen = line.link_state().moduleId;
}

class Lines : public ::testing::TestWithParam<int> {};

TEST_P(Lines, EachAnswersFromItsOwnModuleWhileAllRunAtOnce) {
    const int n = GetParam();
    std::vector<std::unique_ptr<Sim>> sims;
    for (int i = 0; i < n; ++i) {
        sims.push_back(std::make_unique<Sim>());
        sims.back()->place(std::to_string(i + 1));
    }
    std::vector<Line> lines(static_cast<size_t>(n));
    std::vector<Found> found(static_cast<size_t>(n));
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            work_on(lines[static_cast<size_t>(i)], sims[static_cast<size_t>(i)]->link, i,
                    found[static_cast<size_t>(i)]);
        });
    for (auto& t : threads) t.join();

    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE("line " + std::to_string(i));
        const Found& f = found[static_cast<size_t>(i)];
        ASSERT_EQ(f.opened, 0);
        EXPECT_EQ(f.statusResult, 0);
        EXPECT_EQ(f.parameter, 0x31 + static_cast<uint32_t>(i % 9));
        EXPECT_EQ(f.enrolled, 0);
        // Its own user alone: the other lines' enrollments went elsewhere.
        EXPECT_EQ(f.listed, 1u);
        ASSERT_EQ(f.listBytes.size(), 4u);
        EXPECT_EQ(f.listBytes[0] | f.listBytes[1] << 8, 100 + i);
        EXPECT_EQ(f.scanned, 0);
        ASSERT_EQ(f.image.size(), kelvor::IMAGE_RECORD_SIZE);
        EXPECT_EQ(f.reread, 0);
        EXPECT_EQ(f.imageAgain, f.image);
        EXPECT_EQ(f.moduleIdSeen, 1);
    }
    // Another finger, another image: no line got another line's transfer.
    for (int i = 1; i < n; ++i) EXPECT_NE(found[static_cast<size_t>(i)].image, found[0].image) << i;
    // The process's own line saw none of it.
    EXPECT_FALSE(Line::process().is_open());
    EXPECT_FALSE(kelvor::link_state().open);
}

INSTANTIATE_TEST_SUITE_P(TwoAndEight, Lines, ::testing::Values(2, 8));

void keep_trace(const char* text, size_t n, void* context) {
    auto* t = static_cast<std::pair<std::mutex, std::string>*>(context);
    const std::lock_guard<std::mutex> lock(t->first);
    t->second.append(text, n);
}

TEST(Lines, TraceAndObserversBelongToTheirLine) {
    Sim a, b;
    a.place("1");
    b.place("2");
    Line la, lb;
    std::pair<std::mutex, std::string> traceA, traceB;
    la.trace_to(keep_trace, &traceA);
    lb.trace_to(keep_trace, &traceB);
    la.trace_enable(kelvor::TRACE_CALL | kelvor::TRACE_COMM);
    EXPECT_EQ(la.trace_mask(), kelvor::TRACE_CALL | kelvor::TRACE_COMM);
    EXPECT_EQ(lb.trace_mask(), 0u);
    EXPECT_EQ(kelvor::trace_mask(), 0u);
    std::atomic<int> transfersSeenA{0}, transfersSeenB{0};
    la.transfer_observer(
        [](uint64_t, uint64_t, void* c) {
            ++*static_cast<std::atomic<int>*>(c);
            return true;
        },
        &transfersSeenA);
    std::thread ta([&] {
        ASSERT_EQ(la.open(a.link.c_str(), 0x35, 0, 0, 1, TIMEOUT_MS), 0);
        EXPECT_EQ(la.run(request("SI")).result, 0);
    });
    std::thread tb([&] {
        ASSERT_EQ(lb.open(b.link.c_str(), 0x35, 0, 0, 1, TIMEOUT_MS), 0);
        EXPECT_EQ(lb.run(request("SI")).result, 0);
    });
    ta.join();
    tb.join();
    EXPECT_NE(traceA.second.find("[COM]"), std::string::npos) << traceA.second;
    EXPECT_TRUE(traceB.second.empty()) << traceB.second;
    EXPECT_GT(transfersSeenA.load(), 0);
    EXPECT_EQ(transfersSeenB.load(), 0);
}

TEST(Lines, AnInterruptEndsTheWaitOfItsLineAlone) {
    Sim waiting, busy;
    waiting.place("none");
    Line lw, lb;
    ASSERT_EQ(lw.open(waiting.link.c_str(), 0x35, 0, 0, 1, TIMEOUT_MS), 0);
    // The module waits for a finger as long as it can (0x39: nine tenths of a second).
    ASSERT_EQ(lw.run(request("SW", 0, 0x39, kelvor::packet::param::TIMEOUT_PERIOD)).result, 0);
    ASSERT_EQ(lb.open(busy.link.c_str(), 0x35, 0, 0, 1, TIMEOUT_MS), 0);
    std::atomic<bool> done{false};
    int waitResult = 0;
    // A scan with no finger placed waits for one (up to the module's own time-out).
    std::thread tw([&] {
        waitResult = lw.run(request("ST")).result;
        done = true;
    });
    int statusFailures = 0;
    std::thread tb([&] {
        for (int k = 0; k < 20; ++k)
            if (lb.run(request("SS")).result != 0) ++statusFailures;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    lw.interrupt();
    tw.join();
    tb.join();
    // Ended by the interrupt, as a read time-out, not by the module's own time-out.
    EXPECT_EQ(waitResult, kelvor::ERR_READ_TIMEOUT) << kelvor::result_name(waitResult);
    EXPECT_TRUE(lw.interrupted());
    EXPECT_FALSE(lb.interrupted());
    EXPECT_FALSE(Line::process().interrupted());
    EXPECT_EQ(statusFailures, 0);
    lw.clear_interrupt();
    EXPECT_EQ(lw.run(request("SS")).result, 0);
}

TEST(Lines, AMovedLineKeepsItsPortAndTheOneMovedFromStartsAfresh) {
    Sim sim;
    Line first;
    ASSERT_EQ(first.open(sim.link.c_str(), 0x35, 0, 0, 1, TIMEOUT_MS), 0);
    Line second(std::move(first));
    EXPECT_TRUE(second.is_open());
    EXPECT_EQ(second.run(request("SS")).result, 0);
    EXPECT_FALSE(first.is_open()); // NOLINT(bugprone-use-after-move): a moved-from Line is usable
    // A port held by a Line is the Line's: another Line cannot take it.
    Line third;
    EXPECT_NE(third.open(sim.link.c_str(), 0x35, 0, 0, 1, TIMEOUT_MS), 0);
    second = Line();
    EXPECT_EQ(third.open(sim.link.c_str(), 0x35, 0, 0, 1, TIMEOUT_MS), 0);
    EXPECT_EQ(third.run(request("SS")).result, 0);
}

} // namespace
