// The calls to the file system, one version per system (PlatformPosix.cpp,
// PlatformWin32.cpp): directory queries and entries, input and output files
// that must be regular files and never hold the run, files replaced whole, and
// the private files and directories of a backup. Errors are the C library's
// errno values on every system, so that the reports read the same.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// An open stdio file, closed when the object goes.
struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Directory queries of the platform.
bool path_is_directory(const std::string& path);
// Names of a directory's entries without "." and "..", in name order; false when it cannot be read.
bool list_directory(const std::string& path, std::vector<std::string>& names);
int64_t file_size(std::FILE* file);
// Error codes of the file openings beside the system's own.
inline constexpr int NOT_REGULAR_FILE = -1; // a FIFO, a device, a socket
inline constexpr int FILE_TOO_LARGE = -2;   // beyond what a 32-bit size field announces
// Opens an input file for reading in binary mode without waiting (a FIFO or a
// device never blocks the run) and only when it is a regular file; with
// `followLinks` false a symbolic link is refused too. nullptr with `error` set.
std::FILE* open_input_file(const std::string& path, int& error, bool followLinks = true);
// Creates or truncates an output file for writing in binary mode; a FIFO
// without a reader is refused instead of waited on. nullptr with `error` set.
std::FILE* open_output_file(const std::string& path, int& error);
// What an error code of the openings means, for a reason line.
std::string file_error_text(int error);
// The indented reason line after an error line about `path`; none for a
// directory, which keeps its error line alone.
void print_file_reason(const std::string& path, int error);
// Writes all `n` bytes to `fd`; false with errno set when it cannot.
bool write_all(int fd, const uint8_t* data, size_t n);
// Whether standard output and standard error may reach one reader (one file
// or pipe, as `2>&1` makes them), so that what goes to one must not wait for
// the other. A device that is no terminal (the null device) has no reader
// that sees the order.
bool outputs_may_meet();
// Writes `text` as the whole new content of `path` through a temporary file
// created exclusively in the same directory, then renamed over it.
bool write_file_replacing(const std::string& path, const std::string& text);
// Whether anything is at `path`, a symbolic link included (not followed).
bool path_exists(const std::string& path);
// A directory for the user alone; false with `error` set.
bool make_private_directory(const std::string& path, int& error);
// An empty directory removed; nothing when it cannot be.
void remove_directory(const std::string& path);
// A new file for the user alone (never one that exists, never through a
// link) with all `n` bytes, made durable; false with `error` set.
bool write_new_private_file(const std::string& path, const uint8_t* data, size_t n, int& error);
// This process's number, to name its temporary files apart.
unsigned long process_number();
// The path of `name` in the directory `dir`, with the system's separator.
std::string join_path(const std::string& dir, const std::string& name);
// An output file emptied, for nothing half-written to stay; false when it cannot be.
bool truncate_file(std::FILE* file);
// A directory given its final name; false with errno set when it cannot be.
bool rename_directory(const std::string& from, const std::string& to);
// The tool's standard streams as it needs them: every byte written as it is
// (no line-end translation).
void prepare_standard_streams();
