// The keyword table is read by the lines' threads and the service's loop at
// once: it must be complete before the first lookup and never written after.
// These tests read it from several threads from the very first lookup of a
// process (a fresh process: a child of the test, which ThreadSanitizer builds
// watch), look for it in read-only memory, and compare every name it gives
// before and after a run of the front end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "FarEnd.h"
#include "ModuleSDK.h"
#include "OrvantiCom.h"
#include "keywords/Keywords.h"
#include "protocol/Commands.h"

using namespace kelvor;

namespace {

// Every name the table gives, by category and code, and every code it gives
// back for those names: the whole vocabulary as a caller sees it. The codes
// of the categories cover the bytes of the wire and a little on either side.
struct Snapshot {
    std::vector<const char*> names;
    std::vector<int> codes;
    int count = 0;
    bool operator==(const Snapshot&) const = default;
};

constexpr int kCategories[] = {-1,   0,    KW_COMMAND, KW_STATUS, KW_PARAMETER, KW_BAUD, KW_ENROLL_OPTION,
                               0x30, 0x31, 0x32,       0x33,      0x34,         0x40,    0x41,
                               0x42, 0x43, 0x50,       0x51,      0x52,         0x53,    0x60,
                               0x61, 0x62, 0x63,       0x65,      0x70,         0x71,    0x72,
                               200};

Snapshot snapshot() {
    Snapshot s;
    for (int category : kCategories) {
        for (int code = -1; code <= 0x100; ++code) {
            const char* name = keyword_name(category, code);
            s.names.push_back(name);
            s.codes.push_back(keyword_code(category, name));
        }
    }
    s.count = keyword_count();
    return s;
}

// Threads that start together on a process's first lookups, while one of
// them fills the table as the front end and the service's lines do at start.
// The status of the process: 0 when every thread saw the same complete table.
int read_side_by_side() {
    constexpr int kThreads = 6;
    std::latch start(kThreads);
    std::vector<Snapshot> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            if (i == 0) keyword_fill();
            seen[static_cast<size_t>(i)] = snapshot();
        });
    }
    for (std::thread& t : threads) t.join();
    for (const Snapshot& s : seen) {
        if (!(s == seen[0])) return 2;
    }
    if (seen[0].count != keywords::NON_COMMAND_ROWS + static_cast<int>(std::size(packet::COMMANDS)) ||
        keyword_code(KW_COMMAND, "LTX") != 0x86)
        return 3;
    return 0;
}

TEST(KeywordThreads, ReadSideBySideFromTheFirstLookup) {
    // A child that runs this test alone: its first lookups are the threads'.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(read_side_by_side()), testing::ExitedWithCode(0), "");
}

// The table lies in memory that no one may write: a write through a stray
// pointer would end the program instead of changing a name.
TEST(KeywordThreads, TheTableLiesInReadOnlyMemory) {
    const auto at = reinterpret_cast<uintptr_t>(&keywords::builtin());
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    ASSERT_NE(maps, nullptr);
    char line[PATH_MAX + 128];
    std::string perms;
    while (std::fgets(line, sizeof line, maps)) {
        uintptr_t from = 0, to = 0;
        char mode[5] = {};
        if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %4s", &from, &to, mode) == 3 && from <= at &&
            at + sizeof(keywords::Table) <= to) {
            perms = mode;
            break;
        }
    }
    std::fclose(maps);
    ASSERT_EQ(perms.size(), 4u) << "no mapping holds the table";
    EXPECT_EQ(perms[0], 'r');
    EXPECT_EQ(perms[1], '-') << "the table lies in writable memory (" << perms << ")";
}

// A run of the front end (which fills the table at its start) leaves every
// name and code as it found them, and they are the library's own table's.
TEST(KeywordThreads, TheSameBeforeAndAfterARunOfTheFrontEnd) {
    const Snapshot before = snapshot();
    farend::TempDir dir;
    char here[PATH_MAX];
    ASSERT_NE(::getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    {
        farend::TraceCapture quiet(0);
        std::string words[] = {"kelvor", "-c", "ZZ"};
        char* argv[] = {words[0].data(), words[1].data(), words[2].data(), nullptr};
        OrvantiCom::main(3, argv);
    }
    ASSERT_EQ(::chdir(here), 0);
    EXPECT_TRUE(snapshot() == before);
    EXPECT_EQ(before.count, keywords::builtin().count());
    size_t i = 0;
    for (int category : kCategories) {
        for (int code = -1; code <= 0x100; ++code, ++i) {
            ASSERT_EQ(before.names[i], keywords::builtin().name(category, code)) << category << " " << code;
        }
    }
}

} // namespace
