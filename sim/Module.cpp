#include "Module.h"

#include "Card.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace sim {

namespace {

std::array<Handler, 256>& handlers() {
    static std::array<Handler, 256> table{};
    return table;
}

// Largest data block the module takes: an image record.
constexpr size_t MAX_BLOCK = IMAGE_HEADER_SIZE + MAX_PIXELS;
// Pause within a packet or a data block after which the module gives up on it.
constexpr int GAP_MS = 1000;
// How long the module waits for the host's acknowledgement of a chunk.
constexpr int ACK_MS = 3000;
// Quiet time after a command from which the module sends packets of its own.
constexpr int UNSOLICITED_AFTER_MS = 300;
// How often an idle module looks at its sensor and control file.
constexpr int IDLE_POLL_MS = 200;
// Free-scan results travel as answers of the identify-by-scan command.
constexpr uint8_t IDENTIFY_BY_SCAN = 0x11;

void sleep_ms(uint32_t ms) {
    // In steps, so that a stop signal is not kept waiting.
    while (ms > 0 && !stop_requested()) {
        const uint32_t step = std::min<uint32_t>(ms, 50);
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
        ms -= step;
    }
}

uint32_t arg_or(const Fault& f, uint32_t fallback) {
    return f.hasNumber ? static_cast<uint32_t>(f.number) : fallback;
}

} // namespace

Register::Register(std::initializer_list<std::pair<uint8_t, Handler>> list) {
    for (const auto& [code, h] : list) handlers()[code] = h;
}

Handler find_handler(uint8_t code) {
    return handlers()[code];
}

bool Module::start(const Options& options, std::string& error) {
    options_ = options;
    if (!state_.open(options.state, options.capacity, error)) return false;
    controlPath_ = control_path(options.link);
    if (!line_.open(options.link, error)) return false;
    // A fresh control file (nothing on the sensor, no faults) before the link
    // appears, so that a control invocation never races with it.
    if (!save_control(controlPath_, Control{}, error) || !line_.publish(error)) return false;
    line_.set_pace(options.pace);
    line_.set_strict_baud(options.strictBaud);
    apply_line_settings();
    return true;
}

void Module::apply_line_settings() {
    line_.set_baud(baud_rate(param(param::BAUDRATE)));
    line_.set_hex(param(param::ASCII_PACKET) != 0x30);
    network_ = param(param::NETWORK_MODE) != 0x30;
    moduleId_ = static_cast<uint16_t>(param(param::MODULE_ID));
}

Control Module::control() {
    Control c;
    std::string error;
    if (!load_control(controlPath_, c, error) && options_.verbose)
        std::fprintf(stderr, "control: %s\n", error.c_str());
    return c;
}

void Module::note(const char* what, const Command& c) {
    if (!options_.verbose) return;
    std::fprintf(stderr, "%s %02x %08x %08x %02x%s\n", what, c.code, c.param1, c.param2, c.flag,
                 c.broadcast ? " (broadcast)" : "");
}

void Module::serve() {
    bool quietAfterCommand = false;
    while (!stop_requested()) {
        const auto c = receive_command(quietAfterCommand ? UNSOLICITED_AFTER_MS : IDLE_POLL_MS);
        if (c) {
            dispatch(*c);
            quietAfterCommand = true;
            continue;
        }
        if (quietAfterCommand) {
            // The host has fallen silent after its command: time for packets of the module's own.
            quietAfterCommand = false;
            send_unsolicited();
        }
        notice_inputs();
        if (param(param::FREE_SCAN) != 0x30) free_scan();
    }
}

void Module::notice_inputs() {
    // An input raised from the control side latches until IG clears it, and is logged.
    const Control ctl = control();
    if (ctl.inputSerial == inputSerial_) return;
    inputSerial_ = ctl.inputSerial;
    if (!ctl.input || *ctl.input > 2) return;
    inputLatches_ = static_cast<uint8_t>(inputLatches_ | 1u << *ctl.input);
    record_event(static_cast<uint8_t>(LOG_SOURCE_IN0 + *ctl.input),
                 static_cast<uint8_t>(EVENT_DETECT_INPUT0 + *ctl.input), 0);
}

int64_t Module::clock_now() const {
    int64_t offset = 0;
    const auto blob = state_.blob(CLOCK_BLOB);
    if (blob && blob->size() == 8) {
        for (size_t i = 0; i < 8; ++i) offset |= static_cast<int64_t>((*blob)[i]) << (8 * i);
    } else {
        // A clock never set runs on the host's local time.
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        if (localtime_r(&now, &local) != nullptr) offset = local.tm_gmtoff;
    }
    return static_cast<int64_t>(std::time(nullptr)) + offset;
}

