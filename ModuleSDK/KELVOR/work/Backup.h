// Backup and restore of a module's template database into a directory: one
// file per user and a manifest with the module settings, the administrator
// levels and policies, and the SHA-256 of every file.
#pragma once

namespace backup {
struct Problem;
}
class OrvantiCom;

int backup_module(OrvantiCom& com);
int restore_module(OrvantiCom& com);
// With --json, the object of a backup or restore (com.work) that failed with
// `result` before it began (a module of --modules that does not answer),
// carrying the error line recorded for it.
void work_not_begun(OrvantiCom& com, int result);
// The error line of what is wrong with a backup directory; `undone` names what
// the run therefore leaves undone ("restored": "; nothing is restored"), or is
// empty. Returns the front end's refusal.
int report_backup_problem(const backup::Problem& problem, const char* undone);
