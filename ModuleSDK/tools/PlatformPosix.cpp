// The calls to the file system on POSIX systems: directory
// queries and entries, input and output files that must be regular files and
// never hold the run, files replaced whole, and the private files and
// directories of a backup.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <memory>

#include "ModuleSDK.h"
#include "Platform.h"

using namespace kelvor;

bool path_is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool list_directory(const std::string& path, std::vector<std::string>& names) {
    struct DirCloser {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
    if (!dir) return false;
    names.clear();
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        names.push_back(std::move(name));
    }
    // Name order, so that runs over the same directory are repeatable.
    std::sort(names.begin(), names.end());
    return true;
}

int64_t file_size(std::FILE* file) {
    struct stat st {};
    if (::fstat(fileno(file), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

namespace {

// A descriptor made a stdio stream in blocking mode again; closed on failure.
std::FILE* stream_of(int fd, const char* mode, int& error) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* f = ::fdopen(fd, mode);
    if (!f) {
        error = errno;
        ::close(fd);
    }
    return f;
}

} // namespace

std::FILE* open_input_file(const std::string& path, int& error, bool followLinks) {
    error = 0;
    // Non-blocking for the open itself: a FIFO or a device never holds the run.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : NOT_REGULAR_FILE;
        ::close(fd);
        return nullptr;
    }
    return stream_of(fd, "rb", error);
}

std::FILE* open_output_file(const std::string& path, int& error) {
    error = 0;
    // A FIFO without a reader is refused at once (ENXIO) instead of waited on.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return stream_of(fd, "wb", error);
}

std::string file_error_text(int error) {
    if (error == NOT_REGULAR_FILE) return "not a regular file";
    if (error == FILE_TOO_LARGE) return "larger than a 32-bit size field can announce";
    return std::strerror(error);
}

bool outputs_may_meet() {
    struct stat out {};
    struct stat err {};
    if (::fstat(1, &out) != 0 || ::fstat(2, &err) != 0) return false;
    return out.st_dev == err.st_dev && out.st_ino == err.st_ino && !S_ISCHR(out.st_mode);
}

bool write_all(int fd, const uint8_t* data, size_t n) {
    for (size_t done = 0; done < n;) {
        const ssize_t w = ::write(fd, data + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

void print_file_reason(const std::string& path, int error) {
    // A directory keeps its error line alone.
    if (error != 0 && error != EISDIR)
        trace_print("       %s: %s\n", path.c_str(), file_error_text(error).c_str());
}

bool write_file_replacing(const std::string& path, const std::string& text) {
    // A fresh file of our own beside the old one, renamed over it: a symbolic
    // link or any other file of the temporary's name is never written through.
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0 &&
              write_all(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool path_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool make_private_directory(const std::string& path, int& error) {
    error = ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
    return error == 0;
}

void remove_directory(const std::string& path) {
    ::rmdir(path.c_str());
}

bool write_new_private_file(const std::string& path, const uint8_t* data, size_t n, int& error) {
    // Templates are biometric data: readable by their owner alone.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = fd >= 0 && write_all(fd, data, n);
    error = ok ? 0 : errno;
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        error = errno;
    }
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    return ok;
}

unsigned long process_number() {
    return static_cast<unsigned long>(::getpid());
}

std::string join_path(const std::string& dir, const std::string& name) {
    return dir + "/" + name;
}

bool truncate_file(std::FILE* file) {
    return ::ftruncate(fileno(file), 0) == 0;
}

bool rename_directory(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void prepare_standard_streams() {}
