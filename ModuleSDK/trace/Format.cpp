#include "trace/Format.h"

#include <cstdio>

namespace kelvor {

std::string formatted(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size(), format, args);
#pragma GCC diagnostic pop
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

} // namespace kelvor
