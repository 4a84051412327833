// Answer tables: how a command turns the flag byte of an answer into a trace
// message and a result code. Each command describes its tables once, as data,
// and the small engine below applies them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "ModuleSDK.h"

namespace kelvor {

namespace answers {

// The marks of the columns of answer tables whose rows say which commands
// they belong to.
inline constexpr bool yes = true;
inline constexpr bool no = false;

// Flag value of the row that catches every flag not listed before it.
inline constexpr int ANY = -1;
// Result code of a row that lets the command go on (or succeed).
inline constexpr int GO_ON = 0;
// Result code of a row that ends the command at once with success (result 0),
// e.g. a module that skips a stage because it has nothing to verify.
inline constexpr int FINISHED = 0x7FFFFFFF;
// Result code of a final-answer row for an answer that was the reply of the
// command the module was working on (CA: the cancelled command's CANCELLED):
// the command's own answer follows; it is read, and the command succeeds
// whatever it says.
inline constexpr int OWN_ANSWER_FOLLOWS = 0x7FFFFFFE;

// Number of "%#x" conversions in a trace text kept as data; any other
// conversion makes the compile-time evaluation fail.
consteval int hex_conversions(const char* text) {
    int conversions = 0;
    for (const char* p = text; *p; ++p) {
        if (*p != '%') continue;
        if (p[1] == '%') {
            ++p;
            continue;
        }
        if (p[1] != '#' || p[2] != 'x') throw "only %#x is allowed in a trace text kept as data";
        ++conversions;
        p += 2;
    }
    return conversions;
}

// A message text checked at compile time: it may hold at most one conversion,
// "%#x", which the engine fills with the table's argument (a user ID, a
// parameter number). Any other conversion does not compile.
struct Message {
    const char* text = nullptr;
    consteval Message() = default;
    consteval Message(std::nullptr_t) {}
    consteval Message(const char* t) : text(t) {
        if (hex_conversions(t) > 1) throw "at most one %#x in an answer message";
    }
};

struct Row {
    int flag;        // flag byte, or ANY
    Message message; // traced when not null
    int code;        // result code, GO_ON to continue
    uint32_t type = TRACE_ERROR;
    int argument = 0; // which value of the call fills the "%#x": 0 the first, 1 the second
};

// A table of rows in the order the module's documentation lists them; the last row must be ANY.
using Table = std::span<const Row>;

// A shared table with one row of a command's own put in before the row at
// `at`: the rest stays written once.
template <size_t N>
consteval std::array<Row, N + 1> with_row(const Row (&table)[N], size_t at, Row row) {
    if (at >= N) throw "a row goes before the catch-all row at the latest";
    std::array<Row, N + 1> out{};
    for (size_t i = 0, k = 0; i <= N; ++i) out[i] = i == at ? row : table[k++];
    return out;
}

// Applies the first row that matches `flag`; traces its message with `arg`
// (or `second`, for a row that names the second value); returns its code.
int apply(Table table, uint8_t flag, uint32_t arg = 0, uint32_t second = 0);

// A table whose rows belong to several commands or steps at once: row i
// applies to column c when in[c] is set; the last row (ANY) applies to all.
template <size_t N> struct ColumnRow {
    int flag;
    Message message;
    int code;
    std::array<bool, N> in;
    int argument = 0; // as in Row
};

int apply_row(const Row& row, uint32_t arg, uint32_t second = 0);

// A table's text (its "%#x" conversions checked at compile time) filled with
// the values, as the message of the command's outcome while one is recorded.
void keep_message(const char* text, uint32_t first, uint32_t second = 0);

template <size_t N>
int apply(std::span<const ColumnRow<N>> table, size_t column, uint8_t flag, uint32_t arg = 0,
          uint32_t second = 0) {
    for (const auto& row : table) {
        if (row.flag == ANY || (row.flag == flag && row.in[column])) {
            return apply_row(Row{row.flag, row.message, row.code, TRACE_ERROR, row.argument}, arg, second);
        }
    }
    return RES_UNKNOWN;
}

// Receives one answer into `answer` and applies `table` to its flag byte. A link
// failure is returned unchanged before any flag is looked at.
int receive_and_apply(AnswerPacket& answer, Table table, uint32_t arg = 0);

// The final answer of a one-packet command: SUCCEED gives GO_ON with `answer`
// filled for its values; any other flag goes through `table`. A link failure
// is returned unchanged.
int receive_final(AnswerPacket& answer, Table table);
// Sends the command packet, then receive_final.
int exchange(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag, Table table,
             AnswerPacket& answer);
int exchange(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag, Table table);

// A scan wait: only when the module sends SCAN_SUCCESS answers, receive one
// answer and apply `table` (whose SCAN_SUCCESS row goes on). Otherwise GO_ON.
int scan_wait(Table table, uint32_t arg = 0);

inline uint8_t flag_of(const AnswerPacket& answer) {
    return static_cast<uint8_t>(answer_field(FIELD_FLAG, answer));
}

} // namespace answers

} // namespace kelvor
