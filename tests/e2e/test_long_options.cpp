// What kelvor offers beyond the short options: --help, --commands and the
// manual's command table (docs/commands.md), the line on why a port could not be used, the
// progress line on a terminal, and the exit statuses of --exit-code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CommandFiles.h"
#include "CommandReference.h"
#include "ErrorLines.h"
#include "FarEnd.h"
#include "ModuleSDK.h"
#include "Numbers.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::Bytes;
using Args = std::vector<std::string>;

constexpr uint8_t SUCCEED_FLAG = 0x61, NOT_FOUND_FLAG = 0x69;

Args on_port(const std::string& port, int baud, const Args& args) {
    Args all = {"-P", port, "-b", std::to_string(baud), "-t", "200"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Runs kelvor in `cwd` with its standard error (and, with `stdoutToo`, its
// standard output) on a pseudo-terminal; what the terminal showed and the exit status.
farend::RunResult run_on_terminal(const Args& args, const std::string& cwd, bool stdoutToo = false) {
    farend::RunResult r;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        if (!stdoutToo) dup2(null, 1);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> argv = {const_cast<char*>(KELVOR_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(KELVOR_BIN, argv.data());
        _exit(127);
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break; // EIO once the child is gone
        r.err.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// ------------------------------------------------------------ command reference

TEST(CommandReference, EveryDispatcherCodeAndEveryKeywordIsDescribed) {
    keyword_fill();
    for (int code = 1; code < 256; ++code) {
        const auto c = static_cast<uint8_t>(code);
        const bool keyword = std::string(keyword_name(KW_COMMAND, code)) != "Unknown";
        if (tools::has_command_case(c) || keyword) {
            EXPECT_NE(command_info(c), nullptr) << "code " << code;
        }
    }
    // Each description belongs to a code the keyword table names, and each
    // option it lists is one the command line has.
    const std::string known[] = {"-p1", "-p2", "-f", "-i", "-o", "-s"};
    for (const CommandInfo& info : command_reference()) {
        const char* keyword = keyword_name(KW_COMMAND, info.code);
        EXPECT_STRNE(keyword, "Unknown") << "code " << int(info.code);
        EXPECT_EQ(parse_command(keyword), info.code);
        EXPECT_TRUE(contains(std::string(info.example) + " ", std::string("-c ") + keyword + " "))
            << info.example;
        for (const OptionUse& use : info.uses) {
            if (!use.option) break;
            EXPECT_NE(std::find(std::begin(known), std::end(known), use.option), std::end(known))
                << use.option;
        }
    }
}

TEST(CommandReference, ManualTableIsTheGeneratedOne) {
    keyword_fill();
    char* text = nullptr;
    size_t size = 0;
    std::FILE* memory = open_memstream(&text, &size);
    print_command_list(memory, true);
    std::fclose(memory);
    const std::string generated(text, size);
    std::free(text);

    std::ifstream page(std::string(KELVOR_SOURCE_DIR) + "/docs/commands.md");
    std::stringstream all;
    all << page.rdbuf();
    const std::string doc = all.str();
    const size_t section = doc.find("\n## The command reference\n");
    ASSERT_NE(section, std::string::npos) << "docs/commands.md has a section ## The command reference";
    const size_t table = doc.find("| Keyword |", section);
    ASSERT_NE(table, std::string::npos);
    EXPECT_EQ(doc.substr(table, generated.size()), generated)
        << "regenerate it with: kelvor --commands --markdown";
}

TEST(LongOptions, HelpVersionCommandsAndUnknownOptions) {
    farend::TempDir dir;
    struct Case {
        Args args;
        int status;
        const char* out; // a part of the standard output
        const char* err; // a part of the standard error stream
    };
    const Case cases[] = {
        {{"--help"}, 0, "--exit-code", ""},
        {{"--version"}, 0, "kelvor 0.", ""},
        {{"--commands"}, 0, "WPR  0xC7", ""},
        {{"--commands", "es"}, 0, "kelvor -c ES -p1 5 -f 0x71", ""},
        {{"--commands", "0x62"}, 0, "-s   chunk size", ""},
        {{"--commands", "QQ"}, 1, "", "Err: No such command: QQ"},
        {{"--list-ports"}, 0, "", ""},
        {{"--frobnicate", "-c", "SS"}, 1, "", "Err: Unknown option: --frobnicate"},
        {{"--exit-code", "--frobnicate"}, 2, "", "--frobnicate"},
        {{"--exit-code", "-c", "SS"}, 2, "", "Err: No baudrate is specified"},
        {{"--backup"}, 1, "", "Err: --backup needs a directory"},
        // Long options anywhere; a short option's value is never one.
        {{"-h"}, 0, "--exit-code", ""},
        {{"-V"}, 0, "kelvor 0.", ""},
        {{"-c", "SS", "--exit-code"}, 2, "", "Err: No baudrate is specified"},
        {{"-x2", "-c", "SS", "--bogus"}, 1, "", "Err: Unknown option: --bogus"},
        {{"-c", "SS", "-b", "9600", "--bogus", "--exit-code"}, 2, "", "Err: Unknown option: --bogus"},
        {{"-x1", "--exit-code", "--restore"}, 2, "", "Err: --restore needs a directory"},
        {{"-P", "--not-an-option", "-c", "SS", "--exit-code"}, 2, "", "Err: No baudrate is specified"},
        {{"-c", "SS", "--version"}, 0, "kelvor 0.", ""},
        // One run does one piece of work: a second one is refused, not taken over the first.
        {{"--exit-code", "--restore", "bk", "--backup", "bx"},
         2,
         "",
         "Err: --restore bk and --backup bx: one run makes one backup or one restore"},
        {{"--backup", "bx", "-x2", "--restore", "bk"}, 1, "", "Err: --backup bx and --restore bk: one run"},
        {{"--exit-code", "--backup", "a", "--backup", "b"}, 2, "", "Err: --backup a and --backup b: one run"},
        {{"--exit-code", "--scan", "1-3", "--scan", "4-5"}, 2, "", "Err: --scan is given twice"},
        // A copy of users: one source, its own options only with it, one piece of work.
        {{"--copy-users"},
         1,
         "",
         "Err: --copy-users needs a source: --from-module ID (a module of the line) or --from DIR"},
        {{"--exit-code", "--copy-users", "--from", "bk"}, 2, "", "Err: No baudrate is specified"},
        {{"--exit-code", "--copy-users", "--from", "bk", "--backup", "bx"},
         2,
         "",
         "Err: --copy-users and --backup bx: one run makes one backup, restore or copy"},
        {{"--exit-code", "--restore", "bk", "--copy-users", "--from", "bx"},
         2,
         "",
         "Err: --restore bk and --copy-users: one run makes one backup, restore or copy"},
        {{"--exit-code", "--copy-users", "--from", "bk", "--copy-users"},
         2,
         "",
         "Err: --copy-users is given twice"},
        {{"--exit-code", "--prune", "-c", "SS"}, 2, "", "Err: --prune is an option of --copy-users"},
        {{"--exit-code", "--from", "bk"}, 2, "", "Err: --from is an option of --copy-users"},
        {{"--exit-code", "--copy-users", "--from-module", "1", "--from", "bk"},
         2,
         "",
         "Err: A copy has one source: --from-module ID or --from DIR, once"},
        {{"--exit-code", "--copy-users", "--from-module", "0"},
         2,
         "",
         "Err: --from-module needs one module ID (1 to 65535): 0 is outside 1 to 65535"},
        {{"--exit-code", "--copy-users", "--from-module", "2-3"},
         2,
         "",
         "Err: --from-module needs one module ID"},
        {{"--exit-code", "--copy-users", "--from", "bk", "--users", "5-1"},
         2,
         "",
         "Err: --users needs a list of user IDs such as 3,5,100-199: the range runs backwards"},
        {{"--exit-code", "--copy-users", "--from", "bk", "--dry-run", "--dry-run"},
         2,
         "",
         "Err: --dry-run is given twice"},
        {{"--exit-code", "--scan", "--copy-users", "--from", "bk"},
         2,
         "",
         "Err: --scan goes alone: not with --copy-users"},
        // The word after --scan is its range unless it is an option, and a bad
        // range is refused: no scan of the default IDs instead.
        {{"--exit-code", "--scan", "abc"}, 2, "", "Err: --scan abc: 'abc' is no module ID\n"},
        {{"--exit-code", "--scan", "-5"}, 2, "", "Err: --scan -5: '-5' is no module ID range\n"},
        {{"--exit-code", "--scan", " 1-3"}, 2, "", "Err: --scan  1-3: ' 1' is no module ID\n"},
        {{"--exit-code", "--scan", "5-1"}, 2, "", "Err: --scan 5-1: the range runs backwards\n"},
        {{"--exit-code", "--scan", "0x10-0x10000"}, 2, "", "Err: --scan 0x10-0x10000: 0x10000 is outside 1"},
        {{"--exit-code", "--scan", "0x1-0x8"}, 2, "", "Err: No baudrate is specified"}, // taken: hexadecimal
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        farend::RunResult r = farend::run_kelvor(c.args, dir.path());
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(contains(r.out, c.out)) << r.out;
        EXPECT_TRUE(contains(r.err, c.err)) << r.err;
    }
    // The usage names every short option.
    farend::RunResult help = farend::run_kelvor({"--help"}, dir.path());
    for (const char* option : {"-B",           "-F",       "-P",        "-a",           "-b",
                               "-c",           "-d",       "-f",        "-i",           "-m",
                               "-n",           "-o",       "-p1",       "-p2",          "-s",
                               "-t",           "-w",       "-xD",       "--help",       "--commands",
                               "--list-ports", "--backup", "--restore", "--copy-users", "--from-module",
                               "--from",       "--users",  "--replace", "--prune",      "--dry-run"})
        EXPECT_TRUE(contains(help.out, std::string("  ") + option)) << option;
}

// ------------------------------------------------------------ port diagnosis

TEST(PortDiagnosis, TheLineAfterTheOpeningErrorSaysWhy) {
    farend::TempDir dir;
    dir.write("plain", std::string("not a tty"));
    mkdir(dir.file("folder").c_str(), 0755);
    struct Case {
        const char* name;
        std::string port;
        std::string why;
    };
    const Case cases[] = {
        {"missing", dir.file("ttyUSB7"), "       No such device: " + dir.file("ttyUSB7") + "; "},
        {"directory", dir.file("folder"),
         "       " + dir.file("folder") + " is a directory, not a serial device"},
        {"regular file", dir.file("plain"), "       " + dir.file("plain") + " is not a serial device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        farend::RunResult r = farend::run_kelvor({"-P", c.port, "-b", "9600", "-c", "SS", "-x4"}, dir.path());
        const std::string err = r.err;
        const std::string opening =
            farend::site_prefix(err_site::RUN_CANNOT_INITIALIZE_SDK) + "Err: Cannot initialize sdk\n";
        EXPECT_EQ(err.substr(0, opening.size() + c.why.size()), opening + c.why);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
    }
}

TEST(PortDiagnosis, AHeldPortNamesItsHolder) {
    POSIX_TOOL_ONLY("the holder of a port, from /proc");
    farend::Script s;
    farend::FarEnd fe(s);
    const int fd = open(fe.port().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    farend::TempDir dir;
    farend::RunResult r = farend::run_kelvor(on_port(fe.port(), 115200, {"-c", "SS"}), dir.path());
    EXPECT_TRUE(contains(r.err, "\n       " + fe.port() + " is in use by another program (PID " +
                                    std::to_string(getpid()) + ", "))
        << r.err;
    close(fd);
}

TEST(PortDiagnosis, PermissionDeniedTellsTheGroup) {
    POSIX_TOOL_ONLY("device permissions and groups");
    // Needs a user the permission applies to: as root, the run drops to nobody.
    farend::Script s;
    farend::FarEnd fe(s);
    farend::TempDir dir;
    ASSERT_EQ(chmod(fe.port().c_str(), 0), 0);
    chmod(dir.path().c_str(), 0777);
    farend::RunResult r;
    if (geteuid() == 0) {
        int pipeFd[2];
        ASSERT_EQ(pipe(pipeFd), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeFd[1], 2);
            if (chdir(dir.path().c_str()) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
            execl(KELVOR_BIN, KELVOR_BIN, "-P", fe.port().c_str(), "-b", "9600", "-c", "SS", nullptr);
            _exit(127);
        }
        close(pipeFd[1]);
        char buf[1024];
        for (ssize_t n; (n = read(pipeFd[0], buf, sizeof buf)) > 0;)
            r.err.append(buf, static_cast<size_t>(n));
        close(pipeFd[0]);
        int status = 0;
        waitpid(pid, &status, 0);
    } else {
        r = farend::run_kelvor({"-P", fe.port(), "-b", "9600", "-c", "SS"}, dir.path());
    }
    EXPECT_TRUE(contains(r.err, "       Permission denied on " + fe.port() + ": add the user to the group "))
        << r.err;
    EXPECT_TRUE(contains(r.err, "then log in again\n")) << r.err;
}

// ----------------------------------------------------------------- progress

// An image record of w x h pixels as the module sends it.
Bytes image_record(uint32_t w, uint32_t h) {
    Bytes rec(IMAGE_HEADER_SIZE + w * h, 0x80);
    for (size_t i = 0; i < IMAGE_HEADER_SIZE; ++i) rec[i] = 0;
    packet::put32(&rec[0], w);
    packet::put32(&rec[4], h);
    packet::put32(&rec[20], w * h);
    return rec;
}

TEST(Progress, ShownOnATerminalForALongTransferAndNeverOnAPipe) {
    POSIX_TOOL_ONLY("a Linux terminal as the tool's standard error");
    // 10028 bytes at 9600 baud: about ten seconds on a real line.
    const Bytes record = image_record(100, 100);
    auto script = [&] {
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::RI, 0, 0, 0)
            .answer(cmd::RI, 0, static_cast<uint32_t>(record.size()), SUCCEED_FLAG)
            .send(farend::data_block(record));
        return s;
    };
    farend::TempDir dir;
    {
        farend::FarEnd fe(script());
        farend::RunResult r = run_on_terminal(on_port(fe.port(), 9600, {"-c", "RI", "-x2"}), dir.path());
        EXPECT_TRUE(fe.finish().ok);
        EXPECT_TRUE(contains(r.err, "  0% 0/10028 bytes")) << r.err;
        EXPECT_TRUE(contains(r.err, "\r\033[K")) << "the line is erased";
        // Without the progress line the trace reads as before.
        std::string trace = r.err;
        for (size_t at = 0; (at = trace.find('\r', at)) != std::string::npos;) {
            if (trace.compare(at, 2, "\r\n") == 0) {
                ++at;
                continue;
            }
            trace.erase(at, trace.find("\033[K", at) + 3 - at);
        }
        EXPECT_TRUE(contains(trace, "[API] Get Image Data: 0x272c\r\n      Width: 0x64 Height: 0x64"))
            << trace;
    }
    {
        farend::FarEnd fe(script());
        farend::RunResult r = farend::run_kelvor(on_port(fe.port(), 9600, {"-c", "RI", "-x2"}), dir.path());
        EXPECT_TRUE(fe.finish().ok);
        EXPECT_FALSE(contains(r.err, "\r")) << r.err;
        EXPECT_FALSE(contains(r.err, "bytes")) << r.err;
    }
    {
        // At 115200 baud the same transfer takes less than a second: no line.
        farend::FarEnd fe(script());
        farend::RunResult r = run_on_terminal(on_port(fe.port(), 115200, {"-c", "RI", "-x2"}), dir.path());
        EXPECT_TRUE(fe.finish().ok);
        EXPECT_FALSE(contains(r.err, "bytes")) << r.err;
    }
}

// A module's text line cannot drive the operator's terminal: on a terminal its
// control characters show escaped, on a pipe its bytes go out as they came.
TEST(TextLines, ControlCharactersAreShownEscapedOnATerminal) {
    POSIX_TOOL_ONLY("a Linux terminal as the tool's standard output");
    const Bytes line = {'[', 'a', 0x1B, '[', '2', 'J', 'b', 0x07, 0x7F, '\t', ']', '\r'};
    auto script = [&] {
        farend::Script s;
        s.open_sequence()
            .expect_packet(cmd::SS, 0, 0, 0)
            .send_raw(line)
            .answer(cmd::SS, 0x30, 0, SUCCEED_FLAG);
        return s;
    };
    farend::TempDir dir;
    {
        farend::FarEnd fe(script());
        const farend::RunResult r =
            run_on_terminal(on_port(fe.port(), 115200, {"-c", "SS"}), dir.path(), true);
        EXPECT_TRUE(fe.finish().ok);
        EXPECT_TRUE(contains(r.err, "[a^[[2Jb^G^?\t]\r")) << r.err;
        EXPECT_FALSE(contains(r.err, "\033[2J")) << r.err;
    }
    {
        farend::FarEnd fe(script());
        const farend::RunResult r = farend::run_kelvor(on_port(fe.port(), 115200, {"-c", "SS"}), dir.path());
        EXPECT_TRUE(fe.finish().ok);
        EXPECT_EQ(r.out, std::string(line.begin(), line.end()) + "\n");
    }
}

// ---------------------------------------------------------------- exit code

TEST(ExitCode, TheWorstOutcomeOfABatch) {
    struct Line {
        const char* text;
        uint8_t code;
        uint32_t param2;
        uint8_t flag;
        int answer; // flag of the answer, -1: the module is silent, 0: nothing is sent
    };
    struct Case {
        const char* name;
        std::vector<Line> lines;
        int status;
    };
    const Line save = {"-c SF", 0x02, 0, 0, SUCCEED_FLAG};
    const Line calibrate = {"-c CS", 0x1A, 0, 0, SUCCEED_FLAG};
    const Line refused = {"-c SW -f 0x66 -p2 1", 0x01, 1, 0x66, NOT_FOUND_FLAG};
    const Line noFile = {"-c VT -p1 1 -p2 4", 0, 0, 0, 0};
    const Line raw = {"-c 0x3F", 0x3F, 0, 0, SUCCEED_FLAG};
    const Line silent = {"-c CS", 0x1A, 0, 0, -1};
    const Case cases[] = {
        {"all succeed", {save, calibrate, raw}, 0},
        {"the module refuses one", {save, refused, calibrate}, 2},
        {"the front end refuses one", {save, noFile}, 2},
        {"the link fails on the last", {refused, save, silent}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool exitCode : {true, false}) {
            farend::Script s;
            s.open_sequence();
            std::string batch;
            for (const Line& line : c.lines) {
                batch += std::string(line.text) + "\n";
                if (line.answer == 0) continue;
                s.expect_packet(line.code, 0, line.param2, line.flag);
                if (line.answer > 0) s.answer(line.code, 0, 0, static_cast<uint8_t>(line.answer));
            }
            farend::TempDir dir;
            dir.write("batch.txt", batch);
            farend::FarEnd fe(s);
            Args args = on_port(fe.port(), 115200, {"-F", "batch.txt"});
            if (exitCode) args.insert(args.begin(), "--exit-code");
            farend::RunResult r = farend::run_kelvor(args, dir.path());
            EXPECT_TRUE(fe.finish().ok);
            EXPECT_EQ(r.status, exitCode ? c.status : 1) << r.err;
        }
    }
}

TEST(ExitCode, AFailedOpeningIsALinkFailure) {
    farend::TempDir dir;
    farend::RunResult r =
        farend::run_kelvor({"--exit-code", "-P", dir.file("none"), "-b", "9600", "-c", "SS"}, dir.path());
    EXPECT_EQ(r.status, 3);
}

} // namespace
