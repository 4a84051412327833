#include "ServerRun.h"

#include <algorithm>
#include <cstdio>

#include "Json.h"
#include "OrvantiCom.h"
#include "Remote.h"
#include "Watch.h"

using namespace kelvor;

namespace {

const char* damage_text(const std::string& answer) {
    return answer == "checksum_error" ? "answered with a checksum error" : "answered with a packet cut short";
}

// The scan by the service, printed as the run prints its own scan.
} // namespace

int server_scan(OrvantiCom& com) {
    remote::Json request = remote::Json::object();
    request["class"] = "scan";
    request["first"] = com.scanFirst;
    request["last"] = com.scanLast;
    request["trace"] = com.traceLevel >= 0 && com.traceLevel <= 4 ? com.traceLevel : 1;
    // -t on the command line is each ID's wait, as it is for a scan of the run's own.
    if (std::find(com.words.begin(), com.words.end(), "-t") != com.words.end() && com.readTimeout > 0)
        request["wait_ms"] = com.readTimeout;
    const remote::Json answer = remote::ask(request);
    if (answer.value("class", "") != "scan") {
        const std::string message = answer.value("message", "");
        if (answer.value("link", false)) {
            err_line(err_site::SERVER_SCAN_SERVICE_GONE, "Err: The service kelvord on %s is gone: %s\n",
                     remote::socket().c_str(), message.c_str());
            return ERR_READ;
        }
        err_line(err_site::SERVER_SCAN_REFUSED, "Err: kelvord refused the scan: %s\n", message.c_str());
        return FRONT_REFUSED;
    }
    remote::print_trace(answer.value("trace", ""));
    const remote::Json& objects = answer["objects"];
    size_t found = 0, checksum = 0, cutShort = 0;
    for (const remote::Json& o : objects) {
        if (json_output::on()) {
            json_output::print(o);
            continue;
        }
        const std::string kind = o.value("kind", "");
        if (kind == "module_text") {
            for (const remote::Json& line : o.value("module_text", remote::Json::array()))
                if (line.is_string()) remote::print_text_line(line.get<std::string>());
        } else if (kind == "scan_module") {
            const unsigned id = o.value("module_id", 0u);
            const std::string heard = o.value("answer", "ok");
            if (heard == "ok") {
                std::printf("Module %u (%#06x): %s", id, id, o.value("status_name", "").c_str());
                if (o.contains("firmware_version"))
                    std::printf(", firmware %#x, %u templates", o.value("firmware_version", 0u),
                                o.value("templates", 0u));
                std::printf("\n");
            } else {
                std::printf("Module %u (%#06x): %s\n", id, id, damage_text(heard));
            }
        } else if (kind == "scan") {
            found = o.value("modules", remote::Json::array()).size();
            checksum = o.value("checksum_errors", remote::Json::array()).size();
            cutShort = o.value("cut_short", remote::Json::array()).size();
            std::printf("%zu module%s found on IDs %u-%u", found, found == 1 ? "" : "s", com.scanFirst,
                        com.scanLast);
            if (checksum > 0) std::printf(", %zu %s", checksum, damage_text("checksum_error"));
            if (cutShort > 0) std::printf(", %zu %s", cutShort, damage_text("cut_short"));
            std::printf("\n");
        }
    }
    std::fflush(stdout);
    return answer.value("result", 0);
}

int server_watch() {
    remote::Json request = remote::Json::object();
    request["class"] = "watch";
    request["enable"] = true;
    std::string why;
    if (!remote::send(request, why)) {
        err_line(err_site::SERVER_WATCH_SEND_FAILED, "Err: The service kelvord on %s is gone: %s\n",
                 remote::socket().c_str(), why.c_str());
        return ERR_READ;
    }
    for (;;) {
        std::string line;
        if (!remote::next_line(line, -1, why)) {
            err_line(err_site::SERVER_WATCH_SERVICE_GONE, "Err: The service kelvord on %s is gone: %s\n",
                     remote::socket().c_str(), why.c_str());
            return ERR_READ;
        }
        const remote::Json o = remote::Json::parse(line, nullptr, false);
        if (o.is_object() && o.value("class", "") == "event") watch::print_event(line);
        if (results::lost()) return 0;
    }
}

int refuse_through_server(const char* why) {
    err_line(err_site::SERVER_REFUSED, "Err: %s\n", why);
    return FRONT_REFUSED;
}
