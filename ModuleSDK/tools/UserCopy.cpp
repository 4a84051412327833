// The copy of users onto target modules: the plan of each target from what it
// holds, and the work, user by user, each read back.
#include "UserCopy.h"

#include <algorithm>

#include "ModuleSDK.h"

using namespace kelvor;

namespace tools {

namespace {

bool link_failed(int rc) {
    return result_class(rc) == ResultClass::LinkFailed;
}

// The module the link addresses and what the library keeps of it, as they
// were: the caller's connection goes on with its own module.
class AddressedModule {
public:
    AddressedModule() : id_(link_state().moduleId), settings_(module_settings()) {}
    ~AddressedModule() {
        link_state().moduleId = id_;
        module_settings() = settings_;
    }
    AddressedModule(const AddressedModule&) = delete;
    AddressedModule& operator=(const AddressedModule&) = delete;

private:
    uint16_t id_;
    kelvor::ModuleSettings settings_;
};

// The short turn of a shared line while the copy runs; the commands' own after it.
class CopyTurn {
public:
    CopyTurn() : shared_(link_state().network == 1 || link_state().broadcast == 1) {
        if (shared_) serial_set_turn_pause(COPY_TURN_PAUSE_MS);
    }
    ~CopyTurn() {
        if (shared_) serial_set_turn_pause(packet::SHARED_LINE_PAUSE_MS);
    }
    CopyTurn(const CopyTurn&) = delete;
    CopyTurn& operator=(const CopyTurn&) = delete;

private:
    bool shared_;
};

// Addresses module `id` of the shared line; the trace shows nothing of the
// status check that the tool makes on its own account.
int select_quietly(uint16_t id) {
    const uint32_t mask = trace_mask();
    trace_disable(mask);
    const int rc = module_select(id);
    trace_enable(mask);
    return rc;
}

std::string does_not_answer(uint16_t id, int rc) {
    return text("Module %u does not answer: %s", static_cast<unsigned>(id), result_text(rc));
}

// "module 2", or "the module" of a line of its own.
std::string module_name(uint16_t id) {
    return id == 0 ? std::string("the module") : "module " + std::to_string(id);
}

// One target's work.
class Target {
public:
    Target(const UserSource& source, const CopyOptions& options, CopyObserver& observer, uint16_t label,
           uint64_t& done, uint64_t total)
        : source_(source), options_(options), observer_(observer), done_(done), total_(total) {
        out_.moduleId = label;
        out_.planned = options.dryRun;
    }

    // Returns false when the copy as a whole must stop (stopped, or the port is gone).
    bool run(uint16_t select) {
        observer_.target_begins(out_.moduleId);
        if (select != 0) {
            if (const int rc = select_quietly(select); rc != 0)
                return stop_before(rc, does_not_answer(select, rc));
        }
        uint32_t size = 0;
        const std::string name = module_name(out_.moduleId);
        if (const int rc = system_parameter_read(packet::param::TEMPLATE_SIZE, &size); rc < 0)
            return stop_before(
                rc, text("Cannot read the template size of %s: %s", name.c_str(), result_text(rc)));
        if (size != source_.templateSize && !source_.users.empty())
            return stop_before(REFUSED,
                               text("The template size %#x of %s differs from the source's %#x; nothing "
                                    "is copied to it",
                                    size, name.c_str(), source_.templateSize));
        std::vector<uint32_t> present;
        Failure why;
        if (const int rc = list_users(present, why); rc < 0)
            return stop_before(rc, why.message.empty() ? text("Cannot list the users of %s: %s", name.c_str(),
                                                              result_text(rc))
                                                       : why.message);
        if (options_.prune) prune(present);
        for (const UserData& u : source_.users) {
            if (stopped_) {
                not_tried(u, stopResult_, stopReason_);
            } else {
                copy_user(u, std::binary_search(present.begin(), present.end(), u.id));
            }
            // Stopped by the caller or by Ctrl-C: the users left are not tried, here or elsewhere.
            if (!observer_.progress(++done_, total_) || serial_interrupted()) {
                if (!stopped_) stop(ERR_STOPPED, "The copy was stopped");
                stopAll_ = true;
                callerStopped_ = true;
            }
        }
        return finish();
    }

    // The target is not worked on at all (the copy stopped before it): every
    // user of the source not tried.
    void skip(int rc, const std::string& message) {
        observer_.target_begins(out_.moduleId);
        stop_before(rc, message);
    }

    const TargetOutcome& outcome() const { return out_; }
    bool stopped_by_caller() const { return callerStopped_; }

private:
    void note(int rc) {
        if (rc == 0) return;
        if (out_.result == 0 || result_class(rc) >= result_class(out_.result)) out_.result = rc;
    }

