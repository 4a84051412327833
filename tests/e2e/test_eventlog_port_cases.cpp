// The command cases of the event log, clock, user memory and ports through the
// real binary: the front end's own steps, what reaches the wire and what is
// written to the output file, above all for counts and lengths that must not
// be trusted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "Golden.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::Script;

struct CaseRow {
    const char* name;
    std::vector<std::string> args;
    Bytes input;                           // written to in.bin, given with -i when not empty
    std::function<void(Script&)> exchange; // after the opening; nothing for a refused command
    const char* output;                    // what out.bin holds afterwards, nullptr when not given
};

Bytes bytes(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(0x41 + i % 26);
    return b;
}

TEST(EventLogPortCases, FrontEndStepsAndUntrustedCounts) {
    // The clock's conversion runs in the host's zone: UTC for exact packets.
    setenv("TZ", "UTC", 1);
    const Bytes records = bytes(2 * LOG_RECORD_SIZE);
    const Bytes memory = bytes(5);
    const CaseRow rows[] = {
        {"LR of no records does nothing", {"-c", "LR", "-p2", "0", "-o", "out.bin"}, {}, {}, ""},
        {"LR writes the records received",
         {"-c", "LR", "-p1", "0x10", "-p2", "2", "-o", "out.bin"},
         {},
         [&](Script& s) {
             s.expect_packet(cmd::LR, 0x10, 2, 0)
                 .answer(cmd::LR, 0, 2, SUCCEED)
                 .send(farend::data_block(records));
         },
         "records"},
        {"LR refused leaves the output empty",
         {"-c", "LR", "-p2", "2", "-o", "out.bin"},
         {},
         [](Script& s) { s.expect_packet(cmd::LR, 0, 2, 0).answer(cmd::LR, 0, 0, NOT_SUPPORTED); },
         ""},
        {"LR answered with more records than asked writes nothing",
         {"-c", "LR", "-p2", "1", "-o", "out.bin"},
         {},
         [](Script& s) { s.expect_packet(cmd::LR, 0, 1, 0).answer(cmd::LR, 0, 2, SUCCEED); },
         ""},
        {"LR beyond the cap is refused before anything is sent",
         {"-c", "LR", "-p2", "0xffffffff"},
         {},
         {},
         nullptr},
        {"TW in 2050",
         {"-c", "TW", "-p1", "0x0c0732", "-p2", "0x1e0f09"},
         {},
         [](Script& s) { s.expect_packet(cmd::TW, 0x0c0732, 0x1e0f09, 0).answer(cmd::TW, 0, 0, SUCCEED); },
         nullptr},
        {"TW on 31 April sends 1 May",
         {"-c", "TW", "-p1", "0x1f0407", "-p2", "0"},
         {},
         [](Script& s) { s.expect_packet(cmd::TW, 0x010507, 0, 0).answer(cmd::TW, 0, 0, SUCCEED); },
         nullptr},
        {"TW after the clock's last year", {"-c", "TW", "-p1", "0x010dff"}, {}, {}, nullptr},
        {"MW without a file", {"-c", "MW", "-p2", "5"}, {}, {}, nullptr},
        {"MW with a short file", {"-c", "MW", "-p2", "6"}, memory, {}, nullptr},
        {"MR with no data reads none",
         {"-c", "MR", "-p2", "5", "-o", "out.bin"},
         {},
         [](Script& s) { s.expect_packet(cmd::MR, 0, 5, 0).answer(cmd::MR, 0, 0, SUCCEED); },
         ""},
        {"MR announcing more than asked writes nothing",
         {"-c", "MR", "-p2", "4", "-o", "out.bin"},
         {},
         [&](Script& s) { s.expect_packet(cmd::MR, 0, 4, 0).answer(cmd::MR, 0, 5, SUCCEED); },
         ""},
        {"GW without a file, even of no records", {"-c", "GW", "-p2", "0"}, {}, {}, nullptr},
        {"GW with a short file", {"-c", "GW", "-p2", "2"}, bytes(15), {}, nullptr},
        {"GW count times 8 beyond 32 bits", {"-c", "GW", "-p2", "0x20000001"}, bytes(8), {}, nullptr},
        {"OL count beyond what 8-bit events allow",
         {"-c", "OL", "-f", "1"},
         {},
         [](Script& s) { s.expect_packet(cmd::OL, 0, 0, 1).answer(cmd::OL, 0, 0x101, SUCCEED); },
         nullptr},
        {"GR count beyond the cap",
         {"-c", "GR", "-p1", "2"},
         {},
         [](Script& s) { s.expect_packet(cmd::GR, 2, 0, 0).answer(cmd::GR, 0x20000, 0xffffffff, SUCCEED); },
         nullptr},
    };
    for (const CaseRow& row : rows) {
        SCOPED_TRACE(row.name);
        farend::TempDir dir;
        Script s;
        s.open_sequence();
        if (row.exchange) row.exchange(s);
        std::vector<std::string> args = row.args;
        if (!row.input.empty()) {
            dir.write("in.bin", row.input);
            args.insert(args.end(), {"-i", "in.bin"});
        }
        farend::FarEnd fe(s);
        std::vector<std::string> all = {"-P", fe.port(), "-b", "115200", "-t", "300", "-x2"};
        all.insert(all.end(), args.begin(), args.end());
        const farend::RunResult tool = farend::run_kelvor(all, dir.path());
        const farend::Outcome wire = fe.finish();
        EXPECT_TRUE(wire.ok) << wire.failure;
        EXPECT_TRUE(wire.extra.empty()) << farend::hex_dump(wire.extra);
        EXPECT_EQ(tool.status, 1);
        EXPECT_GOLDEN(tool.err, row.name);
        if (!row.output) continue;
        const std::string out = dir.read("out.bin");
        const std::string want = std::string(row.output) == "records"
                                     ? std::string(records.begin(), records.end())
                                     : std::string();
        EXPECT_EQ(out, want);
    }
    unsetenv("TZ");
}

} // namespace
