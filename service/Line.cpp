#include "Line.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "LineEvents.h"
#include "Platform.h"
#include "connection/PortInfo.h"
#include "trace/Outcome.h"

using namespace kelvor;
using line_events::line_event;
using line_events::noise_event;
using line_events::packet_event;
using line_events::text_event;

namespace kelvord {

namespace {

using Clock = std::chrono::steady_clock;

// The longest wait for events in one go: the thread looks at its heartbeat
// and its queue at least this often.
constexpr int EVENT_WAIT_MAX_MS = 1000;
// Bytes that make nothing are gathered into one event while they keep coming
// closer than this, up to NOISE_MAX bytes.
constexpr int NOISE_GAP_MS = 3;
constexpr size_t NOISE_MAX = 256;
// Status checks that go unanswered before the line counts as lost.
constexpr int SILENT_CHECKS_MAX = 2;
// The read time-out of the cancel that follows a stopped job: the module
// answers it at once when it answers at all, and the next job is not held
// longer than a few of these.
constexpr int STOP_SETTLE_MS = 250;
// How often the watchdog looks whether the running job's client is still there.
constexpr int OWNER_CHECK_MS = 200;
const char* const CANCELLED = "cancelled";

std::string settings_text(const LineSettings& s) {
    std::string t = s.port + " at " + std::to_string(baud_rate_of_code(s.baudCode)) + " baud";
    if (s.network == 1) t += ", network mode";
    if (s.hexText == 1) t += ", hex text";
    return t;
}

} // namespace

Line::Line(LineOptions options, Publish publish, Log log)
    : options_(std::move(options)), publish_(std::move(publish)), log_(std::move(log)) {
    snapshot_.settings = options_.settings;
    for (const uint16_t id : options_.modules) modules_[id] = ModuleInfo{id, "unknown", std::nullopt};
    if (options_.modules.empty() && options_.settings.network == 1)
        modules_[options_.settings.moduleId] =
            ModuleInfo{options_.settings.moduleId, "unknown", std::nullopt};
    update_snapshot();
}

Line::~Line() {
    stop();
}

void Line::start() {
    thread_ = std::thread([this] { thread_main(); });
    watchdog_ = std::thread([this] { watch_main(); });
}

void Line::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wire_.interrupt();
    wake_.notify_all();
    watch_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (watchdog_.joinable()) watchdog_.join();
}

int64_t Line::now_ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Line::submit(Job job) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    snapshot_.queued = jobs_.size();
    // A wait for events gives way at once; a command in flight is never interrupted.
    if (waiting_) wire_.interrupt();
    wake_.notify_all();
}

bool Line::cancel(const JobKey& key) {
    std::vector<Job> taken;
    bool running = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        taken = take_queued(
            [&](const Job& job) { return same_owner(job.key.owner, key.owner) && job.key.tag == key.tag; });
        const Running& r = running_;
        if (r.on && r.stopped.empty() && !r.finishing && same_owner(r.key.owner, key.owner) &&
            r.key.tag == key.tag) {
            stop_running(CANCELLED);
            running = true;
        }
    }
    for (Job& job : taken) job.refused(CANCELLED);
    return running || !taken.empty();
}

void Line::abandon(const std::weak_ptr<const void>& owner) {
    std::vector<Job> dropped; // destroyed outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    dropped = take_queued([&](const Job& job) { return same_owner(job.key.owner, owner); });
    if (running_.on && same_owner(running_.key.owner, owner)) stop_running("the client is gone");
}

// Under mutex_: the queued jobs that `match` takes, out of the queue.
std::vector<Line::Job> Line::take_queued(const std::function<bool(const Job&)>& match) {
    std::vector<Job> taken;
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (match(*it)) {
            taken.push_back(std::move(*it));
            it = jobs_.erase(it);
        } else {
            ++it;
        }
    }
    snapshot_.queued = jobs_.size();
    return taken;
}

// Under mutex_. The job's next read ends at once, and so does every one
// after it until the job is over: the job ends quickly, as a silent module
// would end it, and its outcome becomes `why`.
void Line::stop_running(const std::string& why) {
    Running& r = running_;
    if (!r.on || r.finishing || !r.stopped.empty()) return;
    r.stopped = why;
    log_("a job stopped: " + why);
    wire_.interrupt();
}

