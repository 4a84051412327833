// Input, output and GPIO ports: OW/OR bind an output port's pulse pattern to a
// module event and read it back, OL lists the events an output port acts on,
// OS sets or clears an output; IW/IR bind an input port to a module function,
// IG reads an input's status; GR/GW read and write a GPIO line's mode and its
// list of 8-byte records, GC disables the GPIO lines and GD restores their
// default configuration.
#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "families/Run.h"
#include "protocol/Commands.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

using answers::ANY;
using sequence::AnswerTable;
using sequence::Sequence;
using sequence::SuccessLine;
using sequence::Transfer;

// GPIO modes decide how a record prints.
namespace gpio_mode = packet::gpio_mode;

using answers::no;
using answers::yes;

// Answers of the OUT and IN port commands and of GC and GD, a column per command.
enum Column : size_t { OW, OR, OL, OS, IW, IR, IG, GC, GD, COLUMNS };
// clang-format off
constexpr answers::ColumnRow<COLUMNS> portAnswer[] = {
    // flag         message                                          code               OW   OR   OL   OS   IW   IR   IG   GC   GD
    {MEMORY_FULL,   "Memory full\n",                                 RES_MEMORY_FULL,   {yes, no,  no,  no,  no,  no,  no,  no,  no }},
    {NOT_FOUND,     "Output port configuration is not found\n",      RES_NOT_FOUND,     {no,  yes, no,  no,  no,  no,  no,  no,  no }},
    {NOT_SUPPORTED, "Output port configuration is not supported\n",  RES_NOT_SUPPORTED, {yes, yes, no,  no,  no,  no,  no,  no,  no }},
    {NOT_SUPPORTED, "Not supported\n",                               RES_NOT_SUPPORTED, {no,  no,  yes, yes, no,  no,  no,  no,  no }},
    {NOT_SUPPORTED, "Input port configuration is not supported\n",   RES_NOT_SUPPORTED, {no,  no,  no,  no,  yes, yes, yes, no,  no }},
    {SYSTEM_BUSY,   "System is busy\n",                              RES_SYSTEM_BUSY,   {yes, yes, yes, yes, yes, yes, yes, yes, yes}},
    {ANY,           "Unknown error\n",                               RES_UNKNOWN,       {yes, yes, yes, yes, yes, yes, yes, yes, yes}},
};
// clang-format on

// GR and GW name the GPIO id in their messages.
constexpr answers::Row gpioAnswer[] = {
    {NOT_SUPPORTED, "Unsupported GPIO id: %#x\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error: %#x\n", RES_UNKNOWN},
};

constexpr Sequence OW_SEQUENCE{.command = packet::cmd::OW, .answer = AnswerTable{portAnswer, OW}};
constexpr Sequence OR_SEQUENCE{.command = packet::cmd::OR,
                               .answer = AnswerTable{portAnswer, OR},
                               .success = SuccessLine::fields_only({FIELD_PARAM1}, {FIELD_PARAM2})};
constexpr Sequence OL_SEQUENCE{
    .command = packet::cmd::OL,
    .answer = AnswerTable{portAnswer, OL},
    .success = SuccessLine{"      Num of Enabled Events: %#x\n", {FIELD_PARAM2, "count"}},
};
constexpr Sequence OS_SEQUENCE{.command = packet::cmd::OS, .answer = AnswerTable{portAnswer, OS}};
constexpr Sequence IW_SEQUENCE{.command = packet::cmd::IW, .answer = AnswerTable{portAnswer, IW}};
constexpr Sequence IR_SEQUENCE{
    .command = packet::cmd::IR,
    .answer = AnswerTable{portAnswer, IR},
    .success = SuccessLine::fields_only({FIELD_PARAM1, "function"}, {FIELD_PARAM2, "value"})};
constexpr Sequence IG_SEQUENCE{.command = packet::cmd::IG,
                               .answer = AnswerTable{portAnswer, IG},
                               .success = SuccessLine::fields_only({FIELD_PARAM1, "state"})};
