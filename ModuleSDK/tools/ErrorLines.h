// The error lines of the host's own (the command line's, the service's, the
// Python package's alike): printed whatever the trace mask, with a prefix
// that names the reporting site, and recorded as the message of the command's
// outcome.
#pragma once

#include <cstdint>

#include "ModuleSDK.h"

// An error line: printed whatever the trace mask, with the location prefix
// "[OrvantiCom.cpp(N)] ". N tells the reporting site: every reporting source
// file owns a block of err_site::LINES numbers (its ERR_SITE_BLOCK, one of
// err_site) and the line within the file picks the number in it, so no two
// sites share one, whichever file they live in. Scripts match on the prefix.
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

// A site whose number the documentation shows, kept when its file changes:
// the number of line `line` of the file's block, which no other site of the
// file may take.
#define ERR_LINE_AT(line, format, ...)                                                                       \
    err_line(err_site::number<ERR_SITE_BLOCK, line>(), format __VA_OPT__(, ) __VA_ARGS__)

// The error line of a case whose input file is missing, and the reason line
// that says why it is (the path and what was wrong with it) when -i named one.
#define ERR_NO_INPUT(com, text) (ERR_LINE(text), (com).explain_input())

// What a command's case reports besides the module's results: the host
// refused the command (missing or unreadable input, a bad size) before
// anything was sent. A row of the result table.
inline constexpr int FRONT_REFUSED = kelvor::RES_FRONT_REFUSED;

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
