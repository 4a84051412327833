// The template database, administrator levels and policies, firmware, cancel
// and lock against a scripted module: the answers that each command reads and
// what it makes of them, the records that LTX receives in chunks, the password
// records on the wire, and sizes the module announces beyond what is taken.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::Exchange;

constexpr uint8_t CMD_RT = 0x14, CMD_DT = 0x16, CMD_CT = 0x19, CMD_DS = 0x1e, CMD_DWA = 0x73, CMD_DAA = 0x74,
                  CMD_LTX = 0x86, CMD_AW = 0x65, CMD_AR = 0x66, CMD_UW = 0xa3, CMD_UG = 0x62, CMD_CA = 0x60,
                  CMD_LM = 0xb1, CMD_UM = 0xb0, CMD_MP = 0xb2, CMD_IS = 0x11;

class DatabaseCommands : public ::testing::Test {
protected:
    void SetUp() override { farend::reset_library(farend::Keywords::Refill); }
    void TearDown() override { farend::reset_library(); }
};

Exchange run_on(const farend::Script& script, const std::function<int()>& call) {
    return farend::run_in_process(script, call, {.traceMask = 0x03, .finishGraceMs = 20});
}

struct Answer {
    uint8_t flag;
    uint32_t param1 = 0;
    uint32_t param2 = 0;
};

// One call: the packet it must send, what the module answers, what comes of it.
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

