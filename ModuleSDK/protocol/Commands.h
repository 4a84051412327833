// The module's commands, each described once: its code and keyword, the
// library's function that carries it out and the scripting method that sends
// it, the family of the library that carries it out, what it does and which of the
// command line's -p1, -p2, -f, -i, -o and -s it takes, the files it reads and
// writes, the most it takes of what the module announces, and the named values
// of its outcome with their types. The constants packet::cmd::SW ... are looked
// up in this table at compile time; the keyword table, the command reference
// (kelvor --commands, the manual page), the schema of kelvor --json's values,
// the limits of the Python package and the library's run_command take their
// rows from it. No I/O: the simulated module includes it too.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "Packet.h"

namespace kelvor::packet {

// The families of commands: one source file of the library each.
enum class Family : uint8_t {
    System,
    Image,
    Enroll,
    Verify,
    Identify,
    Database,
    Admin,
    Firmware,
    EventLog,
    Clock,
    Ports,
    Wiegand,
    SmartCard,
    EnrollByWiegandCard,
    Raw, // sent as a raw packet: the answer and what follows it, as they come
};

// The most the host takes of what a module announces or a command line asks
// for, and the most it sends: written once, here.
namespace limit {
inline constexpr uint32_t TEMPLATE_BYTES = 0x10000; // one template from the module (RT, ST)
inline constexpr uint32_t USER_IDS = 0x100000;      // IDs of a list (LT, UL), template records (LTX)
inline constexpr uint32_t ENCRYPTED_TEMPLATE_BYTES = 0x40000; // KS
inline constexpr uint32_t LOG_RECORDS = 0x100000;             // LR: one upload, 16 MiB of records
inline constexpr uint32_t USER_MEMORY_BYTES = 0x1000000;      // MR
inline constexpr uint32_t ENABLED_EVENTS = 0x100;             // OL: event codes are 8 bits
inline constexpr uint32_t GPIO_RECORDS = 0x10000;             // GR: the records of one GPIO line
inline constexpr uint32_t MAPPING_BYTES = 0x10000;            // WL
inline constexpr uint32_t FORMAT_BYTES = 0x10000;             // WRX
inline constexpr uint32_t CARD_BYTES = 0x10000;               // CR: far more than any card holds
inline constexpr uint32_t HOST_TEMPLATES_LEAST = 1;           // VH: the templates it sends
inline constexpr uint32_t HOST_TEMPLATES_MOST = 10;
inline constexpr uint32_t CARD_ENROLL_BYTES = 0x40000; // ECX: templates and Wiegand string
inline constexpr uint32_t RAW_BYTES = 0x40000; // LC, EV and codes without a keyword: data sent or drained
inline constexpr uint32_t TEMPLATE_DATA_BYTES = 0x40000; // templates sent from a file (ET, IT, VT, VH)
} // namespace limit

// The type of a named value of a command's outcome (the "values" of
// kelvor --json, last_values in Python).
enum class ValueType : uint8_t {
    Unsigned,     // an integer, never negative
    Signed,       // an integer
    Text,         // text as the module or the library gives it
    Name,         // the keyword table's name of a code, or "Unknown"
    Hex,          // bytes as lower-case hexadecimal digits, two per byte
    Time,         // a local time "YYYY-MM-DDTHH:MM:SS", or null when the module's bytes make none
    Boolean,      // true or false
    UnsignedList, // a list of integers, never negative
    NameList,     // a list of names of the keyword table
    Records,      // a list of objects, each with the fields given
    Object,       // one object with the fields given
};

struct ValueField {
    const char* name;
    ValueType type;
    std::span<const ValueField> fields = {}; // of Records and Object
};

// The values a command's outcome may hold, under a name of the set (the
// schema's "values_NAME") and what they tell. A value is there only when the
// command got it: none of them is always present.
struct ValueSet {
    const char* name;
    const char* description;
    std::span<const ValueField> fields;
};

// A named part of a packet's Param1, Param2 or flag: `bits` bits from bit
// `shift` up. A parameter made of several values lists its fields; one that
// is a single value lists none.
struct BitField {
    const char* name;
    uint8_t shift;
    uint8_t bits;

    constexpr uint32_t mask() const { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1; }
    constexpr bool fits(uint64_t value) const { return value <= mask(); }
};

// The fields of the parameters made of several values, each layout once.
namespace fields {
inline constexpr BitField COUNT_SIZE[] = {{"count", 16, 16}, {"size", 0, 16}}; // templates and their size
inline constexpr BitField GPIO_MODE[] = {{"gpio", 0, 16}, {"mode", 16, 16}};
inline constexpr BitField DATE[] = {{"day", 16, 16}, {"month", 8, 8}, {"year", 0, 8}}; // year - 2000
inline constexpr BitField TIME[] = {{"second", 16, 16}, {"minute", 8, 8}, {"hour", 0, 8}};
inline constexpr BitField WIEGAND_CONFIG[] = {{"fc_bits", 16, 16}, {"format", 8, 8}, {"function", 0, 8}};
inline constexpr BitField OUT_PATTERN[] = {{"delay", 16, 16}, {"count", 8, 8}, {"event", 0, 8}};
inline constexpr BitField HIGH_LOW[] = {{"high", 16, 16}, {"low", 0, 16}};
inline constexpr BitField PULSE[] = {{"pulse_width", 16, 16}, {"pulse_interval", 0, 16}}; // microseconds
inline constexpr BitField PORT_MAP[] = {{"input", 16, 16}, {"output", 0, 16}};
// Param1 of identification and deletion by scan: the IDs from `start` to `end`.
inline constexpr BitField ID_RANGE[] = {{"start", 0, 16}, {"end", 16, 16}};
} // namespace fields

// An option of the command line that a command reads and what it means for
// it; a value bounded by the host (not by the module) has its bounds, and one
// made of several values its fields.
struct OptionUse {
    const char* option = nullptr; // "-p1", "-p2", "-f", "-i", "-o" or "-s"; nullptr ends the list
    const char* meaning = nullptr;
    uint32_t least = 0;
    uint32_t most = 0; // 0: no bound of the host's
    std::span<const BitField> fields = {};
};

// A parameter made of its fields' values, given in the order of the fields.
// Each value is cut to its field; the caller checks the values that may not
// fit (fits()) where they come from outside.
template <size_t N> constexpr uint32_t pack(std::span<const BitField> fields, const uint32_t (&values)[N]) {
    uint32_t out = 0;
    for (size_t i = 0; i < N && i < fields.size(); ++i)
        out |= (values[i] & fields[i].mask()) << fields[i].shift;
    return out;
}

// The value of one field of a parameter.
constexpr uint32_t unpack(const BitField& field, uint32_t parameter) {
    return parameter >> field.shift & field.mask();
}

// A field by its name, found when compiled.
consteval const BitField& field(std::span<const BitField> fields, std::string_view name) {
    for (const BitField& f : fields)
        if (name == f.name) return f;
    throw "no such field";
}

// What front ends need to know of a command beyond its options and files.
namespace trait {
inline constexpr uint8_t SCANS_FINGER = 0x01; // it waits for a finger on the module's sensor
inline constexpr uint8_t TAKES_DIRECTORY =
    0x02; // -i may name a directory: the command runs once a file of it
} // namespace trait

// What a command's input (-i) and output (-o) files are.
enum class FileRole : uint8_t {
    None,
    Data,      // bytes as they stand
    Image,     // a BMP image, sent as the image record
    Templates, // templates back to back
    Firmware,  // a firmware image, sent in chunks
    Key,       // key bytes, wiped after use
    Password,  // master passwords, wiped after use
};

struct Files {
    FileRole input = FileRole::None;
    uint32_t inputBytes = 0; // an input of exactly this size (0: any size)
    FileRole output = FileRole::None;
    bool inputOptional = false;
    uint32_t inputMost = 0; // the most the host sends of it (0: what a data block carries)
};

// What the module announces before data it sends (a size, a count), and the
// most of it the host takes: `most` units of `unit` bytes (most 0: nothing is
// announced).
struct Announced {
    uint32_t most = 0;
    uint32_t unit = 1;
};

struct Command {
    uint8_t code;
    const char* keyword;
    // The library's function (or functions, ", " between them) that carries
    // it out; nullptr for a command the library sends only as a raw packet.
    const char* function;
    // The method of the scripting front ends (kelvor.Module, kelvor.Client)
    // that sends it; nullptr for none. A method the package does not write
    // out is made from the row.
    const char* method;
    Family family;
    const ValueSet* values; // nullptr: the outcome holds no values
    const char* summary;    // what the command does
    OptionUse uses[6];      // the options it reads, in the order of the command line
    const char* notes;      // files, output and the front end's own checks; may be empty
    const char* example;    // a command line, without the program name
    Files files = {};
    Announced announced = {};
    uint8_t traits = 0; // of trait::