std::string Line::finish_job() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_.finishing = true;
    return running_.stopped;
}

bool Line::job_stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !running_.stopped.empty();
}

// After a stopped job the module may still wait (for a finger, for data):
// a cancel ends that wait, and what it still had to say comes with the
// cancel's answer. With a short read time-out, so that the next job is not
// held by a module that does not answer.
void Line::after_stop() {
    serial_clear_interrupt();
    if (!open_) return;
    const int readTimeout = options_.settings.readTimeout;
    serial_set_read_timeout(std::min(readTimeout, STOP_SETTLE_MS));
    const int rc = cancel_command();
    serial_set_read_timeout(readTimeout);
    after_command(rc);
    // The module answered just now: no status check is due for the stopped job's silence.
    if (rc == 0) checkSoon_ = false;
}

// The watchdog of the running job: it stops one that passes the longest time
// any job may take, or whose client is gone.
void Line::watch_main() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!running_.on || !running_.stopped.empty() || running_.finishing) {
            // A look every OWNER_CHECK_MS: a job is not announced to the watchdog.
            watch_.wait_for(lock, std::chrono::milliseconds(OWNER_CHECK_MS));
            continue;
        }
        const auto now = Clock::now();
        if (now >= running_.deadline) {
            stop_running("the job held the line for longer than the " +
                         std::to_string(options_.jobSecondsMax) + " s that any job may take");
            continue;
        }
        if (running_.key.owner.expired()) {
            stop_running("the client is gone");
            continue;
        }
        watch_.wait_until(lock, std::min(running_.deadline, now + std::chrono::milliseconds(OWNER_CHECK_MS)));
    }
}

void Line::submit_command(JobKey key, CommandRequest request, std::function<void(CommandOutcome)> done,
                          StepObserver steps) {
    Job job;
    job.key = std::move(key);
    job.run = [this, request = std::move(request), done, steps = std::move(steps)]() {
        if (std::string why = address(request.moduleId); !why.empty()) {
            done(why);
            return;
        }
        // Nothing a module or a file announces may end the service (memory
        // that cannot be had, say): the command is answered with why.
        try {
            bool scanSuccess = false;
            StepObserver observer;
            if (steps || request.readImage) {
                observer = [&scanSuccess, &steps](const AnswerStep& step) {
                    if (step.flag == SCAN_SUCCESS) scanSuccess = true;
                    if (steps) steps(step);
                };
            }
            CommandResult result = execute(request, options_.settings, observer);
            after_command(result.result);
            if (request.readImage) {
                // The finger's image, read in the same turn on the line: no
                // other command's scan comes between.
                result.readImage = true;
                if (open_ && !job_stopped() && scanned_a_finger(request.code, result.result, scanSuccess)) {
                    CommandRequest ri;
                    ri.code = packet::cmd::RI;
                    ri.moduleId = request.moduleId;
                    ri.output = true;
                    ri.outputName = "image.bmp";
                    result.image = std::make_shared<CommandResult>(execute(ri, options_.settings));
                    after_command(result.image->result);
                }
            }
            if (std::string why = finish_job(); !why.empty()) {
                done(why);
                return;
            }
            done(std::move(result));
        } catch (const std::exception& e) {
            log_(std::string("a command failed: ") + e.what());
            std::string why = finish_job();
            done(why.empty() ? std::string("the command failed: ") + e.what() : why);
        }
    };
    job.unavailable = [this, request, done](int openResult) {
        done(execute_unopened(request, options_.settings, openResult));
    };
    job.refused = [done](std::string why) { done(std::move(why)); };
    submit(std::move(job));
}

