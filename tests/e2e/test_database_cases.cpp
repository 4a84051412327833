// The front end's cases of the template database, administrator policies and
// firmware through the real binary against a scripted module: the RT read
// loop, the user ID lists, the firmware file and the password files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ErrorLines.h"
#include "FarEnd.h"
#include "Golden.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;
namespace param = kelvor::packet::param;

using namespace kelvor;

namespace {

using farend::Bytes;

using Exchange = farend::ToolRun;

Exchange run(const farend::Script& script, const farend::TempDir& dir, const std::vector<std::string>& args) {
    return farend::run_against(script, dir, args);
}

Bytes filled(size_t n, uint8_t value) {
    return Bytes(n, value);
}

uint32_t sum_of(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b) s += x;
    return s;
}

struct ReadLoop {
    const char* name;
    std::vector<uint8_t> flags; // of the first answer and the follow-up packets
    size_t templates;           // written to the output file
};

// Every template of the sequence goes to the file in the order received, each
// with the first answer's size; a follow-up flag other than the two ends it quietly.
TEST(DatabaseCases, ReadTemplatesLoop) {
    const ReadLoop rows[] = {
        {"three templates", {ENROLL_CONTINUE, ENROLL_CONTINUE, SUCCEED}, 3},
        {"stopped by not found", {ENROLL_CONTINUE, NOT_FOUND}, 1},
        {"one template", {SUCCEED}, 1},
    };
    for (const ReadLoop& row : rows) {
        SCOPED_TRACE(row.name);
        farend::TempDir dir;
        farend::Script s;
        s.open_sequence().expect_packet(cmd::RT, 5, 0, 0);
        Bytes expected;
        for (size_t i = 0; i < row.flags.size(); ++i) {
            // Later answers announce another size, which the loop does not use.
            s.answer(cmd::RT, 5, i == 0 ? 0x180 : 0x10, row.flags[i]);
            if (row.flags[i] != SUCCEED && row.flags[i] != ENROLL_CONTINUE) break;
            const Bytes tpl = filled(0x180, static_cast<uint8_t>(0xA0 + i));
            s.send(farend::data_block(tpl));
            expected.insert(expected.end(), tpl.begin(), tpl.end());
        }
        const Exchange r = run(s, dir, {"-c", "RT", "-p1", "5", "-o", "backup.bin"});
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_GOLDEN(r.tool.err, row.name);
        EXPECT_EQ(expected.size(), row.templates * 0x180);
        const std::string file = dir.read("backup.bin");
        EXPECT_EQ(Bytes(file.begin(), file.end()), expected);
    }
}

// A size beyond what the tool takes: nothing is read and the file stays empty.
TEST(DatabaseCases, TemplateSizeBeyondTheLimitWritesNothing) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().expect_packet(cmd::ST, 0, 0, 0).answer(cmd::ST, 0, 0x7FFFFFFF, SUCCEED);
    const Exchange r = run(s, dir, {"-c", "ST", "-o", "t.bin"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_GOLDEN(r.tool.err);
    EXPECT_EQ(dir.read("t.bin"), "");
}

TEST(DatabaseCases, UserIdLists) {
    // LT: the list printed after the location prefix; a count of 0 reads nothing more.
    {
        farend::TempDir dir;
        farend::Script s;
        s.open_sequence().expect_packet(cmd::LT, 3, 4, 0).answer(cmd::LT, 0, 0, SUCCEED);
        const Exchange r = run(s, dir, {"-c", "LT", "-p1", "3", "-p2", "4"});
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_GOLDEN(r.tool.err, "LT-none");
    }
    {
        farend::TempDir dir;
        farend::Script s;
        s.open_sequence().expect_packet(cmd::LT, 0, 0, 0).answer(cmd::LT, 2, 0, SUCCEED);
        s.send(farend::data_block(farend::concat({farend::le32(1), farend::le32(0x20)})));
        const Exchange r = run(s, dir, {"-c", "LT"});
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_GOLDEN(r.tool.err, "LT-two");
    }
    // UL: the list read whether or not it is written; written as it came.
    for (const bool toFile : {true, false}) {
        SCOPED_TRACE(toFile);
        farend::TempDir dir;
        const Bytes list = farend::concat({farend::le32(7), farend::le32(0x1234)});
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::UL, 0, 3, 0)
            .answer(cmd::UL, 2, 0, SUCCEED)
            .send(farend::data_block(list));
        std::vector<std::string> args = {"-c", "UL", "-p2", "3", "-x4"};
        if (toFile) args.insert(args.end(), {"-o", "reject.bin"});
        const Exchange r = run(s, dir, args);
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_NE(r.tool.err.find(
                      "[API] Number of user IDs: 2\n      [DATA] Receive: 07 00 00 00 34 12 00 00 0a\n"),
                  std::string::npos)
            << r.tool.err;
        if (toFile) {
            EXPECT_EQ(dir.read("reject.bin"), std::string(list.begin(), list.end()));
        }
    }
}

