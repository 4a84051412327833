// The wire vocabulary of the module's serial protocol, spoken by both ends of
// the line: the 13-byte command packet, the 15-byte network packet, their
// checksums, the hex-text encoding, the command codes (Commands.h), the flag byte values,
// the system parameter numbers, the baud rates and the layouts of the records
// in data blocks. Pure data and functions without I/O, shared by the library
// and the simulated module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kelvor::packet {

// Flag byte values: one code space for the options the host sends and the
// results the module answers.
namespace flag {
inline constexpr uint8_t SUCCEED = 0x61;
inline constexpr uint8_t SCAN_SUCCESS = 0x62;
inline constexpr uint8_t SCAN_FAILED = 0x63;
inline constexpr uint8_t NOT_FOUND = 0x69;
inline constexpr uint8_t NOT_MATCH = 0x6a;
inline constexpr uint8_t TRY_AGAIN = 0x6b;
inline constexpr uint8_t TIMEOUT = 0x6c;
inline constexpr uint8_t MEMORY_FULL = 0x6d;
inline constexpr uint8_t ID_ALREADY_USED = 0x6e;
inline constexpr uint8_t CHECK_ID = 0x70;
inline constexpr uint8_t ADD_NEW_TEMPLATE = 0x71;
inline constexpr uint8_t FINGER_LIMIT = 0x72;
inline constexpr uint8_t ENROLL_CONTINUE = 0x74;
inline constexpr uint8_t NOT_SUPPORTED = 0x75;
inline constexpr uint8_t INVALID_ID = 0x76;
inline constexpr uint8_t AUTO_ID = 0x79;
inline constexpr uint8_t TIMEOUT_MATCHING = 0x7a;
inline constexpr uint8_t SYSTEM_BUSY = 0x80;
inline constexpr uint8_t CANCELLED = 0x81;
inline constexpr uint8_t DATA_CHECKSUM_ERROR = 0x82;
inline constexpr uint8_t DATA_ACCEPTED = 0x83;
inline constexpr uint8_t CHECK_FINGER = 0x84;
inline constexpr uint8_t CHECK_FINGER_AUTO_ID = 0x85;
inline constexpr uint8_t FINGER_ALREADY_ENROLLED = 0x86;
inline constexpr uint8_t ID_REJECTED = 0x90;
inline constexpr uint8_t DURESS_FINGER = 0x91;
inline constexpr uint8_t ADD_DURESS_FINGER = 0x92;
inline constexpr uint8_t CARD_ERROR = 0xa0;
} // namespace flag

// The system parameters (SR, SW): each one's number and name, written once.
struct Parameter {
    uint8_t number;
    const char* name;
};
inline constexpr Parameter PARAMETERS[] = {
    {0x62, "Timeout Period"},
    {0x64, "Template Size"},
    {0x65, "Enroll Mode"},
    {0x66, "Security Level"},
    {0x67, "Encryption Mode"},
    {0x68, "Sensor Type"},
    {0x6c, "Image Format"},
    {0x6d, "Module ID"},
    {0x6e, "Firmware Version"},
    {0x6f, "Serial No"},
    {0x71, "Baudrate"},
    {0x72, "Aux Baudrate"},
    {0x73, "Enrolled Fingerprints"},
    {0x74, "Available Fingerprints"},
    {0x75, "Sending SCAN_SUCCESS"},
    {0x76, "ASCII Packet"},
    {0x77, "Roate Image"},
    {0x78, "Rotation"},
    {0x80, "Sensor Sensitivity"},
    {0x81, "Qualifying Image Quality"},
    {0x82, "Automatic GPIO Response"},
    {0x83, "Network Mode"},
    {0x84, "Free Scan"},
    {0x85, "Provisional Enroll"},
    {0x86, "Pass When Empty"},
    {0x87, "Response Delay"},
    {0x88, "Matching Timeout"},
    {0x89, "Build No"},
    {0x8a, "Enroll Displacement"},
    {0x90, "Lighting Condition"},
    {0x91, "Free Scan Delay"},
    {0x92, "Card Enroll Mode"},
    {0x93, "Fast Mode"},
};

