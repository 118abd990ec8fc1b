// Element-wise functions: each bar of the result depends only on the same
// bar of the inputs.
#include <cmath>
#include <cstddef>
#include <limits>

#include "series/kernels.hpp"
#include "series/series.hpp"

namespace tarvex {

namespace {

// A scalar-or-series argument read bar by bar. A scalar has no length of
// its own, so it never limits the length of a result.
struct VsReader {
  VSView v;

  std::size_t size() const {
    const SeriesView* s = std::get_if<SeriesView>(&v);
    return s ? s->size() : std::numeric_limits<std::size_t>::max();
  }
  double operator[](std::size_t i) const {
    const SeriesView* s = std::get_if<SeriesView>(&v);
    return s ? (*s)[i] : std::get<double>(v);
  }
};

// f over pairs of values from p and q aligned at index 0. Two scalars give
// a one-element result.
template <class F>
Series pairwise(VSView p, VSView q, F f) {
  const VsReader a{p}, b{q};
  std::size_t len = std::min(a.size(), b.size());
  if (len == std::numeric_limits<std::size_t>::max()) len = 1;
  Series out(len);
  for (std::size_t i = 0; i < len; ++i) out[i] = f(a[i], b[i]);
  return out;
}

}  // namespace

Series RD(SeriesView s, std::uint32_t d) {
  const double f = std::pow(10.0, static_cast<double>(d));
  return map_series(s, [f](double x) {
    const double scaled = x * f;
    // NaN, infinities, and values too large to scale stay as they are.
    if (!std::isfinite(scaled)) return x;
    return std::round(scaled) / f;
  });
}

double RET(SeriesView s, std::uint64_t n) {
  if (n == 0) throw ValueError("n must be at least 1");
  if (n > s.size()) return kNaN;
  return s[s.size() - n];
}

Series ABS(SeriesView s) {
  return map_series(s, [](double x) { return std::fabs(x); });
}

Series LN(SeriesView s) {
  return map_series(s, [](double x) { return x > 0.0 ? std::log(x) : kNaN; });
}

Series POW(SeriesView s, double n) {
  return map_series(s, [n](double x) { return std::pow(x, n); });
}

Series SQRT(SeriesView s) {
  return map_series(s, [](double x) { return std::sqrt(x); });
}

Series SIN(SeriesView s) {
  return map_series(s, [](double x) { return std::sin(x); });
}

Series COS(SeriesView s) {
  return map_series(s, [](double x) { return std::cos(x); });
}

Series TAN(SeriesView s) {
  return map_series(s, [](double x) { return std::tan(x); });
}

Series MAX(VSView s1, VSView s2) {
  return pairwise(s1, s2, [](double p, double q) {
    if (std::isnan(p) || std::isnan(q)) return kNaN;
    return p < q ? q : p;
  });
}

Series MIN(VSView s1, VSView s2) {
  return pairwise(s1, s2, [](double p, double q) {
    if (std::isnan(p) || std::isnan(q)) return kNaN;
    return q < p ? q : p;
  });
}

Series IF(SeriesView s, VSView a, VSView b) {
  const VsReader yes{a}, no{b};
  const std::size_t len = std::min({s.size(), yes.size(), no.size()});
  Series out(len);
  for (std::size_t i = 0; i < len; ++i) out[i] = is_true(s[i]) ? yes[i] : no[i];
  return out;
}

Series BETWEEN(SeriesView s, SeriesView a, SeriesView b) {
  const std::size_t len = std::min({s.size(), a.size(), b.size()});
  Series out(len);
  for (std::size_t i = 0; i < len; ++i) {
    const double x = s[i], lo = a[i], hi = b[i];
    out[i] = ((x > lo && x < hi) || (x < lo && x > hi)) ? 1.0 : 0.0;
  }
  return out;
}

Series CONST(SeriesView s) {
  return s.empty() ? Series() : Series(s.size(), s.back());
}

}  // namespace tarvex
