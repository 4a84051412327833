// The Wiegand interface: the basic configuration of the input and output ports
// (WW, WR), the input as the module read it (WG, WGX), the output (WS, WSX),
// the extended format definition (WWX, WRX), default values of format fields
// (WFW, WFR), the I/O wiring (WPW, WPR), and the mappings of input values to
// module functions, for the Wiegand input and the smart-card reader (WM, WL, WC).
#include "engine/Answers.h"
#include "ModuleSDK.h"

namespace kelvor {

namespace {

using answers::ANY;
using answers::exchange;
using answers::GO_ON;
using answers::receive_final;
using answers::Row;
namespace cmd = packet::cmd;

// Each command's answers other than SUCCEED; every table ends with the busy and
// catch-all rows all commands share.
// clang-format off
constexpr Row plainAnswer[] = {
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row configAnswer[] = {
    {NOT_SUPPORTED, "Wiegand configuration is not supported\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row inputAnswer[] = {
    {NOT_FOUND, "Not found\n", RES_NOT_FOUND},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row wiegandMappingAnswer[] = {
    {MEMORY_FULL, "Wiegand mapping is limited to 16. No more mapping.\n", RES_MEMORY_FULL},
    {NOT_SUPPORTED, "The input function is not supported\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row cardMappingAnswer[] = {
    {MEMORY_FULL, "Smart Card mapping is limited to 16. No more mapping.\n", RES_MEMORY_FULL},
    {NOT_SUPPORTED, "The input function is not supported\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row formatWriteAnswer[] = {
    {NOT_SUPPORTED, "Wiegand format is inavlid\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row notConfiguredAnswer[] = {
    {NOT_SUPPORTED, "Wiegand format is not configured\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row stringInputAnswer[] = {
    {NOT_FOUND, "Wiegand input is not latched\n", RES_NOT_FOUND},
    {NOT_SUPPORTED, "Wiegand format is not configured\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row fieldWriteAnswer[] = {
    {NOT_SUPPORTED, "Wiegand format is not configured nor invalid index\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row fieldReadAnswer[] = {
    {NOT_FOUND, "Default value is not defined\n", RES_NOT_FOUND},
    {NOT_SUPPORTED, "Wiegand format is not configured\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr Row ioWriteAnswer[] = {
    {NOT_SUPPORTED, "Wiegand format is not configured nor invalid port setting\n", RES_NOT_SUPPORTED},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
// clang-format on

// The wait for a new input, read before the answer when the module sends SCAN_SUCCESS answers.
constexpr Row newInputWait[] = {{SCAN_SUCCESS, nullptr, GO_ON}, {ANY, "Scan failed\n", RES_SCAN_FAILED}};

const char* name_of(int category, uint32_t value) {
    return keyword_name(category, static_cast<int>(value));
}

int set_mapping(uint8_t interface, uint32_t function, uint32_t value) {
    return exchange(cmd::WM, function, value, interface,
                    interface == MAPPING_CARD ? answers::Table(cardMappingAnswer) : wiegandMappingAnswer);
}

int list_mappings(uint8_t interface, uint32_t* count, uint32_t* dataSize) {
    AnswerPacket answer{};
    if (int rc = exchange(cmd::WL, 0, 0, interface, plainAnswer, answer); rc != GO_ON) return rc;
    const uint32_t n = answer_field(FIELD_PARAM1, answer);
    const uint32_t size = answer_field(FIELD_PARAM2, answer);
    if (count) *count = n;
    if (dataSize) *dataSize = size;
    trace(TRACE_CALL, "Num of mapping: %#x Data Size: %#x\n", n, size);
    return 0;
}

} // namespace

int write_wiegand_config(uint8_t port, const WiegandConfig& c) {
    trace(TRACE_CALL, "Write Wiegand Configuration(WW): %s %#x %#x %s %#x\n", name_of(KW_WIEGAND_PORT, port),
          c.fcBits, c.format, name_of(KW_WIEGAND_FUNCTION, c.function), c.fcCode);
    return exchange(cmd::WW, wiegand_config_param1(c), c.fcCode, port, configAnswer);
}

int read_wiegand_config(uint8_t port, WiegandConfig* out) {
    trace(TRACE_CALL, "Read Wiegand Configuration(WR): %s\n", name_of(KW_WIEGAND_PORT, port));
    AnswerPacket answer{};
    if (int rc = exchange(cmd::WR, 0, 0, port, configAnswer, answer); rc != GO_ON) return rc;
    const WiegandConfig c =
        wiegand_config_of(answer_field(FIELD_PARAM1, answer), answer_field(FIELD_PARAM2, answer));
    if (out) *out = c;
    trace_more(TRACE_CALL, "      FC bits: %#x Format: %#x Function: %s FC Code: %#x\n", c.fcBits, c.format,
               name_of(KW_WIEGAND_FUNCTION, c.function), c.fcCode);
    return 0;
}

int get_wiegand_input(uint32_t statusHandling, uint32_t* id, uint32_t* facilityCode) {
    trace(TRACE_CALL, "Get Wiegand Input(WG): %s\n", name_of(KW_WIEGAND_STATUS, statusHandling));
    AnswerPacket answer{};
    if (int rc = exchange(cmd::WG, statusHandling, 0, 0, inputAnswer, answer); rc != GO_ON) return rc;
    const uint32_t value = answer_field(FIELD_PARAM1, answer);
    const uint32_t facility = answer_field(FIELD_PARAM2, answer);
    if (id) *id = value;
    if (facilityCode) *facilityCode = facility;
    trace_more(TRACE_CALL, "      ID: %#x Facility Code: %#x\n", value, facility);
    return 0;
}

int set_wiegand_output(uint32_t id) {
    trace(TRACE_CALL, "Set Wiegand Output(WS): %#x\n", id);
    return exchange(cmd::WS, id, 0, 0, plainAnswer);
}

int set_wiegand_mapping(uint32_t function, uint32_t value) {
    trace(TRACE_CALL, "Set Wiegand Mapping(WM): %s %#x\n", name_of(KW_MAPPING_FUNCTION, function), value);
    return set_mapping(MAPPING_WIEGAND, function, value);
}

int list_wiegand_mappings(uint32_t* count, uint32_t* dataSize) {
    trace(TRACE_CALL, "List Wiegand Mapping(WL)\n");
    return list_mappings(MAPPING_WIEGAND, count, dataSize);
}

int clear_wiegand_mappings() {
    trace(TRACE_CALL, "Clear Wiegand Mapping(WC)\n");
    return exchange(cmd::WC, 0, 0, MAPPING_WIEGAND, plainAnswer);
}

int set_card_mapping(uint32_t function, uint32_t value) {
    trace(TRACE_CALL, "Set Smartcard Mapping(WM): %s %#x\n", name_of(KW_MAPPING_FUNCTION, function), value);
    return set_mapping(MAPPING_CARD, function, value);
}

int list_card_mappings(uint32_t* count, uint32_t* dataSize) {
    trace(TRACE_CALL, "List Smartcard Mapping(WL)\n");
    return list_mappings(MAPPING_CARD, count, dataSize);
}

int clear_card_mappings() {
    trace(TRACE_CALL, "Clear Smartcard Mapping(WC)\n");
    return exchange(cmd::WC, 0, 0, MAPPING_CARD, plainAnswer);
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
    if (int rc = send_command(cmd::WWX, wiegand_pulse_param1(pulseWidth, pulseInterval), length, format);
        rc < 0)
        return rc;
    if (length > 0) {
        if (int rc = send_data(data, length); rc < 0) return rc;
    }
    AnswerPacket answer{};
    return receive_final(answer, formatWriteAnswer);
}

int read_wiegand_format(WiegandFormat* out) {
    trace(TRACE_CALL, "Read Wiegand Configuration Extended(WRX)\n");
    AnswerPacket answer{};
    if (int rc = exchange(cmd::WRX, 0, 0, 0, notConfiguredAnswer, answer); rc != GO_ON) return rc;
    const WiegandFormat f =
        wiegand_format_of(answer_field(FIELD_PARAM1, answer), answer_field(FIELD_PARAM2, answer));
    if (out) *out = f;
    trace(TRACE_CALL, "Format: %s Width: %d usec Interval: %d usec Size: %u bytes\n",
          name_of(KW_WIEGAND_FORMAT, f.format), f.pulseWidth, f.pulseInterval, f.dataSize);
    return 0;
}

int read_wiegand_input(uint32_t statusHandling, uint8_t latched, WiegandString* out) {
    trace(TRACE_CALL, "Read Wiegand Input(WGX): ");
    trace_more(TRACE_CALL,
               statusHandling == 0 ? "[Clear status after read] " : "[Remain status after read] ");
    trace_more(TRACE_CALL, latched == 0 ? "[Read new input]\n" : "[Read latched input]\n");
    if (int rc = send_command(cmd::WGX, statusHandling, 0, latched); rc < 0) return rc;
    // A new input is announced when it arrives.
    if (latched == 0) {
        if (int rc = answers::scan_wait(newInputWait); rc != GO_ON) return rc;
    }
    AnswerPacket answer{};
    if (int rc = receive_final(answer, stringInputAnswer); rc != GO_ON) return rc;
    const WiegandString s{answer_field(FIELD_PARAM1, answer), answer_field(FIELD_PARAM2, answer)};
    if (out) *out = s;
    trace(TRACE_CALL, "Wiegand String: %#08x %08x\n", s.word1, s.word2);
    return 0;
}

int set_wiegand_output_string(const WiegandString& s) {
    trace(TRACE_CALL, "Set Wiegand Output(WSX): %#08x %08x\n", s.word1, s.word2);
    return exchange(cmd::WSX, s.word1, s.word2, 0, notConfiguredAnswer);
}

int set_field_default(uint32_t index, uint32_t value, uint8_t clear) {
    trace(TRACE_CALL, "Set Default Value of a Field(WFW): %u %#x ", index, value);
    trace_more(TRACE_CALL, clear ? "Clear\n" : "\n");
    return exchange(cmd::WFW, value, index, clear, fieldWriteAnswer);
}

int get_field_default(uint32_t index, uint32_t* value) {
    trace(TRACE_CALL, "Get Default Value of a Field(WFR): %u\n", index);
    AnswerPacket answer{};
    if (int rc = exchange(cmd::WFR, 0, index, 0, fieldReadAnswer, answer); rc != GO_ON) return rc;
    const uint32_t v = answer_field(FIELD_PARAM1, answer);
    if (value) *value = v;
    trace(TRACE_CALL, "Default Value: %#x\n", v);
    return 0;
}

int set_wiegand_io(const WiegandIo& io) {
    trace(TRACE_CALL, "Set Wiegand I/O Setting:  %#x %#x %#x\n", io.input, io.output, io.option);
    return exchange(cmd::WPW, wiegand_io_param1(io.input, io.output), io.option, 0, ioWriteAnswer);
}

int get_wiegand_io(WiegandIo* out) {
    trace(TRACE_CALL, "Get Wiegand I/O Setting\n");
    AnswerPacket answer{};
    if (int rc = exchange(cmd::WPR, 0, 0, 0, notConfiguredAnswer, answer); rc != GO_ON) return rc;
    const uint32_t p1 = answer_field(FIELD_PARAM1, answer);
    const WiegandIo io{static_cast<uint16_t>(p1 >> 16), static_cast<uint16_t>(p1),
                       answer_field(FIELD_PARAM2, answer)};
    if (out) *out = io;
    trace(TRACE_CALL, "Input: %#x Output: %#x Option: %#x\n", io.input, io.output, io.option);
    return 0;
}

} // namespace kelvor
