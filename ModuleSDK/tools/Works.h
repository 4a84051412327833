// The works of the long options, below every front end: a backup of a
// module's template database into a directory, its restore from one, the copy
// of users from a source onto modules, and the scan of a shared line. The
// program that runs one gives where it reports (WorkOutput): the command line
// its standard output and --json, the service its client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BackupDirectory.h"
#include "ErrorSites.h"
#include "JsonWriter.h"
#include "ModuleSDK.h"
#include "ModuleUsers.h"

namespace backup {
struct Problem;
}

namespace tools {

// Where a work reports as it goes.
class WorkOutput {
public:
    virtual ~WorkOutput() = default;
    // Whether the work's objects are wanted; without them its lines for the
    // operator are all it reports.
    virtual bool objects() const = 0;
    // A line (or part of one) for the operator.
    virtual void text(const std::string& text) = 0;
    // One object of the work, whole.
    virtual void print(const json_output::Object& object) = 0;
    // A user's entry of a backup or restore, as it is done.
    virtual void entry(const json_output::Object&) {}
    // A copy's pairs of user and target done, of the total; false stops the copy.
    virtual bool count(uint64_t, uint64_t) { return true; }
    // After each user of a backup (`total` 0: it does not know its count
    // ahead) or a restore; false stops the work before the next user: a
    // backup then writes nothing, a restore leaves the rest not tried
    // (ERR_STOPPED).
    virtual bool user_done(uint64_t, uint64_t) { return true; }
    // The module's text lines that no object has taken yet, moved to `record`
    // (a work's object carries them first).
    virtual void pending_text(kelvor::Outcome&) {}
    // Whether what the work reports can no longer be written (a reader gone):
    // a scan stops then; its reason, and that the reason has been told.
    virtual bool lost() { return false; }
    virtual const char* lost_reason() { return ""; }
    virtual void loss_reported() {}
};

// What a copy of users is asked.
struct CopyRequest {
    bool on = false;           // --copy-users
    uint16_t fromModule = 0;   // --from-module ID: the source on the same line
    std::string fromDirectory; // --from DIR: a backup directory
    IdFilter users;            // --users LIST; empty: every user
    bool replace = false;      // --replace
    bool prune = false;        // --prune
    bool dryRun = false;       // --dry-run
};

// What a work is given.
struct Work {
    std::string workDirectory;
    // The modules of a list: one module of it named by a backup's or restore's
    // object (moduleId), or the targets of a copy.
    std::vector<uint16_t> moduleIds;
    uint16_t moduleId = 0; // the module addressed
    bool broadcast = false;
    CopyRequest copyUsers;
    WorkOutput* output = nullptr;
    // A copy brought some users or targets where they belong and others not.
    bool partial = false;
};

int backup_module(Work& work);
int restore_module(Work& work);
// The exit status of --exit-code: 0 when every target holds the source's
// users; `partial` when some do and others not (a conflict kept, a user or a
// target that failed); the worst failure when none does.
int copy_users(Work& work);
// The object of a backup or restore (`restore`) that failed with `result`
// before it began (a module of a list that does not answer), with `message`,
// the line that said why.
void work_not_begun(Work& work, bool restore, int result, const std::string& message);
// The error line of what is wrong with a backup directory; `undone` names what
// the run therefore leaves undone ("restored": "; nothing is restored"), or is
// empty. Returns the host's refusal.
int report_backup_problem(const backup::Problem& problem, const char* undone);
// The reporting site of a backup directory's fault (one of its own for each).
err_site::Site backup_fault_site(backup::Fault fault);

// The scan of a shared line: every ID from first to last asked for its
// status, one after the other, each waiting `waitMs` (the rate's probe wait
// when 0 or less); `details` reads each module's firmware and templates too.
struct ScanRequest {
    uint32_t first = 1;
    uint32_t last = 255;
    int waitMs = 0;
    int readTimeout = 1000; // the line's read time-out, set again afterwards
    bool details = false;
    bool showProgress = false; // the progress line on a terminal's standard error
    std::string portName;      // for the reason of a port that is gone
    WorkOutput* output = nullptr;
    std::vector<uint16_t> found; // out: the modules that answered
};
int scan_bus(ScanRequest& scan);
// How long a probe waits for its answer at `baudRate`: twice the wire time of
// a request and its answer, and the module's turnaround.
int probe_wait_ms(int baudRate, int hexText);

// The work's output on the calling thread while one runs (set by the works
// above): their steps report through it.
namespace work_output {
bool on();
void text(const std::string& text);
void entry(const json_output::Object& entry);
bool count(uint64_t done, uint64_t total);
bool user_done(uint64_t done, uint64_t total);
void print(const json_output::Object& object);
// An object with the module's text lines of the record as "module_text".
void print_with_module_text(json_output::Object object, const kelvor::Outcome& record);
void begin_record(kelvor::Outcome& record);
// While one lives, the calling thread's works report to `output`.
class Scope {
public:
    explicit Scope(WorkOutput* output);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    WorkOutput* outer_;
};
} // namespace work_output

} // namespace tools
