// The front end as a whole against a fake module: kelvor.cfg, the argument
// words, a batch file and the module's bytes all come from the input, in this
// order, separated by NUL bytes (the module's bytes take the rest). The run
// happens in a private directory that also holds special files (FIFOs without
// a writer, one in a subdirectory for directory mode): they must be refused,
// never waited on. Absolute paths are taken into the private directory, the
// devices /dev/null, /dev/zero and /dev/full are kept as they are, and words
// with ".." are left out, so nothing outside is touched.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FakeLine.h"
#include "Harness.h"
#include "OrvantiCom.h"

using namespace kelvor;

namespace {

namespace fs = std::filesystem;

// The next part up to a NUL byte (or the end).
std::string_view take_part(std::string_view& rest) {
    const size_t end = rest.find('\0');
    std::string_view part = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return part;
}

void write_file(const char* name, std::string_view content) {
    std::ofstream(name, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

// A directory of its own under $TMPDIR (default /tmp), emptied after every
// run; the scripts remove it. Corpus paths given to the fuzzer must be
// absolute: the run changes directory.
const fs::path& work_dir() {
    static const fs::path dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string name = std::string(base && *base ? base : "/tmp") + "/kelvor-fuzz-XXXXXX";
        const char* made = ::mkdtemp(name.data());
        if (!made) std::abort();
        fs::current_path(made);
        return fs::path(made);
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::setup_once();
    work_dir();
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view cfg = take_part(rest);
    const std::string_view args = take_part(rest);
    const std::string_view batch = take_part(rest);
    fakeline::load(reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
    write_file(SETTINGS_FILE, cfg);
    write_file("batch", batch);
    ::mkfifo("fifo", 0600);
    ::mkdir("dir", 0700);
    ::mkfifo("dir/fifo", 0600);
    write_file("dir/a.bmp", batch);

    std::vector<std::string> words = {"kelvor"};
    size_t at = 0;
    while (at < args.size()) {
        size_t end = args.find(' ', at);
        if (end == std::string_view::npos) end = args.size();
        std::string word(args.substr(at, end - at));
        at = end + 1;
        if (word.empty() || word.find("..") != std::string::npos) continue;
        if (word == "/dev/null" || word == "/dev/zero" || word == "/dev/full") {
            words.push_back(word);
        } else if (word[0] == '/') {
            words.push_back((work_dir() / fs::path(word).filename()).string());
        } else if (word.find('/') == std::string::npos || word.rfind("dir/", 0) == 0) {
            words.push_back(word);
        }
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    OrvantiCom::main(static_cast<int>(words.size()), argv.data());

    // Whatever the run created goes, so that runs do not see each other's files.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(work_dir(), ec)) fs::remove_all(entry.path(), ec);
    return 0;
}