// The firmware file: -p2 0 sends the whole file; a -p2 beyond it sends nothing.
TEST(DatabaseCases, FirmwareFile) {
    Bytes image(10000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31);
    {
        farend::TempDir dir;
        dir.write("fw.bin", image);
        farend::Script s;
        s.open_sequence().expect_packet(cmd::UG, 0, 0x2710, 0).answer(cmd::UG, 0, 0, SUCCEED);
        const size_t lengths[] = {4096, 4096, 1808};
        size_t at = 0;
        for (uint16_t i = 0; i < 3; ++i) {
            const Bytes chunk(image.begin() + static_cast<std::ptrdiff_t>(at),
                              image.begin() + static_cast<std::ptrdiff_t>(at + lengths[i]));
            s.expect_packet(cmd::UG, packet::chunk_param1(3, i), static_cast<uint32_t>(lengths[i]), 0);
            s.expect(farend::concat({chunk, farend::le32(sum_of(chunk))}));
            s.answer(cmd::UG, 0, 0, DATA_ACCEPTED);
            at += lengths[i];
        }
        s.answer(cmd::UG, 0, 0, SUCCEED);
        const Exchange r = run(s, dir, {"-c", "UG", "-i", "fw.bin", "-s", "4096"});
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_GOLDEN(r.tool.err, "whole-file");
    }
    for (const char* size : {"10001", "0xFFFFFFFF"}) {
        SCOPED_TRACE(size);
        farend::TempDir dir;
        dir.write("fw.bin", image);
        const Exchange r =
            run(farend::Script().open_sequence(), dir, {"-c", "UG", "-i", "fw.bin", "-p2", size});
        EXPECT_TRUE(r.wire.extra.empty()) << farend::hex_dump(r.wire.extra);
        EXPECT_GOLDEN(r.tool.err, std::string("size-") + size);
    }
}

// Password files that lack a password are refused before anything is sent.
TEST(DatabaseCases, ShortPasswordFilesAreRefused) {
    struct Row {
        const char* command;
        size_t bytes;
    } rows[] = {{"UM", 15}, {"MP", 31}, {"MP", 0}};
    for (const Row& row : rows) {
        const std::string name = std::string(row.command) + " " + std::to_string(row.bytes);
        SCOPED_TRACE(name);
        farend::TempDir dir;
        std::vector<std::string> args = {"-c", row.command};
        if (row.bytes > 0) {
            dir.write("pw.bin", std::string(row.bytes, '7'));
            args.insert(args.end(), {"-i", "pw.bin"});
        }
        const Exchange r = run(farend::Script().open_sequence(), dir, args);
        EXPECT_TRUE(r.wire.extra.empty()) << farend::hex_dump(r.wire.extra);
        EXPECT_GOLDEN(r.tool.err, name);
    }
}

// LTX takes its buffer from the count of enrolled fingerprints: none, no LTX.
TEST(DatabaseCases, TemplateInfoWithNothingEnrolledSendsNoPacket) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SR, 0, 0, param::ENROLLED_FINGERPRINTS)
        .answer(cmd::SR, 0, 0, SUCCEED);
    const Exchange r = run(s, dir, {"-c", "LTX"});
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_TRUE(r.wire.extra.empty()) << farend::hex_dump(r.wire.extra);
    EXPECT_NE(r.tool.err.find(farend::site_prefix(host_check_site(cmd::LTX, HOST_CHECK_NOTHING)) +
                              "Err: No template is enrolled\n"),
              std::string::npos)
        << r.tool.err;
}

} // namespace
