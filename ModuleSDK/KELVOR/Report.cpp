#include "Report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "OrvantiCom.h"
#include "trace/Outcome.h"

using namespace kelvor;

void err_line(int site, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size(), format, args);
#pragma GCC diagnostic pop
    va_end(args);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    trace_print("[OrvantiCom.cpp(%d)] %s", site, text.c_str());
    outcome::message(text);
}

int exit_class(int result) {
    // The front end's own refusals are not library codes; they refuse all the same.
    if (result == FRONT_REFUSED) return EXIT_REFUSED;
    return static_cast<int>(result_class(result));
}

void OrvantiCom::note_result(int result) {
    worstExit = std::max(worstExit, exit_class(result));
}
