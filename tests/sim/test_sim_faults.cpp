// The tool against the simulated module with a fault on the line, for each of
// the main commands: every run ends by itself with status 1, a success line
// appears only for what the module really did, the output file is empty or
// whole, and the module is in step for the next run. And a tool stopped by a
// signal in the middle of a transfer gives the port back.
#include <termios.h>

#include <cctype>
#include <csignal>
#include <cstring>
#include <fstream>

#include "Golden.h"
#include "SimHarness.h"
#include "image/Bmp.h"

using namespace simtest;

namespace {

using Args = std::vector<std::string>;

constexpr int RUN_LIMIT_MS = 15000; // no run may take longer, whatever the fault

// How a command's success is checked against what the module did.
enum class Check {
    Exact,    // the success line carries the module's true values
    Enrolled, // the user ID is enrolled afterwards
    Found,    // the user ID found is one enrolled with the finger on the sensor
    Image,    // the output file is a whole BMP of the scanned image
    Template, // the output file holds the whole encrypted template
    SameFile, // the output file is empty or the same as the clean run's (`reference`)
    Firmware, // the firmware version rose by one
};

struct CommandCell {
    const char* name;
    Args args;           // "{id}" stands for a user ID of the cell's own
    const char* marker;  // what only a success prints
    const char* success; // the whole success text (Exact), contains the marker
    Check check;
    int code;  // the command code whose answers the fault spoils
    int dieAt; // transfer of that command in which a "die" fault ends the module mid-way
    const char* reference = nullptr; // the clean run's output file (SameFile)
    Args input = {};                 // the simulator's input before the run ("{id}" as above)
};

const CommandCell COMMANDS[] = {
    {"SS", {"-c", "SS"}, "Module is", "Module is in normal condition(0x30)", Check::Exact, 0x04, 1},
    {"SR", {"-c", "SR", "-f", "0x65"}, "(0x65): ", "Enroll Mode(0x65): 0x30", Check::Exact, 0x03, 1},
    {"ES", {"-c", "ES", "-p1", "{id}"}, "Enroll: Succeed", "", Check::Enrolled, 0x05, 1},
    {"IS", {"-c", "IS"}, "Identify Succeed: ", "", Check::Found, 0x11, 1},
    {"VS", {"-c", "VS", "-p1", "1"}, "Verify Succeed", "Verify Succeed: ", Check::Exact, 0x08, 1},
    {"SI", {"-c", "SI", "-o", "out.bmp"}, "Width:", "", Check::Image, 0x15, 2},
    {"SIX", {"-c", "SIX", "-p2", "8192", "-o", "out.bmp"}, "Width:", "", Check::Image, 0x83, 3},
    {"EI", {"-c", "EI", "-p1", "{id}", "-i", "finger.bmp"}, "Enroll: Succeed", "", Check::Enrolled, 0x06, 1},
    {"EIX",
     {"-c", "EIX", "-p1", "{id}", "-i", "finger.bmp"},
     "Enroll: Succeed",
     "",
     Check::Enrolled,
     0x80,
     2},
    {"KS", {"-c", "KS", "-p1", "7", "-o", "out.bin"}, "Got encrypted", "", Check::Template, 0x21, 2},
    {"raw",
     {"-c", "0xEE"},
     "Receive Packet",
     "Receive Packet: 0xee Param1: 0 Param2: 0 Error: 0x75",
     Check::Exact,
     0xEE,
     1},
    {"batch", {"-F", "batch"}, "Verify Succeed", "Verify Succeed: ", Check::Exact, 0x08, 1},
    {"RT", {"-c", "RT", "-p1", "1", "-o", "out.bin"}, "", "", Check::SameFile, 0x14, 2, "rt.ref"},
    {"UG",
     {"-c", "UG", "-i", "fw.bin", "-s", "4096"},
     "Firmware upgrade succeed",
     "",
     Check::Firmware,
     0x62,
     2},
    {"LR", {"-c", "LR", "-p2", "2", "-o", "out.bin"}, "", "", Check::SameFile, 0x3D, 2, "lr.ref"},
    {"MR",
     {"-c", "MR", "-p1", "0x100", "-p2", "300", "-o", "out.bin"},
     "",
     "",
     Check::SameFile,
     0x33,
     2,
     "memory.bin"},
    {"CR", {"-c", "CR", "-o", "out.bin"}, "", "", Check::SameFile, 0xA0, 2, "cr.ref"},
    {"EW", {"-c", "EW"}, "Enroll: Succeed", "", Check::Enrolled, 0x1C, 1, nullptr, {"--wiegand", "{id}"}},
};

const char* const FAULTS[] = {"noise",    "checksum",      "truncate",       "silence", "text",
                              "slow:200", "unsolicited:2", "chunk-checksum", "die"};

std::string with_id(const std::string& arg, uint32_t id) {
    return arg == "{id}" ? std::to_string(id) : arg;
}

bool whole_bmp(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> gray(0x32000);
    int w = 0, h = 0;
    const int ok = bmp_read(f, &w, &h, gray.data(), gray.size());
    std::fclose(f);
    return ok && w == 0x100 && h == 0x120;
}

long file_size(const std::string& path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    return f ? static_cast<long>(f.tellg()) : -1;
}

std::string contents(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// One test per fault, each with a module of its own: they run side by side.
class Faults : public ::testing::TestWithParam<const char*> {
protected:
    farend::TempDir dir;
    std::unique_ptr<Sim> sim;

    void SetUp() override {
        sim = std::make_unique<Sim>(Args{"--state", dir.file("state.db")}, dir.path());
        sim->place("3");
        ASSERT_NE(setup({"-c", "ES", "-p1", "1"}).err.find("Enroll: Succeed 0x1"), std::string::npos);
        ASSERT_NE(setup({"-c", "SI", "-o", "finger.bmp"}).err.find("Width: 0x100"), std::string::npos);
        dir.write("batch", std::string("-c SS\n-c VS -p1 1\n"));
        // What the read-back cells compare with: a template, user memory, a
        // card with a template, the log's first records, all from clean runs.
        ASSERT_NE(setup({"-c", "RT", "-p1", "1", "-o", "rt.ref"}).err.find("Template Size"),
                  std::string::npos);
        std::string memory(300, '\0');
        for (size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<char>(i * 7 + 1);
        dir.write("memory.bin", memory);
        setup({"-c", "MW", "-p1", "0x100", "-p2", "300", "-i", "memory.bin"});
        dir.write("card", std::string("csn 0xa1\n"));
        ASSERT_EQ(sim->control({"--card", dir.file("card")}).status, 0);
        ASSERT_NE(setup({"-c", "EC", "-p1", "9", "-p2", "1"}).err.find("Enroll: Succeed"), std::string::npos);
        setup({"-c", "CR", "-o", "cr.ref"});
        ASSERT_EQ(file_size(dir.file("cr.ref")), 404);
        setup({"-c", "LR", "-p2", "2", "-o", "lr.ref"});
        ASSERT_EQ(file_size(dir.file("lr.ref")), 32);
        std::string firmware(10000, '\0');
        for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<char>(i * 37 % 251);
        dir.write("fw.bin", firmware);
    }
    uint32_t firmware_version() const {
        const std::string err = tool({"-c", "SR", "-f", "0x6e"}).err;
        const size_t at = err.find("(0x6e): ");
        return at == std::string::npos ? 0
                                       : static_cast<uint32_t>(std::stoul(err.substr(at + 8), nullptr, 16));
    }

    farend::RunResult tool(const Args& args, int signal = 0, int signalAfterMs = 0) const {
        Args a = {"-P", sim->link, "-b", "115200", "-t", "1000", "-x2"};
        a.insert(a.end(), args.begin(), args.end());
        return farend::run_program_with(KELVOR_BIN, a, dir.path(), signal, signalAfterMs, RUN_LIMIT_MS);
    }
    // The setup is no fault: it may take its time (a first scan under the
    // sanitizers takes half a second, more with the other tests beside it).
    farend::RunResult setup(const Args& args) const {
        Args a = {"-t", "5000"};
        a.insert(a.end(), args.begin(), args.end());
        return tool(a);
    }
    // The module answers a clean run as it should: it is alive and in step, the
    // port is free. A module still in a transfer that the tool gave up (sending
    // the rest, or waiting for chunks) takes a packet or two to give it up too.
    void expect_in_step() const {
        farend::RunResult r;
        for (int attempt = 0; attempt < 4; ++attempt) {
            {
                Client line(sim->link);
                while (!line.read_raw(65536, 150).empty()) {
                }
            }
            r = tool({"-c", "SS"});
            if (r.err.find("Module is in normal condition(0x30)") != std::string::npos) return;
        }
        ADD_FAILURE() << "the module is not in step: " << r.err;
    }
};

TEST_P(Faults, EveryCommandUnderTheFault) {
    uint32_t id = 100;
    const char* fault = GetParam();
    for (const CommandCell& cell : COMMANDS) {
        SCOPED_TRACE(std::string(cell.name) + " with " + fault);
        ++id;
        std::remove(dir.file("out.bmp").c_str());
        std::remove(dir.file("out.bin").c_str());
        if (!cell.input.empty()) {
            Args input;
            for (const std::string& a : cell.input) input.push_back(with_id(a, id));
            EXPECT_EQ(sim->control(input).status, 0);
        }
        const uint32_t version = cell.check == Check::Firmware ? firmware_version() : 0;
        const bool dies = std::string(fault) == "die";
        const std::string only = ",cmd=" + std::to_string(cell.code);
        sim->fault((dies ? "die:" + std::to_string(cell.dieAt) : std::string(fault)) + only);
        Args args;
        for (const std::string& a : cell.args) args.push_back(with_id(a, id));
        const auto r = tool(args);

        EXPECT_EQ(r.status, 1) << "took " << r.elapsedMs << " ms";
        bool claimed = r.err.find(cell.marker) != std::string::npos;
        if (dies) {
            sim->restart(); // a fresh control file: no faults
        } else {
            sim->fault("none");
        }
        switch (cell.check) {
        case Check::Exact:
            if (claimed) {
                EXPECT_NE(r.err.find(cell.success), std::string::npos) << r.err;
            }
            break;
        case Check::Enrolled:
        case Check::Found:
            if (claimed) {
                const size_t at = r.err.find(cell.marker) + std::strlen(cell.marker);
                const std::string user = cell.check == Check::Found
                                             ? std::to_string(std::stoul(r.err.substr(at), nullptr, 16))
                                             : std::to_string(id);
                expect_in_step();
                const auto v = tool({"-c", "VS", "-p1", user});
                EXPECT_NE(v.err.find("Verify Succeed"), std::string::npos) << r.err << v.err;
            }
            break;
        case Check::Image: {
            const long size = file_size(dir.file("out.bmp"));
            EXPECT_TRUE(size == 0 || whole_bmp(dir.file("out.bmp"))) << size;
            EXPECT_EQ(claimed, size > 0) << r.err;
            break;
        }
        case Check::Template: {
            const long size = file_size(dir.file("out.bin"));
            EXPECT_TRUE(size == 0 || size == 388) << size;
            EXPECT_EQ(claimed, size == 388) << r.err;
            break;
        }
        case Check::SameFile: {
            // Nothing claims a read-back but the file itself: whole and true, or empty.
            const std::string got = contents(dir.file("out.bin"));
            claimed = got == contents(dir.file(cell.reference));
            EXPECT_TRUE(got.empty() || claimed) << got.size() << " bytes\n" << r.err;
            break;
        }
        case Check::Firmware:
            if (claimed) {
                expect_in_step();
                EXPECT_EQ(firmware_version(), version + 1) << r.err;
            }
            break;
        }
        // Faults that spoil nothing must not cost the command.
        const std::string f = fault;
        if (f == "noise" || f == "text" || f == "slow:200" || f == "unsolicited:2" ||
            (f == "chunk-checksum" && cell.check != Check::Image)) {
            EXPECT_TRUE(claimed) << r.err;
        }
        expect_in_step();
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFault, Faults, ::testing::ValuesIn(FAULTS),
                         [](const ::testing::TestParamInfo<const char*>& fault) {
                             std::string name = fault.param;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

termios line_settings(const std::string& link) {
    termios tio{};
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        tcgetattr(fd, &tio);
        close(fd);
    }
    return tio;
}

// kelvor against the simulated module of `sim` at 115200 baud and trace level 2,
// with the read time-out given; `signal` sent after `afterMs` (none when 0).
farend::RunResult kelvor_on(const Sim& sim, const std::string& dir, int timeoutMs, const Args& args,
                            int signal = 0, int afterMs = 0) {
    Args a = {"-P", sim.link, "-b", "115200", "-t", std::to_string(timeoutMs), "-x2"};
    a.insert(a.end(), args.begin(), args.end());
    return farend::run_program_with(KELVOR_BIN, a, dir, signal, afterMs, RUN_LIMIT_MS);
}

// Stopped in the middle of sending an image at the module's pace: the port
// gets its own settings back, the lock goes, the next run works.
TEST(FaultSignals, StoppedMidTransferGivesThePortBack) {
    farend::TempDir dir;
    Sim sim({"--pace"}, dir.path());
    sim.place("3");
    auto tool = [&](const Args& args, int signal, int afterMs) {
        return kelvor_on(sim, dir.path(), 3000, args, signal, afterMs);
    };
    ASSERT_NE(tool({"-c", "SI", "-o", "finger.bmp"}, 0, 0).err.find("Width: 0x100"), std::string::npos);
    // A Windows program knows Ctrl-C alone (Wine's SIGINT).
    const std::vector<int> signals = farend::tool_is_windows()
                                         ? std::vector<int>{SIGINT}
                                         : std::vector<int>{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
    for (int sig : signals) {
        SCOPED_TRACE(sig);
        const termios before = line_settings(sim.link);
        const auto r = tool({"-c", "EIX", "-p1", "5", "-i", "finger.bmp"}, sig, 700);
        EXPECT_EQ(r.status, farend::stopped_status(sig)) << r.err;
        const termios after = line_settings(sim.link);
        EXPECT_EQ(before.c_lflag, after.c_lflag);
        EXPECT_EQ(before.c_iflag, after.c_iflag);
        EXPECT_EQ(before.c_oflag, after.c_oflag);
        // The module gives up the broken transfer; then it answers again.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        const auto next = tool({"-c", "SS"}, 0, 0);
        EXPECT_NE(next.err.find("Module is in normal condition(0x30)"), std::string::npos) << next.err;
    }
}

} // namespace

namespace {

// An answer that comes after its command gave up is never taken as the answer
// of the next command with the same code: not in the opening (its SR reads),
// not between batch lines, in single-module and in network mode.
struct LateCell {
    const char* name;
    const char* fault;    // the one late answer
    Args args;            // the run
    const char* expected; // the run's true result, in the trace
    const char* dropped;  // the late answer's trace line, empty where none is traced
};

TEST(LateAnswers, NeverTakenForTheNextCommandOfTheSameCode) {
    const LateCell cells[] = {
        {"SR after the opening's timed-out SR",
         "slow:1500,times=1,cmd=3",
         {"-c", "SR", "-f", "0x71"},
         "Baudrate(0x71): 0x35\n",
         ""},
        {"IS after a timed-out IS",
         "slow:1500,times=1,cmd=17",
         {"-F", "batch"},
         "Identify Succeed: 0x1 ",
         "[ERR] Late answer dropped: 0x11\n"},
    };
    for (const bool network : {false, true}) {
        for (const LateCell& cell : cells) {
            SCOPED_TRACE(std::string(cell.name) + (network ? " (network)" : ""));
            farend::TempDir dir;
            Sim sim({"--state", dir.file("state.db")}, dir.path());
            sim.place("3");
            Args base = {"--exit-code", "-P", sim.link, "-b", "115200", "-t", "1000", "-x2"};
            auto tool = [&](const Args& args) {
                Args a = base;
                a.insert(a.end(), args.begin(), args.end());
                return farend::run_program_with(KELVOR_BIN, a, dir.path(), 0, 0, RUN_LIMIT_MS);
            };
            // The setup is no fault: it may take its time.
            ASSERT_NE(tool({"-t", "5000", "-c", "ES", "-p1", "1"}).err.find("Enroll: Succeed 0x1"),
                      std::string::npos);
            if (network) {
                ASSERT_NE(tool({"-c", "SW", "-f", "0x83", "-p2", "0x31"}).err.find("Network Mode(0x83) 0x31"),
                          std::string::npos);
                base.insert(base.end(), {"-n", "1", "-m", "1"});
            }
            dir.write("batch", std::string("-c IS\n-c IS\n"));
            sim.fault(cell.fault);
            const auto r = tool(cell.args);
            EXPECT_NE(r.err.find(cell.expected), std::string::npos) << r.err;
            if (*cell.dropped) {
                EXPECT_NE(r.err.find(cell.dropped), std::string::npos) << r.err;
            }
            // The late answer is nowhere taken: exactly the one true result.
            EXPECT_EQ(r.err.find(cell.expected), r.err.rfind(cell.expected)) << r.err;
            if (std::string(cell.args[0]) == "-c") {
                EXPECT_EQ(r.status, 0) << r.err;
            }
        }
    }
}

} // namespace

namespace {

// RT and WL report a transfer that failed part-way as failed (exit status 3
// with --exit-code), while RT's file keeps the templates read before it.
TEST(FaultResults, AFailedFollowUpIsNeverASuccess) {
    farend::TempDir dir;
    const Args state = {"--state", dir.file("state.db")};
    auto tool = [&](const Sim& sim, const Args& args) {
        Args a = {"--exit-code", "-P", sim.link, "-b", "115200", "-t", "500", "-x2"};
        a.insert(a.end(), args.begin(), args.end());
        return farend::run_program_with(KELVOR_BIN, a, dir.path(), 0, 0, RUN_LIMIT_MS);
    };
    {
        Sim sim(state, dir.path());
        sim.place("3");
        // The setup is no fault: it may take its time (a first scan under the sanitizers takes half a
        // second).
        ASSERT_EQ(tool(sim, {"-t", "5000", "-c", "ES", "-p1", "3", "-f", "0x71"}).status, 0);
        ASSERT_EQ(tool(sim, {"-t", "5000", "-c", "ES", "-p1", "3", "-f", "0x71"}).status, 0);
        ASSERT_EQ(tool(sim, {"-t", "5000", "-c", "WM", "-p1", "0x30", "-p2", "1"}).status,
                  0); // a mapping for WL
    }
    // The module dies in the middle of one transfer after another of RT: the
    // templates read before stay in the file, and whenever it is short of the
    // two templates the result is the link's failure.
    // Each try on a copy of the module's state as the enrollments left it.
    auto fresh_state = [&](int n) {
        const std::string copy = dir.file("state-" + std::to_string(n) + ".db");
        std::ifstream in(dir.file("state.db"), std::ios::binary);
        std::ofstream(copy, std::ios::binary) << in.rdbuf();
        return Args{"--state", copy};
    };
    for (int at = 2; at <= 6; ++at) {
        SCOPED_TRACE(at);
        Sim sim(fresh_state(at), dir.path());
        sim.fault("die:" + std::to_string(at) + ",cmd=20");
        const auto r = tool(sim, {"-c", "RT", "-p1", "3", "-o", "u3.bin"});
        const long size = file_size(dir.file("u3.bin"));
        EXPECT_TRUE(size == 0 || size == 0x180 || size == 0x300) << size;
        EXPECT_EQ(r.status, size == 0x300 ? 0 : 3) << r.err;
    }
    // WL's list that does not arrive fails WL.
    Sim sim(fresh_state(0), dir.path());
    sim.fault("die:2,cmd=105");
    const auto wl = tool(sim, {"-c", "WL"});
    EXPECT_EQ(wl.status, 3) << wl.err;
}

// A module still sending the image of a run that was stopped does not fail
// the next run: the opening lets the tail pass, then checks the status again,
// and no image byte is taken for a text line.
TEST(FaultResults, TheOpeningLetsTheTailOfAnEarlierTransferPass) {
    farend::TempDir dir;
    Sim sim({"--pace"}, dir.path());
    sim.place("3");
    const auto stopped = kelvor_on(sim, dir.path(), 1000, {"-c", "SI", "-o", "finger.bmp"}, SIGINT, 1500);
    EXPECT_EQ(stopped.status, farend::stopped_status(SIGINT));
    const auto next = kelvor_on(sim, dir.path(), 1000, {"-c", "SS"});
    EXPECT_NE(next.err.find("Module is in normal condition(0x30)"), std::string::npos) << next.err;
    EXPECT_EQ(next.out, "");
}

} // namespace

namespace {

// A fault is read once, when it is given: a bad one is refused with its
// reason and the control file keeps only faults in their written form.
TEST(FaultText, ReadOnceRefusedWithItsReasonWrittenBackAsGiven) {
    Sim sim;
    struct Case {
        const char* text;
        bool accepted; // else refused, with its reason
    };
    const Case cases[] = {
        {"truncate:3,cmd=0x20,times=2", true},
        {"text:hello world", true},
        {"chunk-checksum", true},
        {"smoke", false},
        {",cmd=3", false},
        {"slow:soon", false},
        {"noise,cmd=0x100", false},
        {"noise,times", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const farend::RunResult r = sim.control({"--fault", c.text});
        EXPECT_EQ(r.status, c.accepted ? 0 : 2);
        EXPECT_GOLDEN(r.err, c.text);
    }
    std::ifstream ctl(sim.link + ".ctl");
    const std::string saved((std::istreambuf_iterator<char>(ctl)), std::istreambuf_iterator<char>());
    EXPECT_NE(saved.find("truncate:3,cmd=32,times=2"), std::string::npos) << saved;
    EXPECT_NE(saved.find("text:hello world"), std::string::npos) << saved;
    EXPECT_NE(saved.find("chunk-checksum"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("smoke"), std::string::npos) << saved;
}

} // namespace
