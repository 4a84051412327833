// The backup directory's format: manifests of both formats read and refused,
// the manifest written byte for byte as before when no user has a level or
// policy, a backup written and read back as a copy's source; the user ID
// lists of --users; how a copy's targets make its exit status.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Backup.h"
#include "BackupDirectory.h"
#include "FarEnd.h"
#include "ModuleIds.h"
#include "Sha256.h"
#include "UserCopy.h"

namespace {

std::string sha(const std::string& text) {
    return sha256_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// A manifest body with its own sum line.
std::string signed_manifest(const std::string& body) {
    return body + "sha256 " + sha(body) + "\n";
}

const std::string SHA3 = "96d1f5cfc0870ca18bc8ee4be759e7891e917ae73d6fa5a3bd55241fd8909fd7";
const std::string SHA4 = "60b336279ab0f0754c4c947f37d58c9c5a0a411f69ef67e4379778a07af67ce2";
// A backup of two users as kelvor wrote it before it kept levels and policies.
const std::string FORMAT_1 = "kelvor-backup 1\n"
                             "template-size 0x180\n"
                             "enroll-mode 0x30\n"
                             "security-level 0x34\n"
                             "user 0x3 0x2 0x180 " +
                             SHA3 +
                             " user-00000003.tpl\n"
                             "user 0x4 0x1 0x180 " +
                             SHA4 + " user-00000004.tpl\n";

backup::Manifest two_users() {
    backup::Manifest m;
    m.templateSize = 0x180;
    m.enrollMode = 0x30;
    m.securityLevel = 0x34;
    m.users = {{3, 2, 0x180, SHA3, "user-00000003.tpl", 0, 0},
               {4, 1, 0x180, SHA4, "user-00000004.tpl", 0, 0}};
    return m;
}

TEST(BackupManifest, WithoutLevelsItIsTheFormatOneOfBefore) {
    // Byte for byte the manifest of the backup session of the manual (docs/backup.md).
    EXPECT_EQ(backup::manifest_text(two_users()),
              FORMAT_1 + "sha256 4ad3d075d5dc5b1f4125627ecb0cb03db759f2c11c15b6005793716da5bc1dd7\n");
    backup::Manifest m;
    backup::Problem p;
    ASSERT_TRUE(backup::parse_manifest(signed_manifest(FORMAT_1), m, p));
    EXPECT_EQ(m.format, 1);
    ASSERT_EQ(m.users.size(), 2u);
    EXPECT_EQ(m.users[1].id, 4u);
    EXPECT_EQ(m.users[1].adminLevel, 0u);
    EXPECT_EQ(m.users[1].authPolicy, 0u);
}

TEST(BackupManifest, LevelsAndPoliciesMakeFormatTwoAndReadBack) {
    backup::Manifest m = two_users();
    m.users[1].adminLevel = 3;
    m.users[0].authPolicy = 2;
    const std::string text = backup::manifest_text(m);
    EXPECT_EQ(text.substr(0, 16), "kelvor-backup 2\n");
    EXPECT_NE(text.find("user-settings 0x3 0x0 0x2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("user-settings 0x4 0x3 0x0\n"), std::string::npos) << text;
    backup::Manifest back;
    backup::Problem p;
    ASSERT_TRUE(backup::parse_manifest(text, back, p));
    EXPECT_EQ(back.format, 2);
    EXPECT_EQ(back.users[0].authPolicy, 2u);
    EXPECT_EQ(back.users[1].adminLevel, 3u);
    EXPECT_EQ(backup::manifest_text(back), text);
}

TEST(BackupManifest, WhatIsNoBackupIsRefusedWithTheLine) {
    const std::string user3 = "user 0x3 0x2 0x180 " + SHA3 + " user-00000003.tpl\n";
    const std::string settings = "template-size 0x180\nenroll-mode 0x30\nsecurity-level 0x34\n";
    struct Case {
        const char* name;
        std::string body;
        std::string line; // the line named as not one of a backup
    };
    const Case cases[] = {
        {"a format to come", "kelvor-backup 3\n" + settings + user3, "kelvor-backup 3"},
        {"levels in format 1", "kelvor-backup 1\n" + settings + user3 + "user-settings 0x3 0x1 0x0\n",
         "user-settings 0x3 0x1 0x0"},
        {"levels of a user not listed",
         "kelvor-backup 2\n" + settings + user3 + "user-settings 0x4 0x1 0x0\n", "user-settings 0x4 0x1 0x0"},
        {"levels listed before the user",
         "kelvor-backup 2\n" + settings + "user-settings 0x3 0x1 0x0\n" + user3, "user-settings 0x3 0x1 0x0"},
        {"levels twice",
         "kelvor-backup 2\n" + settings + user3 + "user-settings 0x3 0x1 0x0\nuser-settings 0x3 0x2 0x0\n",
         "user-settings 0x3 0x2 0x0"},
        {"a level word too many", "kelvor-backup 2\n" + settings + user3 + "user-settings 0x3 0x1 0x0 0x9\n",
         "user-settings 0x3 0x1 0x0 0x9"},
        {"a level beyond 32 bits",
         "kelvor-backup 2\n" + settings + user3 + "user-settings 0x3 0x100000000 0\n",
         "user-settings 0x3 0x100000000 0"},
        {"a user twice", "kelvor-backup 1\n" + settings + user3 + user3,
         "user 0x3 0x2 0x180 " + SHA3.substr(0, 0)},
        {"no templates",
         "kelvor-backup 1\n" + settings + "user 0x3 0x0 0x180 " + SHA3 + " user-00000003.tpl\n",
         "user 0x3 0x0 0x180"},
        {"another user's file",
         "kelvor-backup 1\n" + settings + "user 0x3 0x2 0x180 " + SHA3 + " user-00000004.tpl\n",
         "user 0x3 0x2 0x180"},
        {"a setting missing", "kelvor-backup 1\ntemplate-size 0x180\nenroll-mode 0x30\n" + user3, ""},
        {"an unknown line", "kelvor-backup 1\n" + settings + "owner me\n", "owner me"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        backup::Manifest m;
        backup::Problem p;
        EXPECT_FALSE(backup::parse_manifest(signed_manifest(c.body), m, p));
        EXPECT_EQ(p.fault, backup::Fault::NotABackup);
        EXPECT_EQ(p.detail.rfind(c.line, 0), 0u) << p.detail;
    }
    // A manifest whose own sum is wrong is damaged, whatever it says.
    backup::Manifest m;
    backup::Problem p;
    std::string text = signed_manifest(FORMAT_1);
    text[20] ^= 1;
    EXPECT_FALSE(backup::parse_manifest(text, m, p));
    EXPECT_EQ(p.fault, backup::Fault::ManifestDamaged);
}

// Template bytes of user `id`: distinct per user and template.
tools::UserData user_of(uint32_t id, int templates, uint32_t level = 0, uint32_t policy = 0) {
    tools::UserData u;
    u.id = id;
    u.adminLevel = level;
    u.authPolicy = policy;
    for (int t = 0; t < templates; ++t)
        u.templates.push_back(tools::Bytes(0x180, static_cast<uint8_t>(id * 16 + t)));
    return u;
}

TEST(BackupDirectory, WrittenAndReadBackAsACopysSource) {
    farend::TempDir dir;
    const std::string path = dir.file("users");
    backup::Problem p;
    {
        backup::Writer w;
        ASSERT_TRUE(w.begin(path, p));
        backup::UserEntry e;
        for (const tools::UserData& u : {user_of(9, 1), user_of(3, 2, 1, 3), user_of(5, 1)})
            ASSERT_TRUE(w.add(u, 0x180, e, p));
        ASSERT_TRUE(w.finish(0x180, 0x30, 0x34, p));
        EXPECT_EQ(w.manifest().format, 2);
    }
    backup::Writer again;
    EXPECT_FALSE(again.begin(path, p));
    EXPECT_EQ(p.fault, backup::Fault::Exists);

    tools::UserSource all;
    ASSERT_TRUE(backup::load_source(path, {}, all, p)) << backup::problem_text(p, "copied");
    ASSERT_EQ(all.users.size(), 3u);
    EXPECT_EQ(all.users[0].id, 3u); // in ID order
    EXPECT_EQ(all.users[0].templates, user_of(3, 2).templates);
    EXPECT_EQ(all.users[0].adminLevel, 1u);
    EXPECT_EQ(all.users[0].authPolicy, 3u);
    EXPECT_EQ(all.template_count(), 4u);
    tools::UserSource some;
    ASSERT_TRUE(backup::load_source(path, {{4, 9}}, some, p));
    ASSERT_EQ(some.users.size(), 2u);
    EXPECT_EQ(some.users[0].id, 5u);

    // One flipped byte in a user's file refuses the whole backup.
    {
        std::fstream f(path + "/user-00000005.tpl", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(7);
        f.put('\x42');
    }
    EXPECT_FALSE(backup::load_source(path, {}, all, p));
    EXPECT_EQ(p.fault, backup::Fault::FileDamaged);
    EXPECT_EQ(backup::problem_text(p, "copied"),
              "The backup file " + path + "/user-00000005.tpl is damaged or missing; nothing is copied");
    // A user left out by --users is not read at all.
    EXPECT_TRUE(backup::load_source(path, {{3, 3}}, some, p));
}

// Where the manual (docs/backup.md) shows the error line of a damaged backup, with its site number.
TEST(BackupDirectory, ADamagedFileIsReportedOnTheSiteTheManualShows) {
    std::string lines;
    kelvor::trace_to(
        [](const char* text, size_t n, void* to) { static_cast<std::string*>(to)->append(text, n); }, &lines);
    backup::Problem p;
    p.fault = backup::Fault::FileDamaged;
    p.path = "b/user-00000004.tpl";
    report_backup_problem(p, "restored");
    kelvor::trace_to(nullptr, nullptr);
    EXPECT_EQ(lines, "[OrvantiCom.cpp(2353)] Err: The backup file b/user-00000004.tpl is damaged or missing; "
                     "nothing is restored\n");
}

TEST(UserIds, ListsAndRangesOfThirtyTwoBits) {
    struct Case {
        const char* text;
        std::vector<std::pair<uint32_t, uint32_t>> ranges; // empty: refused
        const char* why;
    };
    const Case cases[] = {
        {"3", {{3, 3}}, ""},
        {"1,5-9,0x10-0x1f", {{1, 1}, {5, 9}, {0x10, 0x1f}}, ""},
        {"4294967295", {{0xFFFFFFFF, 0xFFFFFFFF}}, ""},
        {"0xffffffff", {{0xFFFFFFFF, 0xFFFFFFFF}}, ""},
        {"1-4000000000", {{1, 4000000000u}}, ""},
        {"0", {}, "0 is outside 1 to 4294967295"},
        {"4294967296", {}, "4294967296 is outside 1 to 4294967295"},
        {"0x100000000", {}, "'0x100000000' is no user ID"},
        {"9-3", {}, "the range runs backwards"},
        {"1-5,3", {}, "user 3 is named twice"},
        {"7,7", {}, "user 7 is named twice"},
        {"", {}, "'' is no user ID"},
        {"1,,2", {}, "'' is no user ID"},
        {"-4", {}, "'-4' is no user ID range"},
        {"x", {}, "'x' is no user ID"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        tools::IdFilter out;
        std::string why;
        const bool ok = parse_user_ids(c.text, out, why);
        EXPECT_EQ(ok, !c.ranges.empty());
        EXPECT_EQ(why, c.why);
        if (!ok) continue;
        ASSERT_EQ(out.size(), c.ranges.size());
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].first, c.ranges[i].first);
            EXPECT_EQ(out[i].last, c.ranges[i].second);
        }
    }
    std::string many;
    for (int i = 1; i <= 4097; ++i) many += (i > 1 ? "," : "") + std::to_string(2 * i);
    tools::IdFilter out;
    std::string why;
    EXPECT_FALSE(parse_user_ids(many, out, why));
    EXPECT_EQ(why, "more than 4096 IDs and ranges");
}

TEST(CopyEnd, SuccessPartialOrFailureFromTheTargets) {
    auto target = [](unsigned copied, unsigned conflicts, unsigned notTried, int result) {
        tools::TargetOutcome t;
        t.copied = copied;
        t.conflicts = conflicts;
        t.notTried = notTried;
        t.result = result;
        return t;
    };
    const tools::TargetOutcome whole = target(2, 0, 0, 0),
                               conflict = target(1, 1, 0, kelvor::RES_ID_ALREADY_USED),
                               silent = target(0, 0, 2, kelvor::ERR_READ_TIMEOUT),
                               onlyConflicts = target(0, 2, 0, kelvor::RES_ID_ALREADY_USED);
    struct Case {
        const char* name;
        std::vector<tools::TargetOutcome> targets;
        tools::CopyEnd end;
        int worst;
    };
    const Case cases[] = {
        {"every target whole", {whole, whole}, tools::CopyEnd::Success, 0},
        {"nothing to copy anywhere", {tools::TargetOutcome{}}, tools::CopyEnd::Success, 0},
        {"a conflict kept", {whole, conflict}, tools::CopyEnd::Partial, kelvor::RES_ID_ALREADY_USED},
        {"one target silent", {whole, silent}, tools::CopyEnd::Partial, kelvor::ERR_READ_TIMEOUT},
        {"conflicts only", {onlyConflicts}, tools::CopyEnd::Failure, kelvor::RES_ID_ALREADY_USED},
        {"the link failed worst", {onlyConflicts, silent}, tools::CopyEnd::Failure, kelvor::ERR_READ_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tools::copy_end(c.targets), c.end);
        EXPECT_EQ(tools::worst_result(c.targets), c.worst);
    }
}

} // namespace
