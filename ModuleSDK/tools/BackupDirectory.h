// A backup of a module's users is a directory: one file per user holding the
// user's templates back to back, and a manifest (manifest.txt) with the module
// settings that decide whether the templates fit another module, the users
// with their files and SHA-256 sums, the administrator levels and
// authentication policies that are not the defaults, and last the SHA-256 of
// the manifest itself. This reads and writes it; nothing here prints.
//
//   kelvor-backup 2                                  (1 when no user-settings line follows)
//   template-size 0x180
//   enroll-mode 0x30
//   security-level 0x34
//   user 0x3 0x2 0x180 SHA256 user-00000003.tpl    (ID, templates, bytes each, sum, file)
//   user-settings 0x3 0x1 0x2                        (ID, administrator level, policy)
//   sha256 SHA256
//
// A user without a user-settings line has level None (0) and policy
// Fingerprint (0): a backup of users who all have those is of format 1, byte
// for byte what kelvor wrote before it kept levels and policies, and readable
// by every kelvor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ModuleUsers.h"

namespace backup {

inline constexpr const char* MANIFEST = "manifest.txt";
// The most bytes of a backup's files that go through the service in one
// request (a restore's, or what a backup hands over): their base64 fits in
// one request line.
inline constexpr uint64_t SERVICE_FILES_BYTES_MAX = 5u << 20;
// The largest manifest read: far above a module's users.
inline constexpr size_t MANIFEST_BYTES_MAX = 64u * 1024 * 1024;

struct UserEntry {
    uint32_t id = 0;
    uint32_t count = 0; // templates
    uint32_t size = 0;  // bytes of each
    std::string sha;
    std::string file;
    uint32_t adminLevel = 0;
    uint32_t authPolicy = 0;
    bool has_settings() const { return adminLevel != 0 || authPolicy != 0; }
};

struct Manifest {
    // 1, or 2 with user-settings lines.
    int format = 1;
    uint32_t templateSize = 0;
    uint32_t enrollMode = 0;
    uint32_t securityLevel = 0;
    std::vector<UserEntry> users;
};

// "user-00000003.tpl".
std::string user_file(uint32_t id);
// The manifest's whole text, its own sum last; format 2 exactly when a user has
// a level or policy other than the defaults.
std::string manifest_text(const Manifest& m);

// What went wrong with a backup directory, for the caller's error line.
enum class Fault {
    None,
    ManifestUnreadable, // path: the manifest
    ManifestDamaged,    // path: the manifest; its own sum is wrong
    NotABackup,         // path: the manifest; detail: the line that is not one of a backup
    UserZero,           // path: the directory; a user ID of 0
    FileDamaged,        // path: the user's file; missing, of another size, or another sum
    SizeMismatch,       // path: the directory; user, size: templates of another size than `expected`
    Exists,             // path: the backup directory that is there already
    CannotCreate,       // path: the directory; error: errno
    CannotWrite,        // path: the file; error: errno
    CannotRename,       // path: the temporary directory; detail: the final one; error: errno
    TooLarge,           // path: the directory; the users' templates exceed what is read at once
};
struct Problem {
    Fault fault = Fault::None;
    std::string path;
    std::string detail;
    int error = 0;
    uint32_t user = 0;
    uint32_t size = 0;
    uint32_t expected = 0;
};

// The problem in words, for an error line: "The backup file DIR/user-00000003.tpl
// is damaged or missing", with "; nothing is UNDONE" where the problem
// refuses the whole backup and `undone` ("restored", "copied") is not empty.
std::string problem_text(const Problem& problem, const char* undone);

// Parses a manifest's text (its own sum checked first); false with the
// problem (ManifestDamaged, or NotABackup with the offending line).
bool parse_manifest(std::string_view text, Manifest& m, Problem& problem);
// Reads and parses DIR/manifest.txt.
bool load_manifest(const std::string& dir, Manifest& m, Problem& problem);
// Every user's file, checked against the manifest (an ID of 0, the size, the
// sum), all of them before anything is used; `data[i]` is the templates of
// `m.users[i]` back to back.
bool load_user_files(const std::string& dir, const Manifest& m, std::vector<tools::Bytes>& data,
                     Problem& problem);
// The users of a backup as a copy's source: the checked files, each user's
// templates, level and policy; only the users `users` selects.
bool load_source(const std::string& dir, const tools::IdFilter& users, tools::UserSource& source,
                 Problem& problem);

// Writes a backup: under a temporary name beside DIR, renamed to DIR when
// complete, so that an interrupted backup never looks like a whole one; a
// writer that is not finished removes what it wrote.
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // DIR must not exist yet.
    bool begin(const std::string& dir, Problem& problem);
    // One user's templates (all of `size` bytes) with its level and policy; the
    // entry, as the manifest lists it, in `entry`.
    bool add(const tools::UserData& user, uint32_t size, UserEntry& entry, Problem& problem);
    // The manifest written with these settings, the directory renamed.
    bool finish(uint32_t templateSize, uint32_t enrollMode, uint32_t securityLevel, Problem& problem);
    // What was written so far removed.
    void abandon();
    const Manifest& manifest() const { return manifest_; }

private:
    std::string dir_;
    std::string partial_;
    Manifest manifest_;
    bool open_ = false;
};

} // namespace backup
