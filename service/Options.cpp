#include "Options.h"

#include <algorithm>

#include <fcntl.h>
#include <getopt.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Http.h"
#include "ModuleIds.h"
#include "ModuleSDK.h"
#include "Numbers.h"

namespace kelvord {

namespace {

constexpr const char USAGE[] =
    R"(Usage: kelvord -P PORT -b RATE [-n 1 -m ID | --modules LIST] [-a 1] [-t MS]
               [--socket PATH] [--tcp HOST:PORT] [--http HOST:PORT]
               [--token-file FILE] [--directory FILE] [--foreground] [--heartbeat SECONDS] [--max-clients N]
               [--client-buffer BYTES] [--verbose] [--mqtt URL [MQTT options]]
               [--max-unauthenticated N] [--max-unauthenticated-per-address N]
               [--tls-cert FILE --tls-key FILE] [--origin URL]...
       kelvord --protocol-schema | --help | --version
Owns one serial line of fingerprint modules and serves it to many clients:
commands of every client go out one at a time, and what the modules send on
their own comes to the clients that watch, as JSON Lines (kelvord(8)).

The line, as kelvor takes it:
  -P PORT          serial port, e.g. /dev/ttyUSB0, or one behind a network
                   server: rfc2217://HOST:PORT or socket://HOST:PORT
  -b RATE          9600, 19200, 38400, 57600 or 115200
  -n 1 -m ID       network mode, the module of ID (1 to 65535)
  --modules LIST   a shared line of several modules (1,2,5-9), network mode
  -a 1             hex-text mode
  -t MS            read time-out, 1 to 600000 ms (default 1000)
Where it listens:
  --socket PATH    the Unix socket (mode 0660); default: PORT's name with
                   .sock under $RUNTIME_DIRECTORY, $XDG_RUNTIME_DIR/kelvord
                   or /run/kelvord
  --tcp HOST:PORT  TCP as well; every client presents the token first
  --http HOST:PORT the enrollment station: a web page and its WebSocket
                   (PORT alone: on localhost), behind the token too; beyond
                   this machine only with --token-file
  --token-file F   the token, in a file that only this user may read;
                   without it, a new token at each start in the socket's
                   path with .token for .sock (mode 0600), and the
                   station's address logged with it
  --station DIR    the station's files (default: installed with kelvord)
  --tls-cert FILE --tls-key FILE
                   --tcp and --http on TLS (1.2 at least): the certificate
                   chain and its key (PEM; the key readable by this user only)
  --origin URL     one more origin whose page may open the station's
                   WebSocket, for a page served through a proxy
                   (https://door.example:8443); again for more
The directory of people:
  --directory FILE names and notes for the line's user IDs (SQLite)
How it runs:
  --foreground     stay in the foreground, log to standard error (without
                   it: detach once listening, log to syslog)
  --heartbeat S    a status check after S seconds without traffic (default
                   10; 0: none): a silent module makes the line lost
  --max-clients N  clients at once (default 64), local clients and
                   authenticated remote ones each
  --max-unauthenticated N
                   remote clients at once that have not yet presented the
                   token, which they must within 3 s (default 8)
  --max-unauthenticated-per-address N
                   of those, from one address (default 4)
  --client-buffer BYTES
                   bytes that may wait for a client that does not read before
                   it is dropped (default 1048576)
  --verbose        log every client that comes and goes
  --protocol-schema  the JSON Schema of requests, answers and events
An MQTT broker (kelvord(8)):
  --mqtt URL       mqtt://HOST[:PORT] or mqtts://HOST[:PORT]: every event
                   published on PREFIX/LINE/MODULE/event, the service's
                   availability on PREFIX/LINE/status
  --mqtt-prefix P  the topics' first levels (default kelvor)
  --mqtt-commands  requests on PREFIX/LINE/command, answers on the request's
                   response topic (MQTT 5), else on .../result
  --mqtt-queue N   events held while the broker is away (default 1000)
  --mqtt-discovery P|off  Home Assistant's discovery prefix (homeassistant)
  --mqtt-ca FILE   mqtts: the CA of the broker (default: the system's)
  --mqtt-cert FILE --mqtt-key FILE  mqtts: a client certificate
  --mqtt-credentials FILE  user name and password, one a line (mode 0600)
  --mqtt-client-id ID  (default kelvord-HOST-LINE)
)";

enum LongOption {
    SOCKET = 256,
    TCP,
    TOKEN_FILE,
    FOREGROUND,
    HEARTBEAT,
    MAX_CLIENTS,
    CLIENT_BUFFER,
    MODULES,
    VERBOSE,
    PROTOCOL_SCHEMA,
    HTTP,
    STATION,
    DIRECTORY,
    MAX_UNAUTHENTICATED,
    MAX_UNAUTHENTICATED_PER_ADDRESS,
    TLS_CERT,
    TLS_KEY,
    ORIGIN,
    MQTT_OPTION = 0x1000, // + mqtt::Option
};

constexpr int mqtt_option(mqtt::Option o) {
    return MQTT_OPTION + static_cast<int>(o);
}

// A number as kelvor reads it, but refused when it is no number at all.
bool number(const char* text, uint32_t& out) {
    if (!text || !*text) return false;
    const std::string s = text;
    const bool hex = s.size() > 2 && s[0] == '0' && s[1] == 'x';
    const std::string digits = hex ? s.substr(2) : s;
    if (digits.empty() ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos ||
        digits.size() > (hex ? 8u : 10u))
        return false;
    const unsigned long long v = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

} // namespace

const char* usage_text() {
    return USAGE;
}

CommandLine parse_command_line(int argc, char** argv) {
    CommandLine c;
    DaemonOptions& o = c.options;
    LineSettings& line = o.line.settings;
    static const option LONG[] = {
        {"socket", required_argument, nullptr, SOCKET},
        {"tcp", required_argument, nullptr, TCP},
        {"token-file", required_argument, nullptr, TOKEN_FILE},
        {"foreground", no_argument, nullptr, FOREGROUND},
        {"heartbeat", required_argument, nullptr, HEARTBEAT},
        {"max-clients", required_argument, nullptr, MAX_CLIENTS},
        {"client-buffer", required_argument, nullptr, CLIENT_BUFFER},
        {"modules", required_argument, nullptr, MODULES},
        {"verbose", no_argument, nullptr, VERBOSE},
        {"protocol-schema", no_argument, nullptr, PROTOCOL_SCHEMA},
        {"http", required_argument, nullptr, HTTP},
        {"station", required_argument, nullptr, STATION},
        {"directory", required_argument, nullptr, DIRECTORY},
        {"max-unauthenticated", required_argument, nullptr, MAX_UNAUTHENTICATED},
        {"max-unauthenticated-per-address", required_argument, nullptr, MAX_UNAUTHENTICATED_PER_ADDRESS},
        {"tls-cert", required_argument, nullptr, TLS_CERT},
        {"tls-key", required_argument, nullptr, TLS_KEY},
        {"origin", required_argument, nullptr, ORIGIN},
        {"mqtt", required_argument, nullptr, mqtt_option(mqtt::Option::Url)},
        {"mqtt-prefix", required_argument, nullptr, mqtt_option(mqtt::Option::Prefix)},
        {"mqtt-discovery", required_argument, nullptr, mqtt_option(mqtt::Option::Discovery)},
        {"mqtt-ca", required_argument, nullptr, mqtt_option(mqtt::Option::Ca)},
        {"mqtt-cert", required_argument, nullptr, mqtt_option(mqtt::Option::Cert)},
        {"mqtt-key", required_argument, nullptr, mqtt_option(mqtt::Option::Key)},
        {"mqtt-credentials", required_argument, nullptr, mqtt_option(mqtt::Option::Credentials)},
        {"mqtt-client-id", required_argument, nullptr, mqtt_option(mqtt::Option::ClientId)},
        {"mqtt-commands", no_argument, nullptr, mqtt_option(mqtt::Option::Commands)},
        {"mqtt-queue", required_argument, nullptr, mqtt_option(mqtt::Option::Queue)},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    const auto refuse = [&c](std::string why) {
        c.action = CommandLine::Action::Refused;
        c.error = std::move(why);
        return c;
    };
    bool haveRate = false, haveModuleId = false;
    ::opterr = 0;
    ::optind = 1;
    for (int opt; (opt = ::getopt_long(argc, argv, ":P:b:n:m:a:t:hV", LONG, nullptr)) != -1;) {
        uint32_t v = 0;
        const char* arg = ::optarg;
        if (opt >= MQTT_OPTION) {
            std::string why;
            if (!mqtt::take_option(static_cast<mqtt::Option>(opt - MQTT_OPTION), arg, o.mqtt, why))
                return refuse(why);
            continue;
        }
        switch (opt) {
        case 'P':
            if (!*arg) return refuse("-P names the serial port");
            line.port = arg;
            break;
        case 'b': {
            const int code = number(arg, v) ? baud_code_of_rate(v) : -1;
            if (code < 0)
                return refuse(std::string("-b ") + arg + ": the rate is 9600, 19200, 38400, 57600 or 115200");
            line.baudCode = code;
            haveRate = true;
            break;
        }
        case 'n':
            if (!number(arg, v)) return refuse(std::string("-n ") + arg + ": a number (1: network mode)");
            line.network = v == 1 ? 1 : 0;
            break;
        case 'm':
            if (!number(arg, v) || v < 1 || v > 0xFFFF)
                return refuse(std::string("-m ") + arg + ": a module ID from 1 to 65535");
            line.moduleId = static_cast<uint16_t>(v);
            haveModuleId = true;
            break;
        case 'a':
            if (!number(arg, v)) return refuse(std::string("-a ") + arg + ": a number (1: hex text)");
            line.hexText = v == 1 ? 1 : 0;
            break;
        case 't':
            if (!number(arg, v) || v < static_cast<uint32_t>(kelvor::READ_TIMEOUT_LEAST_MS) ||
                v > static_cast<uint32_t>(kelvor::READ_TIMEOUT_MOST_MS))
                return refuse(std::string("-t ") + arg + ": the read time-out is " +
                              std::to_string(kelvor::READ_TIMEOUT_LEAST_MS) + " to " +
                              std::to_string(kelvor::READ_TIMEOUT_MOST_MS) + " ms");
            line.readTimeout = static_cast<int>(v);
            break;
        case SOCKET:
            if (!*arg) return refuse("--socket names the socket's path");
            o.socketPath = arg;
            break;
        case TCP: o.tcp = arg; break;
        case HTTP:
            if (!*arg) return refuse("--http takes HOST:PORT or PORT");
            o.http = arg;
            break;
        case STATION:
            if (!*arg) return refuse("--station names the directory of the station's files");
            o.stationDir = arg;
            break;
        case DIRECTORY:
            if (!*arg) return refuse("--directory names the directory's file");
            o.directory = arg;
            break;
        case TOKEN_FILE: o.tokenFile = arg; break;
        case FOREGROUND: o.foreground = true; break;
        case VERBOSE: o.verbose = true; break;
        case HEARTBEAT:
            if (!number(arg, v) || v > 86400)
                return refuse(std::string("--heartbeat ") + arg + ": seconds from 0 to 86400");
            o.line.heartbeatMs = static_cast<int>(v) * 1000;
            break;
        case MAX_CLIENTS:
            if (!number(arg, v) || v < 1 || v > 65536)
                return refuse(std::string("--max-clients ") + arg + ": 1 to 65536");
            o.maxClients = v;
            break;
        case CLIENT_BUFFER:
            if (!number(arg, v) || v < 4096)
                return refuse(std::string("--client-buffer ") + arg + ": 4096 bytes or more");
            o.clientBuffer = v;
            break;
        case MAX_UNAUTHENTICATED:
            if (!number(arg, v) || v < 1 || v > 65536)
                return refuse(std::string("--max-unauthenticated ") + arg + ": 1 to 65536");
            o.maxUnauthenticated = v;
            break;
        case MAX_UNAUTHENTICATED_PER_ADDRESS:
            if (!number(arg, v) || v < 1 || v > 65536)
                return refuse(std::string("--max-unauthenticated-per-address ") + arg + ": 1 to 65536");
            o.maxUnauthenticatedPerAddress = v;
            break;
        case TLS_CERT:
            if (!*arg) return refuse("--tls-cert names the certificate's file");
            o.tlsCert = arg;
            break;
        case TLS_KEY:
            if (!*arg) return refuse("--tls-key names the key's file");
            o.tlsKey = arg;
            break;
        case ORIGIN: {
            std::string origin;
            if (!origin_url(arg, origin))
                return refuse(std::string("--origin ") + arg +
                              ": an origin, http:// or https:// and HOST[:PORT] (https://door.example:8443)");
            if (o.origins.size() >= 64) return refuse("--origin: 64 origins at most");
            o.origins.push_back(origin);
            break;
        }
        case MODULES: {
            std::string why;
            if (!parse_module_ids(arg, o.line.modules, why))
                return refuse(std::string("--modules ") + arg + ": " + why);
            break;
        }
        case PROTOCOL_SCHEMA: c.action = CommandLine::Action::ProtocolSchema; return c;
        case 'h': c.action = CommandLine::Action::Help; return c;
        case 'V': c.action = CommandLine::Action::Version; return c;
        case ':': return refuse(std::string("option ") + argv[::optind - 1] + " needs a value");
        default: return refuse(std::string("unknown option ") + argv[::optind - 1]);
        }
    }
    if (::optind < argc) return refuse(std::string("unexpected word ") + argv[::optind]);
    if (line.port.empty()) return refuse("no serial port: -P PORT");
    if (!haveRate) return refuse("no baud rate: -b RATE");
    if (!o.line.modules.empty()) {
        if (haveModuleId) return refuse("--modules names the modules; -m is for a line of one");
        line.network = 1;
        line.moduleId = o.line.modules.front();
    }
    if (o.tcp.empty() && o.http.empty() && !o.tokenFile.empty())
        return refuse("--token-file goes with --tcp or --http");
    if (!o.stationDir.empty() && o.http.empty()) return refuse("--station goes with --http");
    if (o.tlsCert.empty() != o.tlsKey.empty()) return refuse("--tls-cert and --tls-key go together");
    if (!o.tlsCert.empty() && o.tcp.empty() && o.http.empty())
        return refuse("--tls-cert goes with --tcp or --http");
    if (!o.origins.empty() && o.http.empty()) return refuse("--origin goes with --http");
    if (!o.http.empty()) {
        std::string host, port;
        if (!http_address(o.http, host, port))
            return refuse("--http " + o.http + ": HOST:PORT (localhost:8080, [::1]:8080) or PORT");
        if (!loopback_host(host) && o.tokenFile.empty())
            return refuse("--http " + o.http +
                          " listens beyond this machine: give --token-file, whose token the page asks for");
    }
    if (std::string why; !mqtt::check_options(o.mqtt, why)) return refuse(why);
    return c;
}

std::string installed_station_dir() {
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    std::string dir(exe, static_cast<size_t>(n));
    dir = dir.substr(0, dir.rfind('/')); // .../bin
    dir = dir.substr(0, dir.rfind('/')); // the prefix
    return dir + "/share/kelvord/station";
}

std::string socket_name(const std::string& port) {
    return mqtt::line_name(port) + ".sock";
}

std::string runtime_directory(std::string& error) {
    if (const char* d = std::getenv("RUNTIME_DIRECTORY"); d && *d) {
        const std::string all = d;
        return all.substr(0, all.find(':'));
    }
    std::string dir;
    mode_t mode = 0750;
    if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) {
        dir = std::string(x) + "/kelvord";
        mode = 0700;
    } else {
        dir = "/run/kelvord";
    }
    if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + std::strerror(errno) + " (give --socket PATH)";
        return {};
    }
    return dir;
}

namespace {

std::string octal_mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// "user NAME (uid N)", or "uid N" for a number of no user.
std::string user_of(uid_t uid) {
    std::string name;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(4096);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        name = found->pw_name;
    const std::string number = "uid " + std::to_string(uid);
    return name.empty() ? number : "user " + name + " (" + number + ")";
}

bool trusted_owner(uid_t uid) {
    return uid == ::geteuid() || uid == 0;
}

std::string parent_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace

std::string untrusted_file(int fd, const std::string& path, const std::string& what, unsigned forbidden) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return what + " " + path + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return what + " " + path + " is no regular file";
    if (!trusted_owner(st.st_uid))
        return what + " " + path + " belongs to " + user_of(st.st_uid) + ", not to this service's " +
               user_of(::geteuid()) + " or root: another user could change it";
    const mode_t bad = st.st_mode & forbidden;
    if (bad & 022)
        return what + " " + path + " may be written by others (mode " + octal_mode(st.st_mode) + ", owner " +
               user_of(st.st_uid) + "): chmod " + ((forbidden & 044) ? "600 " : "go-w ") + path;
    if (bad)
        return what + " " + path + " may be read by others (mode " + octal_mode(st.st_mode) +
               "): chmod 600 " + path;
    return {};
}

std::string untrusted_directory_of(const std::string& path, const std::string& what) {
    const std::string dir = parent_of(path);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
    if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))
        return what + " " + path + " is in " + dir + ", which anyone may write (mode " +
               octal_mode(st.st_mode) +
               ", no sticky bit): another user could put a file of theirs in its place";
    if (!trusted_owner(st.st_uid))
        return what + " " + path + " is in " + dir + ", which belongs to " + user_of(st.st_uid) +
               ": that user could put a file of theirs in its place";
    return {};
}