constexpr Sequence GR_SEQUENCE{.command = packet::cmd::GR,
                               .answer = AnswerTable{gpioAnswer},
                               .success = SuccessLine::fields_only({FIELD_PARAM1}, {FIELD_PARAM2, "count"})};
constexpr Sequence GW_SEQUENCE{
    .command = packet::cmd::GW, .transfer = Transfer::Block, .answer = AnswerTable{gpioAnswer}};
constexpr Sequence GC_SEQUENCE{.command = packet::cmd::GC, .answer = AnswerTable{portAnswer, GC}};
constexpr Sequence GD_SEQUENCE{.command = packet::cmd::GD, .answer = AnswerTable{portAnswer, GD}};

// One GPIO record printed as a line of the given type, then its raw words.
void print_gpio_record(uint16_t type, const uint8_t* record) {
    const uint16_t w0 = packet::get16(record), w1 = packet::get16(record + 2), w2 = packet::get16(record + 4),
                   w3 = packet::get16(record + 6);
    trace_more(TRACE_CALL, "      %s: ", keyword_name(KW_GPIO_MODE, type));
    switch (type) {
    case gpio_mode::DISABLED: trace_more(TRACE_CALL, "Disabled\n"); break;
    case gpio_mode::INPUT:
        trace_more(TRACE_CALL, "(%s) (%s) (%#x)\n", keyword_name(KW_GPIO_INPUT_FUNCTION, w0),
                   keyword_name(KW_GPIO_INPUT_ACTIVATION, w1), w2);
        break;
    case gpio_mode::OUTPUT:
        trace_more(TRACE_CALL, "(%s) (%s) (%#x) (%#x)\n", keyword_name(KW_GPIO_OUTPUT_EVENT, w0),
                   keyword_name(KW_GPIO_OUTPUT_LEVEL, w1), w2, w3);
        break;
    case gpio_mode::WIEGAND_INPUT:
    case gpio_mode::WIEGAND_OUTPUT: trace_more(TRACE_CALL, "%#x %#x %#x %#x\n", w0, w1, w2, w3); break;
    default: trace_more(TRACE_CALL, "Unknown\n"); break;
    }
    trace(TRACE_CALL, "%#x %#x %#x %#x\n", w0, w1, w2, w3);
    outcome::item_begin("records");
    outcome::keyword("type", KW_GPIO_MODE, type);
    const uint16_t words[] = {w0, w1, w2, w3};
    for (uint16_t w : words) outcome::append("words", w);
    switch (type) {
    case gpio_mode::INPUT:
        outcome::keyword("function", KW_GPIO_INPUT_FUNCTION, w0);
        outcome::keyword("activation", KW_GPIO_INPUT_ACTIVATION, w1);
        break;
    case gpio_mode::OUTPUT:
        outcome::keyword("event", KW_GPIO_OUTPUT_EVENT, w0);
        outcome::keyword("level", KW_GPIO_OUTPUT_LEVEL, w1);
        break;
    default: break;
    }
    outcome::item_end();
}

constexpr run::Plain GC_RUN{&GC_SEQUENCE, "Disable GPIO"};
constexpr run::Plain GD_RUN{&GD_SEQUENCE, "Reset GPIO to default configuration"};

} // namespace

int write_out_port_config(uint16_t tDelay, uint8_t tCount, uint8_t event, uint16_t tHigh, uint16_t tLow,
                          uint8_t port) {
    trace(TRACE_CALL, "Write OUT port Configuration(OW): %#x %#x %s %#x %#x %s\n", tDelay, tCount,
          keyword_name(KW_EVENT, event), tHigh, tLow, keyword_name(KW_OUTPUT_PORT, port));
    constexpr const packet::Command& row = packet::describe("OW");
    const uint32_t param1 = packet::pack(row.fields_of("-p1"), {tDelay, tCount, event});
    const uint32_t param2 = packet::pack(row.fields_of("-p2"), {tHigh, tLow});
    return sequence::run(OW_SEQUENCE, {.param1 = param1, .param2 = param2, .flag = port});
}

