#include "Mqtt.h"

#include "ModuleSDK.h"
#include "ModuleSDK.h"

namespace kelvord::mqtt {

namespace {

const char* option_name(Option which) {
    switch (which) {
    case Option::Url: return "--mqtt";
    case Option::Prefix: return "--mqtt-prefix";
    case Option::Discovery: return "--mqtt-discovery";
    case Option::Ca: return "--mqtt-ca";
    case Option::Cert: return "--mqtt-cert";
    case Option::Key: return "--mqtt-key";
    case Option::Credentials: return "--mqtt-credentials";
    case Option::ClientId: return "--mqtt-client-id";
    case Option::Commands: return "--mqtt-commands";
    case Option::Queue: return "--mqtt-queue";
    }
    return "--mqtt";
}

bool printable_ascii(std::string_view s) {
    for (const char c : s)
        if (c <= 0x20 || c >= 0x7F) return false;
    return true;
}

std::string dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A host name or an IPv4 address, as far as its characters go.
bool host_characters(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    for (const char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

bool ipv6_characters(std::string_view host) {
    if (host.size() < 2 || host.size() > 45) return false;
    for (const char c : host) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                        c == ':' || c == '.';
        if (!ok) return false;
    }
    return host.find(':') != std::string_view::npos;
}

} // namespace

const char* const IDENTIFICATION_KINDS[5] = {"identify", "duress", "not_found", "scan_failed", "timeout"};

bool take_option(Option which, const char* arg, Options& o, std::string& error) {
    const std::string value = arg ? arg : "";
    const std::string name = option_name(which);
    if (which != Option::Commands && value.empty()) {
        error = name + " needs a value";
        return false;
    }
    switch (which) {
    case Option::Url: {
        Broker b;
        if (!parse_url(value, b, error)) return false;
        o.url = value;
        return true;
    }
    case Option::Prefix:
        if (!valid_prefix(value, error)) {
            error = name + " " + value + ": " + error;
            return false;
        }
        o.prefix = value;
        return true;
    case Option::Discovery:
        if (value == "off") {
            o.discoveryPrefix.clear();
            return true;
        }
        if (!valid_prefix(value, error)) {
            error = name + " " + value + ": " + error;
            return false;
        }
        o.discoveryPrefix = value;
        return true;
    case Option::Ca: o.caFile = value; return true;
    case Option::Cert: o.certFile = value; return true;
    case Option::Key: o.keyFile = value; return true;
    case Option::Credentials: o.credentialsFile = value; return true;
    case Option::ClientId:
        if (value.size() > 128 || !printable_ascii(value)) {
            error = name + ": at most 128 printable ASCII characters without spaces";
            return false;
        }
        o.clientId = value;
        return true;
    case Option::Commands: o.commands = true; return true;
    case Option::Queue: {
        uint64_t n = 0;
        bool ok = value.size() <= 7;
        for (const char c : value) {
            ok = ok && c >= '0' && c <= '9';
            if (ok) n = n * 10 + static_cast<uint64_t>(c - '0');
        }
        if (!ok || n < 1 || n > QUEUE_MAX) {
            error = name + " " + value + ": 1 to " + std::to_string(QUEUE_MAX) + " events";
            return false;
        }
        o.queueMax = static_cast<size_t>(n);
        return true;
    }
    }
    error = name + ": unknown";
    return false;
}

bool check_options(const Options& o, std::string& error) {
    const Options defaults;
    if (o.url.empty()) {
        const bool other = o.prefix != defaults.prefix || o.discoveryPrefix != defaults.discoveryPrefix ||
                           !o.caFile.empty() || !o.certFile.empty() || !o.keyFile.empty() ||
                           !o.credentialsFile.empty() || !o.clientId.empty() || o.commands ||
                           o.queueMax != defaults.queueMax;
        if (other) {
            error = "the --mqtt-... options go with --mqtt URL";
            return false;
        }
        return true;
    }
    Broker b;
    if (!parse_url(o.url, b, error)) return false;
    if (!b.tls && (!o.caFile.empty() || !o.certFile.empty() || !o.keyFile.empty())) {
        error = "--mqtt-ca, --mqtt-cert and --mqtt-key go with an mqtts:// URL";
        return false;
    }
    if (o.certFile.empty() != o.keyFile.empty()) {
        error = "--mqtt-cert and --mqtt-key go together";
        return false;
    }
    return true;
}

bool parse_url(const std::string& url, Broker& broker, std::string& error) {
    const auto refuse = [&](const std::string& why) {
        error = "--mqtt " + url + ": " + why;
        return false;
    };
    Broker b;
    std::string_view rest = url;
    if (rest.substr(0, 7) == "mqtt://") {
        rest.remove_prefix(7);
        b.port = 1883;
    } else if (rest.substr(0, 8) == "mqtts://") {
        rest.remove_prefix(8);
        b.tls = true;
        b.port = 8883;
    } else {
        return refuse("the broker's URL is mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    }
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.find('@') != std::string_view::npos)
        return refuse("the user name and password come from --mqtt-credentials FILE, not from the URL");
    if (rest.find('/') != std::string_view::npos || rest.find('?') != std::string_view::npos)
        return refuse("a broker's URL has no path");
    std::string_view host, port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) return refuse("an IPv6 address ends with ]");
        host = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return refuse("a port follows the address after :");
            port = after.substr(1);
            if (port.empty()) return refuse("no port after :");
        }
        if (!ipv6_characters(host)) return refuse("no IPv6 address in the brackets");
    } else {
        const size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) return refuse("no port after :");
        }
        if (!host_characters(host)) return refuse("no host name or address");
    }
    if (!port.empty()) {
        uint32_t p = 0;
        bool ok = port.size() <= 5;
        for (const char c : port) {
            ok = ok && c >= '0' && c <= '9';
            if (ok) p = p * 10 + static_cast<uint32_t>(c - '0');
        }
        if (!ok || p < 1 || p > 65535) return refuse("the port is 1 to 65535");
        b.port = static_cast<int>(p);
    }
    b.host = std::string(host);
    broker = b;
    return true;
}

