// Long options: words beginning with "--" at the head of the command line,
// handled before the short options. Some end the run at once (--help,
// --version, --commands, --list-ports); --exit-code, --backup and --restore
// change how the run that follows ends or what it does.
#pragma once

#include <optional>
#include <string>

#include "ModuleSDK.h"
#include "Report.h"

class OrvantiCom;

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

// The usage text of --help.
const char* usage_text();
