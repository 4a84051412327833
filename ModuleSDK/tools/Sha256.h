// SHA-256 of a byte string, as 64 lower-case hexadecimal characters: the
// check sums of a module backup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string sha256_hex(const uint8_t* data, size_t n);
