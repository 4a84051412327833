// The tool against the simulated module through its Wiegand port and card
// reader: the configuration written and read back, the output strings a door
// controller sees, enrollment by Wiegand input, templates on cards read back
// byte for byte and verified, and a card that the reader's key does not open.
#include "SimHarness.h"

#include <fstream>
#include <sstream>

using namespace simtest;

namespace {

class Tool {
public:
    explicit Tool(const Sim& sim) : sim_(sim) {}
    // The trace of a run, which must hold every expected text.
    std::string expect(const std::vector<std::string>& args, const std::vector<std::string>& expected) const {
        std::vector<std::string> a = {"-P", sim_.link, "-b", "115200", "-t", "5000", "-x2"};
        a.insert(a.end(), args.begin(), args.end());
        const auto r = farend::run_kelvor(a, dir_.path());
        for (const auto& e : expected)
            EXPECT_NE(r.err.find(e), std::string::npos) << args[1] << ":\n" << r.err;
        return r.err;
    }
    void write(const std::string& name, const Bytes& b) const { dir_.write(name, b); }
    void write(const std::string& name, const std::string& s) const { dir_.write(name, s); }
    Bytes read(const std::string& name) const {
        const std::string s = dir_.read(name);
        return Bytes(s.begin(), s.end());
    }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    const Sim& sim_;
    farend::TempDir dir_;
};

std::string text_of(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(SimWiegand, ConfigurationWrittenAndReadBackOutputRecorded) {
    Sim sim;
    Tool tool(sim);
    tool.expect({"-c", "WW", "-f", "1", "-p1", "0x1a0112", "-p2", "0x55"},
                {"Write Wiegand Configuration(WW): Wiegand Output 0x1a 0x1 Enroll Given ID 0x55"});
    tool.expect({"-c", "WR", "-f", "1"},
                {"FC bits: 0x1a Format: 0x1 Function: Enroll Given ID FC Code: 0x55"});
    tool.expect({"-c", "WR", "-f", "2"}, {"[ERR] Wiegand configuration is not supported"});
    // The extended format: a custom definition travels both ways unchanged.
    const Bytes definition{0x1a, 0x00, 0x0a, 0x0a, 0xff};
    tool.write("format.bin", definition);
    tool.expect({"-c", "WRX"}, {"[ERR] Wiegand format is not configured"});
    tool.expect({"-c", "WWX", "-f", "3", "-p1", "0x012c0064", "-p2", "5", "-i", "format.bin"}, {});
    tool.expect({"-c", "WRX", "-o", "back.bin"},
                {"Format: Custom Format Width: 44 usec Interval: 100 usec Size: 5 bytes"});
    EXPECT_EQ(tool.read("back.bin"), definition);
    tool.expect({"-c", "WFW", "-p2", "3", "-p1", "0x99"}, {});
    tool.expect({"-c", "WFR", "-p2", "3"}, {"Default Value: 0x99"});
    tool.expect({"-c", "WFR", "-p2", "4"}, {"[ERR] Default value is not defined"});
    tool.expect({"-c", "WPW", "-p1", "0x10002", "-p2", "3"}, {});
    tool.expect({"-c", "WPR"}, {"Input: 0x1 Output: 0x2 Option: 0x3"});
    // The output port sends ID 5 in the 26-bit frame with facility code 0x55, then a raw string.
    tool.expect({"-c", "WS", "-p1", "5"}, {});
    tool.expect({"-c", "WSX", "-p1", "1", "-p2", "2"}, {});
    EXPECT_EQ(text_of(sim.link + ".wiegand"), "00000000 00aa000b\n00000001 00000002\n");
    // Sixteen mappings fill the card's list; the Wiegand list stays apart.
    for (int v = 1; v <= 16; ++v)
        tool.expect({"-c", "WM", "-f", "1", "-p1", "0x21", "-p2", std::to_string(v)}, {});
    tool.expect({"-c", "WM", "-f", "1", "-p1", "0x21", "-p2", "17"},
                {"[ERR] Smart Card mapping is limited to 16. No more mapping."});
    tool.expect({"-c", "WL", "-f", "1"}, {"Num of mapping: 0x10 Data Size: 0x80"});
    tool.expect({"-c", "WL"}, {"Num of mapping: 0 Data Size: 0"});
    tool.expect({"-c", "WC", "-f", "1"}, {});
    tool.expect({"-c", "WL", "-f", "1"}, {"Num of mapping: 0 Data Size: 0"});
}

TEST(SimWiegand, InputReadOnceWhenClearedAndEnrolledByWiegand) {
    Sim sim;
    Tool tool(sim);
    tool.expect({"-c", "WWX", "-f", "1"}, {});
    EXPECT_EQ(sim.control({"--wiegand", "7"}).status, 0);
    // ID 7 in the 26-bit frame: parity bits and facility code 0 around it.
    tool.expect({"-c", "WGX", "-p1", "1", "-f", "1"}, {"Wiegand String: 00000000 0000000e"});
    tool.expect({"-c", "WG"}, {"ID: 0x7 Facility Code: 0"});
    tool.expect({"-c", "WG"}, {"[ERR] Not found"});
    // EW takes the user ID from the input, scans the finger, and IS finds it.
    sim.place("3");
    tool.expect({"-c", "SW", "-f", "0x75", "-p2", "0x31"}, {});
    tool.expect({"-c", "EW"}, {"Enroll by wiegand(EW): Unknown", "      Enroll: Succeed 0x7"});
    tool.expect({"-c", "IS"}, {"Identify Succeed: 0x7 "});
    // The enrollment's input is in the event log, before the enrollment itself.
    tool.expect({"-c", "LR", "-p2", "3"},
                {"(Wiegand Input) (Detect Wiegand) (0x7) ()\n", "(Host Port) (Enroll Success) (0x7) ()\n"});
    tool.expect({"-c", "EW"}, {"[ERR] Enroll: ID 0x7 is already used"});
    // Two scans, the second started by the host as EW.
    tool.expect({"-c", "SW", "-f", "0x65", "-p2", "0x42"}, {});
    EXPECT_EQ(sim.control({"--wiegand", "8"}).status, 0);
    sim.place("5");
    tool.expect({"-c", "EW"}, {"     Enroll: Succeed 0x8"});
    tool.expect({"-c", "IS"}, {"Identify Succeed: 0x8 "});
}

TEST(SimCard, TemplatesOnCardsReadBackAndVerified) {
    Sim sim;
    Tool tool(sim);
    tool.write("a.card", std::string("csn 0xa1\n"));
    EXPECT_EQ(sim.control({"--card", tool.file("a.card")}).status, 0);
    sim.place("3");
    tool.expect({"-c", "EC", "-p1", "9", "-p2", "1"}, {"     Enroll: Succeed"});
    tool.expect({"-c", "CR", "-f", "1", "-o", "a.bin"},
                {"Data Length: 404", "CSN: 0xa1", "Num of Template: 1", "Template1: 384 bytes \n"});
    const Bytes a = tool.read("a.bin");
    ASSERT_EQ(a.size(), 404u);
    const Bytes tpl(a.begin() + 20, a.end());
    tool.write("tpl.bin", tpl);
    tool.expect({"-c", "VC"}, {"Verify Succeed: 0x9 "});

    // Another card gets the template by CW, and it reads back byte for byte.
    tool.write("b.card", std::string("csn 0xb2\nuser 12\n"));
    EXPECT_EQ(sim.control({"--card", tool.file("b.card")}).status, 0);
    tool.expect({"-c", "CW", "-p1", "1", "-p2", "384", "-i", "tpl.bin"}, {"Write succeed"});
    tool.expect({"-c", "CR", "-o", "b.bin"}, {"Data Length: 404"});
    const Bytes b = tool.read("b.bin");
    ASSERT_EQ(b.size(), 404u);
    EXPECT_EQ(Bytes(b.begin() + 20, b.end()), tpl);
    tool.expect({"-c", "VC"}, {"Verify Succeed: 0xc "});
    sim.place("4");
    tool.expect({"-c", "VC"}, {"[ERR] Verify: Not match"});

    // ECX writes the template with a Wiegand string onto a third card.
    Bytes withWiegand = tpl;
    withWiegand.insert(withWiegand.end(), {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55});
    tool.write("ecx.bin", withWiegand);
    tool.write("c.card", std::string(""));
    EXPECT_EQ(sim.control({"--card", tool.file("c.card")}).status, 0);
    tool.expect({"-c", "ECX", "-p1", "0x21", "-p2", "0x10180", "-f", "4", "-i", "ecx.bin"},
                {"     Enroll: Succeed"});
    tool.expect({"-c", "CR", "-f", "1"}, {"Wiegand String: 0x55667788 11223344", "Template1: 384 bytes"});
    sim.place("3");
    tool.expect({"-c", "VC"}, {"Verify Succeed: 0x21 "});
    // Deleting the templates leaves the card's ID.
    tool.expect({"-c", "CF", "-f", "1"}, {"Delete Templates Only"});
    tool.expect({"-c", "CR", "-f", "1"}, {"Num of Template: 0"});
    EXPECT_NE(text_of(tool.file("c.card")).find("user 33\n"), std::string::npos);
}

TEST(SimCard, CardOfAnotherKeyIsRefusedUntilTheReaderHasIt) {
    Sim sim;
    Tool tool(sim);
    tool.write("locked.card", std::string("csn 0x5\nkey 112233445566\n"));
    EXPECT_EQ(sim.control({"--card", tool.file("locked.card")}).status, 0);
    tool.expect({"-c", "CR"}, {"[ERR] Card error"});
    tool.expect({"-c", "CF"}, {"[ERR] Card error"});
    tool.expect({"-c", "LR", "-p2", "2"},
                {"(SmartCard) (Detec Smart Card) (0) ()\n", "(SmartCard) (Smart Card Read Error) (0) ()\n"});
    // Changing the card's key needs its current key.
    tool.write("wrong.key", Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    tool.expect({"-c", "CKW", "-p1", "2", "-i", "wrong.key"}, {"[ERR] Wrong password"});
    // The reader learns the card's key as its secondary key; with the option
    // "Auto Update Primary Key" the card then takes the primary key.
    tool.write("keys.bin", Bytes{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    tool.expect({"-c", "CKW", "-p1", "1", "-f", "3", "-i", "keys.bin"}, {});
    tool.expect({"-c", "CKR"}, {"Use Secondary Key\n", "Auto Update Primary Key\n"});
    tool.expect({"-c", "CR"}, {"Data Length: 20"});
    EXPECT_NE(text_of(tool.file("locked.card")).find("key ffffffffffff\n"), std::string::npos);
    // The layout decides how large a template the card takes.
    tool.write("layout.bin", Bytes{0x80, 0x00, 1, 4, 8, 12, 8});
    tool.expect({"-c", "CLW", "-i", "layout.bin"}, {});
    tool.expect({"-c", "CLR"}, {"Template Size: 128 bytes", "Template2 start block: 12"});
    tool.write("big.bin", Bytes(129, 1));
    tool.expect({"-c", "CW", "-p2", "129", "-i", "big.bin"}, {"[ERR] Incomplete template data"});
    tool.write("overlap.bin", Bytes{0x80, 0x00, 1, 4, 8, 8, 8});
    tool.expect({"-c", "CLW", "-i", "overlap.bin"}, {"[ERR] Invalid Card Layout"});
}

} // namespace
