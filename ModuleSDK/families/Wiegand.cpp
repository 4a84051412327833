// The Wiegand interface: the basic configuration of the input and output ports
// (WW, WR), the input as the module read it (WG, WGX), the output (WS, WSX),
// the extended format definition (WWX, WRX), default values of format fields
// (WFW, WFR), the I/O wiring (WPW, WPR), and the mappings of input values to
// module functions, for the Wiegand input and the smart-card reader (WM, WL, WC).
#include "families/Wiegand.h"

#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "engine/Tables.h"
#include "families/Run.h"
#include "protocol/Commands.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

using answers::GO_ON;
using sequence::Sequence;
using sequence::SuccessLine;
namespace cmd = packet::cmd;

// Both values of the answer go back to the caller, who prints them its own way.
constexpr SuccessLine bothFields = SuccessLine::fields_only({FIELD_PARAM1}, {FIELD_PARAM2});

constexpr Sequence WW{.command = cmd::WW, .answer = wiegand::configAnswer};
constexpr Sequence WR{.command = cmd::WR, .answer = wiegand::configAnswer, .success = bothFields};
constexpr Sequence WG{.command = cmd::WG, .answer = wiegand::inputAnswer, .success = bothFields};
constexpr Sequence WS{.command = cmd::WS, .answer = answers::busyOrUnknown};
constexpr Sequence WM_WIEGAND{.command = cmd::WM, .answer = wiegand::wiegandMappingAnswer};
constexpr Sequence WM_CARD{.command = cmd::WM, .answer = wiegand::cardMappingAnswer};
constexpr Sequence WL{.command = cmd::WL, .answer = answers::busyOrUnknown, .success = bothFields};
constexpr Sequence WC{.command = cmd::WC, .answer = answers::busyOrUnknown};
constexpr Sequence WWX{
    .command = cmd::WWX, .transfer = sequence::Transfer::BlockIfAny, .answer = wiegand::formatWriteAnswer};
constexpr Sequence WRX{.command = cmd::WRX, .answer = wiegand::notConfiguredAnswer, .success = bothFields};
// A new input is announced when it arrives; a latched one is there already.
constexpr Sequence WGX_NEW{.command = cmd::WGX,
                           .waits = answers::scanWaits,
                           .answer = wiegand::stringInputAnswer,
                           .success = bothFields};
constexpr Sequence WGX_LATCHED{
    .command = cmd::WGX, .answer = wiegand::stringInputAnswer, .success = bothFields};
constexpr Sequence WSX{.command = cmd::WSX, .answer = wiegand::notConfiguredAnswer};
constexpr Sequence WFW{.command = cmd::WFW, .answer = wiegand::fieldWriteAnswer};
constexpr Sequence WFR{.command = cmd::WFR,
                       .answer = wiegand::fieldReadAnswer,
                       .success = SuccessLine::fields_only({FIELD_PARAM1})};
constexpr Sequence WPW{.command = cmd::WPW, .answer = wiegand::ioWriteAnswer};
constexpr Sequence WPR{.command = cmd::WPR, .answer = wiegand::notConfiguredAnswer, .success = bothFields};

const char* name_of(int category, uint32_t value) {
    return keyword_name(category, static_cast<int>(value));
}

int set_mapping(uint8_t interface, uint32_t function, uint32_t value) {
    return sequence::run(interface == MAPPING_CARD ? WM_CARD : WM_WIEGAND,
                         {.param1 = function, .param2 = value, .flag = interface});
}

int list_mappings(uint8_t interface, uint32_t* count, uint32_t* dataSize) {
    uint32_t n = 0;
    uint32_t size = 0;
    if (int rc = sequence::run(WL, {.flag = interface, .out = {&n, &size}}); rc != GO_ON) return rc;
    if (count) *count = n;
    if (dataSize) *dataSize = size;
    trace(TRACE_CALL, "Num of mapping: %#x Data Size: %#x\n", n, size);
    outcome::value("mappings", n);
    outcome::value("data_size", size);
    return 0;
}

} // namespace

int write_wiegand_config(uint8_t port, const WiegandConfig& c) {
    trace(TRACE_CALL, "Write Wiegand Configuration(WW): %s %#x %#x %s %#x\n", name_of(KW_WIEGAND_PORT, port),
          c.fcBits, c.format, name_of(KW_WIEGAND_FUNCTION, c.function), c.fcCode);
    return sequence::run(WW, {.param1 = wiegand_config_param1(c), .param2 = c.fcCode, .flag = port});
}

