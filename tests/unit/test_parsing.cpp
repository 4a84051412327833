// The front end's reading of its inputs: numbers and command words, baud
// rates, the option parser of the command record, and kelvor.cfg.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "ErrorLines.h"
#include "FarEnd.h"
#include "ModuleIds.h"
#include "ModuleSDK.h"
#include "OrvantiCom.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

// Runs a test inside a fresh directory, so that kelvor.cfg and the files that
// options open are its own; returns to the previous working directory after.
class InTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char here[PATH_MAX];
        ASSERT_NE(::getcwd(here, sizeof here), nullptr);
        previous_ = here;
        ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
        if (keyword_count() == 0) keyword_fill();
    }
    void TearDown() override { ASSERT_EQ(::chdir(previous_.c_str()), 0); }

    farend::TempDir dir_;

private:
    std::string previous_;
};

struct NumberCase {
    const char* word;
    uint32_t value;
};

TEST(ParseNumber, DecimalHexSignsAndLimits) {
    const NumberCase cases[] = {
        {"0", 0},
        {"10", 10},
        {"010", 10}, // decimal, never octal
        {"0x10", 0x10},
        {"0xff", 0xff},
        {"0xFF", 0xff},
        {"0X10", 0}, // only a lower-case x marks hexadecimal
        {"-1", 0xFFFFFFFF},
        {"-4294967295", 1},
        {"4294967295", 0xFFFFFFFF},
        {"4294967296", 0xFFFFFFFF},
        {"99999999999999999999", 0xFFFFFFFF},
        {"-4294967296", 0xFFFFFFFF},
        {"0xFFFFFFFF", 0xFFFFFFFF},
        {"0x100000000", 0xFFFFFFFF},
        {"0x", 0},
        {"0xg", 0},
        {"0x-1", 0xFFFFFFFF},
        {" 12", 12},
        {"+7", 7},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"-0x10", 0},
        {"1e3", 1},
    };
    for (const NumberCase& c : cases) {
        EXPECT_EQ(parse_number(c.word), c.value) << '"' << c.word << '"';
    }
}

struct CommandCase {
    const char* word;
    uint8_t code;
};

TEST(ParseCommand, KeywordsNumbersAndLowEightBits) {
    if (keyword_count() == 0) keyword_fill();
    const CommandCase cases[] = {
        {"es", 0x05},      {"ES", cmd::ES},   {"5", 0x05},
        {"0x5", 0x05},     {"0x05", 0x05},    {"Es", 0x05},
        {"05", 0},         {"07", 0},         {"ABCD", 0},
        {"abcd", 0},       {"0x141", 0x41},   {"1A", 0x01},
        {"0x", 0},         {"-1", 0},         {"0X10", 0},
        {"261", 0x05},     {"256", 0},        {"iix", 0x81},
        {"EIX", cmd::EIX}, {"LTX", cmd::LTX}, {"lc", 0x3F},
        {"SW", cmd::SW},   {"ZZ", 0},         {"", 0},
        {"0xee", 0xEE},    {"238", 0xEE},     {"4294967296", 0xFF},
    };
    for (const CommandCase& c : cases) {
        EXPECT_EQ(parse_command(c.word), c.code) << '"' << c.word << '"';
    }
}

TEST(BaudCodes, RatesAndCodes) {
    const std::pair<uint32_t, int> rates[] = {
        {9600, 0x31}, {19200, 0x32}, {38400, 0x33}, {57600, 0x34}, {115200, 0x35},
        {14400, -1},  {0, -1},       {0x35, -1},    {230400, -1},  {0xFFFFFFFF, -1},
    };
    for (const auto& [rate, code] : rates) EXPECT_EQ(baud_code_of_rate(rate), code) << rate;

    // The link takes the code; anything that is not one of the five codes is a rate.
    const std::pair<int, int> codes[] = {{0x31, 9600},   {0x32, 19200},    {0x33, 38400}, {0x34, 57600},
                                         {0x35, 115200}, {115200, 115200}, {0x36, 0x36}};
    for (const auto& [code, rate] : codes) EXPECT_EQ(baud_rate_of_code(code), rate) << code;
}

// ------------------------------------------------------------ option parser

// The fields of the command record that the parser sets, as one comparable value.
struct Parsed {
    uint8_t command = 0;
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
    int baudCode = -1;
    int traceLevel = 1;
    uint16_t moduleId = 1;
    int chunkSize = 0x1000;
    int readTimeout = 1000;
    int networkMode = 0;
    int hexText = 0;
    std::string portName;
    uint8_t monitor = 0;
    uint8_t broadcast = 0;
    uint8_t settingsChanged = 0;
    int hookLevel = -1;
    bool operator==(const Parsed&) const = default;
};