    void tell(UserOutcome u) {
        switch (u.status) {
        case CopyStatus::Copied: ++out_.copied; break;
        case CopyStatus::Replaced: ++out_.replaced; break;
        case CopyStatus::Updated: ++out_.updated; break;
        case CopyStatus::Unchanged: ++out_.unchanged; break;
        case CopyStatus::Conflict: ++out_.conflicts; break;
        case CopyStatus::Pruned: ++out_.pruned; break;
        case CopyStatus::Failed: ++out_.failed; break;
        case CopyStatus::NotTried: ++out_.notTried; break;
        }
        if (!reached(u.status)) note(u.result);
        u.moduleId = out_.moduleId;
        u.planned = options_.dryRun;
        observer_.user_done(u);
    }

    UserOutcome of(const UserData& u, CopyStatus status) const {
        UserOutcome o;
        o.userId = u.id;
        o.status = status;
        o.templates = static_cast<uint32_t>(u.templates.size());
        o.adminLevel = u.adminLevel;
        o.authPolicy = u.authPolicy;
        return o;
    }

    void not_tried(const UserData& u, int rc, const std::string& reason) {
        UserOutcome o = of(u, CopyStatus::NotTried);
        o.result = rc;
        o.reason = reason;
        tell(std::move(o));
    }

    // Why the users after a link failure are not tried.
    std::string link_lost() const {
        return text("The link to %s failed", module_name(out_.moduleId).c_str());
    }

    // The target stops: the users after this one are not tried, for `reason`.
    void stop(int rc, const std::string& reason) {
        stopped_ = true;
        stopResult_ = rc;
        stopReason_ = reason;
        note(rc);
        if (out_.message.empty()) out_.message = reason;
        // A port that is gone serves no other target either.
        if (serial_port_lost() || serial_interrupted()) stopAll_ = true;
    }

    // The target cannot be worked on at all: every user of the source not tried.
    bool stop_before(int rc, const std::string& message) {
        stop(rc, message);
        for (const UserData& u : source_.users) {
            not_tried(u, rc, message);
            ++done_;
        }
        return finish();
    }

    bool finish() {
        observer_.target_done(out_);
        return !stopAll_;
    }

    // A user that failed; what was written of it removed again where the line allows.
    void fail(const UserData& u, int rc, const char* what, bool written) {
        UserOutcome o = of(u, CopyStatus::Failed);
        o.result = rc;
        o.reason = what;
        if (written && delete_template(u.id) != 0) o.leftInPart = true;
        tell(std::move(o));
        if (link_failed(rc)) stop(rc, link_lost());
    }

    void prune(const std::vector<uint32_t>& present) {
        std::vector<uint32_t> ids;
        for (uint32_t id : present) {
            const bool inSource =
                std::binary_search(source_.users.begin(), source_.users.end(), id,
                                   [](const auto& a, const auto& b) { return key(a) < key(b); });
            if (!inSource && selected(options_.users, id)) ids.push_back(id);
        }
        for (uint32_t id : ids) {
            UserOutcome o;
            o.userId = id;
            if (stopped_) {
                o.status = CopyStatus::NotTried;
                o.result = stopResult_;
                o.reason = stopReason_;
                tell(std::move(o));
                continue;
            }
            int rc = 0;
            if (!options_.dryRun) rc = delete_template(id);
            if (rc < 0) {
                o.status = CopyStatus::Failed;
                o.result = rc;
                o.reason = "cannot delete the user";
                tell(std::move(o));
                if (link_failed(rc)) stop(rc, link_lost());
                continue;
            }
            o.status = CopyStatus::Pruned;
            tell(std::move(o));
        }
    }
    static uint32_t key(uint32_t id) { return id; }
    static uint32_t key(const UserData& u) { return u.id; }

    void copy_user(const UserData& u, bool present) {
        if (!present) return write_user(u, 0, CopyStatus::Copied);
        std::vector<Bytes> there;
        uint32_t size = 0;
        Failure why;
        if (const int rc = read_templates(u.id, there, size, why); rc < 0)
            return fail(u, rc, "cannot read the templates on the module", false);
        if (same_templates(there, u.templates)) {
            uint32_t level = 0, policy = 0;
            if (const int rc = read_user_settings(u.id, level, policy); rc < 0)
                return fail(u, rc, "cannot read the administrator level or authentication policy", false);
            if (level == u.adminLevel && policy == u.authPolicy) return tell(of(u, CopyStatus::Unchanged));
            if (!options_.dryRun) {
                // The templates are the source's: a user whose level cannot be
                // set keeps them, and is reported.
                if (const int rc = write_user_settings(u.id, u.adminLevel, u.authPolicy, level, policy);
                    rc < 0)
                    return fail(u, rc, "cannot set the administrator level or authentication policy", false);
            }
            return tell(of(u, CopyStatus::Updated));
        }
        // What a copy that stopped halfway left: the source's first templates, no others.
        if (!there.empty() && leading_templates(there, u.templates))
            return write_user(u, there.size(), CopyStatus::Copied);
        if (!options_.replace) {
            UserOutcome o = of(u, CopyStatus::Conflict);
            o.result = RES_ID_ALREADY_USED;
            o.reason = "the ID holds other templates on the module";
            return tell(std::move(o));
        }
        if (!options_.dryRun) {
            if (const int rc = delete_template(u.id); rc < 0)
                return fail(u, rc, "cannot delete the templates on the module", false);
        }
        write_user(u, 0, CopyStatus::Replaced);
    }