int read_wiegand_config(uint8_t port, WiegandConfig* out) {
    trace(TRACE_CALL, "Read Wiegand Configuration(WR): %s\n", name_of(KW_WIEGAND_PORT, port));
    uint32_t p1 = 0;
    uint32_t p2 = 0;
    if (int rc = sequence::run(WR, {.flag = port, .out = {&p1, &p2}}); rc != GO_ON) return rc;
    const WiegandConfig c = wiegand_config_of(p1, p2);
    if (out) *out = c;
    trace_more(TRACE_CALL, "      FC bits: %#x Format: %#x Function: %s FC Code: %#x\n", c.fcBits, c.format,
               name_of(KW_WIEGAND_FUNCTION, c.function), c.fcCode);
    outcome::keyword("port", KW_WIEGAND_PORT, static_cast<int>(port));
    outcome::value("fc_bits", c.fcBits);
    outcome::value("format", c.format);
    outcome::value("function", c.function);
    outcome::keyword("function_name", KW_WIEGAND_FUNCTION, static_cast<int>(c.function));
    outcome::value("fc_code", c.fcCode);
    return 0;
}

int get_wiegand_input(uint32_t statusHandling, uint32_t* id, uint32_t* facilityCode) {
    trace(TRACE_CALL, "Get Wiegand Input(WG): %s\n", name_of(KW_WIEGAND_STATUS, statusHandling));
    uint32_t value = 0;
    uint32_t facility = 0;
    if (int rc = sequence::run(WG, {.param1 = statusHandling, .out = {&value, &facility}}); rc != GO_ON)
        return rc;
    if (id) *id = value;
    if (facilityCode) *facilityCode = facility;
    trace_more(TRACE_CALL, "      ID: %#x Facility Code: %#x\n", value, facility);
    outcome::value("id", value);
    outcome::value("facility_code", facility);
    return 0;
}

int set_wiegand_output(uint32_t id) {
    trace(TRACE_CALL, "Set Wiegand Output(WS): %#x\n", id);
    return sequence::run(WS, {.param1 = id});
}

int set_wiegand_mapping(uint32_t function, uint32_t value) {
    trace(TRACE_CALL, "Set Wiegand Mapping(WM): %s %#x\n", name_of(KW_INPUT_FUNCTION, function), value);
    return set_mapping(MAPPING_WIEGAND, function, value);
}

int list_wiegand_mappings(uint32_t* count, uint32_t* dataSize) {
    trace(TRACE_CALL, "List Wiegand Mapping(WL)\n");
    return list_mappings(MAPPING_WIEGAND, count, dataSize);
}

int clear_wiegand_mappings() {
    trace(TRACE_CALL, "Clear Wiegand Mapping(WC)\n");
    return sequence::run(WC, {.flag = MAPPING_WIEGAND});
}

int set_card_mapping(uint32_t function, uint32_t value) {
    trace(TRACE_CALL, "Set Smartcard Mapping(WM): %s %#x\n", name_of(KW_INPUT_FUNCTION, function), value);
    return set_mapping(MAPPING_CARD, function, value);
}

int list_card_mappings(uint32_t* count, uint32_t* dataSize) {
    trace(TRACE_CALL, "List Smartcard Mapping(WL)\n");
    return list_mappings(MAPPING_CARD, count, dataSize);
}

int clear_card_mappings() {
    trace(TRACE_CALL, "Clear Smartcard Mapping(WC)\n");
    return sequence::run(WC, {.flag = MAPPING_CARD});
}

int write_wiegand_format(uint16_t pulseWidth, uint16_t pulseInterval, uint8_t format, uint32_t length,
                         const uint8_t* data) {
    trace(TRACE_CALL, "Write Wiegand Configuration Extended(WWX): %s %d usec %d usec\n",
          name_of(KW_WIEGAND_FORMAT, format), pulseWidth, pulseInterval);
    if (length > 0 && !data) {
        // A packet that announces data must be followed by them.
        trace(TRACE_ERROR, "No format data to send\n");
        return RES_NOT_SUPPORTED;
    }
    return sequence::run(WWX, {.param1 = wiegand_pulse_param1(pulseWidth, pulseInterval),
                               .param2 = length,
                               .flag = format,
                               .data = data,
                               .size = length});
}

