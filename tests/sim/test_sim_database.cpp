// The real tool against the simulated module for the flows of the template
// database, firmware, lock and administrator levels: a user's templates backed
// up and restored, a firmware image in chunks, the master password across a
// restart, an enrolment gated by an administrator, a cancelled scan.
#include "SimHarness.h"

#include <fstream>
#include <iterator>

#include "protocol/Packet.h"

namespace cmd = kelvor::packet::cmd;

using namespace simtest;

namespace {

class Tool {
public:
    explicit Tool(const Sim& sim) : sim_(sim) {}
    farend::RunResult run(const std::vector<std::string>& args) const {
        std::vector<std::string> a = {"-P", sim_.link, "-b", "115200", "-t", "5000", "-x2"};
        a.insert(a.end(), args.begin(), args.end());
        return farend::run_kelvor(a, dir_.path());
    }
    // The trace of a run, which must hold every one of `expected`.
    void expect(const std::vector<std::string>& args, const std::vector<std::string>& expected) const {
        const auto r = run(args);
        for (const auto& e : expected) EXPECT_NE(r.err.find(e), std::string::npos) << e << " in\n" << r.err;
    }
    std::string file(const std::string& name) const { return dir_.file(name); }
    void write(const std::string& name, const std::string& content) const { dir_.write(name, content); }
    size_t size_of(const std::string& name) const { return dir_.read(name).size(); }

private:
    const Sim& sim_;
    farend::TempDir dir_;
};

TEST(SimDatabase, BackupOfAUsersTemplatesRestoresIt) {
    Sim sim;
    Tool tool(sim);
    sim.place("3");
    tool.expect({"-c", "ES", "-p1", "5"}, {"      Enroll: Succeed 0x5"});
    tool.expect({"-c", "ES", "-p1", "5", "-f", "0x71"}, {"      Enroll: Succeed 0x5"});
    tool.expect({"-c", "CT", "-p1", "5"}, {"      Num of templates: 0x2"});
    tool.expect({"-c", "RT", "-p1", "5", "-o", "user5.bin"}, {"      Template Size: 0x180 More Templates"});
    EXPECT_EQ(tool.size_of("user5.bin"), 2u * 0x180);
    tool.expect({"-c", "LTX"},
                {"Num Of Template: 2", "[API] 0: 5(0): 1 0 0 0x180", "[API] 1: 5(0): 2 0 0 0x180"});
    tool.expect({"-c", "DA"}, {"      Delete Succeed"});
    tool.expect({"-c", "IS"}, {"Identify: Not found"});
    tool.expect({"-c", "ET", "-p1", "5", "-p2", "384", "-i", "user5.bin"}, {"      Enroll: Succeed 0x5"});
    tool.expect({"-c", "IS"}, {"Identify Succeed: 0x5 "});
    tool.expect({"-c", "LT"}, {"User IDs(0x1): 0x5 \n"});
    tool.expect({"-c", "DT", "-p1", "5"}, {"      Delete Succeed"});
    tool.expect({"-c", "RT", "-p1", "5"}, {"[ERR] Cannot found the template"});
}

TEST(SimDatabase, DeletesByScanAndWiegandSpareAdministrators) {
    Sim sim;
    Tool tool(sim);
    sim.place("3");
    tool.expect({"-c", "ES", "-p1", "1"}, {"Enroll: Succeed 0x1"});
    sim.place("4");
    tool.expect({"-c", "ES", "-p1", "2"}, {"Enroll: Succeed 0x2"});
    tool.expect({"-c", "AW", "-p1", "1", "-p2", "2"}, {"Write admin level(AW): 0x1 Delete"});
    // The administrator's finger, then the finger of the user to delete.
    sim.place("3,3");
    tool.expect({"-c", "DSA"}, {"Admin's verification succeed", "Cannot delete an administrator using DSA"});
    sim.place("3,4");
    const auto r = tool.run({"-c", "DSA"});
    EXPECT_EQ(r.err.find("[ERR]"), std::string::npos) << r.err;
    EXPECT_EQ(sim.control({"--wiegand", "1"}).status, 0);
    tool.expect({"-c", "DW"}, {"      Delete Succeed 0x1"});
    tool.expect({"-c", "SR", "-f", "0x73"}, {"Enrolled Fingerprints(0x73): 0"});
}

TEST(SimDatabase, FirmwareImageInChunksRaisesTheVersion) {
    Sim sim;
    Tool tool(sim);
    std::string image(10000, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 37 % 251);
    tool.write("fw.bin", image);
    tool.expect({"-c", "SR", "-f", "0x6e"}, {"Firmware Version(0x6e): 0x203"});
    tool.expect({"-c", "UG", "-i", "fw.bin", "-s", "4096"},
                {"Upgrade firmware(UG): 0x2710 0x1000", "Firmware upgrade succeed. Reset the module"});
    tool.expect({"-c", "SR", "-f", "0x6e"}, {"Firmware Version(0x6e): 0x204"});
    tool.expect({"-c", "UG", "-i", "fw.bin", "-p2", "10001"}, {"Err: Cannot read the firmware file"});
    tool.expect({"-c", "SR", "-f", "0x6e"}, {"Firmware Version(0x6e): 0x204"});
}

TEST(SimDatabase, LockAndMasterPasswordSurviveARestart) {
    farend::TempDir dir;
    Sim sim({"--state", dir.file("module.db")}, dir.path());
    Tool tool(sim);
    tool.write("factory", "0000000000000000");
    tool.write("change", "0000000000000000kelvor-master-01");
    tool.write("mine", "kelvor-master-01");
    sim.place("3");
    tool.expect({"-c", "LM"}, {"Module is locked."});
    tool.expect({"-c", "ES", "-p1", "4"}, {"System is busy"});
    tool.expect({"-c", "MP", "-i", "change"},
                {"0000000000000000 to kelvor-master-01", "Master password is changed"});
    sim.restart();
    sim.place("3");
    tool.expect({"-c", "IS"}, {"System is busy"});
    tool.expect({"-c", "UM", "-i", "factory"},
                {"Unlock Module(UM): 0000000000000000", "[API] Wrong password"});
    tool.expect({"-c", "UM", "-i", "mine"}, {"[API] Modle is unlocked"});
    tool.expect({"-c", "ES", "-p1", "4"}, {"Enroll: Succeed 0x4"});
}

TEST(SimDatabase, AdministratorLevelGatesEnrollment) {
    Sim sim;
    Tool tool(sim);
    sim.place("3");
    tool.expect({"-c", "ES", "-p1", "1"}, {"Enroll: Succeed 0x1"});
    sim.place("3,5");
    tool.expect({"-c", "ESA", "-p1", "2"}, {"No administrator is enrolled"});
    tool.expect({"-c", "AW", "-p1", "1", "-p2", "2"}, {"Write admin level(AW): 0x1 Delete"});
    tool.expect({"-c", "ESA", "-p1", "2"}, {"No administrator is enrolled"});
    tool.expect({"-c", "AW", "-p1", "1", "-p2", "1"}, {"Write admin level(AW): 0x1 Enroll"});
    tool.expect({"-c", "AR", "-p1", "1"}, {"Admin level is Enroll"});
    sim.place("4,5");
    tool.expect({"-c", "ESA", "-p1", "2"}, {"Admin's verification is failed"});
    sim.place("3,5");
    tool.expect({"-c", "ESA", "-p1", "2"}, {"Admin's verification succeed", "Enroll: Succeed 0x2"});
    tool.expect({"-c", "UW", "-p1", "2", "-p2", "3"}, {"Reject 0"});
    tool.expect({"-c", "UL", "-p2", "3", "-o", "rejected.bin"}, {"Number of user IDs: 1"});
    EXPECT_EQ(tool.size_of("rejected.bin"), 4u);
}

// A Wiegand bypass lets its user through on the input alone; others still need their finger.
TEST(SimDatabase, WiegandBypassPolicyNeedsNoFinger) {
    Sim sim;
    Tool tool(sim);
    sim.place("3");
    tool.expect({"-c", "ES", "-p1", "2"}, {"Enroll: Succeed 0x2"});
    sim.place("none");
    EXPECT_EQ(sim.control({"--wiegand", "2"}).status, 0);
    tool.expect({"-c", "VW"}, {"Verify: Timeout"});
    tool.expect({"-c", "UW", "-p1", "2", "-p2", "1"}, {"Wiegand Bypass 0"});
    tool.expect({"-c", "UR", "-p1", "2"}, {"Authentication policy is Wiegand Bypass"});
    tool.expect({"-c", "VW"}, {"Verify Succeed: 0x2 0"});
    tool.expect({"-c", "UC"}, {"Reset authentication policy(UC)"});
    tool.expect({"-c", "VW"}, {"Verify: Timeout"});
}

// A cancel that arrives while a command waits for a finger ends that command
// with CANCELLED under its own code; then the cancel itself is answered.
TEST(SimDatabase, CancelEndsAWaitingScan) {
    Sim sim;
    Client host(sim.link);
    host.send(cmd::SW, 0, 0x39, 0x62); // the longest Timeout Period of a digit: 0.9 s
    host.expect(SUCCEED);
    sim.place("none");
    host.send(cmd::IS);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    host.send(cmd::CA);
    const auto cancelled = host.receive(3000);
    ASSERT_TRUE(cancelled.has_value());
    EXPECT_EQ(cancelled->command, 0x11);
    EXPECT_EQ(cancelled->flag, 0x81);
    const auto own = host.receive(3000);
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(own->command, 0x60);
    EXPECT_EQ(own->flag, SUCCEED);
    EXPECT_TRUE(host.silent());
    // Nothing waiting: the cancel alone is answered.
    host.send(cmd::CA);
    EXPECT_TRUE(host.answers_are({SUCCEED}));
}

} // namespace
