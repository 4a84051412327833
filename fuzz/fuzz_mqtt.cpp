// What kelvord takes from an MQTT broker and from its own command line for
// one: a message on the command topic (with requests taken and without), the
// broker's URL, a credentials file's text, a port's name and a topic prefix.
// Whatever the bytes: nothing throws; a refused message is answered by one
// line of JSON of class "error"; every topic made is a topic without
// wildcards or empty levels.
#include <cstdlib>
#include <string>
#include <string_view>

#include "ModuleSDK.h"
#include "Mqtt.h"

using namespace kelvord;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// A topic a client may publish on: no wildcard, no empty level, no NUL.
void require_topic(const std::string& topic) {
    require(!topic.empty() && topic.find_first_of(std::string("+#\0", 3)) == std::string::npos);
    require(topic.front() != '/' && topic.back() != '/' && topic.find("//") == std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        kelvor::keyword_fill();
        return true;
    }();
    (void)ready;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string s(text);

    for (const bool enabled : {false, true}) {
        const mqtt::Screened screened = mqtt::screen_command(text, enabled);
        require(screened.pass != !screened.refusal.empty());
        if (!enabled) require(!screened.pass);
        if (!screened.pass) {
            const std::string line = error_line(screened.id, screened.refusal);
            require(line.find('\n') == std::string::npos);
            const Json j = Json::parse(line, nullptr, false);
            require(j.is_object() && j.value("class", "") == "error");
        }
    }

    mqtt::Broker broker;
    std::string error;
    if (mqtt::parse_url(s, broker, error)) {
        require(broker.port >= 1 && broker.port <= 65535 && !broker.host.empty());
        mqtt::Broker again;
        require(
            mqtt::parse_url((broker.tls ? "mqtts://" : "mqtt://") + mqtt::broker_text(broker), again, error));
        require(again.host == broker.host && again.port == broker.port && again.tls == broker.tls);
    } else {
        require(!error.empty());
    }

    mqtt::Credentials credentials;
    if (mqtt::parse_credentials(text, credentials, error)) {
        require(!credentials.user.empty());
        require(credentials.password.find('\0') == std::string::npos);
    }

    const std::string line = mqtt::line_name(s);
    require(!line.empty());
    if (mqtt::valid_prefix(s, error)) {
        const mqtt::Topics topics(s, line);
        for (const std::string& t : {topics.status(), topics.command(), topics.result(), topics.state(),
                                     topics.event(0), topics.identified(65535)})
            require_topic(t);
        for (const mqtt::Message& m : mqtt::discovery(topics, s, line, 7)) {
            require_topic(m.topic);
            require(Json::parse(m.payload, nullptr, false).is_object());
        }
    }

    if (const auto route = mqtt::route_event(text)) require(route->module <= 0xFFFF);
    return 0;
}
