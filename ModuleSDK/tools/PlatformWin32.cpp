// The calls to the file system on Windows: directory queries and
// the directory search, input and output files that must be regular files and
// never hold the run, files replaced whole, and the private files and
// directories of a backup. Errors are handed up as the C library's errno
// values, as on POSIX systems, so that the reports read the same.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "ModuleSDK.h"
#include "Platform.h"

using namespace kelvor;

namespace {

// The errno value nearest to a system error.
int errno_of(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DIRECTORY: return EISDIR;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED: return EPIPE; // a pipe whose reader went away
    default: return EIO;
    }
}

bool is_directory_attribute(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A handle made a stdio stream; closed on failure.
std::FILE* stream_of(HANDLE h, int flags, const char* mode, int& error) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        error = EMFILE;
        ::CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = ::_fdopen(fd, mode);
    if (!f) {
        error = errno;
        ::_close(fd);
    }
    return f;
}

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

bool write_handle(HANDLE h, const uint8_t* data, size_t n) {
    for (size_t done = 0; done < n;) {
        const DWORD part = static_cast<DWORD>(std::min<size_t>(n - done, 0x40000000u));
        DWORD written = 0;
        if (::WriteFile(h, data + done, part, &written, nullptr) == 0 || written == 0) {
            errno = errno_of(::GetLastError());
            return false;
        }
        done += written;
    }
    return true;
}

} // namespace

bool path_is_directory(const std::string& path) {
    return is_directory_attribute(::GetFileAttributesA(path.c_str()));
}

bool list_directory(const std::string& path, std::vector<std::string>& names) {
    // Every entry of the directory: the pattern "dir\*".
    const std::string pattern = path + "\\*";
    WIN32_FIND_DATAA entry{};
    HANDLE search = ::FindFirstFileA(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return false;
    struct SearchCloser {
        void operator()(HANDLE h) const { ::FindClose(h); }
    };
    std::unique_ptr<void, SearchCloser> open(search);
    names.clear();
    do {
        const std::string name = entry.cFileName;
        // The directory's own entry and its parent's, by name.
        if (name == "." || name == "..") continue;
        names.push_back(name);
    } while (::FindNextFileA(search, &entry) != 0);
    // Name order, so that runs over the same directory are repeatable.
    std::sort(names.begin(), names.end());
    return true;
}

int64_t file_size(std::FILE* file) {
    LARGE_INTEGER size{};
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    if (h == INVALID_HANDLE_VALUE || ::GetFileSizeEx(h, &size) == 0) return 0;
    return size.QuadPart;
}

std::FILE* open_input_file(const std::string& path, int& error, bool followLinks) {
    error = 0;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD why = ::GetLastError();
        // A directory is refused as "access denied" by the open itself.
        error = is_directory_attribute(::GetFileAttributesA(path.c_str())) ? EISDIR : errno_of(why);
        return nullptr;
    }
    Handle owned(h);
    // Only a file on a disk: a device (COM1, CON, NUL) or a pipe never holds the run.
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h) != FILE_TYPE_DISK || ::GetFileInformationByHandle(h, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (!followLinks && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
        error = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : NOT_REGULAR_FILE;
        return nullptr;
    }
    return stream_of(owned.release(), _O_RDONLY, "rb", error);
}

std::FILE* open_output_file(const std::string& path, int& error) {
    error = 0;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD why = ::GetLastError();
        error = is_directory_attribute(::GetFileAttributesA(path.c_str())) ? EISDIR : errno_of(why);
        return nullptr;
    }
    return stream_of(h, _O_WRONLY, "wb", error);
}

std::string file_error_text(int error) {
    if (error == NOT_REGULAR_FILE) return "not a regular file";
    if (error == FILE_TOO_LARGE) return "larger than a 32-bit size field can announce";
    return std::strerror(error);
}

bool outputs_may_meet() {
    const HANDLE out = reinterpret_cast<HANDLE>(::_get_osfhandle(1));
    const HANDLE err = reinterpret_cast<HANDLE>(::_get_osfhandle(2));
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) return false;
    if (out == err) return true;
    const DWORD outType = ::GetFileType(out), errType = ::GetFileType(err);
    if (outType == FILE_TYPE_DISK && errType == FILE_TYPE_DISK) {
        BY_HANDLE_FILE_INFORMATION a{}, b{};
        if (!::GetFileInformationByHandle(out, &a) || !::GetFileInformationByHandle(err, &b)) return true;
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
               a.nFileIndexLow == b.nFileIndexLow;
    }
    // Two pipes cannot be told apart: they may be one.
    return outType == FILE_TYPE_PIPE && errType == FILE_TYPE_PIPE;
}

bool write_all(int fd, const uint8_t* data, size_t n) {
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    return write_handle(h, data, n);
}

void print_file_reason(const std::string& path, int error) {
    // A directory keeps its error line alone.
    if (error != 0 && error != EISDIR)
        trace_print("       %s: %s\n", path.c_str(), file_error_text(error).c_str());
}

bool write_file_replacing(const std::string& path, const std::string& text) {
    // A fresh file of our own beside the old one (never one that exists),
    // moved over it.
    static unsigned serial = 0;
    std::string temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        temp = path + "." + std::to_string(process_number()) + "." + std::to_string(++serial);
        h = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
        if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = write_handle(h, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    ok = ::CloseHandle(h) != 0 && ok;
    if (!ok ||
        ::MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        ::DeleteFileA(temp.c_str());
        return false;
    }
    return true;
}

bool path_exists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool make_private_directory(const std::string& path, int& error) {
    // The new directory takes the permissions of its parent, in the user's
    // own folders the user's alone.
    error = ::CreateDirectoryA(path.c_str(), nullptr) != 0 ? 0 : errno_of(::GetLastError());
    return error == 0;
}

void remove_directory(const std::string& path) {
    ::RemoveDirectoryA(path.c_str());
}

bool write_new_private_file(const std::string& path, const uint8_t* data, size_t n, int& error) {
    // Never a file that exists, never through a link.
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = errno_of(::GetLastError());
        return false;
    }
    Handle owned(h);
    bool ok = write_handle(h, data, n);
    error = ok ? 0 : errno;
    if (ok && ::FlushFileBuffers(h) == 0) {
        ok = false;
        error = errno_of(::GetLastError());
    }
    if (::CloseHandle(owned.release()) == 0 && ok) {
        ok = false;
        error = errno_of(::GetLastError());
    }
    return ok;
}

unsigned long process_number() {
    return static_cast<unsigned long>(::GetCurrentProcessId());
}

std::string join_path(const std::string& dir, const std::string& name) {
    return dir + "\\" + name;
}

bool truncate_file(std::FILE* file) {
    return ::_chsize_s(::_fileno(file), 0) == 0;
}

bool rename_directory(const std::string& from, const std::string& to) {
    if (::MoveFileExA(from.c_str(), to.c_str(), 0) != 0) return true;
    errno = errno_of(::GetLastError());
    return false;
}

void prepare_standard_streams() {
    // Output and input as bytes, exactly as on other systems: a batch file
    // read from a pipe keeps its carriage returns for the tool to drop.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    ::_setmode(::_fileno(stdin), _O_BINARY);
}
