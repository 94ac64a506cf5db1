#pragma once
// The indicators' arithmetic: plain C++, no Python. Each kernel takes finite
// inputs (the caller has checked them) and writes its outputs; NaN means the
// indicator is not warm yet. Nothing here allocates after construction, so a
// push cannot fail half-way.
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace zki {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Neumaier's compensated sum: the rounding error of every add is carried
// separately, so a sum updated by millions of adds and removes does not drift.
class CompensatedSum {
 public:
  void add(double x) {
    const double t = sum_ + x;
    carry_ += std::fabs(sum_) >= std::fabs(x) ? (sum_ - t) + x : (x - t) + sum_;
    sum_ = t;
  }
  double value() const { return sum_ + carry_; }
  void clear() { sum_ = carry_ = 0.0; }

 private:
  double sum_ = 0.0, carry_ = 0.0;
};

// The last n values with their mean and population variance, O(1) per push.
// The sums are of deviations from a shift near the window's mean, which keeps
// the variance's subtraction from cancelling the digits that matter. They are
// rebuilt exactly from the ring once per n pushes (amortised O(1)), and at once
// when the shift has drifted far from the window (a level change of orders of
// magnitude), so neither rounding nor a stale shift costs more than a few ulps
// of the window's own scale. A window of n equal values is reported exactly:
// mean = the value, variance = 0.
class RollingWindow {
 public:
  explicit RollingWindow(std::size_t n) : ring_(n) {}

  void push(double x) {
    const std::size_t n = ring_.size();
    if (count_ == n) {
      const double d = ring_[pos_] - shift_;
      s1_.add(-d);
      s2_.add(-d * d);
    } else {
      ++count_;
    }
    ring_[pos_] = x;
    const double d = x - shift_;
    s1_.add(d);
    s2_.add(d * d);
    run_ = (count_ > 1 && x == last_) ? (run_ < n ? run_ + 1 : n) : 1;
    last_ = x;
    if (++pos_ == n) {  // the ring is full and about to wrap
      pos_ = 0;
      rebase();
    } else if (full() && !constant() && ill_conditioned()) {
      rebase();
    }
  }
  bool full() const { return count_ == ring_.size(); }
  double mean() const {
    return constant() ? last_ : shift_ + s1_.value() / static_cast<double>(ring_.size());
  }
  double variance() const {
    if (constant()) return 0.0;
    const double n = static_cast<double>(ring_.size());
    const double m = s1_.value() / n;
    const double v = s2_.value() / n - m * m;
    return v > 0.0 ? v : 0.0;
  }
  void clear() {
    count_ = pos_ = run_ = 0;
    shift_ = last_ = 0.0;
    s1_.clear();
    s2_.clear();
  }

 private:
  bool constant() const { return run_ >= ring_.size(); }
  // The shift is too far from the window: the mean's offset m dwarfs the
  // spread (the variance would cancel), or the shift dwarfs the mean itself.
  // The floor on the spread keeps a nearly flat window from rebasing on every
  // push: below it the answer is already within 1e-13 of the mean.
  bool ill_conditioned() const {
    const double n = static_cast<double>(ring_.size());
    const double m = s1_.value() / n, mean = shift_ + m;
    const double v = s2_.value() / n - m * m;
    const double floor = 1e-14 * mean * mean;
    return m * m > 1e3 * (v > floor ? v : floor) || shift_ * shift_ > 1e6 * (mean * mean + (v > 0.0 ? v : 0.0));
  }
  void rebase() {
    CompensatedSum total;
    for (double v : ring_) total.add(v);
    shift_ = total.value() / static_cast<double>(ring_.size());
    s1_.clear();
    s2_.clear();
    for (double v : ring_) {
      const double d = v - shift_;
      s1_.add(d);
      s2_.add(d * d);
    }
  }

  std::vector<double> ring_;
  std::size_t count_ = 0, pos_ = 0, run_ = 0;
  double shift_ = 0.0, last_ = 0.0;
  CompensatedSum s1_, s2_;
};

// Mean of the first n values, then v += alpha * (x - v). Shared by EMA (alpha
// 2/(n+1)) and the Wilder averages of RSI and ATR (alpha 1/n).
class SeededAverage {
 public:
  SeededAverage(std::size_t n, double alpha) : n_(n), alpha_(alpha) {}
  double push(double x) {
    if (count_ < n_) {
      seed_.add(x);
      if (++count_ == n_) value_ = seed_.value() / static_cast<double>(n_);
    } else {
      value_ += alpha_ * (x - value_);
    }
    return value_;
  }
  double value() const { return value_; }
  void clear() {
    count_ = 0;
    seed_.clear();
    value_ = kNaN;
  }

 private:
  std::size_t n_, count_ = 0;
  double alpha_;
  CompensatedSum seed_;
  double value_ = kNaN;
};

inline double ema_alpha(std::size_t n) { return 2.0 / (static_cast<double>(n) + 1.0); }
inline double wilder_alpha(std::size_t n) { return 1.0 / static_cast<double>(n); }

struct SmaKernel {
  static constexpr int kIn = 1, kOut = 1;
  struct Params {
    std::size_t n;
  };
  explicit SmaKernel(const Params& p) : params(p), window(p.n) {}
  void push(const double* in, double* out) {
    window.push(in[0]);
    out[0] = window.full() ? window.mean() : kNaN;
  }
  void clear() { window.clear(); }
  Params params;
  RollingWindow window;
};

struct EmaKernel {
  static constexpr int kIn = 1, kOut = 1;
  struct Params {
    std::size_t n;
  };
  explicit EmaKernel(const Params& p) : params(p), avg(p.n, ema_alpha(p.n)) {}
  void push(const double* in, double* out) { out[0] = avg.push(in[0]); }
  void clear() { avg.clear(); }
  Params params;
  SeededAverage avg;
};

struct RsiKernel {
  static constexpr int kIn = 1, kOut = 1;
  struct Params {
    std::size_t n;
  };
  explicit RsiKernel(const Params& p)
      : params(p), gain(p.n, wilder_alpha(p.n)), loss(p.n, wilder_alpha(p.n)) {}
  void push(const double* in, double* out) {
    const double x = in[0];
    if (!has_prev) {
      has_prev = true;
      prev = x;
      out[0] = kNaN;
      return;
    }
    const double change = x - prev;
    prev = x;
    const double g = gain.push(change > 0.0 ? change : 0.0);
    const double l = loss.push(change < 0.0 ? -change : 0.0);
    if (std::isnan(g)) {
      out[0] = kNaN;
    } else if (l == 0.0) {
      out[0] = g == 0.0 ? 50.0 : 100.0;  // no loss: all gains, or no movement at all
    } else {
      out[0] = 100.0 - 100.0 / (1.0 + g / l);
    }
  }
  void clear() {
    has_prev = false;
    gain.clear();
    loss.clear();
  }
  Params params;
  SeededAverage gain, loss;
  bool has_prev = false;
  double prev = 0.0;
};

struct AtrKernel {
  static constexpr int kIn = 3, kOut = 1;  // high, low, close
  struct Params {
    std::size_t n;
  };
  explicit AtrKernel(const Params& p) : params(p), avg(p.n, wilder_alpha(p.n)) {}
  static const char* invalid(const double* in) {
    return in[0] < in[1] ? "high is below low" : nullptr;
  }
  void push(const double* in, double* out) {
    const double high = in[0], low = in[1];
    double tr = high - low;
    if (has_prev) tr = std::fmax(tr, std::fmax(std::fabs(high - prev_close), std::fabs(low - prev_close)));
    has_prev = true;
    prev_close = in[2];
    out[0] = avg.push(tr);
  }
  void clear() {
    has_prev = false;
    avg.clear();
  }
  Params params;
  SeededAverage avg;
  bool has_prev = false;
  double prev_close = 0.0;
};

struct BollingerKernel {
  static constexpr int kIn = 1, kOut = 3;  // lower, middle, upper
  struct Params {
    std::size_t n;
    double k;
  };
  explicit BollingerKernel(const Params& p) : params(p), window(p.n) {}
  void push(const double* in, double* out) {
    window.push(in[0]);
    if (!window.full()) {
      out[0] = out[1] = out[2] = kNaN;
      return;
    }
    const double mid = window.mean(), width = params.k * std::sqrt(window.variance());
    out[0] = mid - width;
    out[1] = mid;
    out[2] = mid + width;
  }
  void clear() { window.clear(); }
  Params params;
  RollingWindow window;
};

struct MacdKernel {
  static constexpr int kIn = 1, kOut = 3;  // macd, signal, histogram
  struct Params {
    std::size_t fast, slow, signal;
  };
  explicit MacdKernel(const Params& p)
      : params(p), fast(p.fast, ema_alpha(p.fast)), slow(p.slow, ema_alpha(p.slow)),
        signal(p.signal, ema_alpha(p.signal)) {}
  void push(const double* in, double* out) {
    const double f = fast.push(in[0]), s = slow.push(in[0]);
    if (std::isnan(s)) {
      out[0] = out[1] = out[2] = kNaN;
      return;
    }
    const double macd = f - s, sig = signal.push(macd);
    out[0] = macd;
    out[1] = sig;
    out[2] = macd - sig;  // NaN while the signal line warms up
  }
  void clear() {
    fast.clear();
    slow.clear();
    signal.clear();
  }
  Params params;
  SeededAverage fast, slow, signal;
};

struct CrossOverKernel {
  static constexpr int kIn = 2, kOut = 1;  // a, b
  struct Params {};
  explicit CrossOverKernel(const Params& p) : params(p) {}
  void push(const double* in, double* out) {
    const int side = (in[0] > in[1]) - (in[0] < in[1]);
    // A tie keeps the side from before it: below, equal, above is one cross up.
    out[0] = side != 0 && last_side != 0 && side != last_side ? side : 0;
    if (side != 0) last_side = side;
  }
  void clear() { last_side = 0; }
  Params params;
  int last_side = 0;
};

}  // namespace zki
