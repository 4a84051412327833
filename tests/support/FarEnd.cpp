#include "FarEnd.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;
namespace flag = kelvor::packet::flag;
namespace param = kelvor::packet::param;

using namespace kelvor;

extern char** environ;

namespace farend {

using Clock = std::chrono::steady_clock;

Bytes packet(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag, bool network,
             uint16_t moduleId) {
    packet::Buffer buf{};
    size_t len = packet::encode(buf, network, {command, moduleId, param1, param2, flag});
    return Bytes(buf.begin(), buf.begin() + static_cast<long>(len));
}

Bytes data_block(const Bytes& data) {
    Bytes out = data;
    out.push_back(packet::END_CODE);
    return out;
}

Bytes hex_text(const Bytes& bytes) {
    std::string text(2 * bytes.size(), '\0');
    packet::hex_encode(bytes.data(), bytes.size(), text.data());
    return Bytes(text.begin(), text.end());
}

Bytes le32(uint32_t value) {
    Bytes out(4);
    packet::put32(out.data(), value);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string hex_dump(const Bytes& bytes) {
    std::string out;
    char tmp[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(tmp, sizeof tmp, "%02x", bytes[i]);
        if (i) out += ' ';
        out += tmp;
        if (i >= 200) {
            out += " ...";
            break;
        }
    }
    return out;
}

// ------------------------------------------------------------------ Script

Script& Script::network(bool on, uint16_t moduleId) {
    network_ = on;
    moduleId_ = moduleId;
    return *this;
}
Script& Script::hex(bool on) {
    hex_ = on;
    return *this;
}
Script& Script::expect(const Bytes& bytes) {
    return expect_raw(hex_ ? hex_text(bytes) : bytes);
}
Script& Script::send(const Bytes& bytes) {
    return send_raw(hex_ ? hex_text(bytes) : bytes);
}
Script& Script::expect_packet(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag) {
    return expect(packet(command, param1, param2, flag, network_, moduleId_));
}
Script& Script::answer(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag) {
    return send(packet(command, param1, param2, flag, network_, moduleId_));
}
Script& Script::expect_raw(const Bytes& bytes) {
    steps_.push_back({Step::Expect, bytes, 0});
    return *this;
}
Script& Script::take(size_t n) {
    steps_.push_back({Step::Take, Bytes(n), 0});
    return *this;
}
Script& Script::send_raw(const Bytes& bytes) {
    steps_.push_back({Step::Send, bytes, 0});
    return *this;
}
Script& Script::pause(int ms) {
    steps_.push_back({Step::Pause, {}, ms});
    return *this;
}
Script& Script::hangup() {
    steps_.push_back({Step::Hangup, {}, 0});
    return *this;
}
Script& Script::trickle(const Bytes& bytes, int everyMs, int forMs) {
    steps_.push_back({Step::Trickle, hex_ ? hex_text(bytes) : bytes, everyMs, forMs});
    return *this;
}
Script& Script::open_sequence(uint32_t status, uint32_t enrollMode, uint32_t scanSuccess) {
    expect_packet(cmd::SS, 0, 0, 0);
    answer(cmd::SS, status, 0, flag::SUCCEED);
    expect_packet(cmd::SR, 0, 0, param::ENROLL_MODE);
    answer(cmd::SR, 0, enrollMode, flag::SUCCEED);
    expect_packet(cmd::SR, 0, 0, param::SCAN_SUCCESS);
    answer(cmd::SR, 0, scanSuccess, flag::SUCCEED);
    return *this;
}

// ------------------------------------------------------------------ FarEnd

struct FarEnd::Impl {
    int master = -1;
    std::string port;
    Script script;
    int expectTimeoutMs;
    Outcome outcome;
    std::thread thread;
    bool stopGather = false;

    // Reads up to n bytes, waiting at most until the deadline. A master whose
    // slave is not (yet) open reports a hang-up: wait and retry.
    size_t read_until(uint8_t* dst, size_t n, Clock::time_point deadline) {
        size_t got = 0;
        while (got < n) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd pfd{master, POLLIN, 0};
            int r = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 20)));
            if (r < 0 && errno != EINTR) break;
            if (r <= 0) continue;
            if (pfd.revents & POLLIN) {
                ssize_t k = ::read(master, dst + got, n - got);
                if (k > 0) {
                    got += static_cast<size_t>(k);
                    continue;
                }
            }
            // Hang-up (no slave open right now): wait a little and look again.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return got;
    }

    // A master reports a hang-up while no slave is open: the trickle ends
    // when the tool has opened the line and closed it again.
    void trickle(const Script::Step& step) {
        const auto end = Clock::now() + std::chrono::milliseconds(step.forMs);
        bool opened = false;
        while (Clock::now() < end) {
            pollfd pfd{master, POLLIN, 0};
            ::poll(&pfd, 1, 0);
            if (!(pfd.revents & POLLHUP))
                opened = true;
            else if (opened)
                return;
            if (pfd.revents & POLLIN) {
                uint8_t buf[512];
                const ssize_t k = ::read(master, buf, sizeof buf);
                if (k > 0) outcome.received.insert(outcome.received.end(), buf, buf + k);
            }
            // A tool that does not read lets the line fill: what does not fit is not sent.
            [[maybe_unused]] const ssize_t w = ::write(master, step.bytes.data(), step.bytes.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
        }
    }

    void serve() {
        for (size_t i = 0; i < script.steps().size(); ++i) {
            const auto& step = script.steps()[i];
            if (step.kind == Script::Step::Pause) {
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
            } else if (step.kind == Script::Step::Hangup) {
                ::close(master);
                master = -1;
            } else if (step.kind == Script::Step::Trickle) {
                trickle(step);
            } else if (step.kind == Script::Step::Send) {
                // The master is non-blocking: a tool that stops reading makes
                // the step fail after the expect time-out instead of hanging.
                size_t off = 0;
                auto deadline = Clock::now() + std::chrono::milliseconds(expectTimeoutMs);
                while (off < step.bytes.size()) {
                    ssize_t w = ::write(master, step.bytes.data() + off, step.bytes.size() - off);
                    if (w > 0) {
                        off += static_cast<size_t>(w);
                        deadline = Clock::now() + std::chrono::milliseconds(expectTimeoutMs);
                        continue;
                    }
                    if (w < 0 && errno != EINTR && errno != EAGAIN && errno != EIO) {
                        outcome.failure =
                            "step " + std::to_string(i) + ": write failed: " + std::strerror(errno);
                        return;
                    }
                    if (Clock::now() > deadline) {
                        outcome.failure = "step " + std::to_string(i) + ": the tool stopped reading after " +
                                          std::to_string(off) + " of " + std::to_string(step.bytes.size()) +
                                          " bytes";
                        return;
                    }
                    pollfd pfd{master, POLLOUT, 0};
                    ::poll(&pfd, 1, 5);
                }
            } else {
                Bytes got(step.bytes.size());
                size_t n = read_until(got.data(), got.size(),
                                      Clock::now() + std::chrono::milliseconds(expectTimeoutMs));
                got.resize(n);
                outcome.received.insert(outcome.received.end(), got.begin(), got.end());
                if (step.kind == Script::Step::Take && got.size() != step.bytes.size()) {
                    outcome.failure = "step " + std::to_string(i) + ": expected " +
                                      std::to_string(step.bytes.size()) + " bytes, got [" + hex_dump(got) +
                                      "]";
                    return;
                }
                if (step.kind == Script::Step::Expect && got != step.bytes) {
                    outcome.failure = "step " + std::to_string(i) + ": expected [" + hex_dump(step.bytes) +
                                      "] got [" + hex_dump(got) + "]";
                    return;
                }
            }
        }
        outcome.ok = true;
    }
};

