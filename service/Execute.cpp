// Commands on the line the service holds open: a command runs through its
// case with the bytes a client sent as its input and its output collected as
// bytes (tools::run_with_files), and its object is written from its outcome;
// the works of the long options (backup, restore, the copy of users) and the
// scan report to the client's result as they go (tools::WorkOutput).
#include "Execute.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "CommandFiles.h"
#include "JsonWriter.h"
#include "Numbers.h"
#include "Works.h"
#include "connection/PortInfo.h"
#include "trace/Outcome.h"

using namespace kelvor;

namespace kelvord {

namespace {

constexpr uint32_t LEVEL_BITS[] = {0, 0x01, 0x03, 0x07, 0x0F};

void discard(const char*, size_t, void*) {}

void append_trace(const char* text, size_t n, void* context) {
    static_cast<std::string*>(context)->append(text, n);
}

// While a command runs, its trace goes to `trace` at the level asked;
// afterwards nowhere again (nothing outside a command has a reader).
class TraceCapture {
public:
    TraceCapture(std::string& trace, int traceLevel) : trace_(trace), keep_(traceLevel >= 0) {
        trace_to(append_trace, &trace_);
        trace_disable(0xFFFFFFFF);
        if (traceLevel >= 0 && traceLevel <= 4) trace_enable(LEVEL_BITS[traceLevel]);
    }
    ~TraceCapture() {
        trace_flush();
        trace_disable(0xFFFFFFFF);
        trace_to(discard);
        if (!keep_) trace_.clear();
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

private:
    std::string& trace_;
    bool keep_;
};

// The line's settings as the library's diagnosis of a port reads them.
kelvor::LineSettings settings_of(const LineSettings& line) {
    kelvor::LineSettings s;
    s.portName = line.port;
    s.baudCode = line.baudCode;
    s.networkMode = line.network;
    s.moduleId = line.moduleId;
    s.hexText = line.hexText;
    s.readTimeout = line.readTimeout;
    return s;
}

int64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

// What names an object of a command: its code, the module it went to, the
// line of a batch or the file of a directory it came from.
json_output::CommandContext context_of(const CommandRequest& r, int moduleId) {
    json_output::CommandContext ctx;
    ctx.code = r.code;
    ctx.moduleId = moduleId;
    ctx.batchLine = r.batchLine;
    ctx.batchPart = r.batchPart;
    ctx.directoryFile = r.directoryFile;
    return ctx;
}

// The descriptor that the call line of a raw packet names for a client's
// input: the first a process opens, as kelvor's own run would have it.
constexpr int CLIENT_INPUT_DESCRIPTOR = 3;

// The observer of a command's answers, as the library calls it.
struct StepContext {
    const StepObserver* observer;
    bool network;
};

void observe_answer(const AnswerPacket& answer, void* context) {
    const auto* c = static_cast<const StepContext*>(context);
    const packet::Fields f = packet::decode(answer.data(), c->network);
    (*c->observer)(AnswerStep{f.command, f.param1, f.param2, f.flag});
}

// The answers of one command go to `observer` while this lives.
class ObservedAnswers {
public:
    ObservedAnswers(const StepObserver& observer) : context_{&observer, link_state().network == 1} {
        if (observer) answer_observer(observe_answer, &context_);
    }
    ~ObservedAnswers() { answer_observer(nullptr); }
    ObservedAnswers(const ObservedAnswers&) = delete;
    ObservedAnswers& operator=(const ObservedAnswers&) = delete;

private:
    StepContext context_;
};

// A work's report for a client: its objects, or its lines for the operator
// (`text`), and each step told as it goes.
class ClientWorkOutput : public tools::WorkOutput {
public:
    ClientWorkOutput(WorkResult& work, const WorkProgress& progress, bool text)
        : work_(work), progress_(progress), text_(text) {}
    bool objects() const override { return !text_; }
    void text(const std::string& text) override { work_.text += text; }
    void print(const json_output::Object& object) override {
        work_.objects.push_back(json_output::line_of(object));
        if (progress_) progress_("object", work_.objects.back());
    }
    void entry(const json_output::Object& entry) override {
        if (progress_) progress_("user", json_output::line_of(entry));
    }
    bool count(uint64_t done, uint64_t total) override {
        if (progress_)
            progress_("", "\"done\":" + std::to_string(done) + ",\"total\":" + std::to_string(total));
        return true;
    }

private:
    WorkResult& work_;
    const WorkProgress& progress_;
    bool text_;
};

// A scan's objects for a client: each module found, then the scan.
class ClientScanOutput : public tools::WorkOutput {
public:
    explicit ClientScanOutput(std::vector<std::string>& objects) : objects_(objects) {}
    bool objects() const override { return true; }
    void text(const std::string&) override {}
    void print(const json_output::Object& object) override {
        objects_.push_back(json_output::line_of(object));
    }

private:
    std::vector<std::string>& objects_;
};

// The module's text lines of a work, when it leaves them to nobody's object:
// an object of their own, as kelvor --json prints them.
void text_lines_object(Outcome& record, std::vector<std::string>& objects) {
    if (record.moduleText.empty()) return;
    json_output::Object o = json_output::object_of("module_text");
    o["module_text"] = std::move(record.moduleText);
    record.moduleText.clear();
    objects.push_back(json_output::line_of(o));
}

} // namespace

bool scanned_a_finger(uint8_t code, int result, bool scanSuccess) {
    if (!packet::command_has(code, packet::trait::SCANS_FINGER)) return false;
    if (scanSuccess) return true;
    // Without SCAN_SUCCESS answers, the outcomes that only a finger scanned can have.
    switch (result) {
    case 0:
    case RES_TRY_AGAIN:
    case RES_FINGER_ALREADY_ENROLLED:
    case RES_NOT_FOUND:
    case RES_NOT_MATCH:
    case RES_DURESS_FINGER:
    case RES_ID_REJECTED:
    case RES_SCAN_FAILED: return true;
    default: return false;
    }
}

WorkResult execute_work(const WorkOptions& o, const std::string& directory, const LineSettings&,
                        const WorkProgress& progress) {
    WorkResult work;
    ClientWorkOutput output(work, progress, o.text);
    tools::Work w;
    w.workDirectory = directory;
    w.output = &output;
    LinkState& s = link_state();
    w.moduleId = s.moduleId;
    if (o.ofList) w.moduleIds = {*o.ofList};
    if (o.tool == Tool::CopyUsers) {
        tools::CopyRequest& copy = w.copyUsers;
        copy.on = true;
        copy.fromModule = o.fromModule;
        if (o.fromModule == 0) copy.fromDirectory = directory;
        for (const auto& [first, last] : o.users) copy.users.push_back(tools::IdRange{first, last});
        copy.replace = o.replace;
        copy.prune = o.prune;
        copy.dryRun = o.dryRun;
        w.moduleIds = o.targets;
    }
    // A copy addresses its source and targets itself: the module addressed
    // before is addressed again afterwards.
    const uint16_t addressed = s.moduleId;
    const ModuleSettings settings = module_settings();
    Outcome record;
    {
        const TraceCapture capture(work.trace, o.traceLevel);
        // The module's text lines that no object of the work takes.
        const outcome::Scope texts(record, outcome::Recording{false, true});
        switch (o.tool) {
        case Tool::Backup: work.result = tools::backup_module(w); break;
        case Tool::Restore: work.result = tools::restore_module(w); break;
        case Tool::CopyUsers: work.result = tools::copy_users(w); break;
        }
    }
    if (!o.text) text_lines_object(record, work.objects);
    if (o.tool == Tool::CopyUsers) {
        s.moduleId = addressed;
        module_settings() = settings;
    }
    work.partial = w.partial;
    return work;
}

void execute_setup() {
    trace_to(discard);
    trace_disable(0xFFFFFFFF);
}

CommandResult execute(const CommandRequest& r, const LineSettings&, const StepObserver& steps) {
    const auto started = std::chrono::steady_clock::now();
    CommandResult result;
    tools::CommandCall call;
    call.command = r.code;
    call.param1 = r.param1;
    call.param2 = r.param2;
    call.flag = r.flag;
    call.chunkSize = r.chunkSize;
    if (r.input) {
        call.input.bytes = std::span<const uint8_t>(*r.input);
        call.input.size = static_cast<int64_t>(r.input->size());
        call.input.path = r.inputName.empty() ? "input" : r.inputName;
        call.input.descriptor = CLIENT_INPUT_DESCRIPTOR;
    } else if (!r.inputName.empty()) {
        call.input.path = r.inputName;
        call.input.error = r.inputError != 0 ? r.inputError : ENOENT;
    }
    if (r.output) {
        call.output.collect = true;
        call.output.path = r.outputName.empty() ? "output" : r.outputName;
    } else if (!r.outputName.empty()) {
        call.output.path = r.outputName;
        call.output.error = r.outputError != 0 ? r.outputError : EACCES;
    }
    call.recordFiles = true;
    Outcome outcome;
    {
        const TraceCapture capture(result.trace, r.traceLevel);
        const ObservedAnswers observed(steps);
        if (!call.output.path.empty() && !call.output.present()) {
            // Refused before anything is sent, as kelvor refuses an -o it cannot create.
            const outcome::Scope scope(outcome);
            call.output_creatable();
            result.result = FRONT_REFUSED;
        } else {
            result.result = tools::run_with_files(call, outcome);
        }
    }
    const LinkState& s = link_state();
    json_output::CommandContext ctx = context_of(r, s.network == 1 ? s.moduleId : -1);
    ctx.files = &call.written;
    ctx.elapsedMs = elapsed_ms(started);
    result.object = json_output::command_object(outcome, result.result, ctx);
    result.output = std::move(call.output.bytes);
    return result;
}

ScanResult execute_scan(uint32_t first, uint32_t last, int traceLevel, int waitMs, const LineSettings& line) {
    ScanResult scan;
    ClientScanOutput output(scan.objects);
    LinkState& s = link_state();
    tools::ScanRequest request;
    request.first = first;
    request.last = last;
    // As a run whose command line gives -t: each ID waits that long.
    request.waitMs = waitMs > 0 ? waitMs : tools::probe_wait_ms(baud_rate_of_code(line.baudCode), s.hexText);
    request.readTimeout = line.readTimeout;
    request.details = traceLevel >= 2;
    request.portName = line.port;
    request.output = &output;
    const uint16_t addressed = s.moduleId;
    const ModuleSettings settings = module_settings();
    Outcome record;
    {
        const TraceCapture capture(scan.trace, traceLevel);
        const outcome::Scope texts(record, outcome::Recording{false, true});
        scan.result = tools::scan_bus(request);
    }
    // The module's text lines of the scan, as an object of their own as in a run of kelvor's.
    text_lines_object(record, scan.objects);
    s.moduleId = addressed;
    module_settings() = settings;
    serial_set_read_timeout(line.readTimeout);
    scan.found = std::move(request.found);
    return scan;
}

CommandResult execute_unopened(const CommandRequest& r, const LineSettings& line, int openResult) {
    const auto started = std::chrono::steady_clock::now();
    CommandResult result;
    Outcome outcome;
    std::string reason;
    {
        const TraceCapture capture(result.trace, r.traceLevel);
        const outcome::Scope scope(outcome);
        // The error line that kelvor's run flow prints when its port does not open.
        err_line(err_site::RUN_CANNOT_INITIALIZE_SDK, "Err: Cannot initialize sdk\n");
        reason = print_port_diagnosis(settings_of(line), openResult);
    }
    result.result = ERR_PORT_OPEN;
    json_output::CommandContext ctx = context_of(r, line.network == 1 ? line.moduleId : -1);
    ctx.reason = reason;
    ctx.elapsedMs = elapsed_ms(started);
    result.object = json_output::command_object(outcome, result.result, ctx);
    return result;
}

std::string open_failure_reason(const LineSettings& line, int openResult) {
    std::string ignored;
    const TraceCapture capture(ignored, -1);
    return print_port_diagnosis(settings_of(line), openResult);
}

} // namespace kelvord
