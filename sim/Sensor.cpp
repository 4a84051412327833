// The sensor and the readers: the finger placed, scans and their waits,
// Wiegand and card inputs, images and templates the host sends for a scan.
#include "Module.h"

#include "Card.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace sim {

void Module::wait_timeout_period() {
    const uint32_t v = param(param::TIMEOUT_PERIOD);
    // Tenths of a second; a digit counts as its value.
    const uint32_t tenths = v >= 0x30 && v <= 0x39 ? v - 0x30 : std::min<uint32_t>(v, 600);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(tenths * 100);
    while (!stop_requested()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) return;
        const auto c = receive_command(static_cast<int>(std::min<long long>(left, 50)));
        if (!c) continue;
        if (c->code == cmd::CA && !c->broadcast) {
            cancelled_ = true;
            return;
        }
        if (!c->broadcast) write_packet(c->code, 0, 0, flag::SYSTEM_BUSY);
    }
}

Scan Module::scan() {
    Scan s;
    const Control ctl = control();
    if (ctl.placeSerial != placeSerial_) {
        placeSerial_ = ctl.placeSerial;
        placeIndex_ = 0;
    }
    Placement p;
    std::string error;
    if (!parse_place(ctl.place, p, error) || p.kind == Placement::None) {
        wait_timeout_period();
        s.status = Scan::NoFinger;
        return s;
    }
    if (p.kind == Placement::Fingers) {
        const uint32_t finger = p.fingers[std::min(placeIndex_, p.fingers.size() - 1)];
        ++placeIndex_;
        s.image = capture_finger(finger, captures_++);
    } else if (!read_bmp(p.file, s.image, error)) {
        if (options_.verbose) std::fprintf(stderr, "sensor: %s\n", error.c_str());
        s.status = Scan::Poor;
        return s;
    }
    lastImage_ = s.image;
    const auto tpl = extract_template(s.image);
    if (!tpl) {
        s.status = Scan::Poor;
        return s;
    }
    s.tpl = *tpl;
    s.status = Scan::Ok;
    return s;
}

bool Module::finger_on_sensor() {
    Placement p;
    std::string error;
    return parse_place(control().place, p, error) && p.kind != Placement::None;
}

std::optional<Match> Module::best_match(std::span<const uint8_t> probe,
                                        const std::vector<uint32_t>& users) const {
    std::optional<Match> best;
    for (const Template& t : state_.templates()) {
        if (!users.empty() && std::find(users.begin(), users.end(), t.user) == users.end()) continue;
        const int score = match_score(probe, t.data);
        if (!best || score > best->score) best = Match{t.user, score, t.duress};
    }
    return best;
}

std::optional<uint32_t> Module::wiegand_input() {
    const auto value = control().wiegand;
    if (value) record_event(LOG_SOURCE_WIEGAND, EVENT_DETECT_WIEGAND, *value);
    return value;
}
std::optional<uint32_t> Module::card_input() {
    const auto card = presented_card(*this);
    if (!card) return std::nullopt;
    record_event(LOG_SOURCE_CARD, EVENT_DETECT_CARD, card->user);
    return card->user;
}

std::optional<std::vector<uint8_t>> Module::receive_image_template(const Command& c, bool chunked) {
    std::vector<uint8_t> record;
    if (chunked) {
        if (c.param2 < IMAGE_HEADER_SIZE || c.param2 > MAX_BLOCK) {
            answer(c.code, 0, 0, flag::TRY_AGAIN);
            return std::nullopt;
        }
        answer(c.code, 0, 0, flag::SUCCEED);
        if (!receive_chunks(c.code, record, c.param2)) return std::nullopt;
    } else if (!receive_block(record, c.param2, MAX_BLOCK)) {
        answer(c.code, 0, 0, flag::TRY_AGAIN);
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> tpl;
    if (const auto image = parse_image_record(record)) {
        set_last_image(*image);
        tpl = extract_template(*image);
    }
    if (!tpl) answer(c.code, 0, 0, flag::TRY_AGAIN);
    return tpl;
}

std::optional<std::vector<uint8_t>> Module::receive_template(const Command& c) {
    std::vector<uint8_t> tpl;
    if (!receive_block(tpl, c.param2, TEMPLATE_SIZE) || !template_valid(tpl)) {
        answer(c.code, 0, 0, flag::TRY_AGAIN);
        return std::nullopt;
    }
    return tpl;
}

std::optional<std::vector<uint8_t>> Module::scan_template(uint8_t command) {
    const Scan s = scan();
    if (s.status == Scan::NoFinger) {
        answer(command, 0, 0, flag::TIMEOUT);
        return std::nullopt;
    }
    if (s.status == Scan::Poor) {
        answer(command, 0, 0, flag::SCAN_FAILED);
        return std::nullopt;
    }
    scan_success(command);
    return s.tpl;
}

} // namespace sim
