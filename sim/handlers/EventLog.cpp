// Event log, clock and user memory: LN, LR, LD, TW, TR, ML, MW, MR.
#include "Module.h"

#include <algorithm>
#include <ctime>

namespace sim {
namespace {

using namespace cmd;

// Size of the user memory area.
constexpr uint32_t USER_MEMORY_SIZE = 0x2000;
constexpr const char* USER_MEMORY_BLOB = "user memory";

std::vector<uint8_t> log_records(Module& m) {
    std::vector<uint8_t> log = m.state().blob(LOG_BLOB).value_or(std::vector<uint8_t>{});
    log.resize(log.size() - log.size() % LOG_RECORD_SIZE);
    return log;
}

void log_count(Module& m, const Command& c) {
    const auto used = static_cast<uint32_t>(log_records(m).size() / LOG_RECORD_SIZE);
    m.answer(c.code, used, LOG_CAPACITY, flag::SUCCEED);
}

// Records from Param1 (counted from the oldest, 0), at most Param2 of them.
void log_upload(Module& m, const Command& c) {
    const std::vector<uint8_t> log = log_records(m);
    const uint64_t used = log.size() / LOG_RECORD_SIZE;
    if (c.param2 == 0 || c.param1 > used) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    const uint64_t n = std::min<uint64_t>(c.param2, used - c.param1);
    const auto from = log.begin() + static_cast<std::ptrdiff_t>(c.param1 * LOG_RECORD_SIZE);
    const std::vector<uint8_t> records(from, from + static_cast<std::ptrdiff_t>(n * LOG_RECORD_SIZE));
    m.answer(c.code, 0, static_cast<uint32_t>(n), flag::SUCCEED);
    m.send_block(records);
}

// Param1 0 deletes every record; N deletes the N oldest.
void log_delete(Module& m, const Command& c) {
    std::vector<uint8_t> log = log_records(m);
    const uint64_t used = log.size() / LOG_RECORD_SIZE;
    const uint64_t n = c.param1 == 0 ? used : std::min<uint64_t>(c.param1, used);
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(n * LOG_RECORD_SIZE));
    if (!m.state().set_blob(LOG_BLOB, log)) {
        m.answer(c.code, 0, 0, flag::SYSTEM_BUSY);
        return;
    }
    m.answer(c.code, static_cast<uint32_t>(n), 0, flag::SUCCEED);
}

// The clock takes only a valid calendar date and time; both words 0 start it
// again from 1 January 2000, 00:00:00.
void time_write(Module& m, const Command& c) {
    std::tm t{};
    t.tm_year = static_cast<int>(c.param1 & 0xFF) + 100;
    t.tm_mon = static_cast<int>((c.param1 >> 8) & 0xFF) - 1;
    t.tm_mday = static_cast<int>(c.param1 >> 16);
    t.tm_hour = static_cast<int>(c.param2 & 0xFF);
    t.tm_min = static_cast<int>((c.param2 >> 8) & 0xFF);
    t.tm_sec = static_cast<int>(c.param2 >> 16);
    if (c.param1 == 0 && c.param2 == 0) {
        t.tm_mon = 0;
        t.tm_mday = 1;
    }
    const std::tm given = t;
    const std::time_t seconds = timegm(&t);
    // timegm normalises; a field out of range shows as a changed field.
    if (t.tm_year != given.tm_year || t.tm_mon != given.tm_mon || t.tm_mday != given.tm_mday ||
        t.tm_hour != given.tm_hour || t.tm_min != given.tm_min || t.tm_sec != given.tm_sec) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    m.set_clock(static_cast<int64_t>(seconds));
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

void time_read(Module& m, const Command& c) {
    const std::time_t now = static_cast<std::time_t>(m.clock_now());
    std::tm t{};
    gmtime_r(&now, &t);
    const uint32_t date = static_cast<uint32_t>(t.tm_mday) << 16 | static_cast<uint32_t>(t.tm_mon + 1) << 8 |
                          static_cast<uint32_t>(t.tm_year - 100);
    const uint32_t time = static_cast<uint32_t>(t.tm_sec) << 16 | static_cast<uint32_t>(t.tm_min) << 8 |
                          static_cast<uint32_t>(t.tm_hour);
    m.answer(c.code, date, time, flag::SUCCEED);
}

std::vector<uint8_t> user_memory(Module& m) {
    std::vector<uint8_t> area = m.state().blob(USER_MEMORY_BLOB).value_or(std::vector<uint8_t>{});
    area.resize(USER_MEMORY_SIZE, 0xFF); // never written: erased flash
    return area;
}

bool within_user_memory(const Command& c) {
    return static_cast<uint64_t>(c.param1) + c.param2 <= USER_MEMORY_SIZE;
}

void memory_length(Module& m, const Command& c) {
    m.answer(c.code, USER_MEMORY_SIZE, 0, flag::SUCCEED);
}

void memory_write(Module& m, const Command& c) {
    std::vector<uint8_t> data;
    // The block is read (or dropped) whole before the answer, so the line stays in step.
    if (!m.receive_block(data, c.param2, USER_MEMORY_SIZE) || !within_user_memory(c)) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    std::vector<uint8_t> area = user_memory(m);
    std::copy(data.begin(), data.end(), area.begin() + c.param1);
    if (!m.state().set_blob(USER_MEMORY_BLOB, area)) {
        m.answer(c.code, 0, 0, flag::SYSTEM_BUSY);
        return;
    }
    m.answer(c.code, 0, 0, flag::SUCCEED);
}

void memory_read(Module& m, const Command& c) {
    if (!within_user_memory(c)) {
        m.answer(c.code, 0, 0, flag::NOT_SUPPORTED);
        return;
    }
    const std::vector<uint8_t> area = user_memory(m);
    m.answer(c.code, 0, c.param2, flag::SUCCEED);
    if (c.param2 > 0) m.send_block(std::span<const uint8_t>(area.data() + c.param1, c.param2));
}

const Register reg{{LN, log_count}, {LR, log_upload},    {LD, log_delete},   {TW, time_write},
                   {TR, time_read}, {ML, memory_length}, {MW, memory_write}, {MR, memory_read}};

} // namespace
} // namespace sim