    // Enrolls the user's templates from `have` on, reads them back, sets the level and policy.
    void write_user(const UserData& u, size_t have, CopyStatus status) {
        UserOutcome done = of(u, status);
        done.foundOnModule = static_cast<uint32_t>(have);
        if (options_.dryRun) return tell(std::move(done));
        if (const int rc = enroll_templates(u.id, u.templates, have, source_.templateSize); rc < 0)
            return fail(u, rc, "cannot enroll the templates", true);
        std::vector<Bytes> back;
        uint32_t size = 0;
        Failure why;
        if (const int rc = read_templates(u.id, back, size, why); rc < 0)
            return fail(u, rc, "cannot read the templates back", true);
        if (!same_templates(back, u.templates))
            return fail(u, RES_DATA_ERROR, "the templates read back differ", true);
        // A user enrolled anew has no level and the fingerprint policy.
        if (const int rc =
                write_user_settings(u.id, u.adminLevel, u.authPolicy, LEVEL_NONE, POLICY_FINGERPRINT);
            rc < 0)
            return fail(u, rc, "cannot set the administrator level or authentication policy", true);
        tell(std::move(done));
    }

    const UserSource& source_;
    const CopyOptions& options_;
    CopyObserver& observer_;
    uint64_t& done_;
    const uint64_t total_;
    TargetOutcome out_;
    bool stopped_ = false;
    bool stopAll_ = false;
    bool callerStopped_ = false;
    int stopResult_ = 0;
    std::string stopReason_;
};

} // namespace

const char* status_name(CopyStatus status, bool planned) {
    switch (status) {
    case CopyStatus::Copied: return planned ? "copy" : "copied";
    case CopyStatus::Replaced: return planned ? "replace" : "replaced";
    case CopyStatus::Updated: return planned ? "update" : "updated";
    case CopyStatus::Unchanged: return "unchanged";
    case CopyStatus::Conflict: return "conflict";
    case CopyStatus::Pruned: return planned ? "prune" : "pruned";
    case CopyStatus::Failed: return "failed";
    case CopyStatus::NotTried: return "not_tried";
    }
    return "not_tried";
}

bool reached(CopyStatus status) {
    return status != CopyStatus::Conflict && status != CopyStatus::Failed && status != CopyStatus::NotTried;
}

int read_module_source(uint16_t moduleId, const IdFilter& users, UserSource& source, Failure& why,
                       ReadProgress progress, void* context) {
    const AddressedModule back;
    const CopyTurn turn;
    if (moduleId != 0) {
        if (const int rc = select_quietly(moduleId); rc != 0) {
            why = {rc, does_not_answer(moduleId, rc)};
            return rc;
        }
    }
    const int rc = read_source(users, source, why, progress, context);
    if (rc < 0 && why.result == 0) why.result = rc;
    return rc;
}

void copy_users(const UserSource& source, const std::vector<uint16_t>& targets, const CopyOptions& options,
                CopyObserver& observer, std::vector<TargetOutcome>* outcomes) {
    const AddressedModule back;
    const CopyTurn turn;
    const uint16_t own = link_state().network == 1 ? link_state().moduleId : 0;
    uint64_t done = 0;
    const uint64_t total = static_cast<uint64_t>(targets.size()) * source.users.size();
    bool go = true, stoppedByCaller = false;
    for (const uint16_t id : targets) {
        Target t(source, options, observer, id == 0 ? own : id, done, total);
        if (go) {
            go = t.run(id);
        } else if (stoppedByCaller) {
            t.skip(ERR_STOPPED, "The copy was stopped");
        } else {
            // The port is gone: the targets left are not begun.
            t.skip(ERR_READ, "The line is gone");
        }
        stoppedByCaller = stoppedByCaller || t.stopped_by_caller();
        if (outcomes) outcomes->push_back(t.outcome());
    }
}

CopyEnd copy_end(const std::vector<TargetOutcome>& targets) {
    bool anyReached = false, anyMissed = false;
    for (const TargetOutcome& t : targets) {
        anyReached = anyReached || t.reached() > 0;
        anyMissed = anyMissed || t.missed() > 0 || t.result != 0;
    }
    if (!anyMissed) return CopyEnd::Success;
    return anyReached ? CopyEnd::Partial : CopyEnd::Failure;
}

int worst_result(const std::vector<TargetOutcome>& targets) {
    int worst = 0;
    for (const TargetOutcome& t : targets)
        if (t.result != 0 && (worst == 0 || result_class(t.result) >= result_class(worst))) worst = t.result;
    return worst;
}

} // namespace tools
