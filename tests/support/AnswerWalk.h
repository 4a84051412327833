// One call per row against a scripted module: the packet it must send, what
// the module answers, the result and the trace that come of it. The command
// tests of the database, administrator and firmware families walk their
// tables through it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

namespace answerwalk {

inline farend::Exchange run_on(const farend::Script& script, const std::function<int()>& call) {
    return farend::run_in_process(script, call, {.traceMask = 0x03, .finishGraceMs = 20});
}

struct Answer {
    uint8_t flag;
    uint32_t param1 = 0;
    uint32_t param2 = 0;
};

struct Case {
    const char* name;
    std::function<int()> call;
    uint8_t command;
    uint32_t param1;
    uint32_t param2;
    uint8_t flag;
    std::vector<Answer> answers;
    int rc;
    const char* trace;
};

// Each row after an opening with SCAN_SUCCESS answers on.
inline void walk(std::span<const Case> cases) {
    using farend::Exchange;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::Script s;
        s.open_sequence(0x30, 0x30, 0x31).expect_packet(c.command, c.param1, c.param2, c.flag);
        for (const Answer& a : c.answers) s.answer(c.command, a.param1, a.param2, a.flag);
        const Exchange r = run_on(s, c.call);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.trace, c.trace);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

class CommandTest : public ::testing::Test {
protected:
    void SetUp() override { farend::reset_library(farend::Keywords::Refill); }
    void TearDown() override { farend::reset_library(); }
};

} // namespace answerwalk
