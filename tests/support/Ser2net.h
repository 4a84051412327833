// Debian's ser2net on localhost in front of a simulated module's
// pseudo-terminal, for the tests of ports behind a network server: one
// telnet(rfc2217) accepter on 127.0.0.1, one on ::1 and one raw tcp accepter,
// its YAML configuration written here. ser2net must be installed: without
// it the tests fail, they are never skipped.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "FarEnd.h"

namespace ser2net {

// A TCP port that is free on localhost now.
inline int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// Whether something listens on the port: it cannot be bound then. (A probe
// that connects would make ser2net open the device.)
inline bool listening(int port, bool v6 = false) {
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    int taken = 0;
    if (v6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    }
    ::close(fd);
    return taken;
}

// The ports of one ser2net: Telnet with RFC 2217 on 127.0.0.1 and on ::1, raw TCP on 127.0.0.1.
struct Ports {
    int telnet = 0, telnetV6 = 0, raw = 0;
};

// The configuration of the tests: the three accepters in front of `device`.
inline std::string configuration(const std::string& device, const Ports& p, int baud = 115200) {
    const std::string rest = "  connector: serialdev," + device + "," + std::to_string(baud) + "n81,local\n" +
                             "  options:\n    kickolduser: true\n    chardelay: false\n";
    return "%YAML 1.1\n---\n"
           "connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
           std::to_string(p.telnet) + "\n" + rest +
           "connection: &rfc2217v6\n  accepter: telnet(rfc2217),tcp,::1," + std::to_string(p.telnetV6) +
           "\n" + rest + "connection: &raw\n  accepter: tcp,127.0.0.1," + std::to_string(p.raw) + "\n" + rest;
}

class Server {
public:
    using Configuration = std::function<std::string(const Ports&)>;

    // The tests' configuration in front of `device`.
    explicit Server(const std::string& device)
        : Server([device](const Ports& p) { return configuration(device, p); }) {}
    // A configuration of its own, written for the ports given; ::1 is waited
    // for only when it names it.
    explicit Server(const Configuration& config) {
        if (std::string(SER2NET_BIN).empty()) {
            ADD_FAILURE() << "ser2net is not installed (Debian package ser2net): the tests of ports behind a "
                             "network server cannot run";
            return;
        }
        for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) start(config);
        if (pid_ <= 0) ADD_FAILURE() << "ser2net did not come up; its log:\n" << dir_.read("ser2net.log");
    }
    ~Server() { stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::string rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(ports_.telnet); }
    std::string rfc2217_v6() const { return "rfc2217://[::1]:" + std::to_string(ports_.telnetV6); }
    std::string rfc2217_name() const { return "rfc2217://localhost:" + std::to_string(ports_.telnet); }
    std::string raw() const { return "socket://127.0.0.1:" + std::to_string(ports_.raw); }
    std::string log() const { return dir_.read("ser2net.log"); }

    // Waits until a client is connected to the accepter on `port` (a run of
    // the tool under test has begun to talk, however long it took to start):
    // a connection established on that port, as the system lists it.
    bool wait_client(int port, std::chrono::milliseconds within = std::chrono::seconds(30)) const {
        char local[16];
        std::snprintf(local, sizeof local, ":%04X", static_cast<unsigned>(port));
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
                std::ifstream in(table);
                std::string line;
                std::getline(in, line); // the heading
                while (std::getline(in, line)) {
                    // "sl local_address rem_address st ...": 01 is ESTABLISHED.
                    std::istringstream fields(line);
                    std::string slot, from, to, state;
                    fields >> slot >> from >> to >> state;
                    if (state == "01" && from.size() > 5 && from.compare(from.size() - 5, 5, local) == 0)
                        return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    int telnet_port() const { return ports_.telnet; }
    int raw_port() const { return ports_.raw; }

    // Ends ser2net as an operator does (SIGTERM) or as a crash does (SIGKILL).
    void stop(int sig = SIGTERM) {
        if (pid_ <= 0) return;
        ::kill(pid_, sig);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    void start(const Configuration& config) {
        ports_ = Ports{free_port(), free_port(), free_port()};
        const std::string text = config(ports_);
        const bool v6 = text.find("::1," + std::to_string(ports_.telnetV6)) != std::string::npos;
        std::ofstream(dir_.file("ser2net.yaml")) << text;
        const std::string yaml = dir_.file("ser2net.yaml"), log = dir_.file("ser2net.log");
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execl(SER2NET_BIN, SER2NET_BIN, "-n", "-d", "-c", yaml.c_str(), "-P",
                    dir_.file("ser2net.pid").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500; ++i) {
            if (listening(ports_.telnet) && (!v6 || listening(ports_.telnetV6, true)) &&
                listening(ports_.raw))
                return;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) { // it gave up (a port taken meanwhile)
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stop(SIGKILL);
    }

    farend::TempDir dir_;
    pid_t pid_ = -1;
    Ports ports_;
};

} // namespace ser2net
