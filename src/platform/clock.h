#pragma once
// Local date and time, as the schedule and the logs read them.

#include <cstdint>
#include <string>

namespace corvantel::platform {

struct LocalTime {
    int year = 2000;
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;     // 0..23
    int minute = 0;
    int second = 0;
    int weekday = 6;  // 0 = Sunday
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() const = 0;
    // Seconds since 1970 in UTC (what servers' MDTM answers count in). By
    // default the local time read as UTC, as a virtual clock has no zone.
    virtual std::int64_t utcSeconds() const;
};

// Local time from seconds since 1970-01-01 00:00 on a civil calendar with no
// zone applied (used by the virtual clock and the tests).
LocalTime civilFromEpochSeconds(std::int64_t seconds);
std::int64_t epochSecondsFromCivil(int year, int month, int day, int hour, int minute, int second);

// The date and time texts of the system, with English names and AM/PM fixed
// whatever the locale.
namespace fmt {
std::string yyyymmdd(const LocalTime& t);      // 20020311
std::string slashDate(const LocalTime& t);     // 2002/03/11
std::string hhmmssAmPm(const LocalTime& t);    // 10:52:03 PM
std::string hhmmssCompact(const LocalTime& t); // 105203 PM
std::string dayNameAndDay(const LocalTime& t); // Mon 11
std::string monthName(const LocalTime& t);     // Mar
}  // namespace fmt

}  // namespace corvantel::platform
