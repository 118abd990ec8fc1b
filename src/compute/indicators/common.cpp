#include "indicators/common.hpp"
#include "indicators/indicators.hpp"

namespace tarvex {

Series add(SeriesView a, SeriesView b) {
  return zip_prefix(a, b, [](double x, double y) { return x + y; });
}

Series sub(SeriesView a, SeriesView b) {
  return zip_prefix(a, b, [](double x, double y) { return x - y; });
}

Series mul(SeriesView a, SeriesView b) {
  return zip_prefix(a, b, [](double x, double y) { return x * y; });
}

Series times(SeriesView x, double k) {
  return map_series(x, [k](double v) { return v * k; });
}

Series divided_by(SeriesView x, double k) {
  return map_series(x, [k](double v) { return v / k; });
}

Series greater(SeriesView a, SeriesView b) {
  return zip_prefix(a, b, [](double x, double y) { return x > y ? 1.0 : 0.0; });
}

Series greater(SeriesView a, double b) {
  return map_series(a, [b](double x) { return x > b ? 1.0 : 0.0; });
}

Series less(SeriesView a, SeriesView b) {
  return zip_prefix(a, b, [](double x, double y) { return x < y ? 1.0 : 0.0; });
}

Series less_equal(SeriesView a, SeriesView b) {
  return zip_prefix(a, b, [](double x, double y) { return x <= y ? 1.0 : 0.0; });
}

Series logical_and(SeriesView a, SeriesView b) {
  return zip_prefix(a, b, [](double x, double y) { return is_true(x) && is_true(y) ? 1.0 : 0.0; });
}

Series max_with_zero(SeriesView x) {
  return map_series(x, [](double v) { return max_with_zero(v); });
}

Series where_else_zero(SeriesView cond, SeriesView x) { return IF(cond, x, 0.0); }

Series true_range(SeriesView close, SeriesView high, SeriesView low) {
  const Series pc = REF(close, 1);
  const Series wider = MAX(sub(high, low), ABS(sub(pc, high)));
  return MAX(wider, ABS(sub(pc, low)));
}

Series typical_price(SeriesView close, SeriesView high, SeriesView low) {
  return divided_by(add(add(high, low), close), 3.0);
}

Series rounded(Series s, Digits digits) { return digits.round ? RD(s, digits.places) : s; }

void round_in_place(double* values, std::size_t count, Digits digits) {
  if (digits.round) round_values(values, count, digits.places, values);
}

}  // namespace tarvex