std::string broker_text(const Broker& b) {
    const bool v6 = b.host.find(':') != std::string::npos;
    return (v6 ? "[" + b.host + "]" : b.host) + ":" + std::to_string(b.port);
}

bool parse_credentials(std::string_view text, Credentials& credentials, std::string& error) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.empty() || lines.front().empty()) {
        error = "holds no user name on its first line";
        return false;
    }
    if (lines.size() > 2) {
        error = "holds more than two lines (the user name, the password)";
        return false;
    }
    if (lines[0].size() > 1024 || !printable_ascii(lines[0])) {
        error = "the user name is at most 1024 printable ASCII characters without spaces";
        return false;
    }
    Credentials c;
    c.user = std::string(lines[0]);
    if (lines.size() == 2) {
        if (lines[1].size() > 1024) {
            error = "the password is longer than 1024 bytes";
            return false;
        }
        for (const char ch : lines[1]) {
            if (ch == '\0') {
                error = "the password holds a NUL byte";
                return false;
            }
        }
        c.password = std::string(lines[1]);
    }
    credentials = std::move(c);
    return true;
}

std::string line_name(const std::string& port) {
    std::string base = port;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (const size_t slash = base.rfind('/'); slash != std::string::npos) base = base.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") base = "line";
    for (char& ch : base) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                        ch == '.' || ch == '_' || ch == '-';
        if (!ok) ch = '_';
    }
    return base;
}

bool valid_prefix(const std::string& prefix, std::string& error) {
    if (prefix.empty() || prefix.size() > 256) {
        error = "a topic prefix is 1 to 256 characters";
        return false;
    }
    if (!printable_ascii(prefix) || prefix.find_first_of("+#") != std::string::npos) {
        error = "a topic prefix is letters, digits and punctuation without + and # (the wildcards)";
        return false;
    }
    if (prefix.front() == '$') {
        error = "topics that begin with $ are the broker's own";
        return false;
    }
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos) {
        error = "no level of a topic prefix is empty";
        return false;
    }
    return true;
}

