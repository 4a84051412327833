// Administrator levels, authentication policies and passwords against a
// scripted module: the answers each command reads and the password records on the wire.
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

class AdminCommands : public CommandTest {};

// The answers where the administrator commands differ: a refused level, a level
// printed by name, a policy refused for its user.
TEST_F(AdminCommands, AnswersWalkedThroughAScriptedModule) {
    uint32_t out = 0;
    // clang-format off
    const Case cases[] = {
        {"AW names the refused level", [] { return write_admin_level(9, 4); }, cmd::AW, 9, 4, 0,
         {{NOT_SUPPORTED}}, RES_NOT_FOUND,
         "[API] Write admin level(AW): 0x9 Unknown\n[ERR] Admin level 0x4 is not supported\n"},
        {"AR prints the level name", [&] { return read_admin_level(9, &out); }, cmd::AR, 9, 0, 0,
         {{SUCCEED, 9, 3}}, 0, "[API] Read admin level(AR): 0x9\n[API] Admin level is All\n"},
        {"UW names the user, flag in 8 bits", [] { return write_auth_policy(9, 1, 0x01); }, cmd::UW, 9, 1, 1,
         {{INVALID_ID}}, RES_NOT_FOUND,
         "[API] Write authentication policy(UW): 0x9 Wiegand Bypass 1\n[ERR] 0x9 is invalid\n"},
    };
    // clang-format on
    walk(cases);
}

// Each password goes with its 16-bit sum, low byte first; the trace shows at
// most 16 bytes of a password even when no terminator follows.
TEST_F(AdminCommands, PasswordRecordsOnTheWire) {
    // Sixteen '1' add up to 0x310; the bytes after them are what a reader past the password would show.
    uint8_t current[32];
    for (size_t i = 0; i < 32; ++i) current[i] = i < 16 ? '1' : 'x';
    const uint8_t* next = reinterpret_cast<const uint8_t*>("ABCDEFGHIJKLMNOP");
    const Bytes pw(current, current + 16);
    const Bytes np(next, next + 16);
    EXPECT_EQ(password_checksum(current), 0x310);

    farend::Script s;
    s.open_sequence().expect_packet(cmd::UM, 0, 18, 0);
    s.expect(farend::data_block(farend::concat({pw, {0x10, 0x03}})));
    s.answer(cmd::UM, 0, 0, NOT_MATCH);
    s.expect_packet(cmd::MP, 0, 36, 0);
    s.expect(farend::data_block(farend::concat({pw, {0x10, 0x03}, np, {0x88, 0x04}})));
    s.answer(cmd::MP, 0, 0, SUCCEED);
    const Exchange r = run_on(s, [&] {
        const int um = unlock_module(current);
        EXPECT_EQ(um, RES_NOT_MATCH);
        return write_master_password(current, next);
    });
    EXPECT_EQ(r.rc, 0);
    const std::string shown(reinterpret_cast<const char*>(current), 16);
    EXPECT_EQ(r.trace, "[API] Unlock Module(UM): " + shown + "\n[API] Wrong password\n" +
                           "[API] Write master password(MP): " + shown + " to ABCDEFGHIJKLMNOP\n" +
                           "[API] Master password is changed\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

} // namespace