// The parameter of a number, nullptr for none.
constexpr const Parameter* parameter_of(uint32_t number) {
    for (const Parameter& p : PARAMETERS)
        if (p.number == number) return &p;
    return nullptr;
}

// The numbers of the parameters that the host or the module acts on.
namespace param {
consteval uint8_t number_of(std::string_view name) {
    for (const Parameter& p : PARAMETERS)
        if (name == p.name) return p.number;
    // A name missing from PARAMETERS stops the compilation here.
    throw "no such system parameter";
}
inline constexpr uint8_t TIMEOUT_PERIOD = number_of("Timeout Period");
inline constexpr uint8_t TEMPLATE_SIZE = number_of("Template Size");
inline constexpr uint8_t ENROLL_MODE = number_of("Enroll Mode");
inline constexpr uint8_t SECURITY_LEVEL = number_of("Security Level");
inline constexpr uint8_t MODULE_ID = number_of("Module ID");
inline constexpr uint8_t FIRMWARE_VERSION = number_of("Firmware Version");
inline constexpr uint8_t BAUDRATE = number_of("Baudrate");
inline constexpr uint8_t AUX_BAUDRATE = number_of("Aux Baudrate");
inline constexpr uint8_t ENROLLED_FINGERPRINTS = number_of("Enrolled Fingerprints");
inline constexpr uint8_t AVAILABLE_FINGERPRINTS = number_of("Available Fingerprints");
inline constexpr uint8_t SCAN_SUCCESS = number_of("Sending SCAN_SUCCESS");
inline constexpr uint8_t ASCII_PACKET = number_of("ASCII Packet");
inline constexpr uint8_t NETWORK_MODE = number_of("Network Mode");
inline constexpr uint8_t FREE_SCAN = number_of("Free Scan");
inline constexpr uint8_t PROVISIONAL_ENROLL = number_of("Provisional Enroll");
inline constexpr uint8_t PASS_WHEN_EMPTY = number_of("Pass When Empty");
inline constexpr uint8_t RESPONSE_DELAY = number_of("Response Delay");
inline constexpr uint8_t ENCRYPTION_MODE = number_of("Encryption Mode");
inline constexpr uint8_t ROTATE_IMAGE = number_of("Roate Image");
inline constexpr uint8_t AUTOMATIC_GPIO_RESPONSE = number_of("Automatic GPIO Response");
inline constexpr uint8_t FAST_MODE = number_of("Fast Mode");
} // namespace param

// Parameter values. The switches and the digit settings take ASCII digits,
// '0' (off) to '9'.
namespace setting {
inline constexpr uint32_t OFF = 0x30;
inline constexpr uint32_t ON = 0x31;
// Enroll Mode: one scan makes an enrollment; two scans, the second one started
// by the host (in both of its modes); any other mode, two scans by the module.
inline constexpr uint32_t ENROLL_ONE_SCAN = 0x30;
inline constexpr uint32_t ENROLL_HOST_CONTINUES = 0x32;
inline constexpr uint32_t ENROLL_HOST_CONTINUES_ALT = 0x42;
} // namespace setting

// The module's status, as SS answers it.
namespace status {
inline constexpr uint32_t NORMAL = 0x30;
inline constexpr uint32_t WAITING_FOR_DATA = 0x31;
inline constexpr uint32_t SYSTEM_FAILURE = 0x32;
inline constexpr uint32_t SENSOR_FAILURE = 0x33;
inline constexpr uint32_t BUSY = 0x34;
} // namespace status

// Layouts of the records that travel in data blocks and files.
namespace record {
// Image record: seven 32-bit little-endian header words (width, height, two
// words not read, format, image size, one word not read), then the pixels.
inline constexpr size_t IMAGE_HEADER_SIZE = 28;
inline constexpr size_t IMAGE_WIDTH_AT = 0;
inline constexpr size_t IMAGE_HEIGHT_AT = 4;
inline constexpr size_t IMAGE_FORMAT_AT = 16;
inline constexpr size_t IMAGE_SIZE_AT = 20;
inline constexpr size_t IMAGE_PIXELS_MAX = 0x32000; // 204800 gray pixels
inline constexpr size_t IMAGE_RECORD_SIZE = IMAGE_HEADER_SIZE + IMAGE_PIXELS_MAX;
inline constexpr size_t ENCRYPTION_KEY_SIZE = 32;
inline constexpr size_t TEMPLATE_INFO_SIZE = 8; // LTX: user ID, then the module's own values
inline constexpr size_t CARD_LAYOUT_SIZE = 7;
inline constexpr size_t CARD_KEY_SIZE = 6;
inline constexpr size_t LOG_RECORD_SIZE = 16;
inline constexpr size_t GPIO_RECORD_SIZE = 8;
inline constexpr size_t PASSWORD_SIZE = 16;                       // UM, MP: the master password
inline constexpr size_t PASSWORD_RECORD_SIZE = PASSWORD_SIZE + 2; // then its 16-bit byte sum
inline constexpr size_t CARD_HEADER_SIZE = 20;
inline constexpr size_t WIEGAND_STRING_SIZE = 8;
} // namespace record