std::string ha_id(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-';
        out += ok ? c : '_';
    }
    return out;
}

bool is_event_line(std::string_view line) {
    return line.substr(0, 16) == R"({"class":"event")";
}

std::optional<EventRoute> route_event(std::string_view line) {
    const Json j = Json::parse(line.begin(), line.end(), nullptr, false);
    if (!j.is_object()) return std::nullopt;
    const auto cls = j.find("class");
    const auto kind = j.find("kind");
    if (cls == j.end() || !cls->is_string() || cls->get_ref<const std::string&>() != "event" ||
        kind == j.end() || !kind->is_string())
        return std::nullopt;
    EventRoute r;
    r.kind = kind->get<std::string>();
    if (const auto id = j.find("module_id"); id != j.end() && id->is_number_unsigned()) {
        const uint64_t v = id->get<uint64_t>();
        if (v >= 1 && v <= 0xFFFF) r.module = static_cast<uint32_t>(v);
    }
    r.lineState = r.kind == "line";
    const auto user = j.find("user_id");
    r.identified =
        (r.kind == "identify" || r.kind == "duress") && user != j.end() && user->is_number_unsigned();
    return r;
}

std::vector<Message> discovery(const Topics& topics, const std::string& discoveryPrefix,
                               const std::string& line, uint32_t module) {
    const std::string device = ha_id(topics.base()) + "_" + std::to_string(module);
    Json dev = Json::object();
    dev["identifiers"] = Json::array({device});
    dev["name"] = module ? "Fingerprint module " + std::to_string(module) + " on " + line
                         : "Fingerprint module on " + line;
    dev["model"] = "Orvanti fingerprint module";
    dev["sw_version"] = std::string("kelvord ") + kelvor::version();
    Json origin = Json::object();
    origin["name"] = "kelvord";
    origin["sw_version"] = kelvor::version();
    Json availability = Json::array();
    availability.push_back(Json{
        {"topic", topics.status()}, {"payload_available", "online"}, {"payload_not_available", "offline"}});

    // What every entity of the module has: the entity's own fields follow.
    const auto entity = [&](const char* object, const char* name) {
        Json c = Json::object();
        c["name"] = name;
        c["unique_id"] = device + "_" + object;
        c["availability"] = availability;
        c["device"] = dev;
        c["origin"] = origin;
        return c;
    };
    const auto config = [&](const char* component, const char* object, const Json& c) {
        return Message{discoveryPrefix + "/" + component + "/" + device + "/" + object + "/config", dump(c),
                       true, std::nullopt};
    };

    std::vector<Message> out;
    // The last person identified: the name where the directory has one, else the user ID.
    Json person = entity("person", "Last identified");
    person["state_topic"] = topics.identified(module);
    person["value_template"] = "{{ value_json.name | default(value_json.user_id, true) }}";
    person["json_attributes_topic"] = topics.identified(module);
    person["icon"] = "mdi:fingerprint";
    out.push_back(config("sensor", "person", person));

    // Each identification as an event; the module's other events are left out
    // (an empty rendering is no event to Home Assistant).
    Json identification = entity("identification", "Identification");
    identification["state_topic"] = topics.event(module);
    Json kinds = Json::array();
    std::string list;
    for (const char* k : IDENTIFICATION_KINDS) {
        kinds.push_back(k);
        list += std::string(list.empty() ? "" : ", ") + "'" + k + "'";
    }
    identification["event_types"] = kinds;
    identification["value_template"] =
        "{% if value_json.kind in [" + list +
        "] %}{{ dict(value_json, event_type=value_json.kind) | tojson }}{% endif %}";
    identification["icon"] = "mdi:fingerprint";
    out.push_back(config("event", "identification", identification));

    // The line: connected while it is open.
    Json lineState = entity("line", "Line");
    lineState["state_topic"] = topics.state();
    lineState["value_template"] = "{{ 'ON' if value_json.state in ['open', 'reopened'] else 'OFF' }}";
    lineState["json_attributes_topic"] = topics.state();
    lineState["device_class"] = "connectivity";
    lineState["entity_category"] = "diagnostic";
    out.push_back(config("binary_sensor", "line", lineState));
    return out;
}

