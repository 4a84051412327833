// Backup and restore of a module's template database into a directory, as
// the command line runs them (the work itself is the tools', Works.h): one
// file per user and a manifest with the module settings, the administrator
// levels and policies, and the SHA-256 of every file.
#pragma once

#include "Works.h"

class OrvantiCom;

int backup_module(OrvantiCom& com);
int restore_module(OrvantiCom& com);
// With --json, the object of a backup or restore (com.work) that failed with
// `result` before it began (a module of --modules that does not answer),
// carrying the error line recorded for it.
void work_not_begun(OrvantiCom& com, int result);
using tools::report_backup_problem;