int read_out_port_config(uint8_t event, uint8_t port, uint16_t* tDelay, uint8_t* tCount, uint16_t* tHigh,
                         uint16_t* tLow) {
    trace(TRACE_CALL, "Read OUT port Configuration(OR): %s %s\n", keyword_name(KW_EVENT, event),
          keyword_name(KW_OUTPUT_PORT, port));
    uint32_t timing = 0, pulse = 0;
    if (int rc = sequence::run(OR_SEQUENCE, {.param1 = event, .flag = port, .out = {&timing, &pulse}});
        rc != 0)
        return rc;
    // The answer's parameters are laid out as OW's.
    using packet::field, packet::unpack, packet::fields::OUT_PATTERN, packet::fields::HIGH_LOW;
    const auto delay = static_cast<uint16_t>(unpack(field(OUT_PATTERN, "delay"), timing));
    const auto count = static_cast<uint8_t>(unpack(field(OUT_PATTERN, "count"), timing));
    const auto high = static_cast<uint16_t>(unpack(field(HIGH_LOW, "high"), pulse));
    const auto low = static_cast<uint16_t>(unpack(field(HIGH_LOW, "low"), pulse));
    trace_more(TRACE_CALL, "      T_DELAY: %#x T_COUNT: %#x T_HIGH:%#x T_LOW: %#x\n", delay, count, high,
               low);
    outcome::value("t_delay", delay);
    outcome::value("t_count", count);
    outcome::value("t_high", high);
    outcome::value("t_low", low);
    if (tDelay) *tDelay = delay;
    if (tCount) *tCount = count;
    if (tHigh) *tHigh = high;
    if (tLow) *tLow = low;
    return 0;
}

int read_enabled_events(uint8_t port, uint32_t* count) {
    trace(TRACE_CALL, "Read enabled event list(OL): %s\n", keyword_name(KW_OUTPUT_PORT, port));
    return sequence::run(OL_SEQUENCE, {.flag = port, .out = {count}});
}

int get_enabled_events(std::span<uint8_t> events) {
    trace(TRACE_CALL, "Get enabled event list: %#x\n", static_cast<uint32_t>(events.size()));
    if (int rc = receive_data(events); rc < 0) return rc;
    outcome::list("events");
    for (uint8_t event : events) {
        trace_more(TRACE_CALL, "      %s\n", keyword_name(KW_EVENT, event));
        outcome::append_text("events", keyword_name(KW_EVENT, event));
    }
    return 0;
}

int set_output_port(uint8_t port, uint32_t action) {
    trace(TRACE_CALL, "Set output port(OS): %s %s\n", keyword_name(KW_OUTPUT_PORT, port),
          keyword_name(KW_OUTPUT_STATE, static_cast<int>(action)));
    return sequence::run(OS_SEQUENCE, {.param1 = action, .flag = port});
}

int write_in_port_config(uint32_t function, uint32_t value, uint8_t port) {
    trace(TRACE_CALL, "Write IN port Configuration(IW): %s %#x %s\n",
          keyword_name(KW_INPUT_FUNCTION, static_cast<int>(function)), value,
          keyword_name(KW_INPUT_PORT, port));
    return sequence::run(IW_SEQUENCE, {.param1 = function, .param2 = value, .flag = port});
}

int read_in_port_config(uint8_t port, uint32_t* function, uint32_t* value) {
    trace(TRACE_CALL, "Read IN port Configuration(IR): %s\n", keyword_name(KW_INPUT_PORT, port));
    uint32_t f = 0, v = 0;
    if (int rc = sequence::run(IR_SEQUENCE, {.flag = port, .out = {&f, &v}}); rc != 0) return rc;
    trace_more(TRACE_CALL, "      %s %#x\n", keyword_name(KW_INPUT_FUNCTION, static_cast<int>(f)), v);
    outcome::keyword("function_name", KW_INPUT_FUNCTION, static_cast<int>(f));
    if (function) *function = f;
    if (value) *value = v;
    return 0;
}

