// The tool through Debian's ser2net in front of the simulated module: the
// same work over rfc2217:// and socket://, the line settings over RFC 2217,
// and the faults of a network (a server stopped mid-transfer, a port that
// accepts and never answers, a refused port, names that cannot be used).
#include "Ser2net.h"
#include "SimHarness.h"

#include <filesystem>
#include <fstream>
#include <regex>

using namespace simtest;

namespace {

// kelvor on a port given by name, in a directory of its own.
class Tool {
public:
    farend::RunResult run(const std::string& port, const std::vector<std::string>& args,
                          const std::vector<std::string>& line = {"-b", "115200", "-t", "2000"}) const {
        std::vector<std::string> a = {"-P", port, "-x2"};
        a.insert(a.end(), line.begin(), line.end());
        a.insert(a.end(), args.begin(), args.end());
        return farend::run_kelvor(a, dir_.path());
    }
    std::string file(const std::string& name) const { return dir_.file(name); }
    const farend::TempDir& dir() const { return dir_; }

private:
    farend::TempDir dir_;
};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string hex(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "%#x", n);
    return text;
}

// Both kinds of network port of one server.
std::vector<std::string> both(const ser2net::Server& s) {
    return {s.rfc2217(), s.raw()};
}

// ser2net closes the device a few milliseconds after its client went (20 ms
// measured); meanwhile another accepter of the same device answers a new
// connection with "Port's device already in use" and closes it. Runs that
// change from one kind to the other leave it that time.
void let_ser2net_close() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

// A TCP port that takes connections and never sends a byte.
class Silent {
public:
    Silent() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 8);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    ~Silent() { ::close(fd_); }
    Silent(const Silent&) = delete;
    Silent& operator=(const Silent&) = delete;
    int port = 0;

private:
    int fd_ = -1;
};

} // namespace

