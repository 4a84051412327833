// The keyword table: the tool's one dictionary of names. Each row ties a name
// to a numeric code within a category (command keywords typed after -c, and
// the printable names of status values, system parameters, option flags, port
// functions, events and policies). The library's own traces name values
// through it, so it fills itself on first use; keyword_fill() does the same
// explicitly and adds the rows only once. Lookups are linear scans that return the
// first matching row, so a duplicated row is never seen.
#include <array>
#include <cstring>
#include <span>

#include "ModuleSDK.h"

namespace kelvor {

namespace {

constexpr int kCapacity = 384;

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
};

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

// Enroll option.
constexpr Entry kEnrollOptions[] = {
    {0x71, "Add New Template"},  {0x79, "Auto ID"},      {0x74, "Enroll Continue"},      {0x70, "Check ID"},
    {0x92, "Add Duress Finger"}, {0x84, "Check Finger"}, {0x85, "Check Finger Auto ID"},
};

// GPIO mode.
constexpr Entry kGpioModes[] = {
    {0x00, "Disabled"}, {0x01, "Input"},         {0x02, "Output"},
    {0x03, "Shared"},   {0x04, "Wiegand Input"}, {0x05, "Wiegand Output"},
};

// GPIO input function.
constexpr Entry kGpioInputFunctions[] = {
    {0x01, "Enroll"},
    {0x02, "Identify"},
    {0x03, "Delete All"},
    {0x04, "Delete All by Confirm"},
};

// GPIO input activation.
constexpr Entry kGpioInputActivations[] = {
    {0x01, "Active High"},
    {0x02, "Active Low"},
    {0x03, "Rising Edge"},
    {0x04, "Falling Edge"},
};

// GPIO output event.
constexpr Entry kGpioOutputEvents[] = {
    {0x81, "Waiting finger scan on enroll"},
    {0x82, "Enroll process is going on"},
    {0x83, "Enroll success"},
    {0x84, "Enroll fail"},
    {0x85, "Waiting finger scan on match"},
    {0x86, "Match process is going on"},
    {0x87, "Match success"},
    {0x88, "Match fail"},
    {0x89, "Waiting confirm on Delete All by Confirm input"},
    {0x8A, "Delete process is going on"},
    {0x8B, "Delete success"},
    {0x8C, "Delete fail"},
    {0x8D, "Beep function"},
};

// GPIO output level.
constexpr Entry kGpioOutputLevels[] = {
    {0x82, "Active High"},
    {0x84, "Active Low"},
    {0x83, "Active High + Blinking"},
    {0x85, "Active Low + Blinking"},
};

// Wiegand mode.
constexpr Entry kWiegandModes[] = {
    {0x00, "Wiegand Input"},
    {0x01, "Wiegand Output"},
};

// Wiegand input read mode.
constexpr Entry kWiegandInputReadModes[] = {
    {0x00, "Clear"},
    {0x01, "Remain"},
};

// Wiegand format.
constexpr Entry kWiegandFormats[] = {
    {0x01, "26bit Standard"},
    {0x02, "Pass Through"},
    {0x03, "Custom Format"},
};

// Input port.
constexpr Entry kInputPorts[] = {
    {0x00, "IN0"},
    {0x01, "IN1"},
    {0x02, "IN2"},
};

// Input read mode.
constexpr Entry kInputReadModes[] = {
    {0x00, "Clear"},
    {0x01, "Remain"},
};

// Input state.
constexpr Entry kInputStates[] = {
    {0x00, "Inactive"},
    {0x01, "Active"},
};

// Output port.
constexpr Entry kOutputPorts[] = {
    {0x00, "OUT0"}, {0x01, "OUT1"}, {0x02, "OUT2"},          {0x03, "LED0"},
    {0x04, "LED1"}, {0x05, "LED2"}, {0x06, "Auto Response"},
};

// Output state.
constexpr Entry kOutputStates[] = {
    {0x00, "Clear"},
    {0x01, "Setr"},
};

// Administrator level.
constexpr Entry kAdminLevels[] = {
    {0x00, "None"},
    {0x01, "Enroll"},
    {0x02, "Delete"},
    {0x03, "All"},
};

// Smart-card input function.
constexpr Entry kCardInputFunctions[] = {
    {0x00, "Disable"},
    {0x01, "Verify ID"},
    {0x02, "Verify Template"},
};

// Authentication policy.
constexpr Entry kAuthPolicies[] = {
    {0x00, "Fingerprint"},
    {0x01, "Wiegand Bypass"},
    {0x02, "SmartCard Bypass"},
    {0x03, "Reject"},
};

// Categories in the order in which the fill adds them, after the commands.
constexpr Category kCategories[] = {
    {KW_STATUS, kSystemStatus},
    {KW_ENROLL_OPTION, kEnrollOptions},
    {KW_GPIO_MODE, kGpioModes},
    {KW_GPIO_INPUT_FUNCTION, kGpioInputFunctions},
    {KW_GPIO_INPUT_ACTIVATION, kGpioInputActivations},
    {KW_GPIO_OUTPUT_EVENT, kGpioOutputEvents},
    {KW_GPIO_OUTPUT_LEVEL, kGpioOutputLevels},
    {KW_WIEGAND_FUNCTION, packet::WIEGAND_FUNCTIONS},
    {KW_WIEGAND_PORT, kWiegandModes},
    {KW_WIEGAND_STATUS, kWiegandInputReadModes},
    {KW_WIEGAND_FORMAT, kWiegandFormats},
    {KW_INPUT_FUNCTION, packet::INPUT_FUNCTIONS},
    {KW_INPUT_PORT, kInputPorts},
    {KW_INPUT_READ_MODE, kInputReadModes},
    {KW_INPUT_STATE, kInputStates},
    {KW_EVENT, packet::EVENTS},
    {KW_OUTPUT_PORT, kOutputPorts},
    {KW_OUTPUT_STATE, kOutputStates},
    {KW_EVENT_SOURCE, packet::EVENT_SOURCES},
    {KW_ADMIN_LEVEL, kAdminLevels},
    {KW_CARD_FUNCTION, kCardInputFunctions},
    {KW_AUTH_POLICY, kAuthPolicies},
};

void add_row(Table& t, int category, int code, const char* name) {
    // A full table or a row without a name is refused: lookups rely on every
    // stored row having printable text.
    if (t.count >= kCapacity || name == nullptr) return;
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
    for (int i = 0; i < t.count; ++i) {
        const Row& row = t.rows[static_cast<size_t>(i)];
        if (row.category == category && row.code == code) return row.name;
    }
    return "Unknown";
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
    t.settled = true;
    t.builtins = false;
}

} // namespace kelvor
