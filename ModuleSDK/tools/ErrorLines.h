// The error lines of the host's own (the command line's, the service's, the
// Python package's alike): printed whatever the trace mask, with a prefix
// that names the reporting site, and recorded as the message of the command's
// outcome.
#pragma once

#include <cstdint>

#include "ErrorSites.h"
#include "ModuleSDK.h"

// An error line: printed whatever the trace mask, with the location prefix
// "[OrvantiCom.cpp(N)] ", N the number of its site in the table of sites
// (ErrorSites.h). Scripts match on the prefix.

// Prints "[OrvantiCom.cpp(site)] " and the text; the text (without the
// prefix) is the message of the command's outcome.
void err_line(err_site::Site site, const char* format, ...) KELVOR_PRINTF(2, 3);

// The number of a line of the host's own that the library reported for the
// command of `code` (its check, Outcome::hostCheck): one for each command and
// check (see err_site::HOST_CHECKS).
err_site::Site host_check_site(uint8_t code, int check);

// The error line of a case whose input file is missing, and the reason line
// that says why it is (the path and what was wrong with it) when -i named one.
#define ERR_NO_INPUT(com, site, text) (err_line(site, text), (com).explain_input())

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