Parsed fields_of(const OrvantiCom& c) {
    return {c.command,  c.param1,    c.param2,          c.flag,        c.baudCode, c.traceLevel,
            c.moduleId, c.chunkSize, c.readTimeout,     c.networkMode, c.hexText,  c.portName,
            c.monitor,  c.broadcast, c.settingsChanged, c.hookLevel};
}

std::ostream& operator<<(std::ostream& os, const Parsed& p) {
    return os << "command " << int(p.command) << " param1 " << p.param1 << " param2 " << p.param2 << " flag "
              << int(p.flag) << " baud " << p.baudCode << " trace " << p.traceLevel << " module "
              << p.moduleId << " chunk " << p.chunkSize << " timeout " << p.readTimeout << " network "
              << p.networkMode << " hex " << p.hexText << " port '" << p.portName << "' monitor "
              << int(p.monitor) << " broadcast " << int(p.broadcast) << " changed " << int(p.settingsChanged)
              << " hook " << p.hookLevel;
}

struct OptionCase {
    std::vector<std::string> words;
    Parsed expected;
};

using OptionParser = InTempDir;

TEST_F(OptionParser, WordListsGiveFields) {
    auto with = [](auto change) {
        Parsed p;
        change(p);
        return p;
    };
    const OptionCase cases[] = {
        {{"-c", "SS"}, with([](Parsed& p) { p.command = 0x04; })},
        // A value option given last without its value is ignored.
        {{"-c", "SS", "-p1"}, with([](Parsed& p) { p.command = 0x04; })},
        {{"-c", "SS", "-P"}, with([](Parsed& p) { p.command = 0x04; })},
        // Options without a value still count as the last word.
        {{"-c", "SS", "-w"}, with([](Parsed& p) { p.command = 0x04, p.monitor = 1; })},
        {{"-c", "SS", "-B"}, with([](Parsed& p) { p.command = 0x04, p.broadcast = 1; })},
        {{"-c", "SS", "-x3"},
         with([](Parsed& p) { p.command = 0x04, p.traceLevel = 3, p.settingsChanged = 1; })},
        {{"-x0"}, with([](Parsed& p) { p.traceLevel = 0, p.settingsChanged = 1; })},
        {{"-x4", "-c", "1"}, with([](Parsed& p) { p.traceLevel = 4, p.settingsChanged = 1, p.command = 1; })},
        // -x outside 0..4, or bare, changes nothing.
        {{"-x5", "-c", "SS"}, with([](Parsed& p) { p.command = 0x04; })},
        {{"-x", "-c", "SS"}, with([](Parsed& p) { p.command = 0x04; })},
        {{"-c", "SS", "-x"}, with([](Parsed& p) { p.command = 0x04; })},
        {{"-xa", "-c", "SS"}, with([](Parsed& p) { p.command = 0x04; })},
        // Every value option takes the next word, whatever it holds.
        {{"-p1", "-f", "3"}, Parsed{}},
        {{"-P", "-c", "SS"}, with([](Parsed& p) { p.portName = "-c", p.settingsChanged = 1; })},
        // -p without 1 or 2, and unknown letters, take no value.
        {{"-p3", "7", "-c", "SS"}, with([](Parsed& p) { p.command = 0x04; })},
        {{"-q", "-c", "SS"}, with([](Parsed& p) { p.command = 0x04; })},
        {{"-", "-c", "SS"}, with([](Parsed& p) { p.command = 0x04; })},
        // Words that are not options are passed over.
        {{"SS", "-c", "0x3f", "junk"}, with([](Parsed& p) { p.command = 0x3F; })},
        {{"-p1", "-1", "-p2", "0x10", "-f", "0x1ff"},
         with([](Parsed& p) { p.param1 = 0xFFFFFFFF, p.param2 = 0x10, p.flag = 0xFF; })},
        {{"-p1", "0X10"}, Parsed{}},
        {{"-p1", "4294967296"}, with([](Parsed& p) { p.param1 = 0xFFFFFFFF; })},
        // A later option overrides an earlier one.
        {{"-c", "SS", "-c", "SR", "-f", "1", "-f", "2"},
         with([](Parsed& p) { p.command = 0x03, p.flag = 2; })},
        // Baud rates: only the five rates have a code, and only a code marks the settings.
        {{"-b", "115200"}, with([](Parsed& p) { p.baudCode = 0x35, p.settingsChanged = 1; })},
        {{"-b", "9600"}, with([](Parsed& p) { p.baudCode = 0x31, p.settingsChanged = 1; })},
        {{"-b", "14400"}, Parsed{}},
        {{"-b", "115200", "-b", "14400"}, with([](Parsed& p) { p.settingsChanged = 1; })},
        {{"-m", "0x10001"}, with([](Parsed& p) { p.moduleId = 1, p.settingsChanged = 1; })},
        {{"-m", "0x1234"}, with([](Parsed& p) { p.moduleId = 0x1234, p.settingsChanged = 1; })},
        {{"-n", "1", "-a", "1"},
         with([](Parsed& p) { p.networkMode = 1, p.hexText = 1, p.settingsChanged = 1; })},
        {{"-s", "0x800", "-t", "250"},
         with([](Parsed& p) { p.chunkSize = 0x800, p.readTimeout = 250, p.settingsChanged = 1; })},
        {{"-P", "/dev/ttyS3"}, with([](Parsed& p) { p.portName = "/dev/ttyS3", p.settingsChanged = 1; })},
        // -d and the one-run options leave the saved settings alone.
        {{"-d", "2", "-B", "-w", "-c", "SS"},
         with([](Parsed& p) { p.hookLevel = 2, p.broadcast = 1, p.monitor = 1, p.command = 0x04; })},
    };
    for (const OptionCase& c : cases) {
        std::string line;
        for (const auto& w : c.words) line += w + ' ';
        SCOPED_TRACE(line);
        OrvantiCom com(c.words);
        com.parse_options();
        EXPECT_EQ(fields_of(com), c.expected);
        EXPECT_FALSE(com.refused);
        EXPECT_FALSE(com.inputFile);
        EXPECT_FALSE(com.batchMode);
    }
}