void Module::set_clock(int64_t seconds) {
    const int64_t offset = seconds - static_cast<int64_t>(std::time(nullptr));
    std::vector<uint8_t> blob(8);
    for (size_t i = 0; i < 8; ++i) blob[i] = static_cast<uint8_t>(static_cast<uint64_t>(offset) >> (8 * i));
    state_.set_blob(CLOCK_BLOB, blob);
}

void Module::record_event(uint8_t source, uint8_t event, uint32_t user) {
    std::vector<uint8_t> log = state_.blob(LOG_BLOB).value_or(std::vector<uint8_t>{});
    log.resize(log.size() - log.size() % LOG_RECORD_SIZE);
    const size_t keep = (LOG_CAPACITY - 1) * LOG_RECORD_SIZE;
    if (log.size() > keep) log.erase(log.begin(), log.end() - static_cast<std::ptrdiff_t>(keep));
    const std::time_t now = static_cast<std::time_t>(clock_now());
    std::tm t{};
    gmtime_r(&now, &t);
    // Date as year, month, day; time as hour, minute, second; the user ID as the value.
    uint8_t r[LOG_RECORD_SIZE] = {event,
                                  source,
                                  static_cast<uint8_t>(t.tm_year + 1900 - 2000),
                                  static_cast<uint8_t>(t.tm_mon + 1),
                                  static_cast<uint8_t>(t.tm_mday),
                                  static_cast<uint8_t>(t.tm_hour),
                                  static_cast<uint8_t>(t.tm_min),
                                  static_cast<uint8_t>(t.tm_sec)};
    packet::put32(r + 8, user);
    log.insert(log.end(), r, r + LOG_RECORD_SIZE);
    state_.set_blob(LOG_BLOB, log);
}

void Module::report_free_scan(std::span<const uint8_t> tpl) {
    const auto m = best_match(tpl, {});
    if (m && is_match(*m) && !m->duress && state_.policy(m->user) != 3) {
        record_event(LOG_SOURCE_FREE_SCAN, EVENT_IDENTIFY_SUCCESS, m->user);
        write_packet(IDENTIFY_BY_SCAN, m->user, static_cast<uint32_t>(m->score), flag::SUCCEED);
    } else if (m && is_match(*m) && m->duress) {
        record_event(LOG_SOURCE_FREE_SCAN, EVENT_IDENTIFY_DURESS, m->user);
        write_packet(IDENTIFY_BY_SCAN, m->user, 0, flag::DURESS_FINGER);
    } else {
        record_event(LOG_SOURCE_FREE_SCAN, EVENT_IDENTIFY_FAIL, 0);
        write_packet(IDENTIFY_BY_SCAN, 0, 0, flag::NOT_FOUND);
    }
}

void Module::free_scan() {
    // A finger newly put on the sensor is identified at once and the result sent unasked.
    const Control ctl = control();
    if (ctl.placeSerial == freeScanSerial_) return;
    freeScanSerial_ = ctl.placeSerial;
    if (!finger_on_sensor()) return;
    const Scan s = scan();
    if (s.status == Scan::Ok)
        report_free_scan(s.tpl);
    else
        write_packet(IDENTIFY_BY_SCAN, 0, 0, flag::SCAN_FAILED);
}

void Module::send_unsolicited() {
    const Control ctl = control();
    uint32_t count = 0;
    for (const Fault& f : ctl.faults)
        if (f.kind == FaultKind::Unsolicited && use_fault(f)) count += arg_or(f, 1);
    // Results of free scans of the finger on the sensor, as a module in free-scan mode reports them.
    for (uint32_t k = 0; k < std::min<uint32_t>(count, 64); ++k) {
        Placement p;
        std::string error;
        std::optional<std::vector<uint8_t>> tpl;
        if (parse_place(ctl.place, p, error) && p.kind == Placement::Fingers)
            tpl = extract_template(capture_finger(p.fingers.back(), captures_++));
        if (tpl)
            report_free_scan(*tpl);
        else
            write_packet(IDENTIFY_BY_SCAN, 0, 0, flag::NOT_FOUND);
    }
}

void Module::dispatch(const Command& c) {
    note("<-", c);
    notice_inputs();
    broadcast_ = c.broadcast;
    currentCommand_ = c.code;
    const uint32_t delay = param(param::RESPONSE_DELAY);
    if (delay > 0x30 && delay <= 0x39) sleep_ms((delay - 0x30) * 100);
    // A second step of a two-step enrolment must follow at once; anything else drops it.
    const bool continues = (c.code == cmd::ES || c.code == cmd::EW) && c.flag == flag::ENROLL_CONTINUE;
    if (!continues) pendingEnroll.reset();
    cancelled_ = false;
    if (state_.locked() && refused_while_locked(c.code))
        answer(c.code, 0, 0, flag::SYSTEM_BUSY);
    else if (Handler h = find_handler(c.code))
        h(*this, c);
    else
        answer(c.code, 0, 0, flag::NOT_SUPPORTED);
    broadcast_ = false;
}

