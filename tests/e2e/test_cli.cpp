// The kelvor binary against a scripted far end: the run flow and its checks,
// kelvor.cfg across runs, the trace levels, raw packet mode, broadcast, the
// response monitor, the three packet forms on the wire and the limits of the
// command record.
#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
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
using Clock = std::chrono::steady_clock;

const std::string LOC = farend::site_prefix(err_site::RUN_CANNOT_INITIALIZE_SDK); // the opening failed

// Each byte as "%02x " (the form of the trace's dumps).
std::string spaced(const Bytes& bytes) {
    std::string out;
    char tmp[4];
    for (uint8_t b : bytes) {
        std::snprintf(tmp, sizeof tmp, "%02x ", b);
        out += tmp;
    }
    return out;
}

Bytes without_end(Bytes b) {
    b.pop_back();
    return b;
}

Bytes text_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The serial settings for the far end's port, with a short read time-out,
// ahead of the test's own arguments.
Args on(const farend::FarEnd& fe, const Args& args) {
    Args all = {"-P", fe.port(), "-b", "115200", "-t", "200"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

struct Outcome {
    farend::RunResult run;
    farend::Outcome far;
    std::string err; // stderr with the error lines' line numbers normalised
};

Outcome run_script(const farend::Script& script, const farend::TempDir& dir, const Args& args,
                   int graceMs = 50) {
    farend::FarEnd fe(script);
    Outcome r;
    r.run = farend::run_kelvor(on(fe, args), dir.path());
    r.far = fe.finish(graceMs);
    r.err = r.run.err;
    return r;
}

const Bytes SS_PACKET = farend::packet(cmd::SS, 0, 0, 0);
const Bytes SS_ANSWER = farend::packet(cmd::SS, 0x30, 0, 0x61);

farend::Script status_script() {
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    return s;
}

// ------------------------------------------------------- run flow checks

TEST(RunFlow, ChecksInOrderAndNothingSaved) {
    struct Case {
        const char* name;
        Args args;
        const char* cfg; // kelvor.cfg before the run, or nullptr for none
    };
    const char* valid = "/dev/null-port 53 0 1 0 1000 1 4096";
    // Without settings saved yet the errors about a rate tell why there is none.
    const Case cases[] = {
        {"no-arguments", {}, nullptr},
        {"code-of-no-command", {"-c", "05", "-P", "p", "-b", "115200"}, nullptr},
        {"name-of-no-command", {"-c", "ABCD", "-b", "14400"}, nullptr},
        {"no-command-with-settings", {"-p1", "5", "-P", "p", "-x3"}, valid},
        // A rate without a code overrides the saved code.
        {"rate-without-code", {"-c", "SS", "-b", "14400", "-P", "p"}, valid},
        {"no-rate-no-settings", {"-c", "SS", "-P", "p"}, nullptr},
        {"monitor-no-rate", {"-w", "-P", "p"}, nullptr},
        {"batch-no-rate", {"-F", "batch.txt"}, nullptr},
        {"no-port", {"-c", "SS", "-b", "115200"}, nullptr},
        {"no-port-network", {"-c", "SS", "-b", "115200", "-x4", "-n", "1"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::TempDir dir;
        if (c.cfg) dir.write("kelvor.cfg", std::string(c.cfg));
        farend::RunResult r = farend::run_kelvor(c.args, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_GOLDEN(r.err, c.name);
        if (c.cfg)
            EXPECT_EQ(dir.read("kelvor.cfg"), c.cfg);
        else
            EXPECT_FALSE(exists(dir.file("kelvor.cfg")));
    }
}

TEST(RunFlow, FailedOpeningShowsOnlyItsErrorLine) {
    // The settings are saved before the opening, so they stay saved after it failed.
    farend::TempDir dir;
    farend::RunResult r =
        farend::run_kelvor({"-c", "SS", "-b", "115200", "-P", "/nonexistent/tty", "-x4"}, dir.path());
    EXPECT_EQ(r.status, 1);
    // The error line, then one line of its own on why.
    const std::string first = LOC + "Err: Cannot initialize sdk\n       No such device: /nonexistent/tty; ";
    const std::string err = r.err;
    EXPECT_EQ(err.substr(0, first.size()), first);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
    EXPECT_EQ(dir.read("kelvor.cfg"), "/nonexistent/tty 53 0 1 0 1000 4 4096");
}

TEST(RunFlow, NegativeReadTimeoutIsRefused) {
    // -t -1 reads 0xFFFFFFFF: beyond any read time-out the tool takes, so the
    // run is refused before the port is opened or the settings are saved.
    farend::TempDir dir;
    const auto start = Clock::now();
    farend::RunResult r =
        farend::run_kelvor({"-c", "SS", "-b", "115200", "-P", "/dev/ptmx", "-t", "-1"}, dir.path());
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GOLDEN(r.err);
    EXPECT_FALSE(exists(dir.file("kelvor.cfg")));
    EXPECT_LT(took, 500);
}

TEST(RunFlow, SilentModuleCostsOneTimeout) {
    farend::TempDir dir;
    farend::Script s;
    s.expect_packet(cmd::SS, 0, 0, 0);
    farend::FarEnd fe(s);
    const auto start = Clock::now();
    farend::RunResult r = farend::run_kelvor(on(fe, {"-c", "SS", "-x4", "-t", "600"}), dir.path());
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, LOC.size() + 27 + 16), LOC + "Err: Cannot initialize sdk\n       The port ");
    EXPECT_NE(r.err.find("opened but no module answered at 115200 baud"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    // One read time-out of 600 ms, not two (with room for a slow, loaded machine).
    EXPECT_GE(took, 600);
    EXPECT_LT(took, 1100);
    farend::Outcome o = fe.finish(50);
    EXPECT_TRUE(o.ok) << o.failure;
    EXPECT_TRUE(o.extra.empty()) << farend::hex_dump(o.extra);
}

TEST(RunFlow, OutputFileIsCreatedEvenWhenTheRunStops) {
    farend::TempDir dir;
    dir.write("out.bin", std::string("old"));
    farend::RunResult r = farend::run_kelvor({"-o", "out.bin", "-o", "new.bin", "-c", "05"}, dir.path());
    EXPECT_GOLDEN(r.err);
    EXPECT_EQ(dir.read("out.bin"), "");
    EXPECT_TRUE(exists(dir.file("new.bin")));
}

// ---------------------------------------------------------------- kelvor.cfg

TEST(SettingsFile, WrittenOnceKeptAndRewrittenWhenASettingIsGiven) {
    farend::TempDir dir;
    farend::Script s = status_script();
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    farend::FarEnd fe(s);
    const std::string port = fe.port();

    // First run: no file yet, so it is written, with every initial value.
    farend::RunResult first = farend::run_kelvor({"-P", port, "-b", "115200", "-c", "SS"}, dir.path());
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(dir.read("kelvor.cfg"), farend::tool_port(port) + " 53 0 1 0 1000 1 4096");

    // Changed by hand; a run without settings reads it and leaves it as it is.
    const std::string byHand = farend::tool_port(port) + "  53 0 1 0 200 2 4096\n";
    dir.write("kelvor.cfg", byHand);
    farend::RunResult second = farend::run_kelvor({"-c", "SS"}, dir.path());
    EXPECT_GOLDEN(second.err, "second-run");
    EXPECT_EQ(dir.read("kelvor.cfg"), byHand);

    // A trace level given once is saved with the other settings as read.
    farend::RunResult third = farend::run_kelvor({"-c", "SS", "-x3"}, dir.path());
    EXPECT_NE(third.err.find("      [COM] Send: "), std::string::npos) << third.err;
    EXPECT_EQ(dir.read("kelvor.cfg"), farend::tool_port(port) + " 53 0 1 0 200 3 4096");

    farend::Outcome o = fe.finish(50);
    EXPECT_TRUE(o.ok) << o.failure;
    EXPECT_TRUE(o.extra.empty());
}

TEST(SettingsFile, SettingsThatCannotBeSavedDoNotStopTheRun) {
    farend::TempDir dir;
    // The file is written beside its place and renamed over it; a directory
    // of its name (not empty) cannot be replaced.
    ASSERT_EQ(::mkdir(dir.file("kelvor.cfg").c_str(), 0700), 0);
    dir.write("kelvor.cfg/keep", std::string("x"));
    Outcome r = run_script(status_script(), dir, {"-c", "SS", "-x2"});
    EXPECT_GOLDEN(r.err);
    EXPECT_TRUE(exists(dir.file("kelvor.cfg/keep")));
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// ------------------------------------------------------------- trace levels

TEST(TraceLevels, StatusCheckAtEachLevel) {
    for (const char* level : {"-x0", "-x1", "-x2", "-x3", "-x4"}) {
        SCOPED_TRACE(level);
        farend::TempDir dir;
        Outcome r = run_script(status_script(), dir, {"-c", "SS", level});
        EXPECT_EQ(r.run.status, 1);
        EXPECT_GOLDEN(r.err, level);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

TEST(TraceLevels, StatusNames) {
    const std::pair<uint32_t, const char*> statuses[] = {{0x32, "0x32"}, {0x39, "0x39"}};
    for (const auto& [value, name] : statuses) {
        SCOPED_TRACE(name);
        farend::TempDir dir;
        farend::Script s;
        s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, value, 0, flag::SUCCEED);
        Outcome r = run_script(s, dir, {"-c", "SS", "-x2"});
        EXPECT_GOLDEN(r.err, name);
    }
}

TEST(TraceLevels, ParameterRead) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SR, 0, 0, param::BAUDRATE).answer(cmd::SR, 0, 0x35, flag::SUCCEED);
    Outcome r = run_script(s, dir, {"-c", "SR", "-f", "0x71", "-x2"});
    EXPECT_GOLDEN(r.err);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// --------------------------------------------------------- raw packet mode

TEST(RawPacketMode, AnswerLineAndOneDataLinePerFurtherPacket) {
    struct Case {
        const char* command;
        uint8_t code;
    };
    const Case cases[] = {{"0x3F", 0x3F}, {"LC", cmd::LC}, {"0xEE", 0xEE}, {"EV", cmd::EV}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Bytes sent = farend::packet(c.code, 5, 0x100, 2);
        const Bytes answer = farend::packet(c.code, 1, 2, 0x61);
        const Bytes more1 = farend::packet(0x55, 0x12345679, 0, 0x61);
        const Bytes more2 = farend::packet(0x56, 0, 0x30, 0x69);
        farend::TempDir dir;
        farend::Script s;
        s.open_sequence().expect(sent).send(farend::concat({answer, more1, more2}));
        Outcome r = run_script(s, dir, {"-c", c.command, "-p1", "5", "-p2", "256", "-f", "2", "-x4"});
        EXPECT_GOLDEN(r.err, c.command);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

TEST(RawPacketMode, NoAnswer) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().expect_packet(cmd::LC, 0, 0, 0);
    Outcome r = run_script(s, dir, {"-c", "0x3f", "-x2"});
    EXPECT_GOLDEN(r.err);
}

TEST(RawPacketMode, InputDataShortFilePaddedWithZeros) {
    farend::TempDir dir;
    dir.write("raw.bin", Bytes{0x5B, 0x01, 0x0A});
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::LC, 0, 8, 0)
        .expect(farend::data_block({0x5B, 0x01, 0x0A, 0, 0, 0, 0, 0}))
        .answer(cmd::LC, 0, 0, flag::SUCCEED);
    Outcome r = run_script(s, dir, {"-c", "0x3f", "-p2", "8", "-i", "raw.bin", "-x2"});
    // The fifth value identifies the open input file: not 0.
    const std::string sent = "Send Command: 0x3f Param1: 0 Param2: 0x8 Flag: 0 0x";
    const size_t at = r.err.find(sent);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_NE(r.err[at + sent.size()], '0') << r.err;
    EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(r.err[at + sent.size()]))) << r.err;
    EXPECT_NE(r.err.find("[API] Receive Packet: 0x3f Param1: 0 Param2: 0 Error: 0x61\n"), std::string::npos);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

TEST(RawPacketMode, InputDataUpToTheBufferAndNoMore) {
    farend::TempDir dir;
    dir.write("raw.bin", Bytes{1, 2, 3});
    {
        Bytes block(0x40000, 0);
        block[0] = 1, block[1] = 2, block[2] = 3;
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::LC, 0, 0x40000, 0)
            .expect(farend::data_block(block))
            .answer(cmd::LC, 0, 0, flag::SUCCEED);
        Outcome r = run_script(s, dir, {"-c", "0x3f", "-p2", "0x40000", "-i", "raw.bin"});
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
    {
        farend::Script s;
        s.open_sequence();
        Outcome r = run_script(s, dir, {"-c", "0x3f", "-p2", "0x40001", "-i", "raw.bin"});
        EXPECT_GOLDEN(r.err, "beyond-the-buffer");
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
    {
        // Without an input file -p2 is only a number in the packet.
        farend::Script s;
        s.open_sequence().expect_packet(cmd::LC, 0, 0x40001, 0).answer(cmd::LC, 0, 0, flag::SUCCEED);
        Outcome r = run_script(s, dir, {"-c", "0x3f", "-p2", "0x40001"});
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.far.ok) << r.far.failure;
    }
}

TEST(RawPacketMode, DrainStopsAtTheEndOfItsBuffer) {
    // More packets than the 0x40000-byte buffer holds: the drain takes the
    // 20164 whole packets that fit and leaves the rest on the line.
    constexpr size_t FIT = 0x40000 / 13;
    const Bytes more = farend::packet(0x55, 0, 0, 0x61);
    Bytes flood;
    flood.reserve((FIT + 1) * more.size());
    for (size_t i = 0; i < FIT + 1; ++i) flood.insert(flood.end(), more.begin(), more.end());
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().expect_packet(cmd::LC, 0, 0, 0).answer(cmd::LC, 0, 0, flag::SUCCEED).send(flood);
    Outcome r = run_script(s, dir, {"-c", "0x3f", "-x4"});
    EXPECT_EQ(r.run.status, 1);
    size_t lines = 0;
    for (size_t at = 0; (at = r.err.find("Data: ", at)) != std::string::npos; at += 6) ++lines;
    EXPECT_EQ(lines, FIT + 1); // one per packet, and the empty last one
    const std::string tail = "Data: " + spaced(without_end(more)) + "\nData: \n";
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

TEST(RawPacketMode, ModuleTextLinesDuringTheDrain) {
    const Bytes more = farend::packet(0x55, 1, 0, 0x61);
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::LC, 0, 0, 0)
        .answer(cmd::LC, 0, 0, flag::SUCCEED)
        .send_raw(text_bytes("[scan done\r"))
        .send(more);
    Outcome r = run_script(s, dir, {"-c", "0x3f", "-x4"});
    EXPECT_GOLDEN(r.run.out, "out");
    EXPECT_NE(r.err.find("      [DATA] Data: " + spaced(without_end(more)) + "\nData: \n"), std::string::npos)
        << r.err;
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// ---------------------------------------------------------------- broadcast

TEST(Broadcast, StatusGoesToAllModulesWithoutAnAnswer) {
    farend::TempDir dir;
    farend::Script s;
    s.expect_raw({0x41, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x45, 0x0A});
    Outcome r = run_script(s, dir, {"-B", "-c", "SS", "-m", "7", "-x3"});
    EXPECT_EQ(r.run.status, 1);
    EXPECT_GOLDEN(r.err);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

TEST(Broadcast, InputDataAsFarAsTheFileGoes) {
    farend::TempDir dir;
    dir.write("raw.bin", Bytes{7, 8, 9});
    farend::Script s;
    s.network(true, 0).expect_packet(cmd::LC, 1, 8, 0).expect(farend::data_block({7, 8, 9}));
    Outcome r = run_script(s, dir, {"-B", "-c", "0x3f", "-p1", "1", "-p2", "8", "-i", "raw.bin"});
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

// ---------------------------------------------------------- response monitor

TEST(Monitor, OnePacketLinePerUnsolicitedPacket) {
    const Bytes p1 = farend::packet(0x58, 0, 0, 0x61);
    const Bytes p2 = farend::packet(0x57, 0x1234, 0, 0x61);
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().pause(50).send(p1).pause(50).send(p2).pause(200).hangup();
    Outcome r = run_script(s, dir, {"-w", "-x2"});
    EXPECT_EQ(r.run.status, 1);
    EXPECT_GOLDEN(r.err);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

TEST(Monitor, AfterTheCommand) {
    const Bytes p1 = farend::packet(0x58, 0, 0, 0x61);
    farend::TempDir dir;
    farend::Script s = status_script();
    s.send(p1).pause(200).hangup();
    Outcome r = run_script(s, dir, {"-c", "SS", "-w", "-x2"});
    EXPECT_GOLDEN(r.err);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

TEST(Monitor, ModuleTextLinesGoToStdout) {
    const Bytes p1 = farend::packet(0x58, 0, 0, 0x61);
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().send_raw(text_bytes("[finger on\r")).send(p1).pause(200).hangup();
    Outcome r = run_script(s, dir, {"-w", "-x2"});
    EXPECT_GOLDEN(r.run.out, "out");
    EXPECT_GOLDEN(r.err, "err");
}

// ------------------------------------------------------------ packet forms

TEST(PacketForms, NetworkModeOnTheWire) {
    farend::TempDir dir;
    farend::Script s;
    s.network(true, 2)
        .open_sequence()
        .expect_raw({0x41, 0x02, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x47, 0x0A})
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    Outcome r = run_script(s, dir, {"-n", "1", "-m", "2", "-c", "SS", "-x3"});
    EXPECT_GOLDEN(r.err);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_EQ(dir.read("kelvor.cfg").substr(dir.read("kelvor.cfg").find(' ')), " 53 1 2 0 200 3 4096");
}

TEST(PacketForms, HexTextOnTheWire) {
    farend::TempDir dir;
    farend::Script s;
    s.hex(true)
        .open_sequence()
        .expect_raw(text_bytes("4004000000000000000000440A"))
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    Outcome r = run_script(s, dir, {"-a", "1", "-c", "SS", "-x3"});
    EXPECT_GOLDEN(r.err);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

TEST(PacketForms, ModuleTextLineBeforeTheAnswer) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SS, 0, 0, 0)
        .send_raw(text_bytes("[ready\r"))
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    Outcome r = run_script(s, dir, {"-c", "SS", "-x2"});
    EXPECT_GOLDEN(r.run.out, "out");
    EXPECT_GOLDEN(r.err, "err");
}

// -------------------------------------------------------- limits of the record

TEST(Limits, OverlongWordsAreRefusedBeforeAnythingIsSent) {
    farend::TempDir dir;
    farend::Script none;
    farend::FarEnd fe(none);
    const Args base = on(fe, {"-c", "SS"});
    size_t used = 0;
    for (const auto& w : base) used += farend::tool_port(w).size() + 1;
    auto filler = [&](size_t total) { return "-z" + std::string(total - used - 3, 'z'); };

    struct Case {
        const char* name;
        Args args;
    };
    const Case cases[] = {
        {"arguments",
         [&] {
             Args a = base;
             a.push_back(filler(513));
             return a;
         }()},
        {"port-name", on(fe, {"-c", "SS", "-P", std::string(256, 'p')})},
        {"batch-file-name", on(fe, {"-F", std::string(256, 'f')})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::RunResult r = farend::run_kelvor(c.args, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_GOLDEN(r.err, c.name);
        EXPECT_FALSE(exists(dir.file("kelvor.cfg")));
    }
    farend::Outcome o = fe.finish(50);
    EXPECT_TRUE(o.received.empty()) << farend::hex_dump(o.received);
}

TEST(Limits, ArgumentsOfExactly512BytesRun) {
    farend::TempDir dir;
    farend::FarEnd fe(status_script());
    Args args = on(fe, {"-c", "SS", "-x2"});
    size_t used = 0;
    for (const auto& w : args) used += w.size() + 1;
    args.push_back("-z" + std::string(512 - used - 3, 'z'));
    farend::RunResult r = farend::run_kelvor(args, dir.path());
    EXPECT_GOLDEN(r.err);
    farend::Outcome o = fe.finish(50);
    EXPECT_TRUE(o.ok) << o.failure;
}

TEST(Limits, OverlongPortNameInTheSettingsFile) {
    farend::TempDir dir;
    const std::string cfg = std::string(256, 'p') + " 53 0 1 0 1000 1 4096";
    dir.write("kelvor.cfg", cfg);
    farend::Script none;
    Outcome r = run_script(none, dir, {"-c", "SS"});
    EXPECT_GOLDEN(r.err);
    EXPECT_EQ(dir.read("kelvor.cfg"), cfg);
    EXPECT_TRUE(r.far.received.empty()) << farend::hex_dump(r.far.received);
}

} // namespace
