// kelvor --copy-users: the users of a source (a module on the same line, or a
// backup directory) copied onto the module of the connection or the modules
// of --modules. The work is the tools' (Works.h, UserCopy.h); this is the
// command line's part of it.
#pragma once

#include "Works.h"

class OrvantiCom;

using tools::CopyRequest;

// The work of --copy-users (OrvantiCom::work). The exit status of
// --exit-code: 0 when every target holds the source's users, EXIT_PARTIAL when
// some do and others not (a conflict kept, a user or a target that failed),
// the class of the worst failure when none does.
int copy_users(OrvantiCom& com);
