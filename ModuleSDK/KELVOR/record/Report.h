// What a run reports besides the traces and the error lines (ErrorLines.h):
// the exit statuses of --exit-code, one class per result code, and the
// results on standard output.
#pragma once

#include <cstddef>

#include "ErrorLines.h"
#include "ModuleSDK.h"

// Standard output carries the results of a run: the objects of --json, the
// modules of a scan, the lines of a backup or a restore, the texts of --help,
// --version, --commands, --list-ports and --json-schema. A result that cannot
// be written (a full disk, a reader that went away) is lost, and a run that
// lost one never ends as a success.
namespace results {
// Writes all `n` bytes to standard output after what stdio holds for it;
// false, and the loss remembered, when they cannot be written.
bool write(const char* p, size_t n);
// Whether anything written to standard output so far is lost; what stdio
// holds for it is written out first.
bool lost();
// Why it was lost, the system's words.
const char* why();
// The loss has had its error line (a batch that stops for it says so in its own).
void reported();
// The exit status of a run that ended with `status` (the default 1, a status
// of --exit-code, or the 0 of --help, --version, ...): a run whose results
// were lost gets an error line, once, and fails: with --exit-code at least
// EXIT_REFUSED, without it 1.
int end(int status, bool exitCode);

// While one lives (a batch, the files of a directory), the results emit()
// gets are held back and written out several at once, when a piece of
// HELD_BYTES is full, before the line keeps the run waiting longer than
// HELD_MS, before any other result, and when the Holding goes or a signal
// ends the run: a reader still has each result within HELD_MS of the
// command's end, without a system call for every one. Nothing is held for a
// terminal, nor when standard error may reach the same reader.
inline constexpr size_t HELD_BYTES = 4096; // what a pipe takes in one piece
inline constexpr int HELD_MS = 50;
class Holding {
public:
    Holding();
    ~Holding();
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    bool outer_; // a Holding around this one (a batch line that runs a directory)
};
// One result: written at once as write() writes it, or held while a Holding
// lives; false when results were lost.
bool emit(const char* p, size_t n);
// What is held, written out now.
void release();
} // namespace results
