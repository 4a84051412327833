// What kelvord says to an MQTT broker and takes from it, without the broker:
// the options, the broker's address, the topics of a line, where each event
// goes, the Home Assistant discovery configurations of a module, and the
// screening of a command that arrives on the broker.
//
// The topics of a line, under PREFIX/LINE (PREFIX "kelvor" unless
// --mqtt-prefix says otherwise, LINE the port's name made topic-safe):
//   PREFIX/LINE/status             "online" or "offline" (retained; the last will)
//   PREFIX/LINE/MODULE/event       every event object, as watchers get it; MODULE
//                                  the event's module_id, 0 when it names none
//   PREFIX/LINE/state              the last line event (open, lost, reopened; retained)
//   PREFIX/LINE/MODULE/identified  the module's last identification (retained)
//   PREFIX/LINE/command            requests, one object per message
//   PREFIX/LINE/request            the same (the name MQTT 5 request/response clients use)
//   PREFIX/LINE/result             the answers of requests that name no response topic
// A request of MQTT 5 that names a response topic is answered there alone,
// with its correlation data; one whose answer carries biometric data
// (templates, images, a backup) is answered nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Protocol.h"

namespace kelvord::mqtt {

struct Options {
    std::string url;                               // empty: no broker
    std::string prefix = "kelvor";                 // the topics' first levels
    std::string discoveryPrefix = "homeassistant"; // empty: no discovery configurations
    std::string caFile;                            // mqtts: the CA; empty: the system's CAs
    std::string certFile;                          // mqtts: a client certificate and its key
    std::string keyFile;
    std::string credentialsFile; // user name (first line) and password (second line)
    std::string clientId;        // empty: kelvord-HOST-LINE
    bool commands = false;       // requests on the command topic are carried out
    size_t queueMax = 1000;      // events and answers held while the broker is away
};

// The command line's options of the broker, each taken by its key.
enum class Option { Url, Prefix, Discovery, Ca, Cert, Key, Credentials, ClientId, Commands, Queue };
bool take_option(Option which, const char* arg, Options& options, std::string& error);
// What the options say together; false with `error` when they do not fit.
bool check_options(const Options& options, std::string& error);

// The most that may wait for the broker, whatever --mqtt-queue says.
inline constexpr size_t QUEUE_BYTES_MAX = 64u << 20;
inline constexpr size_t QUEUE_MAX = 1000000;

struct Broker {
    bool tls = false;
    std::string host;
    int port = 0;
};
// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); an IPv6 address in
// brackets. False with `error` for anything else.
bool parse_url(const std::string& url, Broker& broker, std::string& error);
std::string broker_text(const Broker& broker); // HOST:PORT, as logs name it

struct Credentials {
    std::string user;
    std::string password; // may be empty: a user name alone
};
// The text of a credentials file: the user name on its first line, the
// password on the second, nothing after; line ends LF or CRLF.
bool parse_credentials(std::string_view text, Credentials& credentials, std::string& error);

// The name of a line, made of the port's last path component: letters,
// digits, ".", "_" and "-" stay, anything else becomes "_" ("line" when
// nothing is left). A topic level, and the default socket's file name.
std::string line_name(const std::string& port);
// A topic prefix: one or more levels, none empty, no wildcards, no control
// characters, not a broker's own "$" topic, at most 256 bytes.
bool valid_prefix(const std::string& prefix, std::string& error);
// An identifier of Home Assistant: letters, digits, "_" and "-".
std::string ha_id(std::string_view text);

class Topics {
public:
    Topics(const std::string& prefix, const std::string& line) : base_(prefix + "/" + line) {}
    const std::string& base() const { return base_; }
    std::string status() const { return base_ + "/status"; }
    std::string command() const { return base_ + "/command"; }
    std::string request() const { return base_ + "/request"; }
    std::string result() const { return base_ + "/result"; }
    std::string state() const { return base_ + "/state"; }
    std::string event(uint32_t module) const { return base_ + "/" + std::to_string(module) + "/event"; }
    std::string identified(uint32_t module) const {
        return base_ + "/" + std::to_string(module) + "/identified";
    }

private:
    std::string base_;
};

// Whether a line the service sends its clients is an event (and not an answer).
bool is_event_line(std::string_view line);

// Where an event goes, read from its object.
struct EventRoute {
    uint32_t module = 0;     // its module_id; 0 when it names none
    std::string kind;        // its kind
    bool lineState = false;  // a line event: the line's state too
    bool identified = false; // an identification of a user: the module's last too
};
// Nothing when the line is no event object.
std::optional<EventRoute> route_event(std::string_view line);

struct Message {
    std::string topic;
    std::string payload;
    bool retain = false;
    // An answer on a response topic: the request's correlation data, when it gave some.
    std::optional<std::string> correlation;
};

// The kinds of event that an identification entity of Home Assistant fires.
extern const char* const IDENTIFICATION_KINDS[5];

// The discovery configurations of one module (0: the module of a line in
// single-module mode): a sensor of the last person identified, an event
// entity of the identifications, a binary sensor of the line's state; each
// retained under the discovery prefix.
std::vector<Message> discovery(const Topics& topics, const std::string& discoveryPrefix,
                               const std::string& line, uint32_t module);

// MQTT 5 request/response: the response topic a request names, and its
// correlation data, copied back with the answer.
inline constexpr size_t RESPONSE_TOPIC_BYTES_MAX = 512;
inline constexpr size_t CORRELATION_BYTES_MAX = 1024;
// A topic an answer may be published on: 1 to RESPONSE_TOPIC_BYTES_MAX bytes,
// no wildcards, no NUL, not a broker's own "$" topic, not one of the topics
// the line takes requests on (an answer is no request).
bool valid_response_topic(std::string_view topic, const Topics& topics, std::string& error);
// Whether the answer to a request may carry biometric data: a backup, a copy
// of users out of a module, a command that reads templates or an image (its
// output, its trace, or the image after it).
bool returns_biometric_data(const Request& request);

// A request that arrived on the command topic: passed on to the service as a
// socket client's request line, or refused at once with why (and the id it
// carried, when it could be read). With requests off nothing of the payload
// is read, not even its id; with them on it is parsed once here, off the
// event loop, and refused here when the service would refuse it anyway.
// `privateAnswer`: the answer goes to the requester's response topic alone.
struct Screened {
    bool pass = false;
    Json id;
    std::string refusal;
};
Screened screen_command(std::string_view payload, bool commandsEnabled, bool privateAnswer = false);

} // namespace kelvord::mqtt
