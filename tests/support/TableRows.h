// The library's answer tables as the tests walk them: which flag meets which
// row (a column's own row, or the catch-all row where the column does not take
// it), and the trace line and result code that row makes of an answer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/Answers.h"

namespace tablerows {

using kelvor::answers::ANY;
using kelvor::answers::Row;

// A row's message as the engine traces it: its "%#x" filled with `arg`.
inline std::string filled(const char* text, uint32_t arg = 0) {
    std::string out = text ? text : "";
    if (const size_t at = out.find("%#x"); at != std::string::npos) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%#x", arg);
        out.replace(at, 3, hex);
    }
    return out;
}

// The trace line of a row met by an answer, its "%#x" filled with the value
// the row names (`first`, or `second` for a row whose argument is 1). A row
// without a message traces nothing. Rows of column tables trace as errors.
inline std::string traced(const Row& row, uint32_t first = 0, uint32_t second = 0) {
    if (!row.message.text) return "";
    return std::string(row.type == kelvor::TRACE_CALL ? "[API] " : "[ERR] ") +
           filled(row.message.text, row.argument == 1 ? second : first);
}
template <size_t N>
std::string traced(const kelvor::answers::ColumnRow<N>& row, uint32_t first = 0, uint32_t second = 0) {
    if (!row.message.text) return "";
    return "[ERR] " + filled(row.message.text, row.argument == 1 ? second : first);
}

// Whether a row of `table` names `flag` (its catch-all row names none).
template <typename Table> bool names(const Table& table, int flag) {
    return std::any_of(std::begin(table), std::end(table), [&](const auto& row) { return row.flag == flag; });
}

// A flag of an answer and the row of a table that it meets.
template <typename R> struct Meeting {
    uint8_t flag;
    const R* row;
};

namespace detail {

template <typename Table>
using RowOf = std::remove_cvref_t<decltype(*std::begin(std::declval<const Table&>()))>;

// Every row of `table` with its own flag, as `take` has it seen (the row
// itself, or the catch-all row), then the catch-all row with each flag of
// `others` that no row names. The catch-all row is the last and must be met.
template <typename Table, typename Take>
std::vector<Meeting<RowOf<Table>>> meetings(const Table& table, const std::vector<uint8_t>& others,
                                            Take take) {
    using R = RowOf<Table>;
    std::vector<Meeting<R>> out;
    const R& catchAll = *std::prev(std::end(table));
    EXPECT_EQ(catchAll.flag, ANY) << "the last row of a table catches every flag";
    for (const R& row : table) {
        if (row.flag == ANY) continue;
        out.push_back({static_cast<uint8_t>(row.flag), &take(row, catchAll)});
    }
    size_t unnamed = 0;
    for (const uint8_t flag : others) {
        if (names(table, flag)) continue;
        out.push_back({flag, &catchAll});
        ++unnamed;
    }
    EXPECT_GT(unnamed, 0u) << "no flag meets the catch-all row";
    return out;
}

} // namespace detail

// The flags that meet each row of a plain table, `others` for its catch-all row.
template <typename Table> auto meetings(const Table& table, const std::vector<uint8_t>& others) {
    return detail::meetings(
        table, others, [](const auto& row, const auto&) -> const auto& { return row; });
}

// The flags that meet each row of a column table as `column` sees it: a row
// that the column does not take is met by the catch-all row.
template <typename Table>
auto meetings(const Table& table, size_t column, const std::vector<uint8_t>& others) {
    return detail::meetings(
        table, others, [column](const auto& row, const auto& catchAll) -> const auto& {
            return row.in[column] ? row : catchAll;
        });
}

} // namespace tablerows
