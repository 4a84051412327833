// Enrollment against a scripted module: every answer flag of each answer
// table, the answer sequences of every Enroll Mode, the administrator stage,
// the scan waits and the data that the image and template commands send.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

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

struct Expect {
    const char* message;
    int code;
};
constexpr Expect U{"Enroll: Unknown error\n", RES_UNKNOWN};
constexpr Expect SF{"Enroll: Scan failed\n", -101};
constexpr Expect TA{"Enroll: Try again\n", -104};
constexpr Expect TO{"Enroll: Timeout\n", -103};
constexpr Expect MF{"Enroll: Memory full\n", -105};
constexpr Expect AU{"Enroll: ID 0x5 is already used\n", -108}; // the requested ID, not the answer's Param1
constexpr Expect FL{"Enroll: Finger limit\n", -106};
constexpr Expect II{"Enroll: Invalid id\n", -107};
constexpr Expect SB{"System is busy\n", -111};
constexpr Expect CA{"Command is cancelled\n", -112};
constexpr Expect AE{"The finger is already enrolled\n", -117};

// Every row of the enroll answer table, with what each of its three uses makes of it.
struct FlagCase {
    uint8_t flag;
    Expect first;       // first answer of ES and ESA
    Expect afterSecond; // final answer after the second scan
    Expect data;        // final answer of EI, EIX, ET, ETX; first answer of EIX and ETX
};
// clang-format off
const FlagCase flagCases[] = {
    //                         first afterSecond data
    {SCAN_FAILED,             SF,   SF,         U},
    {TRY_AGAIN,               TA,   TA,         TA},
    {TIMEOUT,                 TO,   TO,         U},
    {MEMORY_FULL,             MF,   MF,         MF},
    {ID_ALREADY_USED,         AU,   AU,         AU},
    {FINGER_LIMIT,            FL,   FL,         FL},
    {INVALID_ID,              II,   II,         II},
    {SYSTEM_BUSY,             SB,   U,          SB},
    {CANCELLED,               CA,   CA,         U},
    {FINGER_ALREADY_ENROLLED, AE,   U,          AE},
    // SCAN_SUCCESS sent while the cache says off: taken as the answer itself.
    {SCAN_SUCCESS,            U,    U,          U},
    {NOT_FOUND,               U,    U,          U},
    {0xff,                    U,    U,          U},
};
// clang-format on

void check_failure(const Exchange& r, const std::string& callLine, const Expect& e) {
    EXPECT_EQ(r.rc, e.code);
    EXPECT_EQ(r.trace, callLine + "[ERR] " + e.message);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

TEST_F(EnrollCommands, FirstAnswerOfScanEnrollment) {
    for (const FlagCase& c : flagCases) {
        SCOPED_TRACE(c.flag);
        farend::Script s;
        s.open_sequence(0x30, 0x30, SCAN_SUCCESS_OFF)
            .expect_packet(cmd::ES, 5, 0, 0x71)
            .answer(cmd::ES, 0x99, 0, c.flag);
        uint32_t out = UNTOUCHED;
        const Exchange r = run_on(s, [&] { return enroll_by_scan(5, 0x71, &out); });
        check_failure(r, "[API] Enroll by scan(ES): 0x5 Add New Template\n", c.first);
        EXPECT_EQ(out, UNTOUCHED);
    }
}

TEST_F(EnrollCommands, FinalAnswerAfterSecondScan) {
    for (const FlagCase& c : flagCases) {
        SCOPED_TRACE(c.flag);
        farend::Script s;
        s.open_sequence(0x30, 0x31, SCAN_SUCCESS_OFF)
            .expect_packet(cmd::ES, 5, 0, 0x71)
            .answer(cmd::ES, 5, 0, SUCCEED)
            .answer(cmd::ES, 0x99, 0, c.flag);
        uint32_t out = UNTOUCHED;
        const Exchange r = run_on(s, [&] { return enroll_by_scan(5, 0x71, &out); });
        check_failure(r, "[API] Enroll by scan(ES): 0x5 Add New Template\n", c.afterSecond);
        EXPECT_EQ(out, UNTOUCHED);
    }
}

TEST_F(EnrollCommands, FinalAnswerOfTemplateEnrollment) {
    const Bytes data{1, 2, 3, 4};
    for (const FlagCase& c : flagCases) {
        SCOPED_TRACE(c.flag);
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::ET, 5, 4, 0x71)
            .expect(farend::data_block(data))
            .answer(cmd::ET, 0x99, 0, c.flag);
        uint32_t out = UNTOUCHED;
        const Exchange r = run_on(s, [&] { return enroll_by_template(5, data.data(), 4, 0x71, &out); });
        check_failure(r, "[API] Enroll by Template(ET): 0x5 Add New Template 0x4\n", c.data);
        EXPECT_EQ(out, UNTOUCHED);
    }
}

