// Oscillators: bounded or mean-reverting indicators of close (and of the
// high and low of each bar). Inputs of unequal length are read over their
// common prefix.
#include "indicators/common.hpp"
#include "indicators/indicators.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace tarvex {

namespace {

// Smoothing factor 2.0 / (q + 1.0) with q = 2m - 1 taken as a signed
// integer that never wraps (it needs 65 bits from m = 2^63 on): 1.0 / m for
// ordinary m, and +inf for m = 0 (q = -1), the smoothing of SMA with n = 0.
double kdj_alpha(std::uint64_t m) {
  __extension__ typedef unsigned __int128 wide;
  const double q = m == 0 ? -1.0 : static_cast<double>(static_cast<wide>(m) * 2 - 1);
  return 2.0 / (q + 1.0);
}

// (HH - close) / (HH - LL) * 100 over period p, guarded, then rounded.
Series williams(SeriesView close, SeriesView high, SeriesView low, std::uint64_t p, Digits digits) {
  const Series hh = HHV(high, p);
  const Series ll = LLV(low, p);
  return rounded(times(guarded_div(sub(hh, close), sub(hh, ll)), 100.0), digits);
}

Series bias(SeriesView close, std::uint64_t p, Digits digits) {
  const Series mean = MA(close, p);
  return rounded(times(guarded_div(sub(close, mean), mean), 100.0), digits);
}

}  // namespace

// RSV = (close - LLV(low, n)) / (HHV(high, n) - LLV(low, n)) * 100.0,
// guarded, smoothed into K and K into D; J = K * 3.0 - D * 2.0. The window
// extremes are whole-series passes, the rest one loop.
SeriesList KDJ(SeriesView close, SeriesView high, SeriesView low,
               std::uint64_t n, std::uint64_t m1, std::uint64_t m2) {
  const Series ll = LLV(low, n);
  const Series hh = HHV(high, n);
  ExpSmoothing smooth_k(kdj_alpha(m1)), smooth_d(kdj_alpha(m2));
  const std::size_t len = std::min({close.size(), high.size(), low.size()});
  return single_pass<3>(len, Digits::none(), [&](std::size_t i) {
    const double rsv = guarded_div(close[i] - ll[i], hh[i] - ll[i]) * 100.0;
    const double k = smooth_k(rsv);
    const double d = smooth_d(k);
    return std::array<double, 3>{k, d, k * 3.0 - d * 2.0};
  });
}

// The change from the previous bar (NaN at bar 0), its positive part and
// its size each smoothed with 1 / n, and 100 times their guarded ratio.
Series RSI(SeriesView close, std::uint64_t n, Digits digits) {
  const double alpha = 1.0 / static_cast<double>(n);
  ExpSmoothing up(alpha), size(alpha);
  PreviousBar previous;
  SeriesList out = single_pass<1>(close.size(), digits, [&](std::size_t i) {
    const double delta = close[i] - previous(close[i]);
    const double su = up(max_with_zero(delta));
    const double sa = size(std::fabs(delta));
    return std::array<double, 1>{guarded_div(su, sa) * 100.0};
  });
  return std::move(out[0]);
}

SeriesList WR(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n, std::uint64_t n1, Digits digits) {
  return {williams(close, high, low, n, digits), williams(close, high, low, n1, digits)};
}

SeriesList BIAS(SeriesView close, std::uint64_t l1, std::uint64_t l2, std::uint64_t l3, Digits digits) {
  return {bias(close, l1, digits), bias(close, l2, digits), bias(close, l3, digits)};
}

SeriesList PSY(SeriesView close, std::uint64_t n, std::uint64_t m, Digits digits) {
  Series psy;
  if (n == 0) {
    psy = nan_series(close.size());
  } else {
    const Series count = SUM(greater(close, REF(close, 1)), n);
    psy = times(divided_by(count, static_cast<double>(n)), 100.0);
  }
  // PSYMA averages the unrounded line; both are rounded last.
  const Series psyma = MA(psy, m);
  return {rounded(psy, digits), rounded(psyma, digits)};
}

Series CCI(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n) {
  const Series tp = typical_price(close, high, low);
  const Series dev = sub(tp, MA(tp, n));
  const Series den = times(AVEDEV(tp, n), 0.015);
  return guarded_div(dev, den);
}

}  // namespace tarvex