std::optional<Command> Module::receive_command(int timeoutMs) {
    const size_t len = packet::length(network_);
    const uint8_t start = packet::start_code(network_);
    uint8_t buf[packet::MAX_LENGTH];
    if (!line_.read_byte(buf[0], timeoutMs) || buf[0] != start) return std::nullopt;
    if (line_.read(buf + 1, len - 1, GAP_MS) != len - 1) return std::nullopt;
    // A damaged packet gets no answer at all.
    if (!packet::checksum_ok(buf, network_) || buf[len - 1] != packet::END_CODE) {
        if (options_.verbose) std::fprintf(stderr, "<- damaged packet dropped\n");
        return std::nullopt;
    }
    const packet::Fields f = packet::decode(buf, network_);
    Command c;
    c.code = f.command;
    c.param1 = f.param1;
    c.param2 = f.param2;
    c.flag = f.flag;
    if (network_) {
        if (f.moduleId == 0)
            c.broadcast = true;
        else if (f.moduleId != moduleId_)
            return std::nullopt; // another module's packet
    }
    return c;
}

bool Module::write_packet(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flagByte) {
    packet::Buffer b;
    packet::Fields f;
    f.command = command;
    f.moduleId = moduleId_;
    f.param1 = param1;
    f.param2 = param2;
    f.flag = flagByte;
    const size_t n = packet::encode(b, network_, f);
    return line_.write(b.data(), n);
}

void Module::answer(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flagByte) {
    if (broadcast_) return;
    if (options_.verbose) std::fprintf(stderr, "-> %02x %08x %08x %02x\n", command, param1, param2, flagByte);
    const Control ctl = control();
    bool silent = false, badSum = false;
    size_t cut = 0;
    for (size_t i = 0; i < ctl.faults.size(); ++i) {
        const Fault& f = ctl.faults[i];
        if (f.kind == FaultKind::ChunkChecksum || f.kind == FaultKind::Unsolicited || f.kind == FaultKind::Die)
            continue;
        if (f.command >= 0 && f.command != command) continue;
        if (!use_fault(f)) continue;
        switch (f.kind) {
        case FaultKind::Slow: sleep_ms(arg_or(f, 500)); break;
        case FaultKind::Text: {
            const std::string text = "[" + (f.arg.empty() ? std::string("orvanti-sim") : f.arg) + "]\r";
            line_.write_raw(reinterpret_cast<const uint8_t*>(text.data()), text.size());
            break;
        }
        case FaultKind::Noise: {
            std::vector<uint8_t> noise(std::min<uint32_t>(arg_or(f, 2), 4096));
            for (size_t k = 0; k < noise.size(); ++k) noise[k] = k % 2 ? 0xFF : 0x00;
            line_.write(noise.data(), noise.size());
            break;
        }
        case FaultKind::Silence: silent = true; break;
        case FaultKind::Checksum: badSum = true; break;
        case FaultKind::Truncate: cut = std::max<size_t>(1, arg_or(f, 6)); break;
        case FaultKind::Unsolicited:
        case FaultKind::ChunkChecksum:
        case FaultKind::Die: break;
        }
    }
    if (cancelled_ && command != cmd::CA) {
        // The command's answer after a cancelled wait tells the cancel; then the cancel is answered.
        cancelled_ = false;
        write_packet(command, 0, 0, flag::CANCELLED);
        write_packet(cmd::CA, 0, 0, flag::SUCCEED);
        return;
    }
    if (!silent && dies_here()) {
        // Half the answer, then nothing more.
        packet::Buffer b;
        packet::Fields fl;
        fl.command = command;
        fl.moduleId = moduleId_;
        fl.flag = flagByte;
        const size_t n = packet::encode(b, network_, fl);
        line_.write(b.data(), n / 2);
        die();
    }
    if (!silent) {
        packet::Buffer b;
        packet::Fields fl;
        fl.command = command;
        fl.moduleId = moduleId_;
        fl.param1 = param1;
        fl.param2 = param2;
        fl.flag = flagByte;
        size_t n = packet::encode(b, network_, fl);
        if (badSum) ++b[n - 2];
        if (cut > 0) n = std::min(n, cut);
        line_.write(b.data(), n);
    }
}

