// The module's clock, its event log and the reports of free scans.
#include "Module.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <ctime>

namespace sim {

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

} // namespace sim
