// The manual pages: kelvor(1) names every option that --help lists and holds
// the command reference exactly as the program prints it; both pages carry the
// project's version.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "FarEnd.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The page as a reader sees its words: escaped minus signs plain, font
// changes gone.
std::string plain(std::string page) {
    std::string out;
    for (size_t i = 0; i < page.size(); ++i) {
        if (page[i] == '\\' && i + 1 < page.size()) {
            const char next = page[i + 1];
            if (next == '-') {
                out += '-';
                ++i;
                continue;
            }
            if (next == 'f' && i + 2 < page.size()) {
                i += 2;
                continue;
            }
            if (next == '&') {
                ++i;
                continue;
            }
        }
        out += page[i];
    }
    return out;
}

// The option words of the usage text: the one that opens each indented line
// and every long option anywhere.
std::set<std::string> help_options(const std::string& help) {
    std::set<std::string> options;
    const std::regex leading(R"((?:^|\n) +(--[a-z-]+|-[A-Za-z][a-z0-9]*))");
    for (std::sregex_iterator it(help.begin(), help.end(), leading), end; it != end; ++it)
        options.insert((*it)[1]);
    const std::regex longs(R"(--[a-z][a-z-]*)");
    for (std::sregex_iterator it(help.begin(), help.end(), longs), end; it != end; ++it)
        options.insert((*it)[0]);
    return options;
}

bool names_option(const std::string& text, const std::string& option) {
    // The option as a word of its own: -p must not be found inside -p1.
    const std::regex word("(^|[^A-Za-z0-9-])" + std::regex_replace(option, std::regex("-"), "\\-") +
                          "($|[^A-Za-z0-9-])");
    return std::regex_search(text, word);
}

TEST(ManualPage, NamesEveryOptionOfHelp) {
    farend::TempDir dir;
    const auto help = farend::run_kelvor({"--help"}, dir.path());
    const std::set<std::string> options = help_options(help.out);
    // The usage text's own count: a change in its layout must not empty the check.
    ASSERT_GE(options.size(), 25u);
    const std::string page = plain(read_file(KELVOR_MAN_DIR "/kelvor.1"));
    ASSERT_FALSE(page.empty());
    for (const std::string& option : options) EXPECT_TRUE(names_option(page, option)) << option;
    for (const char* section : {"SYNOPSIS", "OPTIONS", "SETTINGS FILE", "TRACE LEVELS", "COMMANDS", "FILES",
                                "EXIT STATUS", "EXAMPLES", "SEE ALSO"})
        EXPECT_NE(page.find(std::string(".SH ") + section), std::string::npos) << section;
}

TEST(ManualPage, HoldsTheCommandReferenceAsKelvorPrintsIt) {
    farend::TempDir dir;
    const auto reference = farend::run_kelvor({"--commands", "--man"}, dir.path());
    ASSERT_GT(reference.out.size(), 1000u);
    const std::string page = read_file(KELVOR_MAN_DIR "/kelvor.1");
    EXPECT_NE(page.find(reference.out), std::string::npos);
    const auto version = farend::run_kelvor({"--version"}, dir.path());
    // "kelvor 0.9.0\n"
    std::string number = version.out.substr(version.out.find(' ') + 1);
    number.erase(number.find('\n'));
    for (const char* name : {"/kelvor.1", "/orvanti-sim.1"})
        EXPECT_NE(read_file(std::string(KELVOR_MAN_DIR) + name).find("\"kelvor " + number + "\""),
                  std::string::npos)
            << name;
}

} // namespace
