// kelvor --backup and --restore against the simulated module, and the
// simulator's own command line.
#include "Golden.h"
#include "SimHarness.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "OrvantiCom.h"
#include "Sha256.h"

using namespace kelvor;

using namespace simtest;

namespace {

// kelvor with --exit-code and a long option first, then the module's serial settings.
farend::RunResult kelvor(const Sim& sim, const farend::TempDir& dir, const std::vector<std::string>& first,
                         const std::vector<std::string>& rest = {}) {
    std::vector<std::string> a = {"--exit-code"};
    a.insert(a.end(), first.begin(), first.end());
    for (const char* w : {"-P", sim.link.c_str(), "-b", "115200", "-t", "5000"}) a.emplace_back(w);
    a.insert(a.end(), rest.begin(), rest.end());
    return farend::run_kelvor(a, dir.path());
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void spill(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The manifest with one line changed and its own check sum made right again.
void rewrite_manifest(const std::string& path, const std::string& from, const std::string& to) {
    std::string text = slurp(path);
    text.erase(text.rfind("sha256 "));
    text.replace(text.find(from), from.size(), to);
    text += "sha256 " + sha256_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size()) + "\n";
    spill(path, text);
}

TEST(SimBackup, BackupWipeRestoreIdentify) {
    farend::TempDir dir;
    const std::string backup = dir.file("module-backup");
    {
        Sim sim;
        for (const char* finger : {"3", "4"}) {
            sim.place(finger);
            EXPECT_EQ(kelvor(sim, dir, {}, {"-c", "ES", "-p1", finger}).status, 0);
        }
        sim.place("3"); // a second template for user 3
        EXPECT_EQ(kelvor(sim, dir, {}, {"-c", "ES", "-p1", "3", "-f", "0x71"}).status, 0);
        const auto r = kelvor(sim, dir, {"--backup", backup});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_GOLDEN(golden::replaced(r.out, backup, "{backup}"), "backup");
        // A second backup into the same directory is refused; the first stays.
        EXPECT_EQ(kelvor(sim, dir, {"--backup", backup}).status, 2);
    }
    std::vector<std::string> names;
    ASSERT_TRUE(list_directory(backup, names));
    EXPECT_EQ(names, (std::vector<std::string>{"manifest.txt", "user-00000003.tpl", "user-00000004.tpl"}));
    EXPECT_EQ(slurp(backup + "/user-00000003.tpl").size(), 2u * 0x180);

    Sim fresh; // a module with nothing enrolled
    {
        const auto r = kelvor(fresh, dir, {"--restore", backup});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_GOLDEN(r.out, "restore");
    }
    for (const char* finger : {"3", "4"}) {
        fresh.place(finger);
        const auto r = kelvor(fresh, dir, {}, {"-x2", "-c", "IS"});
        EXPECT_TRUE(contains(r.err, std::string("Identify Succeed: 0x") + finger + " ")) << r.err;
    }
    // Restored again: both IDs are in use now and are left alone.
    const auto again = kelvor(fresh, dir, {"--restore", backup});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(contains(again.out, "Restore: 0 users restored, 2 skipped, 0 failed\n")) << again.out;
}

TEST(SimBackup, ADamagedOrForeignBackupIsRefusedBeforeAnythingIsSent) {
    farend::TempDir dir;
    Sim sim;
    sim.place("5");
    ASSERT_EQ(kelvor(sim, dir, {}, {"-c", "ES", "-p1", "5"}).status, 0);
    const std::string good = dir.file("good");
    ASSERT_EQ(kelvor(sim, dir, {"--backup", good}).status, 0);
    ASSERT_EQ(kelvor(sim, dir, {}, {"-c", "DA"}).status, 0);

    struct Case {
        const char* name;
        void (*spoil)(const std::string& backup);
        const char* error;
    };
    const Case cases[] = {
        {"a flipped byte in a template file",
         [](const std::string& b) {
             std::string t = slurp(b + "/user-00000005.tpl");
             t[17] = static_cast<char>(t[17] ^ 1);
             spill(b + "/user-00000005.tpl", t);
         },
         "Err: The backup file "},
        {"a template file cut short",
         [](const std::string& b) {
             spill(b + "/user-00000005.tpl", slurp(b + "/user-00000005.tpl").substr(1));
         },
         "is damaged or missing; nothing is restored"},
        {"an edited manifest",
         [](const std::string& b) {
             std::string m = slurp(b + "/manifest.txt");
             m.replace(m.find("user 0x5 "), 9, "user 0x6 ");
             spill(b + "/manifest.txt", m);
         },
         "Err: The manifest "},
        {"a file name leading out of the backup",
         [](const std::string& b) { rewrite_manifest(b + "/manifest.txt", "user-00000005.tpl", "../x.tpl"); },
         "is not one of a backup"},
        {"one user twice",
         [](const std::string& b) {
             const std::string m = slurp(b + "/manifest.txt");
             const size_t at = m.find("user 0x5 ");
             const std::string line = m.substr(at, m.find('\n', at) + 1 - at);
             rewrite_manifest(b + "/manifest.txt", line, line + line);
         },
         "is not one of a backup"},
        {"another template size",
         [](const std::string& b) {
             rewrite_manifest(b + "/manifest.txt", "template-size 0x180", "template-size 0x200");
         },
         "Err: The backup's template size 0x200 differs from the module's 0x180; nothing is restored"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = dir.file("copy");
        ASSERT_EQ(std::system(("rm -rf '" + copy + "' && cp -r '" + good + "' '" + copy + "'").c_str()), 0);
        c.spoil(copy);
        const auto r = kelvor(sim, dir, {"--restore", copy});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(contains(r.err, c.error)) << r.err;
        EXPECT_FALSE(contains(r.out, "restored")) << r.out;
    }
    // Nothing was enrolled by the refused restores.
    const auto r = kelvor(sim, dir, {}, {"-x2", "-c", "LT"});
    EXPECT_TRUE(contains(r.err, "Num of user id: 0\n")) << r.err;
}

TEST(SimBackup, ABackupThatFailsLeavesNothing) {
    farend::TempDir dir;
    Sim sim;
    sim.place("5");
    ASSERT_EQ(kelvor(sim, dir, {}, {"-c", "ES", "-p1", "5"}).status, 0);
    // The module falls silent when the templates are asked for.
    EXPECT_EQ(sim.control({"--fault", "silence,cmd=0x14"}).status, 0);
    const auto r = kelvor(sim, dir, {"--backup", dir.file("bk")}, {"-t", "300"});
    EXPECT_EQ(r.status, 3) << r.err;
    std::vector<std::string> names;
    ASSERT_TRUE(list_directory(dir.path(), names));
    for (const std::string& n : names) EXPECT_EQ(n.find("bk"), std::string::npos) << n;
}

TEST(SimCommandLine, BadOptionsAndControlWithoutAModule) {
    farend::TempDir dir;
    const std::string link = dir.file("nobody");
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const Case cases[] = {
        {{"--link", link, "--frobnicate"}, "orvanti-sim: unknown option --frobnicate\n"},
        {{"--link", link, "-q"}, "orvanti-sim: unknown option -q\n"},
        {{"--link"}, "orvanti-sim: option --link needs a value\n"},
        {{"--place", "3"}, "orvanti-sim: --link PATH is needed\n"},
        {{"--link", link, "--place", "3"}, "no simulated module serves "},
        {{"--link", link, "--fault", "silence"}, "no simulated module serves "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const auto r = farend::run_program(ORVANTI_SIM_BIN, c.args, dir.path());
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(contains(r.err, c.error)) << r.err;
        struct stat st {};
        EXPECT_NE(stat((link + ".ctl").c_str(), &st), 0) << "no control file is left behind";
    }
}

} // namespace

namespace {

// A user whose restore fails is removed again, so that a retry restores it
// whole; the backup itself is readable by its owner alone.
TEST(SimBackup, AFailedUserIsRemovedAgainAndTheBackupIsPrivate) {
    farend::TempDir dir;
    const std::string backup = dir.file("backup");
    Sim sim;
    sim.place("3");
    ASSERT_EQ(kelvor(sim, dir, {}, {"-c", "ES", "-p1", "3", "-f", "0x71"}).status, 0);
    ASSERT_EQ(kelvor(sim, dir, {}, {"-c", "ES", "-p1", "3", "-f", "0x71"}).status, 0);
    ASSERT_EQ(kelvor(sim, dir, {"--backup", backup}).status, 0);
    // POSIX permissions; a Windows program's files take their folder's.
    if (!farend::tool_is_windows()) {
        struct stat st {};
        ASSERT_EQ(::stat(backup.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        for (const char* f : {"/manifest.txt", "/user-00000003.tpl"}) {
            ASSERT_EQ(::stat((backup + f).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
        }
    }
    ASSERT_EQ(kelvor(sim, dir, {}, {"-c", "DA"}).status, 0);

    // The second template made one the module refuses, the sums sealed again.
    const std::string path = backup + "/user-00000003.tpl";
    const std::string whole = slurp(path);
    std::string damaged = whole;
    for (size_t i = 0x180; i < 0x190; ++i) damaged[i] = '\0';
    spill(path, damaged);
    const std::string oldSum = sha256_hex(reinterpret_cast<const uint8_t*>(whole.data()), whole.size());
    const std::string newSum = sha256_hex(reinterpret_cast<const uint8_t*>(damaged.data()), damaged.size());
    rewrite_manifest(backup + "/manifest.txt", oldSum, newSum);
    const auto failed = kelvor(sim, dir, {"--restore", backup});
    EXPECT_EQ(failed.status, 2) << failed.out << failed.err;
    EXPECT_TRUE(contains(failed.out, "User 0x3: failed")) << failed.out;
    // Nothing of user 3 stays on the module.
    const auto count = kelvor(sim, dir, {}, {"-x2", "-c", "CT", "-p1", "3"});
    EXPECT_FALSE(contains(count.err, "Num of templates: 0x1")) << count.err;

    // Mended, the backup restores the user whole.
    spill(path, whole);
    rewrite_manifest(backup + "/manifest.txt", newSum, oldSum);
    const auto retry = kelvor(sim, dir, {"--restore", backup});
    EXPECT_EQ(retry.status, 0) << retry.out << retry.err;
    EXPECT_TRUE(contains(retry.out, "User 0x3: restored, 2 template(s)")) << retry.out;

    // A template file that is a symbolic link is not followed. (Under Wine a
    // POSIX link reads as the file it points to: no Windows link to refuse.)
    if (farend::tool_is_windows()) return;
    ASSERT_EQ(::unlink(path.c_str()), 0);
    spill(dir.file("elsewhere.tpl"), whole);
    ASSERT_EQ(::symlink(dir.file("elsewhere.tpl").c_str(), path.c_str()), 0);
    const auto linked = kelvor(sim, dir, {"--restore", backup});
    EXPECT_EQ(linked.status, 2);
    EXPECT_TRUE(contains(linked.err, "is damaged or missing; nothing is restored")) << linked.err;
}

} // namespace

namespace {

// The templates that CT counts for a user ("not found" is 0).
int templates_of(const Sim& sim, const farend::TempDir& dir, const char* user) {
    const auto r = kelvor(sim, dir, {}, {"-x2", "-c", "CT", "-p1", user});
    const size_t at = r.err.find("Num of templates: 0x");
    return at == std::string::npos ? 0 : std::stoi(r.err.substr(at + 20), nullptr, 16);
}

// User 5 with two templates, backed up, the module cleared; the module keeps its state across restarts.
struct TwoTemplates {
    farend::TempDir dir;
    std::string backup = dir.file("backup");
    Sim sim{{"--state", dir.file("module.db")}};
    TwoTemplates() {
        sim.place("3");
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(kelvor(sim, dir, {}, {"-c", "ES", "-p1", "5", "-f", "0x71"}).status, 0);
        EXPECT_EQ(kelvor(sim, dir, {"--backup", backup}).status, 0);
        EXPECT_EQ(kelvor(sim, dir, {}, {"-c", "DA"}).status, 0);
    }
};

// The module dies in the middle of the second template: the user cannot be
// removed again, which the restore says; the next restore finds the user in
// part and completes it, and the one after finds it whole.
TEST(SimBackup, ARestoreStoppedByALinkFailureIsCompletedByTheNext) {
    TwoTemplates t;
    t.sim.fault("die:3,cmd=7"); // ET: the first template's block and answer, then the second block
    const auto died = kelvor(t.sim, t.dir, {"--restore", t.backup}, {"-t", "500"});
    EXPECT_EQ(died.status, 3) << died.out << died.err;
    EXPECT_TRUE(contains(died.out, "User 0x5: failed: enrollment refused")) << died.out;
    EXPECT_TRUE(contains(died.out,
                         "User 0x5: the templates written could not be removed; a restore run again "
                         "completes the user\n"))
        << died.out;
    EXPECT_TRUE(contains(died.out, "Restore: 0 users restored, 0 skipped, 1 failed\n")) << died.out;

    t.sim.restart();
    ASSERT_EQ(templates_of(t.sim, t.dir, "5"), 1); // what the dead module kept
    const auto retry = kelvor(t.sim, t.dir, {"--restore", t.backup});
    EXPECT_EQ(retry.status, 0) << retry.out << retry.err;
    EXPECT_GOLDEN(retry.out, "retry");
    EXPECT_EQ(templates_of(t.sim, t.dir, "5"), 2);

    const auto again = kelvor(t.sim, t.dir, {"--restore", t.backup});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_GOLDEN(again.out, "again");
    EXPECT_EQ(templates_of(t.sim, t.dir, "5"), 2);
}

// A link failure on a line that still works: the user written in part is
// removed again, and a retry restores it whole.
TEST(SimBackup, AUserFailedByTheLinkIsRemovedWhereTheLineAllows) {
    TwoTemplates t;
    t.sim.fault("silence,cmd=7,times=1"); // the first template is taken, its answer never comes
    const auto failed = kelvor(t.sim, t.dir, {"--restore", t.backup}, {"-t", "300"});
    EXPECT_EQ(failed.status, 3) << failed.out << failed.err;
    EXPECT_TRUE(contains(failed.out, "User 0x5: failed: enrollment refused")) << failed.out;
    EXPECT_FALSE(contains(failed.out, "could not be removed")) << failed.out;
    EXPECT_EQ(templates_of(t.sim, t.dir, "5"), 0);
    const auto retry = kelvor(t.sim, t.dir, {"--restore", t.backup});
    EXPECT_EQ(retry.status, 0) << retry.out << retry.err;
    EXPECT_TRUE(contains(retry.out, "User 0x5: restored, 2 template(s)\n")) << retry.out;
}

// Another finger under the backup's ID is not overwritten, and the restore
// does not end as a success: the backup's user is not on the module.
TEST(SimBackup, AnIdInUseWithOtherTemplatesIsSkippedAndSaidSo) {
    TwoTemplates t;
    t.sim.place("4");
    ASSERT_EQ(kelvor(t.sim, t.dir, {}, {"-c", "ES", "-p1", "5"}).status, 0);
    const auto r = kelvor(t.sim, t.dir, {"--restore", t.backup});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_GOLDEN(r.out);
    EXPECT_EQ(templates_of(t.sim, t.dir, "5"), 1);
}

} // namespace
