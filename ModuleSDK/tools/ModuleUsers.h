// The users of a module as the backup, the restore and the copy of users see
// them: a user's templates, read with RT and the packets that follow it, and
// its administrator level and authentication policy; the list of user IDs; the
// module settings that decide whether templates fit. Everything works on the
// module that the link addresses now, through the library's public calls, and
// nothing here prints: what went wrong comes back as a result code and a
// message for the caller's own report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ModuleSDK.h"

namespace tools {

using Bytes = std::vector<uint8_t>;

// The code of a refusal by the tools themselves (a module announcing more
// than they take, files that are not a backup): the host's own refusal, a
// refusal for --exit-code.
inline constexpr int REFUSED = kelvor::RES_FRONT_REFUSED;

// Templates one user may have: far above what a module keeps.
inline constexpr uint32_t TEMPLATES_PER_USER_MAX = 100;
// Administrator level and authentication policy of a user who has none set.
inline constexpr uint32_t LEVEL_NONE = 0;
inline constexpr uint32_t POLICY_FINGERPRINT = 0;

// Why a step failed: the result code (a library code or REFUSED) and, where
// the library traced no message of its own, a line that says what it was.
struct Failure {
    int result = 0;
    std::string message;
};
// A message formatted as printf formats it.
std::string text(const char* format, ...) KELVOR_PRINTF(1, 2);

struct UserData {
    uint32_t id = 0;
    std::vector<Bytes> templates;
    uint32_t adminLevel = LEVEL_NONE;
    uint32_t authPolicy = POLICY_FINGERPRINT;
};

// A set of user IDs given as ranges (FIRST-LAST, both included); empty is every user.
struct IdRange {
    uint32_t first = 0;
    uint32_t last = 0;
};
using IdFilter = std::vector<IdRange>;
bool selected(const IdFilter& filter, uint32_t id);

// What a copy takes from its source: read once, whatever the number of targets.
struct UserSource {
    uint32_t templateSize = 0;
    std::vector<UserData> users; // in ascending ID order
    // The template bytes of all users together.
    uint64_t template_bytes() const;
    size_t template_count() const;
};
// The most template bytes a source holds in memory: hours of a line at its
// fastest rate, far beyond any module's database.
inline constexpr uint64_t SOURCE_BYTES_MAX = 512ull << 20;

// Template size, Enroll Mode and Security Level of the module (SR).
struct TemplateSettings {
    uint32_t templateSize = 0;
    uint32_t enrollMode = 0;
    uint32_t securityLevel = 0;
};
int read_settings(TemplateSettings& s);

// The user IDs of the module (LT and the list that follows), ascending.
int list_users(std::vector<uint32_t>& ids, Failure& why);
// Every template of the user (RT and the packets that follow it); `size` is
// the size of each. A user without templates gives an empty list.
int read_templates(uint32_t id, std::vector<Bytes>& templates, uint32_t& size, Failure& why);
// Administrator level (AR) and authentication policy (UR). A module that
// refuses either (one that keeps no levels or policies) leaves the default:
// only a link failure fails.
int read_user_settings(uint32_t id, uint32_t& level, uint32_t& policy);
// Templates, level and policy of one user.
int read_user(uint32_t id, UserData& user, uint32_t& size, Failure& why);
// The users `filter` selects, as a copy's source: template size, every user's
// templates, level and policy. `progress` is told each user read (done, total).
using ReadProgress = bool (*)(uint64_t done, uint64_t total, void* context);
int read_source(const IdFilter& filter, UserSource& source, Failure& why, ReadProgress progress = nullptr,
                void* context = nullptr);

// Enrolls `templates` from `first` on under the user's ID (ET, Add New
// Template), each of `size` bytes; the ID the module gives must be the user's.
int enroll_templates(uint32_t id, const std::vector<Bytes>& templates, size_t first, uint32_t size);
// The templates on the module equal `templates`, in order, byte for byte.
bool same_templates(const std::vector<Bytes>& a, const std::vector<Bytes>& b);
// The first templates on the module are `templates`' first ones and there are
// no others: what an enrollment that stopped halfway leaves.
bool leading_templates(const std::vector<Bytes>& onModule, const std::vector<Bytes>& templates);
// Sets the level (AW) and policy (UW) that differ from `haveLevel` and `havePolicy`.
int write_user_settings(uint32_t id, uint32_t level, uint32_t policy, uint32_t haveLevel,
                        uint32_t havePolicy);

} // namespace tools
