// Batch files and directory mode with the kelvor binary against a scripted
// far end: one connection for all lines, the per-line reset, the 511-character
// line buffer, settings that hold for later lines, and directory mode over
// files in name order.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "Golden.h"
#include "image/Bmp.h"

#include "protocol/Packet.h"

namespace cmd = kelvor::packet::cmd;
namespace flag = kelvor::packet::flag;

namespace {

using farend::Bytes;
using Args = std::vector<std::string>;

// The trace of one status check at level 2, which a reader of the run finds twice.
const std::string SS_TRACE = "[API] Check system status(SS)\n      Module is in normal condition(0x30)\n";

struct Outcome {
    farend::RunResult run;
    farend::Outcome far;
    std::string err; // stderr with the error lines' line numbers normalised
};

// Runs kelvor on the far end's port with a short read time-out.
Outcome run_script(const farend::Script& script, const farend::TempDir& dir, const Args& args) {
    farend::FarEnd fe(script);
    Args all = {"-P", fe.port(), "-b", "115200", "-t", "200"};
    all.insert(all.end(), args.begin(), args.end());
    Outcome r;
    r.run = farend::run_kelvor(all, dir.path());
    r.far = fe.finish(50);
    r.err = r.run.err;
    EXPECT_EQ(r.run.status, 1);
    return r;
}

// The text with the path of `name` in `dir` as the tool under test writes it
// (with a backslash, for the Windows program) in its POSIX form.
std::string posix_path(const std::string& text, const std::string& dir, const std::string& name) {
    return golden::replaced(text, farend::tool_path(dir, name), dir + "/" + name);
}

void expect_clean(const Outcome& r) {
    EXPECT_TRUE(r.far.ok) << r.far.failure;
    EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
}

// An 8-bit gray BMP of w x h pixels; returns its gray buffer (rows from the top).
Bytes make_bmp(const std::string& path, int w, int h, int seed) {
    Bytes gray(static_cast<size_t>(w * h));
    for (size_t i = 0; i < gray.size(); ++i)
        gray[i] = static_cast<uint8_t>(i * 13 + static_cast<size_t>(seed));
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
        EXPECT_EQ(bmp_write(f, gray.data(), w, h), 1);
        std::fclose(f);
    }
    return gray;
}

// What the image commands send of a w x h image: w*h bytes of the image
// record from its first byte, so the 28-byte header and then the pixels.
Bytes record_prefix(const Bytes& gray, uint32_t w, uint32_t h) {
    Bytes rec = farend::concat({farend::le32(w), farend::le32(h), farend::le32(0), farend::le32(0),
                                farend::le32(0), farend::le32(w * h), farend::le32(0), gray});
    rec.resize(w * h);
    return rec;
}

// Identification by image of one file: command, data block, final answer.
void expect_identify(farend::Script& s, const Bytes& sent, uint32_t id) {
    s.expect_packet(cmd::II, 0, static_cast<uint32_t>(sent.size()), 0)
        .expect(farend::data_block(sent))
        .answer(cmd::II, id, 0, flag::SUCCEED);
}

// Enrollment by image in chunks of chunkSize.
void expect_enroll_chunked(farend::Script& s, const Bytes& sent, uint32_t chunkSize) {
    const auto total = static_cast<uint32_t>(sent.size());
    const auto count = static_cast<uint16_t>((total + chunkSize - 1) / chunkSize);
    s.expect_packet(cmd::EIX, 0, total, 0).answer(cmd::EIX, 0, 0, flag::SUCCEED);
    for (uint16_t i = 0; i < count; ++i) {
        const uint32_t off = i * chunkSize;
        const uint32_t len = std::min(chunkSize, total - off);
        const Bytes chunk(sent.begin() + off, sent.begin() + off + len);
        uint32_t sum = 0;
        for (uint8_t b : chunk) sum += b;
        s.expect_packet(cmd::EIX, static_cast<uint32_t>(count) | static_cast<uint32_t>(i) << 16, len, 0)
            .expect(chunk)
            .expect(farend::le32(sum))
            .answer(cmd::EIX, 0, 0, flag::DATA_ACCEPTED);
    }
    s.answer(cmd::EIX, 0x21, 0, flag::SUCCEED);
}

// ------------------------------------------------------------------- batch

