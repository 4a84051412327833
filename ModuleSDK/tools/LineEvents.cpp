#include "LineEvents.h"

#include <chrono>
#include <cstdio>

#include "ModuleSDK.h"
#include "link/TextLines.h"

namespace line_events {

namespace {

namespace flag = kelvor::packet::flag;
using Json = nlohmann::ordered_json;

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

std::string event_time(int64_t ms) {
    // The calendar of <chrono>: the same on every system, and no shared buffer.
    using namespace std::chrono;
    const sys_time<milliseconds> t{milliseconds(ms)};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{t - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace {

std::string number_text(const Json& v) {
    return v.is_number() ? v.dump() : "?";
}

std::string hex_text(const Json& v) {
    if (!v.is_number_unsigned() && !v.is_number_integer()) return "?";
    char text[24];
    std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(v.get<uint64_t>()));
    return text;
}

std::string string_of(const Json& o, const char* name) {
    const auto it = o.find(name);
    return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Control characters as cat -v shows them, as a terminal shows a module's
// text lines; the carriage return that ends the line goes.
std::string shown(const std::string& text) {
    std::string out = kelvor::text_line_for_terminal(text);
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return out;
}

} // namespace

std::string readable(const Json& e) {
    const std::string kind = string_of(e, "kind");
    std::string line = string_of(e, "time");
    if (const auto m = e.find("module_id"); m != e.end() && m->is_number()) line += " module " + m->dump();
    line += " " + kind;
    // The person's name, when the service's directory knows the user.
    const std::string personName = string_of(e, "name");
    const std::string person = personName.empty() ? std::string() : " (" + shown(personName) + ")";
    if (kind == "identify") {
        line += ": user " + number_text(e.value("user_id", Json())) + person + ", score " +
                number_text(e.value("score", Json()));
    } else if (kind == "duress") {
        line += ": user " + number_text(e.value("user_id", Json())) + person;
    } else if (kind == "packet") {
        const std::string command = string_of(e, "command");
        line += ": " + (command.empty() ? std::string("code") : command) + " " +
                hex_text(e.value("code", Json())) + ", param1 " + hex_text(e.value("param1", Json())) +
                ", param2 " + hex_text(e.value("param2", Json())) + ", flag " +
                hex_text(e.value("flag", Json()));
        const std::string name = string_of(e, "flag_name");
        if (!name.empty()) line += " (" + name + ")";
    } else if (kind == "text") {
        line += ": " + shown(string_of(e, "text"));
    } else if (kind == "noise") {
        line += ": " + string_of(e, "bytes");
    } else if (kind == "line") {
        line += " " + string_of(e, "state") + ": " + string_of(e, "port");
        const std::string reason = string_of(e, "reason");
        if (!reason.empty()) line += ": " + reason;
    }
    return line;
}

} // namespace line_events
