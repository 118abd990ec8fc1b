// Trend and momentum indicators over one close series.
#include "indicators/common.hpp"
#include "indicators/indicators.hpp"

#include <utility>

namespace tarvex {

// DIF = EMA(close, short) - EMA(close, long), DEA = EMA(DIF, m),
// MACD = (DIF - DEA) * 2.0, every bar in one loop. Rounding is the last
// step: DEA and MACD come from the unrounded DIF. The three smoothings are
// the loop's own (captured by value), so they stay in registers.
SeriesList MACD(SeriesView close, std::uint64_t short_n, std::uint64_t long_n, std::uint64_t m, Digits digits) {
  return single_pass<3>(close.size(), digits, [close, fast = ExpSmoothing(ema_alpha(short_n)),
                                               slow = ExpSmoothing(ema_alpha(long_n)),
                                               signal = ExpSmoothing(ema_alpha(m))](std::size_t i) mutable {
    const double x = close[i];
    const double dif = fast(x) - slow(x);
    const double dea = signal(dif);
    return std::array<double, 3>{dif, dea, (dif - dea) * 2.0};
  });
}

SeriesList TRIX(SeriesView close, std::uint64_t m1, std::uint64_t m2) {
  const Series tr = EMA(EMA(EMA(close, m1), m1), m1);
  const Series prev = REF(tr, 1);
  Series trix = times(guarded_div(sub(tr, prev), prev), 100.0);
  Series trma = MA(trix, m2);
  return {std::move(trix), std::move(trma)};
}

SeriesList DFMA(SeriesView close, std::uint64_t n1, std::uint64_t n2, std::uint64_t m) {
  Series dif = sub(MA(close, n1), MA(close, n2));
  Series difma = MA(dif, m);
  return {std::move(dif), std::move(difma)};
}

SeriesList EXPMA(SeriesView close, std::uint64_t n1, std::uint64_t n2) {
  return {EMA(close, n1), EMA(close, n2)};
}

Series BBI(SeriesView close, std::uint64_t m1, std::uint64_t m2, std::uint64_t m3, std::uint64_t m4) {
  const Series a = add(MA(close, m1), MA(close, m2));
  const Series b = add(MA(close, m3), MA(close, m4));
  return divided_by(add(a, b), 4.0);
}

SeriesList DPO(SeriesView close, std::uint64_t m1, std::uint64_t m2, std::uint64_t m3) {
  Series dpo = sub(close, REF(MA(close, m1), m2));
  Series madpo = MA(dpo, m3);
  return {std::move(dpo), std::move(madpo)};
}

SeriesList MTM(SeriesView close, std::uint64_t n, std::uint64_t m) {
  Series mtm = sub(close, REF(close, n));
  Series mtmma = MA(mtm, m);
  return {std::move(mtm), std::move(mtmma)};
}

SeriesList ROC(SeriesView close, std::uint64_t n, std::uint64_t m) {
  const Series before = REF(close, n);
  Series roc = times(guarded_div(sub(close, before), before), 100.0);
  Series maroc = MA(roc, m);
  return {std::move(roc), std::move(maroc)};
}

}  // namespace tarvex
