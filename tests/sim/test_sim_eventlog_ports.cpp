// The real tool against the simulated module: the event log records what
// happens with the module's clock, user memory survives a restart, ports keep
// their configuration and an input raised from the control side is seen.
#include "Golden.h"
#include "SimHarness.h"

#include <cstdlib>

using namespace simtest;

namespace {

// Runs kelvor on the module's link in a directory of its own, in UTC.
class Tool {
public:
    explicit Tool(const Sim& sim) : sim_(sim) { setenv("TZ", "UTC", 1); }
    ~Tool() { unsetenv("TZ"); }
    std::string run(const std::vector<std::string>& args) const {
        std::vector<std::string> a = {"-P", sim_.link, "-b", "115200", "-t", "5000", "-x2"};
        a.insert(a.end(), args.begin(), args.end());
        return farend::run_kelvor(a, dir_.path()).err;
    }
    std::string read(const std::string& name) const { return dir_.read(name); }
    void write(const std::string& name, const Bytes& content) const { dir_.write(name, content); }

private:
    const Sim& sim_;
    farend::TempDir dir_;
};

// One record of the event log.
constexpr size_t RECORD_SIZE = 16;

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(SimEventLog, EnrollAndIdentifyAreLoggedWithTheModulesClock) {
    Sim sim;
    Tool tool(sim);
    // 12 July 2050, 09:15:30: beyond 2038, so the clock's words do not come from the host's own time.
    EXPECT_TRUE(holds(tool.run({"-c", "TW", "-p1", "0x0c0732", "-p2", "0x1e0f09"}),
                      "Set Time(TW): Tue Jul 12 09:15:30 2050"));
    EXPECT_TRUE(holds(tool.run({"-c", "TR"}), "      Tue Jul 12 09:15:"));
    sim.place("3");
    EXPECT_TRUE(holds(tool.run({"-c", "ES", "-p1", "5"}), "Enroll: Succeed 0x5"));
    EXPECT_TRUE(holds(tool.run({"-c", "IS"}), "Identify Succeed: 0x5 "));
    sim.place("4");
    EXPECT_TRUE(holds(tool.run({"-c", "VS", "-p1", "5"}), "Verify: Not match"));
    EXPECT_TRUE(holds(tool.run({"-c", "LN"}), "      Used: 0x3 Total: 0x3e8\n"));

    const std::string trace = tool.run({"-c", "LR", "-p2", "10", "-o", "log.bin"});
    EXPECT_TRUE(holds(trace, "      0:  50/07/12 09:15:")) << trace;
    EXPECT_TRUE(holds(trace, "(Host Port) (Enroll Success) (0x5) ()\n")) << trace;
    EXPECT_TRUE(holds(trace, "      1:  50/07/12 09:15:")) << trace;
    EXPECT_TRUE(holds(trace, "(Host Port) (Identify Success) (0x5) ()\n")) << trace;
    EXPECT_TRUE(holds(trace, "(Host Port) (Verify Fail) (0x5) ()\n")) << trace;
    const std::string log = tool.read("log.bin");
    ASSERT_EQ(log.size(), 3 * RECORD_SIZE);
    const uint8_t events[] = {0x17, 0x37, 0x28};
    for (size_t i = 0; i < 3; ++i) {
        const auto* r = reinterpret_cast<const uint8_t*>(log.data()) + i * RECORD_SIZE;
        EXPECT_EQ(r[0], events[i]);
        EXPECT_EQ(r[1], 1); // host port
        // The clock ran on from the time set: within a few seconds of it.
        EXPECT_EQ(Bytes(r + 2, r + 7), (Bytes{50, 7, 12, 9, 15}));
        EXPECT_GE(r[7], 30);
        EXPECT_LT(r[7], 50);
    }

    EXPECT_TRUE(holds(tool.run({"-c", "LR", "-p1", "2", "-p2", "10"}), "      0:  50/07/12"));
    EXPECT_TRUE(holds(tool.run({"-c", "LD", "-p1", "0"}), "      Deleted: 0x3\n"));
    EXPECT_TRUE(holds(tool.run({"-c", "LN"}), "      Used: 0 Total: 0x3e8\n"));
}

TEST(SimEventLog, UserMemoryAndPortsSurviveARestart) {
    farend::TempDir keep;
    Sim sim({"--state", keep.file("module.db")});
    Tool tool(sim);
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    tool.write("memory.bin", data);
    EXPECT_TRUE(holds(tool.run({"-c", "ML"}), "      Length: 0x2000\n"));
    EXPECT_GOLDEN(tool.run({"-c", "MW", "-p1", "0x100", "-p2", "300", "-i", "memory.bin"}), "MW");
    EXPECT_TRUE(holds(tool.run({"-c", "MW", "-p1", "0x1f00", "-p2", "300", "-i", "memory.bin"}),
                      "[ERR] Write user memory is not supported\n"));
    EXPECT_GOLDEN(tool.run({"-c", "OW", "-f", "3", "-p1", "0x100227", "-p2", "0x640032"}), "OW");
    EXPECT_TRUE(holds(tool.run({"-c", "IW", "-f", "1", "-p1", "0x30", "-p2", "7"}), "IN1\n"));
    sim.restart();

    EXPECT_GOLDEN(tool.run({"-c", "MR", "-p1", "0x100", "-p2", "300", "-o", "back.bin"}), "MR");
    EXPECT_EQ(tool.read("back.bin"), std::string(data.begin(), data.end()));
    EXPECT_GOLDEN(tool.run({"-c", "OR", "-f", "3", "-p1", "0x27"}), "OR");
    EXPECT_TRUE(
        holds(tool.run({"-c", "OR", "-f", "4", "-p1", "0x27"}), "Output port configuration is not found"));
    EXPECT_TRUE(
        holds(tool.run({"-c", "OL", "-f", "3"}), "Get enabled event list: 0x1\n      Verify Success\n"));
    EXPECT_TRUE(holds(tool.run({"-c", "IR", "-f", "1"}), "      Identify 0x7\n"));
}

TEST(SimEventLog, RaisedInputIsLatchedLoggedAndCleared) {
    Sim sim;
    Tool tool(sim);
    EXPECT_TRUE(holds(tool.run({"-c", "IG", "-f", "2"}), "      Inactive\n"));
    EXPECT_EQ(sim.control({"--input", "2"}).status, 0);
    EXPECT_NE(sim.control({"--input", "3"}).status, 0);
    EXPECT_TRUE(holds(tool.run({"-c", "IG", "-f", "2", "-p1", "1"}), "IN2 Remain\n      Active\n"));
    EXPECT_TRUE(holds(tool.run({"-c", "IG", "-f", "2"}), "IN2 Clear\n      Active\n"));
    EXPECT_TRUE(holds(tool.run({"-c", "IG", "-f", "2"}), "      Inactive\n"));
    EXPECT_TRUE(holds(tool.run({"-c", "LR", "-p2", "1"}), "(IN2) (Detect Input2) (0) ()\n"));
}

TEST(SimEventLog, GpioConfigurationWrittenReadDisabledAndReset) {
    Sim sim;
    Tool tool(sim);
    const Bytes records = {1, 0, 3, 0, 0x20, 0, 0, 0, 0x83, 0, 0x82, 0, 5, 0, 6, 0};
    tool.write("gpio.bin", records);
    EXPECT_GOLDEN(tool.run({"-c", "GW", "-p1", "0x30003", "-p2", "2", "-i", "gpio.bin"}), "GW");
    EXPECT_GOLDEN(tool.run({"-c", "GR", "-p1", "3"}), "GR");
    EXPECT_TRUE(holds(tool.run({"-c", "GR", "-p1", "9"}), "[ERR] Unsupported GPIO id: 0x9\n"));
    tool.run({"-c", "GC"});
    EXPECT_TRUE(holds(tool.run({"-c", "GR", "-p1", "3"}), "GPIO 0x3: Disabled 0\n"));
    tool.run({"-c", "GD"});
    EXPECT_TRUE(holds(tool.run({"-c", "GR", "-p1", "0"}), "GPIO 0: Input 0x1\n"));
}

} // namespace
