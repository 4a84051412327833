#include "Directory.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "LineEvents.h"
#include "Options.h"

namespace kelvord {

namespace {

// The format of the file, in SQLite's user_version: a later one is refused
// rather than misread.
constexpr int FORMAT = 1;
// How long a change waits for a reader of the file (the sqlite3 shell, say).
constexpr int BUSY_WAIT_MS = 2000;

// A prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) s_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return s_ != nullptr; }
    void bind(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
    void bind(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    int step() { return s_ ? sqlite3_step(s_) : SQLITE_ERROR; }
    int64_t integer(int i) const { return sqlite3_column_int64(s_, i); }
    std::string text(int i) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, i));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, i))) : std::string();
    }

private:
    sqlite3_stmt* s_ = nullptr;
};

// The length of the UTF-8 sequence that starts with `lead`; 0 when none does.
// The JSON parser has taken only well-formed UTF-8 already; this guards the
// file's own rows.
size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

// Why `text` is no text of printable characters (a line end allowed with
// `lines`), empty when it is.
std::string printable(const std::string& text, bool lines, const char* what) {
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = sequence_length(c);
        if (n == 0 || i + n > text.size()) return std::string(what) + " is no UTF-8 text";
        if (n == 1 && (c < 0x20 || c == 0x7F) && !(lines && c == '\n'))
            return std::string(what) + " holds a control character";
        // C1 controls, U+0080 to U+009F.
        if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)
            return std::string(what) + " holds a control character";
        i += n;
    }
    return {};
}

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

} // namespace

std::string Directory::check_name(const std::string& name) {
    if (trimmed(name).empty()) return "the name is empty";
    if (name.size() > NAME_BYTES_MAX)
        return "the name is longer than " + std::to_string(NAME_BYTES_MAX) + " bytes";
    return printable(name, false, "the name");
}

std::string Directory::check_note(const std::string& note) {
    if (note.size() > NOTE_BYTES_MAX)
        return "the note is longer than " + std::to_string(NOTE_BYTES_MAX) + " bytes";
    return printable(note, true, "the note");
}

Directory::Directory(const std::string& path) : path_(path) {
    // The names of the line's users are trusted as ssh trusts its keys: a
    // file that another user owns or may write, or one in a directory where a
    // stranger could swap it, is refused. Never through a symbolic link; a new
    // file is the service's user's alone; the checks are made on the file
    // opened, and SQLite must then open that same file.
    const std::string what = "the directory";
    if (std::string why = untrusted_directory_of(path, what); !why.empty()) throw std::runtime_error(why);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        throw std::runtime_error(
            what + " " + path + ": " +
            (errno == ELOOP ? std::string("a symbolic link, which is not followed") : std::strerror(errno)));
    struct stat opened {};
    std::string why = untrusted_file(fd, path, what, 022);
    if (why.empty() && ::fstat(fd, &opened) != 0) why = what + " " + path + ": " + std::strerror(errno);
    if (!why.empty()) {
        ::close(fd);
        throw std::runtime_error(why);
    }
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string said = db_ ? sqlite3_errmsg(db_) : "out of memory";
        ::close(fd);
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error(what + " " + path + ": " + said);
    }
    // The name still names the file judged (held open until now, so that its
    // inode cannot have gone to another file): no one swapped it meanwhile.
    struct stat named {};
    const bool same =
        ::lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
    ::close(fd);
    if (!same) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error(what + " " + path + " was replaced while it was opened");
    }
    sqlite3_busy_timeout(db_, BUSY_WAIT_MS);
    try {
        int format = 0;
        {
            Statement version(db_, "PRAGMA user_version");
            if (version.step() == SQLITE_ROW)
                format = static_cast<int>(version.integer(0));
            else
                throw std::runtime_error(sqlite3_errmsg(db_));
        }
        if (format > FORMAT)
            throw std::runtime_error("it is of a later format (" + std::to_string(format) +
                                     ") than this kelvord writes (" + std::to_string(FORMAT) + ")");
        run("PRAGMA synchronous = FULL");
        run("CREATE TABLE IF NOT EXISTS people ("
            " user_id INTEGER PRIMARY KEY CHECK (user_id BETWEEN 0 AND 4294967295),"
            " name TEXT NOT NULL, note TEXT NOT NULL DEFAULT '', changed TEXT NOT NULL)");
        run("PRAGMA user_version = 1");
        Statement all(db_, "SELECT user_id, name, note, changed FROM people ORDER BY user_id");
        if (!all.ok()) throw std::runtime_error(sqlite3_errmsg(db_));
        int rc;
        while ((rc = all.step()) == SQLITE_ROW) {
            const int64_t id = all.integer(0);
            Person p{static_cast<uint32_t>(id), all.text(1), all.text(2), all.text(3)};
            // A row that another program wrote and that this one would not: left out, not shown.
            if (id < 0 || id > 0xFFFFFFFFll || !check_name(p.name).empty() || !check_note(p.note).empty())
                continue;
            people_[p.userId] = std::move(p);
        }
        if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
    } catch (const std::runtime_error& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("the directory " + path + ": " + e.what());
    }
}

