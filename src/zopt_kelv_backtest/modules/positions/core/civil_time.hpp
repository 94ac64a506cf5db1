// Calendar arithmetic on integers: the proleptic Gregorian calendar, days and
// microseconds counted from 1970-01-01 00:00 of naive wall-clock time (as
// datetime and polars hold naive times). No Python objects here.
#pragma once

#include <cstdint>

namespace zk::civil {

constexpr std::int64_t kUsPerSec = 1000000;
constexpr std::int64_t kUsPerMin = 60 * kUsPerSec;
constexpr std::int64_t kUsPerDay = 86400 * kUsPerSec;

// a / b rounded towards negative infinity, and the remainder that goes with it.
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
constexpr std::int64_t floor_mod(std::int64_t a, std::int64_t b) { return a - floor_div(a, b) * b; }

// Days from 1970-01-01 of a date.
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = floor_div(y, 400);
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    int y, m, d;
};

// The date `z` days from 1970-01-01.
constexpr Civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = floor_div(z, 146097);
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2)), static_cast<int>(m),
            static_cast<int>(d)};
}

// Weekday of a day from 1970-01-01, Monday 0 as datetime.weekday() counts:
// 1970-01-01 was a Thursday.
constexpr int kEpochWeekday = 3;
constexpr int weekday(std::int64_t days) { return static_cast<int>(floor_mod(days + kEpochWeekday, 7)); }
// The first Monday, 1970-01-05, where calendar weeks are counted from.
constexpr std::int64_t kFirstMondayUs = (7 - kEpochWeekday) * kUsPerDay;

// The night session runs past midnight: a time of day up to 05:00 belongs
// to the previous day's session (and, for futures, trades on a weekend morning).
constexpr int kSessionCutHour = 5;
constexpr bool before_session_cut(std::int64_t minute_of_day) { return minute_of_day <= kSessionCutHour * 60; }

// Microseconds of a wall-clock time.
constexpr std::int64_t civil_to_us(int y, int mo, int d, int h, int mi, int s, int us) {
    return days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * kUsPerDay +
           ((static_cast<std::int64_t>(h) * 60 + mi) * 60 + s) * kUsPerSec + us;
}

// A wall-clock time split into its fields.
struct WallTime {
    Civil date;
    int hour, minute, second, micro;
};
constexpr WallTime wall_time(std::int64_t us) {
    const std::int64_t days = floor_div(us, kUsPerDay);
    const std::int64_t rest = us - days * kUsPerDay;
    const std::int64_t secs = rest / kUsPerSec;
    return {civil_from_days(days), static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
            static_cast<int>(secs % 60), static_cast<int>(rest % kUsPerSec)};
}

// Microseconds of the first instant of (year, month).
constexpr std::int64_t month_start_us(std::int64_t year, int month) {
    return days_from_civil(year, static_cast<unsigned>(month), 1) * kUsPerDay;
}

// Year and month of a time.
constexpr void us_to_year_month(std::int64_t t, int& y, int& mo) {
    const Civil c = civil_from_days(floor_div(t, kUsPerDay));
    y = c.y;
    mo = c.m;
}

static_assert(days_from_civil(1970, 1, 1) == 0 && days_from_civil(2000, 3, 1) == 11017);
static_assert(civil_from_days(-1).y == 1969 && civil_from_days(-1).m == 12 && civil_from_days(-1).d == 31);
static_assert(civil_to_us(1, 1, 1, 0, 0, 0, 0) == -62135596800LL * kUsPerSec);
static_assert(weekday(0) == 3 && weekday(-1) == 2 && weekday(4) == 0);
static_assert(wall_time(-1).date.y == 1969 && wall_time(-1).hour == 23 && wall_time(-1).micro == 999999);

}  // namespace zk::civil
