// Several simulated modules on one line, and the tool's bus scan and runs
// across a list of modules against them.
#include "SimHarness.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

using namespace simtest;

namespace {

const std::vector<std::string> BUS = {"--modules", "1,2,7"};

// kelvor on the bus's link in network mode, in a directory of its own.
class Tool {
public:
    explicit Tool(const Sim& sim) : sim_(sim) {}
    farend::RunResult run(const std::vector<std::string>& args) const {
        std::vector<std::string> a = {"-P", sim_.link, "-b", "115200", "-n", "1", "-x2"};
        a.insert(a.end(), args.begin(), args.end());
        return farend::run_kelvor(a, dir_.path());
    }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    const Sim& sim_;
    farend::TempDir dir_;
};

// The module IDs that a scan printed, in order.
std::vector<int> scanned(const std::string& out) {
    std::vector<int> ids;
    const std::regex line(R"(^Module (\d+) \(0x[0-9a-f]{4}\): Module is in normal condition)");
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        if (std::regex_search(l, m, line)) ids.push_back(std::stoi(m[1]));
    }
    return ids;
}

void enroll(const Sim& sim, const Tool& tool, int module, int user, int finger) {
    ASSERT_EQ(sim.control({"--module", std::to_string(module), "--place", std::to_string(finger)}).status, 0);
    const auto r =
        tool.run({"-m", std::to_string(module), "-c", "ES", "-p1", std::to_string(user), "-f", "0x71"});
    ASSERT_NE(r.err.find("Enroll: Succeed"), std::string::npos) << r.err;
}

} // namespace

