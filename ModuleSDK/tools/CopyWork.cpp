// The copy of users (kelvor --copy-users, and the service's and the Python
// package's): the source read once, the users copied onto every
// target in turn, a line for each user that is not left as it was and one for
// each target (or with --json an object for every user and target and one for
// each target).
#include "Works.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "BackupDirectory.h"
#include "ErrorLines.h"
#include "JsonWriter.h"
#include "Platform.h"
#include "UserCopy.h"
#include "trace/Outcome.h"

using namespace kelvor;
using namespace tools;

namespace {

using Clock = std::chrono::steady_clock;

// The lines for the operator: on standard output, or on standard error when
// standard output carries the objects of --json.
void say(const char* format, ...) KELVOR_PRINTF(1, 2);
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // Standard output, or standard error with --json (the objects take
    // standard output then), or the sink of a program that runs the copy for
    // a client of its own; standard output is flushed at once.
    work_output::text(json_output::formatted(format, args));
    va_end(args);
}

std::string label_of(uint16_t moduleId) {
    return moduleId == 0 ? std::string("Module") : "Module " + std::to_string(moduleId);
}

const char* level_name(uint32_t level) {
    return keyword_name(KW_ADMIN_LEVEL, static_cast<int>(level));
}

const char* policy_name(uint32_t policy) {
    return keyword_name(KW_AUTH_POLICY, static_cast<int>(policy));
}

// The source as the objects of --json name it.
// What a copy records while --json is on: its own record (the error lines
// before the first target, the module text lines of the source's reading),
// then each target's in turn (its module text lines, and those of the copy's
// own record and of the time since the object before).
struct Records {
    Outcome copy;
    Outcome target;
    std::optional<outcome::Scope> scope;
};
Records& records() {
    // A copy runs on the thread of its line: one record for each.
    static thread_local Records r;
    return r;
}

json_output::Object source_object(const CopyRequest& r) {
    json_output::Object o = json_output::Object::object();
    if (r.fromModule != 0)
        o["module_id"] = r.fromModule;
    else
        o["directory"] = r.fromDirectory;
    return o;
}

// Prints what becomes of every user and target as the copy goes.
class Report : public tools::CopyObserver {
public:
    explicit Report(const CopyRequest& request) : request_(request) {}

    void target_begins(uint16_t) override {
        started_ = Clock::now();
        // What the target's commands find is recorded for its object: its
        // module text lines, and those that came since the object before.
        if (!work_output::on()) return;
        Records& r = records();
        r.scope.reset();
        r.target = Outcome{};
        outcome::move_text(r.copy, r.target);
        work_output::begin_record(r.target);
        r.scope.emplace(r.target);
    }
    bool progress(uint64_t done, uint64_t total) override { return work_output::count(done, total); }

    void user_done(const tools::UserOutcome& u) override {
        if (work_output::on()) return print_user(u);
        const std::string who = label_of(u.moduleId) + ": user " + hex(u.userId);
        const char* status = tools::status_name(u.status, u.planned);
        switch (u.status) {
        case tools::CopyStatus::Copied:
        case tools::CopyStatus::Replaced:
            say("%s: %s, %u template(s)", who.c_str(), status, u.templates);
            if (u.foundOnModule > 0) say(", %u of them found on the module", u.foundOnModule);
            say("\n");
            break;
        case tools::CopyStatus::Updated:
            say("%s: %s: administrator level %s, authentication policy %s\n", who.c_str(), status,
                level_name(u.adminLevel), policy_name(u.authPolicy));
            break;
        case tools::CopyStatus::Conflict:
            say("%s: conflict: %s%s\n", who.c_str(), u.reason.c_str(),
                request_.replace ? "" : " (--replace replaces them)");
            break;
        case tools::CopyStatus::Pruned: say("%s: %s\n", who.c_str(), status); break;
        case tools::CopyStatus::Failed:
            say("%s: failed: %s (%d)\n", who.c_str(), u.reason.c_str(), u.result);
            if (u.leftInPart)
                say("%s: the templates written could not be removed; a copy run again completes the user\n",
                    who.c_str());
            break;
        // Counted in the target's line.
        case tools::CopyStatus::Unchanged:
        case tools::CopyStatus::NotTried: break;
        }
    }

