// Module IDs of the command line: the range of --scan and the list of --modules.
#include "ModuleIds.h"

#include <algorithm>
#include <set>

namespace {

bool id_of(const std::string& word, uint32_t& id, std::string& why) {
    // Decimal, or hexadecimal after a lower-case "0x"; nothing else in the word.
    const bool hex = word.size() > 2 && word[0] == '0' && word[1] == 'x';
    const std::string digits = hex ? word.substr(2) : word;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.size() > 7 || digits.find_first_not_of(allowed) != std::string::npos) {
        why = "'" + word + "' is no module ID";
        return false;
    }
    const unsigned long v = std::stoul(digits, nullptr, hex ? 16 : 10);
    if (v < 1 || v > 0xFFFF) {
        why = word + " is outside 1 to 65535";
        return false;
    }
    id = static_cast<uint32_t>(v);
    return true;
}

} // namespace

bool is_option_word(const char* word) {
    if (word == nullptr || word[0] != '-') return false;
    const char c = word[1];
    return c == '-' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool parse_id_range(const std::string& text, uint32_t& first, uint32_t& last, std::string& why) {
    const size_t dash = text.find('-');
    if (dash == 0 || (dash != std::string::npos && dash + 1 == text.size())) {
        why = "'" + text + "' is no module ID range";
        return false;
    }
    if (!id_of(text.substr(0, dash), first, why)) return false;
    last = first;
    if (dash != std::string::npos && !id_of(text.substr(dash + 1), last, why)) return false;
    if (last < first) {
        why = "the range runs backwards";
        return false;
    }
    return true;
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
