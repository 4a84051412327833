// Commands through kelvor's own front end, in-process: the record of one run
// is filled as its command line would fill it, the command's case runs on the
// line the service holds open, and what the front end would have written (the
// --json object, the -o file, the trace) is caught in memory.
#include "Execute.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Backup.h"
#include "CopyUsers.h"
#include "Json.h"
#include "OrvantiCom.h"
#include "connection/PortInfo.h"
#include "Report.h"

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

// While a command runs, its trace and its object go to `result`; afterwards
// the trace goes nowhere again (nothing outside a command has a reader).
class Capture {
public:
    Capture(CommandResult& result, int traceLevel) : result_(result), keep_(traceLevel >= 0) {
        trace_to(append_trace, &result_.trace);
        trace_disable(0xFFFFFFFF);
        if (traceLevel >= 0 && traceLevel <= 4) trace_enable(LEVEL_BITS[traceLevel]);
        json_output::set_line_sink(keep_object, &result_.object);
    }
    ~Capture() {
        trace_flush();
        trace_disable(0xFFFFFFFF);
        trace_to(discard);
        json_output::set_line_sink(discard_object);
        if (!keep_) result_.trace.clear();
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

private:
    static void discard_object(const std::string&, void*) {}
    CommandResult& result_;
    bool keep_;
};

// A file that lives in memory only, with a descriptor of its own: a regular
// file to the front end's checks, gone when the last descriptor closes.
int memory_file(const char* name) {
    return ::memfd_create(name, MFD_CLOEXEC);
}

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

CommandResult execute(const CommandRequest& r, const LineSettings& line, const StepObserver& steps) {
    CommandResult result;
    OrvantiCom com(std::vector<std::string>{}, false);
    fill(com, r, line, true);
    if (r.input) {
        const std::vector<uint8_t>& bytes = *r.input;
        const int fd = memory_file("kelvord-input");
        std::FILE* f = nullptr;
        if (fd >= 0 && write_all(fd, bytes.data(), bytes.size()) && ::lseek(fd, 0, SEEK_SET) == 0)
            f = ::fdopen(fd, "rb");
        if (!f && fd >= 0) ::close(fd);
        com.inputFile.reset(f);
        com.inputSize = f ? static_cast<int64_t>(bytes.size()) : 0;
        com.inputError = f ? 0 : (errno ? errno : ENOMEM);
        com.inputPath = r.inputName.empty() ? "input" : r.inputName;
    } else if (!r.inputName.empty()) {
        com.inputPath = r.inputName;
        com.inputError = r.inputError != 0 ? r.inputError : ENOENT;
    }
    int outputFd = -1;
    if (r.output) {
        const int fd = memory_file("kelvord-output");
        outputFd = fd >= 0 ? ::dup(fd) : -1;
        std::FILE* f = outputFd >= 0 ? ::fdopen(fd, "wb") : nullptr;
        if (!f && fd >= 0) ::close(fd);
        com.outputFile.reset(f);
        com.outputError = f ? 0 : (errno ? errno : ENOMEM);
        com.outputPath = r.outputName.empty() ? "output" : r.outputName;
    } else if (!r.outputName.empty()) {
        com.outputPath = r.outputName;
        com.outputError = r.outputError != 0 ? r.outputError : EACCES;
    }
    {
        const Capture capture(result, r.traceLevel);
        const ObservedAnswers observed(steps);
        com.dispatch();
    }
    result.result = com.lastResult;
    if (outputFd >= 0) {
        struct stat st {};
        if (::fstat(outputFd, &st) == 0 && st.st_size > 0) {
            result.output.resize(static_cast<size_t>(st.st_size));
            size_t done = 0;
            while (done < result.output.size()) {
                const ssize_t n = ::pread(outputFd, result.output.data() + done, result.output.size() - done,
                                          static_cast<off_t>(done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            result.output.resize(done);
        }
        ::close(outputFd);
    }
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
    CommandResult result;
    OrvantiCom com(std::vector<std::string>{}, false);
    fill(com, r, line, false);
    {
        const Capture capture(result, r.traceLevel);
        json_output::command_begin();
        err_line(OPEN_FAILED_SITE, "Err: Cannot initialize sdk\n");
        const std::string reason = print_port_diagnosis(com, openResult);
        json_output::command_end(com, ERR_PORT_OPEN, reason);
    }
    result.result = ERR_PORT_OPEN;
    return result;
}

std::string open_failure_reason(const LineSettings& line, int openResult) {
    OrvantiCom com(std::vector<std::string>{}, false);
    fill(com, CommandRequest{}, line, false);
    CommandResult ignored;
    const Capture capture(ignored, -1);
    return print_port_diagnosis(com, openResult);
}

} // namespace kelvord
