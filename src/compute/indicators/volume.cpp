// Volume and directional indicators. Every one except OBV reads its inputs
// over their common prefix; LC below is the previous close, REF(close, 1).
#include "indicators/common.hpp"
#include "indicators/indicators.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace tarvex {

namespace {

// x truncated to its first len bars (a no-op when it is no longer).
Series prefix(Series x, std::size_t len) {
  if (x.size() > len) x.resize(len);
  return x;
}

}  // namespace

Series OBV(SeriesView close, SeriesView vol) {
  const Series lc = REF(close, 1);
  // Volume counts only on rising and falling bars, so only those bars need
  // a volume; a flat tail of close may run past the end of vol.
  Series flow(close.size(), 0.0);
  for (std::size_t i = 0; i < close.size(); ++i) {
    const bool up = close[i] > lc[i];
    const bool down = close[i] < lc[i];
    if (!up && !down) continue;
    if (i >= vol.size()) throw ValueError("vol must be at least as long as close");
    flow[i] = up ? vol[i] : -vol[i];
  }
  return divided_by(SUM(flow, 0), 10000.0);
}

Series VR(SeriesView close, SeriesView vol, std::uint64_t m1) {
  const Series lc = REF(close, 1);
  const Series up_vol = SUM(where_else_zero(less(lc, close), vol), m1);
  const Series down_vol = SUM(where_else_zero(less_equal(close, lc), vol), m1);
  return times(guarded_div(up_vol, down_vol), 100.0);
}

Series CR(SeriesView close, SeriesView high, SeriesView low, std::uint64_t n) {
  // Shifting moves values unchanged, so shifting the typical price equals
  // dividing the shifted three-price sum by 3.0.
  const Series mid = REF(typical_price(close, high, low), 1);
  const Series s1 = SUM(max_with_zero(sub(high, mid)), n);
  const Series s2 = SUM(max_with_zero(sub(mid, low)), n);
  return times(guarded_div(s1, s2), 100.0);
}

SeriesList EMV(SeriesView high, SeriesView low, SeriesView vol, std::uint64_t n, std::uint64_t m) {
  const Series volume = guarded_div(MA(vol, n), vol);
  const Series hl = add(high, low);
  const Series mid = times(guarded_div(sub(hl, REF(hl, 1)), hl), 100.0);
  const Series range = sub(high, low);
  const Series t = mul(mul(mid, volume), range);
  const Series u = guarded_div(t, MA(range, n));
  Series emv = MA(u, n);
  Series maemv = MA(emv, m);
  return {std::move(emv), std::move(maemv)};
}

SeriesList BRAR(SeriesView open, SeriesView close, SeriesView high, SeriesView low, std::uint64_t m1) {
  const Series lc = REF(close, 1);
  Series ar = times(guarded_div(SUM(sub(high, open), m1), SUM(sub(open, low), m1)), 100.0);
  const Series strong = SUM(max_with_zero(sub(high, lc)), m1);
  const Series weak = SUM(max_with_zero(sub(lc, low)), m1);
  Series br = times(guarded_div(strong, weak), 100.0);
  // AR does not read close and BR does not read open; both outputs still
  // span exactly the bars that all four inputs share.
  const std::size_t len = std::min({open.size(), close.size(), high.size(), low.size()});
  return {prefix(std::move(ar), len), prefix(std::move(br), len)};
}

SeriesList ASI(SeriesView open, SeriesView close, SeriesView high, SeriesView low,
               std::uint64_t m1, std::uint64_t m2) {
  const Series lc = REF(close, 1);
  const Series lo = REF(open, 1);
  const Series ll = REF(low, 1);
  const Series aa = ABS(sub(high, lc));
  const Series bb = ABS(sub(low, lc));
  const Series cc = ABS(sub(high, ll));
  const Series dd = ABS(sub(lc, lo));

  const Series c1 = logical_and(greater(aa, bb), greater(aa, cc));
  const Series c2 = logical_and(greater(bb, cc), greater(bb, aa));
  const Series quarter_dd = times(dd, 0.25);
  const Series r1 = add(aa, add(times(bb, 0.5), quarter_dd));
  const Series r2 = add(bb, add(times(aa, 0.5), quarter_dd));
  const Series r3 = add(cc, quarter_dd);
  const Series r = IF(c1, r1, IF(c2, r2, r3));

  const Series x = add(sub(close, lc), add(times(sub(close, open), 0.5), sub(lc, lo)));
  const Series si = mul(guarded_div(times(x, 16.0), r), MAX(aa, bb));
  Series asi = SUM(si, m1);
  Series asit = MA(asi, m2);
  return {std::move(asi), std::move(asit)};
}

SeriesList DMI(SeriesView close, SeriesView high, SeriesView low, std::uint64_t m1, std::uint64_t m2) {
  const Series tr = SUM(true_range(close, high, low), m1);
  const Series hd = sub(high, REF(high, 1));
  const Series ld = sub(REF(low, 1), low);
  const Series dmp = SUM(where_else_zero(logical_and(greater(hd, 0.0), greater(hd, ld)), hd), m1);
  const Series dmm = SUM(where_else_zero(logical_and(greater(ld, 0.0), greater(ld, hd)), ld), m1);
  Series pdi = guarded_div(times(dmp, 100.0), tr);
  Series mdi = guarded_div(times(dmm, 100.0), tr);
  const Series dx = times(guarded_div(ABS(sub(mdi, pdi)), add(pdi, mdi)), 100.0);
  Series adx = MA(dx, m2);
  Series adxr = times(add(adx, REF(adx, m2)), 0.5);
  return {std::move(pdi), std::move(mdi), std::move(adx), std::move(adxr)};
}

Series MFI(SeriesView close, SeriesView high, SeriesView low, SeriesView vol, std::uint64_t n) {
  const Series typ = typical_price(close, high, low);
  const Series pt = REF(typ, 1);
  const Series flow = mul(typ, vol);
  const Series s1 = SUM(where_else_zero(less(pt, typ), flow), n);
  const Series s2 = SUM(where_else_zero(less(typ, pt), flow), n);
  return map_series(guarded_div(s1, s2), [](double v) { return 100.0 - 100.0 / (v + 1.0); });
}

}  // namespace tarvex
