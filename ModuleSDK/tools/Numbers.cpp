// Numbers and command words of the command line: hex, octal and decimal
// values as the C library reads them, command keywords, baud rates.
#include "Numbers.h"

#include "ModuleSDK.h"

#include <cctype>
#include <climits>

using namespace kelvor;

namespace {

int digit_value(char c, int base) {
    int v;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    else
        return -1;
    return v < base ? v : -1;
}

// The standard unsigned 32-bit conversion: white space, one sign, digits of
// the base; a value beyond 32 bits reads 0xFFFFFFFF.
uint32_t convert(const char* s, int base) {
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    if (base == 16 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && digit_value(s[2], 16) >= 0) s += 2;
    uint64_t value = 0;
    bool overflow = false;
    for (int d; (d = digit_value(*s, base)) >= 0; ++s) {
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (value > UINT32_MAX) {
            overflow = true;
            value = UINT32_MAX;
        }
    }
    if (overflow) return UINT32_MAX;
    uint32_t v = static_cast<uint32_t>(value);
    return negative ? static_cast<uint32_t>(0u - v) : v;
}

bool starts_with_hex_prefix(const std::string& w) {
    return w.size() >= 2 && w[0] == '0' && w[1] == 'x';
}

} // namespace

uint32_t parse_number(const std::string& word) {
    if (starts_with_hex_prefix(word)) return convert(word.c_str() + 2, 16);
    return convert(word.c_str(), 10);
}

uint8_t parse_command(const std::string& word) {
    uint32_t code = 0;
    if (starts_with_hex_prefix(word)) {
        code = convert(word.c_str() + 2, 16);
    } else if (!word.empty() && word[0] >= '1' && word[0] <= '9') {
        code = convert(word.c_str(), 10);
    } else if (!word.empty() && word.size() <= 3) {
        std::string upper = word;
        for (char& c : upper) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        int found = keyword_code(KW_COMMAND, upper.c_str());
        code = found < 0 ? 0 : static_cast<uint32_t>(found);
    }
    return static_cast<uint8_t>(code);
}

int baud_code_of_rate(uint32_t rate) {
    return packet::baud_code_of(rate);
}
