#include "engine/Answers.h"
#include "trace/Outcome.h"

#include <cstdarg>
#include <cstdio>

namespace kelvor {

namespace answers {

void keep_message(const char* text, uint32_t first, uint32_t second) {
    if (!outcome::recording()) return;
    char line[256];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    std::snprintf(line, sizeof line, text, first, second);
#pragma GCC diagnostic pop
    outcome::message(line);
}

int apply_row(const Row& row, uint32_t arg, uint32_t second) {
    if (row.message.text) {
        // The message was checked at compile time to hold at most one "%#x".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
        trace(row.type, row.message.text, row.argument == 1 ? second : arg);
#pragma GCC diagnostic pop
        // An error line is kept by the trace itself.
        if (row.type != TRACE_ERROR) keep_message(row.message.text, row.argument == 1 ? second : arg);
    }
    return row.code;
}

int apply(Table table, uint8_t flag, uint32_t arg, uint32_t second) {
    for (const Row& row : table) {
        if (row.flag == ANY || row.flag == flag) return apply_row(row, arg, second);
    }
    return RES_UNKNOWN;
}

int receive_and_apply(AnswerPacket& answer, Table table, uint32_t arg) {
    if (int rc = receive_answer(answer); rc < 0) return rc;
    return apply(table, flag_of(answer), arg);
}

int receive_final(AnswerPacket& answer, Table table) {
    if (int rc = receive_answer(answer); rc < 0) return rc;
    const uint8_t flag = flag_of(answer);
    return flag == SUCCEED ? GO_ON : apply(table, flag);
}

int exchange(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag, Table table,
             AnswerPacket& answer) {
    if (int rc = send_command(command, param1, param2, flag); rc < 0) return rc;
    return receive_final(answer, table);
}

int exchange(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag, Table table) {
    AnswerPacket answer{};
    return exchange(command, param1, param2, flag, table, answer);
}

int scan_wait(Table table, uint32_t arg) {
    if (!module_settings().scanSuccessOn) return GO_ON;
    AnswerPacket answer{};
    return receive_and_apply(answer, table, arg);
}

} // namespace answers

} // namespace kelvor
