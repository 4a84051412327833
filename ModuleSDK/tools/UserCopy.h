// The copy of users from a source (a module on the same line, or a backup
// directory) onto target modules: every template of each user, its
// administrator level and authentication policy, each copy read back and
// compared byte for byte. The source is read once, whatever the number of
// targets; each target is a module of the shared line (addressed in turn) or
// the module the link addresses.
//
// What becomes of a user on a target:
// - not there: copied (a user there with the source's first templates and no
//   others, which a copy that stopped halfway leaves, is completed);
// - there with the same templates: unchanged, or updated when only its level
//   or policy differ;
// - there with other templates: a conflict, left as it is, unless `replace`;
// - on the target but not in the source (among the selected IDs): pruned with
//   `prune`, left otherwise.
// A user that fails is removed again wherever the line still allows, so that
// no target keeps part of a user; a link failure ends that target (its other
// users not tried), and the other targets go on. Nothing here prints: the
// caller hears of every user and target through its observer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ModuleUsers.h"

namespace tools {

enum class CopyStatus { Copied, Replaced, Updated, Unchanged, Conflict, Pruned, Failed, NotTried };
// "copied", "replaced", "updated", "unchanged", "conflict", "pruned", "failed",
// "not_tried"; in the plan of a dry run "copy", "replace", "update", "unchanged",
// "conflict", "prune".
const char* status_name(CopyStatus status, bool planned);
// Whether the user is where the copy was to bring it (on the target as in
// the source, or pruned as asked).
bool reached(CopyStatus status);

struct UserOutcome {
    uint16_t moduleId = 0; // the target; 0 for the module of a line of its own
    uint32_t userId = 0;
    CopyStatus status = CopyStatus::NotTried;
    bool planned = false;       // a dry run's plan: nothing was changed
    uint32_t templates = 0;     // the source's templates of the user (a pruned user: the target's)
    uint32_t foundOnModule = 0; // copied: the source's first templates that the target held already
    uint32_t adminLevel = 0;    // the level and policy copied (or, pruned, none)
    uint32_t authPolicy = 0;
    int result = 0;          // conflict, failed, not tried: the result code
    std::string reason;      // conflict, failed, not tried: what it was
    bool leftInPart = false; // failed: the templates written could not be removed again
};

struct TargetOutcome {
    uint16_t moduleId = 0;
    bool planned = false;
    // 0 when every user reached its place; else the worst result met (a
    // conflict is RES_ID_ALREADY_USED), or the failure that stopped the target.
    int result = 0;
    // Why the target stopped before its users were all tried (it does not
    // answer, its templates are of another size, the link failed).
    std::string message;
    unsigned copied = 0, replaced = 0, updated = 0, unchanged = 0, conflicts = 0, pruned = 0, failed = 0,
             notTried = 0;
    // The users that reached their place and those that did not.
    unsigned reached() const { return copied + replaced + updated + unchanged + pruned; }
    unsigned missed() const { return conflicts + failed + notTried; }
    // Whether the target holds the source's users (and no others with `prune`).
    bool complete() const { return result == 0; }
};

struct CopyOptions {
    IdFilter users; // the users copied and pruned; empty: all
    bool replace = false;
    bool prune = false;
    bool dryRun = false;
};

// Told how the copy goes, in the order of the work; none of it is needed.
class CopyObserver {
public:
    virtual ~CopyObserver() = default;
    virtual void target_begins(uint16_t /*moduleId*/) {}
    virtual void user_done(const UserOutcome& /*outcome*/) {}
    virtual void target_done(const TargetOutcome& /*outcome*/) {}
    // After each user of each target: pairs done of the total (targets times
    // the source's users). Returning false stops the copy: the users left are
    // not tried (ERR_STOPPED).
    virtual bool progress(uint64_t /*done*/, uint64_t /*total*/) { return true; }
};

// The pause before each turn of a shared line while a copy runs: every
// exchange of the copy waits for the module's whole answer before the next
// packet goes out, so the line is free by then, and the module itself waits
// its turnaround before it answers. The long pause of commands would take
// more time than the templates.
inline constexpr int COPY_TURN_PAUSE_MS = 1;

// The users of module `moduleId` (0: the module the link addresses) that
// `users` selects, read once as a copy's source. `progress` is told each user
// read; returning false stops the reading (ERR_STOPPED). The link addresses
// the module it addressed before when this returns.
int read_module_source(uint16_t moduleId, const IdFilter& users, UserSource& source, Failure& why,
                       ReadProgress progress = nullptr, void* context = nullptr);

// Copies `source` onto each target in turn: module IDs of the shared line
// (each addressed with module_select), or 0 for the module the link
// addresses. Every target's outcome goes to the observer and, when given,
// into `outcomes`. The link addresses the module it addressed before when
// this returns.
void copy_users(const UserSource& source, const std::vector<uint16_t>& targets, const CopyOptions& options,
                CopyObserver& observer, std::vector<TargetOutcome>* outcomes = nullptr);

// How a whole copy ended: every target complete; some users or targets
// reached and others not; or none reached (nothing to show for it).
enum class CopyEnd { Success, Partial, Failure };
CopyEnd copy_end(const std::vector<TargetOutcome>& targets);
// The worst result of the targets (for a failure's class: refused or link failed).
int worst_result(const std::vector<TargetOutcome>& targets);

} // namespace tools