// `count` SS exchanges, each answered with the normal status.
farend::Script& ss_lines(farend::Script& s, int count) {
    for (int i = 0; i < count; ++i) s.expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    return s;
}

TEST(Batch, LinesShareOneConnection) {
    farend::TempDir dir;
    dir.write("b.txt", std::string("-c SS\n-c SS\n"));
    farend::Script s;
    ss_lines(s.open_sequence(), 2);
    Outcome r = run_script(s, dir, {"-F", "b.txt", "-x2"});
    EXPECT_GOLDEN(r.err);
    expect_clean(r);
}

// With --json, the results of a batch are written out several at once, but
// never kept from a reader while the run waits on the line: the first line's
// object is out although the run is killed (no handler of its own runs) while
// the second line still waits for its answer.
TEST(Batch, JsonResultsAreOutBeforeTheRunWaits) {
    POSIX_TOOL_ONLY("a signal");
    farend::TempDir dir;
    dir.write("b.txt", std::string("-c SS\n-c SS\n"));
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::SS, 0, 0, 0)
        .answer(cmd::SS, 0x30, 0, flag::SUCCEED)
        .expect_packet(cmd::SS, 0, 0, 0)
        .pause(5000);
    farend::FarEnd fe(s);
    const auto r = farend::run_program_with(
        KELVOR_BIN, {"-P", fe.port(), "-b", "115200", "-t", "4000", "--json", "-F", "b.txt"}, dir.path(),
        SIGKILL, 1500, 20000);
    fe.finish(50);
    EXPECT_EQ(
        r.out.rfind(R"({"format":1,"kind":"command","command":"SS","code":4,"module_id":null,"line":1,)", 0),
        0u)
        << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
}

// A reader of both streams (2>&1, into a pipe or a file) gets each line's
// trace and object in the order they were made: nothing is held back then.
TEST(Batch, JsonResultsKeepTheirPlaceAmongTheTrace) {
    POSIX_TOOL_ONLY("a shell's 2>&1");
    farend::TempDir dir;
    dir.write("b.txt", std::string("-c SS\n-c SS\n"));
    struct Row {
        const char* into;
        int status; // kelvor's (1, as every run that drives the module), or the pipe's: cat's
    };
    for (const Row& row : {Row{"> all.txt 2>&1", 1}, Row{"2>&1 | cat > all.txt", 0}}) {
        SCOPED_TRACE(row.into);
        farend::Script s;
        ss_lines(s.open_sequence(), 2);
        farend::FarEnd fe(s);
        const std::string command = std::string("\"$0\" \"$@\" ") + row.into;
        const auto r = farend::run_program("/bin/sh",
                                           {"-c", command, KELVOR_BIN, "-P", fe.port(), "-b", "115200", "-t",
                                            "200", "-x2", "--json", "-F", "b.txt"},
                                           dir.path());
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_TRUE(fe.finish(50).ok);
        const std::string all = dir.read("all.txt");
        const size_t second = all.find(SS_TRACE, all.find(SS_TRACE) + 1);
        const size_t first = all.find(R"("line":1,)");
        ASSERT_NE(second, std::string::npos) << all;
        ASSERT_NE(first, std::string::npos) << all;
        EXPECT_LT(first, second) << all;
    }
}

TEST(Batch, BlankLineSendsCommandZero) {
    farend::TempDir dir;
    dir.write("b.txt", std::string("\n   \n-c SS"));
    farend::Script s;
    s.open_sequence();
    for (int i = 0; i < 2; ++i) s.expect_packet(0x00, 0, 0, 0).answer(0x00, 0, 0, flag::SUCCEED);
    s.expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    Outcome r = run_script(s, dir, {"-F", "b.txt", "-x2"});
    EXPECT_GOLDEN(r.err);
    expect_clean(r);
}