Directory::~Directory() {
    sqlite3_close(db_);
}

void Directory::run(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string why = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw std::runtime_error(why);
    }
}

std::string Directory::set(uint32_t userId, const std::string& name, const std::string& note,
                           Person& stored) {
    const std::string cleanName = trimmed(name);
    if (std::string why = check_name(cleanName); !why.empty()) return why;
    if (std::string why = check_note(note); !why.empty()) return why;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!people_.count(userId) && people_.size() >= PEOPLE_MAX)
            return "the directory holds " + std::to_string(PEOPLE_MAX) + " people already";
    }
    Person p{userId, cleanName, note, line_events::event_time(line_events::now_ms())};
    Statement put(db_, "INSERT INTO people (user_id, name, note, changed) VALUES (?1, ?2, ?3, ?4)"
                       " ON CONFLICT (user_id) DO UPDATE SET name = ?2, note = ?3, changed = ?4");
    if (!put.ok()) return std::string("the directory cannot be written: ") + sqlite3_errmsg(db_);
    put.bind(1, static_cast<int64_t>(userId));
    put.bind(2, p.name);
    put.bind(3, p.note);
    put.bind(4, p.changed);
    if (put.step() != SQLITE_DONE)
        return std::string("the directory cannot be written: ") + sqlite3_errmsg(db_);
    const std::lock_guard<std::mutex> lock(mutex_);
    people_[userId] = p;
    stored = std::move(p);
    return {};
}

bool Directory::remove(uint32_t userId, std::string& error) {
    Statement drop(db_, "DELETE FROM people WHERE user_id = ?1");
    if (drop.ok()) drop.bind(1, static_cast<int64_t>(userId));
    if (!drop.ok() || drop.step() != SQLITE_DONE) {
        error = std::string("the directory cannot be written: ") + sqlite3_errmsg(db_);
        return false;
    }
    const bool had = sqlite3_changes(db_) > 0;
    const std::lock_guard<std::mutex> lock(mutex_);
    people_.erase(userId);
    return had;
}

std::vector<Person> Directory::people() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Person> all;
    all.reserve(people_.size());
    for (const auto& [id, p] : people_) all.push_back(p);
    return all;
}

std::vector<Person> Directory::page(std::optional<uint32_t> after, size_t limit, bool& more) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Person> out;
    auto it = after ? people_.upper_bound(*after) : people_.begin();
    for (; it != people_.end() && out.size() < limit; ++it) out.push_back(it->second);
    more = it != people_.end();
    return out;
}

std::optional<std::string> Directory::name_of(uint32_t userId) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = people_.find(userId);
    if (it == people_.end()) return std::nullopt;
    return it->second.name;
}

std::string Directory::name_event(std::string line) const {
    // Only identifications carry a user; every other event passes as it is.
    if (line.find(R"("kind":"identify")") == std::string::npos &&
        line.find(R"("kind":"duress")") == std::string::npos)
        return line;
    nlohmann::ordered_json e = nlohmann::ordered_json::parse(line, nullptr, false);
    if (!e.is_object()) return line;
    const auto kind = e.find("kind");
    const auto user = e.find("user_id");
    if (kind == e.end() || !kind->is_string() || user == e.end() || !user->is_number_unsigned()) return line;
    const uint64_t id = user->get<uint64_t>();
    if (id > 0xFFFFFFFFull) return line;
    const std::optional<std::string> name = name_of(static_cast<uint32_t>(id));
    if (!name) return line;
    e["name"] = *name;
    return e.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace kelvord