FarEnd::FarEnd(Script script, int expectTimeoutMs) : impl_(std::make_unique<Impl>()) {
    impl_->script = std::move(script);
    impl_->expectTimeoutMs = expectTimeoutMs;
    impl_->master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (impl_->master < 0 || ::grantpt(impl_->master) != 0 || ::unlockpt(impl_->master) != 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    ::fcntl(impl_->master, F_SETFL, ::fcntl(impl_->master, F_GETFL) | O_NONBLOCK);
    impl_->port = ::ptsname(impl_->master);
    impl_->thread = std::thread([this] { impl_->serve(); });
}

FarEnd::~FarEnd() {
    if (impl_->thread.joinable()) impl_->thread.join();
    if (impl_->master >= 0) ::close(impl_->master);
}

const std::string& FarEnd::port() const {
    return impl_->port;
}

Outcome FarEnd::finish(int graceMs) {
    if (impl_->thread.joinable()) impl_->thread.join();
    uint8_t buf[4096];
    auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
    for (;;) {
        size_t n = impl_->read_until(buf, sizeof buf, deadline);
        if (n == 0) break;
        impl_->outcome.extra.insert(impl_->outcome.extra.end(), buf, buf + n);
        impl_->outcome.received.insert(impl_->outcome.received.end(), buf, buf + n);
    }
    return impl_->outcome;
}

// ------------------------------------------------------------- processes

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd) {
    return run_program_with(program, args, cwd, 0, 0, 0);
}

