// A keyword table: (category, code, name) rows in the order they were added,
// looked up by category and code through an index of the rows, and by
// category and name through a scan. Both find the first matching row, so a
// duplicated row is never seen.
//
// The library's own table (builtin()) is made by the compiler and lives in
// read-only memory: any thread may read it at any time, and nobody can write
// it. A caller that wants rows of its own takes a copy and adds to that copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelvor::keywords {

inline constexpr int CAPACITY = 384;
// The built-in rows besides one per command: the names of the other
// categories, which a new command does not change (with today's 103
// commands the table holds 285 rows).
inline constexpr int NON_COMMAND_ROWS = 182;

class Table {
public:
    constexpr Table() { index_.fill(FREE); }

    // Stores the row after the others. A full table or a row without a name
    // is refused (false): lookups rely on every stored row having printable
    // text. The name is kept, not copied: it must outlive the table.
    constexpr bool add(int category, int code, const char* name) {
        if (count_ >= CAPACITY || name == nullptr) return false;
        for (uint32_t slot = slot_of(category, code);; slot = (slot + 1) & (SLOTS - 1)) {
            int16_t& at = index_[slot];
            if (at == FREE) {
                at = static_cast<int16_t>(count_);
                break;
            }
            const Row& row = rows_[static_cast<std::size_t>(at)];
            if (row.category == category && row.code == code) break; // the first row stays the one found
        }
        rows_[static_cast<std::size_t>(count_)] = Row{category, code, name};
        ++count_;
        return true;
    }

    // The name of the first row of that category and code, else "Unknown".
    constexpr const char* name(int category, int code) const {
        for (uint32_t slot = slot_of(category, code);; slot = (slot + 1) & (SLOTS - 1)) {
            const int16_t at = index_[slot];
            if (at == FREE) return "Unknown";
            const Row& row = rows_[static_cast<std::size_t>(at)];
            if (row.category == category && row.code == code) return row.name;
        }
    }

    // The code of the first row of that category whose name is the same text
    // (byte for byte), else -1.
    constexpr int code(int category, const char* name) const {
        if (name == nullptr) return -1;
        for (int i = 0; i < count_; ++i) {
            const Row& row = rows_[static_cast<std::size_t>(i)];
            if (row.category == category && same_text(row.name, name)) return row.code;
        }
        return -1;
    }

    constexpr int count() const { return count_; }

private:
    struct Row {
        int category = 0;
        int code = 0;
        const char* name = nullptr; // static text, never copied
    };

    // Slots of the index: a power of two, at least twice the rows, so that a
    // probe ends soon. Each key is indexed at its first row only.
    static constexpr uint32_t SLOTS = 1024;
    static_assert((SLOTS & (SLOTS - 1)) == 0 && SLOTS >= 2 * CAPACITY);
    static constexpr int16_t FREE = -1;

    static constexpr uint32_t slot_of(int category, int code) {
        const uint32_t key =
            static_cast<uint32_t>(category) * 0x9E3779B1u ^ static_cast<uint32_t>(code) * 0x85EBCA77u;
        return (key ^ (key >> 15)) & (SLOTS - 1);
    }

    static constexpr bool same_text(const char* a, const char* b) {
        for (;; ++a, ++b) {
            if (*a != *b) return false;
            if (*a == '\0') return true;
        }
    }

    std::array<Row, CAPACITY> rows_{};
    std::array<int16_t, SLOTS> index_{};
    int count_ = 0;
};

// The library's table of names: every built-in row, complete before the
// program starts, never written.
const Table& builtin();

} // namespace kelvor::keywords