    void target_done(const tools::TargetOutcome& t) override {
        const std::string who = label_of(t.moduleId);
        // A target that could not be worked on at all has its error line.
        if (!t.message.empty() && t.reached() == 0 && t.failed == 0 && t.conflicts == 0)
            err_line(err_site::COPY_TARGET_FAILED, "Err: %s\n", t.message.c_str());
        if (work_output::on()) return print_target(t);
        const bool plan = t.planned;
        std::string line;
        auto part = [&](unsigned n, const char* done, const char* planned) {
            if (n == 0) return;
            line += (line.empty() ? " " : ", ") + std::to_string(n) + " " + (plan ? planned : done);
        };
        part(t.copied, "copied", "to copy");
        part(t.replaced, "replaced", "to replace");
        part(t.updated, "updated", "to update");
        const bool changes = !line.empty() || t.pruned > 0;
        part(t.unchanged, "unchanged", "unchanged");
        part(t.conflicts, t.conflicts == 1 ? "conflict" : "conflicts",
             t.conflicts == 1 ? "conflict" : "conflicts");
        part(t.pruned, "pruned", "to prune");
        part(t.failed, "failed", "failed");
        part(t.notTried, "not tried", "not tried");
        const char* tag = plan ? " (dry run)" : "";
        if (!changes && t.missed() == 0)
            say("%s%s: nothing to copy, %u user%s unchanged\n", who.c_str(), tag, t.unchanged,
                t.unchanged == 1 ? "" : "s");
        else
            say("%s%s:%s\n", who.c_str(), tag, line.c_str());
    }

private:
    static std::string hex(uint32_t v) {
        char text[16];
        std::snprintf(text, sizeof text, "%#x", v);
        return text;
    }

    void print_user(const tools::UserOutcome& u) const {
        json_output::Object o = json_output::object_of("copy_user");
        if (u.moduleId != 0) o["module_id"] = u.moduleId;
        o["user_id"] = u.userId;
        o["status"] = tools::status_name(u.status, u.planned);
        o["dry_run"] = u.planned;
        if (u.status != tools::CopyStatus::Pruned) {
            o["templates"] = u.templates;
            o["admin_level"] = u.adminLevel;
            o["auth_policy"] = u.authPolicy;
        }
        if (u.foundOnModule > 0) o["found_on_module"] = u.foundOnModule;
        if (!tools::reached(u.status)) {
            o["result"] = u.result;
            o["result_name"] = json_output::result_name_of(u.result);
            o["reason"] = u.reason;
        }
        if (u.leftInPart) o["left_in_part"] = true;
        work_output::print(o);
    }

    void print_target(const tools::TargetOutcome& t) const {
        json_output::Object o = json_output::object_of("copy");
        if (t.moduleId != 0) o["module_id"] = t.moduleId;
        o["source"] = source_object(request_);
        o["dry_run"] = t.planned;
        o["copied"] = t.copied;
        o["replaced"] = t.replaced;
        o["updated"] = t.updated;
        o["unchanged"] = t.unchanged;
        o["conflicts"] = t.conflicts;
        o["pruned"] = t.pruned;
        o["failed"] = t.failed;
        o["not_tried"] = t.notTried;
        o["outcome"] = json_output::outcome_of(t.result);
        o["result"] = t.result;
        o["result_name"] = json_output::result_name_of(t.result);
        o["message"] = t.message.empty() ? json_output::Object() : json_output::Object(t.message);
        o["elapsed_ms"] =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
        Records& r = records();
        r.scope.reset();
        work_output::print_with_module_text(o, r.target);
    }

    const CopyRequest& request_;
    Clock::time_point started_ = Clock::now();
};