namespace {

// Read once, before any test forks.
std::string from_environment(const char* name, const std::string& otherwise) {
    const char* value = std::getenv(name);
    return value && *value ? value : otherwise;
}
const std::string TOOL = from_environment("KELVOR_TEST_TOOL", KELVOR_NATIVE_BIN);

} // namespace

const char* tool_binary() {
    return TOOL.c_str();
}

bool tool_is_windows() {
    return TOOL.ends_with(".exe");
}

namespace {

// The Wine prefix of the Windows tests, which scripts/wine.sh made and whose
// server it runs: wine-prefix in the MinGW build folder of the tool
// (BUILD/bin/kelvor.exe).
std::string wine_prefix() {
    return (std::filesystem::path(TOOL).parent_path().parent_path() / "wine-prefix").string();
}

// The environment of every wine command, as scripts/wine.sh sets it.
void enter_wine_environment() {
    const std::string prefix = wine_prefix();
    ::setenv("WINEPREFIX", prefix.c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEARCH", "win64", 1);
    ::setenv("TMPDIR", (prefix + ".tmp").c_str(), 1);
    ::setenv("HOME", (prefix + ".tmp").c_str(), 1);
    ::unsetenv("DISPLAY");
}

} // namespace

std::string tool_port(const std::string& device) {
    if (!tool_is_windows()) return device;
    std::error_code ec;
    const std::string real = std::filesystem::weakly_canonical(device, ec).string();
    constexpr std::string_view PTS = "/dev/pts/";
    if (ec || !real.starts_with(PTS) || real.find_first_not_of("0123456789", PTS.size()) != std::string::npos)
        return device;
    // One COM name per pseudo-terminal number, above the ports Wine maps itself.
    const std::string name = "COM" + std::to_string(std::stoi(real.substr(PTS.size())) + 10);
    const std::string prefix = wine_prefix();
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string link = std::string(prefix) + "/dosdevices/" + lower;
    char target[256] = {};
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0 || real != std::string(target, static_cast<size_t>(n))) {
        // Made beside and renamed over: tests running side by side may make it at once.
        const std::string temp = link + "." + std::to_string(::getpid());
        ::unlink(temp.c_str());
        if (::symlink(real.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0)
            throw std::runtime_error("cannot link " + link + " to " + real);
    }
    return name;
}

namespace {

// The words that run `program` with `args`: under Wine, with the COM name of
// a port, for a Windows program. A Windows program never runs without a
// limit: one whose port went away can spin.
std::vector<std::string> command_words(const std::string& program, const std::vector<std::string>& args,
                                       int& limitMs) {
    const bool windows = std::string_view(program).ends_with(".exe");
    std::vector<std::string> words;
    if (windows) {
        words.push_back("wine");
        if (limitMs <= 0) limitMs = 120000;
    }
    words.push_back(program);
    for (size_t i = 0; i < args.size(); ++i) {
        const bool port = windows && i > 0 && args[i - 1] == "-P";
        words.push_back(port ? tool_port(args[i]) : args[i]);
    }
    return words;
}

// In the child: the standard streams, the directory, the environment, then the program.
[[noreturn]] void exec_child(std::vector<std::string>& words, const std::string& cwd, int out, int err,
                             bool ignoreSigpipe) {
    if (::chdir(cwd.c_str()) != 0) _exit(126);
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (ignoreSigpipe) ::signal(SIGPIPE, SIG_IGN);
    if (words[0] == "wine") enter_wine_environment();
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    _exit(127);
}

// Waits for the child: `signal` sent when due, killed after limitMs (status -2).
int wait_child(pid_t pid, std::chrono::steady_clock::time_point start, int signal, int signalAfterMs,
               int limitMs) {
    const auto since = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    };
    int status = 0;
    bool signalled = false, overrun = false;
    if (signal != 0 || limitMs > 0) {
        // Watches the run in short steps: the signal when due, the limit.
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (signal != 0 && !signalled && since() >= signalAfterMs) {
                ::kill(pid, signal);
                signalled = true;
            }
            if (limitMs > 0 && since() >= limitMs) {
                ::kill(pid, SIGKILL);
                overrun = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return overrun ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

RunResult run_program_with(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd, int signal, int signalAfterMs, int limitMs) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> words = command_words(program, args, limitMs);
    TempDir io;
    const std::string outPath = io.file("stdout"), errPath = io.file("stderr");
    RunResult result;
    pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        exec_child(words, cwd, out, err, false);
    }
    result.status = wait_child(pid, start, signal, signalAfterMs, limitMs);
    result.elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    return result;
}

RunResult run_program_to(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd, const OutputTo& to, int limitMs) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> words = command_words(program, args, limitMs);
    TempDir io;
    const std::string errPath = io.file("stderr");
    RunResult result;
    int pipeEnds[2] = {-1, -1};
    if (to.file.empty() && ::pipe(pipeEnds) != 0) return result;
    pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        const int out = to.file.empty() ? pipeEnds[1] : ::open(to.file.c_str(), O_WRONLY);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (pipeEnds[0] >= 0) ::close(pipeEnds[0]);
        exec_child(words, cwd, out, err, to.ignoreSigpipe);
    }
    if (pipeEnds[0] >= 0) {
        // The reader: the lines it wants, then it goes away (as `| head -N` does).
        ::close(pipeEnds[1]);
        size_t lines = 0;
        char c = 0;
        while ((to.readerLines == 0 || lines < to.readerLines) && ::read(pipeEnds[0], &c, 1) == 1) {
            result.out += c;
            if (c == '\n') ++lines;
        }
        ::close(pipeEnds[0]);
    }
    result.status = wait_child(pid, start, 0, 0, limitMs);
    result.elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    result.err = slurp(errPath);
    return result;
}