int read_wiegand_format(WiegandFormat* out) {
    trace(TRACE_CALL, "Read Wiegand Configuration Extended(WRX)\n");
    uint32_t p1 = 0;
    uint32_t p2 = 0;
    if (int rc = sequence::run(WRX, {.out = {&p1, &p2}}); rc != GO_ON) return rc;
    const WiegandFormat f = wiegand_format_of(p1, p2);
    if (out) *out = f;
    trace(TRACE_CALL, "Format: %s Width: %d usec Interval: %d usec Size: %u bytes\n",
          name_of(KW_WIEGAND_FORMAT, f.format), f.pulseWidth, f.pulseInterval, f.dataSize);
    outcome::value("format", f.format);
    outcome::keyword("format_name", KW_WIEGAND_FORMAT, static_cast<int>(f.format));
    outcome::value("pulse_width_us", f.pulseWidth);
    outcome::value("pulse_interval_us", f.pulseInterval);
    outcome::value("data_size", f.dataSize);
    return 0;
}

int read_wiegand_input(uint32_t statusHandling, uint8_t latched, WiegandString* out) {
    trace(TRACE_CALL, "Read Wiegand Input(WGX): ");
    trace_more(TRACE_CALL,
               statusHandling == 0 ? "[Clear status after read] " : "[Remain status after read] ");
    trace_more(TRACE_CALL, latched == 0 ? "[Read new input]\n" : "[Read latched input]\n");
    WiegandString s{};
    if (int rc = sequence::run(latched == 0 ? WGX_NEW : WGX_LATCHED,
                               {.param1 = statusHandling, .flag = latched, .out = {&s.word1, &s.word2}});
        rc != GO_ON)
        return rc;
    if (out) *out = s;
    trace(TRACE_CALL, "Wiegand String: %#08x %08x\n", s.word1, s.word2);
    outcome::value("word1", s.word1);
    outcome::value("word2", s.word2);
    return 0;
}

int set_wiegand_output_string(const WiegandString& s) {
    trace(TRACE_CALL, "Set Wiegand Output(WSX): %#08x %08x\n", s.word1, s.word2);
    return sequence::run(WSX, {.param1 = s.word1, .param2 = s.word2});
}

int set_field_default(uint32_t index, uint32_t value, uint8_t clear) {
    trace(TRACE_CALL, "Set Default Value of a Field(WFW): %u %#x ", index, value);
    trace_more(TRACE_CALL, clear ? "Clear\n" : "\n");
    return sequence::run(WFW, {.param1 = value, .param2 = index, .flag = clear});
}

int get_field_default(uint32_t index, uint32_t* value) {
    trace(TRACE_CALL, "Get Default Value of a Field(WFR): %u\n", index);
    uint32_t v = 0;
    if (int rc = sequence::run(WFR, {.param2 = index, .out = {&v, nullptr}}); rc != GO_ON) return rc;
    if (value) *value = v;
    trace(TRACE_CALL, "Default Value: %#x\n", v);
    outcome::value("index", index);
    outcome::value("value", v);
    return 0;
}

int set_wiegand_io(const WiegandIo& io) {
    trace(TRACE_CALL, "Set Wiegand I/O Setting:  %#x %#x %#x\n", io.input, io.output, io.option);
    return sequence::run(WPW, {.param1 = wiegand_io_param1(io.input, io.output), .param2 = io.option});
}

int get_wiegand_io(WiegandIo* out) {
    trace(TRACE_CALL, "Get Wiegand I/O Setting\n");
    uint32_t p1 = 0;
    uint32_t option = 0;
    if (int rc = sequence::run(WPR, {.out = {&p1, &option}}); rc != GO_ON) return rc;
    // The answer's Param1 is laid out as WPW's.
    using packet::field, packet::unpack, packet::fields::PORT_MAP;
    const WiegandIo io{static_cast<uint16_t>(unpack(field(PORT_MAP, "input"), p1)),
                       static_cast<uint16_t>(unpack(field(PORT_MAP, "output"), p1)), option};
    if (out) *out = io;
    trace(TRACE_CALL, "Input: %#x Output: %#x Option: %#x\n", io.input, io.output, io.option);
    outcome::value("input", io.input);
    outcome::value("output", io.output);
    outcome::value("option", io.option);
    return 0;
}

// ------------------------------------------------------------- run_command

