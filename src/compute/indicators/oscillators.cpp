// Oscillators: bounded or mean-reverting indicators of close (and of the
// high and low of each bar). Inputs of unequal length are read over their
// common prefix.
#include "indicators/common.hpp"
#include "indicators/indicators.hpp"

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
Series williams(SeriesView close, SeriesView high, SeriesView low, std::uint64_t p) {
  const Series hh = HHV(high, p);
  const Series ll = LLV(low, p);
  return RD(times(guarded_div(sub(hh, close), sub(hh, ll)), 100.0), 3);
}

Series bias(SeriesView close, std::uint64_t p) {
  const Series mean = MA(close, p);
  return RD(times(guarded_div(sub(close, mean), mean), 100.0), 3);
}

}  // namespace

SeriesList KDJ(SeriesView close, SeriesView high, SeriesView low,
               std::uint64_t n, std::uint64_t m1, std::uint64_t m2) {
  const Series ll = LLV(low, n);
  const Series hh = HHV(high, n);
  const Series rsv = times(guarded_div(sub(close, ll), sub(hh, ll)), 100.0);
  Series k = exp_smooth(rsv, kdj_alpha(m1));
  Series d = exp_smooth(k, kdj_alpha(m2));
  Series j = sub(times(k, 3.0), times(d, 2.0));
  return {std::move(k), std::move(d), std::move(j)};
}

Series RSI(SeriesView close, std::uint64_t n) {
  const Series delta = sub(close, REF(close, 1));
  const double alpha = 1.0 / static_cast<double>(n);
  const Series su = exp_smooth(max_with_zero(delta), alpha);
  const Series sa = exp_smooth(ABS(delta), alpha);
  return RD(times(guarded_div(su, sa), 100.0), 3);
}

SeriesList WR(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n, std::uint64_t n1) {
  return {williams(close, high, low, n), williams(close, high, low, n1)};
}

SeriesList BIAS(SeriesView close, std::uint64_t l1, std::uint64_t l2, std::uint64_t l3) {
  return {bias(close, l1), bias(close, l2), bias(close, l3)};
}

SeriesList PSY(SeriesView close, std::uint64_t n, std::uint64_t m) {
  Series psy;
  if (n == 0) {
    psy = nan_series(close.size());
  } else {
    const Series count = SUM(greater(close, REF(close, 1)), n);
    psy = times(divided_by(count, static_cast<double>(n)), 100.0);
  }
  // PSYMA averages the unrounded line; both are rounded last.
  const Series psyma = MA(psy, m);
  return {RD(psy, 3), RD(psyma, 3)};
}

Series CCI(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n) {
  const Series tp = typical_price(close, high, low);
  const Series dev = sub(tp, MA(tp, n));
  const Series den = times(AVEDEV(tp, n), 0.015);
  return guarded_div(dev, den);
}

}  // namespace tarvex
