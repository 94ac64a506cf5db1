// The K-bar label rule: which bar a naive wall-clock time falls in, as
// polars' dt.truncate labels naive times (verified against it in tests).
// The K-bar query and the native replay both label bars with it, and a bar
// folds its ticks with fold_tick. No Python objects here.
#pragma once

#include "core/civil_time.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zk::bars {

struct Truncator {
    enum Kind { Fixed, Week, Month } kind = Fixed;
    std::int64_t every = 0;  // microseconds, or months
    std::int64_t operator()(std::int64_t t) const {
        auto rem = [](std::int64_t a, std::int64_t b) { return ((a % b) + b) % b; };
        switch (kind) {
            case Fixed: return t - rem(t, every);
            case Week: return t - rem(t - civil::kFirstMondayUs, every);
            case Month: {
                int y = 0, m = 0;
                civil::us_to_year_month(t, y, m);
                std::int64_t total = (static_cast<std::int64_t>(y) - 1970) * 12 + (m - 1);
                total -= rem(total, every);
                std::int64_t yy = 1970 + (total >= 0 ? total / 12 : -((-total + 11) / 12));
                return civil::month_start_us(yy, static_cast<int>(total - (yy - 1970) * 12) + 1);
            }
        }
        return t;
    }
};

// Widths the native labels cover; polars decides (and reports) the others.
constexpr long long kMaxFreq = 100000;

// The truncation of f"{freq}{unit}", or nothing for a unit this rule does not know.
inline std::optional<Truncator> truncator(std::string_view unit, long long freq) {
    if (freq < 1 || freq > kMaxFreq) return std::nullopt;
    using civil::kUsPerMin;
    if (unit == "m") return Truncator{Truncator::Fixed, freq * kUsPerMin};
    if (unit == "h") return Truncator{Truncator::Fixed, freq * 60 * kUsPerMin};
    if (unit == "d") return Truncator{Truncator::Fixed, freq * 1440 * kUsPerMin};
    if (unit == "w") return Truncator{Truncator::Week, freq * 7 * 1440 * kUsPerMin};
    if (unit == "mo") return Truncator{Truncator::Month, freq};
    if (unit == "q") return Truncator{Truncator::Month, 3 * freq};
    if (unit == "y") return Truncator{Truncator::Month, 12 * freq};
    return std::nullopt;
}

// Times the native labels are checked for; polars labels anything else.
constexpr bool label_range(std::int64_t t) {
    constexpr std::int64_t kYear = 366 * civil::kUsPerDay;  // a little over a year
    return t > -70 * kYear && t < 230 * kYear;  // about 1900 to 2200
}

// Labels Python's datetime can hold; polars' own route reports the others.
constexpr bool python_date(std::int64_t t) {
    constexpr std::int64_t lo = civil::civil_to_us(1, 1, 1, 0, 0, 0, 0);
    constexpr std::int64_t hi = civil::civil_to_us(9999, 12, 31, 23, 59, 59, 999999);
    return t >= lo && t <= hi;
}

// A price the native fold takes: polars' own rules order NaN and -0.0.
inline bool plain_price(double px) { return !(std::isnan(px) || (px == 0.0 && std::signbit(px))); }

// One more tick of a bar's label, in time order (its first tick opens it at
// that price with that volume). False on a volume overflow (polars' sum
// decides then). `B` has double high, low, close and int64 volume.
template <class B>
bool fold_tick(B& b, double px, std::int64_t qty) {
    b.high = std::max(b.high, px);
    b.low = std::min(b.low, px);
    b.close = px;
    return !__builtin_add_overflow(b.volume, qty, &b.volume);
}

}  // namespace zk::bars