void Line::submit_scan(JobKey key, uint32_t first, uint32_t last, int traceLevel, int waitMs,
                       std::function<void(ScanOutcome)> done) {
    Job job;
    job.key = std::move(key);
    job.run = [this, first, last, traceLevel, waitMs, done]() {
        if (link_state().network != 1) {
            done(std::string(
                "a scan asks the modules of a line in network mode (-n 1 or --modules); this line "
                "is in single-module mode"));
            return;
        }
        try {
            ScanResult scan = execute_scan(first, last, traceLevel, waitMs, options_.settings);
            for (const uint16_t id : scan.found) note_module(id, "ok", std::nullopt);
            after_command(scan.result);
            if (std::string why = finish_job(); !why.empty()) {
                done(why);
                return;
            }
            done(std::move(scan));
        } catch (const std::exception& e) {
            log_(std::string("a scan failed: ") + e.what());
            std::string why = finish_job();
            done(why.empty() ? std::string("the scan failed: ") + e.what() : why);
        }
    };
    job.unavailable = [this, done](int openResult) {
        done("the line is lost: " + open_failure_reason(options_.settings, openResult));
    };
    job.refused = [done](std::string why) { done(std::move(why)); };
    submit(std::move(job));
}

namespace {

// A directory of the service's own for the files of one backup or restore,
// removed with everything in it when this goes.
class WorkDirectory {
public:
    WorkDirectory() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/kelvord-XXXXXX";
        if (::mkdtemp(pattern.data())) base_ = pattern;
    }
    ~WorkDirectory() {
        if (!base_.empty()) remove_tree(base_, 0);
    }
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;
    const std::string& base() const { return base_; }

private:
    // What the work leaves is a directory of files, and perhaps one more of a
    // backup that stopped: two levels at most.
    static void remove_tree(const std::string& path, int depth) {
        if (DIR* d = ::opendir(path.c_str())) {
            while (const dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                const std::string full = path + "/" + name;
                struct stat st {};
                if (::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && depth < 2)
                    remove_tree(full, depth + 1);
                else
                    ::unlink(full.c_str());
            }
            ::closedir(d);
        }
        ::rmdir(path.c_str());
    }
    std::string base_;
};

// The files of a backup directory as the work wrote them, in name order.
bool read_backup_files(const std::string& dir, std::vector<BackupFile>& files, std::string& why) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        why = "the backup wrote no directory";
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    uint64_t total = 0;
    for (const std::string& name : names) {
        BackupFile f{name, {}};
        const int fd = ::open((dir + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0) ::close(fd);
            why = "the backup's file " + name + " cannot be read";
            return false;
        }
        total += static_cast<uint64_t>(st.st_size);
        if (total > REQUEST_FILES_BYTES_MAX) {
            ::close(fd);
            why = "the backup is larger than the " + std::to_string(REQUEST_FILES_BYTES_MAX >> 20) +
                  " MiB the service hands over: run kelvor --backup on the port, while kelvord is stopped";
            return false;
        }
        f.data.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < f.data.size()) {
            const ssize_t n = ::read(fd, f.data.data() + done, f.data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::close(fd);
        f.data.resize(done);
        files.push_back(std::move(f));
    }
    return true;
}