TEST(Network, StatusParameterEnrollAndIdentifyOverBothKinds) {
    Sim sim;
    ser2net::Server server(sim.link);
    Tool tool;
    int user = 5;
    for (const std::string& port : both(server)) {
        SCOPED_TRACE(port);
        auto r = tool.run(port, {"-c", "SS"});
        EXPECT_TRUE(has(r.err, "      Module is in normal condition(0x30)")) << r.err;
        r = tool.run(port, {"-c", "SR", "-f", "0x71"});
        EXPECT_TRUE(has(r.err, "Baudrate(0x71): 0x35")) << r.err;
        sim.place(std::to_string(user));
        r = tool.run(port, {"-c", "ES", "-p1", std::to_string(user)});
        EXPECT_TRUE(has(r.err, "Enroll: Succeed " + hex(user))) << r.err;
        r = tool.run(port, {"--exit-code", "-c", "IS"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(has(r.err, "Identify Succeed: " + hex(user) + " ")) << r.err;
        ++user;
        let_ser2net_close();
    }
}

TEST(Network, TheSettingsFileKeepsTheUrlAndTheTraceTellsWhatTheServerConfirmed) {
    Sim sim;
    ser2net::Server server(sim.link);
    Tool tool;
    auto r = tool.run(server.rfc2217_name(), {"-c", "SS", "-x3"});
    EXPECT_TRUE(has(r.err, "[COM] " + server.rfc2217_name() + ": connected to 127.0.0.1:")) << r.err;
    EXPECT_TRUE(has(r.err,
                    ": 115200 baud, 8 data bits, no parity, 1 stop bit, no flow control confirmed; round "
                    "trip "))
        << r.err;
    // In front of a pseudo-terminal there are no modem lines to answer for.
    EXPECT_TRUE(has(r.err, "the server answered no modem-control request (DTR on); going on")) << r.err;
    EXPECT_TRUE(has(r.err, "      [COM] Send: 40 04 00")) << r.err;
    std::ifstream cfg(tool.file("kelvor.cfg"));
    std::string saved;
    std::getline(cfg, saved);
    EXPECT_EQ(saved.substr(0, saved.find(' ')), server.rfc2217_name());
    // The next run takes the port from the file.
    r = farend::run_kelvor({"-x2", "-c", "SS"}, tool.dir().path());
    EXPECT_TRUE(has(r.err, "Module is in normal condition(0x30)")) << r.err;
    // An IPv6 literal, on another accepter of the same device.
    let_ser2net_close();
    r = tool.run(server.rfc2217_v6(), {"-c", "SR", "-f", "0x71"});
    EXPECT_TRUE(has(r.err, "Baudrate(0x71): 0x35")) << r.err << server.log();
}

TEST(Network, AnImageCapturedToBmpAndEnrolledInChunksOverBothKinds) {
    Sim sim;
    ser2net::Server server(sim.link);
    Tool tool;
    int user = 11;
    for (const std::string& port : both(server)) {
        SCOPED_TRACE(port);
        sim.place(std::to_string(user));
        const std::string bmp = "finger" + std::to_string(user) + ".bmp";
        auto r = tool.run(port, {"-c", "SI", "-o", farend::tool_path(tool.dir().path(), bmp)});
        EXPECT_TRUE(has(r.err, "Width: 0x100 Height: 0x120 Format: 0 Size: 0x12000")) << r.err;
        EXPECT_GT(std::filesystem::file_size(tool.file(bmp)), 0x12000u);
        r = tool.run(port, {"--exit-code", "-c", "EIX", "-p1", std::to_string(user), "-s", "4096", "-i",
                            farend::tool_path(tool.dir().path(), bmp)});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(has(r.err, "Enroll: Succeed " + hex(user))) << r.err;
        ++user;
        let_ser2net_close();
    }
    // Both images enrolled: the module holds two users.
    const auto r = tool.run(server.rfc2217(), {"-c", "SR", "-f", "0x73"});
    EXPECT_TRUE(has(r.err, "Enrolled Fingerprints(0x73): 0x2")) << r.err;
}

TEST(Network, ABaudRateChangeIsFollowedOnTheFarPortAndBack) {
    Sim sim;
    ser2net::Server server(sim.link);
    Tool tool;
    // One connection: the module and the far port change to 57600 together,
    // talk there, and come back.
    tool.dir().write("rates.txt", "-c SW -f 0x71 -p2 0x34\n-c SR -f 0x71\n-c SS\n-c SW -f 0x71 -p2 0x35\n"
                                  "-c SR -f 0x71\n");
    auto r = tool.run(server.rfc2217(),
                      {"--exit-code", "-x3", "-F", farend::tool_path(tool.dir().path(), "rates.txt")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "Baudrate(0x71): 0x34")) << r.err;
    EXPECT_TRUE(has(r.err, ": 57600 baud, 8 data bits, no parity, 1 stop bit, no flow control confirmed"))
        << r.err;
    EXPECT_TRUE(has(r.err, "Baudrate(0x71): 0x35")) << r.err;
    // Back at 115200: a new connection talks to it there.
    r = tool.run(server.rfc2217(), {"--exit-code", "-c", "SS"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Network, ABatchFileOverBothKinds) {
    Sim sim;
    ser2net::Server server(sim.link);
    Tool tool;
    tool.dir().write("batch.txt", "-c SS\n-c SR -f 0x66\n-c CT -p1 9\n-c SR -f 0x71\n");
    for (const std::string& port : both(server)) {
        SCOPED_TRACE(port);
        const auto r = tool.run(port, {"-F", farend::tool_path(tool.dir().path(), "batch.txt")});
        EXPECT_TRUE(has(r.err, "Module is in normal condition(0x30)")) << r.err;
        EXPECT_TRUE(has(r.err, "Security Level(0x66): 0x34")) << r.err;
        EXPECT_TRUE(has(r.err, "0x9 is not found")) << r.err;
        EXPECT_TRUE(has(r.err, "Baudrate(0x71): 0x35")) << r.err;
        let_ser2net_close();
    }
}

TEST(Network, TheScanOfALineOfThreeModulesOverBothKinds) {
    Sim sim({"--modules", "1,2,7"});
    ser2net::Server server(sim.link);
    Tool tool;
    for (const std::string& port : both(server)) {
        SCOPED_TRACE(port);
        // Each ID waited for 300 ms: the scan's own wait (tens of milliseconds)
        // misses answers on a loaded machine.
        const auto r =
            tool.run(port, {"-n", "1", "-t", "300", "--exit-code", "--scan", "1-10"}, {"-b", "115200"});
        EXPECT_EQ(r.status, 0) << r.err;
        for (const char* m : {"Module 1 (0x0001)", "Module 2 (0x0002)", "Module 7 (0x0007)"})
            EXPECT_TRUE(has(r.out, m)) << r.out;
        EXPECT_TRUE(has(r.out, "3 modules found on IDs 1-10")) << r.out;
        let_ser2net_close();
    }
}

TEST(Network, AScanWhoseServerGoesEndsWithAnErrorNotAnEmptyLine) {
    Sim sim({"--modules", "1,2,7"});
    ser2net::Server server(sim.link);
    Tool tool;
    // 255 IDs take some seconds; ser2net goes half a second after the run
    // connected (the Windows program under Wine takes a while to start).
    std::thread stopper([&server] {
        EXPECT_TRUE(server.wait_client(server.raw_port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        server.stop(SIGKILL);
    });
    const auto r = tool.run(server.raw(), {"-n", "1", "--exit-code", "--scan", "1-255"}, {"-b", "115200"});
    stopper.join();
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(has(r.err, "Err: The serial port is gone; the scan ends at ID ")) << r.err;
    EXPECT_TRUE(has(r.err, server.raw() + ": the connection to 127.0.0.1:")) << r.err;
}

TEST(Network, Ser2netStoppedMidTransferEndsTheRunAndTheBatchWithAClearError) {
    Sim sim({"--pace"});
    ser2net::Server server(sim.link);
    Tool tool;
    sim.place("4");
    // A paced image takes about 6.4 s at 115200 baud; ser2net goes 1.5 s after
    // the run connected.
    tool.dir().write("batch.txt", "-c SS\n-c SI -o " + farend::tool_path(tool.dir().path(), "lost.bmp") +
                                      "\n-c SS\n-c SS\n");
    std::thread stopper([&server] {
        EXPECT_TRUE(server.wait_client(server.telnet_port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        server.stop(SIGKILL);
    });
    const auto start = std::chrono::steady_clock::now();
    const auto r =
        tool.run(server.rfc2217(), {"--exit-code", "-F", farend::tool_path(tool.dir().path(), "batch.txt")});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_LT(elapsed, std::chrono::seconds(farend::tool_is_windows() ? 15 : 6)) << r.err;
    EXPECT_FALSE(has(r.err, "Width: 0x100")) << r.err;
    EXPECT_TRUE(has(r.err, "Err: The serial port is gone; the batch file")) << r.err;
    EXPECT_TRUE(has(r.err, "ends before line 3")) << r.err;
    EXPECT_TRUE(has(r.err, server.rfc2217() + ": the connection to 127.0.0.1:")) << r.err;
    EXPECT_EQ(std::filesystem::file_size(tool.file("lost.bmp")), 0u) << "no image from a broken transfer";
}

TEST(Network, APortThatAcceptsAndNeverAnswers) {
    Silent silent;
    Tool tool;
    const std::string where = "127.0.0.1:" + std::to_string(silent.port);
    // rfc2217://: the option is never taken; bounded by the negotiation's wait.
    auto start = std::chrono::steady_clock::now();
    auto r = tool.run("rfc2217://" + where, {"--exit-code", "-c", "SS"}, {"-b", "115200", "-t", "300"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(farend::tool_is_windows() ? 12 : 6));
    EXPECT_TRUE(
        has(r.err, "Err: Cannot initialize sdk\n       " + where +
                       " does not take the COM-PORT-OPTION of RFC 2217 (no COM-PORT-OPTION within 3000 ms): "
                       "for a raw TCP port give socket://" +
                       where))
        << r.err;
    // socket://: the connection is made, the module never answers.
    start = std::chrono::steady_clock::now();
    r = tool.run("socket://" + where, {"--exit-code", "-c", "SS"}, {"-b", "115200", "-t", "300"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(farend::tool_is_windows() ? 12 : 5));
    EXPECT_TRUE(has(r.err, "The port socket://" + where + " opened but no module answered at 115200 baud"))
        << r.err;
    EXPECT_TRUE(
        has(r.err, "over socket:// the server's own line settings count: set its port to 115200 baud, 8N1"))
        << r.err;
}

TEST(Network, AConnectionThatIsNeverTakenTimesOut) {
    // A listener whose queue holds one connection that nobody takes: the
    // system drops the next one's handshake, as a host behind a firewall that
    // drops does.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 0), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    Tool tool;
    const auto start = std::chrono::steady_clock::now();
    const auto r = tool.run("rfc2217://" + where, {"--exit-code", "-c", "SS"});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ::close(filler);
    ::close(fd);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
    EXPECT_LT(elapsed, std::chrono::seconds(farend::tool_is_windows() ? 15 : 8));
    EXPECT_TRUE(has(r.err, "Err: Cannot initialize sdk\n       No answer from " + where + " within 5000 ms"))
        << r.err;
}

TEST(Network, RefusedPortsAndNamesThatCannotBeUsedAreDiagnosed) {
    const int closed = ser2net::free_port();
    Tool tool;
    struct Row {
        std::string port;
        std::string reason;
    };
    const Row rows[] = {
        {"rfc2217://127.0.0.1:" + std::to_string(closed),
         "Connection refused by 127.0.0.1:" + std::to_string(closed) + ": nothing listens on that port"},
        {"socket://127.0.0.1:" + std::to_string(closed), "Connection refused by 127.0.0.1:"},
        {"rfc2217://nosuchhost.invalid:2000",
         "Unknown host nosuchhost.invalid in rfc2217://nosuchhost.invalid:2000"},
        {"rfc2217://localhost", "rfc2217://localhost names no network port: the port number is missing"},
        {"tcp://localhost:2000", "tcp://localhost:2000 names no network port: no port of the kind tcp://"},
        {"socket://::1:2000", "socket://::1:2000 names no network port: an IPv6 address goes in brackets"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.port);
        const auto r = tool.run(row.port, {"--exit-code", "-c", "SS"});
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_TRUE(has(r.err, "Err: Cannot initialize sdk\n       " + row.reason)) << r.err;
    }
}

// The ser2net configuration of the manual (docs/network.md), as it stands: its devices and
// ports replaced, kelvor through both of its accepters.
TEST(Network, TheSer2netConfigurationOfTheManualServesBothKinds) {
    std::ifstream page(std::string(KELVOR_SOURCE_DIR) + "/docs/network.md");
    const std::string text((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    const size_t section = text.find("\n## ser2net\n");
    ASSERT_NE(section, std::string::npos) << "docs/network.md has no section ## ser2net";
    const size_t begin = text.find("```yaml\n", section);
    ASSERT_NE(begin, std::string::npos) << "docs/network.md has no ser2net configuration";
    const size_t end = text.find("```", begin + 8);
    const std::string yaml = text.substr(begin + 8, end - begin - 8);
    Sim sim;
    auto replace = [](std::string s, const std::string& from, const std::string& to) {
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
            s.replace(at, from.size(), to);
        return s;
    };
    ser2net::Server server([&](const ser2net::Ports& p) {
        std::string s = replace(replace(yaml, "/dev/ttyUSB0", sim.link), "/dev/ttyUSB1", sim.link);
        s = replace(s, "tcp,4001", "tcp,127.0.0.1," + std::to_string(p.telnet));
        return replace(s, "tcp,4002", "tcp,127.0.0.1," + std::to_string(p.raw));
    });
    Tool tool;
    for (const std::string& port : both(server)) {
        SCOPED_TRACE(port);
        const auto r = tool.run(port, {"--exit-code", "-x3", "-c", "SR", "-f", "0x71"});
        EXPECT_EQ(r.status, 0) << r.err << server.log();
        EXPECT_TRUE(has(r.err, "Baudrate(0x71): 0x35")) << r.err;
        let_ser2net_close();
    }
}
