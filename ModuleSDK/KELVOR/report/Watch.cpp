#include "Watch.h"

#include <cstdio>

#include "Json.h"
#include "LineEvents.h"
#include "ModuleSDK.h"
#include "Report.h"
#include "connection/PortInfo.h"
#include "trace/Console.h"

using namespace kelvor;

namespace watch {

namespace {

// Bytes that make nothing are one event while they keep coming closer than this.
constexpr int NOISE_GAP_MS = 3;
constexpr size_t NOISE_MAX = 256;
// The longest quiet wait in one go; a quiet line is no reason to stop.
constexpr int WAIT_MS = 60000;

void write_out(const std::string& line) {
    std::string out = line + '\n';
    results::write(out.data(), out.size());
}

} // namespace

void print_event(const std::string& eventLine) {
    if (json_output::on()) {
        write_out(eventLine);
        return;
    }
    const nlohmann::ordered_json e = nlohmann::ordered_json::parse(eventLine, nullptr, false);
    if (e.is_object()) write_out(line_events::readable(e));
}

int watch_line(const std::string& port) {
    std::string noise;
    int64_t noiseMs = 0;
    const auto flush_noise = [&] {
        if (noise.empty()) return;
        print_event(
            line_events::noise_event(reinterpret_cast<const uint8_t*>(noise.data()), noise.size(), noiseMs));
        noise.clear();
    };
    for (;;) {
        if (results::lost()) return 0;
        LineEvent e;
        const int rc = link_wait_event(e, noise.empty() ? WAIT_MS : NOISE_GAP_MS);
        if (rc < 0) {
            flush_noise();
            std::string why = network_loss_reason(port);
            if (why.empty())
                why = serial_port_lost() ? "the port is gone (unplugged, or its far side closed)"
                                         : "the port cannot be read";
            print_event(line_events::line_event("lost", port, why, line_events::now_ms()));
            return ERR_READ;
        }
        if (rc == 0) {
            flush_noise();
            continue;
        }
        const int64_t ms = line_events::now_ms();
        if (e.kind == LineEventKind::Noise) {
            if (noise.empty()) noiseMs = ms;
            noise.append(reinterpret_cast<const char*>(e.bytes.data()), e.length);
            if (noise.size() >= NOISE_MAX) flush_noise();
            continue;
        }
        flush_noise();
        if (e.kind == LineEventKind::Text)
            print_event(line_events::text_event(
                std::string_view(reinterpret_cast<const char*>(e.bytes.data()), e.length), ms));
        else
            print_event(line_events::packet_event(e.bytes.data(), e.length, link_state().network == 1, ms));
    }
}

} // namespace watch