TEST_F(OptionParser, NoWordsSetNothing) {
    farend::TraceCapture cap(0);
    OrvantiCom com({});
    com.parse_options();
    EXPECT_EQ(fields_of(com), Parsed{});
    EXPECT_EQ(cap.text(), farend::site_prefix(err_site::OPTIONS_NO_ARGUMENT) + "Err: No argument\n");
}

TEST_F(OptionParser, InputPathIsDirectoryOrFile) {
    dir_.write("data.bin", std::string(300, 'x'));
    ASSERT_EQ(::mkdir("images", 0700), 0);

    OrvantiCom fileCom({"-i", "data.bin"});
    fileCom.parse_options();
    EXPECT_TRUE(fileCom.inputFile);
    EXPECT_EQ(fileCom.inputSize, 300);
    EXPECT_FALSE(fileCom.inputIsDirectory);

    OrvantiCom dirCom({"-i", "images"});
    dirCom.parse_options();
    EXPECT_FALSE(dirCom.inputFile);
    EXPECT_TRUE(dirCom.inputIsDirectory);
    EXPECT_EQ(dirCom.directory, "images");

    // A path that is neither: no file, no directory, no message.
    farend::TraceCapture cap(0x0F);
    OrvantiCom missing({"-i", "nothing-here", "-c", "II"});
    missing.parse_options();
    EXPECT_FALSE(missing.inputFile);
    EXPECT_FALSE(missing.inputIsDirectory);
    EXPECT_EQ(missing.command, 0x12);
    EXPECT_EQ(cap.text(), "");
}

TEST_F(OptionParser, OutputFileIsCreatedWhileParsing) {
    dir_.write("out.bin", std::string("old content"));
    {
        OrvantiCom com({"-o", "out.bin", "-o", "new.bin"});
        com.parse_options();
        EXPECT_TRUE(com.outputFile);
        // Both exist now, truncated or created, whatever the command does later.
        EXPECT_EQ(dir_.read("out.bin"), "");
        EXPECT_EQ(::access("new.bin", F_OK), 0);
    }
    // A file that cannot be created leaves no output file and no message.
    farend::TraceCapture cap(0x0F);
    OrvantiCom com({"-o", "no-such-dir/out.bin"});
    com.parse_options();
    EXPECT_FALSE(com.outputFile);
    EXPECT_EQ(cap.text(), "");
}

