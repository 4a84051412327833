// Every error line of the host's carries "[OrvantiCom.cpp(N)] " with a number
// of its own: each source file that reports names a block of numbers (a file
// moved below the front end keeps its sites' numbers in the block they had),
// and no two reporting sites of the front end and the tools share one.
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "FarEnd.h"
#include "OrvantiCom.h"

namespace {

struct Source {
    std::string name;
    std::vector<std::string> lines;
};

// The sources that report error lines: every folder of the front end, and the tools below it.
std::vector<Source> front_end_sources() {
    namespace fs = std::filesystem;
    const fs::path sdk = fs::path(KELVOR_SOURCE_DIR) / "ModuleSDK";
    std::vector<Source> out;
    for (const fs::path& dir : {sdk / "KELVOR", sdk / "tools"}) {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            if (!it->is_regular_file() || it->path().extension() != ".cpp") continue;
            std::ifstream f(it->path());
            Source s{it->path().filename().string(), {}};
            for (std::string line; std::getline(f, line);) s.lines.push_back(line);
            out.push_back(std::move(s));
        }
    }
    return out;
}

} // namespace

TEST(ErrorSites, EveryReportingSiteHasANumberOfItsOwn) {
    const auto sources = front_end_sources();
    ASSERT_GT(sources.size(), 10u);
    const std::regex blockRe(R"(constexpr int ERR_SITE_BLOCK = err_site::([A-Z_]+);)");
    std::map<std::string, std::string> numbers; // block:line -> file
    int sites = 0;
    for (const Source& s : sources) {
        std::string block;
        std::vector<size_t> siteLines;
        // A site numbered in another file's block, written out (err_site::number<BLOCK, N>()).
        static const std::regex otherRe(R"(err_site::number<err_site::([A-Z_]+), (\d+)>\(\))");
        for (const std::string& line : s.lines) {
            std::smatch m;
            if (line.find("template <") != std::string::npos) continue;
            if (std::regex_search(line, m, otherRe)) {
                const std::string number = std::string(m[1]) + ":" + std::string(m[2]);
                const auto [it, fresh] = numbers.emplace(number, s.name);
                EXPECT_TRUE(fresh) << s.name << " and " << it->second << " share the site " << number;
                ++sites;
            }
        }
        for (size_t i = 0; i < s.lines.size(); ++i) {
            std::smatch m;
            if (std::regex_search(s.lines[i], m, blockRe)) block = m[1];
            // A site is an error line of its own, or one with its reason line after it.
            int onLine = 0;
            for (const char* token : {"ERR_LINE(", "ERR_NO_INPUT("}) {
                for (size_t at = s.lines[i].find(token); at != std::string::npos;
                     at = s.lines[i].find(token, at + 1))
                    ++onLine;
            }
            EXPECT_LE(onLine, 1) << s.name << ":" << i + 1 << " has two reporting sites";
            if (onLine > 0) siteLines.push_back(i + 1);
            // A site that keeps its number names the line it stands for.
            static const std::regex atRe(R"(ERR_LINE_AT\((\d+),)");
            if (std::regex_search(s.lines[i], m, atRe)) siteLines.push_back(std::stoul(m[1]));
        }
        if (siteLines.empty()) continue;
        ASSERT_FALSE(block.empty()) << s.name << " reports errors without a block of site numbers";
        std::set<size_t> lines(siteLines.begin(), siteLines.end());
        EXPECT_EQ(lines.size(), siteLines.size()) << s.name << ": two sites stand for one line";
        for (size_t line : siteLines) {
            EXPECT_LT(line, static_cast<size_t>(err_site::LINES)) << s.name;
            // Number = block * LINES + line: with blocks apart, lines below LINES
            // and one site a line, two sites can share a number only by sharing both.
            const auto [it, fresh] = numbers.emplace(block + ":" + std::to_string(line), s.name);
            EXPECT_TRUE(fresh) << s.name << " and " << it->second << " share the site " << block << ":" << line;
            ++sites;
        }
    }
    EXPECT_EQ(numbers.size(), static_cast<size_t>(sites));
    EXPECT_GT(sites, 80);
}

TEST(ErrorSites, ThePrefixNamesTheFrontEndsSourceFile) {
    // A site in a family's file and one in the run flow print the same file name.
    EXPECT_EQ(farend::normalize_lines("[OrvantiCom.cpp(12045)] Err: x\n[OrvantiCom.cpp(7)] Err: y\n"),
              "[OrvantiCom.cpp(N)] Err: x\n[OrvantiCom.cpp(N)] Err: y\n");
    // Any other file name is left as it is, so a comparison with the expected text fails.
    EXPECT_EQ(farend::normalize_lines("[EnrollCases.cpp(25)] Err: x\n"), "[EnrollCases.cpp(25)] Err: x\n");
    EXPECT_EQ((err_site::number<err_site::BACKUP, 85>()), 2085);
}
