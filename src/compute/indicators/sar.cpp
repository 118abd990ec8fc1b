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
struct Stops {
  Series stop;
  std::vector<int> trend;
};

Stops stops(SeriesView high, SeriesView low, std::uint64_t n, double step_percent, double limit_percent) {
  if (!(step_percent >= 0.0) || !(limit_percent >= 0.0) || std::isinf(step_percent) || std::isinf(limit_percent)) {
    throw ValueError("step and limit must be finite percentages of 0 or more");
  }
  if (low.size() < high.size()) throw ValueError("low must be at least as long as high");
  const std::size_t len = high.size();
  Stops out{nan_series(len), std::vector<int>(len, 0)};
  std::vector<std::size_t> bars;  // the bars with both prices
  for (std::size_t i = 0; i < len; ++i) {
    if (!std::isnan(high[i]) && !std::isnan(low[i])) bars.push_back(i);
  }
  if (n == 0 || bars.size() < n) return out;
  const double step = step_percent / 100.0, limit = limit_percent / 100.0;
  auto h = [&](std::size_t k) { return high[bars[k]]; };
  auto l = [&](std::size_t k) { return low[bars[k]]; };

  std::size_t highest = 0, lowest = 0;
  for (std::size_t k = 1; k < n; ++k) {
    if (h(k) > h(highest)) highest = k;
    if (l(k) < l(lowest)) lowest = k;
  }
  bool rising = highest >= lowest;
  double stop = rising ? l(lowest) : h(highest);
  double extreme = rising ? h(highest) : l(lowest);
  double acceleration = std::min(step, limit);
  out.stop[bars[n - 1]] = stop;
  out.trend[bars[n - 1]] = rising ? 1 : -1;
  for (std::size_t k = n; k < bars.size(); ++k) {
    double next = stop + acceleration * (extreme - stop);
    if (rising) {
      next = std::min(next, l(k - 1));
      if (k >= 2) next = std::min(next, l(k - 2));
      if (l(k) <= next) {
        rising = false;
        next = std::max(std::max(extreme, h(k - 1)), h(k));
        extreme = l(k);
        acceleration = std::min(step, limit);
      } else if (h(k) > extreme) {
        extreme = h(k);
        acceleration = std::min(acceleration + step, limit);
      }
    } else {
      next = std::max(next, h(k - 1));
      if (k >= 2) next = std::max(next, h(k - 2));
      if (h(k) >= next) {
        rising = true;
        next = std::min(std::min(extreme, l(k - 1)), l(k));
        extreme = h(k);
        acceleration = std::min(step, limit);
      } else if (l(k) < extreme) {
        extreme = l(k);
        acceleration = std::min(acceleration + step, limit);
      }
    }
    stop = next;
    out.stop[bars[k]] = stop;
    out.trend[bars[k]] = rising ? 1 : -1;
  }
  return out;
}

}  // namespace

Series SAR(SeriesView high, SeriesView low, std::uint64_t n, double step, double limit) {
  return stops(high, low, n, step, limit).stop;
}

// +1.0 on a bar where the stop turns from above to below the prices (the
// trend turns up), -1.0 where it turns down, 0.0 on the other bars with a
// stop, NaN where SAR is NaN.
Series SARTURN(SeriesView high, SeriesView low, std::uint64_t n, double step, double limit) {
  const Stops s = stops(high, low, n, step, limit);
  Series out = nan_series(s.stop.size());
  int before = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (s.trend[i] == 0) continue;
    out[i] = before != 0 && s.trend[i] != before ? static_cast<double>(s.trend[i]) : 0.0;
    before = s.trend[i];
  }
  return out;
}

}  // namespace tarvex