TEST(Batch, LongLineIsReadIn511Characters) {
    // 600 characters: the first read takes 511 and ends with "-p1 12"; the
    // next takes the remaining 89, which begin with the "3" of "123".
    std::string first = "-c 0x3F";
    const std::string firstEnd = "-p1 123";
    first += std::string(511 - first.size() - firstEnd.size() + 1, ' ') + firstEnd;
    std::string line = first + " -c 0x3E -p1 5";
    line += std::string(600 - line.size(), ' ');
    ASSERT_EQ(line.size(), 600u);
    ASSERT_EQ(line.substr(505, 7), "-p1 123");
    farend::TempDir dir;
    dir.write("b.txt", line + "\n");
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::LC, 12, 0, 0)
        .answer(cmd::LC, 0, 0, flag::SUCCEED)
        .expect_packet(cmd::LD, 5, 0, 0)
        .answer(cmd::LD, 0, 0, flag::SUCCEED);
    Outcome r = run_script(s, dir, {"-F", "b.txt"});
    EXPECT_EQ(r.err, "");
    expect_clean(r);
}

TEST(Batch, LineOfExactly511CharactersIsOneLine) {
    // Its line feed does not make an empty line (which would send command 0x00).
    std::string line = "-c 0x3F -p1 7";
    line += std::string(511 - line.size(), ' ');
    ASSERT_EQ(line.size(), 511u);
    farend::TempDir dir;
    dir.write("b.txt", line + "\n-c 0x3E\n");
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::LC, 7, 0, 0)
        .answer(cmd::LC, 0, 0, flag::SUCCEED)
        .expect_packet(cmd::LD, 0, 0, 0)
        .answer(cmd::LD, 0, 0, flag::SUCCEED);
    Outcome r = run_script(s, dir, {"-F", "b.txt"});
    EXPECT_EQ(r.err, "");
    expect_clean(r);
}

TEST(Batch, CommandFieldsAreResetForEachLine) {
    farend::TempDir dir;
    dir.write("b.txt", std::string("-c 0x3F -p1 5 -p2 6 -f 7\n-c 0x3F\n"));
    farend::Script s;
    s.open_sequence()
        .expect_packet(cmd::LC, 5, 6, 7)
        .answer(cmd::LC, 0, 0, flag::SUCCEED)
        .expect_packet(cmd::LC, 0, 0, 0)
        .answer(cmd::LC, 0, 0, flag::SUCCEED);
    Outcome r = run_script(s, dir, {"-F", "b.txt", "-p1", "9"});
    EXPECT_EQ(r.err, "");
    expect_clean(r);
}

TEST(Batch, ChunkSizeHoldsForLaterLinesAndIsNotSaved) {
    farend::TempDir dir;
    const Bytes gray = make_bmp(dir.file("img.bmp"), 64, 64, 1);
    const Bytes sent = record_prefix(gray, 64, 64);
    dir.write("b.txt", std::string("-c EIX -i img.bmp\n-s 0x800 -b 9600 -c SS\n-c EIX -i img.bmp\n"));
    farend::Script s;
    s.open_sequence();
    expect_enroll_chunked(s, sent, 4096);
    s.expect_packet(cmd::SS, 0, 0, 0).answer(cmd::SS, 0x30, 0, flag::SUCCEED);
    expect_enroll_chunked(s, sent, 0x800);
    Outcome r = run_script(s, dir, {"-F", "b.txt"});
    EXPECT_EQ(r.err, "");
    expect_clean(r);
    const std::string cfg = dir.read("kelvor.cfg");
    EXPECT_EQ(cfg.substr(cfg.find(' ')), " 53 0 1 0 200 1 4096");
}

TEST(Batch, LinesCannotChangeTheLinkOrStartOtherModes) {
    // -x, -B and -w on a line: the trace level stays, the command goes through
    // the dispatcher and waits for its answer, and no monitor runs.
    farend::TempDir dir;
    dir.write("b.txt", std::string("-x4 -B -w -c SS\n-t 5000 -c SS\n"));
    farend::Script s;
    ss_lines(s.open_sequence(), 2);
    Outcome r = run_script(s, dir, {"-F", "b.txt", "-w", "-x2"});
    EXPECT_GOLDEN(r.err);
    expect_clean(r);
}

TEST(Batch, MissingBatchFile) {
    farend::TempDir dir;
    farend::Script s;
    s.open_sequence();
    Outcome r = run_script(s, dir, {"-F", "nofile.txt", "-c", "SS"});
    EXPECT_GOLDEN(r.err);
    expect_clean(r);
}

// ----------------------------------------------------------- directory mode

