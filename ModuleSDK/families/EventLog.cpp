// Event log, clock and user memory: LN counts the module's log records, LR
// uploads and prints them, LD deletes them; TW sets the module's clock and TR
// reads it; ML, MW and MR give the length of the module's free user memory
// area and write and read it as raw bytes.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "families/Run.h"
#include "port/System.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

using answers::ANY;
using sequence::AnswerTable;
using sequence::Sequence;
using sequence::SuccessLine;
using sequence::Transfer;

using answers::no;
using answers::yes;

// Every answer of the family, a column per command.
enum Column : size_t { LN, LR, LD, TW, TR, ML, MW, MR, COLUMNS };
// clang-format off
constexpr answers::ColumnRow<COLUMNS> answer[] = {
    // flag         message                                   code               LN   LR   LD   TW   TR   ML   MW   MR
    {NOT_SUPPORTED, "Invalid arguments\n",                    RES_NOT_SUPPORTED, {no,  yes, no,  no,  no,  no,  no,  no }},
    {NOT_SUPPORTED, "Not supported\n",                        RES_NOT_SUPPORTED, {no,  no,  no,  yes, no,  no,  no,  no }},
    {NOT_SUPPORTED, "Write user memory is not supported\n",   RES_NOT_SUPPORTED, {no,  no,  no,  no,  no,  no,  yes, yes}},
    {SYSTEM_BUSY,   "System is busy\n",                       RES_SYSTEM_BUSY,   {yes, yes, yes, yes, yes, yes, yes, yes}},
    {ANY,           "Unknown error\n",                        RES_UNKNOWN,       {yes, yes, yes, yes, yes, yes, yes, yes}},
};
// clang-format on

constexpr Sequence LN_SEQUENCE{
    .command = packet::cmd::LN,
    .answer = AnswerTable{answer, LN},
    .success =
        SuccessLine{"      Used: %#x Total: %#x\n", {FIELD_PARAM1, "records"}, {FIELD_PARAM2, "capacity"}},
};
constexpr Sequence LR_SEQUENCE{
    .command = packet::cmd::LR,
    .answer = AnswerTable{answer, LR},
    .success = SuccessLine::fields_only({FIELD_PARAM2, "count"}),
};
constexpr Sequence LD_SEQUENCE{
    .command = packet::cmd::LD,
    .answer = AnswerTable{answer, LD},
    .success = SuccessLine{"      Deleted: %#x\n", {FIELD_PARAM1, "deleted"}},
};
constexpr Sequence TW_SEQUENCE{.command = packet::cmd::TW, .answer = AnswerTable{answer, TW}};
constexpr Sequence TR_SEQUENCE{
    .command = packet::cmd::TR,
    .answer = AnswerTable{answer, TR},
    .success = SuccessLine::fields_only({FIELD_PARAM1}, {FIELD_PARAM2}),
};
constexpr Sequence ML_SEQUENCE{
    .command = packet::cmd::ML,
    .answer = AnswerTable{answer, ML},
    .success = SuccessLine{"      Length: %#x\n", {FIELD_PARAM1, "bytes"}},
};
constexpr Sequence MW_SEQUENCE{
    .command = packet::cmd::MW, .transfer = Transfer::Block, .answer = AnswerTable{answer, MW}};
constexpr Sequence MR_SEQUENCE{
    .command = packet::cmd::MR,
    .answer = AnswerTable{answer, MR},
    .success = SuccessLine{"      Data Length: %#x\n", {FIELD_PARAM2, "bytes"}},
};

// The local time of the module's clock as ISO 8601, without a zone: the
// module keeps no zone.
void record_time(outcome::Key name, int year, int month, int day, int hour, int minute, int second) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        outcome::none(name);
        return;
    }
    char iso[64];
    std::snprintf(iso, sizeof iso, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, hour, minute, second);
    outcome::text(name, iso);
}

