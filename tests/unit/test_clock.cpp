// The clock against a scripted module: TW and TR on the wire and in the trace,
// and the calendar conversion of the clock words in every year they can hold.
#include <gtest/gtest.h>

#include <string>

#include "Exchanges.h"
#include "ModuleSDK.h"

namespace cmd = kelvor::packet::cmd;

using namespace kelvor;

namespace {

using farend::ExchangeCase;
using farend::Script;
using farend::TimeZone;

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

class ClockTest : public farend::ExchangeTest {};

TEST_F(ClockTest, ExchangesOnTheWireAndTheirPrintout) {
    const ExchangeCase cases[] = {
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
    };
    farend::run_exchanges(cases);
}

} // namespace
