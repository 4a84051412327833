// The works of the long options as the command line runs them: backup,
// restore, the copy of users and the scan report to standard output, or with
// --json as objects (their lines for the operator on standard error then).
#include <string>

#include "Backup.h"
#include "CopyUsers.h"
#include "Json.h"
#include "OrvantiCom.h"
#include "Remote.h"
#include "ServerRun.h"

using namespace kelvor;

namespace {

class CommandLineOutput : public tools::WorkOutput {
public:
    bool objects() const override { return json_output::on(); }
    void text(const std::string& text) override { json_output::work_text(text); }
    void print(const json_output::Object& object) override { json_output::print(object); }
    void entry(const json_output::Object& entry) override { json_output::work_entry(entry); }
    bool count(uint64_t done, uint64_t total) override { return json_output::work_count(done, total); }
    void pending_text(Outcome& record) override { json_output::begin_record(record); }
    bool lost() override { return results::lost(); }
    const char* lost_reason() override { return results::why(); }
    void loss_reported() override { results::reported(); }
};

tools::Work work_of(const OrvantiCom& com, tools::WorkOutput& output) {
    tools::Work w;
    w.workDirectory = com.workDirectory;
    w.moduleIds = com.moduleIds;
    w.moduleId = com.moduleId;
    w.broadcast = com.broadcast != 0;
    w.copyUsers = com.copyUsers;
    w.output = &output;
    return w;
}

bool timeout_given(const OrvantiCom& c) {
    return std::find(c.words.begin(), c.words.end(), "-t") != c.words.end();
}

} // namespace

int backup_module(OrvantiCom& com) {
    CommandLineOutput out;
    tools::Work w = work_of(com, out);
    return tools::backup_module(w);
}

int restore_module(OrvantiCom& com) {
    CommandLineOutput out;
    tools::Work w = work_of(com, out);
    return tools::restore_module(w);
}

int copy_users(OrvantiCom& com) {
    CommandLineOutput out;
    tools::Work w = work_of(com, out);
    const int rc = tools::copy_users(w);
    if (w.partial) com.worstExit = std::max(com.worstExit, EXIT_PARTIAL);
    return rc;
}

void work_not_begun(OrvantiCom& com, int result) {
    if (!json_output::on()) return;
    // The line that said why, recorded before this object began.
    const Outcome& before = json_output::command_outcome();
    const std::string message = before.hasMessage ? before.message : std::string();
    CommandLineOutput out;
    tools::Work w = work_of(com, out);
    tools::work_not_begun(w, com.work == restore_module, result, message);
}

int OrvantiCom::scan_bus() {
    if (remote::active()) return server_scan(*this);
    CommandLineOutput out;
    tools::ScanRequest scan;
    scan.first = scanFirst;
    scan.last = scanLast;
    scan.waitMs = timeout_given(*this) ? readTimeout : tools::probe_wait_ms(baud_rate_of_code(baudCode), hexText);
    scan.readTimeout = readTimeout;
    scan.details = traceLevel >= 2;
    scan.showProgress = true;
    scan.portName = portName;
    scan.output = &out;
    return tools::scan_bus(scan);
}