int read_in_port_status(uint8_t port, uint32_t handling, uint32_t* status) {
    trace(TRACE_CALL, "Read IN port staus(IG): %s %s\n", keyword_name(KW_INPUT_PORT, port),
          keyword_name(KW_INPUT_READ_MODE, static_cast<int>(handling)));
    uint32_t s = 0;
    if (int rc = sequence::run(IG_SEQUENCE, {.param1 = handling, .flag = port, .out = {&s}}); rc != 0)
        return rc;
    trace_more(TRACE_CALL, "      %s\n", keyword_name(KW_INPUT_STATE, static_cast<int>(s)));
    outcome::keyword("state_name", KW_INPUT_STATE, static_cast<int>(s));
    if (status) *status = s;
    return 0;
}

int read_gpio_config(uint16_t id, uint16_t* mode, uint32_t* count) {
    trace(TRACE_CALL, "Read GPIO configuration(GR): %#x\n", id);
    uint32_t p1 = 0, n = 0;
    if (int rc = sequence::run(GR_SEQUENCE, {.param1 = id, .arg = id, .out = {&p1, &n}}); rc != 0) return rc;
    const auto m =
        static_cast<uint16_t>(packet::unpack(packet::field(packet::fields::GPIO_MODE, "mode"), p1));
    trace_more(TRACE_CALL, "      GPIO %#x: %s %#x\n", id, keyword_name(KW_GPIO_MODE, m), n);
    outcome::value("gpio", id);
    outcome::value("mode", m);
    outcome::keyword("mode_name", KW_GPIO_MODE, m);
    if (mode) *mode = m;
    if (count) *count = n;
    return 0;
}

int list_gpio_records(uint16_t mode, std::span<uint8_t> records) {
    if (int rc = receive_data(records); rc < 0) return rc;
    const size_t count = records.size() / GPIO_RECORD_SIZE;
    for (size_t i = 0; i < count; ++i) {
        // A shared line has one input record followed by its output records.
        uint16_t type = mode;
        if (mode == gpio_mode::SHARED) type = i == 0 ? gpio_mode::INPUT : gpio_mode::OUTPUT;
        print_gpio_record(type, records.data() + i * GPIO_RECORD_SIZE);
    }
    return 0;
}

int write_gpio_config(uint16_t id, uint16_t mode, uint32_t count, const uint8_t* records) {
    trace(TRACE_CALL, "Write GPIO configuration(GW): %#x %#x %#x\n", id, mode, count);
    const uint64_t size = static_cast<uint64_t>(count) * GPIO_RECORD_SIZE;
    if (size > UINT32_MAX) {
        trace(TRACE_ERROR, "Too many GPIO records: %#x\n", count);
        return RES_DATA_ERROR;
    }
    if (count > 0 && !records) {
        trace(TRACE_ERROR, "No GPIO records: %#x\n", count);
        return RES_DATA_ERROR;
    }
    static constexpr uint8_t none[1] = {};
    return sequence::run(GW_SEQUENCE,
                         {.param1 = packet::pack(packet::describe("GW").fields_of("-p1"), {id, mode}),
                          .param2 = count,
                          .data = count > 0 ? records : none,
                          .size = static_cast<uint32_t>(size),
                          .arg = id});
}

int disable_gpio() {
    return run::plain(GC_RUN);
}

int reset_gpio() {
    return run::plain(GD_RUN);
}

// ------------------------------------------------------------- run_command

