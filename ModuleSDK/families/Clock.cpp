// The module's clock in the host's terms: conversion between the clock words
// (day, month and year byte; second, minute and hour) and seconds since 1970,
// through the host's local time zone, and the 24-character text form. Seconds
// are 64 bits wide, so every year the 8-bit year byte holds converts.
#include <cstdio>
#include <ctime>

#include "ModuleSDK.h"
#include "port/System.h"
#include "protocol/Commands.h"

namespace kelvor {

namespace {

constexpr const char* DAY_NAMES[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* MONTH_NAMES[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool clock_year(int tmYear) {
    const int year = tmYear + 1900;
    return year >= CLOCK_YEAR_MIN && year <= CLOCK_YEAR_MAX;
}

bool local_time(int64_t seconds, std::tm& out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    if (static_cast<int64_t>(t) != seconds) return false;
    return port::local_time(t, out);
}

} // namespace

int64_t clock_seconds(uint32_t date, uint32_t time) {
    std::tm tm{};
    using packet::field, packet::unpack, packet::fields::DATE, packet::fields::TIME;
    tm.tm_sec = static_cast<int>(unpack(field(TIME, "second"), time));
    tm.tm_min = static_cast<int>(unpack(field(TIME, "minute"), time));
    tm.tm_hour = static_cast<int>(unpack(field(TIME, "hour"), time));
    tm.tm_mday = static_cast<int>(unpack(field(DATE, "day"), date));
    tm.tm_mon = static_cast<int>(unpack(field(DATE, "month"), date)) - 1;
    tm.tm_year = static_cast<int>(unpack(field(DATE, "year"), date)) + CLOCK_YEAR_MIN - 1900;
    // The zone's rules decide whether daylight saving is in force on that date:
    // the module gets the wall-clock time given, not one shifted by an hour.
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    // mktime normalised the fields; a date outside the clock's years cannot be stored.
    if (t == static_cast<std::time_t>(-1) || !clock_year(tm.tm_year)) return -1;
    return static_cast<int64_t>(t);
}

bool clock_words(int64_t seconds, uint32_t* date, uint32_t* time) {
    std::tm tm{};
    if (!local_time(seconds, tm) || !clock_year(tm.tm_year)) return false;
    *date = packet::pack(packet::fields::DATE,
                         {static_cast<uint32_t>(tm.tm_mday), static_cast<uint32_t>(tm.tm_mon + 1),
                          static_cast<uint32_t>(tm.tm_year + 1900 - CLOCK_YEAR_MIN)});
    *time = packet::pack(packet::fields::TIME,
                         {static_cast<uint32_t>(tm.tm_sec), static_cast<uint32_t>(tm.tm_min),
                          static_cast<uint32_t>(tm.tm_hour)});
    return true;
}

ClockText clock_text(int64_t seconds) {
    ClockText out{};
    std::tm tm{};
    if (!local_time(seconds, tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) {
        std::snprintf(out.text, sizeof out.text, "Invalid time\n");
        return out;
    }
    std::snprintf(out.text, sizeof out.text, "%s %s %2d %02d:%02d:%02d %d\n", DAY_NAMES[tm.tm_wday],
                  MONTH_NAMES[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    return out;
}

} // namespace kelvor
