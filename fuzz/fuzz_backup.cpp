// The manifest of a backup directory against arbitrary bytes: a backup is
// read from a directory that anyone may have written. Whatever the bytes, the
// parser either refuses them with the line that is no backup's or gives
// users within their limits; a manifest it takes, written again, reads back
// the same, and its own sum decides.
#include <cstdlib>
#include <string>
#include <string_view>

#include "BackupDirectory.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    backup::Manifest m;
    backup::Problem problem;
    if (!backup::parse_manifest(text, m, problem)) {
        require(problem.fault == backup::Fault::ManifestDamaged || problem.fault == backup::Fault::NotABackup);
        return 0;
    }
    require(m.format == 1 || m.format == 2);
    for (const backup::UserEntry& u : m.users) {
        require(u.count > 0 && u.count <= tools::TEMPLATES_PER_USER_MAX);
        require(u.size > 0 && u.size <= kelvor::TEMPLATE_SIZE_MAX);
        require(u.file == backup::user_file(u.id));
        // Levels and policies only in format 2.
        require(m.format == 2 || !u.has_settings());
    }
    // Written again, it reads back with the same users, levels and policies.
    const std::string again = backup::manifest_text(m);
    backup::Manifest back;
    require(backup::parse_manifest(again, back, problem));
    require(back.users.size() == m.users.size() && back.templateSize == m.templateSize);
    for (size_t i = 0; i < m.users.size(); ++i) {
        require(back.users[i].id == m.users[i].id && back.users[i].sha == m.users[i].sha);
        require(back.users[i].adminLevel == m.users[i].adminLevel &&
                back.users[i].authPolicy == m.users[i].authPolicy);
    }
    return 0;
}
