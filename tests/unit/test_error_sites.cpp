// Every error line of the host's carries "[OrvantiCom.cpp(N)] " with the
// number of its name in the table of sites. The numbers are what scripts and
// the manual rely on: the table is held against the list of the numbers
// printed so far, every reporting call names a site of the table, and every
// name of the table is reported somewhere.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ErrorLines.h"
#include "FarEnd.h"
#include "Works.h"
#include "protocol/Commands.h"

namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// The sources that report error lines: the front end, the tools, the service.
std::map<std::string, std::string> reporting_sources() {
    const fs::path root(KELVOR_SOURCE_DIR);
    std::map<std::string, std::string> out;
    for (const fs::path& dir :
         {root / "ModuleSDK" / "KELVOR", root / "ModuleSDK" / "tools", root / "service"}) {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const auto ext = it->path().extension();
            if (!it->is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
            out[fs::relative(it->path(), root).generic_string()] = read_text(it->path());
        }
    }
    return out;
}

} // namespace

TEST(ErrorSites, TheNumbersAreThoseEverPrinted) {
    // NAME NUMBER, one a line: a number once printed is never given to another
    // name nor changed; a new site is a new line of the list.
    std::istringstream list(read_text(fs::path(KELVOR_FIXTURES) / "error-sites.txt"));
    std::map<std::string, int> expected;
    std::string name;
    for (int number = 0; list >> name >> number;) expected[name] = number;
    ASSERT_GT(expected.size(), 100u);
    std::map<std::string, int> table;
    for (const err_site::SiteRow& row : err_site::SITES) table[row.name] = static_cast<int>(row.site);
    EXPECT_EQ(table, expected);
    // Among them the one that the manual shows for a damaged backup.
    EXPECT_EQ(static_cast<int>(err_site::BACKUP_FILE_DAMAGED), 2353);
}

TEST(ErrorSites, EveryCallNamesASiteAndEverySiteIsReported) {
    const auto sources = reporting_sources();
    ASSERT_GT(sources.size(), 20u);
    std::set<std::string> used;
    const std::regex call(R"((err_line|ERR_NO_INPUT)\(([^,]*,\s*)?)");
    const std::regex named(R"(err_site::([A-Z][A-Z0-9_]+))");
    for (const auto& [file, text] : sources) {
        if (file.ends_with("ErrorLines.h") || file.ends_with("ErrorLines.cpp") ||
            file.ends_with("ErrorSites.h"))
            continue;
        for (std::sregex_iterator it(text.begin(), text.end(), named), end; it != end; ++it)
            used.insert((*it)[1]);
        // No reporting call numbers a site by anything but a name of the table
        // (the host's checks are numbered by host_check_site, a backup's faults
        // by their table).
        for (size_t at = text.find("err_line("); at != std::string::npos;
             at = text.find("err_line(", at + 1)) {
            std::string head = text.substr(at + 9, 60);
            head.erase(0, head.find_first_not_of(" \n"));
            EXPECT_TRUE(head.starts_with("err_site::") || head.starts_with("host_check_site(") ||
                        head.starts_with("backup_fault_site("))
                << file << ": err_line(" << head;
        }
        EXPECT_EQ(text.find("__LINE__"), std::string::npos) << file << " numbers something by its line";
    }
    for (const err_site::SiteRow& row : err_site::SITES)
        EXPECT_TRUE(used.count(row.name)) << row.name << " is in the table but never reported";
}

TEST(ErrorSites, HostChecksHaveANumberForEachCommandAndCheck) {
    using namespace err_site;
    std::set<int> numbers;
    for (const SiteRow& row : SITES) numbers.insert(static_cast<int>(row.site));
    const size_t sites = numbers.size();
    for (const auto& command : kelvor::packet::COMMANDS)
        for (int check = 0; check <= kelvor::HOST_CHECK_RAW_ANSWER; ++check)
            EXPECT_TRUE(numbers.insert(static_cast<int>(host_check_site(command.code, check))).second)
                << command.keyword << " check " << check;
    EXPECT_EQ(numbers.size(),
              sites + std::size(kelvor::packet::COMMANDS) * (kelvor::HOST_CHECK_RAW_ANSWER + 1));

    // The numbers of the first releases, whatever rows are added to the list of
    // commands: SW first, SS fourth; a code of no command after the last.
    struct Cell {
        uint8_t code;
        int check;
        int number;
    };
    const Cell cells[] = {
        {0x01, kelvor::HOST_CHECK_NONE, 28000},
        {0x04, kelvor::HOST_CHECK_ANNOUNCED, 28028},
        {0x04, 99, 28027}, // a check out of range counts as none
        {0xc7, kelvor::HOST_CHECK_RAW_ANSWER, 28000 + 102 * 9 + 8},
        {0xff, kelvor::HOST_CHECK_RAW_SEND, 28000 + 103 * 9 + kelvor::HOST_CHECK_RAW_SEND},
    };
    for (const Cell& c : cells)
        EXPECT_EQ(static_cast<int>(host_check_site(c.code, c.check)), c.number)
            << std::hex << static_cast<int>(c.code) << " " << c.check;
}

TEST(ErrorSites, ThePrefixNamesTheFrontEndsSourceFileAndTheSitesNumber) {
    // A site of a family's cases and one of the run flow print the same file
    // name, whatever the mask, each with its number from the table.
    farend::TraceCapture cap(0);
    err_line(err_site::ENROLL_NO_TEMPLATE_FILE, "Err: x\n");
    err_line(err_site::RUN_NO_ARGUMENT, "Err: y\n");
    EXPECT_EQ(cap.text(), "[OrvantiCom.cpp(5017)] Err: x\n[OrvantiCom.cpp(41)] Err: y\n");
}

TEST(ErrorSites, EachFaultOfABackupHasASiteOfItsOwn) {
    using backup::Fault;
    const Fault faults[] = {
        Fault::ManifestUnreadable, Fault::ManifestDamaged, Fault::NotABackup, Fault::UserZero,
        Fault::FileDamaged,        Fault::SizeMismatch,    Fault::Exists,     Fault::CannotCreate,
        Fault::CannotWrite,        Fault::CannotRename,    Fault::TooLarge};
    std::set<int> sites;
    for (Fault f : faults) sites.insert(static_cast<int>(tools::backup_fault_site(f)));
    EXPECT_EQ(sites.size(), std::size(faults));
    EXPECT_EQ(tools::backup_fault_site(Fault::FileDamaged), err_site::BACKUP_FILE_DAMAGED);
}
