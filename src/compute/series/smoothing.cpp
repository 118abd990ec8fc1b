// Moving averages and exponential smoothing.
#include <cmath>
#include <cstddef>

#include "series/kernels.hpp"
#include "series/series.hpp"
#include "series/window_kernel.hpp"

namespace tarvex {

// ExpSmoothing over every bar of s.
Series exp_smooth(SeriesView s, double alpha) {
  provisional_layout(s.size());  // in provisional mode, the step keeps its state at commits
  ExpSmoothing step(alpha);
  Series out(s.size());
  chained_bars(0, s.size(), s.data(), out.data(), [&](std::size_t i) { out[i] = step(s[i]); });
  return out;
}

// Every window is summed afresh from its oldest value, so each output has
// the rounding of a plain left-to-right sum and a NaN stays in its windows.
Series MA(SeriesView s, std::uint64_t n) {
  const double count = static_cast<double>(n);
  return each_window<1>(s, n, [count](const auto& w) { return window_kernel::window_sum(w) / count; });
}

Series EMA(SeriesView s, std::uint64_t n) { return exp_smooth(s, ema_alpha(n)); }

Series SMA(SeriesView s, std::uint64_t n, std::uint64_t m) {
  return exp_smooth(s, static_cast<double>(m) / static_cast<double>(n));
}

// Weights n on the newest bar down to 1 on the oldest. Walking from the
// newest value, adding the running partial sum to the total gives each value
// its weight without a multiplication.
Series WMA(SeriesView s, std::uint64_t n) {
  const double count = static_cast<double>(n);
  return each_window<2>(s, n, [count](const auto& w) {
    auto partial = w.zero(), total = w.zero();
    for (std::size_t k = 0; k < w.size(); ++k) {
      partial += w[w.size() - 1 - k];
      total += partial;
    }
    return ((total * 2.0) / count) / (1.0 + count);
  });
}

Series DMA(SeriesView s, double a) { return exp_smooth(s, a); }

// Per-bar weights with no seeding and no NaN skipping: y[0] = s[0], then
// y[i] = (1 - a[i]) * y[i-1] + s[i] * a[i], where a NaN weight counts as 1.
Series DMA(SeriesView s, SeriesView a) {
  if (s.size() >= 2 && a.size() < s.size()) throw ValueError("a must be at least as long as s");
  struct Smoothed {
    double y;
    bool started;
  };
  const auto step = [&](Smoothed& m, std::size_t i) {
    if (!m.started) {
      m = Smoothed{s[i], true};
    } else {
      const double w = std::isnan(a[i]) ? 1.0 : a[i];
      m.y = (1.0 - w) * m.y + s[i] * w;
    }
    return m.y;
  };
  if (const CommitLayout* layout = provisional_layout(s.size())) {
    return step_commits(s.size(), *layout, Smoothed{0.0, false}, step);
  }
  Series out(s.size());
  Smoothed m{0.0, false};
  for (std::size_t i = 0; i < s.size(); ++i) out[i] = step(m, i);
  return out;
}

Series DMA(SeriesView s, VSView a) {
  if (const double* scalar = std::get_if<double>(&a)) return DMA(s, *scalar);
  return DMA(s, std::get<SeriesView>(a));
}

}  // namespace tarvex
