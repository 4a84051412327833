// Base64 (RFC 4648, with padding): the bytes of files in the service's protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

std::string base64_encode(const uint8_t* data, size_t n);
// Strict: only the alphabet, padding at the end; false on anything else.
bool base64_decode(std::string_view text, std::vector<uint8_t>& out);