// A record of the log as the outcome keeps it. Its date bytes are year (from
// 2000), month and day, its time bytes hour, minute and second.
void record_log_entry(const uint8_t* r, size_t i, const char* text) {
    if (!outcome::recording()) return;
    outcome::item_begin("records");
    outcome::value("index", static_cast<int64_t>(i));
    record_time("time", CLOCK_YEAR_MIN + r[2], r[3], r[4], r[5], r[6], r[7]);
    outcome::value("event", r[0]);
    outcome::keyword("event_name", KW_EVENT, r[0]);
    outcome::value("source", r[1]);
    outcome::keyword("source_name", KW_EVENT_SOURCE, r[1]);
    outcome::value("value", packet::get32(r + 8));
    outcome::text("text", text);
    outcome::item_end();
}

// One printed line per record, numbered within this upload from 0. The text
// field is not terminated within the record: at most its four bytes print.
void print_log_records(std::span<const uint8_t> records) {
    const size_t n = records.size() / LOG_RECORD_SIZE;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* r = records.data() + i * LOG_RECORD_SIZE;
        char text[5] = {};
        std::memcpy(text, r + 12, 4);
        trace_more(TRACE_CALL, "      %d:  %02d/%02d/%02d %02d:%02d:%02d (%s) (%s) (%#x) (%s)\n",
                   static_cast<int>(i), r[2], r[3], r[4], r[5], r[6], r[7],
                   keyword_name(KW_EVENT_SOURCE, r[1]), keyword_name(KW_EVENT, r[0]), packet::get32(r + 8),
                   text);
        record_log_entry(r, i, text);
    }
}

constexpr run::Plain LN_RUN{&LN_SEQUENCE, "Get log count"};
constexpr run::Plain ML_RUN{&ML_SEQUENCE, "Read user memory length"};

} // namespace

int get_log_count(uint32_t* used, uint32_t* total) {
    return run::plain(LN_RUN, {.out = {used, total}});
}

int read_log(std::span<uint8_t> buffer, uint32_t start, uint32_t count, uint32_t* records) {
    trace(TRACE_CALL, "Upload log data(LR): %#x %#x\n", start, count);
    uint32_t n = 0;
    if (int rc = sequence::run(LR_SEQUENCE, {.param1 = start, .param2 = count, .out = {&n}}); rc != 0)
        return rc;
    // Never more records into the buffer than it holds, whatever the module announces.
    const uint64_t want = static_cast<uint64_t>(n) * LOG_RECORD_SIZE;
    if (n > count || want > buffer.size()) {
        trace(TRACE_ERROR, "Too many log records: %#x %#x\n", n, count);
        return RES_DATA_ERROR;
    }
    const std::span<uint8_t> data = buffer.first(static_cast<size_t>(want));
    if (int rc = receive_data(data); rc < 0) return rc;
    outcome::list("records");
    print_log_records(data);
    if (records) *records = n;
    return 0;
}

int delete_log(uint32_t argument, uint32_t* deleted) {
    trace(TRACE_CALL, "Delete log data(LD): %#x\n", argument);
    return sequence::run(LD_SEQUENCE, {.param1 = argument, .out = {deleted}});
}

int set_time(int64_t seconds) {
    uint32_t date = 0, time = 0;
    if (seconds == 0) {
        trace(TRACE_CALL, "Initialize Time(TW)\n");
    } else {
        trace(TRACE_CALL, "Set Time(TW): %s", clock_text(seconds).text);
        if (!clock_words(seconds, &date, &time)) {
            trace(TRACE_ERROR, "Invalid Time\n");
            return RES_DATA_ERROR;
        }
    }
    return sequence::run(TW_SEQUENCE, {.param1 = date, .param2 = time});
}

