// The keyword table: the tool's one dictionary of names. Each row ties a name
// to a numeric code within a category (command keywords typed after -c, and
// the printable names of status values, system parameters, option flags, port
// functions, events and policies). The library's own traces name values
// through it, so it fills itself on first use; keyword_fill() does the same
// explicitly and adds the rows only once. A name is found by its category and
// code through an index of the rows (a batch names several values a line);
// a code by its name through a scan. Both find the first matching row, so a
// duplicated row is never seen.
#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "ModuleSDK.h"

namespace kelvor {

namespace {

constexpr int kCapacity = 384;
// Slots of the index by category and code: a power of two, at least twice the
// rows, so that a probe ends soon.
constexpr uint32_t kSlots = 1024;
static_assert((kSlots & (kSlots - 1)) == 0 && kSlots >= 2 * kCapacity);
constexpr int16_t kFree = -1;

struct Row {
    int category;
    int code;
    const char* name; // static text, never copied
};

struct Table {
    std::array<Row, kCapacity> rows{};
    int count = 0;
    // The built-in rows have been added, or the table was emptied on purpose:
    // either way no automatic fill happens any more.
    bool settled = false;
    bool builtins = false; // the built-in rows are in the table
    // Row numbers by category and code (open addressing, linear probing); each
    // key is indexed at its first row only.
    std::array<int16_t, kSlots> index = free_index();

    static std::array<int16_t, kSlots> free_index() {
        std::array<int16_t, kSlots> slots{};
        slots.fill(kFree);
        return slots;
    }
};

uint32_t slot_of(int category, int code) {
    const uint32_t key =
        static_cast<uint32_t>(category) * 0x9E3779B1u ^ static_cast<uint32_t>(code) * 0x85EBCA77u;
    return (key ^ (key >> 15)) & (kSlots - 1);
}

Table& raw_table() {
    static Table instance;
    return instance;
}

void fill_builtins(Table& t);

// The table as every lookup sees it: filled with the built-in rows first.
Table& table() {
    Table& t = raw_table();
    if (!t.settled) fill_builtins(t);
    return t;
}

using Entry = packet::Named;

struct Category {
    int category;
    std::span<const Entry> entries;
};

// System status.
constexpr Entry kSystemStatus[] = {
    {packet::status::NORMAL, "Module is in normal condition"},
    {packet::status::WAITING_FOR_DATA, "Module is waiting for data"},
    {packet::status::SYSTEM_FAILURE, "System failure"},
    {packet::status::SENSOR_FAILURE, "Sensor does not respond"},
    {packet::status::BUSY, "Module is busy"},
};

// Categories in the order in which the fill adds them, after the commands.
constexpr Category kCategories[] = {
    {KW_STATUS, kSystemStatus},
    {KW_ENROLL_OPTION, packet::ENROLL_OPTIONS},
    {KW_GPIO_MODE, packet::GPIO_MODES},
    {KW_GPIO_INPUT_FUNCTION, packet::GPIO_INPUT_FUNCTIONS},
    {KW_GPIO_INPUT_ACTIVATION, packet::GPIO_INPUT_ACTIVATIONS},
    {KW_GPIO_OUTPUT_EVENT, packet::GPIO_OUTPUT_EVENTS},
    {KW_GPIO_OUTPUT_LEVEL, packet::GPIO_OUTPUT_LEVELS},
    {KW_WIEGAND_FUNCTION, packet::WIEGAND_FUNCTIONS},
    {KW_WIEGAND_PORT, packet::WIEGAND_PORTS},
    {KW_WIEGAND_STATUS, packet::WIEGAND_INPUT_READ_MODES},
    {KW_WIEGAND_FORMAT, packet::WIEGAND_FORMATS},
    {KW_INPUT_FUNCTION, packet::INPUT_FUNCTIONS},
    {KW_INPUT_PORT, packet::INPUT_PORTS},
    {KW_INPUT_READ_MODE, packet::INPUT_READ_MODES},
    {KW_INPUT_STATE, packet::INPUT_STATES},
    {KW_EVENT, packet::EVENTS},
    {KW_OUTPUT_PORT, packet::OUTPUT_PORTS},
    {KW_OUTPUT_STATE, packet::OUTPUT_STATES},
    {KW_EVENT_SOURCE, packet::EVENT_SOURCES},
    {KW_ADMIN_LEVEL, packet::ADMIN_LEVELS},
    {KW_CARD_FUNCTION, packet::CARD_INPUT_FUNCTIONS},
    {KW_AUTH_POLICY, packet::AUTH_POLICIES},
};

void add_row(Table& t, int category, int code, const char* name) {
    // A full table or a row without a name is refused: lookups rely on every
    // stored row having printable text.
    if (t.count >= kCapacity || name == nullptr) return;
    for (uint32_t slot = slot_of(category, code);; slot = (slot + 1) & (kSlots - 1)) {
        int16_t& at = t.index[slot];
        if (at == kFree) {
            at = static_cast<int16_t>(t.count);
            break;
        }
        const Row& row = t.rows[static_cast<size_t>(at)];
        if (row.category == category && row.code == code) break; // the first row stays the one found
    }
    t.rows[static_cast<size_t>(t.count)] = Row{category, code, name};
    ++t.count;
}

// The command keywords, from the wire vocabulary's list of commands. The
// keyword table names SW a second time, after VH; lookups find the first.
void add_commands(Table& t) {
    for (const packet::Command& c : packet::COMMANDS) {
        add_row(t, KW_COMMAND, c.code, c.keyword);
        if (c.code == packet::cmd::VH) add_row(t, KW_COMMAND, packet::cmd::SW, "SW");
    }
}

// The names of the system parameters, from the same vocabulary; they come
// right after the baud rates and status values.
void add_parameters(Table& t) {
    for (const packet::Parameter& p : packet::PARAMETERS) add_row(t, KW_PARAMETER, p.number, p.name);
}

void fill_builtins(Table& t) {
    t.settled = true;
    t.builtins = true;
    add_commands(t);
    for (const packet::BaudRate& b : packet::BAUD_RATES) add_row(t, KW_BAUD, b.code, b.name);
    for (const Category& category : kCategories) {
        for (const Entry& entry : category.entries) add_row(t, category.category, entry.code, entry.name);
        if (category.category == KW_STATUS) add_parameters(t);
    }
}

} // namespace

void keyword_add(int category, int code, const char* name) {
    add_row(table(), category, code, name);
}

const char* keyword_name(int category, int code) {
    const Table& t = table();
    for (uint32_t slot = slot_of(category, code);; slot = (slot + 1) & (kSlots - 1)) {
        const int16_t at = t.index[slot];
        if (at == kFree) return "Unknown";
        const Row& row = t.rows[static_cast<size_t>(at)];
        if (row.category == category && row.code == code) return row.name;
    }
}

int keyword_code(int category, const char* name) {
    if (name == nullptr) return -1;
    const Table& t = table();
    for (int i = 0; i < t.count; ++i) {
        const Row& row = t.rows[static_cast<size_t>(i)];
        if (row.category == category && std::strcmp(row.name, name) == 0) return row.code;
    }
    return -1;
}

void keyword_fill() {
    Table& t = raw_table();
    // Once filled, a second fill would only add rows that lookups never see.
    if (!t.builtins) fill_builtins(t);
}

int keyword_count() {
    return table().count;
}

void keyword_reset() {
    Table& t = raw_table();
    t.count = 0;
    t.index.fill(kFree);
    t.settled = true;
    t.builtins = false;
}

} // namespace kelvor
