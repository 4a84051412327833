// What the Wiegand, smart card and card enrollment tests share: a scripted
// module reached in process, and the check of each command's own answer rows
// and of the rows every one of these commands shares.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

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

// A flag of a command's own answer table, its message and result code.
struct OwnAnswer {
    const char* name;
    uint8_t command;
    std::function<int()> call;
    uint8_t flag;
    const char* message;
    int code;
};

// Each row's own flag, then the busy and unknown rows every command shares.
inline void expect_own_answers(std::span<const OwnAnswer> cases) {
    const struct {
        uint8_t flag;
        const char* message;
        int code;
    } shared[] = {{0x80, "System is busy\n", -111}, {0x62, "Unknown error\n", -999}};
    for (const OwnAnswer& c : cases) {
        for (int k = 0; k < 3; ++k) {
            const uint8_t flag = k == 0 ? c.flag : shared[k - 1].flag;
            SCOPED_TRACE(std::string(c.name) + " flag " + std::to_string(flag));
            farend::Script s;
            // What goes out is checked elsewhere; here only the answer matters,
            // which comes once the command's packet is there.
            s.open_sequence().take(farend::packet(c.command, 0, 0, 0).size()).answer(c.command, 0, 0, flag);
            const farend::Exchange r = run_on(s, c.call);
            EXPECT_EQ(r.rc, k == 0 ? c.code : shared[k - 1].code);
            const std::string message = k == 0 ? c.message : shared[k - 1].message;
            EXPECT_NE(r.trace.find("[ERR] " + message), std::string::npos) << r.trace;
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
