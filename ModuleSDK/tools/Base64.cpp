#include "Base64.h"

#include <array>

namespace {
constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// Each byte's value in the alphabet, -1 for a byte outside it: made at compile time.
constexpr std::array<int8_t, 256> VALUES = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(ALPHABET[i])] = static_cast<int8_t>(i);
    return t;
}();
} // namespace

std::string base64_encode(const uint8_t* data, size_t n) {
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t v =
            static_cast<uint32_t>(data[i]) << 16 | static_cast<uint32_t>(data[i + 1]) << 8 | data[i + 2];
        out += ALPHABET[v >> 18 & 63];
        out += ALPHABET[v >> 12 & 63];
        out += ALPHABET[v >> 6 & 63];
        out += ALPHABET[v & 63];
    }
    if (n - i == 1) {
        const uint32_t v = static_cast<uint32_t>(data[i]) << 16;
        out += ALPHABET[v >> 18 & 63];
        out += ALPHABET[v >> 12 & 63];
        out += "==";
    } else if (n - i == 2) {
        const uint32_t v = static_cast<uint32_t>(data[i]) << 16 | static_cast<uint32_t>(data[i + 1]) << 8;
        out += ALPHABET[v >> 18 & 63];
        out += ALPHABET[v >> 12 & 63];
        out += ALPHABET[v >> 6 & 63];
        out += '=';
    }
    return out;
}

bool base64_decode(std::string_view text, std::vector<uint8_t>& out) {
    const std::array<int8_t, 256>& values = VALUES;
    out.clear();
    if (text.size() % 4 != 0) return false;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0 || values[c] < 0) return false; // no character after padding
            v[k] = values[c];
        }
        const uint32_t w = static_cast<uint32_t>(v[0]) << 18 | static_cast<uint32_t>(v[1]) << 12 |
                           static_cast<uint32_t>(v[2]) << 6 | static_cast<uint32_t>(v[3]);
        out.push_back(static_cast<uint8_t>(w >> 16));
        if (pad < 2) out.push_back(static_cast<uint8_t>(w >> 8));
        if (pad < 1) out.push_back(static_cast<uint8_t>(w));
    }
    return true;
}
