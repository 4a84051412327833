// kelvord: one owner for a serial line of fingerprint modules, many clients.
// The vocabulary before Asio (see Server.h).
#include "Directory.h"
#include "Http.h"
#include "ModuleSDK.h"
#include "MqttBridge.h"
#include "Options.h"
#include "ProtocolSchema.h"
#include "Server.h"
#include "Transport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

using namespace kelvord;

namespace {

// The log: standard error in the foreground (the journal under systemd),
// syslog once detached. Both threads write to it.
struct Log {
    std::mutex mutex;
    bool syslog = false;
};

Log& the_log() {
    static Log instance;
    return instance;
}

void log_line(const std::string& text) {
    Log& l = the_log();
    const std::lock_guard<std::mutex> lock(l.mutex);
    if (l.syslog) {
        ::syslog(LOG_INFO, "%s", text.c_str());
    } else {
        std::fprintf(stderr, "kelvord: %s\n", text.c_str());
        std::fflush(stderr);
    }
}

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

// Detaches from the terminal: the parent waits until the child is listening
// (or tells why it cannot) and ends with that. Returns in the child, with the
// descriptor it reports on; -1 when it stays in the foreground.
int detach() {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid > 0) {
        ::close(ready[1]);
        std::string said;
        char buffer[512];
        for (ssize_t n; (n = ::read(ready[0], buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            said.append(buffer, static_cast<size_t>(n));
        }
        if (said == "R") std::_Exit(0);
        if (!said.empty()) std::fprintf(stderr, "kelvord: %s\n", said.c_str());
        std::_Exit(1);
    }
    ::close(ready[0]);
    ::setsid();
    return ready[1];
}

void report_ready(int fd, const std::string& error) {
    if (fd < 0) return;
    const std::string said = error.empty() ? "R" : error;
    [[maybe_unused]] const ssize_t n = ::write(fd, said.data(), said.size());
    ::close(fd);
}

} // namespace

int main(int argc, char** argv) {
    const CommandLine cl = parse_command_line(argc, argv);
    switch (cl.action) {
    case CommandLine::Action::Help: std::fputs(usage_text(), stdout); return 0;
    case CommandLine::Action::Version: std::printf("kelvord %s\n", kelvor::version()); return 0;
    case CommandLine::Action::ProtocolSchema:
        std::fwrite(KELVORD_PROTOCOL_SCHEMA, 1, std::strlen(KELVORD_PROTOCOL_SCHEMA), stdout);
        return 0;
    case CommandLine::Action::Refused:
        std::fprintf(stderr, "kelvord: %s (kelvord --help)\n", cl.error.c_str());
        return 2;
    case CommandLine::Action::Run: break;
    }
    DaemonOptions o = cl.options;
    ServiceOptions so;
    so.maxClients = o.maxClients;
    so.clientBuffer = o.clientBuffer;
    so.verbose = o.verbose;
    so.maxUnauthenticated = o.maxUnauthenticated;
    so.maxUnauthenticatedPerAddress = o.maxUnauthenticatedPerAddress;
    if (!o.tokenFile.empty()) {
        std::string why;
        so.token = read_token_file(o.tokenFile, why);
        if (so.token.empty()) {
            std::fprintf(stderr, "kelvord: %s\n", why.c_str());
            return 2;
        }
    }
    if (o.socketPath.empty()) {
        std::string why;
        const std::string dir = runtime_directory(why);
        if (dir.empty()) {
            std::fprintf(stderr, "kelvord: %s\n", why.c_str());
            return 1;
        }
        o.socketPath = dir + "/" + socket_name(o.line.settings.port);
    }
    // Every listener beside the socket takes the token: without --token-file,
    // one made now, for this run alone, where the socket's users find it.
    std::string madeTokenFile;
    if (so.token.empty() && (!o.tcp.empty() || !o.http.empty())) {
        std::string why;
        madeTokenFile = absolute(generated_token_path(o.socketPath));
        so.token = make_token_file(madeTokenFile, why);
        if (so.token.empty()) {
            std::fprintf(stderr, "kelvord: %s (or give --token-file)\n", why.c_str());
            return 1;
        }
    }
    if (!o.http.empty()) {
        o.stationDir = absolute(o.stationDir.empty() ? installed_station_dir() : o.stationDir);
        if (::access((o.stationDir + "/index.html").c_str(), R_OK) != 0) {
            std::fprintf(stderr, "kelvord: the station's files are not in %s (--station DIR)\n",
                         o.stationDir.c_str());
            return 1;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    int readyFd = -1;
    if (!o.foreground) {
        o.socketPath = absolute(o.socketPath);
        o.line.settings.port = absolute(o.line.settings.port);
        o.directory = absolute(o.directory);
        o.tlsCert = absolute(o.tlsCert);
        o.tlsKey = absolute(o.tlsKey);
        for (std::string* file : {&o.mqtt.caFile, &o.mqtt.certFile, &o.mqtt.keyFile, &o.mqtt.credentialsFile})
            *file = absolute(*file);
        readyFd = detach();
        if (::chdir("/") != 0) {
        }
        ::openlog("kelvord", LOG_PID, LOG_DAEMON);
    }

    boost::asio::io_context io;
    Service* service = nullptr;
    // The directory of people, opened after the detach (SQLite never crosses a fork).
    std::unique_ptr<Directory> directory;
    try {
        if (!o.directory.empty()) directory = std::make_unique<Directory>(o.directory);
    } catch (const std::exception& e) {
        report_ready(readyFd, e.what());
        if (readyFd < 0) std::fprintf(stderr, "kelvord: %s\n", e.what());
        return 1;
    }
    so.directory = directory.get();
    // Identifications carry the person's name wherever the events go.
    const auto named = [&directory](std::string event) {
        return directory ? directory->name_event(std::move(event)) : event;
    };
    Line line(
        o.line, [&service, &named](std::string event) { service->publish(named(std::move(event))); },
        log_line);
    Service theService(io, line, so, log_line);
    service = &theService;
    std::optional<UnixListener> unixListener;
    std::optional<TcpListener> tcpListener;
    std::optional<HttpListener> httpListener;
    try {
        std::shared_ptr<boost::asio::ssl::context> tls;
        if (!o.tlsCert.empty()) tls = tls_context(o.tlsCert, o.tlsKey);
        unixListener.emplace(io, theService, o.socketPath);
        if (!o.tcp.empty()) tcpListener.emplace(io, theService, o.tcp, tls);
        if (!o.http.empty())
            httpListener.emplace(io, theService, HttpOptions{o.http, o.stationDir, true, 64, tls, o.origins});
    } catch (const std::exception& e) {
        report_ready(readyFd, e.what());
        if (readyFd < 0) std::fprintf(stderr, "kelvord: %s\n", e.what());
        return 1;
    }
    // The broker, when there is one: its files read now, its thread started
    // once the loop's signals are set.
    std::optional<MqttBridge> mqtt;
    if (!o.mqtt.url.empty()) {
        try {
            mqtt.emplace(io, theService, o.line, o.mqtt, log_line);
        } catch (const std::exception& e) {
            report_ready(readyFd, e.what());
            if (readyFd < 0) std::fprintf(stderr, "kelvord: %s\n", e.what());
            return 2;
        }
    }
    log_line("serving " + o.line.settings.port + " on " + o.socketPath +
             (tcpListener ? std::string(" and ") + (o.tlsCert.empty() ? "" : "TLS on ") + "TCP port " +
                                std::to_string(tcpListener->port())
                          : ""));
    if (httpListener) {
        // The address as given (a port alone: localhost), and the port taken when it was 0.
        const bool portAlone = o.http.find(':') == std::string::npos;
        // A token made here goes in the address's fragment, which the browser
        // sends to no server (nor in a Referer); the page takes it from there.
        // One of --token-file stays in its file.
        log_line(std::string("the station: ") + (o.tlsCert.empty() ? "http://" : "https://") +
                 (portAlone ? std::string("localhost") : o.http.substr(0, o.http.rfind(':'))) + ":" +
                 std::to_string(httpListener->port()) + "/" +
                 (madeTokenFile.empty() ? " (log in with the token of " + o.tokenFile + ")"
                                        : "#token=" + so.token));
    }
    if (!madeTokenFile.empty()) log_line("the token of this run: " + madeTokenFile);
    if (readyFd >= 0) {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        the_log().syslog = true;
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::close(null);
        }
    }
    // The signals are the loop's before the line's thread starts: the port's
    // own handlers then leave them alone.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
    std::function<void(const boost::system::error_code&, int)> onSignal =
        [&](const boost::system::error_code& ec, int signal) {
            if (ec) return;
            if (signal == SIGHUP) {
                log_line("SIGHUP: nothing to reload");
                signals.async_wait(onSignal);
                return;
            }
            log_line(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
            io.stop();
        };
    signals.async_wait(onSignal);
    if (mqtt) mqtt->start();
    line.start();
    report_ready(readyFd, {});

    // A handler that throws (memory that cannot be had) costs its client, not the service.
    for (;;) {
        try {
            io.run();
            break;
        } catch (const std::exception& e) {
            log_line(std::string("an event of the loop failed: ") + e.what());
        }
    }
    if (mqtt) mqtt->stop();
    line.stop();
    return 0;
}