TEST(SimBus, TheScanFindsExactlyTheModulesOfTheLineInBothForms) {
    for (const bool hex : {false, true}) {
        Sim sim(BUS);
        Tool tool(sim);
        if (hex) {
            // Every module to hex text, at once: a broadcast SW.
            ASSERT_EQ(tool.run({"-B", "1", "-c", "SW", "-f", "0x76", "-p2", "0x31"}).status, 1);
        }
        const auto r = tool.run({"-a", hex ? "1" : "0", "--exit-code", "--scan", "1-20"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(scanned(r.out), (std::vector<int>{1, 2, 7})) << r.out;
        EXPECT_NE(r.out.find("3 modules found on IDs 1-20"), std::string::npos) << r.out;
        // In the other form nobody answers.
        EXPECT_EQ(scanned(tool.run({"-a", hex ? "0" : "1", "--scan", "1-20"}).out), std::vector<int>{});
    }
}

TEST(SimBus, TheScanReportsADamagedAnswerAndDetailsAtLevelTwo) {
    Sim sim(BUS);
    Tool tool(sim);
    sim.control({"--module", "2", "--fault", "checksum"});
    const auto r = tool.run({"--exit-code", "--scan", "1-8"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("Module 2 (0x0002): answered with a checksum error"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Module 1 (0x0001): Module is in normal condition, firmware 0x203, 0 templates"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("2 modules found on IDs 1-8, 1 answered with a checksum error"), std::string::npos);
}

TEST(SimBus, ACommandAcrossTheModulesGoesOnPastOneThatIsSilent) {
    Sim sim(BUS);
    Tool tool(sim);
    sim.control({"--module", "2", "--fault", "silence"});
    const auto r = tool.run({"-t", "300", "--exit-code", "--modules", "1,2,7", "-c", "SS"});
    EXPECT_EQ(r.status, 3) << r.err; // the worst run counts: a link failure
    const std::string expected = "== Module 1 (0x1)\n"
                                 "[API] Check system status(SS)\n"
                                 "      Module is in normal condition(0x30)\n"
                                 "== Module 2 (0x2)\n";
    EXPECT_EQ(r.err.substr(0, expected.size()), expected) << r.err;
    EXPECT_NE(r.err.find("Err: Module 2 (0x2) does not answer: Read data timeout\n"
                         "== Module 7 (0x7)\n"
                         "[API] Check system status(SS)\n"
                         "      Module is in normal condition(0x30)\n"),
              std::string::npos)
        << r.err;
    // The same with --json: one object per module, each with its module_id.
    const auto j = tool.run({"-t", "300", "--json", "--modules", "1,2,7", "-c", "SS"});
    std::istringstream lines(j.out);
    std::vector<std::string> got;
    const std::regex object(
        R"re(^\{"format":1,"kind":"command","command":"SS","code":4,"module_id":(\d),"outcome":"(\w+)")re");
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        if (std::regex_search(l, m, object)) got.push_back(m[1].str() + " " + m[2].str());
    }
    EXPECT_EQ(got, (std::vector<std::string>{"1 ok", "2 link_failed", "7 ok"})) << j.out;
}

TEST(SimBus, APacketWithoutModuleIdIsNeverAnsweredCleanly) {
    Sim sim(BUS);
    Tool tool(sim);
    for (const char* command : {"SS", "SR"}) {
        const auto r = tool.run({"-n", "0", "-t", "300", "--exit-code", "-c", command, "-f", "0x6d"});
        EXPECT_NE(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("Err: Cannot initialize sdk"), std::string::npos) << r.err;
    }
    // Straight on the line: what comes back is no valid answer.
    Client c(sim.link);
    c.send(packet::cmd::SS, 0, 0, 0);
    const Bytes got = c.read(64, 500);
    ASSERT_FALSE(got.empty());
    const bool cleanShort = got.size() >= 13 && got[0] == 0x40 && packet::checksum_ok(got.data(), false);
    const bool cleanLong = got.size() >= 15 && got[0] == 0x41 && packet::checksum_ok(got.data(), true);
    EXPECT_FALSE(cleanShort || cleanLong);
}

TEST(SimBus, ABroadcastReachesEveryModule) {
    Sim sim(BUS);
    Tool tool(sim);
    // Security level 0x36 to every module; nothing is read after the broadcast.
    const auto b = tool.run({"-B", "1", "-c", "SW", "-f", "0x66", "-p2", "0x36"});
    EXPECT_EQ(b.err.find("Receive"), std::string::npos) << b.err;
    for (const char* id : {"1", "2", "7"}) {
        const auto r = tool.run({"-m", id, "-c", "SR", "-f", "0x66"});
        EXPECT_NE(r.err.find("Security Level(0x66): 0x36"), std::string::npos) << "module " << id << "\n"
                                                                               << r.err;
    }
}

TEST(SimBus, BackupOfTheBusRestoredOntoAFreshBus) {
    Sim sim(BUS);
    Tool tool(sim);
    enroll(sim, tool, 1, 11, 3);
    enroll(sim, tool, 2, 22, 4);
    enroll(sim, tool, 7, 77, 5);
    const auto b = tool.run({"--exit-code", "--backup", tool.file("bus"), "--modules", "1,2,7"});
    ASSERT_EQ(b.status, 0) << b.err;
    for (const char* d : {"module-00001", "module-00002", "module-00007"})
        EXPECT_TRUE(std::filesystem::exists(tool.file("bus") + "/" + d + "/manifest.txt")) << d;
    sim.stop();

    Sim fresh(BUS);
    Tool other(fresh);
    const auto r = other.run({"--exit-code", "--restore", tool.file("bus"), "--modules", "1,2,7"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::tuple<int, int, int>> users = {{1, 11, 3}, {2, 22, 4}, {7, 77, 5}};
    for (const auto& [module, user, finger] : users) {
        fresh.control({"--module", std::to_string(module), "--place", std::to_string(finger)});
        const auto id = other.run({"-m", std::to_string(module), "-c", "IS"});
        char expected[64];
        std::snprintf(expected, sizeof expected, "Identify Succeed: %#x ", user);
        EXPECT_NE(id.err.find(expected), std::string::npos) << "module " << module << "\n" << id.err;
    }
}

TEST(SimBus, EachModuleKeepsItsOwnStateAcrossAKill) {
    farend::TempDir dir;
    const std::vector<std::string> args = {"--modules", "1,2,7", "--state", dir.file("bus.db")};
    Sim sim(args, dir.path());
    Tool tool(sim);
    enroll(sim, tool, 2, 5, 3);
    sim.stop(SIGKILL);
    sim.start(args);
    const auto two = tool.run({"-m", "2", "-c", "LT"});
    EXPECT_NE(two.err.find("User IDs(0x1): 0x5"), std::string::npos) << two.err;
    for (const char* id : {"1", "7"}) {
        const auto r = tool.run({"-m", id, "-c", "SR", "-f", "0x73"});
        EXPECT_NE(r.err.find("Enrolled Fingerprints(0x73): 0\n"), std::string::npos)
            << "module " << id << "\n"
            << r.err;
    }
    // The module IDs stay those of the bus, whatever a module is told to save.
    EXPECT_NE(tool.run({"-m", "7", "-c", "SR", "-f", "0x6d"}).err.find("Module ID(0x6d): 0x7"),
              std::string::npos);
}

TEST(SimBus, TheControlsAddressOneModule) {
    Sim sim(BUS);
    EXPECT_EQ(sim.control({"--module", "9", "--place", "3"}).status, 2);
    EXPECT_NE(sim.control({"--module", "9", "--place", "3"}).err.find("module 9 is not on the line"),
              std::string::npos);
    Sim alone;
    EXPECT_NE(alone.control({"--module", "1", "--place", "3"}).err.find("--module is for a line of several"),
              std::string::npos);
    const auto bad =
        farend::run_program(ORVANTI_SIM_BIN, {"--link", sim.dir() + "/other", "--modules", "1,1"}, sim.dir());
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("module 1 is named twice"), std::string::npos) << bad.err;
}

namespace {

// The objects of standard output, one a line.
std::vector<nlohmann::json> objects_of(const std::string& out) {
    std::vector<nlohmann::json> found;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) found.push_back(nlohmann::json::parse(l));
    return found;
}

} // namespace

// A module that answers with the start of a packet only is listed, as one
// with a bad checksum is; one that did so once, and cleanly the second time,
// is there; bytes that were not the probed module's (an answer late for the
// ID before) make no module of it.
TEST(SimBus, TheScanListsAModuleWhoseAnswerComesCutShort) {
    struct Case {
        const char* fault;
        int status;
        std::vector<int> found; // the modules listed as answering well
        const char* line;       // a line of the list, or "" for none
        const char* summary;
    };
    const Case cases[] = {
        {"truncate:10",
         3,
         {1, 7},
         "Module 2 (0x0002): answered with a packet cut short\n",
         "2 modules found on IDs 1-8, 1 answered with a packet cut short\n"},
        {"truncate:10,times=1", 0, {1, 2, 7}, "", "3 modules found on IDs 1-8\n"},
        {"slow:1000,times=1", 0, {1, 7}, "", "2 modules found on IDs 1-8\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Sim sim(BUS);
        Tool tool(sim);
        ASSERT_EQ(sim.control({"--module", "2", "--fault", c.fault}).status, 0);
        // In hexadecimal as everywhere: 0x1-0x8 is 1-8. Each ID is waited
        // for 300 ms, long enough for a loaded machine, far less than the slow
        // module's second.
        const auto r = tool.run({"-x1", "-t", "300", "--exit-code", "--scan", "0x1-0x8"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        std::vector<int> found;
        const std::regex good(R"(^Module (\d+) \(0x[0-9a-f]{4}\): Module is in normal condition)");
        std::istringstream lines(r.out);
        for (std::string l; std::getline(lines, l);) {
            std::smatch m;
            if (std::regex_search(l, m, good)) found.push_back(std::stoi(m[1]));
        }
        EXPECT_EQ(found, c.found) << r.out;
        if (*c.line) {
            EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        }
        EXPECT_EQ(r.out.find("cut short") != std::string::npos, *c.line != '\0') << r.out;
        EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
    }
    // With --json: the module's object says how it answered, the summary lists it.
    Sim sim(BUS);
    Tool tool(sim);
    ASSERT_EQ(sim.control({"--module", "2", "--fault", "truncate:10"}).status, 0);
    const auto j = tool.run({"--json", "--exit-code", "--scan", "1-8"});
    EXPECT_EQ(j.status, 3);
    const auto found = objects_of(j.out);
    ASSERT_EQ(found.size(), 4u) << j.out;
    EXPECT_EQ(found[1]["module_id"], 2);
    EXPECT_EQ(found[1]["answer"], "cut_short");
    EXPECT_EQ(found[1]["result_name"], "read_timeout");
    EXPECT_EQ(found[0]["answer"], "ok");
    EXPECT_EQ(found[3]["cut_short"], nlohmann::json::array({2}));
    EXPECT_EQ(found[3]["modules"], nlohmann::json::array({1, 7}));
}

// Each module is printed as it is found: a scan stopped halfway shows what it found.
TEST(SimBus, AnInterruptedScanHasShownWhatItFound) {
    Sim sim(BUS);
    farend::TempDir dir;
    // 300 ms for every ID that does not answer: module 7 is found within
    // 2 s (and Wine's start), the whole scan would take 75 s.
    const auto r = farend::run_program_with(
        KELVOR_BIN, {"-P", sim.link, "-b", "115200", "-n", "1", "-t", "300", "--scan", "1-255"}, dir.path(),
        SIGINT, 6000);
    EXPECT_EQ(r.status, farend::stopped_status(SIGINT)) << r.err;
    EXPECT_EQ(scanned(r.out), (std::vector<int>{1, 2, 7})) << r.out;
    EXPECT_EQ(r.out.find("found on IDs"), std::string::npos) << r.out;
}

// A backup or restore across the modules: a module that does not answer has
// the object of its backup (or restore) too, carrying the failure.
TEST(SimBus, TheBackupOfAModuleThatDoesNotAnswerIsAFailedBackupObject) {
    Sim sim(BUS);
    Tool tool(sim);
    ASSERT_EQ(sim.control({"--module", "2", "--fault", "silence"}).status, 0);
    for (const char* work : {"--backup", "--restore"}) {
        SCOPED_TRACE(work);
        if (std::string(work) == "--restore") {
            // The backup of modules 1 and 7 restored onto the same modules (their users present).
            ASSERT_EQ(tool.run({"--backup", tool.file("one"), "--modules", "1"}).status, 1);
        }
        const std::string dir = std::string(work) == "--backup" ? tool.file("bus") : tool.file("one");
        const auto r = tool.run({"-t", "300", "--json", "--exit-code", work, dir, "--modules", "1,2"});
        EXPECT_EQ(r.status, 3) << r.err;
        const auto found = objects_of(r.out);
        ASSERT_EQ(found.size(), 2u) << r.out;
        const char* kind = std::string(work) == "--backup" ? "backup" : "restore";
        EXPECT_EQ(found[0]["kind"], kind);
        EXPECT_EQ(found[1]["kind"], kind) << r.out;
        EXPECT_EQ(found[1]["module_id"], 2);
        EXPECT_EQ(found[1]["outcome"], "link_failed");
        EXPECT_EQ(found[1]["result_name"], "read_timeout");
        EXPECT_EQ(found[1]["message"], "Err: Module 2 (0x2) does not answer: Read data timeout");
        EXPECT_EQ(found[1]["users"], nlohmann::json::array());
    }
}
