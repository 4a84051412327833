// kelvord's request parser against arbitrary lines, and its event objects
// against arbitrary packets. Whatever the bytes: the parser never throws and
// hands back a request or a refusal; a refusal's answer, and every event, is
// one line of JSON that parses back as an object of its class; an input taken
// as base64 comes back the same through the encoder. And no line costs the
// parser more than 0.2 s a MiB of it: its time is linear in its length,
// whatever its shape (wide, deep, long, a restore of many files).
#include <algorithm>
#include <cctype>
#include <chrono>
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

// What the parser took of a backup, restore or copy holds to its bounds, and
// its answers and progress are lines of their class.
void check_work(const Json& id, const WorkRequest& w, Tool tool) {
    require(w.options.tool == tool && !w.directory.empty());
    uint64_t total = 0;
    for (const BackupFile& f : w.files) {
        require(backup_file_name_ok(f.name));
        total += f.data.size();
    }
    require(total <= REQUEST_FILES_BYTES_MAX && w.files.size() <= BACKUP_FILES_MAX);
    const WorkOptions& o = w.options;
    // A copy has one source: a module, or the files of a backup.
    require(o.fromModule == 0 || w.files.empty());
    require(tool == Tool::CopyUsers || (o.fromModule == 0 && o.targets.empty() && o.users.empty()));
    require(!o.ofList || (w.moduleId && *o.ofList == *w.moduleId));
    for (const auto& [first, last] : o.users) require(first >= 1 && first <= last);
    for (size_t i = 0; i < o.targets.size(); ++i) {
        require(o.targets[i] != 0);
        for (size_t k = i + 1; k < o.targets.size(); ++k) require(o.targets[i] != o.targets[k]);
    }
    WorkResult result;
    result.objects = {R"({"format":1})"};
    result.text = w.directory;
    result.trace = w.directory;
    require_line(work_answer(id, tool, result, &w.files, true), work_class(tool));
    require_line(progress_line(id, tool, "", R"("done":1,"total":2)"), "progress");
    require_line(progress_line(id, tool, "object", R"({"format":1})"), "progress");
}

// The parse's time of a line of `size` bytes at most: 0.2 s a MiB, and no
// less than 0.1 s, so that the instrumentation's and the machine's noise on a
// short line never counts as slow.
double parse_seconds_max(size_t size) {
    return std::max(0.1, 0.2 * static_cast<double>(size) / (1u << 20));
}

// `parse` of `line`, aborting when it took longer than its bound.
template <class Parse> Request timed(Parse parse, std::string_view line) {
    const auto start = std::chrono::steady_clock::now();
    Request r = parse(line);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    require(took <= parse_seconds_max(line.size()));
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        kelvor::keyword_fill();
        return true;
    }();
    (void)ready;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const Request r = timed(parse_request, line);
    // Before the token only an auth request is read, from a short line.
    const Request first = timed(parse_auth_request, line);
    require(std::holds_alternative<AuthRequest>(first.body) ||
            std::holds_alternative<BadRequest>(first.body));
    require(!std::holds_alternative<AuthRequest>(first.body) ||
            (line.size() <= AUTH_BYTES_MAX && std::holds_alternative<AuthRequest>(r.body) &&
             std::get<AuthRequest>(r.body).token == std::get<AuthRequest>(first.body).token));
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
    } else if (const auto* b = std::get_if<BackupRequest>(&r.body)) {
        check_work(r.id, *b, Tool::Backup);
    } else if (const auto* rs = std::get_if<RestoreRequest>(&r.body)) {
        check_work(r.id, *rs, Tool::Restore);
    } else if (const auto* cp = std::get_if<CopyUsersRequest>(&r.body)) {
        check_work(r.id, *cp, Tool::CopyUsers);
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
    if (space != std::string_view::npos && origin_allowed(line.substr(0, space), line.substr(space + 1))) {
        // A scheme, like a host name, is the same in any case.
        std::string scheme(line.substr(0, std::min<size_t>(line.size(), 7)));
        for (char& ch : scheme) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        require(line.size() > 8 && scheme == "http://");
    }
    return 0;
}