// A value of the module's and its name.
struct Named {
    int code;
    const char* name;
};

// The events the module logs and its output ports follow (the log record's
// first byte), and where a logged event came from (its second).
inline constexpr Named EVENTS[] = {
    {0x00, "Clear all events"},
    {0x13, "Enroll Wait Wiegand"},
    {0x14, "Enroll Wait Finter"},
    {0x15, "Enroll Wait Processing"},
    {0x16, "Enroll Bad Finger"},
    {0x17, "Enroll Success"},
    {0x18, "Enroll Fail"},
    {0x23, "Verify Wait Wiegand"},
    {0x24, "Verify Wait Finger"},
    {0x25, "Verify Wait Processing"},
    {0x26, "Verify Bad Finger"},
    {0x27, "Verify Success"},
    {0x28, "Verify Fail"},
    {0x34, "Identify Wait Finter"},
    {0x35, "Identify Wait Processing"},
    {0x36, "Identify Bad Finger"},
    {0x37, "Identify Success"},
    {0x38, "Identify Fail"},
    {0x43, "Delete Wait Wiegand"},
    {0x44, "Delete Wait Finter"},
    {0x45, "Delete Wait Processing"},
    {0x46, "Delete Bad Finger"},
    {0x47, "Delete Success"},
    {0x48, "Delete Fail"},
    {0x54, "Detect Input0"},
    {0x55, "Detect Input1"},
    {0x56, "Detect Input2"},
    {0x57, "Detect Wiegand"},
    {0x58, "Detect Finger"},
    {0x59, "End of Processing"},
    {0x70, "Detec Smart Card"},
    {0x71, "Smart Card Read Error"},
    {0x7A, "Waiting Smart Card"},
    {0x61, "Rejected ID"},
    {0x62, "Verify Duress Finger"},
    {0x63, "Identify Duress Finger"},
    {0x64, "Tamper Switch On"},
    {0x65, "Tamper Switch Off"},
};
inline constexpr Named EVENT_SOURCES[] = {
    {0x01, "Host Port"}, {0x02, "Aux Port"}, {0x03, "Wiegand Input"}, {0x04, "IN0"},
    {0x05, "IN1"},       {0x06, "IN2"},      {0x07, "FreeScan"},      {0x08, "SmartCard"},
};

// What the module does with a Wiegand input (WW), and with an input port or
// a Wiegand or card mapping (IW, WM).
inline constexpr Named WIEGAND_FUNCTIONS[] = {
    {0x00, "No Action"},       {0x12, "Enroll Given ID"},   {0x22, "Verify Given ID"},
    {0x42, "Delete Given ID"}, {0x5A, "Output Matched ID"},
};
inline constexpr Named INPUT_FUNCTIONS[] = {
    {0x00, "No Action"},
    {0x10, "Enroll"},
    {0x30, "Identify"},
    {0x40, "Delete"},
    {0x49, "Delete All"},
    {0x11, "Enroll by Wiegand"},
    {0x21, "Verify by Wiegand"},
    {0x41, "Delete by Wiegand"},
    {0x1A, "Enroll with admin's verification"},
    {0x1B, "Enroll by Wiegand with admin's verification"},
    {0x4A, "Delete with admin's verification"},
    {0x4B, "Delete by Wiegand with admin's verification"},
    {0x4C, "Delete all with admin's verification"},
    {0x60, "Cancel"},
    {0x66, "Tamper Switch"},
};

