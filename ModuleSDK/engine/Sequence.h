// Command sequences: one description per command of what follows its command
// packet (an administrator stage, a first answer, the data, the scan waits,
// the final answer and, for scan enrollment, the second scan that the Enroll
// Mode asks for), applied by one routine. The command functions trace their
// call line, fill a request with the values of the call, and run their
// description.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/Answers.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace sequence {

// One answer table as a command applies it: a plain row table, or one column
// of a table whose rows say which commands they belong to.
class AnswerTable {
public:
    constexpr AnswerTable() = default;
    template <size_t K>
    constexpr AnswerTable(const answers::Row (&rows)[K]) : rows_(rows), size_(K), apply_(&apply_rows) {}
    template <size_t N, size_t K>
    constexpr AnswerTable(const answers::ColumnRow<N> (&rows)[K], size_t column)
        : rows_(rows), size_(K), column_(column), apply_(&apply_column<N>) {
        if (column >= N) throw "no such column in the answer table";
    }

    constexpr bool empty() const { return apply_ == nullptr; }
    // Traces the message of the row that matches `flag` (filled with `arg`, or
    // `second` for a row that names it) and returns its code.
    int apply(uint8_t flag, uint32_t arg, uint32_t second = 0) const {
        return apply_(rows_, size_, column_, flag, arg, second);
    }

private:
    using Apply = int (*)(const void* rows, size_t size, size_t column, uint8_t flag, uint32_t arg,
                          uint32_t second);
    static int apply_rows(const void* rows, size_t size, size_t, uint8_t flag, uint32_t arg,
                          uint32_t second) {
        return answers::apply(answers::Table(static_cast<const answers::Row*>(rows), size), flag, arg,
                              second);
    }
    template <size_t N>
    static int apply_column(const void* rows, size_t size, size_t column, uint8_t flag, uint32_t arg,
                            uint32_t second) {
        const std::span<const answers::ColumnRow<N>> table(static_cast<const answers::ColumnRow<N>*>(rows),
                                                           size);
        return answers::apply<N>(table, column, flag, arg, second);
    }

    const void* rows_ = nullptr;
    size_t size_ = 0;
    size_t column_ = 0;
    Apply apply_ = nullptr;
};

// One answer field of a success line and the name its value has in the
// command's outcome.
struct Field {
    int field = -1;
    const char* name = nullptr;
};

// The line traced (bit 0x02, no prefix) when the final answer is SUCCEED, and
// the answer fields that it prints and that the command hands back, in order,
// each with its name. Checked at compile time: one "%#x" per field, no other
// conversion, and every field named, so that no value is printed that the
// outcome lacks.
struct SuccessLine {
    static constexpr int NONE = -1;
    const char* text = nullptr;
    std::array<int, 2> fields{NONE, NONE};
    std::array<outcome::Key, 2> names{};
    // 0: continuation text under bit 0x02; otherwise a line of this type, with its prefix.
    uint32_t type = 0;

    // A line of its own (with the prefix of `lineType`) rather than a continuation.
    static consteval SuccessLine line(uint32_t lineType, const char* t, Field first = {}) {
        SuccessLine s(t, first);
        s.type = lineType;
        return s;
    }
    constexpr SuccessLine() = default;
    consteval SuccessLine(const char* t, Field first = {}, Field second = {})
        : text(t), fields{first.field, second.field}, names{first.name, second.name} {
        const int conversions = answers::hex_conversions(t);
        const int wanted = (first.field != NONE) + (second.field != NONE);
        if (conversions != wanted || (first.field == NONE && second.field != NONE))
            throw "one %#x per field of a success line";
        check_names();
    }
    // Fields handed back without a line: the command prints them in its own
    // way. A field without a name is not a value of the outcome as it stands
    // (a word of packed values): the command records what it makes of it.
    static consteval SuccessLine fields_only(Field first, Field second = {}) {
        SuccessLine line;
        line.fields = {first.field, second.field};
        line.names = {first.name, second.name};
        return line;
    }

private:
    consteval void check_names() const {
        for (size_t i = 0; i < fields.size(); ++i) {
            if ((fields[i] != NONE) != (names[i].name() != nullptr))
                throw "every field of a success line has a name";
        }
    }
};

// How the data of a call travel after the command packet (and after the first answer, if any).
enum class Transfer {
    None,
    Block,      // one data block with its end code
    BlockIfAny, // one data block when the call has data; none after the packet when it has none
    Chunks,     // acknowledged chunks of the call's chunk size
    Raw,        // each template's bytes and an end code straight through the link, unchecked
};

// The second scan of a scan enrollment. In Enroll Modes 0x32 and 0x42 the host
// sends the second step itself (this command, the first packet's Param1, Param2
// 0, ENROLL_CONTINUE); in every mode other than 0x30 the module scans again.
struct SecondScan {
    uint8_t command = 0;
    std::span<const answers::Table> waits{};
    AnswerTable answer{};
    SuccessLine success{};
};

// A flag other than SUCCEED that ends the command the way SUCCEED does: its
// line, its fields handed back, and its own result code (0, or a positive
// value that tells the caller more follows).
struct Accept {
    uint8_t flag = 0;
    SuccessLine success{};
    int code = 0;
};

struct Sequence {
    uint8_t command = 0;
    Transfer transfer = Transfer::None;
    // The data are the image record: never more than IMAGE_RECORD_SIZE bytes.
    bool imageRecord = false;
    // Administrator stage right after the command packet: one answer (a
    // SCAN_SUCCESS before it is skipped); the table's GO_ON row lets it go on.
    answers::Table admin{};
    // First answer, read before the data: SUCCEED goes on, other flags go through the table.
    AnswerTable before{};
    // Scan waits (only when the module sends SCAN_SUCCESS answers), before the answer.
    std::span<const answers::Table> waits{};
    // The answer: SUCCEED succeeds (or leads to the second scan), other flags go through the table.
    AnswerTable answer{};
    SuccessLine success{};
    // Scan enrollment: the Enroll Mode decides whether this second scan follows.
    const SecondScan* second = nullptr;
    // Final-answer flags besides SUCCEED that succeed, looked at before the answer table.
    std::span<const Accept> accepts{};
    // The messages of the answer tables (first and after the second scan) are
    // filled with Param1 of the answer itself instead of the request's value:
    // for commands that request no user ID, the module names the ID it used.
    bool argFromAnswer = false;
    // The success line's fields are handed back whatever the flag of the
    // answer: the module reports its value even when it refuses.
    bool fieldsOnEveryFlag = false;
    // The answer is taken under any command's code: the module may first reply
    // for the command it was working on (see answers::OWN_ANSWER_FOLLOWS).
    bool answerUnderAnyCode = false;
};

// The values of one call.
struct Request {
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;              // bytes of the block, total of the chunks, or bytes of each raw template
    uint32_t chunkSize = 0;         // chunked transfer
    uint32_t count = 1;             // raw transfer: templates of `size` bytes back to back in `data`
    uint32_t arg = 0;               // fills the "%#x" of answer messages
    uint32_t arg2 = 0;              // fills it in rows that name the second value
    std::array<uint32_t*, 2> out{}; // receive the success line's fields, when not null
};

// Sends the command packet and runs the description; returns 0, a result code
// of its tables, or a link-layer code unchanged.
int run(const Sequence& sequence, const Request& request);

} // namespace sequence

} // namespace kelvor
