// kelvor --copy-users: the users of a source (a module on the same line, or a
// backup directory) copied onto the module of the connection or the modules
// of --modules. The work is tools/UserCopy; this is its options, its lines for
// the operator and its objects of --json.
#pragma once

#include <cstdint>
#include <string>

#include "ModuleUsers.h"

class OrvantiCom;

// What the long options ask of a copy.
struct CopyRequest {
    bool on = false;            // --copy-users
    uint16_t fromModule = 0;    // --from-module ID: the source on the same line
    std::string fromDirectory;  // --from DIR: a backup directory
    tools::IdFilter users;      // --users LIST; empty: every user
    bool replace = false;       // --replace
    bool prune = false;         // --prune
    bool dryRun = false;        // --dry-run
};

// The work of --copy-users (OrvantiCom::work). The exit status of
// --exit-code: 0 when every target holds the source's users, EXIT_PARTIAL when
// some do and others not (a conflict kept, a user or a target that failed),
// the class of the worst failure when none does.
int copy_users(OrvantiCom& com);
