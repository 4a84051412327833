// The event log, clock, user memory and port commands against a scripted
// module: what each puts on the wire, what it prints of the answers and the
// data that follow them, and the calendar conversion of the clock words.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "FarEnd.h"
#include "InProcess.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;
namespace flag = kelvor::packet::flag;

using namespace kelvor;

namespace {

using farend::Bytes;
using farend::Script;

// The host's time zone for the life of the object.
class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (saved_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", saved_.c_str(), 1);
        tzset();
    }

private:
    std::string saved_;
};

constexpr uint32_t date_word(uint32_t day, uint32_t month, uint32_t yearByte) {
    return day << 16 | month << 8 | yearByte;
}
constexpr uint32_t time_word(uint32_t hour, uint32_t minute, uint32_t second) {
    return second << 16 | minute << 8 | hour;
}

// A central European zone with its summer time, written out so that no zone files are needed.
constexpr const char* SUMMER_TIME_ZONE = "CET-1CEST,M3.5.0,M10.5.0/3";

struct CalendarCase {
    const char* zone;
    uint32_t date, time;
    const char* text;      // nullptr: the words make no date the clock can hold
    uint32_t date2, time2; // the words the clock is set with after normalisation
};

TEST(Clock, ConversionNormalisesAndCoversEveryYearOfTheYearByte) {
    const CalendarCase cases[] = {
        // 31 April is 1 May.
        {"UTC", date_word(31, 4, 7), time_word(8, 12, 30), "Tue May  1 08:12:30 2007\n", date_word(1, 5, 7),
         time_word(8, 12, 30)},
        // Beyond 2038, up to the last second of 2255.
        {"UTC", date_word(1, 1, 50), time_word(0, 0, 0), "Sat Jan  1 00:00:00 2050\n", date_word(1, 1, 50),
         0},
        {"UTC", date_word(1, 1, 60), 0, "Thu Jan  1 00:00:00 2060\n", date_word(1, 1, 60), 0},
        {"UTC", date_word(31, 12, 255), time_word(23, 59, 59), "Mon Dec 31 23:59:59 2255\n",
         date_word(31, 12, 255), time_word(23, 59, 59)},
        // Month 13 of the last year, month 0 of the first: outside the clock's years.
        {"UTC", date_word(1, 13, 255), 0, nullptr, 0, 0},
        {"UTC", date_word(1, 0, 0), 0, nullptr, 0, 0},
        // Summer time in force: the module gets the time given, not an hour later.
        {SUMMER_TIME_ZONE, date_word(1, 7, 26), time_word(12, 0, 0), "Wed Jul  1 12:00:00 2026\n",
         date_word(1, 7, 26), time_word(12, 0, 0)},
        {SUMMER_TIME_ZONE, date_word(15, 1, 26), time_word(12, 0, 0), "Thu Jan 15 12:00:00 2026\n",
         date_word(15, 1, 26), time_word(12, 0, 0)},
    };
    for (const CalendarCase& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.date) + " " + std::to_string(c.time));
        TimeZone zone(c.zone);
        const int64_t seconds = clock_seconds(c.date, c.time);
        if (!c.text) {
            EXPECT_EQ(seconds, -1);
            continue;
        }
        ASSERT_GT(seconds, 0);
        EXPECT_STREQ(clock_text(seconds).text, c.text);
        uint32_t date = 0, time = 0;
        ASSERT_TRUE(clock_words(seconds, &date, &time));
        EXPECT_EQ(date, c.date2);
        EXPECT_EQ(time, c.time2);
    }
    // Summer time shifts the seconds, not the wall-clock time: noon in July is 10:00 UTC.
    TimeZone zone(SUMMER_TIME_ZONE);
    EXPECT_EQ(clock_seconds(date_word(1, 7, 26), time_word(12, 0, 0)) % 86400, 10 * 3600);
    uint32_t date = 0, time = 0;
    EXPECT_FALSE(clock_words(0, &date, &time)); // 1970
}

class EventLogPorts : public ::testing::Test {
protected:
    void SetUp() override { farend::reset_library(farend::Keywords::Refill); }
    void TearDown() override { farend::reset_library(); }
};

Bytes log_record(uint8_t event, uint8_t source, uint32_t value, const char (&text)[5]) {
    Bytes r = {event, source, 26, 12, 7, 9, 15, 30};
    const Bytes v = farend::le32(value);
    r.insert(r.end(), v.begin(), v.end());
    r.insert(r.end(), text, text + 4);
    return r;
}

Bytes gpio_records(std::initializer_list<std::array<uint16_t, 4>> records) {
    Bytes out;
    for (const auto& words : records)
        for (uint16_t w : words) {
            out.push_back(static_cast<uint8_t>(w));
            out.push_back(static_cast<uint8_t>(w >> 8));
        }
    return out;
}

// One exchange: the script after the opening, the call, its result and trace.
struct ExchangeCase {
    const char* name;
    std::function<void(Script&)> script;
    std::function<int()> call;
    int rc;
    const char* trace;
};

