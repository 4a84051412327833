// The backup of a module's users into a backup directory and their restore
// from one, step by step as kelvor --backup and --restore take them: the
// settings and the user list read, each user read whole and written, or each
// user of the backup compared with what the module holds, enrolled, read back
// and given its level and policy. The module is the one the link addresses.
// Nothing here prints: the lines for the operator and each user's outcome go
// to the caller's observer as they come, the totals and why it failed into
// the report.
#pragma once

#include <cstdint>
#include <string>

#include "BackupDirectory.h"
#include "ModuleUsers.h"

namespace tools {

// One user written into the backup: its file's name in the directory.
struct BackedUpUser {
    uint32_t id = 0;
    uint32_t templates = 0;
    uint32_t templateBytes = 0;
    std::string file;
    std::string sha;
    uint32_t adminLevel = LEVEL_NONE;
    uint32_t authPolicy = POLICY_FINGERPRINT;
};

// What became of one user of the backup in a restore.
enum class RestoreStatus { Restored, Skipped, Failed };
struct RestoredUser {
    uint32_t id = 0;
    RestoreStatus status = RestoreStatus::Restored;
    uint32_t templates = 0;   // restored: the backup's templates of the user
    size_t foundOnModule = 0; // restored: of them, the ones that were on the module already
    const char* reason = "";  // skipped or failed: why
    int result = 0;           // failed, or skipped for an ID in use: the result code
    bool leftInPart = false;  // failed: templates written that could not be removed again
    uint32_t adminLevel = LEVEL_NONE;
    uint32_t authPolicy = POLICY_FINGERPRINT;
};

class WorkObserver {
public:
    virtual ~WorkObserver() = default;
    // A line for the operator, its line end included.
    virtual void say(const std::string& line) { (void)line; }
    virtual void backed_up(const BackedUpUser& user) { (void)user; }
    virtual void restored(const RestoredUser& user) { (void)user; }
    // After each user: `done` of `total` (0 in a backup, which does not know
    // its users' count ahead). False stops the work before the next user: a
    // backup writes nothing, a restore leaves the rest not tried (ERR_STOPPED).
    virtual bool progress(uint64_t done, uint64_t total) {
        (void)done;
        (void)total;
        return true;
    }
};

struct WorkReport {
    // Why it failed: the line of the step that failed where the library's
    // own line does not say it (cause), then what that meant for the work
    // ("Cannot read the templates of user 0x5; no backup is written"), each
    // empty when there is nothing to add; the directory's fault, when it was
    // the directory (message is then its text).
    std::string cause;
    std::string message;
    backup::Problem problem;
    // A backup: its users and their templates, of templateSize bytes each.
    size_t users = 0;
    uint32_t templates = 0;
    uint32_t templateSize = 0;
    // A restore; endedEarly when a link failure or the observer ended it
    // before its last user, notTried of them left (among the failed).
    unsigned restoredCount = 0, skipped = 0, failed = 0, notTried = 0;
    bool endedEarly = false;
};

// Backs the module's users up into `dir`, which must not exist yet: under a
// temporary name until it is whole. 0, or the result code of the step that
// failed (REFUSED for the directory's faults) with nothing left behind.
int backup_users(const std::string& dir, WorkReport& report, WorkObserver& observer);

// Restores the backup in `dir`, every file checked before anything is sent. A
// user that fails does not stop the others, a link failure ends the restore.
// The worst result of the users (0 when each is restored or skipped as it
// should be), or the code of what refused the whole restore.
int restore_users(const std::string& dir, WorkReport& report, WorkObserver& observer);

} // namespace tools
