// The wire vocabulary of the module's serial protocol, spoken by both ends of
// the line: the 13-byte command packet, the 15-byte network packet, their
// checksums, the hex-text encoding, the command codes, the flag byte values,
// the system parameter numbers, the baud rates and the layouts of the records
// in data blocks. Pure data and functions without I/O, shared by the library
// and the simulated module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

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

// Command codes, by the keyword that names each command.
namespace cmd {
inline constexpr uint8_t SW = 0x01;
inline constexpr uint8_t SF = 0x02;
inline constexpr uint8_t SR = 0x03;
inline constexpr uint8_t SS = 0x04;
inline constexpr uint8_t ES = 0x05;
inline constexpr uint8_t EI = 0x06;
inline constexpr uint8_t ET = 0x07;
inline constexpr uint8_t VS = 0x08;
inline constexpr uint8_t VI = 0x09;
inline constexpr uint8_t VT = 0x10;
inline constexpr uint8_t IS = 0x11;
inline constexpr uint8_t II = 0x12;
inline constexpr uint8_t IT = 0x13;
inline constexpr uint8_t RT = 0x14;
inline constexpr uint8_t SI = 0x15;
inline constexpr uint8_t DT = 0x16;
inline constexpr uint8_t DA = 0x17;
inline constexpr uint8_t LT = 0x18;
inline constexpr uint8_t CT = 0x19;
inline constexpr uint8_t CS = 0x1a;
inline constexpr uint8_t EW = 0x1c;
inline constexpr uint8_t VW = 0x1d;
inline constexpr uint8_t DS = 0x1e;
inline constexpr uint8_t DW = 0x1f;
inline constexpr uint8_t RI = 0x20;
inline constexpr uint8_t ST = 0x21;
inline constexpr uint8_t VH = 0x22;
inline constexpr uint8_t FP = 0x23;
inline constexpr uint8_t DP = 0x24;
inline constexpr uint8_t ML = 0x31;
inline constexpr uint8_t MW = 0x32;
inline constexpr uint8_t MR = 0x33;
inline constexpr uint8_t KW = 0x34;
inline constexpr uint8_t KS = 0x35;
inline constexpr uint8_t GR = 0x36;
inline constexpr uint8_t GW = 0x37;
inline constexpr uint8_t GC = 0x38;
inline constexpr uint8_t GD = 0x39;
inline constexpr uint8_t TW = 0x3a;
inline constexpr uint8_t TR = 0x3b;
inline constexpr uint8_t LN = 0x3c;
inline constexpr uint8_t LR = 0x3d;
inline constexpr uint8_t LD = 0x3e;
inline constexpr uint8_t LC = 0x3f;
inline constexpr uint8_t WW = 0x41;
inline constexpr uint8_t WR = 0x42;
inline constexpr uint8_t WG = 0x43;
inline constexpr uint8_t WS = 0x44;
inline constexpr uint8_t IW = 0x47;
inline constexpr uint8_t IR = 0x48;
inline constexpr uint8_t IG = 0x49;
inline constexpr uint8_t OW = 0x4a;
inline constexpr uint8_t OR = 0x4b;
inline constexpr uint8_t OL = 0x4c;
inline constexpr uint8_t OS = 0x4d;
inline constexpr uint8_t CA = 0x60;
inline constexpr uint8_t UG = 0x62;
inline constexpr uint8_t AW = 0x65;
inline constexpr uint8_t AR = 0x66;
inline constexpr uint8_t AC = 0x67;
inline constexpr uint8_t WM = 0x68;
inline constexpr uint8_t WL = 0x69;
inline constexpr uint8_t WC = 0x6a;
inline constexpr uint8_t ESA = 0x70;
inline constexpr uint8_t EWA = 0x71;
inline constexpr uint8_t DSA = 0x72;
inline constexpr uint8_t DWA = 0x73;
inline constexpr uint8_t DAA = 0x74;
inline constexpr uint8_t EIX = 0x80;
inline constexpr uint8_t IIX = 0x81;
inline constexpr uint8_t VIX = 0x82;
inline constexpr uint8_t SIX = 0x83;
inline constexpr uint8_t RIX = 0x84;
inline constexpr uint8_t LTX = 0x86;
inline constexpr uint8_t ETX = 0x87;
inline constexpr uint8_t CR = 0xa0;
inline constexpr uint8_t CW = 0xa1;
inline constexpr uint8_t CC = 0xa2;
inline constexpr uint8_t UW = 0xa3;
inline constexpr uint8_t UR = 0xa4;
inline constexpr uint8_t UC = 0xa5;
inline constexpr uint8_t UL = 0xa6;
inline constexpr uint8_t VC = 0xa7;
inline constexpr uint8_t CG = 0xa8;
inline constexpr uint8_t EC = 0xa9;
inline constexpr uint8_t CKW = 0xaa;
inline constexpr uint8_t CKR = 0xab;
inline constexpr uint8_t CLR = 0xac;
inline constexpr uint8_t CLW = 0xad;
inline constexpr uint8_t CF = 0xae;
inline constexpr uint8_t ECX = 0xaf;
inline constexpr uint8_t UM = 0xb0;
inline constexpr uint8_t LM = 0xb1;
inline constexpr uint8_t MP = 0xb2;
inline constexpr uint8_t EV = 0xb3;
inline constexpr uint8_t WWX = 0xc0;
inline constexpr uint8_t WRX = 0xc1;
inline constexpr uint8_t WGX = 0xc2;
inline constexpr uint8_t WSX = 0xc3;
inline constexpr uint8_t WFW = 0xc4;
inline constexpr uint8_t WFR = 0xc5;
inline constexpr uint8_t WPW = 0xc6;
inline constexpr uint8_t WPR = 0xc7;
} // namespace cmd