std::vector<uint8_t> logBuffer;

TEST_F(EventLogPorts, ExchangesOnTheWireAndTheirPrintout) {
    const Bytes twoRecords =
        farend::concat({log_record(0x17, 1, 5, "AB\0\0"), log_record(0x64, 4, 0, "ABCD")});
    const Bytes shared = gpio_records({{1, 3, 0x20, 9}, {0x87, 0x83, 5, 6}, {0x8d, 0x99, 7, 8}});
    const ExchangeCase cases[] = {
        {"LR prints each record numbered from 0, source before event, text bounded to four characters",
         [&](Script& s) {
             s.expect_packet(cmd::LR, 0x10, 2, 0)
                 .answer(cmd::LR, 0, 2, SUCCEED)
                 .send(farend::data_block(twoRecords));
         },
         [] { return read_log(logBuffer, 0x10, 2, nullptr); }, 0,
         "[API] Upload log data(LR): 0x10 0x2\n"
         "      0:  26/12/07 09:15:30 (Host Port) (Enroll Success) (0x5) (AB)\n"
         "      1:  26/12/07 09:15:30 (IN0) (Tamper Switch On) (0) (ABCD)\n"},
        {"LR answered with more records than asked reads none of them",
         [](Script& s) { s.expect_packet(cmd::LR, 0, 2, 0).answer(cmd::LR, 0, 3, SUCCEED); },
         [] { return read_log(logBuffer, 0, 2, nullptr); }, RES_DATA_ERROR,
         "[API] Upload log data(LR): 0 0x2\n[ERR] Too many log records: 0x3 0x2\n"},
        {"LR refused",
         [](Script& s) { s.expect_packet(cmd::LR, 0, 2, 0).answer(cmd::LR, 0, 0, NOT_SUPPORTED); },
         [] { return read_log(logBuffer, 0, 2, nullptr); }, RES_NOT_SUPPORTED,
         "[API] Upload log data(LR): 0 0x2\n[ERR] Invalid arguments\n"},
        {"TW with 0 initialises the clock",
         [](Script& s) { s.expect_packet(cmd::TW, 0, 0, 0).answer(cmd::TW, 0, 0, SUCCEED); },
         [] { return set_time(0); }, 0, "[API] Initialize Time(TW)\n"},
        {"TW in 2050",
         [](Script& s) {
             s.expect_packet(cmd::TW, date_word(2, 3, 50), time_word(4, 5, 6), 0)
                 .answer(cmd::TW, 0, 0, NOT_SUPPORTED);
         },
         [] { return set_time(clock_seconds(date_word(2, 3, 50), time_word(4, 5, 6))); }, RES_NOT_SUPPORTED,
         "[API] Set Time(TW): Wed Mar  2 04:05:06 2050\n[ERR] Not supported\n"},
        {"TR in 2060",
         [](Script& s) {
             s.expect_packet(cmd::TR, 0, 0, 0).answer(cmd::TR, date_word(1, 1, 60), 0, SUCCEED);
         },
         [] {
             int64_t t;
             return get_time(&t);
         },
         0, "[API] Get Time(TR)\n      Thu Jan  1 00:00:00 2060\n"},
        {"TR with an invalid time still succeeds",
         [](Script& s) {
             s.expect_packet(cmd::TR, 0, 0, 0).answer(cmd::TR, date_word(1, 13, 255), 0, SUCCEED);
         },
         [] {
             int64_t t;
             return get_time(&t);
         },
         0, "[API] Get Time(TR)\n      Invalid time\n"},
        {"MR refused",
         [](Script& s) { s.expect_packet(cmd::MR, 4, 8, 0).answer(cmd::MR, 0, 0, NOT_SUPPORTED); },
         [] {
             uint32_t n;
             return read_user_memory(4, 8, &n);
         },
         RES_NOT_SUPPORTED,
         "[API] Read user memory data(MR): 0x4 0x8\n[ERR] Write user memory is not supported\n"},
        {"MW sends its data after the packet",
         [](Script& s) {
             s.expect_packet(cmd::MW, 2, 3, 0)
                 .expect(farend::data_block({1, 2, 3}))
                 .answer(cmd::MW, 0, 0, flag::SYSTEM_BUSY);
         },
         [] {
             static const uint8_t d[] = {1, 2, 3};
             return write_user_memory(d, 2, 3);
         },
         RES_SYSTEM_BUSY, "[API] Write user memory data(MW): 0x2 0x3\n[ERR] System is busy\n"},
        {"OW packs its fields",
         [](Script& s) {
             s.expect_packet(cmd::OW, 0x100227, 0x640032, 3).answer(cmd::OW, 0, 0, MEMORY_FULL);
         },
         [] { return write_out_port_config(0x10, 2, 0x27, 0x64, 0x32, 3); }, RES_MEMORY_FULL,
         "[API] Write OUT port Configuration(OW): 0x10 0x2 Verify Success 0x64 0x32 LED0\n[ERR] Memory "
         "full\n"},
        {"OL then its event list",
         [](Script& s) {
             s.expect_packet(cmd::OL, 0, 0, 6)
                 .answer(cmd::OL, 0, 2, SUCCEED)
                 .send(farend::data_block({0x17, 0xEE}));
         },
         [] {
             uint32_t n = 0;
             if (int rc = read_enabled_events(6, &n); rc) return rc;
             std::vector<uint8_t> ev(n);
             return get_enabled_events(ev);
         },
         0,
         "[API] Read enabled event list(OL): Auto Response\n      Num of Enabled Events: 0x2\n"
         "[API] Get enabled event list: 0x2\n      Enroll Success\n      Unknown\n"},
        {"OS", [](Script& s) { s.expect_packet(cmd::OS, 1, 0, 1).answer(cmd::OS, 0, 0, NOT_SUPPORTED); },
         [] { return set_output_port(1, 1); }, RES_NOT_SUPPORTED,
         "[API] Set output port(OS): OUT1 Setr\n[ERR] Not supported\n"},
        {"IG active", [](Script& s) { s.expect_packet(cmd::IG, 1, 0, 0).answer(cmd::IG, 1, 0, SUCCEED); },
         [] {
             uint32_t st;
             return read_in_port_status(0, 1, &st);
         },
         0, "[API] Read IN port staus(IG): IN0 Remain\n      Active\n"},
        {"IG with a status without a name",
         [](Script& s) { s.expect_packet(cmd::IG, 0, 0, 0).answer(cmd::IG, 2, 0, SUCCEED); },
         [] {
             uint32_t st;
             return read_in_port_status(0, 0, &st);
         },
         0, "[API] Read IN port staus(IG): IN0 Clear\n      Unknown\n"},
        {"GR of a shared line: one input record, then output records",
         [&](Script& s) {
             s.expect_packet(cmd::GR, 9, 0, 0)
                 .answer(cmd::GR, 3u << 16, 3, SUCCEED)
                 .send(farend::data_block(shared));
         },
         [] {
             uint16_t mode = 0;
             uint32_t n = 0;
             if (int rc = read_gpio_config(9, &mode, &n); rc) return rc;
             std::vector<uint8_t> r(n * GPIO_RECORD_SIZE);
             return list_gpio_records(mode, r);
         },
         0,
         "[API] Read GPIO configuration(GR): 0x9\n      GPIO 0x9: Shared 0x3\n"
         "      Input: (Enroll) (Rising Edge) (0x20)\n[API] 0x1 0x3 0x20 0x9\n"
         "      Output: (Match success) (Active High + Blinking) (0x5) (0x6)\n[API] 0x87 0x83 0x5 0x6\n"
         "      Output: (Beep function) (Unknown) (0x7) (0x8)\n[API] 0x8d 0x99 0x7 0x8\n"},
        {"GR of a disabled line",
         [](Script& s) {
             s.send(farend::data_block(gpio_records({{1, 2, 3, 4}, {0, 0, 0, 0}})));
         },
         [] {
             std::vector<uint8_t> r(2 * GPIO_RECORD_SIZE);
             return list_gpio_records(0, r);
         },
         0, "      Disabled: Disabled\n[API] 0x1 0x2 0x3 0x4\n      Disabled: Disabled\n[API] 0 0 0 0\n"},
        {"GR of an unknown line",
         [](Script& s) { s.expect_packet(cmd::GR, 7, 0, 0).answer(cmd::GR, 0, 0, 0x99); },
         [] {
             uint16_t m;
             uint32_t n;
             return read_gpio_config(7, &m, &n);
         },
         RES_UNKNOWN, "[API] Read GPIO configuration(GR): 0x7\n[ERR] Unknown error: 0x7\n"},
        {"GW without records still sends the end code",
         [](Script& s) {
             s.expect_packet(cmd::GW, 0x20001, 0, 0)
                 .expect(farend::data_block({}))
                 .answer(cmd::GW, 0, 0, NOT_SUPPORTED);
         },
         [] { return write_gpio_config(1, 2, 0, nullptr); }, RES_NOT_SUPPORTED,
         "[API] Write GPIO configuration(GW): 0x1 0x2 0\n[ERR] Unsupported GPIO id: 0x1\n"},
    };
    for (const ExchangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        TimeZone zone("UTC");
        logBuffer.assign(2 * LOG_RECORD_SIZE, 0);
        Script s;
        s.open_sequence();
        c.script(s);
        const farend::Exchange r = farend::run_in_process(s, c.call, {.finishGraceMs = 20});
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.trace, c.trace);
        EXPECT_TRUE(r.far.ok) << r.far.failure;
        EXPECT_TRUE(r.far.extra.empty()) << farend::hex_dump(r.far.extra);
        if (std::string(c.name).starts_with("LR prints")) {
            EXPECT_EQ(Bytes(logBuffer), twoRecords);
        }
    }
}

} // namespace
