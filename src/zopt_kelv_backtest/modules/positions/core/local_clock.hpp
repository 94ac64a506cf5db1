// Local wall-clock time of a POSIX timestamp, giving exactly what
// datetime.fromtimestamp gives, without its two localtime() calls per value.
//
// The zone's UTC offset is cached per UTC day, and only for days where the
// offset is the same from a day before to the day's end (checked hourly), so
// the result never lies in a fold (fold is 0, as fromtimestamp would say).
// The cache is dropped when the C library's zone may have changed (TZ set
// again, tzset() run). Anything unusual answers false and the caller asks
// Python: non-float/int stamps, NaN, values outside 2000-2100, days with a
// transition, zones whose local fields are not UTC plus the offset.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/civil_time.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace zk::local_clock {

using civil::floor_div;

// The timestamp split as Python does (round half to even on microseconds).
inline bool split_stamp(PyObject* stamp, std::int64_t& sec, int& us) {
    constexpr double lo = civil::days_from_civil(2000, 1, 1) * 86400.0;  // UTC
    constexpr double hi = civil::days_from_civil(2100, 1, 1) * 86400.0;
    if (PyFloat_CheckExact(stamp)) {
        const double d = PyFloat_AS_DOUBLE(stamp);
        if (!(d >= lo && d < hi)) return false;
        double intpart;
        double frac = std::modf(d, &intpart) * 1e6;
        double r = std::round(frac);
        if (std::fabs(frac - r) == 0.5) r = 2.0 * std::round(frac / 2.0);
        if (r >= 1e6) {
            r -= 1e6;
            intpart += 1.0;
        }
        sec = static_cast<std::int64_t>(intpart);
        us = static_cast<int>(r);
        return true;
    }
    if (PyLong_CheckExact(stamp)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(stamp, &overflow);
        if (overflow || v < static_cast<long long>(lo) || v >= static_cast<long long>(hi)) {
            if (v == -1 && !overflow) PyErr_Clear();
            return false;
        }
        sec = v;
        us = 0;
        return true;
    }
    return false;
}

struct ZoneCache {
    bool valid = false;
    const char* tz_env = nullptr;
    const char* name0 = nullptr;
    const char* name1 = nullptr;
    long zone = 0;
    int dst = 0;
    std::int64_t day_lo = 0;  // UTC seconds; the cached day is [day_lo, day_lo + 86400)
    long offset = 0;
};

inline ZoneCache& cache() {
    static ZoneCache c;
    return c;
}

#if defined(__GLIBC__)
inline bool same_zone_state(const ZoneCache& c) {
    return c.tz_env == std::getenv("TZ") && c.name0 == tzname[0] && c.name1 == tzname[1] &&
           c.zone == timezone && c.dst == daylight;
}

// localtime_r at `t` agrees with UTC + `offset`?
inline bool probe(std::int64_t t, long offset) {
    const std::time_t tt = static_cast<std::time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm) || tm.tm_gmtoff != offset) return false;
    const civil::WallTime w = civil::wall_time((t + offset) * civil::kUsPerSec);
    return tm.tm_year + 1900 == w.date.y && tm.tm_mon + 1 == w.date.m && tm.tm_mday == w.date.d &&
           tm.tm_hour == w.hour && tm.tm_min == w.minute && tm.tm_sec == w.second;
}

inline bool fill_cache(std::int64_t sec) {
    ZoneCache& c = cache();
    c.valid = false;
    const std::int64_t day_lo = floor_div(sec, 86400) * 86400;
    const std::time_t tt = static_cast<std::time_t>(day_lo);
    struct tm tm;
    if (!localtime_r(&tt, &tm)) return false;
    const long offset = tm.tm_gmtoff;
    for (std::int64_t t = day_lo - 86400; t < day_lo + 86400; t += 3600)
        if (!probe(t, offset)) return false;
    if (!probe(day_lo + 86399, offset)) return false;
    c.tz_env = std::getenv("TZ");
    c.name0 = tzname[0];
    c.name1 = tzname[1];
    c.zone = timezone;
    c.dst = daylight;
    c.day_lo = day_lo;
    c.offset = offset;
    c.valid = true;
    return true;
}
#else
// Without glibc's zone globals a change of zone cannot be seen: always ask Python.
inline bool same_zone_state(const ZoneCache&) { return false; }
inline bool fill_cache(std::int64_t) { return false; }
#endif

// Wall-clock microseconds (from 1970-01-01 00:00 local) of `stamp`, or false.
inline bool local_us(PyObject* stamp, std::int64_t& out) {
    std::int64_t sec;
    int us;
    if (!split_stamp(stamp, sec, us)) return false;
    ZoneCache& c = cache();
    if (!c.valid || sec < c.day_lo || sec >= c.day_lo + 86400 || !same_zone_state(c)) {
        if (!fill_cache(sec)) return false;
    }
    out = (sec + c.offset) * civil::kUsPerSec + us;
    return true;
}

}  // namespace zk::local_clock
