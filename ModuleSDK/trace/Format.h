// printf's text as a string, whatever its length.
#pragma once

#include <cstdarg>
#include <string>

namespace kelvor {

std::string formatted(const char* format, va_list args);

// The same text onto the end of `out`; nothing when the format fails.
void append_formatted(std::string& out, const char* format, va_list args);

} // namespace kelvor
