// What the Wiegand, smart card and card enrollment tests share: a scripted
// module reached in process, and the walk of each command's answer table.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"
#include "TableRows.h"
#include "engine/Tables.h"

namespace peripheral {

inline constexpr uint32_t SCAN_SUCCESS_OFF = 0x30;
inline constexpr uint32_t SCAN_SUCCESS_ON = 0x31;

inline farend::Exchange run_on(const farend::Script& script, const std::function<int()>& call) {
    return farend::run_in_process(script, call, {.traceMask = 0x03, .finishGraceMs = 20});
}

class PeripheralCommands : public ::testing::Test {
protected:
    void SetUp() override { farend::reset_library(farend::Keywords::Refill); }
    void TearDown() override { farend::reset_library(); }
};

inline void expect_clean(const farend::Exchange& r) {
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

// A command and the answer table it applies to its answers other than SUCCEED.
struct CommandTable {
    const char* name;
    uint8_t command;
    std::function<int()> call;
    kelvor::answers::Table table;
};

// Every row of each command's table, its catch-all row met by flags that no
// row names; every table ends with the busy and catch-all rows that all these
// commands share.
inline void expect_table_answers(std::span<const CommandTable> cases) {
    const kelvor::answers::Table shared = kelvor::answers::busyOrUnknown;
    for (const CommandTable& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GE(c.table.size(), shared.size());
        const auto tail = c.table.last(shared.size());
        for (size_t i = 0; i < shared.size(); ++i) {
            EXPECT_EQ(tail[i].flag, shared[i].flag);
            EXPECT_STREQ(tail[i].message.text, shared[i].message.text);
            EXPECT_EQ(tail[i].code, shared[i].code);
        }
        for (const auto& [flag, row] : tablerows::meetings(c.table, {0x62, 0xff})) {
            SCOPED_TRACE("flag " + std::to_string(flag));
            farend::Script s;
            // What goes out is checked elsewhere; here only the answer matters,
            // which comes once the command's packet is there.
            s.open_sequence().take(farend::packet(c.command, 0, 0, 0).size()).answer(c.command, 0, 0, flag);
            const farend::Exchange r = run_on(s, c.call);
            EXPECT_EQ(r.rc, row->code);
            EXPECT_TRUE(r.trace.ends_with(tablerows::traced(*row))) << r.trace;
        }
    }
}

// A command with nothing to send: the packet, then only `after`, then the answer.
inline void expect_only_owed(uint8_t command, uint32_t param1, uint8_t flag, const farend::Bytes& after,
                             const std::function<int()>& call) {
    farend::Script s;
    s.open_sequence().expect_packet(command, param1, 0, flag);
    if (!after.empty()) s.expect(after);
    s.answer(command, 0, 0, kelvor::packet::flag::SUCCEED);
    const farend::Exchange r = run_on(s, call);
    expect_clean(r);
    EXPECT_EQ(r.rc, 0);
}

} // namespace peripheral
