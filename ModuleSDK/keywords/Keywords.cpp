// The keyword table: the tool's one dictionary of names. Each row ties a name
// to a numeric code within a category (command keywords typed after -c, and
// the printable names of status values, system parameters, option flags, port
// functions, events and policies). The rows come from the wire vocabulary's
// lists and are put together by the compiler: the table is complete and
// constant from the start, so the lines' threads and the service's loop read
// it side by side without a lock, and no lookup fills anything.
#include "keywords/Keywords.h"

#include <span>

#include "ModuleSDK.h"
#include "protocol/Commands.h"
#include "protocol/Packet.h"

namespace kelvor {

namespace {

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

// The command keywords, from the wire vocabulary's list of commands. The
// keyword table names SW a second time, after VH; lookups find the first.
constexpr void add_commands(keywords::Table& t) {
    for (const packet::Command& c : packet::COMMANDS) {
        t.add(KW_COMMAND, c.code, c.keyword);
        if (c.code == packet::cmd::VH) t.add(KW_COMMAND, packet::cmd::SW, "SW");
    }
}

// The names of the system parameters, from the same vocabulary; they come
// right after the baud rates and status values.
constexpr void add_parameters(keywords::Table& t) {
    for (const packet::Parameter& p : packet::PARAMETERS) t.add(KW_PARAMETER, p.number, p.name);
}

// Every built-in row, in the order of the tool's keyword fill.
constexpr keywords::Table build() {
    keywords::Table t;
    add_commands(t);
    for (const packet::BaudRate& b : packet::BAUD_RATES) t.add(KW_BAUD, b.code, b.name);
    for (const Category& category : kCategories) {
        for (const Entry& entry : category.entries) t.add(category.category, entry.code, entry.name);
        if (category.category == KW_STATUS) add_parameters(t);
    }
    return t;
}

constexpr keywords::Table kBuiltins = build();
static_assert(kBuiltins.count() == keywords::NON_COMMAND_ROWS + static_cast<int>(std::size(packet::COMMANDS)),
              "one row per command and the names of the other categories");
static_assert(kBuiltins.count() < keywords::CAPACITY);

} // namespace

const keywords::Table& keywords::builtin() {
    return kBuiltins;
}

const char* keyword_name(int category, int code) {
    return kBuiltins.name(category, code);
}

int keyword_code(int category, const char* name) {
    return kBuiltins.code(category, name);
}

// The table is complete before any call: there is nothing left to fill.
void keyword_fill() {}

int keyword_count() {
    return kBuiltins.count();
}

} // namespace kelvor