TEST_F(EnrollCommands, FirstAnswerOfChunkedTemplateEnrollmentEndsBeforeData) {
    const Bytes data{1, 2, 3, 4};
    for (const FlagCase& c : flagCases) {
        SCOPED_TRACE(c.flag);
        farend::Script s;
        s.open_sequence().expect_packet(cmd::ETX, 5, 0x10004, 0x71).answer(cmd::ETX, 0x99, 0, c.flag);
        const Exchange r =
            run_on(s, [&] { return enroll_by_templates_chunked(5, data.data(), 1, 4, 0x71, nullptr); });
        check_failure(r, "[API] Enroll by Template(ETX): 0x5 Add New Template 1 4\n", c.data);
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

// The administrator stage reads its answer whatever the SCAN_SUCCESS setting
// (here off), skipping one SCAN_SUCCESS before it.
struct AdminCase {
    Bytes answers;
    Expect outcome; // code 0: the enrollment goes on and succeeds
};
const AdminCase adminCases[] = {
    {{ENROLL_CONTINUE, SUCCEED}, {"", 0}},
    {{SCAN_SUCCESS, ENROLL_CONTINUE, SUCCEED}, {"", 0}},
    {{SCAN_FAILED}, {"Scan failed\n", -101}},
    {{SCAN_SUCCESS, SCAN_FAILED}, {"Scan failed\n", -101}},
    {{NOT_MATCH}, {"Admin's verification is failed\n", -110}},
    {{NOT_SUPPORTED}, {"No administrator is enrolled\n", -102}},
    {{SYSTEM_BUSY}, {"System is busy\n", -111}},
    {{CANCELLED}, {"Command is cancelled\n", -112}},
    {{SUCCEED}, {"Unknown error\n", -999}},
    {{SCAN_SUCCESS, SCAN_SUCCESS}, {"Unknown error\n", -999}},
};

TEST_F(EnrollCommands, AdministratorStage) {
    const std::string callLine = "[API] Enroll by scan with admin's verification(ESA): 0x7 Check ID\n";
    for (const AdminCase& c : adminCases) {
        SCOPED_TRACE(farend::hex_dump(c.answers));
        farend::Script s;
        s.open_sequence(0x30, 0x30, SCAN_SUCCESS_OFF).expect_packet(cmd::ESA, 7, 0, 0x70);
        for (uint8_t flag : c.answers) s.answer(cmd::ESA, 7, 0, flag);
        uint32_t out = UNTOUCHED;
        const Exchange r = run_on(s, [&] { return enroll_by_scan_with_admin(7, 0x70, &out); });
        EXPECT_EQ(r.rc, c.outcome.code);
        if (c.outcome.code == 0) {
            EXPECT_EQ(r.trace, callLine + "[API] Admin's verification succeed\n      Enroll: Succeed 0x7\n");
            EXPECT_EQ(out, 7u);
        } else {
            EXPECT_EQ(r.trace, callLine + "[ERR] " + c.outcome.message);
            EXPECT_EQ(out, UNTOUCHED);
        }
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

// A scan wait that meets another flag than SCAN_SUCCESS.
enum class Command { ES, ESA, ET };
struct WaitCase {
    const char* name;
    Command command;
    Bytes before; // answers before the failing one
    uint8_t flag;
    Expect outcome;
};
const WaitCase waitCases[] = {
    {"ES first wait", Command::ES, {}, SYSTEM_BUSY, SB},
    {"ES first wait", Command::ES, {}, CANCELLED, {"Command is canceled\n", -112}},
    {"ES first wait", Command::ES, {}, FINGER_ALREADY_ENROLLED, AE},
    {"ES first wait", Command::ES, {}, SUCCEED, {"Scan failed\n", -101}},
    {"ES second wait", Command::ES, {SCAN_SUCCESS, SUCCEED}, SYSTEM_BUSY, SB},
    {"ES second wait", Command::ES, {SCAN_SUCCESS, SUCCEED}, CANCELLED, {"Command is canceled\n", -112}},
    {"ES second wait",
     Command::ES,
     {SCAN_SUCCESS, SUCCEED},
     FINGER_ALREADY_ENROLLED,
     {"Scan failed\n", -101}},
    {"ES second wait", Command::ES, {SCAN_SUCCESS, SUCCEED}, SUCCEED, {"Scan failed\n", -101}},
    {"ESA user wait", Command::ESA, {ENROLL_CONTINUE}, FINGER_ALREADY_ENROLLED, AE},
    {"ESA second wait",
     Command::ESA,
     {ENROLL_CONTINUE, SCAN_SUCCESS, SUCCEED},
     SYSTEM_BUSY,
     {"Enroll: Scan failed\n", -101}},
    {"ESA second wait",
     Command::ESA,
     {ENROLL_CONTINUE, SCAN_SUCCESS, SUCCEED},
     SUCCEED,
     {"Enroll: Scan failed\n", -101}},
    {"ET wait", Command::ET, {}, CANCELLED, {"Enroll: Scan failed\n", -101}},
    {"ET wait", Command::ET, {}, SUCCEED, {"Enroll: Scan failed\n", -101}},
};

TEST_F(EnrollCommands, ScanWaits) {
    const Bytes data{9, 8};
    for (const WaitCase& c : waitCases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.flag));
        const uint8_t code = c.command == Command::ES ? 0x05 : c.command == Command::ESA ? 0x70 : 0x07;
        farend::Script s;
        s.open_sequence(0x30, 0x31, SCAN_SUCCESS_ON);
        s.expect_packet(code, 3, c.command == Command::ET ? 2 : 0, 0x71);
        if (c.command == Command::ET) s.expect(farend::data_block(data));
        for (uint8_t flag : c.before) s.answer(code, 3, 0, flag);
        s.answer(code, 3, 0, c.flag);
        const Exchange r = run_on(s, [&] {
            switch (c.command) {
            case Command::ES: return enroll_by_scan(3, 0x71, nullptr);
            case Command::ESA: return enroll_by_scan_with_admin(3, 0x71, nullptr);
            case Command::ET: return enroll_by_template(3, data.data(), 2, 0x71, nullptr);
            }
            return 0;
        });
        EXPECT_EQ(r.rc, c.outcome.code);
        EXPECT_TRUE(r.trace.ends_with(std::string("[ERR] ") + c.outcome.message)) << r.trace;
        EXPECT_TRUE(r.far.ok) << r.far.failure;
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
