// Module IDs of the command line: the range of --scan and the list of --modules.
#include "ModuleIds.h"

#include <algorithm>
#include <set>

namespace {

// What the IDs of a list are: module IDs (16 bits) or user IDs (32 bits).
struct Kind {
    const char* name;
    uint64_t max;
    const char* range;
};
constexpr Kind MODULE_IDS{"module ID", 0xFFFF, "1 to 65535"};
constexpr Kind USER_IDS{"user ID", 0xFFFFFFFF, "1 to 4294967295"};

bool id_of(const std::string& word, uint32_t& id, std::string& why, const Kind& kind = MODULE_IDS) {
    // Decimal, or hexadecimal after a lower-case "0x"; nothing else in the word.
    const bool hex = word.size() > 2 && word[0] == '0' && word[1] == 'x';
    const std::string digits = hex ? word.substr(2) : word;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    const size_t longest = kind.max > 0xFFFF ? (hex ? 8 : 10) : 7;
    if (digits.empty() || digits.size() > longest || digits.find_first_not_of(allowed) != std::string::npos) {
        why = "'" + word + "' is no " + kind.name;
        return false;
    }
    const unsigned long long v = std::stoull(digits, nullptr, hex ? 16 : 10);
    if (v < 1 || v > kind.max) {
        why = word + " is outside " + kind.range;
        return false;
    }
    id = static_cast<uint32_t>(v);
    return true;
}

bool range_of(const std::string& text, uint32_t& first, uint32_t& last, std::string& why, const Kind& kind) {
    const size_t dash = text.find('-');
    if (dash == 0 || (dash != std::string::npos && dash + 1 == text.size())) {
        why = "'" + text + "' is no " + kind.name + " range";
        return false;
    }
    if (!id_of(text.substr(0, dash), first, why, kind)) return false;
    last = first;
    if (dash != std::string::npos && !id_of(text.substr(dash + 1), last, why, kind)) return false;
    if (last < first) {
        why = "the range runs backwards";
        return false;
    }
    return true;
}

} // namespace

bool is_option_word(const char* word) {
    if (word == nullptr || word[0] != '-') return false;
    const char c = word[1];
    return c == '-' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool parse_id_range(const std::string& text, uint32_t& first, uint32_t& last, std::string& why) {
    return range_of(text, first, last, why, MODULE_IDS);
}

bool parse_module_ids(const std::string& text, std::vector<uint16_t>& out, std::string& why) {
    out.clear();
    std::set<uint32_t> seen;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        uint32_t first = 0, last = 0;
        if (!parse_id_range(text.substr(at, comma - at), first, last, why)) return false;
        if (out.size() + (last - first + 1) > MODULE_LIST_MAX) {
            why = "more than " + std::to_string(MODULE_LIST_MAX) + " modules";
            return false;
        }
        for (uint32_t id = first; id <= last; ++id) {
            if (!seen.insert(id).second) {
                why = "module " + std::to_string(id) + " is named twice";
                return false;
            }
            out.push_back(static_cast<uint16_t>(id));
        }
        at = comma + 1;
    }
    return true;
}

bool parse_user_ids(const std::string& text, tools::IdFilter& out, std::string& why) {
    out.clear();
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        tools::IdRange r;
        if (!range_of(text.substr(at, comma - at), r.first, r.last, why, USER_IDS)) return false;
        if (out.size() == USER_RANGES_MAX) {
            why = "more than " + std::to_string(USER_RANGES_MAX) + " IDs and ranges";
            return false;
        }
        for (const tools::IdRange& known : out) {
            if (r.first <= known.last && known.first <= r.last) {
                why = "user " + std::to_string(std::max(r.first, known.first)) + " is named twice";
                return false;
            }
        }
        out.push_back(r);
        at = comma + 1;
    }
    return true;
}