namespace {

int write_out_port(const CommandRequest& r, Outcome&) {
    using packet::field, packet::unpack, packet::fields::OUT_PATTERN, packet::fields::HIGH_LOW;
    return write_out_port_config(static_cast<uint16_t>(unpack(field(OUT_PATTERN, "delay"), r.param1)),
                                 static_cast<uint8_t>(unpack(field(OUT_PATTERN, "count"), r.param1)),
                                 static_cast<uint8_t>(unpack(field(OUT_PATTERN, "event"), r.param1)),
                                 static_cast<uint16_t>(unpack(field(HIGH_LOW, "high"), r.param2)),
                                 static_cast<uint16_t>(unpack(field(HIGH_LOW, "low"), r.param2)), r.flag);
}

int list_enabled_events(const CommandRequest& r, Outcome& out) {
    uint32_t count = 0;
    if (const int rc = read_enabled_events(r.flag, &count); rc != 0 || count == 0) return rc;
    if (constexpr uint32_t most = packet::describe("OL").announced.most; count > most)
        return run::refuse(out, HOST_CHECK_ANNOUNCED, "Err: Enabled event count %#x is beyond %#x\n", count,
                           most);
    out.output.assign(count, 0);
    const int rc = get_enabled_events(out.output);
    out.outputTaken = rc == 0;
    return rc;
}

int read_gpio(const CommandRequest& r, Outcome& out) {
    uint16_t mode = 0;
    uint32_t count = 0;
    if (const int rc = read_gpio_config(static_cast<uint16_t>(r.param1), &mode, &count);
        rc != 0 || count == 0)
        return rc;
    if (constexpr uint32_t most = packet::describe("GR").announced.most; count > most)
        return run::refuse(out, HOST_CHECK_ANNOUNCED, "Err: GPIO record count %#x is beyond %#x\n", count,
                           most);
    out.output.assign(static_cast<size_t>(count) * GPIO_RECORD_SIZE, 0);
    const int rc = list_gpio_records(mode, out.output);
    out.outputTaken = rc == 0;
    return rc;
}

int write_gpio(const CommandRequest& r, Outcome& out) {
    if (!run::input_at_least(r, out, static_cast<uint64_t>(r.param2) * GPIO_RECORD_SIZE))
        return RES_DATA_ERROR;
    using packet::field, packet::unpack, packet::fields::GPIO_MODE;
    return write_gpio_config(static_cast<uint16_t>(unpack(field(GPIO_MODE, "gpio"), r.param1)),
                             static_cast<uint16_t>(unpack(field(GPIO_MODE, "mode"), r.param1)), r.param2,
                             run::input_of(r).data());
}

constexpr run::Registration RUNS[] = {
    {packet::cmd::OW, write_out_port},
    {packet::cmd::OR,
     [](const CommandRequest& r, Outcome&) {
         uint16_t delay = 0, high = 0, low = 0;
         uint8_t count = 0;
         return read_out_port_config(static_cast<uint8_t>(r.param1), r.flag, &delay, &count, &high, &low);
     }},
    {packet::cmd::OL, list_enabled_events},
    {packet::cmd::OS, [](const CommandRequest& r, Outcome&) { return set_output_port(r.flag, r.param1); }},
    {packet::cmd::IW,
     [](const CommandRequest& r, Outcome&) { return write_in_port_config(r.param1, r.param2, r.flag); }},
    {packet::cmd::IR,
     [](const CommandRequest& r, Outcome&) {
         uint32_t function = 0, value = 0;
         return read_in_port_config(r.flag, &function, &value);
     }},
    {packet::cmd::IG,
     [](const CommandRequest& r, Outcome&) {
         uint32_t status = 0;
         return read_in_port_status(r.flag, r.param1, &status);
     }},
    {packet::cmd::GR, read_gpio},
    {packet::cmd::GW, write_gpio},
    {packet::cmd::GC, nullptr, &GC_RUN},
    {packet::cmd::GD, nullptr, &GD_RUN},
};

} // namespace

std::span<const run::Registration> run::ports_runs() {
    return RUNS;
}

} // namespace kelvor
