// What a run reports besides the traces: the front end's error lines, with
// the prefix that names the reporting site, and the exit statuses of
// --exit-code, one class per result code.
#pragma once

#include <cstddef>

#include "ModuleSDK.h"

// An error line of the front end: printed whatever the trace mask, with the
// location prefix "[OrvantiCom.cpp(N)] ". N tells the reporting site: every
// front-end source file owns a block of ERR_SITE_LINES numbers (its
// ERR_SITE_BLOCK, one of err_site) and the line within the file picks the
// number in it, so no two sites of the front end share one, whichever file
// they live in. Scripts match on the prefix.
namespace err_site {
enum Block : int {
    ORVANTI_COM = 0,
    LONG_OPTIONS,
    BACKUP,
    SYSTEM_CASES,
    IMAGE_CASES,
    ENROLL_CASES,
    VERIFY_CASES,
    IDENTIFY_CASES,
    FIRMWARE_CASES,
    ADMIN_CASES,
    DATABASE_CASES,
    WIEGAND_CASES,
    SMART_CARD_CASES,
    ENROLL_BY_WIEGAND_CARD_CASES,
    EVENT_LOG_CASES,
    PORTS_CASES,
    SETTINGS,
    OPTIONS,
    INPUT,
    RAW_MODES,
    FILE_MODES,
    CLOCK_CASES,
    CONNECTED,
    REPORT,
    REMOTE,
    SERVER_RUN,
    WATCH,
    COPY_USERS,
    // The lines of the host's own that the library reports for a command
    // (Outcome::hostLine): numbered by command and check, see host_check_site.
    HOST_CHECKS,
    SERVER_WORK,
};
inline constexpr int LINES = 1000;
template <int block, int line> constexpr int number() {
    static_assert(line > 0 && line < LINES,
                  "a front-end source file has room for 999 lines of reporting sites");
    return block * LINES + line;
}
} // namespace err_site

// Prints "[OrvantiCom.cpp(site)] " and the text; the text (without the
// prefix) is the message of the command's outcome.
void err_line(int site, const char* format, ...) KELVOR_PRINTF(2, 3);

#define ERR_LINE(format, ...)                                                                                \
    err_line(err_site::number<ERR_SITE_BLOCK, __LINE__>(), format __VA_OPT__(, ) __VA_ARGS__)
// The number of a line of the host's own that the library reported for the
// command of `code` (its check, Outcome::hostCheck): one for each command and
// check, in the block HOST_CHECKS.
int host_check_site(uint8_t code, int check);

#define ERR_LINE(format, ...)                                                                                \
    err_line(err_site::number<ERR_SITE_BLOCK, __LINE__>(), format __VA_OPT__(, ) __VA_ARGS__)
// A site whose number the documentation shows, kept when its file changes:
// the number of line `line` of the file's block, which no other site of the
// file may take.
#define ERR_LINE_AT(line, format, ...)                                                                       \
    err_line(err_site::number<ERR_SITE_BLOCK, line>(), format __VA_OPT__(, ) __VA_ARGS__)

// The error line of a case whose input file is missing, and the reason line
// that says why it is (the path and what was wrong with it) when -i named one.
#define ERR_NO_INPUT(com, text) (ERR_LINE(text), (com).explain_input())

// What a command case reports besides the library's result codes: the front
// end refused the command (missing or unreadable input, a bad size) before
// anything was sent.
inline constexpr int FRONT_REFUSED = -1000;

// The exit statuses of --exit-code: the result classes of the library.
inline constexpr int EXIT_SUCCEEDED = static_cast<int>(kelvor::ResultClass::Ok);
inline constexpr int EXIT_REFUSED =
    static_cast<int>(kelvor::ResultClass::Refused); // the module or the front end refused
inline constexpr int EXIT_LINK_FAILED =
    static_cast<int>(kelvor::ResultClass::LinkFailed); // port, time-out, checksum

// A copy of users (--copy-users) that brought some users or targets where they
// belong and others not: neither a success nor a failure.
inline constexpr int EXIT_PARTIAL = 4;

// The exit status class of a result code: 0, EXIT_REFUSED or EXIT_LINK_FAILED.
int exit_class(int result);

// Standard output carries the results of a run: the objects of --json, the
// modules of a scan, the lines of a backup or a restore, the texts of --help,
// --version, --commands, --list-ports and --json-schema. A result that cannot
// be written (a full disk, a reader that went away) is lost, and a run that
// lost one never ends as a success.
namespace results {
// Writes all `n` bytes to standard output after what stdio holds for it;
// false, and the loss remembered, when they cannot be written.
bool write(const char* p, size_t n);
// Whether anything written to standard output so far is lost; what stdio
// holds for it is written out first.
bool lost();
// Why it was lost, the system's words.
const char* why();
// The loss has had its error line (a batch that stops for it says so in its own).
void reported();
// The exit status of a run that ended with `status` (the default 1, a status
// of --exit-code, or the 0 of --help, --version, ...): a run whose results
// were lost gets an error line, once, and fails: with --exit-code at least
// EXIT_REFUSED, without it 1.
int end(int status, bool exitCode);

// While one lives (a batch, the files of a directory), the results emit()
// gets are held back and written out several at once, when a piece of
// HELD_BYTES is full, before the line keeps the run waiting longer than
// HELD_MS, before any other result, and when the Holding goes or a signal
// ends the run: a reader still has each result within HELD_MS of the
// command's end, without a system call for every one. Nothing is held for a
// terminal, nor when standard error may reach the same reader.
inline constexpr size_t HELD_BYTES = 4096; // what a pipe takes in one piece
inline constexpr int HELD_MS = 50;
class Holding {
public:
    Holding();
    ~Holding();
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    bool outer_; // a Holding around this one (a batch line that runs a directory)
};
// One result: written at once as write() writes it, or held while a Holding
// lives; false when results were lost.
bool emit(const char* p, size_t n);
// What is held, written out now.
void release();
} // namespace results