    constexpr bool has(uint8_t t) const { return (traits & t) != 0; }

    // The use of an option ("-p1", ...), nullptr when the command does not read it.
    constexpr const OptionUse* use(std::string_view option) const {
        for (const OptionUse& u : uses)
            if (u.option && option == u.option) return &u;
        return nullptr;
    }
    // The fields of an option made of several values; empty for any other.
    constexpr std::span<const BitField> fields_of(std::string_view option) const {
        const OptionUse* u = use(option);
        return u ? u->fields : std::span<const BitField>{};
    }
};

// The values of the outcomes, set by set.
namespace values {
using T = ValueType;
inline constexpr ValueField USER_SCORE[] = {{"user_id", T::Unsigned}, {"score", T::Unsigned}};
inline constexpr ValueSet IDENTIFY{"identify", "the user found and the score of the match", USER_SCORE};
inline constexpr ValueSet VERIFY{"verify", "the user verified and the score", USER_SCORE};
inline constexpr ValueField USER[] = {{"user_id", T::Unsigned}};
inline constexpr ValueSet ENROLL{"enroll", "the user ID the module enrolled", USER};
inline constexpr ValueField PARAMETER_FIELDS[] = {
    {"parameter", T::Unsigned}, {"parameter_name", T::Name}, {"value", T::Unsigned}};
inline constexpr ValueSet PARAMETER{"parameter", "the parameter, its name and its value", PARAMETER_FIELDS};
inline constexpr ValueField STATUS_FIELDS[] = {{"status", T::Unsigned}, {"status_name", T::Name}};
inline constexpr ValueSet STATUS{"status", "the module's status", STATUS_FIELDS};
inline constexpr ValueField IMAGE_FIELDS[] = {{"bytes", T::Unsigned},
                                              {"width", T::Unsigned},
                                              {"height", T::Unsigned},
                                              {"format", T::Unsigned},
                                              {"pixel_bytes", T::Unsigned}};
inline constexpr ValueSet IMAGE{"image", "the image announced and received", IMAGE_FIELDS};
inline constexpr ValueField BYTES[] = {{"bytes", T::Unsigned}};
inline constexpr ValueSet TEMPLATE_SIZE{"template_size", "the size of the template announced", BYTES};
inline constexpr ValueField READ_TEMPLATES_FIELDS[] = {
    {"user_id", T::Unsigned}, {"bytes", T::Unsigned}, {"template_bytes", T::UnsignedList}};
inline constexpr ValueSet READ_TEMPLATES{
    "read_templates", "the size announced and the size of each template received", READ_TEMPLATES_FIELDS};
inline constexpr ValueField LIST_USERS_FIELDS[] = {{"count", T::Unsigned}, {"user_ids", T::UnsignedList}};
inline constexpr ValueSet LIST_USERS{"list_users", "the number of user IDs and the IDs", LIST_USERS_FIELDS};
inline constexpr ValueField POLICY_USERS_FIELDS[] = {
    {"policy", T::Unsigned}, {"policy_name", T::Name}, {"count", T::Unsigned}, {"user_ids", T::UnsignedList}};
inline constexpr ValueSet POLICY_USERS{"policy_users", "the policy, the number of its users and their IDs",
                                       POLICY_USERS_FIELDS};
inline constexpr ValueField CHECK_USER_FIELDS[] = {{"user_id", T::Unsigned}, {"templates", T::Unsigned}};
inline constexpr ValueSet CHECK_USER{"check_user", "the number of templates of the user", CHECK_USER_FIELDS};
inline constexpr ValueSet DELETED_USER{"deleted_user", "the user deleted", USER};
inline constexpr ValueField TEMPLATE_RECORD[] = {
    {"index", T::Unsigned},  {"user_id", T::Signed},  {"value1", T::Unsigned}, {"value2", T::Unsigned},
    {"value3", T::Unsigned}, {"value4", T::Unsigned}, {"value5", T::Unsigned}};
inline constexpr ValueField TEMPLATE_INFO_FIELDS[] = {{"parameter", T::Unsigned},
                                                      {"parameter_name", T::Name},
                                                      {"value", T::Unsigned},
                                                      {"index", T::Unsigned},
                                                      {"templates", T::Unsigned},
                                                      {"bytes", T::Unsigned},
                                                      {"records", T::Records, TEMPLATE_RECORD}};
inline constexpr ValueSet TEMPLATE_INFO{
    "template_info", "the number of templates enrolled (read first, as SR 0x73) and one record per template",
    TEMPLATE_INFO_FIELDS};
inline constexpr ValueField LOG_COUNT_FIELDS[] = {{"records", T::Unsigned}, {"capacity", T::Unsigned}};
inline constexpr ValueSet LOG_COUNT{"log_count", "records used and the capacity of the log",
                                    LOG_COUNT_FIELDS};
inline constexpr ValueField LOG_RECORD[] = {
    {"index", T::Unsigned},  {"time", T::Time},        {"event", T::Unsigned}, {"event_name", T::Name},
    {"source", T::Unsigned}, {"source_name", T::Name}, {"value", T::Unsigned}, {"text", T::Text}};
inline constexpr ValueField LOG_RECORDS_FIELDS[] = {{"count", T::Unsigned},
                                                    {"records", T::Records, LOG_RECORD}};
inline constexpr ValueSet LOG_RECORDS{"log_records", "the records, decoded", LOG_RECORDS_FIELDS};
inline constexpr ValueField DELETED[] = {{"deleted", T::Unsigned}};
inline constexpr ValueSet LOG_DELETED{"log_deleted", "the records deleted", DELETED};
inline constexpr ValueField TIME[] = {{"time", T::Time}};
inline constexpr ValueSet CLOCK{"clock", "the module's clock, local time", TIME};
inline constexpr ValueSet MEMORY_LENGTH{"memory_length", "the size of the user memory", BYTES};
inline constexpr ValueField MEMORY_READ_FIELDS[] = {{"offset", T::Unsigned}, {"bytes", T::Unsigned}};
inline constexpr ValueSet MEMORY_READ{"memory_read", "the data read", MEMORY_READ_FIELDS};
inline constexpr ValueField ADMIN_LEVEL_FIELDS[] = {
    {"user_id", T::Unsigned}, {"level", T::Unsigned}, {"level_name", T::Name}};
inline constexpr ValueSet ADMIN_LEVEL{"admin_level", "the administrator level of the user",
                                      ADMIN_LEVEL_FIELDS};
inline constexpr ValueField AUTH_POLICY_FIELDS[] = {
    {"user_id", T::Unsigned}, {"policy", T::Unsigned}, {"policy_name", T::Name}};
inline constexpr ValueSet AUTH_POLICY{"auth_policy", "the authentication policy of the user",
                                      AUTH_POLICY_FIELDS};
inline constexpr ValueField OUT_PORT_FIELDS[] = {
    {"t_delay", T::Unsigned}, {"t_count", T::Unsigned}, {"t_high", T::Unsigned}, {"t_low", T::Unsigned}};
inline constexpr ValueSet OUT_PORT{"out_port", "the output pattern", OUT_PORT_FIELDS};
inline constexpr ValueField ENABLED_EVENTS_FIELDS[] = {{"count", T::Unsigned}, {"events", T::NameList}};
inline constexpr ValueSet ENABLED_EVENTS{"enabled_events", "the events the output port follows",
                                         ENABLED_EVENTS_FIELDS};
inline constexpr ValueField IN_PORT_FIELDS[] = {
    {"function", T::Unsigned}, {"function_name", T::Name}, {"value", T::Unsigned}};
inline constexpr ValueSet IN_PORT{"in_port", "the function of the input port", IN_PORT_FIELDS};
inline constexpr ValueField IN_STATUS_FIELDS[] = {{"state", T::Unsigned}, {"state_name", T::Name}};
inline constexpr ValueSet IN_STATUS{"in_status", "the state of the input port", IN_STATUS_FIELDS};
inline constexpr ValueField GPIO_RECORD[] = {{"type", T::Name},     {"words", T::UnsignedList},
                                             {"function", T::Name}, {"activation", T::Name},
                                             {"event", T::Name},    {"level", T::Name}};
inline constexpr ValueField GPIO_FIELDS[] = {{"gpio", T::Unsigned},
                                             {"mode", T::Unsigned},
                                             {"mode_name", T::Name},
                                             {"count", T::Unsigned},
                                             {"records", T::Records, GPIO_RECORD}};
inline constexpr ValueSet GPIO{"gpio", "the GPIO line's mode and records", GPIO_FIELDS};
inline constexpr ValueField WIEGAND_CONFIG_FIELDS[] = {{"port", T::Name},          {"fc_bits", T::Unsigned},
                                                       {"format", T::Unsigned},    {"function", T::Unsigned},
                                                       {"function_name", T::Name}, {"fc_code", T::Unsigned}};
inline constexpr ValueSet WIEGAND_CONFIG{"wiegand_config", "the Wiegand configuration",
                                         WIEGAND_CONFIG_FIELDS};
inline constexpr ValueField WIEGAND_INPUT_FIELDS[] = {{"id", T::Unsigned}, {"facility_code", T::Unsigned}};
inline constexpr ValueSet WIEGAND_INPUT{"wiegand_input", "the Wiegand input", WIEGAND_INPUT_FIELDS};
inline constexpr ValueField MAPPINGS_FIELDS[] = {{"mappings", T::Unsigned}, {"data_size", T::Unsigned}};
inline constexpr ValueSet MAPPINGS{"mappings", "the mappings", MAPPINGS_FIELDS};
inline constexpr ValueField WIEGAND_FORMAT_FIELDS[] = {{"format", T::Unsigned},
                                                       {"format_name", T::Name},
                                                       {"pulse_width_us", T::Unsigned},
                                                       {"pulse_interval_us", T::Unsigned},
                                                       {"data_size", T::Unsigned}};
inline constexpr ValueSet WIEGAND_FORMAT{"wiegand_format", "the extended Wiegand configuration",
                                         WIEGAND_FORMAT_FIELDS};
inline constexpr ValueField WORDS[] = {{"word1", T::Unsigned}, {"word2", T::Unsigned}};
inline constexpr ValueSet WIEGAND_STRING{"wiegand_string", "the Wiegand string read", WORDS};
inline constexpr ValueField INDEX_VALUE[] = {{"index", T::Unsigned}, {"value", T::Unsigned}};
inline constexpr ValueSet FIELD_DEFAULT{"field_default", "the default value of a field", INDEX_VALUE};
inline constexpr ValueField WIEGAND_IO_FIELDS[] = {
    {"input", T::Unsigned}, {"output", T::Unsigned}, {"option", T::Unsigned}};
inline constexpr ValueSet WIEGAND_IO{"wiegand_io", "the Wiegand I/O setting", WIEGAND_IO_FIELDS};
inline constexpr ValueField CARD_SLOT[] = {{"bytes", T::Unsigned}, {"duress", T::Boolean}};
inline constexpr ValueField CARD_READ_FIELDS[] = {
    {"bytes", T::Unsigned},          {"csn", T::Unsigned},     {"wiegand_word1", T::Unsigned},
    {"wiegand_word2", T::Unsigned},  {"version", T::Unsigned}, {"templates", T::Unsigned},
    {"slots", T::Records, CARD_SLOT}};
inline constexpr ValueSet CARD_READ{"card_read", "the card data and, with the header option, its header",
                                    CARD_READ_FIELDS};
inline constexpr ValueField FUNCTION_FIELDS[] = {{"function", T::Unsigned}, {"function_name", T::Name}};
inline constexpr ValueSet CARD_FUNCTION{"card_function", "the card input function", FUNCTION_FIELDS};
inline constexpr ValueField KEY_OPTION_FIELDS[] = {
    {"option", T::Unsigned}, {"secondary_key", T::Boolean}, {"auto_update_primary_key", T::Boolean}};
inline constexpr ValueSet CARD_KEY_OPTION{"card_key_option", "the card key option", KEY_OPTION_FIELDS};
inline constexpr ValueField CARD_LAYOUT_FIELDS[] = {{"bytes", T::Unsigned},
                                                    {"template_size", T::Unsigned},
                                                    {"cis_block", T::Unsigned},
                                                    {"template1_start_block", T::Unsigned},
                                                    {"template1_blocks", T::Unsigned},
                                                    {"template2_start_block", T::Unsigned},
                                                    {"template2_blocks", T::Unsigned}};
inline constexpr ValueSet CARD_LAYOUT{"card_layout", "the card layout", CARD_LAYOUT_FIELDS};
inline constexpr ValueField ANSWER[] = {
    {"command", T::Unsigned}, {"param1", T::Unsigned}, {"param2", T::Unsigned}, {"flag", T::Unsigned}};
inline constexpr ValueField RAW_FIELDS[] = {{"answer", T::Object, ANSWER}, {"data", T::Hex}};
// Also the values of a code that no command has: it goes out as a raw packet too.
inline constexpr ValueSet RAW{"raw",
                              "a code the tool sends as a raw packet: the answer's fields and the bytes that "
                              "followed, in hexadecimal",
                              RAW_FIELDS};
} // namespace values

namespace describe_detail {
inline constexpr const char* RAW =
    "Sent in raw packet mode: -p1, -p2 and -f fill the packet; with -i, -p2 bytes of the "
    "file follow as data. The answer and whatever follows it are dumped in hexadecimal.";
} // namespace describe_detail

// Every command, one row each, in the order of kelvor --commands.
// clang-format off
inline constexpr Command COMMANDS[] = {
    {0x01, "SW", "system_parameter_write", "write_parameter", Family::System, &values::PARAMETER, "Write a system parameter",
     {{"-f", "parameter number (e.g. 0x65 Enroll Mode, 0x71 Baudrate)"}, {"-p2", "new value"}},
     "The library follows a new baud rate, hex-text or network mode at once.", "-c SW -f 0x66 -p2 0x34"},
    {0x02, "SF", "system_parameter_save", "save_parameters", Family::System, nullptr, "Save the system parameters in the module", {}, "", "-c SF"},
    {0x03, "SR", "system_parameter_read", "read_parameter", Family::System, &values::PARAMETER, "Read a system parameter", {{"-f", "parameter number (e.g. 0x6E Firmware Version)"}},
     "The value shows in the trace (level 2 and up).", "-x2 -c SR -f 0x6e"},
    {0x04, "SS", "system_status_check", "status", Family::System, &values::STATUS, "Check the module's status", {}, "The status shows in the trace (level 2 and up).", "-x2 -c SS"},
    {0x05, "ES", "enroll_by_scan", "enroll", Family::Enroll, &values::ENROLL, "Enroll by scan", {{"-p1", "user ID"}, {"-f", "enroll option (0x71 add new, 0x79 auto ID, 0x74 continue, ...)"}},
     "", "-c ES -p1 5 -f 0x71", {}, {}, trait::SCANS_FINGER},
    {0x06, "EI", "enroll_by_image", "enroll_image", Family::Enroll, &values::ENROLL, "Enroll by image", {{"-p1", "user ID"}, {"-f", "enroll option"}, {"-i", "BMP image file, or a directory of them"}},
     "A directory enrolls every file in it.", "-c EI -p1 5 -f 0x71 -i finger.bmp", {FileRole::Image}, {}, trait::TAKES_DIRECTORY},
    {0x07, "ET", "enroll_by_template", "enroll_templates", Family::Enroll, &values::ENROLL, "Enroll by template", {{"-p1", "user ID"}, {"-p2", "template size (at most this many bytes are read)"}, {"-f", "enroll option"}, {"-i", "template file, or a directory of them"}},
     "A directory enrolls every file in it.", "-c ET -p1 5 -p2 384 -f 0x71 -i user5.tpl", {FileRole::Templates, 0, FileRole::None, false, limit::TEMPLATE_DATA_BYTES}, {}, trait::TAKES_DIRECTORY},
    {0x08, "VS", "verify_by_scan", "verify", Family::Verify, &values::VERIFY, "Verify by scan", {{"-p1", "user ID"}}, "", "-c VS -p1 5", {}, {}, trait::SCANS_FINGER},
    {0x09, "VI", "verify_by_image", "verify_image", Family::Verify, &values::VERIFY, "Verify by image", {{"-p1", "user ID"}, {"-i", "BMP image file"}}, "", "-c VI -p1 5 -i finger.bmp", {FileRole::Image}},
    {0x10, "VT", "verify_by_template", "verify_template", Family::Verify, &values::VERIFY, "Verify by template", {{"-p1", "user ID"}, {"-p2", "template size"}, {"-i", "template file"}},
     "A file shorter than -p2 is refused before anything is sent.", "-c VT -p1 5 -p2 384 -i user5.tpl", {FileRole::Templates, 0, FileRole::None, false, limit::TEMPLATE_DATA_BYTES}},
    {0x11, "IS", "identify_by_scan", "identify", Family::Identify, &values::IDENTIFY, "Identify by scan", {}, "Searches the whole database; the user ID shows in the trace.", "-x2 -c IS", {}, {}, trait::SCANS_FINGER},
    {0x12, "II", "identify_by_image", "identify_image", Family::Identify, &values::IDENTIFY, "Identify by image", {{"-i", "BMP image file, or a directory of them"}},
     "A directory identifies every file in it.", "-x2 -c II -i finger.bmp", {FileRole::Image}, {}, trait::TAKES_DIRECTORY},
    {0x13, "IT", "identify_by_template", "identify_template", Family::Identify, &values::IDENTIFY, "Identify by template", {{"-p2", "template size (at most this many bytes are read)"}, {"-i", "template file, or a directory of them"}},
     "A directory identifies every file in it.", "-x2 -c IT -p2 384 -i finger.tpl", {FileRole::Templates, 0, FileRole::None, false, limit::TEMPLATE_DATA_BYTES}, {}, trait::TAKES_DIRECTORY},
    {0x14, "RT", "read_template", "read_templates", Family::Database, &values::READ_TEMPLATES, "Read all templates of a user", {{"-p1", "user ID"}, {"-o", "file the templates are appended to, one after the other"}},
     "", "-c RT -p1 5 -o user5.tpl", {FileRole::None, 0, FileRole::Templates}, {limit::TEMPLATE_BYTES}},
    {0x15, "SI", "scan_image", "scan_image", Family::Image, &values::IMAGE, "Scan an image", {{"-o", "BMP file for the image"}}, "", "-c SI -o scan.bmp", {FileRole::None, 0, FileRole::Image}, {record::IMAGE_RECORD_SIZE}},
    {0x16, "DT", "delete_template", "delete", Family::Database, nullptr, "Delete a user's templates", {{"-p1", "user ID"}}, "", "-c DT -p1 5"},
    {0x17, "DA", "delete_all_templates", "delete_all", Family::Database, nullptr, "Delete all templates", {}, "", "-c DA"},
    {0x18, "LT", "list_user_ids", "user_ids", Family::Database, &values::LIST_USERS, "List user IDs", {{"-p1", "first value"}, {"-p2", "second value"}},
     "The IDs are printed on a line of their own, whatever the trace level.", "-c LT", {}, {limit::USER_IDS, 4}},
    {0x19, "CT", "check_user_id", "template_count", Family::Database, &values::CHECK_USER, "Check a user ID: number of templates", {{"-p1", "user ID"}}, "", "-x2 -c CT -p1 5"},
    {0x1a, "CS", "calibrate_sensor", "calibrate", Family::System, nullptr, "Calibrate the sensor", {}, "", "-c CS"},
    {0x1c, "EW", "enroll_by_wiegand", "enroll_by_wiegand", Family::EnrollByWiegandCard, &values::ENROLL, "Enroll by Wiegand", {{"-f", "enroll option"}}, "The user ID arrives on the Wiegand input.", "-c EW -f 0x71", {}, {}, trait::SCANS_FINGER},
    {0x1d, "VW", "verify_by_wiegand", "verify_by_wiegand", Family::Verify, &values::VERIFY, "Verify by Wiegand", {}, "The user ID arrives on the Wiegand input.", "-c VW", {}, {}, trait::SCANS_FINGER},
    {0x1e, "DS", "delete_template_by_scan", "delete_by_scan", Family::Database, nullptr, "Delete the user whose finger is scanned", {}, "", "-c DS", {}, {}, trait::SCANS_FINGER},
    {0x1f, "DW", "delete_template_by_wiegand", "delete_by_wiegand", Family::Database, &values::DELETED_USER, "Delete the user whose ID arrives on the Wiegand input", {}, "", "-c DW"},
    {0x20, "RI", "read_image", "read_image", Family::Image, &values::IMAGE, "Read the last image", {{"-o", "BMP file for the image"}}, "", "-c RI -o last.bmp", {FileRole::None, 0, FileRole::Image}, {record::IMAGE_RECORD_SIZE}},
    {0x21, "ST", "scan_template", "scan_template", Family::Database, &values::TEMPLATE_SIZE, "Scan a template", {{"-o", "file for the template"}}, "", "-c ST -o scan.tpl", {FileRole::None, 0, FileRole::Data}, {limit::TEMPLATE_BYTES}, trait::SCANS_FINGER},
    {0x22, "VH", "verify_by_host_templates", "verify_host_templates", Family::Verify, nullptr, "Verify by host templates", {{"-p1", "number of templates (1 to 10)", limit::HOST_TEMPLATES_LEAST, limit::HOST_TEMPLATES_MOST}, {"-p2", "template size"}, {"-i", "file of the templates, back to back"}},
     "A file shorter than -p2 is refused before anything is sent.", "-c VH -p1 2 -p2 384 -i two.tpl", {FileRole::Templates, 0, FileRole::None, false, limit::TEMPLATE_DATA_BYTES}},
    {0x23, "FP", "fix_provisional_templates", "fix_provisional", Family::Database, nullptr, "Make all provisional templates permanent", {}, "", "-c FP"},
    {0x24, "DP", "delete_provisional_templates", "delete_provisional", Family::Database, nullptr, "Delete all provisional templates", {}, "", "-c DP"},
    {0x31, "ML", "get_user_memory_length", "user_memory_length", Family::EventLog, &values::MEMORY_LENGTH, "Read the length of the user memory", {}, "", "-x2 -c ML"},
    {0x32, "MW", "write_user_memory", "write_user_memory", Family::EventLog, nullptr, "Write user memory", {{"-p1", "offset"}, {"-p2", "length"}, {"-i", "data file"}},
     "A file shorter than -p2 is refused before anything is sent.", "-c MW -p1 0 -p2 64 -i memory.bin", {FileRole::Data}},
    {0x33, "MR", "read_user_memory", "read_user_memory", Family::EventLog, &values::MEMORY_READ, "Read user memory", {{"-p1", "offset"}, {"-p2", "length"}, {"-o", "data file"}}, "", "-c MR -p1 0 -p2 64 -o memory.bin", {FileRole::None, 0, FileRole::Data}, {limit::USER_MEMORY_BYTES}},
    {0x34, "KW", "write_encryption_key", "write_encryption_key", Family::Image, nullptr, "Write the encryption key", {{"-i", "key file (32 bytes)"}}, "", "-c KW -i key.bin", {FileRole::Key, record::ENCRYPTION_KEY_SIZE}},
    {0x35, "KS", "scan_template_with_challenge", "scan_encrypted_template", Family::Image, &values::TEMPLATE_SIZE, "Scan an encrypted template with challenge data", {{"-p1", "challenge"}, {"-o", "file for the encrypted template"}},
     "", "-c KS -p1 0x12345678 -o enc.tpl", {FileRole::None, 0, FileRole::Data}, {limit::ENCRYPTED_TEMPLATE_BYTES}, trait::SCANS_FINGER},
    {0x36, "GR", "read_gpio_config", "gpio_config", Family::Ports, &values::GPIO, "Read a GPIO configuration", {{"-p1", "GPIO id"}}, "", "-x2 -c GR -p1 0", {}, {limit::GPIO_RECORDS, record::GPIO_RECORD_SIZE}},
    {0x37, "GW", "write_gpio_config", "set_gpio_config", Family::Ports, nullptr, "Write a GPIO configuration",
     {{"-p1", "bits 0-15 GPIO id, bits 16-31 mode", 0, 0, fields::GPIO_MODE}, {"-p2", "number of records"}, {"-i", "file of 8-byte GPIO records"}},
     "", "-c GW -p1 0x20000 -p2 1 -i gpio.bin", {FileRole::Data, 0, FileRole::None, false, limit::GPIO_RECORDS * record::GPIO_RECORD_SIZE}},
    {0x38, "GC", "disable_gpio", "disable_gpio", Family::Ports, nullptr, "Disable a GPIO", {}, "", "-c GC"},
    {0x39, "GD", "reset_gpio", "reset_gpio", Family::Ports, nullptr, "Reset the GPIOs to their default configuration", {}, "", "-c GD"},
    {0x3a, "TW", "set_time", "clock", Family::Clock, nullptr, "Set the clock", {{"-p1", "date: bits 16-31 day, 8-15 month, 0-7 year - 2000", 0, 0, fields::DATE}, {"-p2", "time: bits 16-31 second, 8-15 minute, 0-7 hour", 0, 0, fields::TIME}},
     "Both 0 initialize the clock.", "-c TW -p1 0x70c1a -p2 0x1e0c"},
    {0x3b, "TR", "get_time", "clock", Family::Clock, &values::CLOCK, "Read the clock", {}, "", "-x2 -c TR"},
    {0x3c, "LN", "get_log_count", "log_count", Family::EventLog, &values::LOG_COUNT, "Count the log records", {}, "", "-x2 -c LN"},
    {0x3d, "LR", "read_log", "read_log", Family::EventLog, &values::LOG_RECORDS, "Upload log records", {{"-p1", "first record"}, {"-p2", "number of records", 0, limit::LOG_RECORDS}, {"-o", "file for the 16-byte records"}},
     "", "-x2 -c LR -p1 0 -p2 10 -o log.bin", {FileRole::None, 0, FileRole::Data}, {limit::LOG_RECORDS, record::LOG_RECORD_SIZE}},
    {0x3e, "LD", "delete_log", "delete_log", Family::EventLog, &values::LOG_DELETED, "Delete log records", {{"-p1", "argument"}}, "", "-c LD -p1 0"},
    {0x3f, "LC", nullptr, nullptr, Family::Raw, &values::RAW, "Log command", {{"-p1", "Param1"}, {"-p2", "Param2 (data length with -i)"}, {"-f", "flag"}, {"-i", "data file"}}, describe_detail::RAW, "-x4 -c LC", {FileRole::Data, 0, FileRole::None, true, limit::RAW_BYTES}},
    {0x41, "WW", "write_wiegand_config", "set_wiegand_config", Family::Wiegand, nullptr, "Write the Wiegand configuration",
     {{"-p1", "bits 16-31 FC bits, 8-15 format, 0-7 function", 0, 0, fields::WIEGAND_CONFIG}, {"-p2", "FC code"}, {"-f", "port"}}, "", "-c WW -p1 0x80100 -p2 0 -f 0"},
    {0x42, "WR", "read_wiegand_config", "wiegand_config", Family::Wiegand, &values::WIEGAND_CONFIG, "Read the Wiegand configuration", {{"-f", "port"}}, "", "-x2 -c WR -f 0"},
    {0x43, "WG", "get_wiegand_input", "wiegand_input", Family::Wiegand, &values::WIEGAND_INPUT, "Get the Wiegand input", {{"-p1", "status handling (0 clear, 1 remain)"}}, "", "-x2 -c WG -p1 0"},
    {0x44, "WS", "set_wiegand_output", "set_wiegand_output", Family::Wiegand, nullptr, "Set the Wiegand output", {{"-p1", "ID"}}, "", "-c WS -p1 5"},
    {0x47, "IW", "write_in_port_config", "set_input_port_config", Family::Ports, nullptr, "Write an input port's configuration", {{"-p1", "function"}, {"-p2", "value"}, {"-f", "port (0 IN0, 1 IN1, 2 IN2)"}},
     "", "-c IW -p1 0x30 -f 0"},
    {0x48, "IR", "read_in_port_config", "input_port_config", Family::Ports, &values::IN_PORT, "Read an input port's configuration", {{"-f", "port"}}, "", "-x2 -c IR -f 0"},
    {0x49, "IG", "read_in_port_status", "input_status", Family::Ports, &values::IN_STATUS, "Read an input port's status", {{"-p1", "handling (0 clear, 1 remain)"}, {"-f", "port"}}, "", "-x2 -c IG -f 0"},
    {0x4a, "OW", "write_out_port_config", "set_output_port_config", Family::Ports, nullptr, "Write an output port's configuration",
     {{"-p1", "bits 16-31 T_DELAY, 8-15 T_COUNT, 0-7 event", 0, 0, fields::OUT_PATTERN}, {"-p2", "bits 16-31 T_HIGH, 0-15 T_LOW", 0, 0, fields::HIGH_LOW}, {"-f", "port (0-2 OUT, 3-5 LED, 6 auto response)"}},
     "", "-c OW -p1 0x87 -p2 0x640064 -f 3"},
    {0x4b, "OR", "read_out_port_config", "output_port_config", Family::Ports, &values::OUT_PORT, "Read an output port's configuration for an event", {{"-p1", "event"}, {"-f", "port"}}, "", "-x2 -c OR -p1 0x87 -f 3"},
    {0x4c, "OL", "read_enabled_events", "enabled_events", Family::Ports, &values::ENABLED_EVENTS, "List the events enabled on an output port", {{"-f", "port"}}, "", "-x2 -c OL -f 3", {}, {limit::ENABLED_EVENTS}},
    {0x4d, "OS", "set_output_port", "set_output", Family::Ports, nullptr, "Set an output port", {{"-p1", "action (0 clear, 1 set)"}, {"-f", "port"}}, "", "-c OS -p1 1 -f 3"},
    {0x60, "CA", "cancel_command", "cancel", Family::Firmware, nullptr, "Cancel the running command", {}, "", "-c CA"},
    {0x62, "UG", "upgrade_firmware", "upgrade_firmware", Family::Firmware, nullptr, "Upgrade the firmware", {{"-p2", "bytes to send (0: the whole file)"}, {"-i", "firmware file"}, {"-s", "chunk size (saved setting)"}},
     "The whole amount is read before anything is sent.", "-c UG -i firmware.bin", {FileRole::Firmware}},
    {0x65, "AW", "write_admin_level", "set_admin_level", Family::Admin, nullptr, "Write a user's administrator level", {{"-p1", "user ID"}, {"-p2", "level (0 none, 1 enroll, 2 delete, 3 all)"}},
     "", "-c AW -p1 1 -p2 3"},
    {0x66, "AR", "read_admin_level", "admin_level", Family::Admin, &values::ADMIN_LEVEL, "Read a user's administrator level", {{"-p1", "user ID"}}, "", "-x2 -c AR -p1 1"},
    {0x67, "AC", "clear_admin_levels", "clear_admin_levels", Family::Admin, nullptr, "Clear all administrator levels", {}, "", "-c AC"},
    {0x68, "WM", "set_wiegand_mapping, set_card_mapping", "set_wiegand_mapping", Family::Wiegand, nullptr, "Set a Wiegand or smart-card mapping", {{"-p1", "function"}, {"-p2", "value"}, {"-f", "1: smart card, other: Wiegand"}},
     "", "-c WM -p1 0x30 -p2 1 -f 0"},
    {0x69, "WL", "list_wiegand_mappings, list_card_mappings", "wiegand_mappings", Family::Wiegand, &values::MAPPINGS, "List the Wiegand or smart-card mappings", {{"-f", "1: smart card, other: Wiegand"}}, "", "-x2 -c WL -f 0", {}, {limit::MAPPING_BYTES}},
    {0x6a, "WC", "clear_wiegand_mappings, clear_card_mappings", "clear_wiegand_mappings", Family::Wiegand, nullptr, "Clear the Wiegand or smart-card mappings", {{"-f", "1: smart card, other: Wiegand"}}, "", "-c WC -f 0"},
    {0x70, "ESA", "enroll_by_scan_with_admin", "enroll", Family::Enroll, &values::ENROLL, "Enroll by scan with an administrator's verification", {{"-p1", "user ID"}, {"-f", "enroll option"}},
     "", "-c ESA -p1 5 -f 0x71", {}, {}, trait::SCANS_FINGER},
    {0x71, "EWA", "enroll_by_wiegand_with_admin", "enroll_by_wiegand", Family::EnrollByWiegandCard, &values::ENROLL, "Enroll by Wiegand with an administrator's verification", {{"-f", "enroll option"}}, "", "-c EWA -f 0x71", {}, {}, trait::SCANS_FINGER},
    {0x72, "DSA", "delete_template_by_scan_with_admin", "delete_by_scan", Family::Database, nullptr, "Delete by scan with an administrator's verification", {}, "", "-c DSA", {}, {}, trait::SCANS_FINGER},
    {0x73, "DWA", "delete_template_by_wiegand_with_admin", "delete_by_wiegand", Family::Database, &values::DELETED_USER, "Delete by Wiegand with an administrator's verification", {}, "", "-c DWA"},
    {0x74, "DAA", "delete_all_templates_with_admin", "delete_all", Family::Database, nullptr, "Delete all templates with an administrator's verification", {}, "", "-c DAA"},
    {0x80, "EIX", "enroll_by_image_chunked", "enroll_image", Family::Enroll, &values::ENROLL, "Enroll by image in chunks", {{"-p1", "user ID"}, {"-f", "enroll option"}, {"-i", "BMP image file, or a directory of them"}, {"-s", "chunk size (saved setting)"}},
     "A directory enrolls every file in it.", "-c EIX -p1 5 -f 0x71 -i finger.bmp", {FileRole::Image}, {}, trait::TAKES_DIRECTORY},
    {0x81, "IIX", "identify_by_image_chunked", "identify_image", Family::Identify, &values::IDENTIFY, "Identify by image in chunks", {{"-i", "BMP image file, or a directory of them"}, {"-s", "chunk size (saved setting)"}},
     "A directory identifies every file in it.", "-x2 -c IIX -i finger.bmp", {FileRole::Image}, {}, trait::TAKES_DIRECTORY},
    {0x82, "VIX", "verify_by_image_chunked", "verify_image", Family::Verify, &values::VERIFY, "Verify by image in chunks", {{"-p1", "user ID"}, {"-i", "BMP image file"}, {"-s", "chunk size (saved setting)"}},
     "", "-c VIX -p1 5 -i finger.bmp", {FileRole::Image}},
    {0x83, "SIX", "scan_image_chunked", "scan_image", Family::Image, &values::IMAGE, "Scan an image, received in chunks", {{"-p2", "chunk length"}, {"-o", "BMP file for the image"}}, "", "-c SIX -p2 4096 -o scan.bmp", {FileRole::None, 0, FileRole::Image}, {record::IMAGE_RECORD_SIZE}},
    {0x84, "RIX", "read_image_chunked", "read_image", Family::Image, &values::IMAGE, "Read the last image in chunks", {{"-p2", "chunk length"}, {"-o", "BMP file for the image"}}, "", "-c RIX -p2 4096 -o last.bmp", {FileRole::None, 0, FileRole::Image}, {record::IMAGE_RECORD_SIZE}},
    {0x86, "LTX", "read_template_info", "template_info", Family::Database, &values::TEMPLATE_INFO, "Template information records", {{"-p2", "index"}}, "The records show in the trace (level 2 and up).", "-x2 -c LTX -p2 0", {}, {limit::USER_IDS, record::TEMPLATE_INFO_SIZE}},
    {0x87, "ETX", "enroll_by_templates_chunked", "enroll_templates", Family::Enroll, &values::ENROLL, "Enroll several templates in chunks",
     {{"-p1", "user ID"}, {"-p2", "bits 16-31 number of templates, 0-15 bytes to send", 0, 0, fields::COUNT_SIZE}, {"-f", "enroll option"}, {"-i", "template file"}},
     "", "-c ETX -p1 5 -p2 0x20300 -f 0x71 -i two.tpl", {FileRole::Templates}},
    {0xa0, "CR", "read_card_templates", "read_card", Family::SmartCard, &values::CARD_READ, "Read the templates from a smart card", {{"-f", "option (bit 0: print the card header)"}, {"-o", "card data file"}},
     "", "-c CR -f 1 -o card.bin", {FileRole::None, 0, FileRole::Data}, {limit::CARD_BYTES}},
    {0xa1, "CW", "write_card_templates", "enroll_templates_to_card", Family::SmartCard, nullptr, "Write templates to a smart card",
     {{"-p1", "template index (0 or 1)", 0, 1}, {"-p2", "length"}, {"-f", "option"}, {"-i", "template file"}},
     "A file shorter than -p2 is refused before anything is sent.", "-c CW -p1 0 -p2 384 -i user5.tpl", {FileRole::Templates, 0, FileRole::None, false, limit::CARD_BYTES}},
    {0xa2, "CC", "set_card_input_function", "set_card_input_function", Family::SmartCard, nullptr, "Set the smart-card input function", {{"-f", "function (0 disable, 1 verify ID, 2 verify template)"}}, "", "-c CC -f 1"},
    {0xa3, "UW", "write_auth_policy", "set_auth_policy", Family::Admin, nullptr, "Write a user's authentication policy", {{"-p1", "user ID"}, {"-p2", "policy (0 fingerprint, 1 Wiegand bypass, 2 card bypass, 3 reject)"}, {"-f", "flag"}},
     "", "-c UW -p1 5 -p2 1"},
    {0xa4, "UR", "read_auth_policy", "auth_policy", Family::Admin, &values::AUTH_POLICY, "Read a user's authentication policy", {{"-p1", "user ID"}}, "", "-x2 -c UR -p1 5"},
    {0xa5, "UC", "reset_auth_policies", "reset_auth_policies", Family::Admin, nullptr, "Reset all authentication policies", {}, "", "-c UC"},
    {0xa6, "UL", "list_users_by_policy", "users_with_policy", Family::Admin, &values::POLICY_USERS, "List the user IDs of a policy", {{"-p2", "policy"}, {"-o", "file for the 32-bit user IDs"}}, "", "-c UL -p2 1 -o ids.bin", {FileRole::None, 0, FileRole::Data}, {limit::USER_IDS, 4}},
    {0xa7, "VC", "verify_by_smartcard", "verify_by_card", Family::Verify, &values::VERIFY, "Verify by smart card", {{"-f", "option"}}, "", "-c VC", {}, {}, trait::SCANS_FINGER},
    {0xa8, "CG", "get_card_input_function", "card_input_function", Family::SmartCard, &values::CARD_FUNCTION, "Get the smart-card input function", {}, "", "-x2 -c CG"},
    {0xa9, "EC", "enroll_smartcard", "enroll_card", Family::EnrollByWiegandCard, nullptr, "Enroll a smart card",
     {{"-p1", "user ID"}, {"-p2", "value"}, {"-f", "option"}, {"-i", "file of the 8-byte Wiegand string (optional)"}}, "", "-c EC -p1 5 -f 0x71", {FileRole::Data, record::WIEGAND_STRING_SIZE, FileRole::None, true}, {}, trait::SCANS_FINGER},
    {0xaa, "CKW", "write_card_key", "write_card_keys", Family::SmartCard, nullptr, "Write the smart-card key", {{"-p1", "key type (low byte)"}, {"-f", "option"}, {"-i", "key file (12 bytes: key 1, key 2)"}},
     "", "-c CKW -p1 1 -i cardkey.bin", {FileRole::Key, 2 * record::CARD_KEY_SIZE}},
    {0xab, "CKR", "read_card_key_option", "card_key_option", Family::SmartCard, &values::CARD_KEY_OPTION, "Read the smart-card key option", {}, "", "-x2 -c CKR"},
    {0xac, "CLR", "read_card_layout", "card_layout", Family::SmartCard, &values::CARD_LAYOUT, "Read the smart-card layout", {}, "", "-x2 -c CLR"},
    {0xad, "CLW", "write_card_layout", "set_card_layout", Family::SmartCard, nullptr, "Write the smart-card layout", {{"-i", "layout file (7 bytes)"}}, "", "-c CLW -i layout.bin", {FileRole::Data, record::CARD_LAYOUT_SIZE}},
    {0xae, "CF", "format_card", "format_card", Family::SmartCard, nullptr, "Format a smart card", {{"-f", "mode (1: delete the templates only)"}}, "", "-c CF -f 1"},
    {0xaf, "ECX", "enroll_templates_to_smartcard", "enroll_templates_to_card", Family::EnrollByWiegandCard, nullptr, "Enroll templates to a smart card",
     {{"-p1", "user ID"}, {"-p2", "bits 16-31 number of templates, 0-15 template size", 0, 0, fields::COUNT_SIZE}, {"-f", "option (bit 0x04: a Wiegand string follows)"}, {"-i", "file of the templates (and Wiegand string)"}},
     "", "-c ECX -p1 5 -p2 0x10180 -i user5.tpl", {FileRole::Templates, 0, FileRole::None, true, limit::CARD_ENROLL_BYTES}},
    {0xb0, "UM", "unlock_module", "unlock", Family::Firmware, nullptr, "Unlock the module", {{"-i", "password file (16 bytes)"}}, "", "-c UM -i password.bin", {FileRole::Password, record::PASSWORD_SIZE}},
    {0xb1, "LM", "lock_module", "lock", Family::Firmware, nullptr, "Lock the module", {}, "", "-c LM"},
    {0xb2, "MP", "write_master_password", "change_password", Family::Firmware, nullptr, "Change the master password", {{"-i", "password file (16 bytes current, 16 bytes new)"}}, "", "-c MP -i passwords.bin", {FileRole::Password, 2 * record::PASSWORD_SIZE}},
    {0xb3, "EV", nullptr, nullptr, Family::Raw, &values::RAW, "Event command", {{"-p1", "Param1"}, {"-p2", "Param2 (data length with -i)"}, {"-f", "flag"}, {"-i", "data file"}}, describe_detail::RAW, "-x4 -c EV", {FileRole::Data, 0, FileRole::None, true, limit::RAW_BYTES}},
    {0xc0, "WWX", "write_wiegand_format", "set_wiegand_format", Family::Wiegand, nullptr, "Write the extended Wiegand configuration",
     {{"-p1", "bits 16-31 pulse width, 0-15 interval (microseconds)", 0, 0, fields::PULSE}, {"-p2", "format data length"}, {"-f", "format (1 26-bit, 2 pass-through, 3 custom)"}, {"-i", "format data file"}},
     "A custom format needs its data file.", "-c WWX -p1 0x6403e8 -f 1", {FileRole::Data, 0, FileRole::None, true, limit::FORMAT_BYTES}},
    {0xc1, "WRX", "read_wiegand_format", "wiegand_format", Family::Wiegand, &values::WIEGAND_FORMAT, "Read the extended Wiegand configuration", {{"-o", "file for the format data"}}, "", "-x2 -c WRX -o format.bin", {FileRole::None, 0, FileRole::Data}, {limit::FORMAT_BYTES}},
    {0xc2, "WGX", "read_wiegand_input", "wiegand_string", Family::Wiegand, &values::WIEGAND_STRING, "Read the Wiegand input", {{"-p1", "status handling"}, {"-f", "0 new input, other: latched input"}}, "", "-x2 -c WGX"},
    {0xc3, "WSX", "set_wiegand_output_string", "set_wiegand_string", Family::Wiegand, nullptr, "Set the Wiegand output string", {{"-p1", "word 1"}, {"-p2", "word 2"}}, "", "-c WSX -p1 0x12345678 -p2 0x9abcdef0"},
    {0xc4, "WFW", "set_field_default", "set_field_default", Family::Wiegand, nullptr, "Set the default value of a Wiegand field", {{"-p1", "value"}, {"-p2", "field index"}, {"-f", "clear"}}, "", "-c WFW -p1 5 -p2 0"},
    {0xc5, "WFR", "get_field_default", "field_default", Family::Wiegand, &values::FIELD_DEFAULT, "Get the default value of a Wiegand field", {{"-p2", "field index"}}, "", "-x2 -c WFR -p2 0"},
    {0xc6, "WPW", "set_wiegand_io", "set_wiegand_io", Family::Wiegand, nullptr, "Write the Wiegand port mapping", {{"-p1", "bits 16-31 input, 0-15 output", 0, 0, fields::PORT_MAP}, {"-p2", "option"}}, "", "-c WPW -p1 0x10000"},
    {0xc7, "WPR", "get_wiegand_io", "wiegand_io", Family::Wiegand, &values::WIEGAND_IO, "Read the Wiegand port mapping", {}, "", "-x2 -c WPR"},
};
// clang-format on

// The command a keyword names, nullptr for none.
constexpr const Command* command_named(std::string_view keyword) {
    for (const Command& c : COMMANDS)
        if (keyword == c.keyword) return &c;
    return nullptr;
}

// The command of a code, nullptr for none.
constexpr const Command* command_of(uint8_t code) {
    for (const Command& c : COMMANDS)
        if (c.code == code) return &c;
    return nullptr;
}

// Whether the command of a code has a trait (a code of no command has none).
constexpr bool command_has(uint8_t code, uint8_t t) {
    const Command* c = command_of(code);
    return c && c->has(t);
}

// Command codes, by the keyword that names each command.
namespace cmd {
consteval uint8_t code_of(std::string_view keyword) {
    for (const Command& c : COMMANDS)
        if (keyword == c.keyword) return c.code;
    // A keyword missing from COMMANDS stops the compilation here.
    throw "no such command keyword";
}
inline constexpr uint8_t SW = code_of("SW");
inline constexpr uint8_t SF = code_of("SF");
inline constexpr uint8_t SR = code_of("SR");
inline constexpr uint8_t SS = code_of("SS");
inline constexpr uint8_t ES = code_of("ES");
inline constexpr uint8_t EI = code_of("EI");
inline constexpr uint8_t ET = code_of("ET");
inline constexpr uint8_t VS = code_of("VS");
inline constexpr uint8_t VI = code_of("VI");
inline constexpr uint8_t VT = code_of("VT");
inline constexpr uint8_t IS = code_of("IS");
inline constexpr uint8_t II = code_of("II");
inline constexpr uint8_t IT = code_of("IT");
inline constexpr uint8_t RT = code_of("RT");
inline constexpr uint8_t SI = code_of("SI");
inline constexpr uint8_t DT = code_of("DT");
inline constexpr uint8_t DA = code_of("DA");
inline constexpr uint8_t LT = code_of("LT");
inline constexpr uint8_t CT = code_of("CT");
inline constexpr uint8_t CS = code_of("CS");
inline constexpr uint8_t EW = code_of("EW");
inline constexpr uint8_t VW = code_of("VW");
inline constexpr uint8_t DS = code_of("DS");
inline constexpr uint8_t DW = code_of("DW");
inline constexpr uint8_t RI = code_of("RI");
inline constexpr uint8_t ST = code_of("ST");
inline constexpr uint8_t VH = code_of("VH");
inline constexpr uint8_t FP = code_of("FP");
inline constexpr uint8_t DP = code_of("DP");
inline constexpr uint8_t ML = code_of("ML");
inline constexpr uint8_t MW = code_of("MW");
inline constexpr uint8_t MR = code_of("MR");
inline constexpr uint8_t KW = code_of("KW");
inline constexpr uint8_t KS = code_of("KS");
inline constexpr uint8_t GR = code_of("GR");
inline constexpr uint8_t GW = code_of("GW");
inline constexpr uint8_t GC = code_of("GC");
inline constexpr uint8_t GD = code_of("GD");
inline constexpr uint8_t TW = code_of("TW");
inline constexpr uint8_t TR = code_of("TR");
inline constexpr uint8_t LN = code_of("LN");
inline constexpr uint8_t LR = code_of("LR");
inline constexpr uint8_t LD = code_of("LD");
inline constexpr uint8_t LC = code_of("LC");
inline constexpr uint8_t WW = code_of("WW");
inline constexpr uint8_t WR = code_of("WR");
inline constexpr uint8_t WG = code_of("WG");
inline constexpr uint8_t WS = code_of("WS");
inline constexpr uint8_t IW = code_of("IW");
inline constexpr uint8_t IR = code_of("IR");
inline constexpr uint8_t IG = code_of("IG");
inline constexpr uint8_t OW = code_of("OW");
inline constexpr uint8_t OR = code_of("OR");
inline constexpr uint8_t OL = code_of("OL");
inline constexpr uint8_t OS = code_of("OS");
inline constexpr uint8_t CA = code_of("CA");
inline constexpr uint8_t UG = code_of("UG");
inline constexpr uint8_t AW = code_of("AW");
inline constexpr uint8_t AR = code_of("AR");
inline constexpr uint8_t AC = code_of("AC");
inline constexpr uint8_t WM = code_of("WM");
inline constexpr uint8_t WL = code_of("WL");
inline constexpr uint8_t WC = code_of("WC");
inline constexpr uint8_t ESA = code_of("ESA");
inline constexpr uint8_t EWA = code_of("EWA");
inline constexpr uint8_t DSA = code_of("DSA");
inline constexpr uint8_t DWA = code_of("DWA");
inline constexpr uint8_t DAA = code_of("DAA");
inline constexpr uint8_t EIX = code_of("EIX");
inline constexpr uint8_t IIX = code_of("IIX");
inline constexpr uint8_t VIX = code_of("VIX");
inline constexpr uint8_t SIX = code_of("SIX");
inline constexpr uint8_t RIX = code_of("RIX");
inline constexpr uint8_t LTX = code_of("LTX");
inline constexpr uint8_t ETX = code_of("ETX");
inline constexpr uint8_t CR = code_of("CR");
inline constexpr uint8_t CW = code_of("CW");
inline constexpr uint8_t CC = code_of("CC");
inline constexpr uint8_t UW = code_of("UW");
inline constexpr uint8_t UR = code_of("UR");
inline constexpr uint8_t UC = code_of("UC");
inline constexpr uint8_t UL = code_of("UL");
inline constexpr uint8_t VC = code_of("VC");
inline constexpr uint8_t CG = code_of("CG");
inline constexpr uint8_t EC = code_of("EC");
inline constexpr uint8_t CKW = code_of("CKW");
inline constexpr uint8_t CKR = code_of("CKR");
inline constexpr uint8_t CLR = code_of("CLR");
inline constexpr uint8_t CLW = code_of("CLW");
inline constexpr uint8_t CF = code_of("CF");
inline constexpr uint8_t ECX = code_of("ECX");
inline constexpr uint8_t UM = code_of("UM");
inline constexpr uint8_t LM = code_of("LM");
inline constexpr uint8_t MP = code_of("MP");
inline constexpr uint8_t EV = code_of("EV");
inline constexpr uint8_t WWX = code_of("WWX");
inline constexpr uint8_t WRX = code_of("WRX");
inline constexpr uint8_t WGX = code_of("WGX");
inline constexpr uint8_t WSX = code_of("WSX");
inline constexpr uint8_t WFW = code_of("WFW");
inline constexpr uint8_t WFR = code_of("WFR");
inline constexpr uint8_t WPW = code_of("WPW");
inline constexpr uint8_t WPR = code_of("WPR");
} // namespace cmd

// The row of a command, by its keyword, at compile time.
consteval const Command& describe(std::string_view keyword) {
    for (const Command& c : COMMANDS)
        if (keyword == c.keyword) return c;
    throw "no such command keyword";
}

} // namespace kelvor::packet