// System parameter numbers (SR, SW) that the host or the module acts on.
namespace param {
inline constexpr uint8_t TIMEOUT_PERIOD = 0x62;
inline constexpr uint8_t TEMPLATE_SIZE = 0x64;
inline constexpr uint8_t ENROLL_MODE = 0x65;
inline constexpr uint8_t SECURITY_LEVEL = 0x66;
inline constexpr uint8_t MODULE_ID = 0x6d;
inline constexpr uint8_t FIRMWARE_VERSION = 0x6e;
inline constexpr uint8_t BAUDRATE = 0x71;
inline constexpr uint8_t ENROLLED_FINGERPRINTS = 0x73;
inline constexpr uint8_t AVAILABLE_FINGERPRINTS = 0x74;
inline constexpr uint8_t SCAN_SUCCESS = 0x75;
inline constexpr uint8_t ASCII_PACKET = 0x76;
inline constexpr uint8_t NETWORK_MODE = 0x83;
inline constexpr uint8_t FREE_SCAN = 0x84;
inline constexpr uint8_t PROVISIONAL_ENROLL = 0x85;
inline constexpr uint8_t PASS_WHEN_EMPTY = 0x86;
inline constexpr uint8_t RESPONSE_DELAY = 0x87;
} // namespace param

// Layouts of the records that travel in data blocks and files.
namespace record {
// Image record: seven 32-bit little-endian header words (width, height, two
// words not read, format, image size, one word not read), then the pixels.
inline constexpr size_t IMAGE_HEADER_SIZE = 28;
inline constexpr size_t IMAGE_PIXELS_MAX = 0x32000; // 204800 gray pixels
inline constexpr size_t IMAGE_RECORD_SIZE = IMAGE_HEADER_SIZE + IMAGE_PIXELS_MAX;
inline constexpr size_t ENCRYPTION_KEY_SIZE = 32;
inline constexpr size_t TEMPLATE_INFO_SIZE = 8; // LTX: user ID, then the module's own values
inline constexpr size_t CARD_LAYOUT_SIZE = 7;
inline constexpr size_t CARD_KEY_SIZE = 6;
inline constexpr size_t LOG_RECORD_SIZE = 16;
inline constexpr size_t GPIO_RECORD_SIZE = 8;
} // namespace record

// The baud rates of the line and their codes (the Baudrate parameter's
// values, and what kelvor.cfg saves).
struct BaudRate {
    uint8_t code;
    uint32_t rate;
};
inline constexpr BaudRate BAUD_RATES[] = {
    {0x31, 9600}, {0x32, 19200}, {0x33, 38400}, {0x34, 57600}, {0x35, 115200},
};
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

inline constexpr size_t length(bool network) { return network ? NETWORK_LENGTH : COMMAND_LENGTH; }
inline constexpr uint8_t start_code(bool network) { return network ? START_NETWORK : START_COMMAND; }

// Sum of the unsigned byte values, 32 bits wide (wraps like the module's sum).
inline uint32_t byte_sum(const uint8_t* bytes, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += bytes[i];
    return sum;
}
inline uint32_t byte_sum(std::span<const uint8_t> bytes) { return byte_sum(bytes.data(), bytes.size()); }

inline void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

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
inline uint8_t hex_value(uint8_t c) { return static_cast<uint8_t>(c < 0x41 ? c - 0x30 : c - 0x37); }

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
