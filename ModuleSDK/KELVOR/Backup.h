// Backup and restore of a module's template database into a directory: one
// file per user and a manifest with the module settings and the SHA-256 of every file.
#pragma once

class OrvantiCom;

int backup_module(OrvantiCom& com);
int restore_module(OrvantiCom& com);
// With --json, the object of a backup or restore (com.work) that failed with
// `result` before it began (a module of --modules that does not answer),
// carrying the error line recorded for it.
void work_not_begun(OrvantiCom& com, int result);
