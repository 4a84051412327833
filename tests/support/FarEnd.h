// A scripted far end for tests: a pseudo-terminal whose master side plays the
// module. The script says which bytes the tool must send next (exactly) and
// which bytes the module answers; a thread serves it while the tool (the real
// binary, or the library in-process) talks to the slave side.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace farend {

using Bytes = std::vector<uint8_t>;

// Packets and blocks as they appear on the wire (before any hex-text encoding).
Bytes packet(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag, bool network = false,
             uint16_t moduleId = 1);
Bytes data_block(const Bytes& data); // the bytes followed by the end code 0x0A
Bytes hex_text(const Bytes& bytes);  // each byte as two upper-case hexadecimal characters
Bytes le32(uint32_t value);          // 4 bytes, low byte first
Bytes concat(std::initializer_list<Bytes> parts);
std::string hex_dump(const Bytes& bytes); // "40 04 ... 0a" for failure messages

class Script {
public:
    // Form of the packets and bytes of the steps added after this call.
    Script& network(bool on, uint16_t moduleId = 1);
    Script& hex(bool on);

    // The tool must send exactly these bytes next (hex-encoded first in hex-text form).
    Script& expect(const Bytes& bytes);
    Script& expect_packet(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag);
    // The module sends these bytes (hex-encoded first in hex-text form).
    Script& send(const Bytes& bytes);
    Script& answer(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag);
    // The tool sends n bytes, whatever they are (a packet checked elsewhere):
    // what follows waits for them.
    Script& take(size_t n);
    // Bytes sent or expected exactly as given, whatever the form.
    Script& expect_raw(const Bytes& bytes);
    Script& send_raw(const Bytes& bytes);
    // The module stays silent for ms milliseconds.
    Script& pause(int ms);
    // The module hangs up: the line closes, so the tool's reads fail from now
    // on. Bytes the tool has not read yet are lost; pause before if they matter.
    Script& hangup();
    // The line trickles: `bytes` (in the form of the script) every everyMs,
    // whatever the tool sends, for forMs at most; over as soon as the tool,
    // having opened the line, closes it again. What the tool sends meanwhile
    // is taken as it comes (Outcome::received), not checked.
    Script& trickle(const Bytes& bytes, int everyMs, int forMs);
    // What the connection opening asks: SS, then SR 0x65 and SR 0x75, each answered.
    Script& open_sequence(uint32_t status = 0x30, uint32_t enrollMode = 0x30, uint32_t scanSuccess = 0x30);

    struct Step {
        enum Kind { Expect, Take, Send, Pause, Hangup, Trickle } kind;
        Bytes bytes;
        int ms = 0;
        int forMs = 0; // a trickle's longest run
    };
    const std::vector<Step>& steps() const { return steps_; }

private:
    std::vector<Step> steps_;
    bool network_ = false;
    uint16_t moduleId_ = 1;
    bool hex_ = false;
};

struct Outcome {
    bool ok = false;     // every step was met
    std::string failure; // what went wrong at the first failed step
    Bytes received;      // every byte the tool sent, in order
    Bytes extra;         // bytes the tool sent after the last step
};

class FarEnd {
public:
    explicit FarEnd(Script script, int expectTimeoutMs = 5000);
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    // Path of the slave side, the serial device to give the tool.
    const std::string& port() const;
    // Waits until the script has been served (or failed), then gathers what the
    // tool sends for a further graceMs, and stops.
    Outcome finish(int graceMs = 100);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Runs a binary with arguments in `cwd`; gathers its exit status and both streams.
struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
    long long elapsedMs = 0; // wall time of the run
};
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd);
// The same, and while it runs: `signal` sent after `signalAfterMs` (none when 0);
// still running after limitMs, the program is killed and its status is -2.
RunResult run_program_with(const std::string& program, const std::vector<std::string>& args,
                           const std::string& cwd, int signal, int signalAfterMs, int limitMs = 60000);
RunResult run_kelvor(const std::vector<std::string>& args, const std::string& cwd);
// Where a run's standard output goes, for results that cannot be written.
struct OutputTo {
    std::string file;       // this file (/dev/full, say) instead of a file the run's output is gathered in
    size_t readerLines = 0; // else a pipe, whose reader goes away after this many lines (0: it reads all)
    bool ignoreSigpipe = false; // the run starts with SIGPIPE ignored
};
// The same as run_program_with (limitMs the limit), with standard output as
// `to` says; `out` holds what the pipe's reader read.
RunResult run_program_to(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd, const OutputTo& to, int limitMs = 60000);

// The tool under test: the environment's KELVOR_TEST_TOOL where it names one
// (BUILD/bin/kelvor.exe of a MinGW build folder, which runs under Wine in
// BUILD/wine-prefix), the kelvor of this build otherwise. One test program
// serves both.
const char* tool_binary();
#define KELVOR_BIN (::farend::tool_binary())
// Whether the tool under test is the Windows program, run under Wine.
bool tool_is_windows();
// The name the tool under test opens a device by: the device itself, or for
// the Windows program the COM name linked to it in Wine's prefix.
std::string tool_port(const std::string& device);
// A test of what only the POSIX program does (a Linux device, a signal, a
// FIFO) skips, with its reason, when the tool under test is the Windows one.
#define POSIX_TOOL_ONLY(why)                                                                                 \
    if (farend::tool_is_windows()) GTEST_SKIP() << "the POSIX program only: " << (why)
// The exit status of the tool under test stopped by `signal`: 128 + the
// signal on POSIX systems; for the Windows program, which Wine hands SIGINT
// as Ctrl-C, the low byte of STATUS_CONTROL_C_EXIT (0xC000013A).
inline int stopped_status(int signal) {
    return tool_is_windows() ? 0x3A : 128 + signal;
}
// The path of `name` in `dir` as the tool under test writes it.
inline std::string tool_path(const std::string& dir, const std::string& name) {
    return dir + (tool_is_windows() ? "\\" : "/") + name;
}

// A fresh empty directory, removed with its contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    void write(const std::string& name, const Bytes& content) const;
    std::string read(const std::string& name) const;

private:
    std::string path_;
};

// One run of kelvor against a scripted module: what the tool printed and what
// crossed the line.
struct ToolRun {
    RunResult tool;
    Outcome wire;
};
// Runs kelvor with the serial settings of the tests (115200 baud, a 300 ms
// read time-out, trace level 2) and `args` in `dir`.
ToolRun run_against(const Script& script, const TempDir& dir, const std::vector<std::string>& args);

// Captures what the library's trace log writes while the object lives.
// The prefix of an error line of the host's, "[OrvantiCom.cpp(N)] ", N the site's number.
std::string site_prefix(int site);

class TraceCapture {
public:
    explicit TraceCapture(uint32_t mask);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;
    std::string text(); // everything traced so far

private:
    int fd_ = -1;
    std::string path_;
};

} // namespace farend