TEST_F(OptionParser, OverlongNamesAreRefused) {
    const std::string name255(255, 'p'), name256(256, 'p');
    struct Case {
        std::vector<std::string> words;
        bool refused;
        std::string message;
    };
    const Case cases[] = {
        {{"-P", name255, "-c", "SS"}, false, ""},
        {{"-P", name256, "-c", "SS"},
         true,
         farend::site_prefix(err_site::OPTIONS_PORT_NAME_TOO_LONG) +
             "Err: Port name is longer than 255 characters\n"},
        {{"-F", name255}, false, ""},
        {{"-F", name256},
         true,
         farend::site_prefix(err_site::OPTIONS_BATCH_NAME_TOO_LONG) +
             "Err: Batch file name is longer than 255 characters\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words[1].size());
        farend::TraceCapture cap(0);
        OrvantiCom com(c.words);
        com.parse_options();
        EXPECT_EQ(com.refused, c.refused);
        EXPECT_EQ(cap.text(), c.message);
        if (c.refused) {
            EXPECT_EQ(com.portName, "");
            EXPECT_EQ(com.batchFile, "");
            EXPECT_FALSE(com.batchMode);
        }
    }
}

// ------------------------------------------------------------- kelvor.cfg

struct SettingsCase {
    const char* text;
    Parsed expected;
    uint8_t loaded;
};

using SettingsFile = InTempDir;

TEST_F(SettingsFile, FieldsStopAtTheFirstNonNumber) {
    auto with = [](auto change) {
        Parsed p;
        change(p);
        return p;
    };
    const SettingsCase cases[] = {
        {"COM1 53 0 1 0 1000 1 4096", with([](Parsed& p) { p.portName = "COM1", p.baudCode = 0x35; }), 1},
        {"/dev/ttyUSB0 52 1 513 1 250 3 2048", with([](Parsed& p) {
             p.portName = "/dev/ttyUSB0", p.baudCode = 0x34, p.networkMode = 1, p.moduleId = 513,
             p.hexText = 1, p.readTimeout = 250, p.traceLevel = 3, p.chunkSize = 2048;
         }),
         1},
        // The module ID keeps its low 16 bits.
        {"P 53 0 70000 0 1000 1 4096",
         with([](Parsed& p) { p.portName = "P", p.baudCode = 0x35, p.moduleId = 70000 & 0xFFFF; }), 1},
        // Reading stops at the first field that is not a number; the rest keep their initial values.
        {"P 49 x 7 1 9 9 9", with([](Parsed& p) { p.portName = "P", p.baudCode = 0x31; }), 1},
        {"P 49 1 2abc 1",
         with([](Parsed& p) { p.portName = "P", p.baudCode = 0x31, p.networkMode = 1, p.moduleId = 2; }), 1},
        {"P", with([](Parsed& p) { p.portName = "P"; }), 1},
        {"", Parsed{}, 1},
        // Line ends and blanks between fields are white space to the reader.
        {"P\n51\n0 1 0 200 2 64\n", with([](Parsed& p) {
             p.portName = "P", p.baudCode = 0x33, p.readTimeout = 200, p.traceLevel = 2, p.chunkSize = 64;
         }),
         1},
        {"P -1 0 1 0 1000 1 4096", with([](Parsed& p) { p.portName = "P"; }), 1},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.text);
        dir_.write("kelvor.cfg", std::string(c.text));
        OrvantiCom com({"-c", "SS"});
        EXPECT_EQ(com.settingsLoaded, c.loaded);
        Parsed got = fields_of(com);
        EXPECT_EQ(got, c.expected);
        EXPECT_FALSE(com.refused);
    }
}

TEST_F(SettingsFile, MissingFileKeepsInitialValues) {
    OrvantiCom com({"-c", "SS"});
    EXPECT_EQ(com.settingsLoaded, 0);
    EXPECT_EQ(fields_of(com), Parsed{});
}

TEST_F(SettingsFile, OverlongPortNameIsRefused) {
    dir_.write("kelvor.cfg", std::string(255, 'p') + " 53 0 1 0 1000 1 4096");
    {
        farend::TraceCapture cap(0);
        OrvantiCom com({"-c", "SS"});
        EXPECT_FALSE(com.refused);
        EXPECT_EQ(com.portName.size(), 255u);
        EXPECT_EQ(com.baudCode, 0x35);
        EXPECT_EQ(cap.text(), "");
    }
    dir_.write("kelvor.cfg", std::string(256, 'p') + " 53 0 1 0 1000 1 4096");
    farend::TraceCapture cap(0);
    OrvantiCom com({"-c", "SS"});
    EXPECT_TRUE(com.refused);
    EXPECT_EQ(com.portName, "");
    EXPECT_EQ(cap.text(), farend::site_prefix(err_site::SETTINGS_PORT_NAME_TOO_LONG) +
                              "Err: The port name in kelvor.cfg is longer than 255 characters\n");
}