bool valid_response_topic(std::string_view topic, const Topics& topics, std::string& error) {
    if (topic.empty() || topic.size() > RESPONSE_TOPIC_BYTES_MAX) {
        error = "a response topic is 1 to " + std::to_string(RESPONSE_TOPIC_BYTES_MAX) + " bytes";
        return false;
    }
    if (topic.find_first_of(std::string_view("+#\0", 3)) != std::string_view::npos) {
        error = "a response topic names one topic: no wildcards (+, #)";
        return false;
    }
    if (topic.front() == '$') {
        error = "topics that begin with $ are the broker's own";
        return false;
    }
    if (topic == topics.command() || topic == topics.request()) {
        error = "the response topic is the topic of the requests";
        return false;
    }
    return true;
}

namespace {

// A command whose output is a template, templates or an image: the roles say
// so, and a few commands give a template as plain data (a scanned template,
// an encrypted one, a card's contents).
bool biometric_command(uint8_t code) {
    namespace p = kelvor::packet;
    const p::Command* row = p::command_of(code);
    if (!row) return true; // a raw packet: what comes back is not known
    const p::FileRole out = row->files.output;
    if (out == p::FileRole::Templates || out == p::FileRole::Image) return true;
    const std::string_view keyword = row->keyword;
    return keyword == "ST" || keyword == "KS" || keyword == "CR";
}

} // namespace

bool returns_biometric_data(const Request& r) {
    if (std::holds_alternative<BackupRequest>(r.body)) return true;
    if (const auto* copy = std::get_if<CopyUsersRequest>(&r.body)) return copy->options.fromModule != 0;
    if (const auto* c = std::get_if<CommandRequest>(&r.body))
        return c->readImage || ((c->output || c->traceLevel >= 0) && biometric_command(c->code));
    return false;
}

Screened screen_command(std::string_view payload, bool commandsEnabled, bool privateAnswer) {
    Screened s;
    s.id = nullptr;
    if (!commandsEnabled) {
        s.refusal = "requests over MQTT are off: kelvord takes them with --mqtt-commands";
        return s;
    }
    if (payload.size() > REQUEST_BYTES_MAX) {
        s.refusal = "the request is longer than " + std::to_string(REQUEST_BYTES_MAX) + " bytes";
        return s;
    }
    const Request r = parse_request(payload);
    s.id = r.id;
    if (const auto* bad = std::get_if<BadRequest>(&r.body)) {
        s.refusal = bad->message.empty() ? "a malformed request" : bad->message;
        return s;
    }
    if (std::holds_alternative<WatchRequest>(r.body)) {
        s.refusal = "no watch over MQTT: the events are published on their own topics";
        return s;
    }
    if (std::holds_alternative<AuthRequest>(r.body)) {
        s.refusal = "no token over MQTT: the broker authenticates its clients";
        return s;
    }
    if (std::holds_alternative<CancelRequest>(r.body)) {
        // The bridge is one client of the service for every publisher: a
        // cancel could stop another publisher's job of the same id.
        s.refusal = "no cancel over MQTT: a request's time is bounded by the service";
        return s;
    }
    if (!privateAnswer && returns_biometric_data(r)) {
        s.refusal = "its answer carries biometric data (templates, an image or a backup), which goes to "
                    "the requester alone: name a response topic (MQTT 5) for it";
        return s;
    }
    s.pass = true;
    return s;
}

} // namespace kelvord::mqtt