std::optional<std::string> read_private_file(const std::string& path, const std::string& what,
                                             std::string& error) {
    if (error = untrusted_directory_of(path, what); !error.empty()) return std::nullopt;
    // Never through a symbolic link; judged on the file opened, not on its name.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error =
            what + " " + path + ": " +
            (errno == ELOOP ? std::string("a symbolic link, which is not followed") : std::strerror(errno));
        return std::nullopt;
    }
    error = untrusted_file(fd, path, what, 077);
    struct stat st {};
    if (error.empty() && (::fstat(fd, &st) != 0 || st.st_size > 4096))
        error = what + " " + path + " holds more than 4096 bytes";
    std::optional<std::string> text;
    if (error.empty()) {
        char buffer[4097];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer - 1)) < 0 && errno == EINTR) {
        }
        if (n < 0)
            error = what + " " + path + ": " + std::strerror(errno);
        else
            text.emplace(buffer, static_cast<size_t>(n));
        ::explicit_bzero(buffer, sizeof buffer);
    }
    ::close(fd);
    return text;
}

std::string read_token_file(const std::string& path, std::string& error) {
    std::optional<std::string> text = read_private_file(path, "the token file", error);
    if (!text) return {};
    std::string token = std::move(*text);
    while (!token.empty() &&
           (token.back() == '\n' || token.back() == '\r' || token.back() == ' ' || token.back() == '\t'))
        token.pop_back();
    if (token.size() < 16) {
        error = "the token in " + path + " is shorter than 16 characters";
        token.clear();
    } else if (token.size() > TOKEN_BYTES_MAX) {
        // A client presents it in its first line, which may hold 1 KiB.
        error = "the token in " + path + " is longer than " + std::to_string(TOKEN_BYTES_MAX) + " bytes";
        token.clear();
    } else if (std::any_of(token.begin(), token.end(),
                           [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f; })) {
        error = "the token in " + path + " holds a control character";
        token.clear();
    }
    return token;
}

} // namespace kelvord

