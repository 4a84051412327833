// Backup and restore of a module's template database (kelvor --backup DIR,
// kelvor --restore DIR). A backup is a directory: one file per user holding
// the user's templates back to back, and a manifest with the module settings
// that decide whether the templates fit another module, the SHA-256 of every
// file and of the manifest itself.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "Backup.h"
#include "Json.h"
#include "OrvantiCom.h"
#include "Sha256.h"
#include "trace/Outcome.h"
#include "trace/OutcomeJson.h"

// Reporting sites of this file: see ERR_LINE.
namespace {
constexpr int ERR_SITE_BLOCK = err_site::BACKUP;
} // namespace

using namespace kelvor;

namespace {

constexpr const char* MANIFEST = "manifest.txt";
constexpr const char* MAGIC = "kelvor-backup 1";
// Templates one user may have in a backup: far above what a module keeps.
constexpr uint32_t TEMPLATES_PER_USER_MAX = 100;

using Bytes = std::vector<uint8_t>;

struct UserEntry {
    uint32_t id = 0;
    uint32_t count = 0; // templates
    uint32_t size = 0;  // bytes of each
    std::string sha;
    std::string file;
};

struct Manifest {
    uint32_t templateSize = 0;
    uint32_t enrollMode = 0;
    uint32_t securityLevel = 0;
    std::vector<UserEntry> users;
};

std::string user_file(uint32_t id) {
    char name[32];
    std::snprintf(name, sizeof name, "user-%08" PRIx32 ".tpl", id);
    return name;
}

std::string manifest_body(const Manifest& m) {
    std::ostringstream s;
    s << MAGIC << "\n" << std::hex;
    s << "template-size 0x" << m.templateSize << "\n";
    s << "enroll-mode 0x" << m.enrollMode << "\n";
    s << "security-level 0x" << m.securityLevel << "\n";
    for (const UserEntry& u : m.users)
        s << "user 0x" << u.id << " 0x" << u.count << " 0x" << u.size << " " << u.sha << " " << u.file
          << "\n";
    return s.str();
}

// Writes a whole file and makes it durable; false with an error line.
bool write_file(const std::string& path, const uint8_t* data, size_t n) {
    int error = 0;
    const bool ok = write_new_private_file(path, data, n, error);
    if (!ok) ERR_LINE("Err: Cannot write %s: %s\n", path.c_str(), std::strerror(error ? error : EIO));
    return ok;
}

bool read_file(const std::string& path, Bytes& out, size_t limit) {
    // Only a regular file of the backup itself: a symbolic link is not followed.
    int error = 0;
    File f(open_input_file(path, error, false));
    if (!f) return false;
    const int64_t size = file_size(f.get());
    if (size < 0 || static_cast<uint64_t>(size) > limit) return false;
    out.resize(static_cast<size_t>(size));
    return std::fread(out.data(), 1, out.size(), f.get()) == out.size();
}

// The directory and what it holds, gone: a backup that failed leaves nothing.
void remove_tree(const std::string& dir) {
    std::vector<std::string> names;
    if (list_directory(dir, names)) {
        for (const std::string& name : names) std::remove(join_path(dir, name).c_str());
    }
    remove_directory(dir);
}

// Every template of a user, read with RT and the packets that follow it.
int read_user_templates(uint32_t id, std::vector<Bytes>& templates, uint32_t& size) {
    templates.clear();
    int r = read_template(id, &size);
    while (r == 0 || r == MORE_TEMPLATES) {
        if (templates.size() == TEMPLATES_PER_USER_MAX) {
            ERR_LINE("Err: User %#x has more than %u templates\n", id, TEMPLATES_PER_USER_MAX);
            return FRONT_REFUSED;
        }
        Bytes data(size);
        if (const int rc = receive_data(data); rc < 0) return rc;
        templates.push_back(std::move(data));
        if (r == 0) return 0;
        AnswerPacket next{};
        if (const int rc = receive_answer(next); rc < 0) return rc;
        const auto flag = static_cast<uint8_t>(answer_field(FIELD_FLAG, next));
        if (flag == SUCCEED)
            r = 0;
        else if (flag == ENROLL_CONTINUE)
            r = MORE_TEMPLATES;
        else
            return RES_UNKNOWN;
    }
    return r;
}

int read_settings(Manifest& m) {
    if (int rc = system_parameter_read(packet::param::TEMPLATE_SIZE, &m.templateSize); rc < 0) return rc;
    if (int rc = system_parameter_read(packet::param::ENROLL_MODE, &m.enrollMode); rc < 0) return rc;
    return system_parameter_read(packet::param::SECURITY_LEVEL, &m.securityLevel);
}

int list_users(std::vector<uint32_t>& ids) {
    uint32_t count = 0;
    if (int rc = list_user_ids(0, 0, &count); rc < 0) return rc;
    if (count > USER_ID_COUNT_MAX) {
        ERR_LINE("Err: The module lists %#x users, more than %#x\n", count, USER_ID_COUNT_MAX);
        return FRONT_REFUSED;
    }
    ids.clear();
    if (count == 0) return 0;
    Bytes list(4 * static_cast<size_t>(count));
    if (int rc = get_user_data(list, count); rc < 0) return rc;
    for (uint32_t i = 0; i < count; ++i) ids.push_back(packet::get32(&list[4 * i]));
    return 0;
}

bool parse_u32(const std::string& word, uint32_t& out) {
    if (word.empty() || word[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// Reads and checks the manifest: its own check sum, its form, its limits.
bool load_manifest(const std::string& dir, Manifest& m) {
    Bytes raw;
    const std::string path = join_path(dir, MANIFEST);
    if (!read_file(path, raw, 64 * 1024 * 1024)) {
        ERR_LINE("Err: Cannot read %s\n", path.c_str());
        return false;
    }
    const std::string text(raw.begin(), raw.end());
    const size_t last = text.rfind("sha256 ");
    if (last == std::string::npos || (last > 0 && text[last - 1] != '\n') ||
        text.compare(last, std::string::npos, "sha256 " + sha256_hex(raw.data(), last) + "\n") != 0) {
        ERR_LINE("Err: The manifest %s is damaged\n", path.c_str());
        return false;
    }
    std::istringstream lines(text.substr(0, last));
    std::string line;
    bool ok = std::getline(lines, line) && line == MAGIC;
    int settings = 0;
    std::unordered_set<uint32_t> seen;
    while (ok && std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key, a, b, c;
        words >> key >> a;
        uint32_t* setting = key == "template-size"    ? &m.templateSize
                            : key == "enroll-mode"    ? &m.enrollMode
                            : key == "security-level" ? &m.securityLevel
                                                      : nullptr;
        if (setting) {
            ok = parse_u32(a, *setting);
            ++settings;
        } else if (key == "user") {
            UserEntry u;
            words >> b >> c >> u.sha >> u.file;
            ok = parse_u32(a, u.id) && parse_u32(b, u.count) && parse_u32(c, u.size) && u.sha.size() == 64 &&
                 u.file == user_file(u.id) && u.count > 0 && u.count <= TEMPLATES_PER_USER_MAX &&
                 u.size > 0 && u.size <= TEMPLATE_SIZE_MAX && m.users.size() < USER_ID_COUNT_MAX &&
                 seen.insert(u.id).second; // each user once
            m.users.push_back(u);
        } else {
            ok = false;
        }
    }
    if (!ok || settings != 3) {
        ERR_LINE("Err: The manifest %s is not one of a backup: %s\n", path.c_str(), line.c_str());
        return false;
    }
    return true;
}

// What a backup or a restore reports: lines for the operator on standard
// output, or with --json one object at the end (the lines go to standard
// error then).
class WorkReport {
public:
    WorkReport(const char* kind, const OrvantiCom& com)
        : object_(json_output::object_of(kind)), started_(std::chrono::steady_clock::now()) {
        // One backup or restore of several (--modules) names its module.
        if (!com.moduleIds.empty()) object_["module_id"] = com.moduleId;
        object_["directory"] = com.workDirectory;
        if (json_output::on()) outcome::begin();
    }
    void say(const char* format, ...) KELVOR_PRINTF(2, 3) {
        va_list args;
        va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        std::vfprintf(json_output::on() ? stderr : stdout, format, args);
#pragma GCC diagnostic pop
        va_end(args);
    }
    json_output::Object& object() { return object_; }
    void user(json_output::Object entry) { object_["users"].push_back(std::move(entry)); }
    int done(int rc) {
        if (!json_output::on()) return rc;
        outcome::end();
        const outcome::Record& r = outcome::record();
        if (!object_.contains("users")) object_["users"] = json_output::Object::array();
        object_["outcome"] = json_output::outcome_of(rc);
        object_["result"] = rc;
        object_["result_name"] = json_output::result_name_of(rc);
        // The line that tells why it failed; a backup that went well needs none.
        object_["message"] = rc != 0 && r.hasMessage ? json_output::Object(r.message) : json_output::Object();
        const auto elapsed = std::chrono::steady_clock::now() - started_;
        object_["elapsed_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        json_output::print_with_module_text(object_);
        return rc;
    }

private:
    json_output::Object object_;
    std::chrono::steady_clock::time_point started_;
};

int backup_run(OrvantiCom& com, WorkReport& rep);
int restore_run(OrvantiCom& com, WorkReport& rep);

} // namespace

int backup_module(OrvantiCom& com) {
    WorkReport rep("backup", com);
    return rep.done(backup_run(com, rep));
}

int restore_module(OrvantiCom& com) {
    WorkReport rep("restore", com);
    return rep.done(restore_run(com, rep));
}

namespace {

int backup_run(OrvantiCom& com, WorkReport& rep) {
    const std::string& dir = com.workDirectory;
    if (dir.empty() || path_exists(dir)) {
        ERR_LINE("Err: The backup directory %s exists already\n", dir.c_str());
        return FRONT_REFUSED;
    }
    Manifest m;
    if (int rc = read_settings(m); rc < 0) return rc;
    std::vector<uint32_t> ids;
    if (int rc = list_users(ids); rc < 0) return rc;

    // Written under a temporary name and renamed when complete: an interrupted
    // backup never looks like a whole one.
    const std::string partial = dir + ".partial-" + std::to_string(process_number());
    if (int error = 0; !make_private_directory(partial, error)) {
        ERR_LINE("Err: Cannot create %s: %s\n", partial.c_str(), std::strerror(error));
        return FRONT_REFUSED;
    }
    uint32_t templates = 0;
    for (uint32_t id : ids) {
        std::vector<Bytes> list;
        uint32_t size = 0;
        int rc = read_user_templates(id, list, size);
        if (rc == 0 && list.empty()) continue;
        if (rc < 0) {
            ERR_LINE("Err: Cannot read the templates of user %#x; no backup is written\n", id);
            remove_tree(partial);
            return rc;
        }
        Bytes all;
        for (const Bytes& t : list) all.insert(all.end(), t.begin(), t.end());
        UserEntry u{id, static_cast<uint32_t>(list.size()), size, sha256_hex(all.data(), all.size()),
                    user_file(id)};
        if (!write_file(join_path(partial, u.file), all.data(), all.size())) {
            remove_tree(partial);
            return FRONT_REFUSED;
        }
        m.users.push_back(u);
        templates += u.count;
        rep.user({{"user_id", u.id},
                  {"templates", u.count},
                  {"template_bytes", u.size},
                  {"file", join_path(dir, u.file)},
                  {"sha256", u.sha}});
    }
    std::string text = manifest_body(m);
    text += "sha256 " + sha256_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size()) + "\n";
    if (!write_file(join_path(partial, MANIFEST), reinterpret_cast<const uint8_t*>(text.data()),
                    text.size())) {
        remove_tree(partial);
        return FRONT_REFUSED;
    }
    if (!rename_directory(partial, dir)) {
        ERR_LINE("Err: Cannot rename %s to %s: %s\n", partial.c_str(), dir.c_str(), std::strerror(errno));
        remove_tree(partial);
        return FRONT_REFUSED;
    }
    rep.say("Backup: %zu users, %u templates of %#x bytes in %s\n", m.users.size(), templates, m.templateSize,
            dir.c_str());
    rep.object()["templates"] = templates;
    rep.object()["template_bytes"] = m.templateSize;
    return 0;
}

int restore_run(OrvantiCom& com, WorkReport& rep) {
    const std::string& dir = com.workDirectory;
    Manifest m;
    if (!load_manifest(dir, m)) return FRONT_REFUSED;
    // Every file is checked before anything goes to the module.
    std::vector<Bytes> data(m.users.size());
    for (size_t i = 0; i < m.users.size(); ++i) {
        const UserEntry& u = m.users[i];
        const std::string path = join_path(dir, u.file);
        // Nothing of the manifest is trusted: a user ID of 0 is no user.
        if (u.id == 0) {
            ERR_LINE("Err: The manifest of %s lists a user it cannot hold: %#x; nothing is restored\n",
                     dir.c_str(), u.id);
            return FRONT_REFUSED;
        }
        if (!read_file(path, data[i], static_cast<size_t>(u.count) * u.size) ||
            data[i].size() != static_cast<size_t>(u.count) * u.size ||
            sha256_hex(data[i].data(), data[i].size()) != u.sha) {
            ERR_LINE("Err: The backup file %s is damaged or missing; nothing is restored\n", path.c_str());
            return FRONT_REFUSED;
        }
    }
    Manifest module;
    if (int rc = read_settings(module); rc < 0) return rc;
    if (module.templateSize != m.templateSize) {
        ERR_LINE("Err: The backup's template size %#x differs from the module's %#x; nothing is restored\n",
                 m.templateSize, module.templateSize);
        return FRONT_REFUSED;
    }
    for (const UserEntry& u : m.users) {
        // Templates of another size than the backup's are no templates of it.
        if (u.size != m.templateSize) {
            ERR_LINE("Err: The manifest of %s lists templates of %#x bytes for user %#x, not %#x; nothing is "
                     "restored\n",
                     dir.c_str(), u.size, u.id, m.templateSize);
            return FRONT_REFUSED;
        }
    }
    if (module.enrollMode != m.enrollMode || module.securityLevel != m.securityLevel)
        rep.say("Note: the backup was taken with enroll mode %#x and security level %#x, the module has "
                    "%#x and %#x\n",
                    m.enrollMode, m.securityLevel, module.enrollMode, module.securityLevel);

    // Users the module has already are compared with the backup's (below).
    std::vector<uint32_t> present;
    if (int rc = list_users(present); rc < 0) return rc;

    unsigned restored = 0, skipped = 0, failed = 0;
    int worst = 0;
    auto note = [&](int rc) {
        if (exit_class(rc) >= exit_class(worst)) worst = rc;
    };
    // A user restored in part is removed again, so that a retry restores it
    // whole instead of finding it incomplete; after a link failure too, as far
    // as the line still allows. Where it does not, the user is reported as
    // left in part: a retry finds it and completes it.
    auto fail = [&](const UserEntry& u, int rc, const char* what, bool written) {
        rep.say("User %#x: failed: %s (%d)\n", u.id, what, rc);
        json_output::Object entry = {{"user_id", u.id},
                                     {"status", "failed"},
                                     {"reason", what},
                                     {"result", rc},
                                     {"result_name", json_output::result_name_of(rc)}};
        ++failed;
        note(rc);
        if (written && delete_template(u.id) != 0) {
            rep.say("User %#x: the templates written could not be removed; a restore run again completes the "
                    "user\n",
                    u.id);
            entry["left_in_part"] = true;
        }
        rep.user(std::move(entry));
    };
    size_t i = 0;
    for (; i < m.users.size(); ++i) {
        const UserEntry& u = m.users[i];
        // The backup's templates already on the module: a user there with the
        // backup's first templates and no others is one that a restore left in
        // part, and the rest are enrolled; one there whole is left as it is;
        // one with other templates is not overwritten, and the backup's user
        // is not on the module.
        uint32_t have = 0;
        if (std::find(present.begin(), present.end(), u.id) != present.end()) {
            std::vector<Bytes> there;
            uint32_t size = 0;
            const int rc = read_user_templates(u.id, there, size);
            if (rc < 0) {
                fail(u, rc, "cannot read the templates on the module", false);
                if (exit_class(rc) == EXIT_LINK_FAILED) break;
                continue;
            }
            bool ours = there.size() <= u.count;
            for (size_t t = 0; ours && t < there.size(); ++t)
                ours = there[t].size() == u.size &&
                       std::equal(there[t].begin(), there[t].end(),
                                  data[i].begin() + static_cast<std::ptrdiff_t>(t * u.size));
            if (!ours || there.size() == u.count) {
                const char* why =
                    ours ? "the module holds these templates already" : "the ID is in use on the module";
                rep.say("User %#x: skipped: %s\n", u.id, why);
                json_output::Object entry = {{"user_id", u.id}, {"status", "skipped"}, {"reason", why}};
                if (!ours) {
                    // Other templates under the backup's ID: the backup's user is not on the module.
                    entry["result"] = RES_ID_ALREADY_USED;
                    entry["result_name"] = json_output::result_name_of(RES_ID_ALREADY_USED);
                    note(RES_ID_ALREADY_USED);
                }
                rep.user(std::move(entry));
                ++skipped;
                continue;
            }
            have = static_cast<uint32_t>(there.size());
        }
        int rc = 0;
        for (uint32_t t = have; t < u.count && rc == 0; ++t) {
            uint32_t enrolled = 0;
            rc = enroll_by_template(u.id, data[i].data() + static_cast<size_t>(t) * u.size, u.size,
                                    ADD_NEW_TEMPLATE, &enrolled);
            if (rc == 0 && enrolled != u.id) rc = RES_INVALID_ID;
        }
        if (rc < 0) {
            fail(u, rc, "enrollment refused", true);
            if (exit_class(rc) == EXIT_LINK_FAILED) break;
            continue;
        }
        // Read back and compared, template by template.
        std::vector<Bytes> back;
        uint32_t size = 0;
        rc = read_user_templates(u.id, back, size);
        Bytes all;
        for (const Bytes& t : back) all.insert(all.end(), t.begin(), t.end());
        if (rc < 0) {
            fail(u, rc, "cannot read the templates back", true);
            if (exit_class(rc) == EXIT_LINK_FAILED) break;
            continue;
        }
        if (back.size() != u.count || all != data[i]) {
            fail(u, RES_DATA_ERROR, "the templates read back differ", true);
            continue;
        }
        json_output::Object entry = {{"user_id", u.id}, {"status", "restored"}, {"templates", u.count}};
        if (have > 0) {
            rep.say("User %#x: restored, %u template(s), %u of them found on the module\n", u.id, u.count,
                    have);
            entry["found_on_module"] = have;
        } else {
            rep.say("User %#x: restored, %u template(s)\n", u.id, u.count);
        }
        rep.user(std::move(entry));
        ++restored;
    }
    if (i < m.users.size()) {
        // The link failed: the users after it were not tried.
        const auto left = static_cast<unsigned>(m.users.size() - i - 1);
        if (left > 0) rep.say("%u more users not tried after the link failed\n", left);
        failed += left;
        rep.object()["not_tried"] = left;
    }
    rep.say("Restore: %u users restored, %u skipped, %u failed\n", restored, skipped, failed);
    rep.object()["restored"] = restored;
    rep.object()["skipped"] = skipped;
    rep.object()["failed"] = failed;
    return worst;
}

} // namespace

void work_not_begun(OrvantiCom& com, int result) {
    if (!json_output::on()) return;
    // The line that said why, recorded before this object began.
    const outcome::Record& before = outcome::record();
    const std::string message = before.hasMessage ? before.message : std::string();
    WorkReport rep(com.work == restore_module ? "restore" : "backup", com);
    if (!message.empty()) outcome::message(message);
    rep.done(result);
}