bool write_backup_files(const std::string& dir, const std::vector<BackupFile>& files, std::string& why) {
    if (::mkdir(dir.c_str(), 0700) != 0) {
        why = "cannot create the directory of the restore: " + std::string(std::strerror(errno));
        return false;
    }
    for (const BackupFile& f : files) {
        const int fd =
            ::open((dir + "/" + f.name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 || !write_all(fd, f.data.data(), f.data.size())) {
            why = "cannot write " + f.name + " for the restore: " + std::strerror(errno);
            if (fd >= 0) ::close(fd);
            return false;
        }
        ::close(fd);
    }
    return true;
}

// Every mention of the work's own directory made the name the client gave it.
void rename_directory(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// The same in the text of a JSON object: the name as a JSON string holds it.
void rename_directory_in_json(std::string& object, const std::string& from, const std::string& to) {
    const std::string quoted =
        nlohmann::json(to).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    rename_directory(object, from, quoted.substr(1, quoted.size() - 2));
}

} // namespace

void Line::submit_work(JobKey key, Work work, std::function<void(WorkOutcome)> done) {
    Job job;
    job.key = std::move(key);
    auto shared = std::make_shared<Work>(std::move(work));
    job.run = [this, shared, done]() {
        const Work& w = *shared;
        const WorkOptions& o = w.options;
        const bool copy = o.tool == Tool::CopyUsers;
        if (copy && (o.fromModule != 0 || !o.targets.empty()) && link_state().network != 1) {
            done(std::string("a copy between modules of a line needs a line in network mode (-n 1 or "
                             "--modules); this line is in single-module mode"));
            return;
        }
        // A copy onto a list of targets addresses each of them itself.
        if (!copy || w.moduleId || o.targets.empty()) {
            if (std::string why = address(w.moduleId); !why.empty()) {
                done(why);
                return;
            }
        }
        try {
            const WorkDirectory tmp;
            if (tmp.base().empty()) {
                done(std::string("no directory for the work's files: ") + std::strerror(errno));
                return;
            }
            // The service's own name for the directory; the client's name is
            // put back into what the work says of it.
            const std::string dir = tmp.base() + "/backup";
            std::string why;
            const bool fromFiles = o.tool == Tool::Restore || (copy && o.fromModule == 0);
            if (fromFiles && !write_backup_files(dir, w.files, why)) {
                done(why);
                return;
            }
            WorkProgress progress;
            if (w.progress)
                progress = [&w, &dir](const char* member, const std::string& json) {
                    std::string named = json;
                    rename_directory_in_json(named, dir, w.directory);
                    w.progress(member, named);
                };
            WorkDone result{execute_work(o, dir, options_.settings, progress), {}};
            after_command(result.work.result);
            if (std::string stopped = finish_job(); !stopped.empty()) {
                done(stopped);
                return;
            }
            if (o.tool == Tool::Backup && result.work.result == 0 &&
                !read_backup_files(dir, result.files, why)) {
                done(why);
                return;
            }
            for (std::string& object : result.work.objects)
                rename_directory_in_json(object, dir, w.directory);
            rename_directory(result.work.text, dir, w.directory);
            rename_directory(result.work.trace, dir, w.directory);
            done(std::move(result));
        } catch (const std::exception& e) {
            log_(std::string("a backup, restore or copy failed: ") + e.what());
            std::string why = finish_job();
            done(why.empty() ? std::string("the work failed: ") + e.what() : why);
        }
    };
    job.unavailable = [this, done](int openResult) {
        done("the line is lost: " + open_failure_reason(options_.settings, openResult));
    };
    job.refused = [done](std::string why) { done(std::move(why)); };
    submit(std::move(job));
}

LineSnapshot Line::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshot_;
}

void Line::update_snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_.settings = options_.settings;
    snapshot_.modules.clear();
    if (options_.settings.network != 1 && options_.modules.empty()) {
        ModuleInfo single{std::nullopt, "unknown", std::nullopt};
        if (const auto it = modules_.find(0); it != modules_.end()) single = it->second;
        single.id.reset();
        snapshot_.modules.push_back(single);
    } else {
        for (const auto& [id, info] : modules_)
            if (id != 0) snapshot_.modules.push_back(info);
    }
    snapshot_.queued = jobs_.size();
}

void Line::note_module(uint16_t id, const std::string& state, std::optional<uint32_t> status) {
    ModuleInfo& m = modules_[id];
    if (id != 0) m.id = id;
    m.state = state;
    if (status) m.status = status;
}

// ------------------------------------------------------------------ opening

std::vector<std::string> Line::take_line_text() {
    std::vector<std::string> lines;
    lines.swap(lineText_.moduleText);
    return lines;
}

int Line::open_line() {
    const LineSettings& s = options_.settings;
    module_close();
    int rc;
    if (!options_.modules.empty()) {
        rc = module_open_line(s.port.c_str(), s.baudCode, s.hexText, s.readTimeout);
        if (rc == 0) {
            // Each module checked once, its settings kept for when it is addressed.
            bool any = false;
            for (const uint16_t id : options_.modules) {
                const int answer = module_select(id);
                uint32_t status = 0;
                if (answer == 0) {
                    moduleSettings_[id] = module_settings();
                    system_status_check(&status);
                    any = true;
                }
                note_module(id, answer == 0 ? "ok" : "not_answering",
                            answer == 0 ? std::optional<uint32_t>(status) : std::nullopt);
            }
            link_state().moduleId = options_.modules.front();
            if (moduleSettings_.count(options_.modules.front()))
                module_settings() = moduleSettings_[options_.modules.front()];
            if (!any) rc = ERR_READ_TIMEOUT;
        }
    } else {
        rc = module_open(s.port.c_str(), s.baudCode, s.hexText, s.network, s.moduleId, s.readTimeout);
        if (rc == 0) {
            uint32_t status = 0;
            const int answer = system_status_check(&status);
            const uint16_t key = s.network == 1 ? s.moduleId : 0;
            moduleSettings_[key] = module_settings();
            note_module(key, "ok", answer == 0 ? std::optional<uint32_t>(status) : std::nullopt);
        }
    }
    // The module's text lines of the opening are events like any other.
    const std::vector<std::string> text = take_line_text();
    const int64_t ms = now_ms();
    for (const std::string& line : text) publish_(text_event(line, ms));
    if (rc != 0) module_close();
    return rc;
}

