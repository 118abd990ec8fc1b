// Stop and reverse: a stop that trails the trend, accelerating towards the
// trend's extreme, and flips to the other side when a bar crosses it.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "indicators/indicators.hpp"
#include "series/kernels.hpp"

namespace tarvex {

namespace {

// The stop of every bar (NaN where high or low is NaN, and on the first
// n - 1 bars that have both) and the trend it ends: +1 rising, -1 falling,
// 0 for no value. Bars missing high or low are passed over, as if absent.
//
// The first value comes on the n-th bar: the trend is rising when the
// highest high of the first n bars came no earlier than their lowest low
// (the first of equal ones), the stop is the far extreme (the lowest low of
// a rising trend) and the trend's extreme point the near one. The
// acceleration starts at the step. On each later bar, the stop moves
// towards the extreme point: stop + acceleration * (extreme - stop), but
// not past the lows (highs) of the two bars before. A bar whose low falls
// to that stop (whose high reaches it, falling) reverses the trend: the
// stop becomes the old extreme point (at least the high of this bar and of
// the one before, rising into a falling trend), the extreme point this
// bar's low (high), the acceleration the step again. Otherwise a new
// extreme point adds one step to the acceleration, up to the limit.
//
// The state steps one bar at a time, so that in provisional mode each row
// steps a copy of the state as of the last commit.
class Stops {
 public:
  struct Bar {
    double stop = kNaN;
    int trend = 0;
    double turn = kNaN;  // +1 where the trend turns up, -1 down, 0 on the other bars with a stop
  };

  Stops(std::uint64_t n, double step_percent, double limit_percent) : n_(n) {
    if (!(step_percent >= 0.0) || !(limit_percent >= 0.0) || std::isinf(step_percent) ||
        std::isinf(limit_percent)) {
      throw ValueError("step and limit must be finite percentages of 0 or more");
    }
    step_ = step_percent / 100.0;
    limit_ = limit_percent / 100.0;
  }

  Bar next(double h, double l) {
    if (n_ == 0 || std::isnan(h) || std::isnan(l)) return Bar{};
    Bar bar;
    if (k_ < n_) {
      if (k_ == 0 || h > highest_) {
        highest_ = h;
        highest_at_ = k_;
      }
      if (k_ == 0 || l < lowest_) {
        lowest_ = l;
        lowest_at_ = k_;
      }
      if (k_ + 1 == n_) {
        rising_ = highest_at_ >= lowest_at_;
        stop_ = rising_ ? lowest_ : highest_;
        extreme_ = rising_ ? highest_ : lowest_;
        acceleration_ = std::min(step_, limit_);
        bar = mark();
      }
    } else {
      double next = stop_ + acceleration_ * (extreme_ - stop_);
      if (rising_) {
        next = std::min(next, l1_);
        if (k_ >= 2) next = std::min(next, l2_);
        if (l <= next) {
          rising_ = false;
          next = std::max(std::max(extreme_, h1_), h);
          extreme_ = l;
          acceleration_ = std::min(step_, limit_);
        } else if (h > extreme_) {
          extreme_ = h;
          acceleration_ = std::min(acceleration_ + step_, limit_);
        }
      } else {
        next = std::max(next, h1_);
        if (k_ >= 2) next = std::max(next, h2_);
        if (h >= next) {
          rising_ = true;
          next = std::min(std::min(extreme_, l1_), l);
          extreme_ = h;
          acceleration_ = std::min(step_, limit_);
        } else if (l < extreme_) {
          extreme_ = l;
          acceleration_ = std::min(acceleration_ + step_, limit_);
        }
      }
      stop_ = next;
      bar = mark();
    }
    h2_ = h1_;
    l2_ = l1_;
    h1_ = h;
    l1_ = l;
    ++k_;
    return bar;
  }

 private:
  Bar mark() {
    const int trend = rising_ ? 1 : -1;
    const double turn = before_ != 0 && trend != before_ ? static_cast<double>(trend) : 0.0;
    before_ = trend;
    return Bar{stop_, trend, turn};
  }

  std::uint64_t n_;
  double step_ = 0.0, limit_ = 0.0;
  std::uint64_t k_ = 0;                            // the bars with both prices so far
  double h1_ = kNaN, l1_ = kNaN, h2_ = kNaN, l2_ = kNaN;  // the last two of them
  double highest_ = kNaN, lowest_ = kNaN;          // over the first n: the first highest high, lowest low
  std::uint64_t highest_at_ = 0, lowest_at_ = 0;
  bool rising_ = false;
  double stop_ = kNaN, extreme_ = kNaN, acceleration_ = 0.0;
  int before_ = 0;  // the trend of the last bar with a stop
};

// One value of every bar from its stop, stepped in provisional mode through
// the commits.
template <class Value>
Series each_stop(SeriesView high, SeriesView low, std::uint64_t n, double step, double limit, Value value) {
  const Stops start(n, step, limit);
  if (low.size() < high.size()) throw ValueError("low must be at least as long as high");
  const auto bar = [&](Stops& stops, std::size_t i) { return value(stops.next(high[i], low[i])); };
  if (const CommitLayout* layout = provisional_layout(high.size())) {
    return step_commits(high.size(), *layout, start, bar);
  }
  Series out(high.size());
  Stops stops = start;
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = bar(stops, i);
  return out;
}

}  // namespace

Series SAR(SeriesView high, SeriesView low, std::uint64_t n, double step, double limit) {
  return each_stop(high, low, n, step, limit, [](const Stops::Bar& b) { return b.stop; });
}

// +1.0 on a bar where the stop turns from above to below the prices (the
// trend turns up), -1.0 where it turns down, 0.0 on the other bars with a
// stop, NaN where SAR is NaN.
Series SARTURN(SeriesView high, SeriesView low, std::uint64_t n, double step, double limit) {
  return each_stop(high, low, n, step, limit, [](const Stops::Bar& b) { return b.turn; });
}

}  // namespace tarvex
