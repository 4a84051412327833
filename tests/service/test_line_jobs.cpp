// The service's line against the simulated module: a job is stopped when it
// passes the longest time any job may take, when its owner is gone, or by its
// owner's cancel, and the line goes on with the next job at once.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "Line.h"
#include "SimHarness.h"

using namespace kelvord;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct OpenLine {
    simtest::Sim sim{{"--modules", "1"}};
    std::unique_ptr<Line> line;

    explicit OpenLine(int jobSecondsMax) {
        LineOptions o;
        o.settings.port = sim.link;
        o.settings.network = 1;
        o.settings.moduleId = 1;
        o.settings.readTimeout = 5000;
        o.heartbeatMs = 0;
        o.jobSecondsMax = jobSecondsMax;
        line = std::make_unique<Line>(
            o, [](std::string) {}, [](const std::string&) {});
        line->start();
        const auto deadline = Clock::now() + 10s;
        while (line->snapshot().state != "open" && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    }
    ~OpenLine() { line->stop(); }
};

TEST(LineJobs, AStoppedJobIsAnsweredWhyAndTheNextGoesOutAtOnce) {
    struct Row {
        const char* what;
        int jobSecondsMax;
        // What stops the scan once it runs: nothing (the ceiling), or this.
        std::function<void(Line&, std::shared_ptr<int>&)> stop;
        const char* why;
        double atLeast, atMost; // seconds from the submission to the scan's outcome
    };
    const Row rows[] = {
        {"past the ceiling", 1, nullptr, "longer than the 1 s that any job may take", 1.0, 2.5},
        {"its owner gone without a word", 60, [](Line&, std::shared_ptr<int>& owner) { owner.reset(); },
         "the client is gone", 0.0, 1.5},
        {"its owner's cancel", 60,
         [](Line& l, std::shared_ptr<int>& owner) {
             EXPECT_TRUE(l.cancel({owner, "\"s\""}));
         },
         "cancelled", 0.0, 1.5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        OpenLine open(row.jobSecondsMax);
        ASSERT_EQ(open.line->snapshot().state, "open");
        auto owner = std::make_shared<int>(0);
        const std::weak_ptr<const void> weak = owner;
        std::promise<Line::ScanOutcome> scanned;
        const auto started = Clock::now();
        // Two IDs that nobody answers, ten minutes each.
        open.line->submit_scan({weak, "\"s\""}, 2, 3, -1, 600000,
                               [&scanned](Line::ScanOutcome o) { scanned.set_value(std::move(o)); });
        if (row.stop) {
            while (!open.line->snapshot().busy && Clock::now() - started < 5s)
                std::this_thread::sleep_for(5ms);
            // Another owner's cancel of the same id touches nothing.
            const auto stranger = std::make_shared<int>(1);
            EXPECT_FALSE(open.line->cancel({stranger, "\"s\""}));
            row.stop(*open.line, owner);
        }
        auto outcome = scanned.get_future();
        ASSERT_EQ(outcome.wait_for(10s), std::future_status::ready);
        const double took = std::chrono::duration<double>(Clock::now() - started).count();
        EXPECT_GE(took, row.atLeast);
        EXPECT_LE(took, row.atMost);
        const Line::ScanOutcome o = outcome.get();
        ASSERT_TRUE(std::holds_alternative<std::string>(o));
        EXPECT_NE(std::get<std::string>(o).find(row.why), std::string::npos) << std::get<std::string>(o);
        // The next job goes out at once, and the module answers it.
        auto next = std::make_shared<int>(2);
        std::promise<CommandOutcome> checked;
        CommandRequest ss;
        ss.code = kelvor::packet::cmd::SS;
        const auto asked = Clock::now();
        open.line->submit_command({next, "1"}, ss,
                                  [&checked](CommandOutcome c) { checked.set_value(std::move(c)); });
        auto answer = checked.get_future();
        ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
        EXPECT_LE(std::chrono::duration<double>(Clock::now() - asked).count(), 1.0);
        const CommandOutcome c = answer.get();
        ASSERT_TRUE(std::holds_alternative<CommandResult>(c));
        EXPECT_EQ(std::get<CommandResult>(c).result, 0);
    }
}

} // namespace