void Line::line_open(bool first) {
    open_ = true;
    backoffMs_ = 0;
    silentChecks_ = 0;
    checkSoon_ = false;
    lastTraffic_ = Clock::now();
    const char* state = first ? "open" : "reopened";
    log_(std::string("line ") + state + ": " + settings_text(options_.settings));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot_.state = "open";
        snapshot_.reason.clear();
    }
    update_snapshot();
    publish_(line_event(state, options_.settings.port, {}, now_ms()));
}

void Line::line_lost(const std::string& reason) {
    flush_noise();
    open_ = false;
    module_close();
    for (auto& [id, info] : modules_) {
        info.state = "unknown";
        info.status.reset();
    }
    backoffMs_ = options_.reopenMinMs;
    nextAttempt_ = Clock::now() + std::chrono::milliseconds(backoffMs_);
    log_("line lost: " + reason);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot_.state = "lost";
        snapshot_.reason = reason;
    }
    update_snapshot();
    publish_(line_event("lost", options_.settings.port, reason, now_ms()));
}

bool Line::try_reopen() {
    lastAttempt_ = Clock::now();
    const int rc = open_line();
    if (rc == 0) {
        const bool first = !everOpen_;
        everOpen_ = true;
        line_open(first);
        return true;
    }
    lastOpenResult = rc;
    const std::string reason = open_failure_reason(options_.settings, rc);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (snapshot_.reason != reason) {
            snapshot_.reason = reason;
            log_("line still lost: " + reason);
        }
    }
    backoffMs_ = std::min(std::max(backoffMs_ * 2, options_.reopenMinMs), options_.reopenMaxMs);
    nextAttempt_ = Clock::now() + std::chrono::milliseconds(backoffMs_);
    return false;
}

// Why the line failed, told before it is closed: for a port behind a network
// server what became of the connection, for a local port whether the port
// itself is gone or only `failure` happened.
std::string Line::loss_reason(const char* failure) const {
    if (std::string why = network_loss_reason(options_.settings.port); !why.empty()) return why;
    return serial_port_lost() ? "the port is gone (unplugged, or its far side closed)" : failure;
}

// ------------------------------------------------------------------ the thread