namespace {

bool card_variant(const CommandRequest& r) {
    return r.flag == MAPPING_CARD;
}

// The list itself is laid out as the module likes: received as it comes.
int list_mappings(const CommandRequest& r, Outcome& out) {
    uint32_t count = 0, size = 0;
    const int rc = card_variant(r) ? list_card_mappings(&count, &size) : list_wiegand_mappings(&count, &size);
    if (rc != 0 || size == 0) return rc;
    if (constexpr uint32_t most = packet::describe("WL").announced.most; size > most)
        return run::refuse(out, HOST_CHECK_ANNOUNCED, "Err: Mapping data of %#x bytes exceed %#x bytes\n",
                           size, most);
    return run::receive_output(out, size);
}

// Formats 0 and 1 need no definition; the others send -p2 bytes of it.
int write_format(const CommandRequest& r, Outcome& out) {
    using packet::field, packet::unpack, packet::fields::PULSE;
    const auto width = static_cast<uint16_t>(unpack(field(PULSE, "pulse_width"), r.param1));
    const auto interval = static_cast<uint16_t>(unpack(field(PULSE, "pulse_interval"), r.param1));
    if (!r.input) return write_wiegand_format(width, interval, r.flag, 0, nullptr);
    if (!run::input_at_least(r, out, r.param2)) return RES_DATA_ERROR;
    return write_wiegand_format(width, interval, r.flag, r.param2, run::input_of(r).data());
}

int read_format(const CommandRequest&, Outcome& out) {
    WiegandFormat format;
    if (const int rc = read_wiegand_format(&format); rc != 0 || format.dataSize == 0) return rc;
    if (constexpr uint32_t most = packet::describe("WRX").announced.most; format.dataSize > most)
        return run::refuse(out, HOST_CHECK_ANNOUNCED, "Err: Format data of %#x bytes exceed %#x bytes\n",
                           format.dataSize, most);
    return run::receive_output(out, format.dataSize);
}

constexpr run::Registration RUNS[] = {
    {cmd::WW, [](const CommandRequest& r,
                 Outcome&) { return write_wiegand_config(r.flag, wiegand_config_of(r.param1, r.param2)); }},
    {cmd::WR,
     [](const CommandRequest& r, Outcome&) {
         WiegandConfig config;
         return read_wiegand_config(r.flag, &config);
     }},
    {cmd::WG,
     [](const CommandRequest& r, Outcome&) {
         uint32_t id = 0, facility = 0;
         return get_wiegand_input(r.param1, &id, &facility);
     }},
    {cmd::WS, [](const CommandRequest& r, Outcome&) { return set_wiegand_output(r.param1); }},
    {cmd::WM,
     [](const CommandRequest& r, Outcome&) {
         return card_variant(r) ? set_card_mapping(r.param1, r.param2)
                                : set_wiegand_mapping(r.param1, r.param2);
     }},
    {cmd::WL, list_mappings},
    {cmd::WC, [](const CommandRequest& r,
                 Outcome&) { return card_variant(r) ? clear_card_mappings() : clear_wiegand_mappings(); }},
    {cmd::WWX, write_format},
    {cmd::WRX, read_format},
    {cmd::WGX,
     [](const CommandRequest& r, Outcome&) {
         WiegandString s;
         return read_wiegand_input(r.param1, r.flag, &s);
     }},
    {cmd::WSX,
     [](const CommandRequest& r, Outcome&) {
         return set_wiegand_output_string({r.param1, r.param2});
     }},
    {cmd::WFW,
     [](const CommandRequest& r, Outcome&) { return set_field_default(r.param2, r.param1, r.flag); }},
    {cmd::WFR,
     [](const CommandRequest& r, Outcome&) {
         uint32_t value = 0;
         return get_field_default(r.param2, &value);
     }},
    {cmd::WPW,
     [](const CommandRequest& r, Outcome&) {
         using packet::field, packet::unpack, packet::fields::PORT_MAP;
         return set_wiegand_io({static_cast<uint16_t>(unpack(field(PORT_MAP, "input"), r.param1)),
                                static_cast<uint16_t>(unpack(field(PORT_MAP, "output"), r.param1)),
                                r.param2});
     }},
    {cmd::WPR,
     [](const CommandRequest&, Outcome&) {
         WiegandIo io;
         return get_wiegand_io(&io);
     }},
};

} // namespace

std::span<const run::Registration> run::wiegand_runs() {
    return RUNS;
}

} // namespace kelvor
