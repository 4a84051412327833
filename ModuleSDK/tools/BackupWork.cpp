// Backup and restore of a module's template database (kelvor --backup DIR,
// kelvor --restore DIR, and the service's and the Python package's): the
// lines for the operator and the objects. The backup directory itself
// (manifest, files, sums) is BackupDirectory, the users on the module
// ModuleUsers.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "BackupDirectory.h"
#include "ErrorLines.h"
#include "JsonWriter.h"
#include "ModuleUsers.h"
#include "Platform.h"
#include "Works.h"
#include "trace/Outcome.h"

using namespace kelvor;
using namespace tools;

namespace {

// What a backup or a restore reports: lines for the operator on standard
// output, or with --json one object at the end (the lines go to standard
// error then).
class WorkReport {
public:
    WorkReport(const char* kind, const Work& com)
        : object_(json_output::object_of(kind)), started_(std::chrono::steady_clock::now()) {
        // One backup or restore of several (--modules) names its module.
        if (!com.moduleIds.empty()) object_["module_id"] = com.moduleId;
        object_["directory"] = com.workDirectory;
        if (work_output::on()) {
            work_output::begin_record(record_);
            scope_.emplace(record_);
        }
    }
    void say(const char* format, ...) KELVOR_PRINTF(2, 3) {
        va_list args;
        va_start(args, format);
        // Where the run's report goes: standard output, standard error with
        // --json, or the sink of a program that runs the work for a client.
        work_output::text(json_output::formatted(format, args));
        va_end(args);
    }
    json_output::Object& object() { return object_; }
    void user(json_output::Object entry) {
        work_output::entry(entry);
        object_["users"].push_back(std::move(entry));
    }
    int done(int rc) {
        if (!work_output::on()) return rc;
        scope_.reset();
        const Outcome& r = record_;
        if (!object_.contains("users")) object_["users"] = json_output::Object::array();
        object_["outcome"] = json_output::outcome_of(rc);
        object_["result"] = rc;
        object_["result_name"] = json_output::result_name_of(rc);
        // The line that tells why it failed; a backup that went well needs none.
        object_["message"] = rc != 0 && r.hasMessage ? json_output::Object(r.message) : json_output::Object();
        const auto elapsed = std::chrono::steady_clock::now() - started_;
        object_["elapsed_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        work_output::print_with_module_text(object_, record_);
        return rc;
    }

private:
    json_output::Object object_;
    // What the backup or restore records: its message, the module's text lines.
    Outcome record_;
    std::optional<outcome::Scope> scope_;
    std::chrono::steady_clock::time_point started_;
};

backup::Problem problem_of(backup::Fault fault, const std::string& path) {
    backup::Problem p;
    p.fault = fault;
    p.path = path;
    return p;
}

// A user's level and policy in its object, when they are not the defaults.
void add_settings(json_output::Object& entry, uint32_t level, uint32_t policy) {
    if (level == tools::LEVEL_NONE && policy == tools::POLICY_FINGERPRINT) return;
    entry["admin_level"] = level;
    entry["auth_policy"] = policy;
}

int backup_run(Work& com, WorkReport& rep);
int restore_run(Work& com, WorkReport& rep);

} // namespace

int tools::backup_module(Work& com) {
    const work_output::Scope reporting(com.output);
    WorkReport rep("backup", com);
    return rep.done(backup_run(com, rep));
}

int tools::restore_module(Work& com) {
    const work_output::Scope reporting(com.output);
    WorkReport rep("restore", com);
    return rep.done(restore_run(com, rep));
}

namespace {

int backup_run(Work& com, WorkReport& rep) {
    const std::string& dir = com.workDirectory;
    backup::Problem problem;
    if (dir.empty() || path_exists(dir))
        return report_backup_problem(problem_of(backup::Fault::Exists, dir), "");
    tools::TemplateSettings settings;
    if (int rc = tools::read_settings(settings); rc < 0) return rc;
    std::vector<uint32_t> ids;
    tools::Failure why;
    if (int rc = tools::list_users(ids, why); rc < 0) {
        if (!why.message.empty())
            err_line(err_site::BACKUP_CANNOT_LIST_USERS, "Err: %s\n", why.message.c_str());
        return rc;
    }
    backup::Writer writer;
    if (!writer.begin(dir, problem)) return report_backup_problem(problem, "");
    uint32_t templates = 0;
    for (uint32_t id : ids) {
        tools::UserData user;
        uint32_t size = 0;
        int rc = tools::read_user(id, user, size, why);
        if (rc == 0 && user.templates.empty()) continue;
        if (rc < 0) {
            if (!why.message.empty())
                err_line(err_site::BACKUP_CANNOT_READ_USER, "Err: %s\n", why.message.c_str());
            err_line(err_site::BACKUP_USER_TEMPLATES_UNREAD,
                     "Err: Cannot read the templates of user %#x; no backup is written\n", id);
            return rc;
        }
        backup::UserEntry u;
        if (!writer.add(user, size, u, problem)) return report_backup_problem(problem, "");
        templates += u.count;
        json_output::Object entry = {{"user_id", u.id},
                                     {"templates", u.count},
                                     {"template_bytes", u.size},
                                     {"file", join_path(dir, u.file)},
                                     {"sha256", u.sha}};
        add_settings(entry, u.adminLevel, u.authPolicy);
        rep.user(std::move(entry));
        // Stopped by its program: nothing is written (the writer gives its directory up).
        if (!work_output::user_done(writer.manifest().users.size(), 0)) return ERR_STOPPED;
    }
    if (!writer.finish(settings.templateSize, settings.enrollMode, settings.securityLevel, problem))
        return report_backup_problem(problem, "");
    rep.say("Backup: %zu users, %u templates of %#x bytes in %s\n", writer.manifest().users.size(), templates,
            settings.templateSize, dir.c_str());
    rep.object()["templates"] = templates;
    rep.object()["template_bytes"] = settings.templateSize;
    return 0;
}

int restore_run(Work& com, WorkReport& rep) {
    const std::string& dir = com.workDirectory;
    backup::Manifest m;
    backup::Problem problem;
    // Every file is checked before anything goes to the module.
    std::vector<Bytes> data;
    if (!backup::load_manifest(dir, m, problem) || !backup::load_user_files(dir, m, data, problem))
        return report_backup_problem(problem, "restored");
    tools::TemplateSettings module;
    if (int rc = tools::read_settings(module); rc < 0) return rc;
    if (module.templateSize != m.templateSize) {
        err_line(err_site::BACKUP_TEMPLATE_SIZE_DIFFERS,
                 "Err: The backup's template size %#x differs from the module's %#x; nothing is restored\n",
                 m.templateSize, module.templateSize);
        return FRONT_REFUSED;
    }
    for (const backup::UserEntry& u : m.users) {
        // Templates of another size than the backup's are no templates of it.
        if (u.size != m.templateSize) {
            problem = problem_of(backup::Fault::SizeMismatch, dir);
            problem.user = u.id;
            problem.size = u.size;
            problem.expected = m.templateSize;
            return report_backup_problem(problem, "restored");
        }
    }
    if (module.enrollMode != m.enrollMode || module.securityLevel != m.securityLevel)
        rep.say("Note: the backup was taken with enroll mode %#x and security level %#x, the module has "
                "%#x and %#x\n",
                m.enrollMode, m.securityLevel, module.enrollMode, module.securityLevel);

    // Users the module has already are compared with the backup's (below).
    std::vector<uint32_t> present;
    tools::Failure why;
    if (int rc = tools::list_users(present, why); rc < 0) {
        if (!why.message.empty())
            err_line(err_site::RESTORE_CANNOT_LIST_USERS, "Err: %s\n", why.message.c_str());
        return rc;
    }

    unsigned restored = 0, skipped = 0, failed = 0;
    int worst = 0;
    auto note = [&](int rc) {
        if (exit_class(rc) >= exit_class(worst)) worst = rc;
    };
    // A user restored in part is removed again, so that a retry restores it
    // whole instead of finding it incomplete; after a link failure too, as far
    // as the line still allows. Where it does not, the user is reported as
    // left in part: a retry finds it and completes it.
    auto fail = [&](const backup::UserEntry& u, int rc, const char* what, bool written) {
        rep.say("User %#x: failed: %s (%d)\n", u.id, what, rc);
        json_output::Object entry = {{"user_id", u.id},
                                     {"status", "failed"},
                                     {"reason", what},
                                     {"result", rc},
                                     {"result_name", json_output::result_name_of(rc)}};
        ++failed;
        note(rc);
        if (written && delete_template(u.id) != 0) {
            rep.say("User %#x: the templates written could not be removed; a restore run again completes the "
                    "user\n",
                    u.id);
            entry["left_in_part"] = true;
        }
        rep.user(std::move(entry));
    };
    size_t i = 0;
    bool stopped = false;
    for (; i < m.users.size(); ++i) {
        // Stopped by its program before this user: the rest are not tried.
        if (i > 0 && !work_output::user_done(i, m.users.size())) {
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
            const int rc = tools::read_templates(u.id, there, size, why);
            if (rc < 0) {
                fail(u, rc, "cannot read the templates on the module", false);
                if (exit_class(rc) == EXIT_LINK_FAILED) break;
                continue;
            }
            const bool ours = tools::leading_templates(there, templates);
            if (!ours || there.size() == u.count) {
                const char* reason =
                    ours ? "the module holds these templates already" : "the ID is in use on the module";
                rep.say("User %#x: skipped: %s\n", u.id, reason);
                json_output::Object entry = {{"user_id", u.id}, {"status", "skipped"}, {"reason", reason}};
                if (!ours) {
                    // Other templates under the backup's ID: the backup's user is not on the module.
                    entry["result"] = RES_ID_ALREADY_USED;
                    entry["result_name"] = json_output::result_name_of(RES_ID_ALREADY_USED);
                    note(RES_ID_ALREADY_USED);
                }
                rep.user(std::move(entry));
                ++skipped;
                continue;
            }
            have = there.size();
        }
        int rc = tools::enroll_templates(u.id, templates, have, u.size);
        if (rc < 0) {
            fail(u, rc, "enrollment refused", true);
            if (exit_class(rc) == EXIT_LINK_FAILED) break;
            continue;
        }
        // Read back and compared, template by template.
        std::vector<Bytes> back;
        uint32_t size = 0;
        rc = tools::read_templates(u.id, back, size, why);
        if (rc < 0) {
            fail(u, rc, "cannot read the templates back", true);
            if (exit_class(rc) == EXIT_LINK_FAILED) break;
            continue;
        }
        if (!tools::same_templates(back, templates)) {
            fail(u, RES_DATA_ERROR, "the templates read back differ", true);
            continue;
        }
        // The level and policy the backup keeps (a user enrolled anew has neither).
        rc = tools::write_user_settings(u.id, u.adminLevel, u.authPolicy, tools::LEVEL_NONE,
                                        tools::POLICY_FINGERPRINT);
        if (rc < 0) {
            fail(u, rc, "cannot set the administrator level or authentication policy", true);
            if (exit_class(rc) == EXIT_LINK_FAILED) break;
            continue;
        }
        json_output::Object entry = {{"user_id", u.id}, {"status", "restored"}, {"templates", u.count}};
        if (have > 0) {
            rep.say("User %#x: restored, %u template(s), %zu of them found on the module\n", u.id, u.count,
                    have);
            entry["found_on_module"] = have;
        } else {
            rep.say("User %#x: restored, %u template(s)\n", u.id, u.count);
        }
        add_settings(entry, u.adminLevel, u.authPolicy);
        rep.user(std::move(entry));
        ++restored;
    }
    if (stopped) {
        const auto left = static_cast<unsigned>(m.users.size() - i);
        rep.say("%u more users not tried: the restore was stopped\n", left);
        failed += left;
        rep.object()["not_tried"] = left;
        note(ERR_STOPPED);
    } else if (i < m.users.size()) {
        // The link failed: the users after it were not tried.
        const auto left = static_cast<unsigned>(m.users.size() - i - 1);
        if (left > 0) rep.say("%u more users not tried after the link failed\n", left);
        failed += left;
        rep.object()["not_tried"] = left;
    }
    if (!stopped && i == m.users.size()) work_output::user_done(i, m.users.size());
    rep.say("Restore: %u users restored, %u skipped, %u failed\n", restored, skipped, failed);
    rep.object()["restored"] = restored;
    rep.object()["skipped"] = skipped;
    rep.object()["failed"] = failed;
    return worst;
}

} // namespace

void tools::work_not_begun(Work& com, bool restore, int result, const std::string& message) {
    const work_output::Scope reporting(com.output);
    if (!work_output::on()) return;
    WorkReport rep(restore ? "restore" : "backup", com);
    if (!message.empty()) outcome::message(message);
    rep.done(result);
}

namespace {

// Each fault of a backup directory its own reporting site.
struct FaultSite {
    backup::Fault fault;
    err_site::Site site;
};
constexpr FaultSite FAULT_SITES[] = {
    // The manifest: missing, unreadable, its own sum wrong, or not one of a backup.
    {backup::Fault::ManifestUnreadable, err_site::BACKUP_MANIFEST_UNREADABLE},
    {backup::Fault::ManifestDamaged, err_site::BACKUP_MANIFEST_DAMAGED},
    {backup::Fault::NotABackup, err_site::BACKUP_NOT_A_BACKUP},
    // A user the manifest cannot hold, or more templates than are read at once.
    {backup::Fault::UserZero, err_site::BACKUP_USER_ZERO},
    {backup::Fault::SizeMismatch, err_site::BACKUP_SIZE_MISMATCH},
    {backup::Fault::TooLarge, err_site::BACKUP_TOO_LARGE},
    // A backup being written.
    {backup::Fault::Exists, err_site::BACKUP_EXISTS},
    {backup::Fault::CannotCreate, err_site::BACKUP_CANNOT_CREATE},
    {backup::Fault::CannotWrite, err_site::BACKUP_CANNOT_WRITE},
    {backup::Fault::CannotRename, err_site::BACKUP_CANNOT_RENAME},
    // A user's file that is missing or fails its sum (the number the manual shows).
    {backup::Fault::FileDamaged, err_site::BACKUP_FILE_DAMAGED},
};

} // namespace

err_site::Site tools::backup_fault_site(backup::Fault fault) {
    for (const FaultSite& row : FAULT_SITES)
        if (row.fault == fault) return row.site;
    return err_site::BACKUP_FILE_DAMAGED;
}

int tools::report_backup_problem(const backup::Problem& p, const char* undone) {
    if (p.fault == backup::Fault::None) return 0;
    // In the backup directory's own words.
    err_line(backup_fault_site(p.fault), "Err: %s\n", backup::problem_text(p, undone).c_str());
    return FRONT_REFUSED;
}