void Line::thread_main() {
    // Every call of the library on this thread works on this line's own state.
    const kelvor::LineScope scope(wire_);
    // The module's text lines are kept, not printed: each command's go to its
    // object, the others become events.
    const kelvor::outcome::Scope texts(lineText_, kelvor::outcome::Recording{false, true});
    execute_setup();
    const int rc = open_line();
    if (rc == 0) {
        everOpen_ = true;
        line_open(true);
    } else {
        lastOpenResult = rc;
        line_lost(open_failure_reason(options_.settings, rc));
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!open_) {
            // Lost: an attempt when one is due, or at once for a job unless one
            // has just failed; the jobs that find it lost still are answered so.
            wake_.wait_until(lock, nextAttempt_, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) break;
            const auto now = Clock::now();
            const bool attempt =
                now >= nextAttempt_ ||
                (!jobs_.empty() && now - lastAttempt_ >= std::chrono::milliseconds(options_.reopenMinMs));
            if (attempt) {
                lock.unlock();
                const bool reopened = try_reopen();
                lock.lock();
                if (reopened) continue;
            }
            while (!jobs_.empty()) {
                Job job = std::move(jobs_.front());
                jobs_.pop_front();
                snapshot_.queued = jobs_.size();
                lock.unlock();
                if (!job.key.owner.expired()) job.unavailable(lastOpenResult);
                lock.lock();
            }
            continue;
        }
        // Open: a job first, else the line's own traffic.
        serial_clear_interrupt();
        if (!jobs_.empty()) {
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            snapshot_.queued = jobs_.size();
            snapshot_.busy = true;
            // The watchdog finds the job at its next look (OWNER_CHECK_MS):
            // nobody is woken for a job that ends before.
            running_ = Running{
                true, job.key, Clock::now() + std::chrono::seconds(options_.jobSecondsMax), {}, false};
            lock.unlock();
            flush_noise();
            if (!job.key.owner.expired()) job.run();
            lock.lock();
            const bool stopped = !running_.stopped.empty();
            running_ = Running{};
            lock.unlock();
            if (stopped) after_stop();
            // Text lines of a module that no command took (after its answer, or
            // of a module turned to) are nobody's command's: they are events.
            for (const std::string& text : take_line_text())
                publish_(text_event(text, now_ms()));
            lastTraffic_ = Clock::now();
            lock.lock();
            snapshot_.busy = false;
            continue;
        }
        waiting_ = true;
        lock.unlock();
        wait_for_events();
        lock.lock();
        waiting_ = false;
    }
    lock.unlock();
    flush_noise();
    module_close();
}

void Line::wait_for_events() {
    int wait = EVENT_WAIT_MAX_MS;
    if (options_.heartbeatMs > 0 || checkSoon_) {
        const auto due = lastTraffic_ + std::chrono::milliseconds(checkSoon_ ? 0 : options_.heartbeatMs);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
        wait = static_cast<int>(std::clamp<int64_t>(left, 0, EVENT_WAIT_MAX_MS));
    }
    if (!noise_.empty()) wait = std::min(wait, NOISE_GAP_MS);
    LineEvent event;
    const int rc = link_wait_event(event, wait);
    if (rc > 0) {
        lastTraffic_ = Clock::now();
        silentChecks_ = 0;
        publish_event(event);
        return;
    }
    flush_noise();
    if (rc < 0) {
        line_lost(loss_reason("the port cannot be read"));
        return;
    }
    if (serial_interrupted()) return; // a job is waiting
    if (checkSoon_ || (options_.heartbeatMs > 0 &&
                       Clock::now() - lastTraffic_ >= std::chrono::milliseconds(options_.heartbeatMs)))
        heartbeat();
}

void Line::publish_event(const LineEvent& event) {
    const int64_t ms = now_ms();
    if (event.kind == LineEventKind::Noise) {
        if (noise_.empty()) noiseMs_ = ms;
        noise_.append(reinterpret_cast<const char*>(event.bytes.data()), event.length);
        if (noise_.size() >= NOISE_MAX) flush_noise();
        return;
    }
    flush_noise();
    if (event.kind == LineEventKind::Text) {
        publish_(text_event(std::string_view(reinterpret_cast<const char*>(event.bytes.data()), event.length),
                            ms));
        return;
    }
    const bool network = link_state().network == 1;
    publish_(packet_event(event.bytes.data(), event.length, network, ms));
}

void Line::flush_noise() {
    if (noise_.empty()) return;
    publish_(noise_event(reinterpret_cast<const uint8_t*>(noise_.data()), noise_.size(), noiseMs_));
    noise_.clear();
}