int get_time(int64_t* seconds) {
    trace(TRACE_CALL, "Get Time(TR)\n");
    uint32_t date = 0, time = 0;
    if (int rc = sequence::run(TR_SEQUENCE, {.out = {&date, &time}}); rc != 0) return rc;
    const int64_t t = clock_seconds(date, time);
    if (seconds) *seconds = t;
    if (t < 0)
        trace_more(TRACE_CALL, "      Invalid time\n");
    else
        trace_more(TRACE_CALL, "      %s", clock_text(t).text);
    std::tm tm{};
    if (t >= 0 && port::local_time(static_cast<std::time_t>(t), tm))
        record_time("time", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    else
        outcome::none("time");
    return 0;
}

int get_user_memory_length(uint32_t* length) {
    return run::plain(ML_RUN, {.out = {length}});
}

int write_user_memory(const uint8_t* data, uint32_t offset, uint32_t length) {
    trace(TRACE_CALL, "Write user memory data(MW): %#x %#x\n", offset, length);
    return sequence::run(MW_SEQUENCE, {.param1 = offset, .param2 = length, .data = data, .size = length});
}

int read_user_memory(uint32_t offset, uint32_t length, uint32_t* dataLength) {
    trace(TRACE_CALL, "Read user memory data(MR): %#x %#x\n", offset, length);
    outcome::value("offset", offset);
    return sequence::run(MR_SEQUENCE, {.param1 = offset, .param2 = length, .out = {dataLength}});
}

// ------------------------------------------------------------- run_command

namespace {

// LR: a count of 0 asks for nothing: no trace line, no packet.
int upload_log(const CommandRequest& r, Outcome& out) {
    if (r.param2 == 0) return 0;
    if (constexpr uint32_t most = packet::describe("LR").use("-p2")->most; r.param2 > most)
        return run::refuse(out, HOST_CHECK_REQUESTED, "Err: Log record count %#x is beyond %#x\n", r.param2,
                           most);
    std::vector<uint8_t> records(static_cast<size_t>(r.param2) * LOG_RECORD_SIZE);
    uint32_t n = 0;
    if (const int rc = read_log(records, r.param1, r.param2, &n); rc != 0) return rc;
    records.resize(static_cast<size_t>(n) * LOG_RECORD_SIZE);
    out.output = std::move(records);
    out.outputTaken = true;
    return 0;
}

int write_memory(const CommandRequest& r, Outcome& out) {
    if (!run::input_at_least(r, out, r.param2)) return RES_DATA_ERROR;
    return write_user_memory(run::input_of(r).data(), r.param1, r.param2);
}

// MR: the module sends no more than was asked for; a longer block is not taken.
int read_memory(const CommandRequest& r, Outcome& out) {
    uint32_t length = 0;
    if (const int rc = read_user_memory(r.param1, r.param2, &length); rc != 0 || length == 0) return rc;
    if (length > r.param2 || length > packet::describe("MR").announced.most)
        return run::refuse(out, HOST_CHECK_ANNOUNCED, "Err: Cannot read the user data from the module\n");
    if (const int rc = run::receive_output(out, length); rc != 0)
        return run::host_line(out, HOST_CHECK_NOT_RECEIVED, rc,
                              "Err: Cannot read the user data from the module\n");
    return 0;
}

constexpr run::Registration RUNS[] = {
    {packet::cmd::LN, nullptr, &LN_RUN},
    {packet::cmd::LR, upload_log},
    {packet::cmd::LD,
     [](const CommandRequest& r, Outcome&) {
         uint32_t deleted = 0;
         return delete_log(r.param1, &deleted);
     }},
    {packet::cmd::ML, nullptr, &ML_RUN},
    {packet::cmd::MW, write_memory},
    {packet::cmd::MR, read_memory},
};

} // namespace

std::span<const run::Registration> run::event_log_runs() {
    return RUNS;
}

// ------------------------------------------------------------- run_command of the clock

namespace {

// Param1 0 and Param2 0 initialise the module's clock; any other pair is a
// date and a time in the clock words.
int set_clock(const CommandRequest& r, Outcome& out) {
    if (r.param1 == 0 && r.param2 == 0) return set_time(0);
    const int64_t seconds = clock_seconds(r.param1, r.param2);
    if (seconds <= 0) return run::refuse(out, HOST_CHECK_INVALID, "Err: Invalid Time\n");
    return set_time(seconds);
}

constexpr run::Registration CLOCK_RUNS[] = {
    {packet::cmd::TW, set_clock},
    {packet::cmd::TR,
     [](const CommandRequest&, Outcome&) {
         int64_t seconds = 0;
         return get_time(&seconds);
     }},
};

} // namespace

std::span<const run::Registration> run::clock_runs() {
    return CLOCK_RUNS;
}

} // namespace kelvor
