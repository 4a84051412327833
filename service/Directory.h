// The directory of people that the service keeps beside its line: a name and
// a note for a user ID, in an SQLite file of the service's own. A module never
// stores names; the directory is what turns the user IDs of its answers and
// events into people. The loop's thread changes it; the line's thread reads
// names from it for the events it publishes.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace kelvord {

struct Person {
    uint32_t userId = 0;
    std::string name;
    std::string note;
    std::string changed; // when it was last set, UTC as event times are written
};

class Directory {
public:
    // The longest name and note taken, in bytes of UTF-8, and the most people.
    static constexpr size_t NAME_BYTES_MAX = 200;
    static constexpr size_t NOTE_BYTES_MAX = 2000;
    static constexpr size_t PEOPLE_MAX = 100000;

    // Opens the file, or creates it (mode 0640: the directory names people).
    // Throws std::runtime_error with the reason.
    explicit Directory(const std::string& path);
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // Sets the user's name and note (a person set before is replaced).
    // Empty on success with `stored` filled; else why it was refused.
    std::string set(uint32_t userId, const std::string& name, const std::string& note, Person& stored);
    // Whether the user had an entry, which is gone now; `error` set when the
    // file could not be changed.
    bool remove(uint32_t userId, std::string& error);
    // Everyone, by user ID.
    std::vector<Person> people() const;
    // At most `limit` people by user ID, the first after `after` (from the
    // first without it); `more` tells whether anyone comes after them.
    std::vector<Person> page(std::optional<uint32_t> after, size_t limit, bool& more) const;
    // The user's name, when the directory has one. Any thread.
    std::optional<std::string> name_of(uint32_t userId) const;

    // An event's line with the person's "name" added when it is an
    // identification (or a duress finger) of a user the directory knows; any
    // other line as it stands. Any thread.
    std::string name_event(std::string eventLine) const;

    // Why a name or a note cannot be stored as given, empty when it can: a
    // name is one line of printable text, a note may run over several lines.
    static std::string check_name(const std::string& name);
    static std::string check_note(const std::string& note);

private:
    void run(const char* sql);
    std::string path_;
    sqlite3* db_ = nullptr;
    mutable std::mutex mutex_;
    std::map<uint32_t, Person> people_; // the file's rows, read once and kept in step
};

} // namespace kelvord
