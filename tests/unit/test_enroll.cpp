// Enrollment against a scripted module: every row of the library's answer
// tables as each step applies it (the enroll table's columns, the
// administrator stage, the scan waits), the answer sequences of every Enroll
// Mode and the data that the image and template commands send.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"
#include "TableRows.h"
#include "families/Enroll.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;

constexpr uint32_t UNTOUCHED = 0xdeadbeef;
constexpr uint32_t SCAN_SUCCESS_OFF = 0x30;
constexpr uint32_t SCAN_SUCCESS_ON = 0x31;

using farend::Exchange;

// Every exchange traced in full, the packet and data dumps split off. The
// connection is closed before the far end finishes: everything sent is on the
// line, so a short grace period suffices.
Exchange run_on(const farend::Script& script, const std::function<int()>& call) {
    return farend::run_in_process(script, call, {.traceMask = 0x0F, .splitDumps = true, .finishGraceMs = 20});
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 % 251);
    return b;
}

uint32_t sum_of(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b) s += x;
    return s;
}

// One acknowledged chunk as the module sees it.
void expect_chunk(farend::Script& s, uint8_t command, uint16_t count, uint16_t index, const Bytes& chunk) {
    s.expect_packet(command, packet::chunk_param1(count, index), static_cast<uint32_t>(chunk.size()), 0);
    s.expect(farend::concat({chunk, farend::le32(sum_of(chunk))}));
    s.answer(command, 0, 0, DATA_ACCEPTED);
}

class EnrollCommands : public ::testing::Test {
protected:
    void SetUp() override { farend::reset_library(farend::Keywords::Refill); }
    void TearDown() override { farend::reset_library(); }
};

// What a row of an answer table makes of an answer: its message as traced,
// the "%#x" filled with the requested ID, and its result code.
struct Expect {
    std::string message;
    int code;
};

constexpr uint32_t REQUESTED_ID = 5;

using EnrollRow = answers::ColumnRow<enroll::COLUMNS>;
const EnrollRow& catch_all() {
    return std::end(enroll::answerTable)[-1];
}

// Flags of answers that no row of the enroll table names: SCAN_SUCCESS while
// the cache says off is taken as the answer itself.
constexpr uint8_t unnamedFlags[] = {SCAN_SUCCESS, NOT_FOUND, 0xff};

// One answer flag and what a column of the enroll table makes of it.
struct FlagCase {
    uint8_t flag;
    Expect expect;
};

// Every row of the enroll table as the column sees it: its own outcome where
// the column takes the row, the catch-all row's where it does not; then the
// flags that no row names.
std::vector<FlagCase> flag_cases(enroll::Column column) {
    std::vector<FlagCase> cases;
    for (const auto& [flag, row] :
         tablerows::meetings(enroll::answerTable, column, {std::begin(unnamedFlags), std::end(unnamedFlags)}))
        cases.push_back({flag, {tablerows::filled(row->message.text, REQUESTED_ID), row->code}});
    return cases;
}

// The enroll table as every column relies on it: one row per flag, each a
// failure with a traced message, the catch-all row last and in every column.
TEST(EnrollTable, RowsAreFailuresWithOneRowPerFlag) {
    const auto& table = enroll::answerTable;
    EXPECT_EQ(catch_all().flag, answers::ANY);
    for (size_t c = 0; c < enroll::COLUMNS; ++c) EXPECT_TRUE(catch_all().in[c]) << "column " << c;
    std::vector<int> flags;
    for (const EnrollRow& row : table) {
        SCOPED_TRACE(row.flag);
        ASSERT_NE(row.message.text, nullptr);
        EXPECT_TRUE(std::string(row.message.text).ends_with("\n"));
        EXPECT_LT(row.code, 0);
        EXPECT_EQ(std::count(flags.begin(), flags.end(), row.flag), 0);
        flags.push_back(row.flag);
    }
    for (const uint8_t flag : unnamedFlags) EXPECT_EQ(std::count(flags.begin(), flags.end(), flag), 0);
}

