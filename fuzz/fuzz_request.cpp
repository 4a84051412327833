// kelvord's request parser against arbitrary lines, and its event objects
// against arbitrary packets. Whatever the bytes: the parser never throws and
// hands back a request or a refusal; a refusal's answer, and every event, is
// one line of JSON that parses back as an object of its class; an input taken
// as base64 comes back the same through the encoder.
#include <cstdlib>
#include <string>
#include <string_view>

#include "HttpRules.h"
#include "LineEvents.h"
#include "ModuleSDK.h"
#include "Protocol.h"

using namespace kelvord;
using namespace line_events;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// One line, without a line end, that parses back as an object of `cls`.
void require_line(const std::string& line, const char* cls) {
    require(line.find('\n') == std::string::npos);
    const Json j = Json::parse(line, nullptr, false);
    require(j.is_object() && j.value("class", "") == cls);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        kelvor::keyword_fill();
        return true;
    }();
    (void)ready;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const Request r = parse_request(line);
    if (const auto* bad = std::get_if<BadRequest>(&r.body)) {
        require(!bad->message.empty());
        require_line(error_line(r.id, bad->message), "error");
    } else if (const auto* c = std::get_if<CommandRequest>(&r.body)) {
        if (c->input) {
            std::vector<uint8_t> back;
            require(base64_decode(base64_encode(c->input->data(), c->input->size()), back) &&
                    back == *c->input);
        }
        CommandResult result;
        result.object = R"({"format":1})";
        result.trace = std::string(line.substr(0, 64));
        require_line(command_answer(r.id, result, true), "command");
    }
    // The same bytes as what a module sent on its own.
    for (const bool network : {false, true}) {
        if (size >= kelvor::packet::length(network))
            require_line(packet_event(data, size, network, 0), "event");
    }
    require_line(text_event(line, 0), "event");
    require_line(noise_event(data, size, 0), "event");
    // The same bytes as a browser's request target, Host and Origin headers:
    // a file served is one of the page's own names, and an origin taken is
    // the host's own.
    const std::string file = station_file(line);
    require(file.empty() ||
            (file.find('/') == std::string::npos && file.find("..") == std::string::npos && file[0] != '.'));
    for (const bool loopback : {false, true}) {
        if (host_allowed(line, loopback)) {
            std::string host, port;
            split_host_header(line, host, port);
            require(!host.empty() && (!loopback || loopback_host(host)));
        }
    }
    const size_t space = line.find(' ');
    if (space != std::string_view::npos && origin_allowed(line.substr(0, space), line.substr(space + 1)))
        require(line.size() > 8 && line.substr(0, 7) == "http://");
    return 0;
}
