// Commands on the line the service holds open: a command runs through its
// case with the bytes a client sent as its input and its output collected as
// bytes (tools::run_with_files), and its object is written from its outcome.
// The works of long options (backup, restore, the copy of users) and the scan
// run through kelvor's own front end, in-process, their objects caught in
// memory.
#include "Execute.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "Backup.h"
#include "CommandFiles.h"
#include "CopyUsers.h"
#include "Json.h"
#include "OrvantiCom.h"
#include "connection/PortInfo.h"
#include "Report.h"
#include "trace/Outcome.h"

using namespace kelvor;

namespace kelvord {

namespace {

// The error line of a run whose connection cannot be opened is the one that
// kelvor's run flow prints: the same reporting site, so the same number.
constexpr int OPEN_FAILED_SITE = err_site::number<err_site::ORVANTI_COM, 132>();

constexpr uint32_t LEVEL_BITS[] = {0, 0x01, 0x03, 0x07, 0x0F};

void discard(const char*, size_t, void*) {}

void append_trace(const char* text, size_t n, void* context) {
    static_cast<std::string*>(context)->append(text, n);
}

void keep_object(const std::string& line, void* context) {
    static_cast<std::string*>(context)->assign(line);
}

void keep_objects(const std::string& line, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(line);
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

// The same for a work of the front end's, whose object goes to `result` too.
class Capture {
public:
    Capture(CommandResult& result, int traceLevel) : trace_(result.trace, traceLevel) {
        json_output::set_line_sink(keep_object, &result.object);
    }
    ~Capture() { json_output::set_line_sink(discard_object); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

private:
    static void discard_object(const std::string&, void*) {}
    TraceCapture trace_;
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

// The record of one run as the command line and the line's settings fill it.
void fill(OrvantiCom& com, const CommandRequest& r, const LineSettings& line, bool live) {
    com.portName = line.port;
    com.baudCode = line.baudCode;
    com.readTimeout = line.readTimeout;
    const LinkState& s = link_state();
    com.networkMode = live ? s.network : line.network;
    com.moduleId = live ? s.moduleId : line.moduleId;
    com.hexText = live ? s.hexText : line.hexText;
    com.traceLevel = r.traceLevel;
    com.chunkSize = r.chunkSize;
    com.command = r.code;
    com.param1 = r.param1;
    com.param2 = r.param2;
    com.flag = r.flag;
    com.batchLine = r.batchLine;
    com.batchPart = r.batchPart;
    com.directoryFile = r.directoryFile;
}

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

// What a work's sinks fill while it runs, and whom they tell.
struct WorkSinks {
    WorkResult* work;
    const WorkProgress* progress;
};

void keep_work_object(const std::string& line, void* context) {
    const auto* w = static_cast<const WorkSinks*>(context);
    w->work->objects.push_back(line);
    if (*w->progress) (*w->progress)("object", line);
}

void keep_work_text(const std::string& text, void* context) {
    static_cast<const WorkSinks*>(context)->work->text += text;
}

void tell_work_entry(const json_output::Object& entry, void* context) {
    const auto* w = static_cast<const WorkSinks*>(context);
    if (*w->progress) (*w->progress)("user", json_output::line_of(entry));
}

bool tell_work_count(uint64_t done, uint64_t total, void* context) {
    const auto* w = static_cast<const WorkSinks*>(context);
    if (*w->progress)
        (*w->progress)("", "\"done\":" + std::to_string(done) + ",\"total\":" + std::to_string(total));
    return true;
}

// While a work runs, its objects, its lines for the operator and its progress
// go to `sinks`; with `text` it writes its lines as a run without --json does.
class WorkCapture {
public:
    WorkCapture(WorkSinks& sinks, bool text) : text_(text) {
        if (text_) json_output::set_on(false);
        json_output::set_line_sink(keep_work_object, &sinks);
        json_output::set_work_text_sink(keep_work_text, &sinks);
        json_output::set_work_entry_sink(tell_work_entry, &sinks);
        json_output::set_work_count_sink(tell_work_count, &sinks);
    }
    ~WorkCapture() {
        json_output::set_work_text_sink(nullptr);
        json_output::set_work_entry_sink(nullptr);
        json_output::set_work_count_sink(nullptr);
        if (text_) json_output::set_on(true);
    }
    WorkCapture(const WorkCapture&) = delete;
    WorkCapture& operator=(const WorkCapture&) = delete;

private:
    bool text_;
};

} // namespace

bool scanned_a_finger(uint8_t code, int result, bool scanSuccess) {
    using namespace packet::cmd;
    // The commands that scan a finger on the module's sensor.
    static constexpr uint8_t SCANNING[] = {ES, ESA, VS, IS, ST, DS, DSA, EW, EWA, VW, VC, EC, KS};
    if (std::find(std::begin(SCANNING), std::end(SCANNING), code) == std::end(SCANNING)) return false;
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

WorkResult execute_work(const WorkOptions& o, const std::string& directory, const LineSettings& line,
                        const WorkProgress& progress) {
    WorkResult work;
    CommandResult captured;
    OrvantiCom com(std::vector<std::string>{}, false);
    fill(com, CommandRequest{}, line, true);
    com.traceLevel = o.traceLevel;
    com.workDirectory = directory;
    if (o.ofList) com.moduleIds = {*o.ofList};
    switch (o.tool) {
    case Tool::Backup: com.work = backup_module; break;
    case Tool::Restore: com.work = restore_module; break;
    case Tool::CopyUsers: {
        com.work = copy_users;
        CopyRequest& copy = com.copyUsers;
        copy.on = true;
        copy.fromModule = o.fromModule;
        if (o.fromModule == 0) copy.fromDirectory = directory;
        for (const auto& [first, last] : o.users) copy.users.push_back(tools::IdRange{first, last});
        copy.replace = o.replace;
        copy.prune = o.prune;
        copy.dryRun = o.dryRun;
        com.moduleIds = o.targets;
        break;
    }
    }
    // A copy addresses its source and targets itself: the module addressed
    // before is addressed again afterwards.
    LinkState& s = link_state();
    const uint16_t addressed = s.moduleId;
    const ModuleSettings settings = module_settings();
    WorkSinks sinks{&work, &progress};
    {
        const Capture capture(captured, o.traceLevel);
        const WorkCapture working(sinks, o.text);
        json_output::command_drop(); // the work reports objects of its own
        work.result = com.work(com);
        if (!o.text) json_output::print_module_text();
    }
    if (o.tool == Tool::CopyUsers) {
        s.moduleId = addressed;
        module_settings() = settings;
    }
    work.partial = com.worstExit == EXIT_PARTIAL;
    work.trace = std::move(captured.trace);
    return work;
}

void execute_setup() {
    keyword_fill();
    json_output::set_on(true);
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
    CommandResult captured;
    OrvantiCom com(std::vector<std::string>{}, false);
    fill(com, CommandRequest{}, line, true);
    com.traceLevel = traceLevel;
    com.scanBus = true;
    com.scanFirst = first;
    com.scanLast = last;
    if (waitMs > 0) {
        // As a run whose command line gives -t: each ID waits that long.
        com.words = {"-t", std::to_string(waitMs)};
        com.wordCount = 2;
        com.readTimeout = waitMs;
    }
    LinkState& s = link_state();
    const uint16_t addressed = s.moduleId;
    const ModuleSettings settings = module_settings();
    {
        const Capture capture(captured, traceLevel);
        json_output::set_line_sink(keep_objects, &scan.objects);
        scan.result = com.scan_bus();
        // The module's text lines of the scan, as an object of their own as in a run of kelvor's.
        json_output::print_module_text();
    }
    s.moduleId = addressed;
    module_settings() = settings;
    serial_set_read_timeout(line.readTimeout);
    scan.trace = std::move(captured.trace);
    for (const std::string& o : scan.objects) {
        const nlohmann::json j = nlohmann::json::parse(o, nullptr, false);
        if (j.is_object() && j.value("kind", "") == "scan_module" && j.value("result", -1) == 0)
            scan.found.push_back(j.value<uint16_t>("module_id", 0));
    }
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
        err_line(OPEN_FAILED_SITE, "Err: Cannot initialize sdk\n");
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