TEST_F(SettingsFile, WrittenInTheSavedFormat) {
    OrvantiCom com({"-P", "COM1", "-b", "115200", "-c", "SS"});
    com.parse_options();
    ASSERT_TRUE(com.write_settings());
    EXPECT_EQ(dir_.read("kelvor.cfg"), "COM1 53 0 1 0 1000 1 4096");

    OrvantiCom other({"-P", "/dev/ttyS1", "-b", "9600", "-n", "1", "-m", "0x10203", "-a", "1", "-t", "250",
                      "-x4", "-s", "0x800"});
    other.parse_options();
    ASSERT_TRUE(other.write_settings());
    EXPECT_EQ(dir_.read("kelvor.cfg"), "/dev/ttyS1 49 1 515 1 250 4 2048");
    // What was written reads back as the same settings.
    OrvantiCom reread({"-c", "SS"});
    EXPECT_EQ(reread.portName, "/dev/ttyS1");
    EXPECT_EQ(reread.baudCode, 0x31);
    EXPECT_EQ(reread.moduleId, 515);
    EXPECT_EQ(reread.chunkSize, 0x800);
    EXPECT_EQ(reread.traceLevel, 4);
}

} // namespace

// The module IDs of --modules and the range of --scan: every ID once, 1 to 65535.
TEST(ModuleIds, ListsRangesAndTheirRefusals) {
    struct Case {
        const char* text;
        std::vector<uint16_t> ids; // empty: refused
        const char* why;
    };
    const Case cases[] = {
        {"1", {1}, ""},
        {"1,2,7", {1, 2, 7}, ""},
        {"7,2,1", {7, 2, 1}, ""}, // in the order given
        {"1-4,9", {1, 2, 3, 4, 9}, ""},
        {"65535", {65535}, ""},
        {"65534-65535", {65534, 65535}, ""},
        {"0", {}, "outside 1 to 65535"},
        {"65536", {}, "outside 1 to 65535"},
        {"99999999999", {}, "no module ID"},
        {"1,1", {}, "named twice"},
        {"1-3,2", {}, "named twice"},
        {"4-2", {}, "runs backwards"},
        {"", {}, "no module ID"},
        {"1,", {}, "no module ID"},
        {",1", {}, "no module ID"},
        {"1--2", {}, "no module ID"},
        {"0x10", {16}, ""}, // hexadecimal as everywhere
        {"0x1-0x3,0xff", {1, 2, 3, 255}, ""},
        {"0xFFFF", {65535}, ""},
        {"0x10000", {}, "outside 1 to 65535"},
        {"0X10", {}, "no module ID"}, // as -p1 0X10 is no hexadecimal number either
        {"0x", {}, "no module ID"},
        {"0xg", {}, "no module ID"},
        {"1-", {}, "no module ID range"},
        {" 1-3", {}, "no module ID"},
        {"abc", {}, "no module ID"},
        {"-3", {}, "no module ID"},
        {"1 2", {}, "no module ID"},
    };
    for (const Case& c : cases) {
        std::vector<uint16_t> ids;
        std::string why;
        const bool ok = parse_module_ids(c.text, ids, why);
        EXPECT_EQ(ok, !c.ids.empty()) << '"' << c.text << '"';
        if (ok)
            EXPECT_EQ(ids, c.ids) << '"' << c.text << '"';
        else
            EXPECT_NE(why.find(c.why), std::string::npos) << '"' << c.text << "\": " << why;
    }
    // A whole line's worth is taken; the scan's range is one range.
    std::vector<uint16_t> all;
    std::string why;
    EXPECT_TRUE(parse_module_ids("1-65535", all, why));
    EXPECT_EQ(all.size(), 65535u);
    uint32_t first = 0, last = 0;
    EXPECT_TRUE(parse_id_range("1-255", first, last, why));
    EXPECT_EQ(std::make_pair(first, last), std::make_pair(1u, 255u));
    EXPECT_FALSE(parse_id_range("1,2", first, last, why));
    // The word after --scan is its range, good or bad, unless it is an option.
    for (const char* option : {"-c", "-x2", "-P", "--json", "--"})
        EXPECT_TRUE(is_option_word(option)) << option;
    for (const char* range : {"10-20", "0x10", "abc", "-5", " 1-3", "-", ""})
        EXPECT_FALSE(is_option_word(range)) << range;
}
