#include "trace/Format.h"

#include <cstdio>

namespace kelvor {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// A short text is formatted once, through a buffer on the stack; a longer
// one again, into its place at the end of `out`.
void append_formatted(std::string& out, const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data() + at, static_cast<size_t>(n) + 1, format, args);
    out.resize(at + static_cast<size_t>(n));
}
#pragma GCC diagnostic pop

std::string formatted(const char* format, va_list args) {
    std::string text;
    append_formatted(text, format, args);
    return text;
}

} // namespace kelvor
