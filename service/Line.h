// The line the service owns, and the one thread that talks on it. Commands of
// every client wait in one queue and go out one at a time; while none is in
// flight the thread reads what the modules send on their own and publishes it
// as events. A line that is lost (the port gone, the module silent) is opened
// again with a bounded back-off; the thread never ends for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "Execute.h"
#include "ModuleSDK.h"

namespace kelvord {

// The longest any job may hold the line, in seconds: past it the job is
// stopped (the line's interrupt) and answered so. Two hours take a backup or
// restore of the most the service hands over (REQUEST_FILES_BYTES_MAX) at
// the lowest rate, 9600 baud, with room to spare.
inline constexpr int JOB_SECONDS_MAX = 7200;

struct LineOptions {
    LineSettings settings;
    std::vector<uint16_t> modules; // --modules: a line of several, each addressed by its ID
    int heartbeatMs = 10000;       // a status check after this long without traffic; 0: none
    int reopenMinMs = 100;         // the back-off between attempts to open a lost line,
    int reopenMaxMs = 5000;        // doubling from the first to the last
    int jobSecondsMax = JOB_SECONDS_MAX;
};

struct ModuleInfo {
    std::optional<uint16_t> id; // none on a line in single-module mode
    std::string state;          // "ok", "not_answering" or "unknown"
    std::optional<uint32_t> status;
};

// What a client may know of the line at any moment, without waiting for it.
struct LineSnapshot {
    LineSettings settings;
    std::string state = "opening"; // "opening", "open" or "lost"
    std::string reason;            // why it is lost
    std::vector<ModuleInfo> modules;
    size_t queued = 0; // jobs waiting
    bool busy = false; // a job in flight
};

// What a command comes back with: its result, or why it could not be run
// (a request the line cannot carry out as it stands).
using CommandOutcome = std::variant<CommandResult, std::string>;

class Line {
public:
    using Publish = std::function<void(std::string eventLine)>;
    using Log = std::function<void(const std::string& text)>;

    // `publish` and `log` are called on the line's thread.
    Line(LineOptions options, Publish publish, Log log);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    void start();
    // Ends a wait in progress (a command's too), and the thread.
    void stop();

    // Every job belongs to an owner (a client) and carries its request's tag
    // (its id as the client gave it): cancel() and abandon() find it so.
    struct JobKey {
        std::weak_ptr<const void> owner;
        std::string tag;
    };
    // Queues a command; `done` is called on the line's thread when it has run,
    // unless `owner` is gone before it starts (then it never runs). `steps`,
    // when given, hears of each answer of the module while it runs. A job
    // stopped (cancelled, its owner gone, past JOB_SECONDS_MAX) is done with
    // why instead of its result.
    void submit_command(JobKey key, CommandRequest request, std::function<void(CommandOutcome)> done,
                        StepObserver steps = {});
    // Queues a backup of the module (its files come back), a restore from
    // `files`, or a copy of users (from a module, or from `files`): the front
    // end's work on a directory of the service's own, removed afterwards; the
    // objects and lines name it `directory`. `progress` is called on the
    // line's thread as the work goes.
    struct Work {
        std::optional<uint16_t> moduleId;
        std::string directory;
        std::vector<BackupFile> files;
        WorkOptions options;
        WorkProgress progress;
    };
    struct WorkDone {
        WorkResult work;
        std::vector<BackupFile> files; // of a backup
    };
    using WorkOutcome = std::variant<WorkDone, std::string>;
    void submit_work(JobKey key, Work work, std::function<void(WorkOutcome)> done);
    // Queues a scan of the line for the modules of IDs first to last.
    using ScanOutcome = std::variant<ScanResult, std::string>;
    void submit_scan(JobKey key, uint32_t first, uint32_t last, int traceLevel, int waitMs,
                     std::function<void(ScanOutcome)> done);

    // The jobs of `key.owner` with `key.tag`: a queued one is taken out and
    // done with "cancelled" (on the caller's thread), the running one is
    // stopped and done so. Whether there was any; another owner's never.
    bool cancel(const JobKey& key);
    // Every job of `owner`, whose client is gone: the running one is stopped,
    // the queued ones never run.
    void abandon(const std::weak_ptr<const void>& owner);

    LineSnapshot snapshot() const;

private:
    struct Job {
        JobKey key;
        std::function<void()> run;                // with the line open
        std::function<void(int)> unavailable;     // the line could not be opened: the latest result
        std::function<void(std::string)> refused; // taken out of the queue: why
    };
    void submit(Job job);
    // The job in flight, as the watchdog and cancel() see it (under mutex_).
    struct Running {
        bool on = false;
        JobKey key;
        std::chrono::steady_clock::time_point deadline{};
        std::string stopped;    // why it was stopped; "" while it runs
        bool finishing = false; // its outcome is being handed over: no stop any more
    };
    std::vector<Job> take_queued(const std::function<bool(const Job&)>& match);
    void stop_running(const std::string& why);
    // In a job, before its outcome: why it was stopped, or "" (and it cannot be any more).
    std::string finish_job();
    // Whether the running job has been stopped (it goes on to its end quickly).
    bool job_stopped() const;
    void after_stop();
    void watch_main();
    static bool same_owner(const std::weak_ptr<const void>& a, const std::weak_ptr<const void>& b) {
        return !a.owner_before(b) && !b.owner_before(a);
    }
    void thread_main();
    int open_line();
    void line_open(bool first);
    void line_lost(const std::string& reason);
    std::string loss_reason(const char* failure) const;
    void reopen_when_due(std::unique_lock<std::mutex>& lock);
    bool try_reopen();
    void wait_for_events();
    void heartbeat();
    void publish_event(const kelvor::LineEvent& event);
    void flush_noise();
    std::string address(std::optional<uint16_t> moduleId);
    void after_command(int result);
    void note_module(uint16_t id, const std::string& state, std::optional<uint32_t> status);
    void update_snapshot();
    int64_t now_ms() const;

    LineOptions options_;
    Publish publish_;
    Log log_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    bool waiting_ = false; // in the wait for events: a new job interrupts it
    LineSnapshot snapshot_;
    Running running_;
    std::condition_variable watch_; // a job began or ended, or the line stops
    // The line's state in the library: its port, link, settings, trace and
    // interrupt. Its thread works on it; other threads only interrupt it.
    kelvor::Line wire_;
    // The module's text lines that no command took (the opening's, those
    // between commands), recorded on the line's thread until they are told as
    // events.
    kelvor::Outcome lineText_;
    std::vector<std::string> take_line_text();
    std::thread watchdog_;

    // The line thread's own.
    std::thread thread_;
    bool open_ = false;
    bool everOpen_ = false;
    int lastOpenResult = 0;
    int backoffMs_ = 0;
    std::chrono::steady_clock::time_point nextAttempt_{};
    std::chrono::steady_clock::time_point lastAttempt_{};
    std::chrono::steady_clock::time_point lastTraffic_{};
    bool checkSoon_ = false;
    int silentChecks_ = 0;
    size_t heartbeatTurn_ = 0;
    std::map<uint16_t, kelvor::ModuleSettings> moduleSettings_;
    std::map<uint16_t, ModuleInfo> modules_;
    std::string noise_;
    int64_t noiseMs_ = 0;
};

} // namespace kelvord