// A copy that ends before any target: its error line is out; with --json
// one object of the copy as a whole says so.
int refused(const CopyRequest& request, int rc, Clock::time_point started) {
    if (work_output::on()) {
        const Outcome& r = records().copy;
        json_output::Object o = json_output::object_of("copy");
        o["source"] = source_object(request);
        o["dry_run"] = request.dryRun;
        for (const char* count :
             {"copied", "replaced", "updated", "unchanged", "conflicts", "pruned", "failed", "not_tried"})
            o[count] = 0;
        o["outcome"] = json_output::outcome_of(rc);
        o["result"] = rc;
        o["result_name"] = json_output::result_name_of(rc);
        o["message"] = r.hasMessage ? json_output::Object(r.message) : json_output::Object();
        o["elapsed_ms"] =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        work_output::print_with_module_text(o, r);
    }
    return rc;
}

int copy_run(Work& com, const Clock::time_point started) {
    const CopyRequest& request = com.copyUsers;
    if (com.broadcast) {
        err_line(err_site::COPY_BROADCAST,
                 "Err: -B reaches every module at once and hears no answer; a copy reads every user back\n");
        return refused(request, FRONT_REFUSED, started);
    }
    // The targets: the modules of --modules, or the module of the connection
    // (on the line of the source module, the one of -m).
    std::vector<uint16_t> targets(com.moduleIds.begin(), com.moduleIds.end());
    if (targets.empty()) targets.push_back(request.fromModule != 0 ? com.moduleId : 0);
    if (request.fromModule != 0 &&
        std::find(targets.begin(), targets.end(), request.fromModule) != targets.end()) {
        err_line(err_site::COPY_SOURCE_IS_TARGET,
                 "Err: Module %u is the source of the copy and one of its targets\n",
                 static_cast<unsigned>(request.fromModule));
        return refused(request, FRONT_REFUSED, started);
    }
    if (request.fromModule != 0 && targets.front() == 0) {
        err_line(err_site::COPY_NEEDS_TARGETS,
                 "Err: A copy from a module of the line goes to -m ID or --modules LIST\n");
        return refused(request, FRONT_REFUSED, started);
    }

    // The source, read once for all the targets.
    tools::UserSource source;
    if (request.fromModule != 0) {
        tools::Failure why;
        if (const int rc = tools::read_module_source(request.fromModule, request.users, source, why);
            rc < 0) {
            if (!why.message.empty())
                err_line(err_site::COPY_CANNOT_READ_SOURCE, "Err: %s\n", why.message.c_str());
            err_line(err_site::COPY_SOURCE_UNREAD,
                     "Err: Cannot read the users of module %u; nothing is copied\n",
                     static_cast<unsigned>(request.fromModule));
            return refused(request, rc, started);
        }
        say("Source: module %u, ", static_cast<unsigned>(request.fromModule));
    } else {
        backup::Problem problem;
        if (!backup::load_source(request.fromDirectory, request.users, source, problem))
            return refused(request, report_backup_problem(problem, "copied"), started);
        say("Source: backup %s, ", request.fromDirectory.c_str());
    }
    say("%zu user%s, %zu template%s of %#x bytes\n", source.users.size(), source.users.size() == 1 ? "" : "s",
        source.template_count(), source.template_count() == 1 ? "" : "s", source.templateSize);

    // What the library records from here on is the targets'; the module text
    // lines of the source's reading go to the first target's object.
    if (work_output::on()) records().scope.reset();
    Report report(request);
    tools::CopyOptions options;
    options.users = request.users;
    options.replace = request.replace;
    options.prune = request.prune;
    options.dryRun = request.dryRun;
    std::vector<tools::TargetOutcome> outcomes;
    tools::copy_users(source, targets, options, report, &outcomes);
    switch (tools::copy_end(outcomes)) {
    case tools::CopyEnd::Success: return 0;
    case tools::CopyEnd::Partial: com.partial = true; return 0;
    case tools::CopyEnd::Failure: break;
    }
    return tools::worst_result(outcomes);
}

} // namespace

int tools::copy_users(Work& com) {
    const work_output::Scope reporting(com.output);
    const Clock::time_point started = Clock::now();
    // The error lines before the first target become the message of the copy's object.
    Records& r = records();
    if (work_output::on()) {
        r.copy = Outcome{};
        work_output::begin_record(r.copy);
        r.scope.emplace(r.copy);
    }
    const int rc = copy_run(com, started);
    r.scope.reset();
    return rc;
}
