// Long options: words beginning with "--" at the head of the command line,
// handled before the short options. Some end the run at once (--help,
// --version, --commands, --list-ports); --exit-code, --backup and --restore
// change how the run that follows ends or what it does.
#pragma once

#include <optional>
#include <string>

#include "ModuleSDK.h"

class OrvantiCom;

// The exit statuses of --exit-code: the result classes of the library.
inline constexpr int EXIT_SUCCEEDED = static_cast<int>(kelvor::ResultClass::Ok);
inline constexpr int EXIT_REFUSED =
    static_cast<int>(kelvor::ResultClass::Refused); // the module or the front end refused
inline constexpr int EXIT_LINK_FAILED =
    static_cast<int>(kelvor::ResultClass::LinkFailed); // port, time-out, checksum

struct RunExtras {
    bool exitCode = false;
    // Work instead of a command, and its directory.
    int (*work)(OrvantiCom&) = nullptr;
    std::string directory;
    // Index in argv of the first word of the short options.
    int firstWord = 1;
};

// Handles the long options at the head of argv. Returns the exit status when
// the run ends with them; nothing when the run goes on with argv[firstWord..].
std::optional<int> long_options(int argc, char** argv, RunExtras& extras);

// The exit status class of a result code: 0, EXIT_REFUSED or EXIT_LINK_FAILED.
int exit_class(int result);

// The usage text of --help.
const char* usage_text();

// The line after "Err: Cannot initialize sdk": why the port could not be used,
// from the system's error of the serial layer and the opening's result code.
void print_port_diagnosis(const OrvantiCom& com, int openResult);

// Serial ports present: one line each, as --list-ports prints them.
void print_serial_ports(std::FILE* out);

// Backup and restore of the module's templates (Backup.cpp).
int backup_module(OrvantiCom& com);
int restore_module(OrvantiCom& com);