RunResult run_kelvor(const std::vector<std::string>& args, const std::string& cwd) {
    return run_program(KELVOR_BIN, args, cwd);
}

// ---------------------------------------------------------------- TempDir

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelvor-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a temporary directory");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary);
    out << content;
}

void TempDir::write(const std::string& name, const Bytes& content) const {
    std::ofstream out(file(name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

std::string TempDir::read(const std::string& name) const {
    return slurp(file(name));
}

// ----------------------------------------------------------- TraceCapture

TraceCapture::TraceCapture(uint32_t mask) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelvor-trace-XXXXXX").string();
    fd_ = ::mkstemp(tmpl.data());
    path_ = tmpl;
    trace_reset(fd_);
    trace_enable(mask);
}

TraceCapture::~TraceCapture() {
    trace_reset(2);
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
}

std::string TraceCapture::text() {
    trace_flush();
    return slurp(path_);
}

std::string site_prefix(int site) {
    return "[OrvantiCom.cpp(" + std::to_string(site) + ")] ";
}

ToolRun run_against(const Script& script, const TempDir& dir, const std::vector<std::string>& args) {
    FarEnd fe(script);
    std::vector<std::string> all = {"-P", fe.port(), "-b", "115200", "-t", "300", "-x2"};
    all.insert(all.end(), args.begin(), args.end());
    ToolRun r;
    r.tool = run_kelvor(all, dir.path());
    r.wire = fe.finish();
    return r;
}

} // namespace farend
