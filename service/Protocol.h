// The service's protocol: JSON Lines, one object per line, each tagged by
// "class". A client sends requests (command, watch, devices, version, scan,
// auth, cancel; the directory's person_set, people and person_remove; backup, restore, copy_users) and gets
// one answer per request, in the order of its requests, and, once it watches, event objects as they happen.
// Anything malformed is answered with an "error" object; the connection goes on.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Base64.h"
#include "Execute.h"

namespace kelvord {

using Json = nlohmann::ordered_json;

// The level of the protocol, "protocol" in the answer to "version"; it grows
// when a request or an answer changes in a way an existing client would notice.
inline constexpr int PROTOCOL_LEVEL = 2;
// The longest request line taken, the base64 of an input file included.
inline constexpr size_t REQUEST_BYTES_MAX = 8u << 20;
// The longest id echoed, as JSON text.
inline constexpr size_t ID_BYTES_MAX = 1024;
// What one request may hold: arrays and objects in one another, the members
// of one object, its values in all (a restore of the most files takes three
// a file), the bytes of one member's name. A line past any of them is refused
// as the parser meets it.
inline constexpr int NESTING_MAX = 32;
inline constexpr size_t MEMBERS_MAX = 256;
inline constexpr size_t REQUEST_VALUES_MAX = 400000;
inline constexpr size_t KEY_BYTES_MAX = 256;
// The longest line of a client that has not presented its token yet: an
// auth request and its id.
inline constexpr size_t AUTH_BYTES_MAX = 1024;

struct WatchRequest {
    bool enable = true;
};
struct DevicesRequest {};
struct VersionRequest {};
// The modules that answer on the line, IDs first to last (a shared line).
struct ScanRequest {
    uint32_t first = 1;
    uint32_t last = 255;
    int traceLevel = -1;
    int waitMs = 0; // each ID's wait for its answer, as kelvor's -t gives it; 0: as the rate needs
};
// The most IDs one scan asks: each may wait its wait_ms.
inline constexpr uint32_t SCAN_IDS_MAX = 255;
// Stops the client's own job whose request had the cancel's id.
struct CancelRequest {};
// The token a TCP client presents first.
struct AuthRequest {
    std::string token;
};
// The people of one answer to "people", unless the request asks for fewer,
// and the most it may ask for.
inline constexpr size_t PEOPLE_PAGE_DEFAULT = 500;
inline constexpr size_t PEOPLE_PAGE_MAX = 5000;
// The directory of people: a name and a note for a user ID of the line.
struct PersonSetRequest {
    uint32_t userId = 0;
    std::string name;
    std::string note;
};
// A page of the directory: at most `limit` people, the first after the user
// ID `after` (from the start without it).
struct PeopleRequest {
    size_t limit = PEOPLE_PAGE_DEFAULT;
    std::optional<uint32_t> after;
};
struct PersonRemoveRequest {
    uint32_t userId = 0;
};
// kelvor --backup of a module, its files carried in the answer; kelvor
// --restore from files the request carries; kelvor --copy-users from a module
// of the line or from a backup's files the request carries. `directory` is the
// name the answer's objects and lines give the backup: the request's
// "directory" (a name), or its "path" or a copy's "from" (a client's path).
// `progress`: objects of class "progress" come ahead of the answer.
struct WorkRequest {
    std::optional<uint16_t> moduleId;
    std::string directory = "backup";
    std::vector<BackupFile> files;
    WorkOptions options;
    bool progress = false;
};
struct BackupRequest : WorkRequest {};
struct RestoreRequest : WorkRequest {};
struct CopyUsersRequest : WorkRequest {};
// The most files a restore request carries (a manifest and a file per user).
inline constexpr size_t BACKUP_FILES_MAX = 100001;
// Whether `name` may name a file of a backup directory: letters, digits,
// ".", "_" and "-", at most 64 of them, no "." first.
bool backup_file_name_ok(const std::string& name);

// A request that cannot be carried out as it stands: why.
struct BadRequest {
    std::string message;
};

struct Request {
    Json id; // null when the request gave none (or was no object)
    std::variant<BadRequest, CommandRequest, WatchRequest, DevicesRequest, VersionRequest, ScanRequest,
                 AuthRequest, PersonSetRequest, PeopleRequest, PersonRemoveRequest, BackupRequest,
                 RestoreRequest, CopyUsersRequest, CancelRequest>
        body;
};

// One request line (without its line end). Never throws; anything it cannot
// take comes back as a BadRequest with the id it carried, when it had one.
// Its time and memory are linear in the line's length, whatever its shape.
Request parse_request(std::string_view line);
// The line of a client that has not authenticated: at most AUTH_BYTES_MAX
// bytes, of which only an auth request is taken (anything else, a refusal).
Request parse_auth_request(std::string_view line);

// The answers, each as its line without the line end.
std::string error_line(const Json& id, std::string_view message);
// A command's answer: kelvor --json's object of the command with the request's
// class and id before its members, and what the command wrote as "output"
// (base64) and, when the request asked for one, its "trace" after them.
std::string command_answer(const Json& id, const CommandResult& result, bool withTrace);
// A step of a command that asked for them: one answer of the module as it came.
std::string step_line(const Json& id, std::optional<uint16_t> moduleId, const AnswerStep& step);
// The class of a work's requests and answers: "backup", "restore", "copy_users".
const char* work_class(Tool tool);
// The answer to a backup, restore or copy: the work's objects (or its lines
// for the operator), whether it was partial, the backup's files.
std::string work_answer(const Json& id, Tool tool, const WorkResult& work,
                        const std::vector<BackupFile>* files, bool withTrace);
// A work's progress as it goes (see WorkProgress).
std::string progress_line(const Json& id, Tool tool, const char* member, const std::string& json);

} // namespace kelvord