class DirectoryMode : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(dir_.file("imgs").c_str(), 0700), 0);
        // Made in reverse order; handled in name order.
        grayB_ = make_bmp(dir_.file("imgs/b.bmp"), 16, 16, 2);
        grayA_ = make_bmp(dir_.file("imgs/a.bmp"), 8, 8, 1);
        dir_.write("imgs/c.txt", std::string("not an image"));
        ASSERT_EQ(::mkdir(dir_.file("imgs/sub").c_str(), 0700), 0);
    }
    farend::Script identify_both() {
        farend::Script s;
        s.open_sequence();
        expect_identify(s, record_prefix(grayA_, 8, 8), 1);
        expect_identify(s, record_prefix(grayB_, 16, 16), 2);
        return s;
    }
    // The errors of the two entries that are no images, the path in the tool's own form.
    std::string errors(const Outcome& r) const { return posix_path(r.err, "imgs", "sub"); }

    farend::TempDir dir_;
    Bytes grayA_, grayB_;
};

TEST_F(DirectoryMode, EveryFileInNameOrder) {
    Outcome r = run_script(identify_both(), dir_, {"-c", "II", "-i", "imgs"});
    EXPECT_GOLDEN(errors(r));
    expect_clean(r);
}

TEST_F(DirectoryMode, FromABatchLine) {
    dir_.write("b.txt", std::string("-c II -i imgs\n"));
    Outcome r = run_script(identify_both(), dir_, {"-F", "b.txt"});
    EXPECT_GOLDEN(errors(r));
    expect_clean(r);
}

TEST_F(DirectoryMode, EmptyDirectoryRunsNothing) {
    ASSERT_EQ(::mkdir(dir_.file("empty").c_str(), 0700), 0);
    farend::Script s;
    s.open_sequence();
    Outcome r = run_script(s, dir_, {"-c", "II", "-i", "empty", "-x4"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.run.out, "");
    expect_clean(r);
}

TEST_F(DirectoryMode, MissingDirectoryIsTriedAsAFile) {
    farend::Script s;
    s.open_sequence();
    Outcome r = run_script(s, dir_, {"-c", "II", "-i", "nodir"});
    EXPECT_GOLDEN(r.err);
    expect_clean(r);
}

TEST_F(DirectoryMode, LongPaths) {
    // A path of 255 characters is handled, one of 256 is refused; a directory
    // path beyond 257 characters is refused before anything is sent.
    const std::string longDir(200, 'd');
    ASSERT_EQ(::mkdir(dir_.file(longDir).c_str(), 0700), 0);
    const std::string fits = std::string(50, 'a') + ".bmp", tooLong = std::string(51, 'b') + ".bmp";
    const Bytes gray = make_bmp(dir_.file(longDir + "/" + fits), 8, 8, 3);
    make_bmp(dir_.file(longDir + "/" + tooLong), 8, 8, 4);
    {
        farend::Script s;
        s.open_sequence();
        expect_identify(s, record_prefix(gray, 8, 8), 1);
        Outcome r = run_script(s, dir_, {"-c", "II", "-i", longDir});
        EXPECT_GOLDEN(posix_path(r.err, longDir, tooLong), "file");
        expect_clean(r);
    }
    const std::string deeper = longDir + "/" + std::string(57, 'e');
    ASSERT_EQ(deeper.size(), 258u);
    ASSERT_EQ(::mkdir(dir_.file(deeper).c_str(), 0700), 0);
    farend::Script none;
    Outcome r = run_script(none, dir_, {"-c", "II", "-i", deeper});
    EXPECT_GOLDEN(r.err, "directory");
    EXPECT_TRUE(r.far.received.empty()) << farend::hex_dump(r.far.received);
}

TEST_F(DirectoryMode, ChunkSizeZeroIsRefusedBeforeSending) {
    const Args cases[] = {
        {"-c", "EIX", "-i", "imgs/a.bmp", "-s", "0"},
        {"-c", "VIX", "-i", "imgs/a.bmp", "-s", "0"},
        {"-c", "IIX", "-i", "imgs/a.bmp", "-s", "0"},
        {"-c", "IIX", "-i", "imgs", "-s", "0"},
    };
    for (const Args& c : cases) {
        const std::string name = c[1] + " " + c[3];
        SCOPED_TRACE(name);
        farend::Script s;
        s.open_sequence();
        Outcome r = run_script(s, dir_, c);
        EXPECT_GOLDEN(errors(r), name);
        expect_clean(r);
    }
}

} // namespace
