// Long options: words beginning with "--" anywhere on the command line,
// handled before the short options. Some end the run at once (--help,
// --version, --commands, --list-ports); --exit-code, --backup and --restore
// change how the run that follows ends or what it does.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "CopyUsers.h"
#include "ModuleSDK.h"
#include "Report.h"

class OrvantiCom;

struct RunExtras {
    bool exitCode = false;
    // Work instead of a command, and its directory.
    int (*work)(OrvantiCom&) = nullptr;
    std::string directory;
    // --scan [FIRST-LAST] and --modules LIST.
    bool scan = false;
    uint32_t scanFirst = 1;
    uint32_t scanLast = 255;
    std::vector<uint16_t> modules;
    // --server SOCKET: the run goes through kelvord; --watch: the line's events.
    std::string server;
    bool watch = false;
    // --copy-users and its options.
    CopyRequest copy;
    // The words of the short options and their values, in their order.
    std::vector<std::string> words;
};

// Handles the long options of argv, wherever they stand (a short option's
// value is never one). Returns the exit status when the run ends with them;
// nothing when the run goes on with the short options' words.
std::optional<int> long_options(int argc, char** argv, RunExtras& extras);

// The usage text of --help.
const char* usage_text();
