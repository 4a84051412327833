// The error lines of the host's own and the numbers of their reporting sites.
#include "ErrorLines.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <string>

#include "trace/Format.h"
#include "trace/Outcome.h"

using namespace kelvor;

void err_line(err_site::Site site, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    trace_print("[OrvantiCom.cpp(%d)] %s", static_cast<int>(site), text.c_str());
    outcome::message(text);
}

err_site::Site host_check_site(uint8_t code, int check) {
    using namespace err_site;
    const int c = check >= 0 && check < HOST_CHECKS_PER_COMMAND ? check : 0;
    static_assert(kelvor::HOST_CHECK_RAW_ANSWER < HOST_CHECKS_PER_COMMAND, "every check has its number");
    const bool known = std::any_of(std::begin(packet::COMMANDS), std::end(packet::COMMANDS),
                                   [code](const packet::Command& row) { return row.code == code; });
    int slot = HOST_CHECK_UNKNOWN_SLOT;
    for (int i = 0; i < HOST_CHECK_UNKNOWN_SLOT; ++i)
        if (HOST_CHECK_COMMANDS[i] == code) slot = i;
    if (known && slot == HOST_CHECK_UNKNOWN_SLOT)
        return static_cast<Site>(HOST_CHECKS_BY_CODE + code * HOST_CHECKS_PER_COMMAND + c);
    return static_cast<Site>(HOST_CHECKS + slot * HOST_CHECKS_PER_COMMAND + c);
}

int exit_class(int result) {
    return static_cast<int>(result_class(result));
}
