// The real tool against the simulated module: enrolment, identification,
// verification, images through BMP files, line modes across runs, the state file.
#include "SimHarness.h"

#include <fstream>

using namespace simtest;

namespace {

// Runs kelvor on the module's link with every serial setting given.
class Tool {
public:
    explicit Tool(const Sim& sim) : sim_(sim) {}
    farend::RunResult run(const std::vector<std::string>& args,
                          const std::vector<std::string>& line = {}) const {
        std::vector<std::string> a = {"-P", sim_.link, "-b", "115200", "-t", "5000", "-x2"};
        a.insert(a.end(), line.begin(), line.end());
        a.insert(a.end(), args.begin(), args.end());
        return farend::run_kelvor(a, dir_.path());
    }
    // The trace of a run, which must hold `expected`.
    void expect(const std::vector<std::string>& args, const std::string& expected,
                const std::vector<std::string>& line = {}) const {
        const auto r = run(args, line);
        EXPECT_NE(r.err.find(expected), std::string::npos) << "kelvor " << join(args) << "\n" << r.err;
    }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    static std::string join(const std::vector<std::string>& v) {
        std::string s;
        for (const auto& x : v) s += x + " ";
        return s;
    }
    const Sim& sim_;
    farend::TempDir dir_;
};

TEST(SimKelvor, EnrollByScanThenIdentifyReturnsTheId) {
    Sim sim;
    Tool tool(sim);
    sim.place("3");
    tool.expect({"-c", "SS"}, "Module is in normal condition(0x30)");
    tool.expect({"-c", "ES", "-p1", "5"}, "      Enroll: Succeed 0x5");
    tool.expect({"-c", "IS"}, "Identify Succeed: 0x5 ");
    sim.place("4");
    tool.expect({"-c", "IS"}, "Identify: Not found");
    sim.place("none");
    tool.expect({"-c", "IS"}, "Identify: Timeout");
    tool.expect({"-c", "SR", "-f", "0x73"}, "Enrolled Fingerprints(0x73): 0x1");
}

TEST(SimKelvor, ScanSuccessAndTwoStepEnrollMode) {
    Sim sim;
    Tool tool(sim);
    sim.place("7");
    tool.expect({"-c", "SW", "-f", "0x75", "-p2", "0x31"}, "Sending SCAN_SUCCESS(0x75) 0x31");
    tool.expect({"-c", "SW", "-f", "0x65", "-p2", "0x32"}, "Enroll Mode(0x65) 0x32");
    tool.expect({"-c", "ES", "-p1", "12"}, "     Enroll: Succeed 0xc");
    tool.expect({"-c", "ES", "-p1", "12"}, "Enroll: ID 0xc is already used");
    tool.expect({"-c", "VS", "-p1", "12"}, "Verify Succeed: ");
}

TEST(SimKelvor, ScannedImageSavedAsBmpEnrollsAndIdentifies) {
    Sim sim;
    Tool tool(sim);
    sim.place("6");
    tool.expect({"-c", "SI", "-o", "six.bmp"}, "Width: 0x100 Height: 0x120 Format: 0 Size: 0x12000");
    std::ifstream bmp(tool.file("six.bmp"), std::ios::binary);
    char magic[2] = {};
    bmp.read(magic, 2);
    EXPECT_EQ(std::string(magic, 2), "BM");
    tool.expect({"-c", "EI", "-p1", "9", "-i", "six.bmp"}, "Enroll: Succeed 0x9");
    tool.expect({"-c", "IS"}, "Identify Succeed: 0x9 ");
    tool.expect({"-c", "II", "-i", "six.bmp"}, "Identify Succeed: 0x9 ");
    tool.expect({"-c", "IIX", "-i", "six.bmp", "-s", "1536"}, "Identify Succeed: 0x9 ");
    tool.expect({"-c", "VI", "-p1", "9", "-i", "six.bmp"}, "Verify: Succeed ");
    tool.expect({"-c", "EIX", "-p1", "10", "-i", "six.bmp", "-f", "0x84"}, "The finger is already enrolled");
    tool.expect({"-c", "SIX", "-p2", "4096", "-o", "chunked.bmp"}, "Width: 0x100 Height: 0x120");
    tool.expect({"-c", "RI", "-o", "again.bmp"}, "Image Size: 0x1201c");
}

TEST(SimKelvor, EncryptionKeyAndEncryptedTemplate) {
    Sim sim;
    Tool tool(sim);
    sim.place("4");
    std::ofstream(tool.file("key.bin"), std::ios::binary) << std::string(32, 'k');
    tool.expect({"-c", "KW", "-i", "key.bin"}, "Encryption Key Write(KW)");
    const auto r = tool.run({"-c", "KS", "-p1", "0x1234", "-o", "enc.bin"});
    EXPECT_NE(r.err.find("Got encrypted template: 0x184"), std::string::npos) << r.err;
    std::ifstream enc(tool.file("enc.bin"), std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<long>(enc.tellg()), 388);
}

TEST(SimKelvor, VerifyMatchMismatchDuressAndRejectedId) {
    Sim sim;
    Tool tool(sim);
    sim.place("3");
    tool.expect({"-c", "ES", "-p1", "5"}, "Enroll: Succeed 0x5");
    tool.expect({"-c", "VS", "-p1", "5"}, "Verify Succeed: ");
    sim.place("8");
    tool.expect({"-c", "VS", "-p1", "5"}, "Verify: Not match");
    tool.expect({"-c", "ES", "-p1", "5", "-f", "0x92"}, "Enroll: Succeed 0x5");
    tool.expect({"-c", "VS", "-p1", "5"}, "Duress finger is detected");
    tool.expect({"-c", "IS"}, "Duress finger is detected");
    sim.place("3");
    tool.run({"-c", "UW", "-p1", "5", "-p2", "3"}); // policy Reject
    tool.expect({"-c", "VS", "-p1", "5"}, "The ID is rejected");
    tool.expect({"-c", "VS", "-p1", "6"}, "Verify: Not found");
}

TEST(SimKelvor, NetworkAndHexTextModesAcrossRuns) {
    Sim sim;
    Tool tool(sim);
    const std::vector<std::string> plain = {"-n", "0", "-a", "0"};
    tool.expect({"-c", "SW", "-f", "0x83", "-p2", "0x31"}, "Network Mode(0x83) 0x31", plain);
    tool.expect({"-c", "SS"}, "Err: Cannot initialize sdk", plain);
    const std::vector<std::string> network = {"-n", "1", "-m", "1", "-a", "0"};
    tool.expect({"-c", "SS"}, "Module is in normal condition", network);
    tool.expect({"-c", "SW", "-f", "0x76", "-p2", "0x31"}, "ASCII Packet(0x76) 0x31", network);
    const std::vector<std::string> both = {"-n", "1", "-m", "1", "-a", "1"};
    tool.expect({"-c", "SS", "-x3"}, "Send: 41 01 00 04 00 00 00 00 00 00 00 00 00 46 0a", both);
    tool.expect({"-c", "SW", "-f", "0x76", "-p2", "0x30", "-x2"}, "ASCII Packet(0x76) 0x30", both);
    tool.expect({"-c", "SW", "-f", "0x83", "-p2", "0x30"}, "Network Mode(0x83) 0x30", network);
    tool.expect({"-c", "SS"}, "Module is in normal condition", plain);
}

TEST(SimKelvor, StateFileSurvivesARestart) {
    farend::TempDir dir;
    Sim sim({"--state", dir.file("module.db")}, dir.path());
    Tool tool(sim);
    sim.place("2");
    tool.expect({"-c", "ES", "-p1", "21"}, "Enroll: Succeed 0x15");
    tool.expect({"-c", "SW", "-f", "0x66", "-p2", "0x35"}, "Security Level(0x66) 0x35");
    tool.expect({"-c", "SF"}, "System Parameter Save(SF)");
    sim.restart();
    sim.place("2");
    tool.expect({"-c", "IS"}, "Identify Succeed: 0x15 ");
    tool.expect({"-c", "SR", "-f", "0x66"}, "Security Level(0x66): 0x35");
}

TEST(SimKelvor, FaultsAsTheToolSeesThem) {
    Sim sim;
    Tool tool(sim);
    sim.fault("text:module ready");
    const auto r = tool.run({"-c", "SS"});
    EXPECT_NE(r.out.find("[module ready]"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Module is in normal condition"), std::string::npos) << r.err;
    sim.fault("none");
    sim.fault("noise:2");
    tool.expect({"-c", "SR", "-f", "0x64"}, "Template Size(0x64): 0x180");
    sim.fault("none");
    sim.fault("checksum,cmd=0x03,times=3");
    tool.expect({"-c", "SR", "-f", "0x64"}, "Checksum error");
}

} // namespace
