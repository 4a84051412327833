// The result codes of the library as one table: each code with a stable
// snake_case name, a text for people and the class of outcome it is (a link
// failure, or a refusal by the module or the input). Scripts, the exit status
// of --exit-code and bindings read results through it. And the version of
// the library, as CMake sets it once for the whole project.
#include "ModuleSDK.h"

namespace kelvor {

namespace {

constexpr ResultInfo RESULTS[] = {
    {0, "ok", "Succeeded", ResultClass::Ok},
    {ERR_PORT_OPEN, "port_open", "Cannot open the serial port", ResultClass::LinkFailed},
    {ERR_PORT_SETUP, "port_setup", "Cannot set up the serial port", ResultClass::LinkFailed},
    {ERR_WRITE, "write", "Cannot write to the serial port", ResultClass::LinkFailed},
    {ERR_WRITE_SHORT, "write_timeout", "Serial write timeout", ResultClass::LinkFailed},
    {ERR_READ, "read", "Cannot read the serial port", ResultClass::LinkFailed},
    {ERR_READ_TIMEOUT, "read_timeout", "Read data timeout", ResultClass::LinkFailed},
    {ERR_CHECKSUM, "checksum", "Checksum error", ResultClass::LinkFailed},
    {ERR_SET_TIMEOUT, "set_timeout", "Cannot set the read timeout", ResultClass::LinkFailed},
    {ERR_STOPPED, "stopped", "The transfer was stopped by the host", ResultClass::LinkFailed},
    {RES_NOT_FOUND, "not_found", "Not found", ResultClass::Refused},
    {RES_SCAN_FAILED, "scan_failed", "Scan failed", ResultClass::Refused},
    {RES_NOT_SUPPORTED, "not_supported", "Not supported", ResultClass::Refused},
    {RES_TIMEOUT, "timeout", "Timeout", ResultClass::Refused},
    {RES_TRY_AGAIN, "try_again", "Try again", ResultClass::Refused},
    {RES_MEMORY_FULL, "memory_full", "Memory is full", ResultClass::Refused},
    {RES_FINGER_LIMIT, "finger_limit", "Finger limit", ResultClass::Refused},
    {RES_INVALID_ID, "invalid_id", "Invalid ID", ResultClass::Refused},
    {RES_ID_ALREADY_USED, "id_already_used", "ID is already used", ResultClass::Refused},
    {RES_TIMEOUT_MATCHING, "timeout_matching", "Timeout in matching", ResultClass::Refused},
    {RES_NOT_MATCH, "not_match", "Not matched", ResultClass::Refused},
    {RES_SYSTEM_BUSY, "system_busy", "System is busy", ResultClass::Refused},
    {RES_CANCELLED, "cancelled", "Command is cancelled", ResultClass::Refused},
    {RES_DATA_ERROR, "data_error", "Data error", ResultClass::Refused},
    {RES_CARD_ERROR, "card_error", "Card error", ResultClass::Refused},
    {RES_ID_REJECTED, "id_rejected", "ID is rejected", ResultClass::Refused},
    {RES_DURESS_FINGER, "duress_finger", "Duress finger", ResultClass::Refused},
    {RES_FINGER_ALREADY_ENROLLED, "finger_already_enrolled", "Finger is already enrolled",
     ResultClass::Refused},
    {RES_UNKNOWN, "unknown", "Unknown error", ResultClass::Refused},
    {RES_FRONT_REFUSED, "front_end_refused", "Refused by the host before anything was sent",
     ResultClass::Refused},
};

// Codes that are not in the table: byte counts of raw reads and writes
// succeed; any other negative code is a refusal of unknown kind.
constexpr ResultInfo POSITIVE = {1, "ok", "Succeeded", ResultClass::Ok};
constexpr ResultInfo OTHER = {-1, "unknown", "Unknown error", ResultClass::Refused};

} // namespace

std::span<const ResultInfo> result_table() {
    return RESULTS;
}

const ResultInfo& result_info(int code) {
    for (const ResultInfo& r : RESULTS)
        if (r.code == code) return r;
    return code > 0 ? POSITIVE : OTHER;
}

const char* result_name(int code) {
    return result_info(code).name;
}

const char* result_text(int code) {
    return result_info(code).text;
}

ResultClass result_class(int code) {
    return result_info(code).outcome;
}

const char* version() {
    return KELVOR_VERSION;
}

} // namespace kelvor
