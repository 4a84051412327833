// Firmware, cancel and lock against a scripted module: the answers each reads,
// the answer of a cancelled command, and firmware too large to announce.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AnswerWalk.h"
#include "ModuleSDK.h"

using namespace kelvor;
using namespace answerwalk;

namespace {

namespace cmd = packet::cmd;
using farend::Bytes;
using farend::Exchange;

class FirmwareCommands : public CommandTest {};

// LM succeeds whatever the flag; CA reads only its own answer.
TEST_F(FirmwareCommands, AnswersWalkedThroughAScriptedModule) {
    // clang-format off
    const Case cases[] = {
        {"LM whatever the flag", [] { return lock_module(); }, cmd::LM, 0, 0, 0, {{NOT_MATCH}}, 0,
         "[API] Lock Module(LM)\n[API] Module is locked.\n"},
        {"CA reads only one answer", [] { return cancel_command(); }, cmd::CA, 0, 0, 0, {{SUCCEED}}, 0,
         "[API] Cancel(CA)\n"},
        {"CA whatever the flag", [] { return cancel_command(); }, cmd::CA, 0, 0, 0, {{NOT_SUPPORTED}}, 0,
         "[API] Cancel(CA)\n"},
    };
    // clang-format on
    walk(cases);
}

// A cancelled command answers under its own code; the cancel's answer follows.
TEST_F(FirmwareCommands, CancelOfAWaitingCommandReadsBothAnswers) {
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::CA, 0, 0, 0)
        .answer(cmd::IS, 0, 0, CANCELLED)
        .answer(cmd::CA, 0, 0, SUCCEED);
    s.expect_packet(cmd::LM, 0, 0, 0).answer(cmd::LM, 0, 0, SUCCEED);
    const Exchange r = run_on(s, [] { return cancel_command() + lock_module(); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.trace, "[API] Cancel(CA)\n[API] Lock Module(LM)\n[API] Module is locked.\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// The cancelled command's answer ends the cancel even when the cancel's own never comes.
TEST_F(FirmwareCommands, CancelWithoutItsOwnAnswerStillSucceeds) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::CA, 0, 0, 0).answer(cmd::IS, 0, 0, CANCELLED);
    const Exchange r = run_on(s, [] { return cancel_command(); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.trace.starts_with("[API] Cancel(CA)\n")) << r.trace;
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

bool stop_second(uint64_t, uint64_t, void* calls) {
    return ++*static_cast<int*>(calls) < 2;
}

// Firmware stopped after its first chunk leaves the module waiting for the
// second: a cancel ends that wait, answered under the upgrade's code (the
// refused transfer) or as a cancelled command followed by the cancel's answer.
TEST_F(FirmwareCommands, AStoppedUpgradeCancelsTheModulesWait) {
    struct Reply {
        uint8_t command, flag;
    };
    const std::vector<std::vector<Reply>> rows = {
        {{cmd::UG, DATA_CHECKSUM_ERROR}},
        {{cmd::UG, CANCELLED}, {cmd::CA, SUCCEED}},
    };
    const Bytes image(3 * 64, 0x5a);
    const Bytes first(image.begin(), image.begin() + 64);
    for (const auto& answers : rows) {
        farend::Script s;
        s.open_sequence().expect_packet(cmd::UG, 0, 3 * 64, 0).answer(cmd::UG, 0, 3 * 64, SUCCEED);
        s.expect_packet(cmd::UG, packet::chunk_param1(3, 0), 64, 0)
            .expect(farend::concat({first, farend::le32(packet::byte_sum(first))}))
            .answer(cmd::UG, 0, 0, DATA_ACCEPTED);
        s.expect_packet(cmd::CA, 0, 0, 0);
        for (const Reply& a : answers) s.answer(a.command, 0, 0, a.flag);
        int calls = 0;
        transfer_observer(stop_second, &calls);
        bool unsettled = false;
        const Exchange r = run_on(s, [&] {
            const int rc = upgrade_firmware(image.data(), 3 * 64, 64);
            unsettled = link_state().unsettled;
            return rc;
        });
        transfer_observer(nullptr);
        EXPECT_EQ(r.rc, ERR_STOPPED);
        EXPECT_EQ(r.trace, "[API] Upgrade firmware(UG): 0xc0 0x40\n[ERR] The transfer is stopped\n");
        EXPECT_TRUE(unsettled); // whatever else comes is dropped before the next command
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

// Data that would need more chunks than the header can count never announce
// themselves: nothing goes on the wire.
TEST_F(FirmwareCommands, FirmwareOfTooManyChunksIsRefusedBeforeThePacket) {
    const Bytes image(70000, 0x5a);
    farend::Script s;
    s.open_sequence();
    const Exchange r = run_on(s, [&] { return upgrade_firmware(image.data(), 70000, 1); });
    EXPECT_EQ(r.rc, RES_DATA_ERROR);
    EXPECT_EQ(r.trace, "[API] Upgrade firmware(UG): 0x11170 0x1\n[ERR] Too many chunks: 0x11170\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

} // namespace
