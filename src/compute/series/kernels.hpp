// Small building blocks shared by the series primitives and the indicators:
// the nonzero truth test, element-wise maps over one series or over the
// common prefix of two, guarded division, the step of exponential smoothing
// and rounding into a buffer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "runtime/provisional.hpp"
#include "series/series.hpp"

namespace tarvex {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// The truth test of condition series: anything not equal to 0.0 is true,
// so NaN is true and -0.0 is false.
inline bool is_true(double v) { return v != 0.0; }

// The formula language's truth test, which the newer condition functions
// read: neither 0.0 (either sign) nor NaN.
inline bool holds(double v) { return v != 0.0 && !std::isnan(v); }

// A series of n NaN: the starting point of every windowed result.
inline Series nan_series(std::size_t n) { return Series(n, kNaN); }

// f applied to every bar of s.
template <class F>
Series map_series(SeriesView s, F f) {
  Series out(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) out[i] = f(s[i]);
  return out;
}

// f applied bar by bar to a and b aligned at index 0; the result has the
// length of the shorter series.
template <class F>
Series zip_prefix(SeriesView a, SeriesView b, F f) {
  Series out(std::min(a.size(), b.size()));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = f(a[i], b[i]);
  return out;
}

// x / y, NaN wherever y equals 0.0 (either sign).
inline double guarded_div(double x, double y) { return y == 0.0 ? kNaN : x / y; }

// Element-wise guarded division over the common prefix of x and y.
inline Series guarded_div(SeriesView x, SeriesView y) {
  return zip_prefix(x, y, [](double a, double b) { return guarded_div(a, b); });
}

// Runs bar(i) for i = first .. last - 1 in order, for a loop whose bars
// form a chain of dependent steps (a smoothing, a running sum): such a loop
// leaves the memory idle, so the cache lines of `read` and `write` a few
// hundred bars ahead are asked for, one line of eight bars at a time. Both
// then keep streaming when they are not in the caches, as a long series
// made or freed a while ago is not.
template <class Bar>
void chained_bars(std::size_t first, std::size_t last, const double* read, double* write, Bar bar) {
  constexpr std::size_t kLine = 8, kAhead = 256;
  std::size_t i = first;
  for (; i + kAhead + kLine <= last; i += kLine) {
    __builtin_prefetch(read + i + kAhead, 0);
    __builtin_prefetch(write + i + kAhead, 1);
    for (std::size_t j = i; j < i + kLine; ++j) bar(j);
  }
  for (; i < last; ++i) bar(i);
}

// exp_smooth one bar at a time: state <- state * (1 - alpha) + x * alpha,
// seeded by the first non-NaN value. A NaN input gives NaN and leaves the
// state alone; a state that turns NaN through arithmetic is seeded again by
// the next number. Indicators that smooth inside a single loop call this
// same step, so they get the bits of exp_smooth.
//
// Made inside a ProvisionalScope, it is called once per row of the segment
// in order, and keeps the state it reaches at commit rows only: every other
// row steps from the state of the last commit.
class ExpSmoothing {
 public:
  explicit ExpSmoothing(double alpha) : alpha_(alpha), keep_(1.0 - alpha), layout_(provisional_active()) {}

  double operator()(double x) {
    if (layout_ != nullptr) return provisional(x);
    if (std::isnan(x)) return kNaN;
    state_ = std::isnan(state_) ? x : state_ * keep_ + x * alpha_;
    return state_;
  }

 private:
  double provisional(double x) {
    if (row_ >= layout_->rows) throw NoProvisionalForm{};
    const bool commit = layout_->commit[row_++] != 0;
    if (std::isnan(x)) return kNaN;
    const double next = std::isnan(state_) ? x : state_ * keep_ + x * alpha_;
    if (commit) state_ = next;
    return next;
  }

  double alpha_, keep_;
  double state_ = kNaN;
  const CommitLayout* layout_;
  std::size_t row_ = 0;
};

// The value of the bar before, one bar at a time: `operator()(x)` returns
// the value it was last given (NaN at first) and keeps x. Made inside a
// ProvisionalScope, it keeps x at commit rows only, so the bar before is
// the last commit.
class PreviousBar {
 public:
  PreviousBar() : layout_(provisional_active()) {}

  double operator()(double x) {
    const double before = last_;
    if (layout_ == nullptr) {
      last_ = x;
    } else {
      if (row_ >= layout_->rows) throw NoProvisionalForm{};
      if (layout_->commit[row_++] != 0) last_ = x;
    }
    return before;
  }

 private:
  double last_ = kNaN;
  const CommitLayout* layout_;
  std::size_t row_ = 0;
};

// STD(s, n) bar after bar, bars 0, 1, ... in order: running sums q of x*x
// and p of x over the finite values of the window; a window holding a NaN
// or an infinity gives NaN and recovers once it leaves. The population
// deviation comes from the sums, a variance that is not positive (rounding
// residue) counting as 0.
class RollingDeviation {
 public:
  RollingDeviation(SeriesView s, std::uint64_t n)
      : s_(s), n_(n), count_(static_cast<double>(n)), clean_from_(n > 0 ? n - 1 : 0) {
    refuse_provisional();  // STD has its own provisional form
  }

  // The deviations of the next `count` bars, written to out.
  void next(std::size_t count, double* out);

  // The deviation of bar i, for i = 0, 1, ... in order.
  double operator()(std::size_t i) {
    if (i == buffered_end_) {
      buffered_start_ = i;
      buffered_end_ = i + std::min(kBuffered, s_.size() - i);
      next(buffered_end_ - i, buffered_);
    }
    return buffered_[i - buffered_start_];
  }

 private:
  static constexpr std::size_t kBuffered = 64;

  SeriesView s_;
  std::uint64_t n_;
  double count_;
  double q_ = 0.0, p_ = 0.0;
  std::size_t clean_from_;  // the windows from this bar on are complete and finite, as far as seen
  std::size_t bar_ = 0;     // the next bar `next` computes
  std::size_t buffered_start_ = 0, buffered_end_ = 0;  // the bars operator() holds
  double buffered_[kBuffered];
};

// The smoothing factor of EMA(s, n).
inline double ema_alpha(std::uint64_t n) { return 2.0 / (static_cast<double>(n) + 1.0); }

// RD(s, d) of the `count` values at s, written to out (which may be s).
void round_values(const double* s, std::size_t count, std::uint32_t d, double* out);

}  // namespace tarvex
