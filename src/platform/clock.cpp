#include "clock.h"

#include <cstdio>

namespace corvantel::platform {

std::int64_t Clock::utcSeconds() const {
    const LocalTime t = now();
    return epochSecondsFromCivil(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// Days from 1970-01-01 for a civil date (proleptic Gregorian calendar).
static std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t epochSecondsFromCivil(int year, int month, int day, int hour, int minute, int second) {
    return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

LocalTime civilFromEpochSeconds(std::int64_t seconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    LocalTime t;
    t.hour = static_cast<int>(rem / 3600);
    t.minute = static_cast<int>(rem % 3600 / 60);
    t.second = static_cast<int>(rem % 60);
    t.weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (t.month <= 2));
    return t;
}

namespace fmt {

static int hour12(int h) {
    int r = h % 12;
    return r == 0 ? 12 : r;
}

static const char* ampm(int h) { return h < 12 ? "AM" : "PM"; }

std::string yyyymmdd(const LocalTime& t) {
    char b[32];
    std::snprintf(b, sizeof b, "%04d%02d%02d", t.year, t.month, t.day);
    return b;
}

std::string slashDate(const LocalTime& t) {
    char b[32];
    std::snprintf(b, sizeof b, "%04d/%02d/%02d", t.year, t.month, t.day);
    return b;
}

std::string hhmmssAmPm(const LocalTime& t) {
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d %s", hour12(t.hour), t.minute, t.second, ampm(t.hour));
    return b;
}

std::string hhmmssCompact(const LocalTime& t) {
    char b[32];
    std::snprintf(b, sizeof b, "%02d%02d%02d %s", hour12(t.hour), t.minute, t.second, ampm(t.hour));
    return b;
}

std::string dayNameAndDay(const LocalTime& t) {
    static const char* names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    return std::string(names[((t.weekday % 7) + 7) % 7]) + " " + std::to_string(t.day);
}

std::string monthName(const LocalTime& t) {
    static const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int m = t.month < 1 || t.month > 12 ? 1 : t.month;
    return names[m - 1];
}

}  // namespace fmt
}  // namespace corvantel::platform
