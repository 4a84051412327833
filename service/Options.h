// The command line of kelvord: kelvor's own line options, where the service
// listens, and how it runs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Line.h"
#include "Mqtt.h"

namespace kelvord {

struct DaemonOptions {
    LineOptions line;
    std::string socketPath; // empty: under the runtime directory, named after the port
    std::string tcp;        // HOST:PORT, empty for none
    std::string tokenFile;
    std::string http;       // the station: HOST:PORT (or PORT, on localhost), empty for none
    std::string stationDir; // the station's files; empty: those installed with the program
    std::string directory;  // the directory of people (SQLite), empty for none
    bool foreground = false;
    bool verbose = false;
    size_t maxClients = 64;
    size_t clientBuffer = 1u << 20;
    size_t maxUnauthenticated = 8;           // remote clients not yet authenticated at once
    size_t maxUnauthenticatedPerAddress = 4; // of those, from one address
    std::string tlsCert, tlsKey;             // TLS on --tcp and --http, when given
    std::vector<std::string> origins;        // --origin: pages elsewhere whose WebSocket is taken
    mqtt::Options mqtt; // --mqtt URL and its options: a broker to publish to
};

// What the command line asks: a service to run, or something printed at once.
struct CommandLine {
    enum class Action { Run, Help, Version, ProtocolSchema, Refused } action = Action::Run;
    DaemonOptions options;
    std::string error; // why it was refused
};

CommandLine parse_command_line(int argc, char** argv);

const char* usage_text();

// The socket's default name: the line's name, as its topics have it
// (mqtt::line_name), and ".sock".
std::string socket_name(const std::string& port);
// The directory the socket goes to by default: systemd's RuntimeDirectory,
// else $XDG_RUNTIME_DIR/kelvord, else /run/kelvord (created when missing).
// Empty with `error` set when it cannot be had.
std::string runtime_directory(std::string& error);

// The token of TCP and HTTP clients from a file that only the service's user
// may read: a regular file of this user (or root's), no permission for group
// or others, in a directory that no stranger may swap it in, a token of 16
// characters at least (the line end not counted). Empty with `error` set.
// A token's length at most: with the rest of an auth request, and a quote or
// backslash escaped, it fits the 1 KiB that a client may send before it.
inline constexpr size_t TOKEN_BYTES_MAX = 256;
std::string read_token_file(const std::string& path, std::string& error);
// A small secret file of this user's own, with the same checks ("the token
// file", "the credentials file" name it in `error`): its text, or nothing.
std::optional<std::string> read_private_file(const std::string& path, const std::string& what,
                                             std::string& error);

// Why the file open on `fd` (at `path`, `what` names it) is none the service
// may trust, as ssh judges its keys: not a regular file, owned by a user
// other than the service's (effective) one or root, or with one of the
// permission bits of `forbidden` (022: others may write it; 077: others may
// read it too). Empty when it may be trusted.
std::string untrusted_file(int fd, const std::string& path, const std::string& what, unsigned forbidden);
// Why the directory that holds `path` lets a stranger swap the file: anyone
// may write it and it has no sticky bit, or it belongs to another user than
// the service's or root. Empty when it does not (or cannot be looked at:
// opening the file then tells).
std::string untrusted_directory_of(const std::string& path, const std::string& what);

// The token made when no --token-file is given: beside the socket, its name
// with .token for .sock (/run/kelvord/ttyUSB0.token for
// /run/kelvord/ttyUSB0.sock).
std::string generated_token_path(const std::string& socketPath);
// 256 bits of the system's random source as 64 hex digits, written to a new
// file of mode 0600 (created so, never changed after) that replaces `path`
// at once. Empty with `error` set.
std::string make_token_file(const std::string& path, std::string& error);

// The station's files installed with the program: share/kelvord/station beside
// the directory of the program (bin or sbin), as an install and the build
// tree both lay them out.
std::string installed_station_dir();

} // namespace kelvord
