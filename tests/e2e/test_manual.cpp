// The manual pages: kelvor(1) names every option that --help lists and holds
// the command reference exactly as the program prints it; both pages carry the
// project's version.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
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

bool word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
}

// The option words of the usage text: the one that opens each indented line
// (-xD is the option -x) and every long option anywhere.
std::set<std::string> help_options(const std::string& help) {
    std::set<std::string> options;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find_first_not_of(' ');
        if (at == 0 || at == std::string::npos || line[at] != '-' || at + 1 >= line.size()) continue;
        size_t end = at + 2;
        if (line[at + 1] == '-') {
            while (end < line.size() &&
                   (std::islower(static_cast<unsigned char>(line[end])) || line[end] == '-'))
                ++end;
        } else {
            while (end < line.size() && (std::islower(static_cast<unsigned char>(line[end])) ||
                                         std::isdigit(static_cast<unsigned char>(line[end]))))
                ++end;
        }
        options.insert(line.substr(at, end - at));
    }
    for (size_t at = help.find("--"); at != std::string::npos; at = help.find("--", at + 2)) {
        size_t end = at + 2;
        while (end < help.size() && (std::islower(static_cast<unsigned char>(help[end])) || help[end] == '-'))
            ++end;
        if (end > at + 2) options.insert(help.substr(at, end - at));
    }
    return options;
}

// The option as a word of its own: -p must not be found inside -p1.
bool names_option(const std::string& text, const std::string& option) {
    for (size_t at = text.find(option); at != std::string::npos; at = text.find(option, at + 1)) {
        const size_t end = at + option.size();
        if ((at == 0 || !word_char(text[at - 1])) && (end == text.size() || !word_char(text[end])))
            return true;
    }
    return false;
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