// The answers where the commands differ from one another: the argument of a
// message, a flag that counts as success, a stage that ends the command, the
// trace type of a family.
TEST_F(DatabaseCommands, AnswersWalkedThroughAScriptedModule) {
    uint32_t out = 0;
    // clang-format off
    const Case cases[] = {
        {"DT not found names the user", [] { return delete_template(7); }, CMD_DT, 7, 0, 0, {{NOT_FOUND}},
         RES_NOT_FOUND, "[API] Delete Template(DT): 0x7\n[ERR] User id 0x7 is not found\n"},
        {"CT in use counts like success", [&] { return check_user_id(3, &out); }, CMD_CT, 3, 0, 0,
         {{ID_ALREADY_USED, 3, 2}}, 0, "[API] Check User ID(CT): 0x3\n      Num of templates: 0x2\n"},
        {"RT more templates", [&] { return read_template(3, &out); }, CMD_RT, 3, 0, 0,
         {{ENROLL_CONTINUE, 3, 0x180}}, MORE_TEMPLATES,
         "[API] Read Template(RT): 0x3\n      Template Size: 0x180 More Templates\n"},
        {"RT beyond the limit", [&] { return read_template(3, &out); }, CMD_RT, 3, 0, 0,
         {{SUCCEED, 3, 0xFFFFFFFF}}, RES_DATA_ERROR, "[API] Read Template(RT): 0x3\n"
         "[API] Template Size: 0xffffffff\n[ERR] Template size 0xffffffff is beyond 0x10000\n"},
        {"DS sends both values", [] { return delete_template_by_scan(0x1234, 0x5678); }, CMD_DS, 0x56781234, 0,
         0, {{SCAN_SUCCESS}, {TIMEOUT_MATCHING}}, RES_TIMEOUT_MATCHING,
         "[API] Delete Template by Scan(DS) 0x1234 0x5678\n[ERR] Timeout matching\n"},
        {"DAA without a stage", [] { return delete_all_templates_with_admin(); }, CMD_DAA, 0, 0, 0, {{SUCCEED}},
         0, "[API] Delete All Templates with admin's verification(DAA)\n[ERR] Delete succeed\n"},
        {"DAA after the administrator", [] { return delete_all_templates_with_admin(); }, CMD_DAA, 0, 0, 0,
         {{SCAN_SUCCESS}, {ENROLL_CONTINUE}, {SUCCEED}}, 0,
         "[API] Delete All Templates with admin's verification(DAA)\n[API] Admin's verification succeed\n"
         "      Delete Succeed\n"},
        {"DWA refuses an administrator", [&] { return delete_template_by_wiegand_with_admin(&out); }, CMD_DWA, 0,
         0, 0, {{ENROLL_CONTINUE}, {SCAN_SUCCESS}, {NOT_SUPPORTED}}, RES_NOT_SUPPORTED,
         "[API] Delete Template by Wiegand with admin's verification(DWA)\n[API] Admin's verification succeed\n"
         "[ERR] Cannot delete an administrator using DSA command\n"},
        {"AW names the refused level", [] { return write_admin_level(9, 4); }, CMD_AW, 9, 4, 0,
         {{NOT_SUPPORTED}}, RES_NOT_FOUND,
         "[API] Write admin level(AW): 0x9 Unknown\n[ERR] Admin level 0x4 is not supported\n"},
        {"AR prints the level name", [&] { return read_admin_level(9, &out); }, CMD_AR, 9, 0, 0,
         {{SUCCEED, 9, 3}}, 0, "[API] Read admin level(AR): 0x9\n[API] Admin level is All\n"},
        {"UW names the user, flag in 8 bits", [] { return write_auth_policy(9, 1, 0x01); }, CMD_UW, 9, 1, 1,
         {{INVALID_ID}}, RES_NOT_FOUND,
         "[API] Write authentication policy(UW): 0x9 Wiegand Bypass 1\n[ERR] 0x9 is invalid\n"},
        {"LM whatever the flag", [] { return lock_module(); }, CMD_LM, 0, 0, 0, {{NOT_MATCH}}, 0,
         "[API] Lock Module(LM)\n[API] Module is locked.\n"},
        {"CA reads only one answer", [] { return cancel_command(); }, CMD_CA, 0, 0, 0, {{SUCCEED}}, 0,
         "[API] Cancel(CA)\n"},
    };
    // clang-format on
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

// A cancelled command answers under its own code; the cancel's answer follows.
TEST_F(DatabaseCommands, CancelOfAWaitingCommandReadsBothAnswers) {
    farend::Script s;
    s.open_sequence()
        .expect_packet(CMD_CA, 0, 0, 0)
        .answer(CMD_IS, 0, 0, CANCELLED)
        .answer(CMD_CA, 0, 0, SUCCEED);
    s.expect_packet(CMD_LM, 0, 0, 0).answer(CMD_LM, 0, 0, SUCCEED);
    const Exchange r = run_on(s, [] { return cancel_command() + lock_module(); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.trace, "[API] Cancel(CA)\n[API] Lock Module(LM)\n[API] Module is locked.\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

Bytes info_record(uint32_t user, uint8_t value1, uint8_t packed, uint16_t value5) {
    Bytes r = farend::le32(user);
    r.push_back(value1);
    r.push_back(packed);
    r.push_back(static_cast<uint8_t>(value5));
    r.push_back(static_cast<uint8_t>(value5 >> 8));
    return r;
}

uint32_t sum_of(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b) s += x;
    return s;
}

struct Chunk {
    Bytes bytes;
    uint32_t announced; // the header's length
    int sumError = 0;   // added to the checksum sent
    uint8_t ack = DATA_ACCEPTED;
};

struct LtxCase {
    const char* name;
    size_t bufferRecords;
    uint32_t number; // templates the module announces
    uint32_t total;  // bytes of records it announces
    std::vector<Chunk> chunks;
    int rc;
    const char* records;       // trace after the number line
    uint8_t headerCode = 0x86; // command code of the module's chunk headers
};

// Records arrive in chunks; every chunk is acknowledged by its sum, none is
// read beyond the buffer, and only records that arrived whole are printed.
TEST_F(DatabaseCommands, TemplateInfoChunks) {
    const Bytes first = info_record(5, 3, 0x21, 0x1234);
    const Bytes second = info_record(0xFFFFFFFF, 1, 0xC4, 0x180);
    const char* both = "[API] 0: 5(1): 3 2 0 0x1234\n[API] 1: -1(4): 1 0 3 0x180\n";
    const LtxCase cases[] = {
        {"two chunks of 8", 2, 2, 16, {{first, 8}, {second, 8}}, 0, both},
        {"checksum off by one",
         2,
         2,
         16,
         {{first, 8}, {second, 8, 1, DATA_CHECKSUM_ERROR}},
         RES_DATA_ERROR,
         "[ERR] Template info chunk checksum error at 0x8\n"},
        {"chunk beyond the buffer",
         1,
         2,
         16,
         {{first, 8}, {{}, 8}},
         RES_DATA_ERROR,
         "[ERR] Chunk of 0x8 bytes passes the end of the records at 0x8\n"},
        {"empty chunk ends", 2, 2, 16, {{first, 8}, {{}, 0}}, 0, "[API] 0: 5(1): 3 2 0 0x1234\n"},
        {"more templates than records", 2, 9, 16, {{farend::concat({first, second}), 16}}, 0, both},
        {"headers under another code", 2, 2, 16, {{first, 8}, {second, 8}}, 0, both, 0x99},
    };
    for (const LtxCase& c : cases) {
        SCOPED_TRACE(c.name);
        farend::Script s;
        s.open_sequence().expect_packet(CMD_LTX, 0, 4, 0).answer(CMD_LTX, c.number, c.total, SUCCEED);
        for (const Chunk& k : c.chunks) {
            s.answer(c.headerCode, 0, k.announced, 0x00);
            if (k.announced == 0 || k.bytes.empty()) continue;
            s.send(
                farend::concat({k.bytes, farend::le32(sum_of(k.bytes) + static_cast<uint32_t>(k.sumError))}));
            s.expect_packet(c.headerCode, 0, 0, k.ack);
        }
        Bytes buffer(8 * c.bufferRecords);
        uint32_t number = 0;
        const Exchange r = run_on(s, [&] { return read_template_info(4, buffer, &number); });
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(number, c.number);
        EXPECT_EQ(r.trace, "[API] Get Template Info(LTX): 4\n[API] Num Of Template: " +
                               std::to_string(c.number) + "\n" + c.records);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

// Each password goes with its 16-bit sum, low byte first; the trace shows at
// most 16 bytes of a password even when no terminator follows.
TEST_F(DatabaseCommands, PasswordRecordsOnTheWire) {
    // Sixteen '1' add up to 0x310; the bytes after them are what a reader past the password would show.
    uint8_t current[32];
    for (size_t i = 0; i < 32; ++i) current[i] = i < 16 ? '1' : 'x';
    const uint8_t* next = reinterpret_cast<const uint8_t*>("ABCDEFGHIJKLMNOP");
    const Bytes pw(current, current + 16);
    const Bytes np(next, next + 16);
    EXPECT_EQ(password_checksum(current), 0x310);

    farend::Script s;
    s.open_sequence().expect_packet(CMD_UM, 0, 18, 0);
    s.expect(farend::data_block(farend::concat({pw, {0x10, 0x03}})));
    s.answer(CMD_UM, 0, 0, NOT_MATCH);
    s.expect_packet(CMD_MP, 0, 36, 0);
    s.expect(farend::data_block(farend::concat({pw, {0x10, 0x03}, np, {0x88, 0x04}})));
    s.answer(CMD_MP, 0, 0, SUCCEED);
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

// Data that would need more chunks than the header can count never announce
// themselves: nothing goes on the wire.
TEST_F(DatabaseCommands, FirmwareOfTooManyChunksIsRefusedBeforeThePacket) {
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
