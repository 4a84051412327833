// The command reference of kelvor --commands: for every command code the tool
// knows, what it does, which of -p1, -p2, -f, -i, -o and -s it reads and what
// they mean, and an example. Names come from the keyword table, so the
// reference and the -c parser cannot disagree.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

struct OptionUse {
    const char* option = nullptr; // "-p1", "-p2", "-f", "-i", "-o" or "-s"; nullptr ends the list
    const char* meaning = nullptr;
};

struct CommandInfo {
    uint8_t code;
    const char* summary; // what the command does
    OptionUse uses[6];   // the options it reads, in the order of the command line
    const char* notes;   // files, output and the front end's own checks; may be empty
    const char* example; // a command line, without the program name
};

// Every described command, in code order.
std::span<const CommandInfo> command_reference();
// The description of one code, or nullptr.
const CommandInfo* command_info(uint8_t code);

// The list of all commands: keyword, code, summary and the options each reads.
// As a Markdown table with `markdown` (the README's command table).
void print_command_list(std::FILE* out, bool markdown);
// The same list for the manual page: one roff paragraph per command with the
// meaning of each option it reads and its example.
void print_command_man(std::FILE* out);
// One command in detail; false when the word names no described command.
bool print_command_detail(std::FILE* out, const std::string& word);
