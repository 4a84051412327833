// The command reference of kelvor --commands: for every command code the tool
// knows, what it does, which of -p1, -p2, -f, -i, -o and -s it reads and what
// they mean, and an example, from the commands' descriptions in the library.
// Names come from the keyword table, so the reference and the -c parser
// cannot disagree.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "protocol/Packet.h"

// A command's description, as the library holds it.
using CommandInfo = kelvor::packet::Command;
using OptionUse = kelvor::packet::OptionUse;

// Every described command, in the order of the list.
std::span<const CommandInfo> command_reference();
// The description of one code, or nullptr.
const CommandInfo* command_info(uint8_t code);

// The list of all commands: keyword, code, summary and the options each reads.
// As a Markdown table with `markdown` (the manual's command table, docs/commands.md).
void print_command_list(std::FILE* out, bool markdown);
// The same list for the manual page: one roff paragraph per command with the
// meaning of each option it reads and its example.
void print_command_man(std::FILE* out);
// One command in detail; false when the word names no described command.
bool print_command_detail(std::FILE* out, const std::string& word);