// The enroll options of the flag byte (ES, EI, ET, ...), by the flags' names.
inline constexpr Named ENROLL_OPTIONS[] = {
    {flag::ADD_NEW_TEMPLATE, "Add New Template"},         {flag::AUTO_ID, "Auto ID"},
    {flag::ENROLL_CONTINUE, "Enroll Continue"},           {flag::CHECK_ID, "Check ID"},
    {flag::ADD_DURESS_FINGER, "Add Duress Finger"},       {flag::CHECK_FINGER, "Check Finger"},
    {flag::CHECK_FINGER_AUTO_ID, "Check Finger Auto ID"},
};

// A GPIO line's mode (GW, GR), and what its records hold in each mode.
inline constexpr Named GPIO_MODES[] = {
    {0x00, "Disabled"}, {0x01, "Input"},         {0x02, "Output"},
    {0x03, "Shared"},   {0x04, "Wiegand Input"}, {0x05, "Wiegand Output"},
};
inline constexpr Named GPIO_INPUT_FUNCTIONS[] = {
    {0x01, "Enroll"},
    {0x02, "Identify"},
    {0x03, "Delete All"},
    {0x04, "Delete All by Confirm"},
};
inline constexpr Named GPIO_INPUT_ACTIVATIONS[] = {
    {0x01, "Active High"},
    {0x02, "Active Low"},
    {0x03, "Rising Edge"},
    {0x04, "Falling Edge"},
};
inline constexpr Named GPIO_OUTPUT_EVENTS[] = {
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
inline constexpr Named GPIO_OUTPUT_LEVELS[] = {
    {0x82, "Active High"},
    {0x84, "Active Low"},
    {0x83, "Active High + Blinking"},
    {0x85, "Active Low + Blinking"},
};

// The Wiegand ports (WW, WR: the flag), how WG reads its input, and the
// formats of WF.
inline constexpr Named WIEGAND_PORTS[] = {
    {0x00, "Wiegand Input"},
    {0x01, "Wiegand Output"},
};
inline constexpr Named WIEGAND_INPUT_READ_MODES[] = {
    {0x00, "Clear"},
    {0x01, "Remain"},
};
inline constexpr Named WIEGAND_FORMATS[] = {
    {0x01, "26bit Standard"},
    {0x02, "Pass Through"},
    {0x03, "Custom Format"},
};

// The input ports (IW, IR, IG: the flag), how IG reads one, and its states.
inline constexpr Named INPUT_PORTS[] = {
    {0x00, "IN0"},
    {0x01, "IN1"},
    {0x02, "IN2"},
};
inline constexpr Named INPUT_READ_MODES[] = {
    {0x00, "Clear"},
    {0x01, "Remain"},
};
inline constexpr Named INPUT_STATES[] = {
    {0x00, "Inactive"},
    {0x01, "Active"},
};

// The output ports (OW, OR, OL, OS: the flag; the automatic response takes
// configurations but is never set by hand) and what OS sets one to.
inline constexpr Named OUTPUT_PORTS[] = {
    {0x00, "OUT0"}, {0x01, "OUT1"}, {0x02, "OUT2"},          {0x03, "LED0"},
    {0x04, "LED1"}, {0x05, "LED2"}, {0x06, "Auto Response"},
};
inline constexpr Named OUTPUT_STATES[] = {
    {0x00, "Clear"},
    {0x01, "Setr"},
};

// A user's administrator level (AW, AR), the smart-card input function (CIW,
// CIR) and a user's authentication policy (UW, UR).
inline constexpr Named ADMIN_LEVELS[] = {
    {0x00, "None"},
    {0x01, "Enroll"},
    {0x02, "Delete"},
    {0x03, "All"},
};
inline constexpr Named CARD_INPUT_FUNCTIONS[] = {
    {0x00, "Disable"},
    {0x01, "Verify ID"},
    {0x02, "Verify Template"},
};
inline constexpr Named AUTH_POLICIES[] = {
    {0x00, "Fingerprint"},
    {0x01, "Wiegand Bypass"},
    {0x02, "SmartCard Bypass"},
    {0x03, "Reject"},
};

// Whether a table of names has a row for `code`.
constexpr bool is_named(std::span<const Named> names, uint32_t code) {
    for (const Named& n : names)
        if (static_cast<uint32_t>(n.code) == code) return true;
    return false;
}

// The code of a name in a table of names; a name missing from the table
// stops the compilation.
consteval uint8_t code_named(std::span<const Named> names, std::string_view name) {
    for (const Named& n : names)
        if (name == n.name) return static_cast<uint8_t>(n.code);
    throw "no such name in the table";
}
// The highest code of a table of names.
constexpr uint32_t highest_code(std::span<const Named> names) {
    uint32_t most = 0;
    for (const Named& n : names)
        most = static_cast<uint32_t>(n.code) > most ? static_cast<uint32_t>(n.code) : most;
    return most;
}

// The values that the host or the simulated module acts on, by their names
// (none a name that a system header takes for a macro, such as DELETE).
namespace gpio_mode {
inline constexpr uint8_t DISABLED = code_named(GPIO_MODES, "Disabled");
inline constexpr uint8_t INPUT = code_named(GPIO_MODES, "Input");
inline constexpr uint8_t OUTPUT = code_named(GPIO_MODES, "Output");
inline constexpr uint8_t SHARED = code_named(GPIO_MODES, "Shared");
inline constexpr uint8_t WIEGAND_INPUT = code_named(GPIO_MODES, "Wiegand Input");
inline constexpr uint8_t WIEGAND_OUTPUT = code_named(GPIO_MODES, "Wiegand Output");
} // namespace gpio_mode
namespace admin_level {
inline constexpr uint8_t LEVEL_DELETE = code_named(ADMIN_LEVELS, "Delete");
inline constexpr uint8_t LEVEL_ALL = code_named(ADMIN_LEVELS, "All");
} // namespace admin_level
namespace auth_policy {
inline constexpr uint8_t WIEGAND_BYPASS = code_named(AUTH_POLICIES, "Wiegand Bypass");
inline constexpr uint8_t SMARTCARD_BYPASS = code_named(AUTH_POLICIES, "SmartCard Bypass");
inline constexpr uint8_t REJECT = code_named(AUTH_POLICIES, "Reject");
} // namespace auth_policy
namespace wiegand_format {
inline constexpr uint8_t STANDARD_26BIT = code_named(WIEGAND_FORMATS, "26bit Standard");
inline constexpr uint8_t PASS_THROUGH = code_named(WIEGAND_FORMATS, "Pass Through");
inline constexpr uint8_t CUSTOM = code_named(WIEGAND_FORMATS, "Custom Format");
} // namespace wiegand_format
namespace output_port {
inline constexpr uint8_t AUTO_RESPONSE = code_named(OUTPUT_PORTS, "Auto Response");
} // namespace output_port

namespace event {
consteval uint8_t code_of(std::string_view name) {
    for (const Named& e : EVENTS)
        if (name == e.name) return static_cast<uint8_t>(e.code);
    throw "no such event";
}
consteval uint8_t source_of(std::string_view name) {
    for (const Named& s : EVENT_SOURCES)
        if (name == s.name) return static_cast<uint8_t>(s.code);
    throw "no such event source";
}
} // namespace event

// Option bits of the flag byte.
namespace option {
inline constexpr uint8_t CARD_ENROLL_WIEGAND = 0x04; // EC, ECX: a Wiegand string follows
} // namespace option

// The baud rates of the line and their codes (the Baudrate parameter's
// values, and what kelvor.cfg saves).
struct BaudRate {
    uint8_t code;
    uint32_t rate;
    const char* name; // the rate as the keyword table names it
};
inline constexpr BaudRate BAUD_RATES[] = {
    {0x31, 9600, "9600"},   {0x32, 19200, "19200"},   {0x33, 38400, "38400"},
    {0x34, 57600, "57600"}, {0x35, 115200, "115200"},
};
// Whether a value is one of the baud codes.
constexpr bool is_baud_code(uint32_t code) {
    for (const BaudRate& b : BAUD_RATES)
        if (b.code == code) return true;
    return false;
}
// The rate of a code; any other value is taken as a rate itself.
constexpr uint32_t baud_rate_of(uint32_t code) {
    for (const BaudRate& b : BAUD_RATES)
        if (b.code == code) return b.rate;
    return code;
}
// The code of a rate, -1 for a rate without one.
constexpr int baud_code_of(uint32_t rate) {
    for (const BaudRate& b : BAUD_RATES)
        if (b.rate == rate) return b.code;
    return -1;
}

inline constexpr uint8_t START_COMMAND = 0x40;
inline constexpr uint8_t START_NETWORK = 0x41;
// On a shared line (network or broadcast) the modules need this pause, in
// milliseconds, before each turn of the line: each read and each write.
inline constexpr int SHARED_LINE_PAUSE_MS = 30;
inline constexpr uint8_t END_CODE = 0x0A;
inline constexpr size_t COMMAND_LENGTH = 13;
inline constexpr size_t NETWORK_LENGTH = 15;
inline constexpr size_t MAX_LENGTH = NETWORK_LENGTH;

using Buffer = std::array<uint8_t, MAX_LENGTH>;

struct Fields {
    uint8_t command = 0;
    uint16_t moduleId = 0; // network form only
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
};

inline constexpr size_t length(bool network) {
    return network ? NETWORK_LENGTH : COMMAND_LENGTH;
}
inline constexpr uint8_t start_code(bool network) {
    return network ? START_NETWORK : START_COMMAND;
}

// Sum of the unsigned byte values, 32 bits wide (wraps like the module's sum).
inline uint32_t byte_sum(const uint8_t* bytes, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += bytes[i];
    return sum;
}
inline uint32_t byte_sum(std::span<const uint8_t> bytes) {
    return byte_sum(bytes.data(), bytes.size());
}

inline void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Builds a packet in the given form; returns its length (13 or 15).
inline size_t encode(Buffer& out, bool network, const Fields& f) {
    out.fill(0);
    size_t at = 0;
    out[at++] = start_code(network);
    if (network) {
        put16(&out[at], f.moduleId);
        at += 2;
    }
    out[at++] = f.command;
    put32(&out[at], f.param1);
    at += 4;
    put32(&out[at], f.param2);
    at += 4;
    out[at++] = f.flag;
    out[at] = static_cast<uint8_t>(byte_sum(out.data(), at));
    ++at;
    out[at++] = END_CODE;
    return at;
}

// Reads the fields of a packet of the given form; `pkt` holds at least length(network) bytes.
inline Fields decode(const uint8_t* pkt, bool network) {
    Fields f;
    size_t at = 1;
    if (network) {
        f.moduleId = get16(&pkt[1]);
        at = 3;
    }
    f.command = pkt[at];
    f.param1 = get32(&pkt[at + 1]);
    f.param2 = get32(&pkt[at + 5]);
    f.flag = pkt[at + 9];
    return f;
}

// True when the checksum byte equals the low 8 bits of the sum of the bytes before it.
inline bool checksum_ok(const uint8_t* pkt, bool network) {
    const size_t len = length(network);
    return static_cast<uint8_t>(byte_sum(pkt, len - 2)) == pkt[len - 2];
}

// Hex-text form: every byte as two upper-case hexadecimal characters, high nibble first.
inline void hex_encode(const uint8_t* bytes, size_t n, char* out) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
}

// Value of one hex-text character as the module's decoder reads it: below 'A'
// it is c - '0', otherwise c - 0x37, so lower-case letters decode wrongly.
inline uint8_t hex_value(uint8_t c) {
    return static_cast<uint8_t>(c < 0x41 ? c - 0x30 : c - 0x37);
}

inline void hex_decode(const char* chars, size_t nBytes, uint8_t* out) {
    for (size_t i = 0; i < nBytes; ++i) {
        out[i] = static_cast<uint8_t>(16 * hex_value(static_cast<uint8_t>(chars[2 * i])) +
                                      hex_value(static_cast<uint8_t>(chars[2 * i + 1])));
    }
}

// Chunk header fields: Param1 carries the chunk count in its low 16 bits and the
// chunk index in its high 16 bits; Param2 the chunk length.
inline uint32_t chunk_param1(uint16_t count, uint16_t index) {
    return static_cast<uint32_t>(count) | static_cast<uint32_t>(index) << 16;
}

} // namespace kelvor::packet

// The commands, described: after the vocabulary they are described with.
#include "Commands.h"
