// What the tool does the same way on every system, and the forms of its own
// system: the read time-out against a silent and a slow module, batch files
// with CR LF line ends, and on Windows the COM port names and the diagnosis
// of a port that is not there.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ErrorLines.h"
#include "FarEnd.h"
#include "Golden.h"
#include "protocol/Packet.h"

namespace cmd = kelvor::packet::cmd;
namespace flag = kelvor::packet::flag;

namespace {

using farend::Bytes;
using Args = std::vector<std::string>;

const std::string LOC = farend::site_prefix(err_site::RUN_CANNOT_INITIALIZE_SDK); // the opening failed

// The status answer, its last bytes coming one at a time `gapMs` apart.
farend::Script status_answered_slowly(int trickled, int gapMs) {
    const Bytes answer = farend::packet(cmd::SS, 0x30, 0, flag::SUCCEED);
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0);
    const size_t whole = answer.size() - static_cast<size_t>(trickled);
    s.send_raw(Bytes(answer.begin(), answer.begin() + static_cast<long>(whole)));
    for (size_t i = whole; i < answer.size(); ++i) s.pause(gapMs).send_raw({answer[i]});
    return s;
}

// The read time-out (300 ms in these runs) counts until the first byte and
// then from each byte to the next, never over the whole read.
TEST(ReadTimeout, CountsFromTheStartAndFromEachByte) {
    struct Row {
        const char* name;
        farend::Script script;
        long long atLeastMs;
    };
    farend::Script silent;
    silent.open_sequence().expect_packet(cmd::SS, 0, 0, 0);
    const Row rows[] = {
        {"silent", silent, 300},
        // Five gaps of 200 ms: a second in all, but no gap as long as the time-out.
        {"slow", status_answered_slowly(5, 200), 1000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        farend::TempDir dir;
        const farend::ToolRun r = farend::run_against(row.script, dir, {"-c", "SS"});
        EXPECT_GOLDEN(r.tool.err, row.name);
        EXPECT_TRUE(r.wire.ok) << r.wire.failure;
        EXPECT_GE(r.tool.elapsedMs, row.atLeastMs);
        EXPECT_LT(r.tool.elapsedMs, row.atLeastMs + 5000);
    }
}

// A batch file written on Windows: each line ends in CR LF, the CR is no part
// of the line's last word.
TEST(BatchFile, LinesEndingInCrLfRunAsTheyRead) {
    farend::TempDir dir;
    dir.write("batch.txt", std::string("-c SS\r\n-c SS\r\n"));
    farend::Script s;
    s.open_sequence();
    for (int i = 0; i < 2; ++i) s.expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    const farend::ToolRun r = farend::run_against(s, dir, {"-F", "batch.txt"});
    EXPECT_GOLDEN(r.tool.err);
    EXPECT_TRUE(r.wire.ok) << r.wire.failure;
    EXPECT_TRUE(r.wire.extra.empty()) << farend::hex_dump(r.wire.extra);
}

// On Windows a port is named COMn, or \\.\COMn as the device namespace has
// it (the only form for COM10 and above in most programs); both open it.
TEST(WindowsPorts, BothFormsOfAComNameOpenThePort) {
    if (!farend::tool_is_windows()) GTEST_SKIP() << "COM port names are Windows names";
    for (const bool deviceForm : {false, true}) {
        const char* form = deviceForm ? "device-namespace" : "COMn"; // \\.\COMn or COMn
        SCOPED_TRACE(form);
        farend::Script s;
        s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
        farend::FarEnd fe(s);
        const std::string com = farend::tool_port(fe.port());
        farend::TempDir dir;
        // Given as the tool sees it: no further mapping of a Linux device.
        const farend::RunResult r = farend::run_kelvor(
            {"-b", "115200", "-t", "300", "-x2", "-c", "SS", "-P", deviceForm ? "\\\\.\\" + com : com},
            dir.path());
        EXPECT_GOLDEN(r.err, form);
        EXPECT_EQ(dir.read("kelvor.cfg"), (deviceForm ? "\\\\.\\" + com : com) + " 53 0 1 0 300 2 4096");
        const farend::Outcome o = fe.finish(50);
        EXPECT_TRUE(o.ok) << o.failure;
    }
}

// A COM port that is not there is named as missing, with the ports present.
TEST(WindowsPorts, AMissingPortIsDiagnosedWithThePortsPresent) {
    if (!farend::tool_is_windows()) GTEST_SKIP() << "COM port names are Windows names";
    farend::TempDir dir;
    const farend::RunResult r = farend::run_kelvor({"-b", "115200", "-c", "SS", "-P", "COM250"}, dir.path());
    EXPECT_EQ(r.status, 1);
    const std::string head = LOC + "Err: Cannot initialize sdk\n       No such device: COM250; ";
    EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
    EXPECT_NE(r.err.find("(kelvor --list-ports)\n"), std::string::npos) << r.err;
    // The list names COM ports only, one per line.
    const farend::RunResult list = farend::run_kelvor({"--list-ports"}, dir.path());
    EXPECT_EQ(list.status, 0);
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.rfind("COM", 0) == 0 || line.rfind("  ", 0) == 0) << list.out;
}

} // namespace
