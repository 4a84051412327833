#include "Events.h"

#include "ModuleSDK.h"
#include "Protocol.h"

namespace kelvord {

namespace {

namespace flag = kelvor::packet::flag;

// `moduleId` is the module's ID, or null.
Json event_of(const char* kind, const Json& moduleId, int64_t ms) {
    Json o = Json::object();
    o["class"] = "event";
    o["kind"] = kind;
    o["module_id"] = moduleId;
    o["time"] = event_time(ms);
    return o;
}

std::string hex(const uint8_t* bytes, size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

std::string line_of(const Json& o) {
    return o.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

std::optional<std::string> flag_name(uint8_t f) {
    // The answers that end a command name their result as the library does.
    struct Row {
        uint8_t flag;
        int result;
    };
    static constexpr Row results[] = {
        {flag::SUCCEED, 0},
        {flag::SCAN_FAILED, kelvor::RES_SCAN_FAILED},
        {flag::NOT_FOUND, kelvor::RES_NOT_FOUND},
        {flag::NOT_MATCH, kelvor::RES_NOT_MATCH},
        {flag::TRY_AGAIN, kelvor::RES_TRY_AGAIN},
        {flag::TIMEOUT, kelvor::RES_TIMEOUT},
        {flag::MEMORY_FULL, kelvor::RES_MEMORY_FULL},
        {flag::ID_ALREADY_USED, kelvor::RES_ID_ALREADY_USED},
        {flag::FINGER_LIMIT, kelvor::RES_FINGER_LIMIT},
        {flag::NOT_SUPPORTED, kelvor::RES_NOT_SUPPORTED},
        {flag::INVALID_ID, kelvor::RES_INVALID_ID},
        {flag::TIMEOUT_MATCHING, kelvor::RES_TIMEOUT_MATCHING},
        {flag::SYSTEM_BUSY, kelvor::RES_SYSTEM_BUSY},
        {flag::CANCELLED, kelvor::RES_CANCELLED},
        {flag::DATA_CHECKSUM_ERROR, kelvor::RES_DATA_ERROR},
        {flag::FINGER_ALREADY_ENROLLED, kelvor::RES_FINGER_ALREADY_ENROLLED},
        {flag::ID_REJECTED, kelvor::RES_ID_REJECTED},
        {flag::DURESS_FINGER, kelvor::RES_DURESS_FINGER},
        {flag::CARD_ERROR, kelvor::RES_CARD_ERROR},
    };
    for (const Row& r : results)
        if (r.flag == f) return std::string(kelvor::result_name(r.result));
    // The steps between.
    switch (f) {
    case flag::SCAN_SUCCESS: return "scan_success";
    case flag::ENROLL_CONTINUE: return "enroll_continue";
    case flag::DATA_ACCEPTED: return "data_accepted";
    default: return std::nullopt;
    }
}

std::string packet_event(const uint8_t* packet, size_t n, bool network, int64_t ms) {
    const kelvor::packet::Fields f = n >= kelvor::packet::length(network)
                                         ? kelvor::packet::decode(packet, network)
                                         : kelvor::packet::Fields{};
    const Json module = network ? Json(f.moduleId) : Json(nullptr);
    // What a module in free-scan mode reports: the answers of an identification by scan.
    if (f.command == kelvor::packet::cmd::IS) {
        Json o;
        switch (f.flag) {
        case flag::SUCCEED:
            o = event_of("identify", module, ms);
            o["user_id"] = f.param1;
            o["score"] = f.param2;
            break;
        case flag::DURESS_FINGER:
            o = event_of("duress", module, ms);
            o["user_id"] = f.param1;
            break;
        case flag::NOT_FOUND: o = event_of("not_found", module, ms); break;
        case flag::SCAN_FAILED: o = event_of("scan_failed", module, ms); break;
        case flag::SCAN_SUCCESS: o = event_of("scan_success", module, ms); break;
        case flag::TIMEOUT: o = event_of("timeout", module, ms); break;
        default: break;
        }
        if (!o.is_null()) return line_of(o);
    }
    Json o = event_of("packet", module, ms);
    const char* keyword = kelvor::keyword_name(kelvor::KW_COMMAND, f.command);
    o["command"] = std::string_view(keyword) == "Unknown" ? Json(nullptr) : Json(keyword);
    o["code"] = f.command;
    o["param1"] = f.param1;
    o["param2"] = f.param2;
    o["flag"] = f.flag;
    const std::optional<std::string> name = flag_name(f.flag);
    o["flag_name"] = name ? Json(*name) : Json(nullptr);
    o["packet"] = hex(packet, n);
    return line_of(o);
}

std::string text_event(std::string_view text, int64_t ms) {
    Json o = event_of("text", nullptr, ms);
    o["text"] = std::string(text);
    return line_of(o);
}

std::string noise_event(const uint8_t* bytes, size_t n, int64_t ms) {
    Json o = event_of("noise", nullptr, ms);
    o["bytes"] = hex(bytes, n);
    return line_of(o);
}

std::string line_event(std::string_view state, std::string_view port, std::string_view reason, int64_t ms) {
    Json o = event_of("line", nullptr, ms);
    o["state"] = std::string(state);
    o["port"] = std::string(port);
    if (!reason.empty()) o["reason"] = std::string(reason);
    return line_of(o);
}

} // namespace kelvord