void check_failure(const Exchange& r, const std::string& callLine, const Expect& e) {
    EXPECT_EQ(r.rc, e.code);
    EXPECT_EQ(r.trace, callLine + "[ERR] " + e.message);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

// The answer's Param1 (0x99) is never the ID a message names: that is the requested one.
TEST_F(EnrollCommands, FirstAnswerOfScanEnrollment) {
    for (const FlagCase& c : flag_cases(enroll::E1)) {
        SCOPED_TRACE(c.flag);
        farend::Script s;
        s.open_sequence(0x30, 0x30, SCAN_SUCCESS_OFF)
            .expect_packet(cmd::ES, REQUESTED_ID, 0, 0x71)
            .answer(cmd::ES, 0x99, 0, c.flag);
        uint32_t out = UNTOUCHED;
        const Exchange r = run_on(s, [&] { return enroll_by_scan(REQUESTED_ID, 0x71, &out); });
        check_failure(r, "[API] Enroll by scan(ES): 0x5 Add New Template\n", c.expect);
        EXPECT_EQ(out, UNTOUCHED);
    }
}

TEST_F(EnrollCommands, FinalAnswerAfterSecondScan) {
    for (const FlagCase& c : flag_cases(enroll::E2)) {
        SCOPED_TRACE(c.flag);
        farend::Script s;
        s.open_sequence(0x30, 0x31, SCAN_SUCCESS_OFF)
            .expect_packet(cmd::ES, REQUESTED_ID, 0, 0x71)
            .answer(cmd::ES, REQUESTED_ID, 0, SUCCEED)
            .answer(cmd::ES, 0x99, 0, c.flag);
        uint32_t out = UNTOUCHED;
        const Exchange r = run_on(s, [&] { return enroll_by_scan(REQUESTED_ID, 0x71, &out); });
        check_failure(r, "[API] Enroll by scan(ES): 0x5 Add New Template\n", c.expect);
        EXPECT_EQ(out, UNTOUCHED);
    }
}

TEST_F(EnrollCommands, FinalAnswerOfTemplateEnrollment) {
    const Bytes data{1, 2, 3, 4};
    for (const FlagCase& c : flag_cases(enroll::E3)) {
        SCOPED_TRACE(c.flag);
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::ET, REQUESTED_ID, 4, 0x71)
            .expect(farend::data_block(data))
            .answer(cmd::ET, 0x99, 0, c.flag);
        uint32_t out = UNTOUCHED;
        const Exchange r =
            run_on(s, [&] { return enroll_by_template(REQUESTED_ID, data.data(), 4, 0x71, &out); });
        check_failure(r, "[API] Enroll by Template(ET): 0x5 Add New Template 0x4\n", c.expect);
        EXPECT_EQ(out, UNTOUCHED);
    }
}

TEST_F(EnrollCommands, FirstAnswerOfChunkedTemplateEnrollmentEndsBeforeData) {
    const Bytes data{1, 2, 3, 4};
    for (const FlagCase& c : flag_cases(enroll::E3)) {
        SCOPED_TRACE(c.flag);
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::ETX, REQUESTED_ID, 0x10004, 0x71)
            .answer(cmd::ETX, 0x99, 0, c.flag);
        const Exchange r = run_on(
            s, [&] { return enroll_by_templates_chunked(REQUESTED_ID, data.data(), 1, 4, 0x71, nullptr); });
        check_failure(r, "[API] Enroll by Template(ETX): 0x5 Add New Template 1 4\n", c.expect);
    }
}

