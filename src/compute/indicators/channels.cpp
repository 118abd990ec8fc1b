// Channels and volatility indicators: bands around a mean price and
// averages of the bar range.
#include "indicators/common.hpp"
#include "indicators/indicators.hpp"

#include <utility>

namespace tarvex {

// MID = MA(close, n), UPPER and LOWER = MID +- STD(close, n) * p. MA is a
// whole-series pass, the deviation, the bands and the rounding one loop.
// The bands are built from the unrounded MID; rounding is the last step.
// In provisional mode the deviation is STD's, which has that form.
SeriesList BOLL(SeriesView close, std::uint64_t n, double p, Digits digits) {
  const Series mid = MA(close, n);
  const auto bands = [&](auto deviation) {
    return single_pass<3>(mid.size(), digits, [&](std::size_t i) {
      const double width = deviation(i) * p;
      return std::array<double, 3>{mid[i] + width, mid[i], mid[i] - width};
    });
  };
  if (provisional_layout(close.size()) != nullptr) {
    const Series deviation = STD(close, n);
    return bands([&](std::size_t i) { return deviation[i]; });
  }
  RollingDeviation deviation(close, n);
  return bands([&](std::size_t i) { return deviation(i); });
}

Series ATR(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n) {
  return MA(true_range(close, high, low), n);
}

SeriesList TAQ(SeriesView high, SeriesView low, std::uint64_t n) {
  Series up = HHV(high, n);
  Series down = LLV(low, n);
  Series mid = times(add(up, down), 0.5);
  return {std::move(up), std::move(mid), std::move(down)};
}

SeriesList KTN(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n, std::uint64_t m) {
  Series mid = EMA(typical_price(close, high, low), n);
  const Series width = times(MA(true_range(close, high, low), m), 2.0);
  Series up = add(mid, width);
  Series down = sub(mid, width);
  return {std::move(up), std::move(mid), std::move(down)};
}

SeriesList XSII(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n, std::uint64_t m) {
  // The channel recursion takes one factor per bar of close, and a factor
  // exists only where all three inputs have a bar.
  if (close.size() >= 2 && (high.size() < close.size() || low.size() < close.size())) {
    throw ValueError("high and low must be at least as long as close");
  }
  const Series aa = divided_by(add(add(times(close, 2.0), high), low), 4.0);
  const Series b = MA(aa, 5);
  const double days = static_cast<double>(n);
  Series td1 = times(b, days / 100.0);
  // Formed in double so that n above 200 gives a negative factor.
  Series td2 = times(b, (200.0 - days) / 100.0);

  const Series c20 = MA(close, 20);
  const Series cc = guarded_div(ABS(sub(aa, c20)), c20);
  const Series dd = DMA(close, SeriesView(cc));
  const double pct = static_cast<double>(m) / 100.0;
  Series td3 = times(dd, pct + 1.0);
  Series td4 = times(dd, 1.0 - pct);
  return {std::move(td1), std::move(td2), std::move(td3), std::move(td4)};
}

SeriesList MASS(SeriesView high, SeriesView low, std::uint64_t n1, std::uint64_t n2, std::uint64_t m) {
  const Series m1 = MA(sub(high, low), n1);
  const Series m2 = MA(m1, n1);
  Series mass = SUM(guarded_div(m1, m2), n2);
  Series mamass = MA(mass, m);
  return {std::move(mass), std::move(mamass)};
}

}  // namespace tarvex
