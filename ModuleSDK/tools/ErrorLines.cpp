// The error lines of the host's own and the numbers of their reporting sites.
#include "ErrorLines.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <string>

#include "trace/Format.h"
#include "trace/Outcome.h"

using namespace kelvor;

void err_line(int site, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    trace_print("[OrvantiCom.cpp(%d)] %s", site, text.c_str());
    outcome::message(text);
}

int host_check_site(uint8_t code, int check) {
    // Commands in the order of their list, a code without one after them; the
    // checks of one command side by side.
    constexpr int CHECKS = kelvor::HOST_CHECK_RAW_ANSWER + 1;
    constexpr int COMMANDS = static_cast<int>(std::size(packet::COMMANDS));
    static_assert((COMMANDS + 1) * CHECKS < err_site::LINES, "the host's lines fit their block");
    int index = COMMANDS;
    for (int i = 0; i < COMMANDS; ++i)
        if (packet::COMMANDS[i].code == code) index = i;
    return err_site::HOST_CHECKS * err_site::LINES + index * CHECKS +
           (check >= 0 && check < CHECKS ? check : 0);
}

int exit_class(int result) {
    return static_cast<int>(result_class(result));
}
