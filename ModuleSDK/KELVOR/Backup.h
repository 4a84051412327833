// Backup and restore of a module's template database into a directory: one
// file per user and a manifest with the module settings and the SHA-256 of every file.
#pragma once

class OrvantiCom;

int backup_module(OrvantiCom& com);
int restore_module(OrvantiCom& com);
