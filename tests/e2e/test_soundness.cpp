// Bad input and line faults that must neither hold a run nor fool it: files
// that are not regular files, settings files that are too long or not files,
// read time-outs out of range, a line that never stops sending, a port that
// goes away in the middle of a batch, and the reason line after an input that
// cannot be used.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ErrorLines.h"
#include "FarEnd.h"
#include "Golden.h"

#include "protocol/Packet.h"

namespace cmd = kelvor::packet::cmd;
namespace param = kelvor::packet::param;
namespace flag = kelvor::packet::flag;

namespace {

using farend::Bytes;
using Args = std::vector<std::string>;
constexpr int LIMIT_MS = 15000; // no run of these may take longer

struct ToolRun {
    farend::RunResult tool;
    farend::Outcome far;
    std::string err;
};

ToolRun run_script(const farend::Script& script, const farend::TempDir& dir, const Args& args,
                   int timeoutMs = 300) {
    farend::FarEnd fe(script);
    Args all = {"-P", fe.port(), "-b", "115200", "-t", std::to_string(timeoutMs), "-x2"};
    all.insert(all.end(), args.begin(), args.end());
    ToolRun r;
    r.tool = farend::run_program_with(KELVOR_BIN, all, dir.path(), 0, 0, LIMIT_MS);
    r.far = fe.finish(50);
    std::string err = r.tool.err;
    for (size_t at; (at = err.find(dir.path())) != std::string::npos;)
        err.replace(at, dir.path().size(), "{dir}");
    r.err = err;
    return r;
}

std::string fifo(const farend::TempDir& dir, const std::string& name) {
    const std::string path = dir.file(name);
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    return path;
}

const std::string OPEN_FAILED = farend::site_prefix(err_site::RUN_CANNOT_INITIALIZE_SDK);

struct InputRow {
    const char* name;
    Args args; // after the serial settings; "{fifo}" is a FIFO without a writer
};

// Inputs that are not regular files are refused at once with the specified
// line and a reason; the command is not sent.
TEST(Soundness, InputsThatAreNotRegularFilesAreRefusedAtOnce) {
    const InputRow rows[] = {
        {"template FIFO", {"-c", "ET", "-p1", "1", "-p2", "384", "-i", "{fifo}"}},
        {"firmware FIFO", {"-c", "UG", "-i", "{fifo}"}},
        {"image device", {"-c", "EI", "-i", "/dev/null"}},
        {"missing template", {"-c", "VT", "-p1", "1", "-p2", "4", "-i", "nosuch.bin"}},
        {"batch FIFO", {"-F", "{fifo}"}},
        {"batch of endless zeros", {"-F", "/dev/zero"}},
        {"output FIFO without a reader", {"-c", "RT", "-p1", "1", "-o", "{fifo}"}},
    };
    for (const InputRow& row : rows) {
        SCOPED_TRACE(row.name);
        // Windows has no FIFO in the file system to wait on a reader.
        if (farend::tool_is_windows() && std::string(row.name) == "output FIFO without a reader") continue;
        farend::TempDir dir;
        const std::string path = fifo(dir, "fifo");
        Args args;
        for (const std::string& a : row.args) args.push_back(a == "{fifo}" ? path : a);
        farend::Script s;
        s.open_sequence();
        const ToolRun r = run_script(s, dir, args);
        EXPECT_GOLDEN(r.err, row.name); // {dir} stands for the run's directory
        EXPECT_EQ(r.tool.status, 1);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

struct SettingsRow {
    const char* name;
    Args args;
    bool opens; // the connection opens and SS is answered
};

// kelvor.cfg is read as a short regular file, or not at all: a FIFO does not
// hold the run, a long file and a directory get lines that say so.
TEST(Soundness, SettingsFileThatIsNoFileOrTooLong) {
    struct Case {
        const char* name;
        void (*make)(const farend::TempDir&);
        SettingsRow row;
    };
    const Case cases[] = {
        {"FIFO",
         [](const farend::TempDir& d) { ::mkfifo(d.file("kelvor.cfg").c_str(), 0600); },
         {"FIFO", {"-c", "SS"}, true}},
        {"too long",
         [](const farend::TempDir& d) { d.write("kelvor.cfg", std::string(5000, ' ')); },
         {"too long", {"-c", "SS"}, false}},
        {"directory",
         [](const farend::TempDir& d) { ::mkdir(d.file("kelvor.cfg").c_str(), 0700); },
         {"directory", {"-c", "SS"}, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A FIFO is replaced by a rename on POSIX systems; Windows has none.
        if (farend::tool_is_windows() && std::string(c.name) == "FIFO") continue;
        farend::TempDir dir;
        c.make(dir);
        farend::Script s;
        if (c.row.opens)
            s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
        const ToolRun r = run_script(s, dir, c.row.args);
        EXPECT_GOLDEN(r.err, c.name);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
    // Without -b, an unreadable settings file is the reason for the missing rate.
    farend::TempDir dir;
    ::mkdir(dir.file("kelvor.cfg").c_str(), 0700);
    const auto r = farend::run_program_with(KELVOR_BIN, {"-c", "SS"}, dir.path(), 0, 0, LIMIT_MS);
    EXPECT_GOLDEN(r.err, "directory-without-a-rate");
}

// A read time-out outside 1 to 600000 ms is refused before anything is saved or sent.
TEST(Soundness, ReadTimeoutOutOfRangeIsRefused) {
    for (const char* t : {"0", "600001", "4294967295"}) {
        SCOPED_TRACE(t);
        farend::TempDir dir;
        farend::Script s;
        farend::FarEnd fe(s);
        const auto r = farend::run_program_with(
            KELVOR_BIN, {"-P", fe.port(), "-b", "115200", "-t", t, "-c", "SS"}, dir.path(), 0, 0, LIMIT_MS);
        const farend::Outcome far = fe.finish(50);
        EXPECT_GOLDEN(r.err, t);
        EXPECT_TRUE(far.received.empty()) << farend::hex_dump(far.received);
        EXPECT_NE(::access(dir.file("kelvor.cfg").c_str(), F_OK), 0);
    }
}

// Network mode and hex text count only when their setting is 1: -n 2 is
// single-module mode in packets and answers alike.
TEST(Soundness, NetworkModeOtherThanOneIsSingleModuleMode) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    const ToolRun r = run_script(s, dir, {"-n", "2", "-a", "3", "-c", "SS"});
    EXPECT_GOLDEN(r.err);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// A line that keeps sending never holds a run: the answer has an overall
// bound (the read time-out plus the wire time of 64 KiB), then it ends with
// the read time-out error.
TEST(Soundness, ALineThatNeverStopsSendingEndsTheAnswer) {
    struct Row {
        const char* name;
        Bytes first;
        Bytes every; // sent every 100 ms
    };
    const Row rows[] = {
        {"noise", {}, {0x00}},
        {"a text line that never ends", {'['}, {'a'}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        farend::TempDir dir;
        farend::Script s;
        s.open_sequence().expect_packet(cmd::SR, 0, 0, param::BAUDRATE).send_raw(row.first);
        for (int i = 0; i < 100; ++i) s.send_raw(row.every).pause(100);
        const ToolRun r = run_script(s, dir, {"-c", "SR", "-f", "0x71"});
        EXPECT_EQ(r.tool.status, 1);
        EXPECT_LT(r.tool.elapsedMs, 9000);
        EXPECT_NE(r.err.find("[ERR] Read data timeout"), std::string::npos) << r.err;
    }
}

// A line that trickles (a byte every 100 ms: noise, a half-broken adapter)
// from before the port is opened ends the opening within a few read
// time-outs: it never went quiet, and the reason line says so.
TEST(Soundness, ALineThatTricklesEndsTheOpening) {
    const std::string reason = "opened but the line never went quiet: bytes kept coming without a pause of "
                               "300 ms (-t), so no answer could be told from them; check the cable, the "
                               "adapter and what else sends on the line";
    struct Row {
        const char* name;
        Bytes every;
        Args args;
    };
    const Row rows[] = {
        {"noise", {0x00}, {"-c", "SS"}},
        {"start codes", {0x40}, {"-c", "SS"}},
        {"text lines begun, never ended", {'['}, {"-c", "SS"}},
        {"on a shared line", {0x41}, {"-n", "1", "-m", "1", "-c", "SS"}},
        {"noise, --json", {0x5A}, {"--json", "-c", "SS"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        farend::TempDir dir;
        farend::Script s;
        s.trickle(row.every, 100, LIMIT_MS);
        const ToolRun r = run_script(s, dir, row.args);
        EXPECT_EQ(r.tool.status, 1);
        // About four read time-outs: the status check's wait (or a text line's
        // bound), then the drain that gives up.
        EXPECT_LT(r.tool.elapsedMs, 4000);
        EXPECT_EQ(r.err.rfind(OPEN_FAILED + "Err: Cannot initialize sdk\n       The port ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(reason + "\n"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        if (row.args.front() == "--json") {
            EXPECT_NE(r.tool.out.find("\"result_name\":\"port_open\""), std::string::npos) << r.tool.out;
            EXPECT_NE(r.tool.out.find(reason + "\""), std::string::npos) << r.tool.out;
        }
    }
}

// The same line once the module has begun to answer: an answer, a data
// block or a chunk whose bytes trickle in ends at its bound (a read time-out
// and the wire time of 64 KiB and twice the block), not when the line stops.
TEST(Soundness, ALineThatTricklesEndsTheTransfer) {
    struct Row {
        const char* name;
        farend::Script script;
        Args args;
        std::string error;
    };
    farend::Script answer;
    answer.open_sequence().expect_packet(cmd::SR, 0, 0, param::BAUDRATE).trickle({0x00}, 100, LIMIT_MS);
    farend::Script block;
    block.open_sequence()
        .expect_packet(cmd::LT, 0, 0, 0)
        .answer(cmd::LT, 0x100, 0, flag::SUCCEED)
        .trickle({0x11}, 100, LIMIT_MS);
    farend::Script chunk;
    chunk.open_sequence()
        .expect_packet(cmd::RIX, 0, 64, 0)
        .answer(cmd::RIX, 0, 156, flag::SUCCEED)
        .answer(cmd::RIX, kelvor::packet::chunk_param1(3, 0), 64, 0)
        .trickle({0x22}, 100, LIMIT_MS);
    const Row rows[] = {
        {"an answer", answer, {"-c", "SR", "-f", "0x71"}, "[ERR] Read data timeout: 0 0xd\n"},
        {"a data block", block, {"-c", "LT"}, "[ERR] Serial read timeout "},
        {"a chunk", chunk, {"-c", "RIX", "-p2", "64", "-o", "read.bmp"}, "[ERR] Serial read timeout "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        farend::TempDir dir;
        const ToolRun r = run_script(row.script, dir, row.args);
        EXPECT_EQ(r.tool.status, 1);
        EXPECT_LT(r.tool.elapsedMs, 9000);
        EXPECT_NE(r.err.find(row.error), std::string::npos) << r.err;
    }
}

// A port that goes away ends a batch with one line; the lines after it are not tried.
TEST(Soundness, APortThatIsGoneEndsTheBatch) {
    farend::TempDir dir;
    std::string batch;
    for (int i = 0; i < 200; ++i) batch += "-c SS\n";
    dir.write("batch", batch);
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SS, 0, 0, 0)
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED)
        .pause(50)
        .hangup();
    const ToolRun r = run_script(s, dir, {"-F", "batch"});
    EXPECT_NE(r.err.find(farend::site_prefix(err_site::BATCH_PORT_GONE) +
                         "Err: The serial port is gone; the batch file batch ends before line "),
              std::string::npos)
        << r.err;
    EXPECT_LT(std::count(r.err.begin(), r.err.end(), '\n'), 12) << r.err;
}

} // namespace

namespace {

// Sizes are taken in 64 bits from the file and checked before a byte of it is
// read: beyond what a 32-bit size field announces the file is refused, and a
// firmware image needing more chunks than a header counts is refused at once.
TEST(Soundness, FileSizesAreCheckedBeforeAnythingIsRead) {
    struct Row {
        const char* name;
        uint64_t bytes;
    };
    const Row rows[] = {{"5 GiB", 5ull << 30}, {"3 GiB in 4096-byte chunks", 3ull << 30}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        farend::TempDir dir;
        dir.write("big.bin", std::string());
        ASSERT_EQ(::truncate(dir.file("big.bin").c_str(), static_cast<off_t>(row.bytes)), 0);
        farend::Script s;
        s.open_sequence();
        const ToolRun r = run_script(s, dir, {"-c", "UG", "-i", "big.bin", "-s", "4096"});
        EXPECT_GOLDEN(r.err, row.name);
        EXPECT_LT(r.tool.elapsedMs, 3000);
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

} // namespace