// The answer sequence of each Enroll Mode, with and without SCAN_SUCCESS answers.
struct ModeCase {
    const char* name;
    bool admin;
    uint32_t enrollMode;
    bool scanSuccessOn;
    bool hostSendsSecondStep;
    bool secondScan;
};
const ModeCase modeCases[] = {
    {"ES one scan", false, 0x30, false, false, false},
    {"ES one scan, SCAN_SUCCESS", false, 0x30, true, false, false},
    {"ES module rescans, SCAN_SUCCESS", false, 0x31, true, false, true},
    {"ES parameter never read", false, 0x00, false, false, true},
    {"ES host continues 0x32", false, 0x32, false, true, true},
    {"ES host continues 0x42, SCAN_SUCCESS", false, 0x42, true, true, true},
    {"ESA one scan, SCAN_SUCCESS", true, 0x30, true, false, false},
    {"ESA module rescans", true, 0x31, false, false, true},
    {"ESA host continues 0x42, SCAN_SUCCESS", true, 0x42, true, true, true},
};

TEST_F(EnrollCommands, EnrollModeSequences) {
    for (const ModeCase& c : modeCases) {
        SCOPED_TRACE(c.name);
        const uint8_t command = c.admin ? 0x70 : 0x05;
        farend::Script s;
        s.open_sequence(0x30, c.enrollMode, c.scanSuccessOn ? SCAN_SUCCESS_ON : SCAN_SUCCESS_OFF);
        s.expect_packet(command, 5, 0, 0x71);
        if (c.admin) {
            if (c.scanSuccessOn) s.answer(command, 0, 0, SCAN_SUCCESS);
            s.answer(command, 0, 0, ENROLL_CONTINUE);
        }
        if (c.scanSuccessOn) s.answer(command, 0, 0, SCAN_SUCCESS);
        s.answer(command, 0x12, 0, SUCCEED);
        // The second step always goes out as ES, with the requested ID.
        if (c.hostSendsSecondStep) s.expect_packet(cmd::ES, 5, 0, ENROLL_CONTINUE);
        if (c.secondScan) {
            // Answers of the second step, or of the command itself when the module rescans.
            const uint8_t second = c.hostSendsSecondStep ? 0x05 : command;
            if (c.scanSuccessOn) s.answer(second, 0, 0, SCAN_SUCCESS);
            s.answer(second, 0x13, 0, SUCCEED);
        }
        // Each answer reaches the answer observer as it comes, in the order of the line.
        std::vector<uint8_t> expected;
        if (c.admin) {
            if (c.scanSuccessOn) expected.push_back(SCAN_SUCCESS);
            expected.push_back(ENROLL_CONTINUE);
        }
        for (int scan = 0; scan < (c.secondScan ? 2 : 1); ++scan) {
            if (c.scanSuccessOn) expected.push_back(SCAN_SUCCESS);
            expected.push_back(SUCCEED);
        }
        std::vector<uint8_t> seen;
        uint32_t out = UNTOUCHED;
        const Exchange r = run_on(s, [&] {
            answer_observer(
                [](const AnswerPacket& p, void* context) {
                    static_cast<std::vector<uint8_t>*>(context)->push_back(
                        packet::decode(p.data(), false).flag);
                },
                &seen);
            const int rc = c.admin ? enroll_by_scan_with_admin(5, 0x71, &out) : enroll_by_scan(5, 0x71, &out);
            answer_observer(nullptr);
            return rc;
        });
        EXPECT_EQ(farend::hex_dump(seen), farend::hex_dump(expected));
        const std::string callLine =
            c.admin ? "[API] Enroll by scan with admin's verification(ESA): 0x5 Add New Template\n"
                    : "[API] Enroll by scan(ES): 0x5 Add New Template\n";
        const std::string adminLine = c.admin ? "[API] Admin's verification succeed\n" : "";
        const std::string success =
            c.secondScan ? "     Enroll: Succeed 0x13\n" : "      Enroll: Succeed 0x12\n";
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(out, c.secondScan ? 0x13u : 0x12u);
        EXPECT_EQ(r.trace, callLine + adminLine + success);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

using tablerows::names;
using tablerows::traced;

// Every row of the administrator stage, whatever the SCAN_SUCCESS setting
// (here off), with and without one SCAN_SUCCESS before it, which is skipped;
// its catch-all row met by SUCCEED, which no row names. The row that goes on
// is the administrator verified: the enrollment follows and succeeds.
TEST_F(EnrollCommands, AdministratorStage) {
    const std::string callLine = "[API] Enroll by scan with admin's verification(ESA): 0x7 Check ID\n";
    ASSERT_FALSE(names(answers::administratorStage, SUCCEED));
    for (const answers::Row& row : answers::administratorStage) {
        const uint8_t flag = row.flag == answers::ANY ? SUCCEED : static_cast<uint8_t>(row.flag);
        const bool verified = row.code == answers::GO_ON;
        for (const bool skipped : {false, true}) {
            SCOPED_TRACE(std::to_string(flag) + (skipped ? " after SCAN_SUCCESS" : ""));
            farend::Script s;
            s.open_sequence(0x30, 0x30, SCAN_SUCCESS_OFF).expect_packet(cmd::ESA, 7, 0, 0x70);
            if (skipped) s.answer(cmd::ESA, 7, 0, SCAN_SUCCESS);
            s.answer(cmd::ESA, 7, 0, flag);
            if (verified) s.answer(cmd::ESA, 7, 0, SUCCEED);
            uint32_t out = UNTOUCHED;
            const Exchange r = run_on(s, [&] { return enroll_by_scan_with_admin(7, 0x70, &out); });
            if (verified) {
                EXPECT_EQ(r.rc, 0);
                EXPECT_EQ(r.trace, callLine + traced(row) + "      Enroll: Succeed 0x7\n");
                EXPECT_EQ(out, 7u);
            } else {
                EXPECT_EQ(r.rc, row.code);
                EXPECT_EQ(r.trace, callLine + traced(row));
                EXPECT_EQ(out, UNTOUCHED);
            }
            EXPECT_TRUE(r.far.ok) << r.far.failure;
        }
    }
    // Only one SCAN_SUCCESS is skipped: a second is the stage's answer, which no row names.
    farend::Script s;
    s.open_sequence(0x30, 0x30, SCAN_SUCCESS_OFF).expect_packet(cmd::ESA, 7, 0, 0x70);
    s.answer(cmd::ESA, 7, 0, SCAN_SUCCESS).answer(cmd::ESA, 7, 0, SCAN_SUCCESS);
    const Exchange r = run_on(s, [&] { return enroll_by_scan_with_admin(7, 0x70, nullptr); });
    const answers::Row& catchAll = std::end(answers::administratorStage)[-1];
    EXPECT_EQ(r.rc, catchAll.code);
    EXPECT_EQ(r.trace, callLine + traced(catchAll));
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// Each scan wait of the enrollments, walked row by row: a flag other than
// SCAN_SUCCESS ends the command as its row says. The catch-all row meets the
// flags of the other waits that this one does not name, and SUCCEED.
enum class Command { ES, ESA, ET };
struct WaitStep {
    const char* name;
    Command command;
    Bytes before; // answers before the wait's own
    answers::Table table;
};
const WaitStep waitSteps[] = {
    {"ES first wait", Command::ES, {}, enroll::firstScanWait},
    {"ES second wait", Command::ES, {SCAN_SUCCESS, SUCCEED}, answers::canceledScanWait},
    {"ESA user wait", Command::ESA, {ENROLL_CONTINUE}, enroll::firstScanWait},
    {"ESA second wait", Command::ESA, {ENROLL_CONTINUE, SCAN_SUCCESS, SUCCEED}, enroll::dataScanWait},
    {"ET wait", Command::ET, {}, enroll::dataScanWait},
};
constexpr uint8_t waitFlags[] = {SYSTEM_BUSY, CANCELLED, FINGER_ALREADY_ENROLLED, SUCCEED};

TEST_F(EnrollCommands, ScanWaits) {
    const Bytes data{9, 8};
    for (const WaitStep& step : waitSteps) {
        for (const answers::Row& row : step.table) {
            if (row.code == answers::GO_ON) continue; // SCAN_SUCCESS: the wait is over
            std::vector<uint8_t> flags;
            if (row.flag != answers::ANY) flags.push_back(static_cast<uint8_t>(row.flag));
            for (const uint8_t flag : waitFlags)
                if (row.flag == answers::ANY && !names(step.table, flag)) flags.push_back(flag);
            for (const uint8_t flag : flags) {
                SCOPED_TRACE(std::string(step.name) + " " + std::to_string(flag));
                const uint8_t code = step.command == Command::ES    ? 0x05
                                     : step.command == Command::ESA ? 0x70
                                                                    : 0x07;
                farend::Script s;
                s.open_sequence(0x30, 0x31, SCAN_SUCCESS_ON);
                s.expect_packet(code, 3, step.command == Command::ET ? 2 : 0, 0x71);
                if (step.command == Command::ET) s.expect(farend::data_block(data));
                for (uint8_t before : step.before) s.answer(code, 3, 0, before);
                s.answer(code, 3, 0, flag);
                const Exchange r = run_on(s, [&] {
                    switch (step.command) {
                    case Command::ES: return enroll_by_scan(3, 0x71, nullptr);
                    case Command::ESA: return enroll_by_scan_with_admin(3, 0x71, nullptr);
                    case Command::ET: return enroll_by_template(3, data.data(), 2, 0x71, nullptr);
                    }
                    return 0;
                });
                EXPECT_EQ(r.rc, row.code);
                EXPECT_TRUE(r.trace.ends_with(traced(row))) << r.trace;
                EXPECT_TRUE(r.far.ok) << r.far.failure;
            }
        }
    }
}

TEST_F(EnrollCommands, AutoIdHandsBackTheModulesId) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::ES, 0, 0, AUTO_ID).answer(cmd::ES, 0x2a, 0, SUCCEED);
    uint32_t out = UNTOUCHED;
    const Exchange r = run_on(s, [&] { return enroll_by_scan(0, AUTO_ID, &out); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(out, 0x2au);
    EXPECT_EQ(r.trace, "[API] Enroll by scan(ES): 0 Auto ID\n      Enroll: Succeed 0x2a\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

TEST_F(EnrollCommands, OptionWithoutNameShowsUnknown) {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::ES, 1, 0, 0).answer(cmd::ES, 1, 0, SUCCEED);
    const Exchange r = run_on(s, [&] { return enroll_by_scan(1, 0, nullptr); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.trace, "[API] Enroll by scan(ES): 0x1 Unknown\n      Enroll: Succeed 0x1\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// A 2 x 2 image: the size is width x height, and the bytes start at the
// record's header (the width, 2, as a little-endian word).
TEST_F(EnrollCommands, ImageSendsSizeBytesFromTheRecordsHeader) {
    std::vector<uint8_t> record(IMAGE_RECORD_SIZE);
    packet::put32(&record[0], 2);
    packet::put32(&record[4], 2);
    packet::put32(&record[20], 4);
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::EI, 5, 4, 0x71)
        .expect(farend::data_block({2, 0, 0, 0}))
        .answer(cmd::EI, 5, 0, SUCCEED);
    uint32_t out = UNTOUCHED;
    const Exchange r = run_on(s, [&] { return enroll_by_image(5, record.data(), 4, 0x71, &out); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(out, 5u);
    EXPECT_EQ(r.trace, "[API] Enroll by image(EI): 0x5 Add New Template 0x4\n      Enroll: Succeed 0x5\n");
    EXPECT_NE(r.dumps.find("      [DATA] Send: 02 00 00 00 0a\n"), std::string::npos) << r.dumps;
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty());
}

TEST_F(EnrollCommands, ImageLargerThanTheRecordIsRefusedBeforeSending) {
    std::vector<uint8_t> record(IMAGE_RECORD_SIZE);
    const auto size = static_cast<uint32_t>(IMAGE_RECORD_SIZE + 1);
    farend::Script s;
    s.open_sequence();
    const Exchange r = run_on(s, [&] { return enroll_by_image(5, record.data(), size, 0x71, nullptr); });
    EXPECT_EQ(r.rc, RES_NOT_SUPPORTED);
    EXPECT_EQ(r.trace, "[API] Enroll by image(EI): 0x5 Add New Template 0x3201d\n"
                       "[ERR] Image size 0x3201d is beyond the image record\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty());
}

TEST_F(EnrollCommands, ChunkedImageOf100x100GoesInThreeChunks) {
    const Bytes record = pattern(IMAGE_RECORD_SIZE);
    farend::Script s;
    s.open_sequence(0x30, 0x30, SCAN_SUCCESS_ON)
        .expect_packet(cmd::EIX, 5, 10000, 0x71)
        .answer(cmd::EIX, 5, 0, SUCCEED);
    expect_chunk(s, 0x80, 3, 0, Bytes(record.begin(), record.begin() + 4096));
    expect_chunk(s, 0x80, 3, 1, Bytes(record.begin() + 4096, record.begin() + 8192));
    expect_chunk(s, 0x80, 3, 2, Bytes(record.begin() + 8192, record.begin() + 10000));
    s.answer(cmd::EIX, 5, 0, SCAN_SUCCESS).answer(cmd::EIX, 0x21, 0, SUCCEED);
    uint32_t out = UNTOUCHED;
    const Exchange r =
        run_on(s, [&] { return enroll_by_image_chunked(5, record.data(), 10000, 0x71, 4096, &out); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(out, 0x21u);
    EXPECT_EQ(r.trace,
              "[API] Enroll by image(EIX): 0x5 Add New Template 0x2710 0x1000\n      Enroll: Succeed 0x21\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty());
}

// Two templates of 384 bytes announced; the data size travels as one chunk.
TEST_F(EnrollCommands, ChunkedTemplatesGoAsOneChunkOfTheDataSize) {
    const Bytes data = pattern(384);
    farend::Script s;
    s.open_sequence().expect_packet(cmd::ETX, 9, 0x20180, 0x79).answer(cmd::ETX, 9, 0, SUCCEED);
    expect_chunk(s, 0x87, 1, 0, data);
    s.answer(cmd::ETX, 0x40, 0, SUCCEED);
    uint32_t out = UNTOUCHED;
    const Exchange r =
        run_on(s, [&] { return enroll_by_templates_chunked(9, data.data(), 2, 384, AUTO_ID, &out); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(out, 0x40u);
    EXPECT_EQ(r.trace, "[API] Enroll by Template(ETX): 0x9 Auto ID 2 384\n      Enroll: Succeed 0x40\n");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// A silent module: the link's code comes back unchanged, at each step.
TEST_F(EnrollCommands, SilentModuleReturnsTheLinkCode) {
    struct Case {
        const char* name;
        uint32_t enrollMode;
        bool firstAnswers;
    };
    for (const Case c : {Case{"first answer", 0x30, false}, Case{"after second step", 0x42, true}}) {
        SCOPED_TRACE(c.name);
        farend::Script s;
        s.open_sequence(0x30, c.enrollMode, SCAN_SUCCESS_OFF).expect_packet(cmd::ES, 5, 0, 0x71);
        if (c.firstAnswers) s.answer(cmd::ES, 5, 0, SUCCEED).expect_packet(cmd::ES, 5, 0, ENROLL_CONTINUE);
        const Exchange r = run_on(s, [&] { return enroll_by_scan(5, 0x71, nullptr); });
        EXPECT_EQ(r.rc, ERR_READ_TIMEOUT);
        EXPECT_TRUE(r.trace.ends_with("[ERR] Read data timeout: 0 0xd\n")) << r.trace;
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

} // namespace
