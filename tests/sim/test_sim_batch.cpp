// Batch files and directory mode against the simulated module: fingers
// captured to BMP files, enrolled from them and identified again from other
// captures of the same fingers.
#include <sys/stat.h>

#include <cctype>
#include <fstream>

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
    EXPECT_NE(
        farend::normalize_lines(enrolled.err).find("[OrvantiCom.cpp(N)] Err: Cannot open the bmp file\n"),
        std::string::npos)
        << enrolled.err;
    const auto identified = farend::run_kelvor({"-c", "II", "-i", "probe"}, dir.path());
    EXPECT_EQ(values_after(identified.err, "Identify Succeed: "), ids) << identified.err;
}

} // namespace
