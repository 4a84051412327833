// The backup directory: its manifest written and read, the users' files
// checked against it, and a backup written whole or not at all.
#include "BackupDirectory.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unordered_map>

#include "Platform.h"
#include "Sha256.h"

namespace backup {

namespace {

constexpr const char* MAGIC_1 = "kelvor-backup 1";
constexpr const char* MAGIC_2 = "kelvor-backup 2";

bool parse_u32(const std::string& word, uint32_t& out) {
    if (word.empty() || word[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

std::string sha_of(const std::string& text) {
    return sha256_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool read_file(const std::string& path, tools::Bytes& out, size_t limit) {
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

} // namespace

std::string user_file(uint32_t id) {
    char name[32];
    std::snprintf(name, sizeof name, "user-%08" PRIx32 ".tpl", id);
    return name;
}

std::string manifest_text(const Manifest& m) {
    bool settings = false;
    for (const UserEntry& u : m.users) settings = settings || u.has_settings();
    std::ostringstream s;
    s << (settings ? MAGIC_2 : MAGIC_1) << "\n" << std::hex;
    s << "template-size 0x" << m.templateSize << "\n";
    s << "enroll-mode 0x" << m.enrollMode << "\n";
    s << "security-level 0x" << m.securityLevel << "\n";
    for (const UserEntry& u : m.users) {
        s << "user 0x" << u.id << " 0x" << u.count << " 0x" << u.size << " " << u.sha << " " << u.file
          << "\n";
        if (u.has_settings())
            s << "user-settings 0x" << u.id << " 0x" << u.adminLevel << " 0x" << u.authPolicy << "\n";
    }
    std::string text = s.str();
    return text + "sha256 " + sha_of(text) + "\n";
}

std::string problem_text(const Problem& p, const char* undone) {
    const std::string tail = undone && *undone ? std::string("; nothing is ") + undone : std::string();
    const char* path = p.path.c_str();
    switch (p.fault) {
    case Fault::None: return {};
    case Fault::ManifestUnreadable: return tools::text("Cannot read %s", path);
    case Fault::ManifestDamaged: return tools::text("The manifest %s is damaged", path);
    case Fault::NotABackup:
        return tools::text("The manifest %s is not one of a backup: %s", path, p.detail.c_str());
    case Fault::UserZero:
        return tools::text("The manifest of %s lists a user it cannot hold: %#x", path, p.user) + tail;
    case Fault::FileDamaged: return tools::text("The backup file %s is damaged or missing", path) + tail;
    case Fault::SizeMismatch:
        return tools::text("The manifest of %s lists templates of %#x bytes for user %#x, not %#x", path,
                           p.size, p.user, p.expected) +
               tail;
    case Fault::TooLarge:
        return tools::text("The backup %s holds more than %u MiB of templates", path,
                           static_cast<unsigned>(tools::SOURCE_BYTES_MAX >> 20)) +
               tail;
    case Fault::Exists: return tools::text("The backup directory %s exists already", path);
    case Fault::CannotCreate: return tools::text("Cannot create %s: %s", path, std::strerror(p.error));
    case Fault::CannotWrite: return tools::text("Cannot write %s: %s", path, std::strerror(p.error));
    case Fault::CannotRename:
        return tools::text("Cannot rename %s to %s: %s", path, p.detail.c_str(), std::strerror(p.error));
    }
    return {};
}

bool parse_manifest(std::string_view raw, Manifest& m, Problem& problem) {
    m = Manifest{};
    const std::string text(raw);
    const size_t last = text.rfind("sha256 ");
    if (last == std::string::npos || (last > 0 && text[last - 1] != '\n') ||
        text.compare(last, std::string::npos, "sha256 " + sha_of(text.substr(0, last)) + "\n") != 0) {
        problem.fault = Fault::ManifestDamaged;
        return false;
    }
    std::istringstream lines(text.substr(0, last));
    std::string line;
    bool ok = static_cast<bool>(std::getline(lines, line));
    m.format = line == MAGIC_1 ? 1 : line == MAGIC_2 ? 2 : 0;
    ok = ok && m.format != 0;
    int settings = 0;
    std::unordered_map<uint32_t, size_t> seen; // user ID -> entry
    std::unordered_map<uint32_t, bool> settingsSeen;
    while (ok && std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key, a, b, c, rest;
        words >> key >> a;
        uint32_t* setting = key == "template-size"    ? &m.templateSize
                            : key == "enroll-mode"    ? &m.enrollMode
                            : key == "security-level" ? &m.securityLevel
                                                      : nullptr;
        if (setting) {
            ok = parse_u32(a, *setting) && !(words >> rest);
            ++settings;
        } else if (key == "user") {
            UserEntry u;
            words >> b >> c >> u.sha >> u.file;
            ok = parse_u32(a, u.id) && parse_u32(b, u.count) && parse_u32(c, u.size) && u.sha.size() == 64 &&
                 u.file == user_file(u.id) && u.count > 0 && u.count <= tools::TEMPLATES_PER_USER_MAX &&
                 u.size > 0 && u.size <= kelvor::TEMPLATE_SIZE_MAX &&
                 m.users.size() < kelvor::USER_ID_COUNT_MAX &&
                 seen.emplace(u.id, m.users.size()).second; // each user once
            m.users.push_back(u);
        } else if (key == "user-settings" && m.format == 2) {
            // The level and policy of a user listed before, each user once.
            uint32_t id = 0, level = 0, policy = 0;
            words >> b >> c;
            ok = parse_u32(a, id) && parse_u32(b, level) && parse_u32(c, policy) && !(words >> rest) &&
                 seen.contains(id) && settingsSeen.emplace(id, true).second;
            if (ok) {
                m.users[seen[id]].adminLevel = level;
                m.users[seen[id]].authPolicy = policy;
            }
        } else {
            ok = false;
        }
    }
    if (!ok || settings != 3) {
        problem.fault = Fault::NotABackup;
        problem.detail = line;
        return false;
    }
    return true;
}

bool load_manifest(const std::string& dir, Manifest& m, Problem& problem) {
    tools::Bytes raw;
    problem.path = join_path(dir, MANIFEST);
    if (!read_file(problem.path, raw, MANIFEST_BYTES_MAX)) {
        problem.fault = Fault::ManifestUnreadable;
        return false;
    }
    return parse_manifest(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()), m,
                          problem);
}

bool load_user_files(const std::string& dir, const Manifest& m, std::vector<tools::Bytes>& data,
                     Problem& problem) {
    data.assign(m.users.size(), {});
    uint64_t total = 0;
    for (size_t i = 0; i < m.users.size(); ++i) {
        const UserEntry& u = m.users[i];
        // Nothing of the manifest is trusted: a user ID of 0 is no user.
        if (u.id == 0) {
            problem = {Fault::UserZero, dir, {}, 0, u.id, 0, 0};
            return false;
        }
        const uint64_t bytes = static_cast<uint64_t>(u.count) * u.size;
        total += bytes;
        if (total > tools::SOURCE_BYTES_MAX) {
            problem = {Fault::TooLarge, dir, {}, 0, u.id, 0, 0};
            return false;
        }
        const std::string path = join_path(dir, u.file);
        if (!read_file(path, data[i], static_cast<size_t>(bytes)) || data[i].size() != bytes ||
            sha256_hex(data[i].data(), data[i].size()) != u.sha) {
            problem = {Fault::FileDamaged, path, {}, 0, u.id, 0, 0};
            return false;
        }
    }
    return true;
}

bool load_source(const std::string& dir, const tools::IdFilter& users, tools::UserSource& source,
                 Problem& problem) {
    source = tools::UserSource{};
    Manifest m;
    if (!load_manifest(dir, m, problem)) return false;
    std::erase_if(m.users, [&](const UserEntry& u) { return !tools::selected(users, u.id); });
    std::vector<tools::Bytes> data;
    if (!load_user_files(dir, m, data, problem)) return false;
    source.templateSize = m.templateSize;
    for (size_t i = 0; i < m.users.size(); ++i) {
        const UserEntry& u = m.users[i];
        // Templates of another size than the backup's are no templates of it.
        if (u.size != m.templateSize) {
            problem = {Fault::SizeMismatch, dir, {}, 0, u.id, u.size, m.templateSize};
            return false;
        }
        tools::UserData user{u.id, {}, u.adminLevel, u.authPolicy};
        for (uint32_t t = 0; t < u.count; ++t) {
            const auto at = data[i].begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(t) * u.size);
            user.templates.emplace_back(at, at + u.size);
        }
        source.users.push_back(std::move(user));
    }
    std::sort(source.users.begin(), source.users.end(),
              [](const tools::UserData& a, const tools::UserData& b) { return a.id < b.id; });
    return true;
}

Writer::~Writer() {
    abandon();
}

bool Writer::begin(const std::string& dir, Problem& problem) {
    if (dir.empty() || path_exists(dir)) {
        problem = {Fault::Exists, dir, {}, 0, 0, 0, 0};
        return false;
    }
    dir_ = dir;
    partial_ = dir + ".partial-" + std::to_string(process_number());
    manifest_ = Manifest{};
    if (int error = 0; !make_private_directory(partial_, error)) {
        problem = {Fault::CannotCreate, partial_, {}, error, 0, 0, 0};
        return false;
    }
    open_ = true;
    return true;
}

namespace {

bool write_file(const std::string& path, const uint8_t* data, size_t n, Problem& problem) {
    int error = 0;
    if (write_new_private_file(path, data, n, error)) return true;
    problem = {Fault::CannotWrite, path, {}, error ? error : EIO, 0, 0, 0};
    return false;
}

} // namespace

bool Writer::add(const tools::UserData& user, uint32_t size, UserEntry& entry, Problem& problem) {
    tools::Bytes all;
    for (const tools::Bytes& t : user.templates) all.insert(all.end(), t.begin(), t.end());
    entry = UserEntry{user.id,
                      static_cast<uint32_t>(user.templates.size()),
                      size,
                      sha256_hex(all.data(), all.size()),
                      user_file(user.id),
                      user.adminLevel,
                      user.authPolicy};
    if (!write_file(join_path(partial_, entry.file), all.data(), all.size(), problem)) {
        abandon();
        return false;
    }
    manifest_.users.push_back(entry);
    return true;
}

bool Writer::finish(uint32_t templateSize, uint32_t enrollMode, uint32_t securityLevel, Problem& problem) {
    manifest_.templateSize = templateSize;
    manifest_.enrollMode = enrollMode;
    manifest_.securityLevel = securityLevel;
    const std::string text = manifest_text(manifest_);
    manifest_.format = text.compare(0, std::char_traits<char>::length(MAGIC_2), MAGIC_2) == 0 ? 2 : 1;
    if (!write_file(join_path(partial_, MANIFEST), reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                    problem)) {
        abandon();
        return false;
    }
    if (!rename_directory(partial_, dir_)) {
        problem = {Fault::CannotRename, partial_, dir_, errno, 0, 0, 0};
        abandon();
        return false;
    }
    open_ = false;
    return true;
}

void Writer::abandon() {
    if (!open_) return;
    remove_tree(partial_);
    open_ = false;
}

} // namespace backup
