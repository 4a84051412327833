// What the service says to an MQTT broker, without a broker: its options, the
// broker's URL, the credentials file, the topics of a line, where each event
// goes, Home Assistant's discovery configurations, the screening of requests.
#include <gtest/gtest.h>

#include <map>

#include "ModuleSDK.h"
#include "Mqtt.h"

using namespace kelvord;
using namespace kelvord::mqtt;

namespace {

TEST(MqttOptions, UrlsTakenApart) {
    struct Case {
        std::string url;
        bool ok;
        bool tls;
        std::string host;
        int port;
        std::string error; // a part of it
    };
    const Case cases[] = {
        {"mqtt://broker", true, false, "broker", 1883, ""},
        {"mqtt://broker.site-1.example:1884/", true, false, "broker.site-1.example", 1884, ""},
        {"mqtts://10.0.0.2", true, true, "10.0.0.2", 8883, ""},
        {"mqtts://[fe80::1]:9000", true, true, "fe80::1", 9000, ""},
        {"mqtt://[::1]", true, false, "::1", 1883, ""},
        {"http://broker", false, false, "", 0, "mqtt://HOST[:PORT]"},
        {"mqtt://", false, false, "", 0, "no host name"},
        {"mqtt://user:pw@broker", false, false, "", 0, "--mqtt-credentials"},
        {"mqtt://broker/topic", false, false, "", 0, "no path"},
        {"mqtt://broker:", false, false, "", 0, "no port"},
        {"mqtt://broker:0", false, false, "", 0, "1 to 65535"},
        {"mqtt://broker:65536", false, false, "", 0, "1 to 65535"},
        {"mqtt://broker:99999999999", false, false, "", 0, "1 to 65535"},
        {"mqtt://[fe80::1", false, false, "", 0, "ends with ]"},
        {"mqtt://[zz]:1", false, false, "", 0, "IPv6"},
        {"mqtt://[::1]x", false, false, "", 0, "after :"},
        {"mqtt://bro ker", false, false, "", 0, "no host name"},
    };
    for (const Case& c : cases) {
        Broker b;
        std::string error;
        EXPECT_EQ(parse_url(c.url, b, error), c.ok) << c.url << ": " << error;
        if (c.ok) {
            EXPECT_EQ(std::tie(b.tls, b.host, b.port), std::tie(c.tls, c.host, c.port)) << c.url;
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.url << ": " << error;
        }
    }
    EXPECT_EQ(broker_text({true, "fe80::1", 8883}), "[fe80::1]:8883");
    EXPECT_EQ(broker_text({false, "broker", 1883}), "broker:1883");
}

TEST(MqttOptions, TakenTogether) {
    struct Case {
        std::vector<std::pair<Option, const char*>> given;
        std::string error; // empty: accepted
    };
    const Case cases[] = {
        {{{Option::Url, "mqtt://b"}}, ""},
        {{{Option::Url, "mqtts://b"}, {Option::Ca, "ca.crt"}, {Option::Cert, "c"}, {Option::Key, "k"}}, ""},
        {{{Option::Commands, nullptr}}, "go with --mqtt URL"},
        {{{Option::Queue, "5"}}, "go with --mqtt URL"},
        {{{Option::Url, "mqtt://b"}, {Option::Ca, "ca.crt"}}, "mqtts:// URL"},
        {{{Option::Url, "mqtts://b"}, {Option::Cert, "c"}}, "go together"},
        {{{Option::Url, "mqtt://b"}, {Option::Queue, "0"}}, "1 to 1000000"},
        {{{Option::Url, "mqtt://b"}, {Option::Queue, "1000001"}}, "1 to 1000000"},
        {{{Option::Url, "mqtt://b"}, {Option::Queue, "12x"}}, "1 to 1000000"},
        {{{Option::Url, "mqtt://b"}, {Option::Queue, ""}}, "needs a value"},
        {{{Option::Url, "mqtt://b"}, {Option::Prefix, "a/#"}}, "wildcards"},
        {{{Option::Url, "mqtt://b"}, {Option::Discovery, "$SYS"}}, "broker's own"},
        {{{Option::Url, "mqtt://b"}, {Option::ClientId, "two words"}}, "printable ASCII"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        bool ok = true;
        for (const auto& [which, arg] : c.given) ok = ok && take_option(which, arg, o, error);
        ok = ok && check_options(o, error);
        EXPECT_EQ(ok, c.error.empty()) << error;
        if (!c.error.empty()) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    Options o;
    std::string error;
    ASSERT_TRUE(take_option(Option::Discovery, "off", o, error));
    EXPECT_TRUE(o.discoveryPrefix.empty());
    ASSERT_TRUE(take_option(Option::Queue, "1000000", o, error));
    EXPECT_EQ(o.queueMax, 1000000u);
}

TEST(MqttOptions, CredentialsFile) {
    struct Case {
        std::string text;
        bool ok;
        std::string user, password, error;
    };
    const Case cases[] = {
        {"kelvord\ns3cret pass\n", true, "kelvord", "s3cret pass", ""},
        {"kelvord\r\npw\r\n\n\n", true, "kelvord", "pw", ""},
        {"kelvord", true, "kelvord", "", ""},
        {"kelvord\n", true, "kelvord", "", ""},
        {"", false, "", "", "no user name"},
        {"\npw\n", false, "", "", "no user name"},
        {"a\nb\nc\n", false, "", "", "more than two lines"},
        {"two words\npw", false, "", "", "printable ASCII"},
        {std::string("u\np\0w", 5), false, "", "", "NUL"},
        {"u\n" + std::string(1025, 'p'), false, "", "", "longer than 1024"},
    };
    for (const Case& c : cases) {
        Credentials got;
        std::string error;
        EXPECT_EQ(parse_credentials(c.text, got, error), c.ok) << c.text << ": " << error;
        if (c.ok) {
            EXPECT_EQ(std::tie(got.user, got.password), std::tie(c.user, c.password));
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(MqttTopics, LineNamesAndPrefixes) {
    const std::pair<std::string, std::string> lines[] = {
        {"/dev/ttyUSB0", "ttyUSB0"},
        {"/dev/serial/by-id/usb-FTDI_FT232R:A10-if00-port0", "usb-FTDI_FT232R_A10-if00-port0"},
        {"/run/lines/door.1/", "door.1"},
        {"relative+name#x", "relative_name_x"},
        {"/dev/tty\xc3\xa9", "tty__"},
        {"/", "line"},
        {"", "line"},
        {"..", "line"},
        {"//", "line"},
        {"/run/lines/.", "line"},
        {"/dev/", "dev"},
        {"rfc2217://door-7:4001", "door-7_4001"},
        {"socket://[::1]:4002", "___1__4002"},
        {"/dev/serial/by-id/usb-FTDI_A 1:2", "usb-FTDI_A_1_2"},
        {std::string("a\0b", 3), "a_b"},
        {"~x\x7f", "_x_"},
    };
    for (const auto& [port, name] : lines) EXPECT_EQ(line_name(port), name) << port;

    const std::pair<std::string, bool> prefixes[] = {
        {"kelvor", true},
        {"site/hall 2", false},
        {"site/hall-2/doors", true},
        {"", false},
        {"/kelvor", false},
        {"kelvor/", false},
        {"a//b", false},
        {"a/+/b", false},
        {"a/#", false},
        {"$SYS/x", false},
        {std::string(257, 'a'), false},
        {std::string(256, 'a'), true},
    };
    for (const auto& [prefix, ok] : prefixes) {
        std::string error;
        EXPECT_EQ(valid_prefix(prefix, error), ok) << prefix;
        EXPECT_EQ(error.empty(), ok) << prefix;
    }

    const Topics t("site/hall", "ttyUSB0");
    EXPECT_EQ(t.status(), "site/hall/ttyUSB0/status");
    EXPECT_EQ(t.command(), "site/hall/ttyUSB0/command");
    EXPECT_EQ(t.result(), "site/hall/ttyUSB0/result");
    EXPECT_EQ(t.state(), "site/hall/ttyUSB0/state");
    EXPECT_EQ(t.event(0), "site/hall/ttyUSB0/0/event");
    EXPECT_EQ(t.event(65535), "site/hall/ttyUSB0/65535/event");
    EXPECT_EQ(t.identified(7), "site/hall/ttyUSB0/7/identified");
}

TEST(MqttTopics, EventsRouted) {
    struct Case {
        std::string line;
        bool event;
        uint32_t module;
        bool lineState, identified;
    };
    const Case cases[] = {
        {R"({"class":"event","kind":"identify","module_id":null,"time":1,"user_id":5,"score":900})", true, 0,
         false, true},
        {R"({"class":"event","kind":"identify","module_id":7,"time":1,"user_id":5,"name":"Ada"})", true, 7,
         false, true},
        {R"({"class":"event","kind":"duress","module_id":3,"time":1,"user_id":9})", true, 3, false, true},
        {R"({"class":"event","kind":"not_found","module_id":3,"time":1})", true, 3, false, false},
        {R"({"class":"event","kind":"line","state":"lost","port":"/dev/ttyUSB0","time":1})", true, 0, true,
         false},
        {R"({"class":"event","kind":"identify","module_id":70000,"user_id":1})", true, 0, false, true},
        {R"({"class":"event","kind":"identify","module_id":-1,"user_id":"5"})", true, 0, false, false},
        {R"({"class":"command","id":1,"outcome":"ok"})", false, 0, false, false},
        {R"({"class":"event"})", false, 0, false, false},
        {"not json", false, 0, false, false},
    };
    for (const Case& c : cases) {
        const std::optional<EventRoute> r = route_event(c.line);
        ASSERT_EQ(r.has_value(), c.event) << c.line;
        if (r) {
            EXPECT_EQ(std::tie(r->module, r->lineState, r->identified),
                      std::tie(c.module, c.lineState, c.identified))
                << c.line;
        }
    }
    EXPECT_TRUE(is_event_line(R"({"class":"event","kind":"text"})"));
    EXPECT_FALSE(is_event_line(R"({"class":"error","id":null,"message":"x"})"));
}

TEST(MqttDiscovery, ThreeEntitiesPerModule) {
    const Topics topics("kelvor", "ttyUSB0");
    struct Case {
        uint32_t module;
        std::string device, deviceName;
    };
    const Case cases[] = {
        {0, "kelvor_ttyUSB0_0", "Fingerprint module on ttyUSB0"},
        {7, "kelvor_ttyUSB0_7", "Fingerprint module 7 on ttyUSB0"},
    };
    for (const Case& c : cases) {
        const std::vector<Message> configs = discovery(topics, "homeassistant", "ttyUSB0", c.module);
        std::map<std::string, Json> byTopic;
        for (const Message& m : configs) {
            EXPECT_TRUE(m.retain) << m.topic;
            byTopic[m.topic] = Json::parse(m.payload);
        }
        const std::string base = "homeassistant/";
        const std::string person = base + "sensor/" + c.device + "/person/config";
        const std::string event = base + "event/" + c.device + "/identification/config";
        const std::string line = base + "binary_sensor/" + c.device + "/line/config";
        ASSERT_EQ(byTopic.size(), 3u);
        ASSERT_TRUE(byTopic.count(person) && byTopic.count(event) && byTopic.count(line));
        EXPECT_EQ(byTopic[person]["state_topic"], topics.identified(c.module));
        EXPECT_EQ(byTopic[event]["state_topic"], topics.event(c.module));
        EXPECT_EQ(byTopic[line]["state_topic"], topics.state());
        EXPECT_EQ(byTopic[event]["event_types"].size(), std::size(IDENTIFICATION_KINDS));
        std::set<std::string> uniqueIds;
        for (auto& [topic, config] : byTopic) {
            uniqueIds.insert(config.at("unique_id").get<std::string>());
            EXPECT_EQ(config["device"]["identifiers"], Json::array({c.device})) << topic;
            EXPECT_EQ(config["device"]["name"], c.deviceName) << topic;
            EXPECT_EQ(config["availability"][0]["topic"], topics.status()) << topic;
            EXPECT_FALSE(config.at("name").get<std::string>().empty()) << topic;
        }
        EXPECT_EQ(uniqueIds.size(), 3u);
    }
    // A prefix of several levels gives identifiers Home Assistant takes.
    const std::vector<Message> configs =
        discovery(Topics("site/hall.2", "usb-FTDI:1"), "ha", "usb-FTDI:1", 2);
    EXPECT_EQ(configs[0].topic, "ha/sensor/site_hall_2_usb-FTDI_1_2/person/config");
}

TEST(MqttRequests, Screened) {
    struct Case {
        std::string payload;
        bool enabled;
        bool privateAnswer; // the request names a response topic
        bool pass;
        Json id;
        std::string refusal; // a part of it
    };
    const std::string templates = "biometric data";
    const Case cases[] = {
        {R"({"class":"command","id":1,"command":"SS"})", true, false, true, 1, ""},
        {R"({"class":"devices","id":"d"})", true, false, true, "d", ""},
        {R"({"class":"command","id":1,"command":"SS","trace":4})", true, false, true, 1, ""},
        {R"({"class":"restore","id":1,"files":[]})", true, false, true, 1, ""},
        {R"({"class":"command","id":1,"command":"MR","p2":64,"output_file":"m.bin"})", true, false, true, 1,
         ""},
        // Refused by the parser here, with its words, before the event loop sees it.
        {"not json", true, false, false, nullptr, "JSON"},
        {R"({"class":"command","id":"t","command":"SS","p1":"x"})", true, false, false, "t", "p1"},
        // With requests off nothing is read: not the id, not the size.
        {R"({"class":"command","id":1,"command":"SS"})", false, false, false, nullptr, "--mqtt-commands"},
        {R"({"class":"command","id":1,"command":"SS"})", false, true, false, nullptr, "--mqtt-commands"},
        {"not json", false, false, false, nullptr, "--mqtt-commands"},
        {std::string(REQUEST_BYTES_MAX + 1, ' '), false, false, false, nullptr, "--mqtt-commands"},
        {R"({"class":"watch","id":2})", true, false, false, 2, "no watch"},
        {R"({"class":"watch","id":2})", true, true, false, 2, "no watch"},
        {R"({"class":"auth","id":3,"token":"0123456789abcdef"})", true, false, false, 3, "no token"},
        {R"({"class":"cancel","id":"s"})", true, false, false, "s", "no cancel"},
        {R"({"class":"cancel","id":"s"})", true, true, false, "s", "no cancel"},
        {std::string(REQUEST_BYTES_MAX + 1, ' '), true, false, false, nullptr, "longer than"},
        // Answers that carry templates or images: to the requester's response topic alone.
        {R"({"class":"backup","id":"b"})", true, false, false, "b", templates},
        {R"({"class":"backup","id":"b"})", true, true, true, "b", ""},
        {R"({"class":"copy_users","id":"c","from_module":1,"targets":[2]})", true, false, false, "c",
         templates},
        {R"({"class":"copy_users","id":"c","from_module":1,"targets":[2]})", true, true, true, "c", ""},
        {R"({"class":"command","id":4,"command":"RT","p1":5,"output_file":"u.tpl"})", true, false, false, 4,
         templates},
        {R"({"class":"command","id":4,"command":"RT","p1":5,"output_file":"u.tpl"})", true, true, true, 4,
         ""},
        {R"({"class":"command","id":4,"command":"RT","p1":5,"trace":3})", true, false, false, 4, templates},
        {R"({"class":"command","id":4,"command":"RT","p1":5})", true, false, true, 4, ""},
        {R"({"class":"command","id":5,"command":"SI","output_file":"s.bmp"})", true, false, false, 5,
         templates},
        {R"({"class":"command","id":5,"command":"ST","output_file":"s.tpl"})", true, false, false, 5,
         templates},
        {R"({"class":"command","id":5,"command":"CR","output_file":"c.bin"})", true, false, false, 5,
         templates},
        {R"({"class":"command","id":6,"command":"IS","read_image":true})", true, false, false, 6, templates},
        {R"({"class":"command","id":6,"command":"IS","read_image":true})", true, true, true, 6, ""},
    };
    for (const Case& c : cases) {
        const Screened s = screen_command(c.payload, c.enabled, c.privateAnswer);
        const std::string shown = c.payload.substr(0, 60) + (c.privateAnswer ? " (response topic)" : "");
        EXPECT_EQ(s.pass, c.pass) << shown << ": " << s.refusal;
        EXPECT_EQ(s.id, c.id) << shown;
        EXPECT_NE(s.refusal.find(c.refusal), std::string::npos) << shown << ": " << s.refusal;
    }
}

TEST(MqttRequests, ResponseTopics) {
    const Topics topics("site/hall", "L");
    struct Case {
        std::string topic;
        std::string error; // a part of it; empty: taken
    };
    const Case cases[] = {
        {"site/hall/L/reply/door-1/42", ""},
        {"replies/a b/\xc3\xa9", ""},
        {std::string(RESPONSE_TOPIC_BYTES_MAX, 'r'), ""},
        {"", "1 to 512 bytes"},
        {std::string(RESPONSE_TOPIC_BYTES_MAX + 1, 'r'), "1 to 512 bytes"},
        {"site/hall/L/reply/+", "wildcards"},
        {"#", "wildcards"},
        {"a/#", "wildcards"},
        {std::string("a\0b", 3), "wildcards"},
        {"$SYS/broker/x", "broker's own"},
        {"site/hall/L/command", "topic of the requests"},
        {"site/hall/L/request", "topic of the requests"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(valid_response_topic(c.topic, topics, error), c.error.empty()) << c.topic << ": " << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.topic << ": " << error;
    }
}

} // namespace
