// Packet codec of the module's serial protocol: the 13-byte command packet,
// the 15-byte network packet, their checksums and the hex-text encoding.
// Pure functions without I/O, shared by the library and the simulated module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace packet {

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

} // namespace packet
