// Batch files and directory mode against the simulated module: fingers
// captured to BMP files, enrolled from them and identified again from other
// captures of the same fingers.
#include <sys/stat.h>

#include <cctype>
#include <fstream>

#include "ErrorLines.h"
#include "SimHarness.h"

using namespace simtest;

namespace {

// Captures finger `finger` from the module into `path` as a BMP file.
void capture(const Sim& sim, const farend::TempDir& dir, int finger, const std::string& path) {
    sim.place(std::to_string(finger));
    const auto r = farend::run_kelvor({"-c", "SI", "-o", path}, dir.path());
    ASSERT_NE(r.err.find("Get Image Data"), std::string::npos) << r.err;
}

// The hexadecimal value after every `label` in `text`, in order.
std::vector<std::string> values_after(const std::string& text, const std::string& label) {
    std::vector<std::string> found;
    for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1)) {
        const size_t begin = at + label.size();
        size_t end = text.compare(begin, 2, "0x") == 0 ? begin + 2 : begin;
        while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
        found.push_back(text.substr(begin, end - begin));
    }
    return found;
}

class SimBatch : public ::testing::Test {
protected:
    void SetUp() override {
        // The serial settings are saved once; every later run of the test uses them.
        const auto r =
            farend::run_kelvor({"-P", sim.link, "-b", "115200", "-t", "5000", "-x2", "-c", "SS"}, dir.path());
        ASSERT_NE(r.err.find("Module is in normal condition"), std::string::npos) << r.err;
    }
    Sim sim;
    farend::TempDir dir;
};

TEST_F(SimBatch, EnrollThreeFingersFromBmpFilesAndIdentifyThem) {
    for (int finger = 1; finger <= 3; ++finger) {
        capture(sim, dir, finger, "enroll" + std::to_string(finger) + ".bmp");
        capture(sim, dir, finger, "probe" + std::to_string(finger) + ".bmp");
    }
    dir.write("fingers.txt", "-c EI -p1 1 -i enroll1.bmp\n"
                             "-c EI -p1 2 -i enroll2.bmp\n"
                             "-c EI -p1 3 -i enroll3.bmp\n"
                             "-c II -i probe2.bmp\n"
                             "-c II -i probe3.bmp\n"
                             "-c II -i probe1.bmp\n");
    const auto r = farend::run_kelvor({"-F", "fingers.txt"}, dir.path());
    EXPECT_EQ(values_after(r.err, "Enroll: Succeed "), (std::vector<std::string>{"0x1", "0x2", "0x3"}))
        << r.err;
    EXPECT_EQ(values_after(r.err, "Identify Succeed: "), (std::vector<std::string>{"0x2", "0x3", "0x1"}))
        << r.err;
    EXPECT_EQ(r.err.find("[ERR]"), std::string::npos) << r.err;
}

TEST_F(SimBatch, DirectoryModeEnrollsAndIdentifiesEveryFile) {
    ASSERT_EQ(::mkdir(dir.file("enroll").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(dir.file("probe").c_str(), 0700), 0);
    for (int finger = 1; finger <= 3; ++finger) {
        capture(sim, dir, finger, "enroll/finger" + std::to_string(finger) + ".bmp");
        capture(sim, dir, finger, "probe/finger" + std::to_string(finger) + ".bmp");
    }
    dir.write("enroll/notes.txt", "not a fingerprint");
    // Auto ID: the module chooses the IDs, one per file, in name order.
    const auto enrolled = farend::run_kelvor({"-c", "EIX", "-f", "0x79", "-i", "enroll"}, dir.path());
    const auto ids = values_after(enrolled.err, "Enroll: Succeed ");
    ASSERT_EQ(ids.size(), 3u) << enrolled.err;
    EXPECT_NE(enrolled.err.find(farend::site_prefix(err_site::FILE_CANNOT_OPEN_BMP) +
                                "Err: Cannot open the bmp file\n"),
              std::string::npos)
        << enrolled.err;
    const auto identified = farend::run_kelvor({"-c", "II", "-i", "probe"}, dir.path());
    EXPECT_EQ(values_after(identified.err, "Identify Succeed: "), ids) << identified.err;
}

// Results that cannot be written are lost, and a run that lost them never
// ends as a success: an error line, and a failing status (1 by default, as
// every run that drives the module; 2 or worse with --exit-code).
TEST_F(SimBatch, ResultsThatCannotBeWrittenFailTheRun) {
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"--version"}, 1},
        {{"--exit-code", "--version"}, 2},
        {{"--json", "--version"}, 1},
        {{"--help"}, 1},
        {{"-h"}, 1},
        {{"--json-schema", "--exit-code"}, 2},
        {{"--commands"}, 1},
        {{"--json", "--commands", "ES"}, 1},
        {{"--json", "--exit-code", "-c", "SS"}, 2},
        {{"--exit-code", "--json", "-c", "LT"}, 2},
        {{"--exit-code", "-c", "SS"}, 0}, // nothing for standard output: nothing lost
    };
    farend::OutputTo full;
    full.file = "/dev/full";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const auto r = farend::run_program_to(KELVOR_BIN, c.args, dir.path(), full);
        EXPECT_EQ(r.status, c.status) << r.err;
        const std::string line =
            "] Err: The results cannot be written to the standard output: No space left on device\n";
        EXPECT_EQ(r.err.find(line) != std::string::npos, c.status != 0) << r.err;
    }
}

// A batch whose results nobody reads any more stops (SIGPIPE ignored, as a
// Windows program always has it): not 200 lines of commands for nothing.
TEST_F(SimBatch, ABatchStopsWhenNobodyReadsItsResults) {
    std::string lines;
    for (int i = 0; i < 200; ++i) lines += "-c SS\n";
    dir.write("b200.txt", lines);
    farend::OutputTo head;
    head.readerLines = 1;
    head.ignoreSigpipe = true;
    const auto r =
        farend::run_program_to(KELVOR_BIN, {"--json", "--exit-code", "-F", "b200.txt"}, dir.path(), head);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out.rfind(R"({"format":1,"kind":"command","command":"SS")", 0), 0u) << r.out;
    const std::string said =
        "Err: The results cannot be written to the standard output: Broken pipe; the batch "
        "file b200.txt ends before line ";
    const size_t at = r.err.find(said);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_LT(std::stoi(r.err.substr(at + said.size())), 200) << r.err;
    // Reported once: the end of the run has nothing to add.
    EXPECT_EQ(r.err.find("Err: The results", at + 1), std::string::npos) << r.err;
}

} // namespace
