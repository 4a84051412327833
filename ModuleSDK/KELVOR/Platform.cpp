// File-system queries of the front end on POSIX systems: is a path a
// directory, and the entries of a directory.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "OrvantiCom.h"

using namespace kelvor;

bool path_is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool path_is_regular_file(std::FILE* file) {
    struct stat st {};
    return ::fstat(fileno(file), &st) == 0 && !S_ISDIR(st.st_mode);
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

long file_size(std::FILE* file) {
    struct stat st {};
    if (::fstat(fileno(file), &st) != 0) return 0;
    return static_cast<long>(st.st_size);
}