namespace kelvord {

std::string generated_token_path(const std::string& socketPath) {
    const std::string suffix = ".sock";
    if (socketPath.size() > suffix.size() &&
        socketPath.compare(socketPath.size() - suffix.size(), suffix.size(), suffix) == 0)
        return socketPath.substr(0, socketPath.size() - suffix.size()) + ".token";
    return socketPath + ".token";
}

std::string make_token_file(const std::string& path, std::string& error) {
    if (error = untrusted_directory_of(path, "the token file"); !error.empty()) return {};
    unsigned char bits[32];
    for (size_t got = 0; got < sizeof bits;) {
        const ssize_t n = ::getrandom(bits + got, sizeof bits - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::string("no random bits for the token: ") + std::strerror(errno);
            return {};
        }
        got += static_cast<size_t>(n);
    }
    static const char DIGITS[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bits) {
        token += DIGITS[b >> 4];
        token += DIGITS[b & 15];
    }
    ::explicit_bzero(bits, sizeof bits);
    // A new file of this user's alone from its first byte (mkostemp: O_EXCL,
    // mode 0600), renamed over the old one: a reader sees the old token or the
    // new one, never a part, and never a file that others could open.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write the token file " + path + ": " + std::strerror(errno);
        return {};
    }
    const std::string text = token + "\n";
    bool ok = true;
    for (size_t at = 0; ok && at < text.size();) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) at += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write the token file " + path + ": " + std::strerror(ok ? errno : writeErrno);
        ::unlink(temporary.c_str());
        return {};
    }
    return token;
}

} // namespace kelvord
