// Numbers and command words of the command line.
#pragma once

#include <cstdint>
#include <string>

// Number parsing of the command line: decimal, or hexadecimal after "0x";
// unsigned 32-bit; "-1" reads 0xFFFFFFFF; no digits read 0.
uint32_t parse_number(const std::string& word);
// Command parsing: "0x.." hexadecimal, "1".."9" decimal, 1 to 3 letters a keyword; low 8 bits.
uint8_t parse_command(const std::string& word);
// Baud code 0x31..0x35 of a baud rate, -1 for any other rate.
int baud_code_of_rate(uint32_t rate);
