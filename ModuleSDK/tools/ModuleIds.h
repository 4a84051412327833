// A line of several modules: module ID lists and ranges of the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ModuleUsers.h"

// Most modules --modules takes at once.
inline constexpr size_t MODULE_LIST_MAX = 0xFFFF;

// Whether a word is an option ("-c", "-x2", "--json") rather than a value: the
// word after --scan is its range unless it is one.
bool is_option_word(const char* word);
// "FIRST-LAST" or "ID", within 1 to 65535 and FIRST <= LAST; each ID decimal
// or hexadecimal after "0x", as numbers are everywhere; false with the reason.
bool parse_id_range(const std::string& text, uint32_t& first, uint32_t& last, std::string& why);
// "1,2,5-9": every ID once, in the order given; false with the reason.
bool parse_module_ids(const std::string& text, std::vector<uint16_t>& out, std::string& why);
// Most IDs and ranges --users takes.
inline constexpr size_t USER_RANGES_MAX = 4096;
// User IDs of --users: "3,5,100-199", the same syntax as module IDs but
// within 1 to 4294967295 (decimal, or hexadecimal after "0x"), kept as ranges;
// false with the reason (an ID named twice, a range that runs backwards).
bool parse_user_ids(const std::string& text, tools::IdFilter& out, std::string& why);
