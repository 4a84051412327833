// What the front end refuses before it sends anything (data beyond its limit,
// an output file that cannot be created, a batch file that is a directory),
// output writes that fail, and the response monitor's partial line when the
// tool is stopped.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "Golden.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;
using Args = std::vector<std::string>;

struct Outcome {
    farend::RunResult run;
    farend::Outcome far;
    std::string err;
};

Outcome run_script(const farend::Script& script, const farend::TempDir& dir, const Args& args, int signal = 0,
                   int signalAfterMs = 0) {
    farend::FarEnd fe(script);
    Args all = {"-P", fe.port(), "-b", "115200", "-t", "200", "-x2"};
    all.insert(all.end(), args.begin(), args.end());
    Outcome r;
    r.run = farend::run_program_with(KELVOR_BIN, all, dir.path(), signal, signalAfterMs, 20000);
    r.far = fe.finish(50);
    r.err = r.run.err;
    return r;
}

struct RefusalRow {
    const char* what;
    Args args;
};

// Refused after the opening: not one byte of the command goes out.
TEST(Refusals, NothingIsSentForWhatCannotBeDone) {
    const RefusalRow rows[] = {
        {"template size beyond the limit", {"-c", "ET", "-i", "t.bin", "-p2", "0x40000000"}},
        {"identify template beyond the limit", {"-c", "IT", "-i", "t.bin", "-p2", "0x40001"}},
        {"host templates beyond the limit together",
         {"-c", "VH", "-i", "t.bin", "-p1", "10", "-p2", "0x7000"}},
        {"output in a missing directory", {"-c", "SI", "-o", "{dir}/missing/x.bmp"}},
        {"output that is a directory", {"-c", "KS", "-o", "{dir}"}},
        {"raw packet with an uncreatable output", {"-c", "0xEE", "-o", "{dir}/missing/x"}},
        {"batch file that is a directory", {"-F", "{dir}"}},
    };
    for (const RefusalRow& row : rows) {
        SCOPED_TRACE(row.what);
        farend::TempDir dir;
        dir.write("t.bin", Bytes(64, 0x11));
        // {dir} stands for the run's directory in the arguments and the golden files.
        Args args;
        for (const std::string& a : row.args) args.push_back(golden::replaced(a, "{dir}", dir.path()));
        farend::Script s;
        s.open_sequence();
        const Outcome r = run_script(s, dir, args);
        EXPECT_EQ(r.run.status, 1);
        EXPECT_GOLDEN(golden::replaced(r.err, dir.path(), "{dir}"), row.what);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
    }
}

// In a batch only the line with the uncreatable output is refused.
TEST(Refusals, UncreatableOutputRefusesOnlyItsBatchLine) {
    farend::TempDir dir;
    dir.write("batch", "-c SS -o missing/x\n-c SS\n");
    farend::Script s;
    s.open_sequence().expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, SUCCEED);
    const Outcome r = run_script(s, dir, {"-F", "batch"});
    EXPECT_GOLDEN(r.err);
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// A full disk: the data arrived, the failed write is reported, and the
// encrypted template is not reported as got.
TEST(Refusals, FailedOutputWriteIsReported) {
    farend::TempDir dir;
    Bytes image(IMAGE_HEADER_SIZE + 16);
    packet::put32(&image[0], 4);
    packet::put32(&image[4], 4);
    const Bytes tpl(48, 0x33);
    farend::Script si;
    si.open_sequence()
        .expect_packet(cmd::SI, 0, 0, 0)
        .answer(cmd::SI, 0, static_cast<uint32_t>(image.size()), SUCCEED);
    si.send(farend::data_block(image));
    Outcome r = run_script(si, dir, {"-x1", "-c", "SI", "-o", "/dev/full"});
    EXPECT_GOLDEN(r.err, "SI");
    EXPECT_TRUE(r.far.ok) << r.far.failure;

    farend::Script ks;
    ks.open_sequence().expect_packet(cmd::ST, 5, 0, 0).answer(cmd::ST, 0, 48, SUCCEED);
    ks.send(farend::data_block(tpl));
    r = run_script(ks, dir, {"-x1", "-c", "KS", "-p1", "5", "-o", "/dev/full"});
    EXPECT_GOLDEN(r.err, "KS");
    EXPECT_TRUE(r.far.ok) << r.far.failure;
}

// The monitor shows a packet begun as soon as the line goes quiet, so a
// monitor stopped by the operator has shown everything that came.
TEST(Monitor, PartialPacketShownBeforeTheToolIsStopped) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence().send(farend::packet(cmd::IS, 7, 0, SUCCEED)).send_raw({0x40, 0x11, 0x01}).pause(2000);
    const Outcome r = run_script(s, dir, {"-w"}, SIGTERM, 800);
    EXPECT_EQ(r.run.status, 128 + SIGTERM);
    EXPECT_GOLDEN(r.err);
}

} // namespace