// A status check of the module addressed (on a line of several, each module
// in turn), as an exchange of the link's own: what else arrives meanwhile is
// published as events, nothing is traced.
void Line::heartbeat() {
    checkSoon_ = false;
    LinkState& s = link_state();
    const bool network = s.network == 1;
    const uint16_t before = s.moduleId;
    uint16_t target = s.moduleId;
    if (!options_.modules.empty()) {
        target = options_.modules[heartbeatTurn_++ % options_.modules.size()];
        s.moduleId = target;
    }
    const int sent = send_command(packet::cmd::SS, 0, 0, 0);
    s.moduleId = before;
    bool answered = false;
    uint32_t status = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(options_.settings.readTimeout);
    bool jobWaits = false;
    while (sent == 0 && !answered) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        LineEvent event;
        const int rc = link_wait_event(event, static_cast<int>(left));
        if (rc < 0) break;
        if (rc == 0) {
            if (!serial_interrupted()) break;
            // A job came: the answer on its way is awaited still, with the
            // interrupt set aside (while it stands, no read waits at all).
            serial_clear_interrupt();
            jobWaits = true;
            continue;
        }
        if (event.kind == LineEventKind::Packet) {
            const packet::Fields f = packet::decode(event.bytes.data(), network);
            if (f.command == packet::cmd::SS && (!network || f.moduleId == target)) {
                answered = true;
                status = f.param1;
                continue;
            }
        }
        publish_event(event);
    }
    if (jobWaits) wire_.interrupt();
    flush_noise();
    lastTraffic_ = Clock::now();
    if (sent != 0 || serial_port_lost()) {
        line_lost(loss_reason("the port cannot be written"));
        return;
    }
    const uint16_t key = network ? target : 0;
    if (answered) {
        silentChecks_ = 0;
        note_module(key, "ok", status);
        update_snapshot();
        return;
    }
    link_state().unsettled = true;
    note_module(key, "not_answering", std::nullopt);
    update_snapshot();
    // The line is lost when nothing on it answers any more.
    bool anyAnswers = false;
    for (const auto& [id, info] : modules_) anyAnswers = anyAnswers || info.state == "ok";
    if (!anyAnswers && ++silentChecks_ >= SILENT_CHECKS_MAX) {
        line_lost("no module answers a status check within " + std::to_string(options_.settings.readTimeout) +
                  " ms");
        return;
    }
    if (!anyAnswers) checkSoon_ = true;
}

// ------------------------------------------------------------------ commands

std::string Line::address(std::optional<uint16_t> moduleId) {
    LinkState& s = link_state();
    if (s.network != 1) {
        if (moduleId)
            return "\"module_id\" addresses a module of a line in network mode; this line is in "
                   "single-module mode";
        return {};
    }
    if (!moduleId && !options_.modules.empty())
        return "a line of several modules: the request names its \"module_id\"";
    const uint16_t target = moduleId ? *moduleId : s.moduleId;
    if (target == s.moduleId) return {};
    moduleSettings_[s.moduleId] = module_settings();
    if (const auto it = moduleSettings_.find(target); it != moduleSettings_.end()) {
        s.moduleId = target;
        module_settings() = it->second;
        return {};
    }
    // A module not met before: checked once, as an opening checks it.
    if (module_select(target) == 0) {
        moduleSettings_[target] = module_settings();
    } else {
        s.moduleId = target;
        module_settings() = {};
    }
    return {};
}

void Line::after_command(int result) {
    lastTraffic_ = Clock::now();
    if (serial_port_lost()) {
        line_lost(loss_reason("the port cannot be used"));
        return;
    }
    const LinkState& s = link_state();
    const uint16_t key = s.network == 1 ? s.moduleId : 0;
    if (result_class(result) == ResultClass::LinkFailed) {
        // The module may be gone: a status check tells soon.
        checkSoon_ = true;
    } else if (result != RES_FRONT_REFUSED) {
        note_module(key, "ok", std::nullopt); // the module answered
    }
    moduleSettings_[key] = module_settings();
    // Commands that change the line itself (rate, packet form, hex text) are
    // followed by the library; an opening after a loss uses them too.
    LineSettings& now = options_.settings;
    const int rate = wire_.baud_rate();
    const int code = rate > 0 ? packet::baud_code_of(static_cast<uint32_t>(rate)) : -1;
    LineSettings next = now;
    if (code > 0) next.baudCode = code;
    next.network = s.network;
    next.hexText = s.hexText;
    if (options_.modules.empty() && s.network == 1 && now.network != 1) next.moduleId = s.moduleId;
    if (next.baudCode != now.baudCode || next.network != now.network || next.hexText != now.hexText) {
        now = next;
        log_("line settings follow the module: " + settings_text(now));
        if (now.network == 1 && options_.modules.empty() && !modules_.count(now.moduleId))
            modules_[now.moduleId] = ModuleInfo{now.moduleId, "ok", std::nullopt};
    }
    update_snapshot();
}

} // namespace kelvord
