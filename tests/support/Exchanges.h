// Exchanges with a scripted module as table rows: the script after the
// opening, the call, its result and trace, run in UTC.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <span>

#include "FarEnd.h"
#include "InProcess.h"
#include "TimeZone.h"

namespace farend {

struct ExchangeCase {
    const char* name;
    std::function<void(Script&)> script;
    std::function<int()> call;
    int rc;
    const char* trace;
};

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override { reset_library(Keywords::Refill); }
    void TearDown() override { reset_library(); }
};

// Each row after the opening: its result, its exact trace, and a far end that
// got what it expected and nothing more. `before` runs ahead of each row,
// `after` once its checks are done.
inline void run_exchanges(std::span<const ExchangeCase> cases,
                          const std::function<void(const ExchangeCase&)>& before = {},
                          const std::function<void(const ExchangeCase&)>& after = {}) {
    for (const ExchangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        TimeZone zone("UTC");
        if (before) before(c);
        Script s;
        s.open_sequence();
        c.script(s);
        const Exchange r = run_in_process(s, c.call, {.finishGraceMs = 20});
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.trace, c.trace);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << hex_dump(r.far.extra);
        if (after) after(c);
    }
}

} // namespace farend
