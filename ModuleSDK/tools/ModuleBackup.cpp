// The backup and the restore of the users of the module the link addresses.
#include "ModuleBackup.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "ModuleSDK.h"
#include "Platform.h"

using namespace kelvor;

namespace tools {

namespace {

int refused(WorkReport& report, const backup::Problem& problem, const char* undone) {
    report.problem = problem;
    report.message = backup::problem_text(problem, undone);
    return REFUSED;
}

backup::Problem problem_of(backup::Fault fault, const std::string& path) {
    backup::Problem p;
    p.fault = fault;
    p.path = path;
    return p;
}

bool link_failed(int rc) {
    return result_class(rc) == ResultClass::LinkFailed;
}

} // namespace

int backup_users(const std::string& dir, WorkReport& report, WorkObserver& observer) {
    if (dir.empty() || path_exists(dir)) return refused(report, problem_of(backup::Fault::Exists, dir), "");
    TemplateSettings settings;
    if (const int rc = read_settings(settings); rc < 0) return rc;
    std::vector<uint32_t> ids;
    Failure why;
    if (const int rc = list_users(ids, why); rc < 0) {
        report.cause = why.message;
        return rc;
    }
    backup::Problem problem;
    backup::Writer writer;
    if (!writer.begin(dir, problem)) return refused(report, problem, "");
    uint32_t templates = 0;
    uint64_t done = 0;
    for (const uint32_t id : ids) {
        UserData user;
        uint32_t size = 0;
        const int rc = read_user(id, user, size, why);
        if (rc == 0 && user.templates.empty()) continue;
        if (rc < 0) {
            report.cause = why.message;
            report.message = text("Cannot read the templates of user %#x; no backup is written", id);
            return rc;
        }
        backup::UserEntry entry;
        if (!writer.add(user, size, entry, problem)) return refused(report, problem, "");
        templates += entry.count;
        observer.backed_up(
            {entry.id, entry.count, entry.size, entry.file, entry.sha, entry.adminLevel, entry.authPolicy});
        if (!observer.progress(++done, 0)) return ERR_STOPPED;
    }
    if (!writer.finish(settings.templateSize, settings.enrollMode, settings.securityLevel, problem))
        return refused(report, problem, "");
    report.users = writer.manifest().users.size();
    report.templates = templates;
    report.templateSize = settings.templateSize;
    observer.say(text("Backup: %zu users, %u templates of %#x bytes in ", report.users, templates,
                      settings.templateSize) +
                 dir + "\n");
    return 0;
}

int restore_users(const std::string& dir, WorkReport& report, WorkObserver& observer) {
    backup::Manifest m;
    backup::Problem problem;
    // Every file is checked before anything goes to the module.
    std::vector<Bytes> data;
    if (!backup::load_manifest(dir, m, problem) || !backup::load_user_files(dir, m, data, problem))
        return refused(report, problem, "restored");
    TemplateSettings module;
    if (const int rc = read_settings(module); rc < 0) return rc;
    if (module.templateSize != m.templateSize) {
        report.message =
            text("The backup's template size %#x differs from the module's %#x; nothing is restored",
                 m.templateSize, module.templateSize);
        return REFUSED;
    }
    for (const backup::UserEntry& u : m.users) {
        // Templates of another size than the backup's are no templates of it.
        if (u.size != m.templateSize) {
            problem = problem_of(backup::Fault::SizeMismatch, dir);
            problem.user = u.id;
            problem.size = u.size;
            problem.expected = m.templateSize;
            return refused(report, problem, "restored");
        }
    }
    if (module.enrollMode != m.enrollMode || module.securityLevel != m.securityLevel)
        observer.say(
            text("Note: the backup was taken with enroll mode %#x and security level %#x, the module "
                 "has %#x and %#x\n",
                 m.enrollMode, m.securityLevel, module.enrollMode, module.securityLevel));

    // Users the module has already are compared with the backup's (below).
    std::vector<uint32_t> present;
    Failure why;
    if (const int rc = list_users(present, why); rc < 0) {
        report.cause = why.message;
        return rc;
    }

    int worst = 0;
    const auto note = [&](int rc) {
        if (static_cast<int>(result_class(rc)) >= static_cast<int>(result_class(worst))) worst = rc;
    };
    // A user restored in part is removed again, so that a retry restores it
    // whole instead of finding it incomplete; after a link failure too, as far
    // as the line still allows. Where it does not, the user is reported as
    // left in part: a retry finds it and completes it.
    const auto fail = [&](const backup::UserEntry& u, int rc, const char* what, bool written) {
        observer.say(text("User %#x: failed: %s (%d)\n", u.id, what, rc));
        RestoredUser r;
        r.id = u.id;
        r.status = RestoreStatus::Failed;
        r.reason = what;
        r.result = rc;
        ++report.failed;
        note(rc);
        if (written && delete_template(u.id) != 0) {
            observer.say(text("User %#x: the templates written could not be removed; a restore run again "
                              "completes the user\n",
                              u.id));
            r.leftInPart = true;
        }
        observer.restored(r);
    };
    const uint64_t total = m.users.size();
    size_t i = 0;
    bool stopped = false;
    for (; i < m.users.size(); ++i) {
        if (i > 0 && !observer.progress(i, total)) {
            stopped = true;
            break;
        }
        const backup::UserEntry& u = m.users[i];
        std::vector<Bytes> templates;
        for (uint32_t t = 0; t < u.count; ++t) {
            const auto at = data[i].begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(t) * u.size);
            templates.emplace_back(at, at + u.size);
        }
        // The backup's templates already on the module: a user there with the
        // backup's first templates and no others is one that a restore left in
        // part, and the rest are enrolled; one there whole is left as it is;
        // one with other templates is not overwritten, and the backup's user
        // is not on the module.
        size_t have = 0;
        if (std::binary_search(present.begin(), present.end(), u.id)) {
            std::vector<Bytes> there;
            uint32_t size = 0;
            const int rc = read_templates(u.id, there, size, why);
            if (rc < 0) {
                fail(u, rc, "cannot read the templates on the module", false);
                if (link_failed(rc)) break;
                continue;
            }
            const bool ours = leading_templates(there, templates);
            if (!ours || there.size() == u.count) {
                const char* reason =
                    ours ? "the module holds these templates already" : "the ID is in use on the module";
                observer.say(text("User %#x: skipped: %s\n", u.id, reason));
                RestoredUser r;
                r.id = u.id;
                r.status = RestoreStatus::Skipped;
                r.reason = reason;
                if (!ours) {
                    // Other templates under the backup's ID: the backup's user is not on the module.
                    r.result = RES_ID_ALREADY_USED;
                    note(RES_ID_ALREADY_USED);
                }
                observer.restored(r);
                ++report.skipped;
                continue;
            }
            have = there.size();
        }
        int rc = enroll_templates(u.id, templates, have, u.size);
        if (rc < 0) {
            fail(u, rc, "enrollment refused", true);
            if (link_failed(rc)) break;
            continue;
        }
        // Read back and compared, template by template.
        std::vector<Bytes> back;
        uint32_t size = 0;
        rc = read_templates(u.id, back, size, why);
        if (rc < 0) {
            fail(u, rc, "cannot read the templates back", true);
            if (link_failed(rc)) break;
            continue;
        }
        if (!same_templates(back, templates)) {
            fail(u, RES_DATA_ERROR, "the templates read back differ", true);
            continue;
        }
        // The level and policy the backup keeps (a user enrolled anew has neither).
        rc = write_user_settings(u.id, u.adminLevel, u.authPolicy, LEVEL_NONE, POLICY_FINGERPRINT);
        if (rc < 0) {
            fail(u, rc, "cannot set the administrator level or authentication policy", true);
            if (link_failed(rc)) break;
            continue;
        }
        RestoredUser r;
        r.id = u.id;
        r.templates = u.count;
        r.foundOnModule = have;
        r.adminLevel = u.adminLevel;
        r.authPolicy = u.authPolicy;
        if (have > 0)
            observer.say(text("User %#x: restored, %u template(s), %zu of them found on the module\n", u.id,
                              u.count, have));
        else
            observer.say(text("User %#x: restored, %u template(s)\n", u.id, u.count));
        observer.restored(r);
        ++report.restoredCount;
    }
    if (i < m.users.size()) {
        // The link failed, or the caller stopped: the users after it were not tried.
        const auto left = static_cast<unsigned>(m.users.size() - i - (stopped ? 0 : 1));
        if (left > 0)
            observer.say(text("%u more users not tried after the %s\n", left,
                              stopped ? "restore was stopped" : "link failed"));
        report.failed += left;
        report.notTried = left;
        report.endedEarly = true;
        if (stopped) note(ERR_STOPPED);
    } else if (!m.users.empty()) {
        observer.progress(total, total);
    }
    observer.say(text("Restore: %u users restored, %u skipped, %u failed\n", report.restoredCount,
                      report.skipped, report.failed));
    return worst;
}

} // namespace tools
