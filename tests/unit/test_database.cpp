// The template database against a scripted module: the answers that each
// command reads and what it makes of them, the records that LTX receives in
// chunks, and sizes the module announces beyond what is taken.
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

class DatabaseCommands : public CommandTest {};

// The answers where the commands differ from one another: the argument of a
// message, a flag that counts as success, a stage that ends the command, the
// trace type of a family.
TEST_F(DatabaseCommands, AnswersWalkedThroughAScriptedModule) {
    uint32_t out = 0;
    // clang-format off
    const Case cases[] = {
        {"DT not found names the user", [] { return delete_template(7); }, cmd::DT, 7, 0, 0, {{NOT_FOUND}},
         RES_NOT_FOUND, "[API] Delete Template(DT): 0x7\n[ERR] User id 0x7 is not found\n"},
        {"CT in use counts like success", [&] { return check_user_id(3, &out); }, cmd::CT, 3, 0, 0,
         {{ID_ALREADY_USED, 3, 2}}, 0, "[API] Check User ID(CT): 0x3\n      Num of templates: 0x2\n"},
        {"RT more templates", [&] { return read_template(3, &out); }, cmd::RT, 3, 0, 0,
         {{ENROLL_CONTINUE, 3, 0x180}}, MORE_TEMPLATES,
         "[API] Read Template(RT): 0x3\n      Template Size: 0x180 More Templates\n"},
        {"RT beyond the limit", [&] { return read_template(3, &out); }, cmd::RT, 3, 0, 0,
         {{SUCCEED, 3, 0xFFFFFFFF}}, RES_DATA_ERROR, "[API] Read Template(RT): 0x3\n"
         "[API] Template Size: 0xffffffff\n[ERR] Template size 0xffffffff is beyond 0x10000\n"},
        {"DS sends both values", [] { return delete_template_by_scan(0x1234, 0x5678); }, cmd::DS, 0x56781234, 0,
         0, {{SCAN_SUCCESS}, {TIMEOUT_MATCHING}}, RES_TIMEOUT_MATCHING,
         "[API] Delete Template by Scan(DS) 0x1234 0x5678\n[ERR] Timeout matching\n"},
        {"DAA without a stage", [] { return delete_all_templates_with_admin(); }, cmd::DAA, 0, 0, 0, {{SUCCEED}},
         0, "[API] Delete All Templates with admin's verification(DAA)\n[ERR] Delete succeed\n"},
        {"DAA after the administrator", [] { return delete_all_templates_with_admin(); }, cmd::DAA, 0, 0, 0,
         {{SCAN_SUCCESS}, {ENROLL_CONTINUE}, {SUCCEED}}, 0,
         "[API] Delete All Templates with admin's verification(DAA)\n[API] Admin's verification succeed\n"
         "      Delete Succeed\n"},
        {"DWA refuses an administrator", [&] { return delete_template_by_wiegand_with_admin(&out); }, cmd::DWA, 0,
         0, 0, {{ENROLL_CONTINUE}, {SCAN_SUCCESS}, {NOT_SUPPORTED}}, RES_NOT_SUPPORTED,
         "[API] Delete Template by Wiegand with admin's verification(DWA)\n[API] Admin's verification succeed\n"
         "[ERR] Cannot delete an administrator using DSA command\n"},
    };
    // clang-format on
    walk(cases);
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
        s.open_sequence().expect_packet(cmd::LTX, 0, 4, 0).answer(cmd::LTX, c.number, c.total, SUCCEED);
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

} // namespace
