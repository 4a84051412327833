// kelvor --copy-users on a simulated line of three modules: a copy from one
// module to the others, a second run that finds nothing to do, conflicts,
// pruning, a dry run, a target that dies midway, and a copy from a backup
// onto another line.
#include "ErrorLines.h"
#include "Golden.h"
#include "SimHarness.h"

#include <fstream>
#include <map>
#include <sstream>

#include "BackupDirectory.h"

using namespace simtest;

namespace {

const std::vector<std::string> LINE = {"--modules", "1,2,3"};

// kelvor on the line's link in network mode, in a directory of its own.
class Tool {
public:
    explicit Tool(const Sim& sim, const farend::TempDir* dir = nullptr)
        : sim_(sim), dir_(dir ? dir : &own_) {}
    farend::RunResult run(const std::vector<std::string>& args) const {
        std::vector<std::string> a = {"-P", sim_.link, "-b", "115200", "-n", "1", "-x1", "-t", "1000"};
        a.insert(a.end(), args.begin(), args.end());
        return farend::run_kelvor(a, dir_->path());
    }
    // A copy with --exit-code.
    farend::RunResult copy(const std::vector<std::string>& args) const {
        std::vector<std::string> a = {"--exit-code", "--copy-users"};
        a.insert(a.end(), args.begin(), args.end());
        return run(a);
    }
    std::string file(const std::string& name) const { return dir_->file(name); }

private:
    const Sim& sim_;
    farend::TempDir own_;
    const farend::TempDir* dir_;
};

std::string module_arg(int module) {
    return std::to_string(module);
}

void place(const Sim& sim, int module, int finger) {
    ASSERT_EQ(sim.control({"--module", module_arg(module), "--place", std::to_string(finger)}).status, 0);
}

// User `user` enrolled on `module` with `templates` scans of `finger`.
void enroll(const Sim& sim, const Tool& tool, int module, int user, int finger, int templates = 1) {
    place(sim, module, finger);
    for (int i = 0; i < templates; ++i) {
        // Setup, no part of a test: the simulator's scans are slow on a loaded machine.
        const auto r = tool.run({"-x2", "-t", "5000", "-m", module_arg(module), "-c", "ES", "-p1",
                                 std::to_string(user), "-f", "0x71"});
        ASSERT_NE(r.err.find("Enroll: Succeed"), std::string::npos) << r.err;
    }
}

// The users of a module and their template counts (LT and CT).
std::map<int, int> users_of(const Tool& tool, int module) {
    std::map<int, int> out;
    const auto lt = tool.run({"-x2", "-m", module_arg(module), "-c", "LT"});
    const size_t at = lt.err.find("] User IDs(");
    if (at == std::string::npos) return out;
    std::istringstream ids(lt.err.substr(lt.err.find("): ", at) + 3));
    for (std::string word; ids >> word && word.rfind("0x", 0) == 0;) {
        const int id = std::stoi(word, nullptr, 16);
        const auto ct = tool.run({"-x2", "-m", module_arg(module), "-c", "CT", "-p1", std::to_string(id)});
        const size_t n = ct.err.find("Num of templates: 0x");
        out[id] = n == std::string::npos ? -1 : std::stoi(ct.err.substr(n + 20), nullptr, 16);
    }
    return out;
}

// The user that the finger on the module's sensor identifies, 0 for none.
int identified(const Sim& sim, const Tool& tool, int module, int finger) {
    place(sim, module, finger);
    const auto r = tool.run({"-x2", "-t", "5000", "-m", module_arg(module), "-c", "IS"});
    const size_t at = r.err.find("Identify Succeed: 0x");
    return at == std::string::npos ? 0 : std::stoi(r.err.substr(at + 20), nullptr, 16);
}

std::string admin_level(const Tool& tool, int module, int user) {
    const auto r = tool.run({"-x2", "-m", module_arg(module), "-c", "AR", "-p1", std::to_string(user)});
    const size_t at = r.err.find("Admin level is ");
    return at == std::string::npos ? "" : r.err.substr(at + 15, r.err.find('\n', at) - at - 15);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Module 1 of the line with users 3 (two templates of finger 3) and 4 (finger 4, an Enroll administrator).
struct Source {
    Sim sim;
    Tool tool{sim};
    explicit Source(std::vector<std::string> extra = {}) : sim(with(LINE, extra)) {
        enroll(sim, tool, 1, 3, 3, 2);
        enroll(sim, tool, 1, 4, 4);
        EXPECT_EQ(tool.run({"-m", "1", "-c", "AW", "-p1", "4", "-p2", "1"}).status, 1);
    }
    static std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

} // namespace

TEST(SimCopy, EveryTargetIdentifiesTheSameFingerAndASecondRunChangesNothing) {
    Source s;
    const auto r = s.tool.copy({"--from-module", "1", "--modules", "2,3"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GOLDEN(r.out, "first");
    for (const int module : {2, 3}) {
        SCOPED_TRACE(module);
        EXPECT_EQ(users_of(s.tool, module), (std::map<int, int>{{3, 2}, {4, 1}}));
        EXPECT_EQ(identified(s.sim, s.tool, module, 3), 3);
        EXPECT_EQ(identified(s.sim, s.tool, module, 4), 4);
        EXPECT_EQ(admin_level(s.tool, module, 4), "Enroll");
        EXPECT_EQ(admin_level(s.tool, module, 3), "None");
    }
    const auto again = s.tool.copy({"--from-module", "1", "--modules", "2,3"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_GOLDEN(again.out, "again");
    // A level changed at the source is all that the next run sends.
    ASSERT_EQ(s.tool.run({"-m", "1", "-c", "AW", "-p1", "3", "-p2", "3"}).status, 1);
    const auto level = s.tool.copy({"--from-module", "1", "--modules", "2"});
    EXPECT_EQ(level.status, 0) << level.err;
    EXPECT_TRUE(contains(level.out,
                         "Module 2: user 0x3: updated: administrator level All, authentication policy "
                         "Fingerprint\nModule 2: 1 updated, 1 unchanged\n"))
        << level.out;
    EXPECT_EQ(admin_level(s.tool, 2, 3), "All");
}

TEST(SimCopy, AConflictIsKeptUnlessReplacedAndPruningIsAskedFor) {
    Source s;
    enroll(s.sim, s.tool, 2, 3, 5); // another finger under the source's ID 3
    enroll(s.sim, s.tool, 2, 9, 6); // a user the source does not have
    const auto kept = s.tool.copy({"--from-module", "1", "--modules", "2"});
    EXPECT_EQ(kept.status, 4) << kept.out << kept.err; // user 4 copied, user 3 not: partial
    EXPECT_TRUE(contains(kept.out, "Module 2: user 0x3: conflict: the ID holds other templates on the module "
                                   "(--replace replaces them)\n"))
        << kept.out;
    EXPECT_TRUE(contains(kept.out, "Module 2: 1 copied, 1 conflict\n")) << kept.out;
    EXPECT_EQ(users_of(s.tool, 2), (std::map<int, int>{{3, 1}, {4, 1}, {9, 1}}));
    EXPECT_EQ(identified(s.sim, s.tool, 2, 5), 3);

    // Only the conflict is left to do: nothing reaches its place, a refusal.
    EXPECT_EQ(s.tool.copy({"--from-module", "1", "--modules", "2", "--users", "3"}).status, 2);

    const auto replaced = s.tool.copy({"--from-module", "1", "--modules", "2", "--replace"});
    EXPECT_EQ(replaced.status, 0) << replaced.out << replaced.err;
    EXPECT_TRUE(contains(replaced.out, "Module 2: user 0x3: replaced, 2 template(s)\n")) << replaced.out;
    EXPECT_EQ(identified(s.sim, s.tool, 2, 3), 3);
    EXPECT_EQ(identified(s.sim, s.tool, 2, 5), 0);
    // Never pruned without --prune; with it, only among the users named.
    EXPECT_EQ(users_of(s.tool, 2).count(9), 1u);
    const auto outside = s.tool.copy({"--from-module", "1", "--modules", "2", "--prune", "--users", "1-8"});
    EXPECT_EQ(outside.status, 0) << outside.err;
    EXPECT_EQ(users_of(s.tool, 2).count(9), 1u);
    const auto pruned = s.tool.copy({"--from-module", "1", "--modules", "2", "--prune"});
    EXPECT_EQ(pruned.status, 0) << pruned.err;
    EXPECT_TRUE(contains(pruned.out, "Module 2: user 0x9: pruned\nModule 2: 2 unchanged, 1 pruned\n"))
        << pruned.out;
    EXPECT_EQ(users_of(s.tool, 2), (std::map<int, int>{{3, 2}, {4, 1}}));
}

TEST(SimCopy, ADryRunPrintsThePlanAndChangesNothing) {
    Source s;
    enroll(s.sim, s.tool, 2, 3, 5);
    enroll(s.sim, s.tool, 3, 9, 6);
    const std::map<int, int> two = users_of(s.tool, 2), three = users_of(s.tool, 3);
    const auto plan = s.tool.copy({"--from-module", "1", "--modules", "2,3", "--prune", "--dry-run"});
    EXPECT_EQ(plan.status, 4) << plan.err; // the conflict on module 2 would remain
    EXPECT_GOLDEN(plan.out);
    EXPECT_EQ(users_of(s.tool, 2), two);
    EXPECT_EQ(users_of(s.tool, 3), three);
    EXPECT_EQ(identified(s.sim, s.tool, 2, 5), 3);
    // With --replace the plan has no conflict left.
    const auto replace = s.tool.copy({"--from-module", "1", "--modules", "2", "--replace", "--dry-run"});
    EXPECT_EQ(replace.status, 0) << replace.err;
    EXPECT_TRUE(contains(replace.out, "Module 2: user 0x3: replace, 2 template(s)\n")) << replace.out;
    EXPECT_EQ(users_of(s.tool, 2), two);
}

// Module 2 dies while it takes user 3's second template: the others go on, the
// copy is partial; module 2 keeps what it had taken, which the next copy,
// with the module back, completes.
TEST(SimCopy, ATargetThatDiesMidwayLeavesTheOthersWhole) {
    farend::TempDir dir;
    Source s({"--state", dir.file("line.db")});
    ASSERT_EQ(s.sim.control({"--module", "2", "--fault", "die:3,cmd=7"}).status, 0);
    const auto r = s.tool.copy({"--from-module", "1", "--modules", "2,3"});
    EXPECT_EQ(r.status, 4) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Module 2: user 0x3: failed: cannot enroll the templates (-6)\n"
                                "Module 2: user 0x3: the templates written could not be removed; a copy run "
                                "again completes the user\n"
                                "Module 2: 1 failed, 1 not tried\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "Module 3: 2 copied\n")) << r.out;
    EXPECT_EQ(users_of(s.tool, 3), (std::map<int, int>{{3, 2}, {4, 1}}));

    s.sim.restart(); // module 2 has power again, with what it had stored
    EXPECT_EQ(users_of(s.tool, 2), (std::map<int, int>{{3, 1}}));
    const auto again = s.tool.copy({"--from-module", "1", "--modules", "2,3"});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_GOLDEN(again.out);
    EXPECT_EQ(identified(s.sim, s.tool, 2, 3), 3);
}

// A target that does not answer at all, or refuses every user: reported, the others go on.
TEST(SimCopy, ATargetThatIsSilentOrRefusesIsReportedAndTheOthersGoOn) {
    Source s;
    ASSERT_EQ(s.sim.control({"--module", "2", "--fault", "silence"}).status, 0);
    const auto silent = s.tool.copy({"--from-module", "1", "--modules", "2,3"});
    EXPECT_EQ(silent.status, 4) << silent.err;
    EXPECT_TRUE(contains(silent.err, farend::site_prefix(err_site::COPY_TARGET_FAILED) +
                                         "Err: Module 2 does not answer: "))
        << silent.err;
    EXPECT_TRUE(contains(silent.out, "Module 2: 2 not tried\nModule 3: user 0x3: copied")) << silent.out;
    // Every target silent: nothing copied, the link failed.
    ASSERT_EQ(s.sim.control({"--module", "3", "--fault", "silence"}).status, 0);
    EXPECT_EQ(s.tool.copy({"--from-module", "1", "--modules", "2,3", "--dry-run"}).status, 3);
}

// A user that a target refuses (its database is full) is removed again; the
// next user still goes there.
TEST(SimCopy, AUserThatATargetRefusesIsRemovedAgain) {
    Source s({"--capacity", "3"});
    enroll(s.sim, s.tool, 2, 9, 6, 2);
    const auto r = s.tool.copy({"--from-module", "1", "--modules", "2"});
    EXPECT_EQ(r.status, 4) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Module 2: user 0x3: failed: cannot enroll the templates (-105)\n"
                                "Module 2: user 0x4: copied, 1 template(s)\n"
                                "Module 2: 1 copied, 1 failed\n"))
        << r.out;
    EXPECT_EQ(users_of(s.tool, 2), (std::map<int, int>{{4, 1}, {9, 2}}));
}

// The users travel between lines as a backup: copied from one onto the modules of another.
TEST(SimCopy, ABackupIsCopiedOntoTheModulesOfAnotherLine) {
    farend::TempDir dir;
    const std::string backup = dir.file("users");
    {
        Source s;
        ASSERT_EQ(s.tool.run({"--exit-code", "-m", "1", "--backup", backup}).status, 0);
    }
    // The administrator makes it a backup that older readers would refuse.
    backup::Manifest m;
    backup::Problem p;
    ASSERT_TRUE(backup::load_manifest(backup, m, p));
    EXPECT_EQ(m.format, 2);

    Sim other(LINE);
    Tool tool(other, &dir);
    enroll(other, tool, 1, 9, 7);
    const auto r = tool.copy({"--from", backup, "--modules", "1,2"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GOLDEN(golden::replaced(r.out, backup, "{backup}"), "line");
    for (const int module : {1, 2}) {
        SCOPED_TRACE(module);
        EXPECT_EQ(identified(other, tool, module, 4), 4);
        EXPECT_EQ(admin_level(tool, module, 4), "Enroll");
    }
    EXPECT_EQ(identified(other, tool, 1, 7), 9); // the user module 1 had stays
    // Onto the module of a line of its own; only the users named.
    Sim single;
    const auto one = farend::run_kelvor({"--exit-code", "--copy-users", "--from", backup, "--users", "4",
                                         "-P", single.link, "-b", "115200", "-n", "0", "-x1"},
                                        dir.path());
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_GOLDEN(golden::replaced(one.out, backup, "{backup}"), "single");
}

// The restore sets the level and policy that a backup keeps.
TEST(SimCopy, ARestoreSetsTheLevelAndPolicyOfTheBackup) {
    farend::TempDir dir;
    const std::string backup = dir.file("users");
    {
        Source s;
        ASSERT_EQ(s.tool.run({"-m", "1", "-c", "UW", "-p1", "3", "-p2", "2"}).status, 1);
        ASSERT_EQ(s.tool.run({"--exit-code", "-m", "1", "--backup", backup}).status, 0);
    }
    Sim fresh;
    const std::vector<std::string> line = {"-P", fresh.link, "-b", "115200", "-x2"};
    auto run = [&](std::vector<std::string> a) {
        a.insert(a.end(), line.begin(), line.end());
        return farend::run_kelvor(a, dir.path());
    };
    const auto r = run({"--exit-code", "--restore", backup});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(run({"-c", "AR", "-p1", "4"}).err, "Admin level is Enroll"));
    EXPECT_TRUE(contains(run({"-c", "UR", "-p1", "3"}).err, "Authentication policy is SmartCard Bypass"));
    EXPECT_TRUE(contains(run({"-c", "AR", "-p1", "3"}).err, "Admin level is None"));
}

// A copy that cannot begin sends nothing to its targets and says why.
TEST(SimCopy, ACopyThatCannotBeginChangesNoTarget) {
    farend::TempDir dir;
    Source s;
    const std::string backup = dir.file("users");
    ASSERT_EQ(s.tool.run({"--exit-code", "-m", "1", "--backup", backup}).status, 0);
    {
        std::fstream f(backup + "/user-00000004.tpl", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f.put('X');
    }
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string err;
        int site; // the number of its error line
    };
    const Case cases[] = {
        // The path as the system writes it (a backslash on Windows), then the reason.
        {"a damaged backup",
         {"--from", backup, "--modules", "2,3"},
         2,
         "user-00000004.tpl is damaged or missing; nothing is copied\n",
         err_site::BACKUP_FILE_DAMAGED},
        {"the source among the targets",
         {"--from-module", "1", "--modules", "3,1"},
         2,
         "Err: Module 1 is the source of the copy and one of its targets\n",
         err_site::COPY_SOURCE_IS_TARGET},
        {"a broadcast",
         {"--from-module", "1", "--modules", "2", "-B"},
         2,
         "Err: -B reaches every module at once",
         err_site::COPY_BROADCAST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = s.tool.copy(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(contains(r.err, c.err)) << r.err;
        EXPECT_TRUE(contains(r.err, farend::site_prefix(c.site) + "Err: ")) << r.err;
    }
    ASSERT_EQ(s.sim.control({"--module", "1", "--fault", "silence"}).status, 0);
    const auto silent = s.tool.copy({"--from-module", "1", "--modules", "2"});
    EXPECT_EQ(silent.status, 3) << silent.err;
    EXPECT_TRUE(contains(silent.err, farend::site_prefix(err_site::COPY_CANNOT_READ_SOURCE) +
                                         "Err: Module 1 does not answer: "))
        << silent.err;
    EXPECT_TRUE(contains(silent.err, farend::site_prefix(err_site::COPY_SOURCE_UNREAD) +
                                         "Err: Cannot read the users of module 1; nothing is copied\n"))
        << silent.err;
    for (const int module : {2, 3}) EXPECT_EQ(users_of(s.tool, module), (std::map<int, int>{})) << module;
}