bool Module::dies_here() {
    const Control ctl = control();
    for (const Fault& f : ctl.faults) {
        if (f.kind != FaultKind::Die || (f.command >= 0 && f.command != currentCommand_)) continue;
        // The transfers are counted like the uses of any other fault.
        int& uses = faultUses_[{f.added, DIE_TRANSFERS, std::string(), -1}];
        if (++uses == static_cast<int>(arg_or(f, 1))) return true;
    }
    return false;
}

void Module::die() const {
    std::fflush(nullptr);
    std::_Exit(137);
}

bool Module::use_fault(const Fault& f) {
    // A fault is known by the control serial that added it and by what it does.
    int& uses = faultUses_[{f.added, static_cast<int>(f.kind), f.arg, f.command}];
    if (f.times >= 0 && uses >= f.times) return false;
    ++uses;
    return true;
}

bool Module::receive_block(std::vector<uint8_t>& out, size_t n, size_t max) {
    if (n > max || n > MAX_BLOCK) {
        // Read past what cannot be kept, so that the line is clean for the next packet.
        std::vector<uint8_t> sink(64 * 1024);
        size_t left = n + 1;
        while (left > 0) {
            const size_t want = std::min(left, sink.size());
            if (line_.read(sink.data(), want, GAP_MS) != want) break;
            left -= want;
        }
        return false;
    }
    out.resize(n);
    if (dies_here()) {
        line_.read(out.data(), n / 2, GAP_MS);
        die();
    }
    if (line_.read(out.data(), n, GAP_MS) != n) return false;
    uint8_t end = 0;
    return line_.read(&end, 1, GAP_MS) == 1 && end == packet::END_CODE;
}

bool Module::send_block(std::span<const uint8_t> data) {
    if (broadcast_) return true;
    std::vector<uint8_t> block(data.begin(), data.end());
    block.push_back(packet::END_CODE);
    if (dies_here()) {
        line_.write(block.data(), block.size() / 2);
        die();
    }
    return line_.write(block.data(), block.size());
}

bool Module::receive_chunks(uint8_t command, std::vector<uint8_t>& out, size_t total, size_t max) {
    out.clear();
    if (total > (max == 0 ? MAX_BLOCK : max)) return false;
    out.reserve(total);
    while (out.size() < total) {
        const auto header = receive_command(GAP_MS * 2);
        if (!header) return false;
        const uint32_t len = header->param2;
        if (len == 0 || len > total - out.size()) {
            answer(command, 0, 0, flag::DATA_CHECKSUM_ERROR);
            return false;
        }
        const size_t at = out.size();
        out.resize(at + len);
        if (dies_here()) {
            line_.read(out.data() + at, len / 2, GAP_MS);
            die();
        }
        uint8_t sum[4];
        if (line_.read(out.data() + at, len, GAP_MS) != len || line_.read(sum, 4, GAP_MS) != 4) return false;
        const bool good = packet::get32(sum) == packet::byte_sum(out.data() + at, len);
        if (!broadcast_)
            write_packet(header->code, 0, 0, good ? flag::DATA_ACCEPTED : flag::DATA_CHECKSUM_ERROR);
        if (!good) return false;
    }
    return true;
}

bool Module::send_chunks(uint8_t command, std::span<const uint8_t> data, uint32_t chunkLength) {
    if (broadcast_) return true;
    size_t chunk = chunkLength == 0 ? data.size() : chunkLength;
    // The count travels in 16 bits.
    chunk = std::max(chunk, (data.size() + 0xFFFE) / 0xFFFF);
    chunk = std::max<size_t>(chunk, 1);
    const size_t count = (data.size() + chunk - 1) / chunk;
    const Control ctl = control();
    bool badSum = false;
    for (const Fault& f : ctl.faults)
        if (f.kind == FaultKind::ChunkChecksum && (f.command < 0 || f.command == command)) badSum = true;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = i * chunk, len = std::min(chunk, data.size() - at);
        if (!write_packet(command,
                          packet::chunk_param1(static_cast<uint16_t>(count), static_cast<uint16_t>(i)),
                          static_cast<uint32_t>(len), 0))
            return false;
        std::vector<uint8_t> body(data.begin() + static_cast<std::ptrdiff_t>(at),
                                  data.begin() + static_cast<std::ptrdiff_t>(at + len));
        uint32_t sum = packet::byte_sum(body.data(), body.size());
        if (badSum && i == count - 1) ++sum;
        body.resize(len + 4);
        packet::put32(&body[len], sum);
        if (dies_here()) {
            line_.write(body.data(), body.size() / 2);
            die();
        }
        if (!line_.write(body.data(), body.size())) return false;
        const auto ack = receive_command(ACK_MS);
        if (!ack || ack->flag != flag::DATA_ACCEPTED) return false;
    }
    return true;
}

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
