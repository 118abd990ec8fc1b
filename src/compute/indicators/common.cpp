#include "indicators/common.hpp"

#include <utility>

namespace tarvex {

Series add(const Series& a, const Series& b) {
  return zip_prefix(a, b, [](double x, double y) { return x + y; });
}

Series sub(const Series& a, const Series& b) {
  return zip_prefix(a, b, [](double x, double y) { return x - y; });
}

Series mul(const Series& a, const Series& b) {
  return zip_prefix(a, b, [](double x, double y) { return x * y; });
}

Series times(const Series& x, double k) {
  return map_series(x, [k](double v) { return v * k; });
}

Series divided_by(const Series& x, double k) {
  return map_series(x, [k](double v) { return v / k; });
}

Series greater(const Series& a, const Series& b) {
  return zip_prefix(a, b, [](double x, double y) { return x > y ? 1.0 : 0.0; });
}

Series greater(const Series& a, double b) {
  return map_series(a, [b](double x) { return x > b ? 1.0 : 0.0; });
}

Series less(const Series& a, const Series& b) {
  return zip_prefix(a, b, [](double x, double y) { return x < y ? 1.0 : 0.0; });
}

Series less_equal(const Series& a, const Series& b) {
  return zip_prefix(a, b, [](double x, double y) { return x <= y ? 1.0 : 0.0; });
}

Series logical_and(const Series& a, const Series& b) {
  return zip_prefix(a, b, [](double x, double y) { return is_true(x) && is_true(y) ? 1.0 : 0.0; });
}

Series max_with_zero(Series x) {
  return MAX(VS(std::move(x)), VS(0.0));
}

Series where_else_zero(const Series& cond, Series x) {
  return IF(cond, VS(std::move(x)), VS(0.0));
}

Series true_range(const Series& close, const Series& high, const Series& low) {
  const Series pc = REF(close, 1);
  Series range_hl = sub(high, low);
  Series reach_high = ABS(sub(pc, high));
  Series wider = MAX(VS(std::move(range_hl)), VS(std::move(reach_high)));
  Series reach_low = ABS(sub(pc, low));
  return MAX(VS(std::move(wider)), VS(std::move(reach_low)));
}

Series typical_price(const Series& close, const Series& high, const Series& low) {
  return divided_by(add(add(high, low), close), 3.0);
}

}  // namespace tarvex
