// The Windows side of the system-facing files, in-process: the directory
// search, the files that must be regular, files replaced whole, the bytes of
// the standard streams, and what a port that cannot be used is taken for.
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ModuleSDK.h"
#include "OrvantiCom.h"
#include "port/PortList.h"
#include "trace/Console.h"

using namespace kelvor;

namespace {

// A fresh directory under the system's temporary folder, removed with its files.
class Folder {
public:
    Folder() {
        char base[MAX_PATH] = {};
        ::GetTempPathA(sizeof base, base);
        static int serial = 0;
        path_ = std::string(base) + "kelvor-win-" + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(++serial);
        ::CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~Folder() {
        std::vector<std::string> names;
        if (list_directory(path_, names)) {
            for (const auto& n : names) {
                ::DeleteFileA(join_path(path_, n).c_str());
                ::RemoveDirectoryA(join_path(path_, n).c_str());
            }
        }
        ::RemoveDirectoryA(path_.c_str());
    }
    std::string file(const std::string& name, const std::string& content) const {
        const std::string p = join_path(path_, name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(WindowsFiles, DirectorySearchSkipsItsOwnEntriesAndJoinsWithBackslashes) {
    Folder dir;
    dir.file("b.bin", "2");
    dir.file("a.bin", "1");
    dir.file("..x", "dots that are a name");
    ::CreateDirectoryA(join_path(dir.path(), "sub").c_str(), nullptr);
    std::vector<std::string> names;
    ASSERT_TRUE(list_directory(dir.path(), names));
    EXPECT_EQ(names, (std::vector<std::string>{"..x", "a.bin", "b.bin", "sub"}));
    EXPECT_EQ(join_path("C:\\data", "a.bin"), "C:\\data\\a.bin");
    EXPECT_TRUE(path_is_directory(join_path(dir.path(), "sub")));
    EXPECT_FALSE(path_is_directory(join_path(dir.path(), "a.bin")));
    EXPECT_FALSE(list_directory(join_path(dir.path(), "missing"), names));
}

TEST(WindowsFiles, OnlyRegularFilesOpenForInput) {
    Folder dir;
    const std::string data = dir.file("data.bin", std::string("\r\n\x1a\r\n", 5));
    ::CreateDirectoryA(join_path(dir.path(), "sub").c_str(), nullptr);
    struct Case {
        std::string path;
        int error;
    } cases[] = {
        {join_path(dir.path(), "sub"), EISDIR},
        {join_path(dir.path(), "missing.bin"), ENOENT},
        {"NUL", NOT_REGULAR_FILE},
    };
    for (const Case& c : cases) {
        int error = 0;
        File f(open_input_file(c.path, error));
        EXPECT_FALSE(f) << c.path;
        EXPECT_EQ(error, c.error) << c.path;
    }
    // Binary mode: CR LF and the old end-of-file character come through.
    int error = 0;
    File f(open_input_file(data, error));
    ASSERT_TRUE(f);
    EXPECT_EQ(file_size(f.get()), 5);
    char got[8] = {};
    EXPECT_EQ(std::fread(got, 1, sizeof got, f.get()), 5u);
    EXPECT_EQ(std::string(got, 5), std::string("\r\n\x1a\r\n", 5));
}

TEST(WindowsFiles, OutputFilesAndReplacedFilesKeepEveryByte) {
    Folder dir;
    int error = 0;
    const std::string out = join_path(dir.path(), "out.bin");
    {
        File f(open_output_file(out, error));
        ASSERT_TRUE(f);
        std::fputs("a\nb\n", f.get());
    }
    EXPECT_EQ(read_all(out), "a\nb\n");
    const std::string cfg = dir.file("kelvor.cfg", "old");
    ASSERT_TRUE(write_file_replacing(cfg, "COM3 53 0 0 1 1000 2 4096\n"));
    EXPECT_EQ(read_all(cfg), "COM3 53 0 0 1 1000 2 4096\n");
    std::vector<std::string> names;
    ASSERT_TRUE(list_directory(dir.path(), names));
    EXPECT_EQ(names, (std::vector<std::string>{"kelvor.cfg", "out.bin"})) << "no temporary file stays";
    // A file that exists is never written anew.
    const std::string secret = join_path(dir.path(), "user.tpl");
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_TRUE(write_new_private_file(secret, bytes, sizeof bytes, error));
    EXPECT_FALSE(write_new_private_file(secret, bytes, sizeof bytes, error));
    EXPECT_EQ(error, EEXIST);
    EXPECT_EQ(read_all(secret), std::string("\x01\x02\x03", 3));
    EXPECT_FALSE(open_output_file(join_path(dir.path(), "missing\\out.bin"), error));
}

TEST(WindowsConsole, StreamWritesPassLineFeedsAsTheyAre) {
    Folder dir;
    const std::string path = join_path(dir.path(), "trace.txt");
    const int fd = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(console::write_all(fd, "[API] a\n      b\n", 16));
    EXPECT_FALSE(console::is_terminal(fd));
    EXPECT_EQ(console::line_control(fd), console::LineControl::None);
    ::_close(fd);
    EXPECT_EQ(read_all(path), "[API] a\n      b\n");
}

TEST(WindowsPorts, EveryFailureOfAPortIsTakenForWhatItIs) {
    struct Case {
        int error;
        port::PortFailure failure;
    } cases[] = {
        {0, port::PortFailure::None},
        {ERROR_FILE_NOT_FOUND, port::PortFailure::NoSuchPort},
        {ERROR_PATH_NOT_FOUND, port::PortFailure::NoSuchPort},
        {ERROR_ACCESS_DENIED, port::PortFailure::InUse},
        {ERROR_SHARING_VIOLATION, port::PortFailure::InUse},
        {ERROR_DIRECTORY, port::PortFailure::IsDirectory},
        {ERROR_BAD_DEVICE, port::PortFailure::NotSerial},
        {ERROR_INVALID_PARAMETER, port::PortFailure::BadSettings},
        {ERROR_CRC, port::PortFailure::Other},
    };
    for (const Case& c : cases) EXPECT_EQ(port::port_failure(c.error), c.failure) << c.error;
    EXPECT_FALSE(port::system_error_text(ERROR_FILE_NOT_FOUND).empty());
    EXPECT_NE(port::system_error_text(ERROR_FILE_NOT_FOUND).back(), '\n');
}

TEST(WindowsPorts, OpeningReportsWhatStandsAtTheName) {
    Folder dir;
    const std::string file = dir.file("not-a-port.txt", "x");
    struct Case {
        std::string name;
        bool opens;
        port::PortFailure failure;
    } cases[] = {
        {"COM250", false, port::PortFailure::NoSuchPort},
        {"\\\\.\\COM251", false, port::PortFailure::NoSuchPort},
        {dir.path(), false, port::PortFailure::IsDirectory},
        {file, true, port::PortFailure::NotSerial},
    };
    trace_reset();
    for (const Case& c : cases) {
        ASSERT_EQ(serial_open(c.name.c_str()) == 0, c.opens) << c.name;
        if (c.opens) {
            EXPECT_EQ(serial_setup(115200), -1) << c.name;
        }
        EXPECT_EQ(port::port_failure(serial_last_error()), c.failure) << c.name;
        serial_close();
    }
}
