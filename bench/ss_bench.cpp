// The wall time of one SS exchange, as a program that holds the port makes it
// (the library in-process) and as a client of kelvord gets it (one request
// line out, one answer line back on the Unix socket). Prints the mean in
// microseconds.
//   kelvord_ss_bench direct PORT COUNT
//   kelvord_ss_bench service SOCKET COUNT
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ModuleSDK.h"

namespace {

using Clock = std::chrono::steady_clock;

double direct(const char* port, int count) {
    if (kelvor::module_open(port, 0x35, 0, 0, 1, 1000) != 0) {
        std::fprintf(stderr, "cannot open %s\n", port);
        std::exit(1);
    }
    uint32_t status = 0;
    for (int i = 0; i < 20; ++i) kelvor::system_status_check(&status);
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (kelvor::system_status_check(&status) != 0) {
            std::fprintf(stderr, "SS failed\n");
            std::exit(1);
        }
    }
    const auto t1 = Clock::now();
    kelvor::module_close();
    return std::chrono::duration<double, std::micro>(t1 - t0).count() / count;
}

// One request, then its answer: the line up to its end.
void exchange(int fd, const std::string& request, std::string& buffer) {
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) std::exit(1);
    for (;;) {
        const size_t nl = buffer.find('\n');
        if (nl != std::string::npos) {
            if (buffer.find("\"outcome\":\"ok\"") > nl) {
                std::fprintf(stderr, "SS failed: %s\n", buffer.substr(0, nl).c_str());
                std::exit(1);
            }
            buffer.erase(0, nl + 1);
            return;
        }
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) std::exit(1);
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

double service(const char* path, int count) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "cannot connect to %s\n", path);
        std::exit(1);
    }
    const std::string request = "{\"class\":\"command\",\"command\":\"SS\"}\n";
    std::string buffer;
    for (int i = 0; i < 20; ++i) exchange(fd, request, buffer);
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) exchange(fd, request, buffer);
    const auto t1 = Clock::now();
    ::close(fd);
    return std::chrono::duration<double, std::micro>(t1 - t0).count() / count;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s direct PORT COUNT | service SOCKET COUNT\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[3]);
    const double us = std::strcmp(argv[1], "direct") == 0 ? direct(argv[2], count) : service(argv[2], count);
    std::printf("%.1f\n", us);
    return 0;
}
