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
struct VsView {
  const VS& v;

  std::size_t size() const {
    const Series* s = std::get_if<Series>(&v);
    return s ? s->size() : std::numeric_limits<std::size_t>::max();
  }
  double operator[](std::size_t i) const {
    const Series* s = std::get_if<Series>(&v);
    return s ? (*s)[i] : std::get<double>(v);
  }
};

// f over pairs of values from p and q aligned at index 0. Two scalars give
// a one-element result.
template <class F>
Series pairwise(const VS& p, const VS& q, F f) {
  const VsView a{p}, b{q};
  std::size_t len = std::min(a.size(), b.size());
  if (len == std::numeric_limits<std::size_t>::max()) len = 1;
  Series out(len);
  for (std::size_t i = 0; i < len; ++i) out[i] = f(a[i], b[i]);
  return out;
}

}  // namespace

Series RD(const Series& s, std::uint32_t d) {
  const double f = std::pow(10.0, static_cast<double>(d));
  return map_series(s, [f](double x) {
    const double scaled = x * f;
    // NaN, infinities, and values too large to scale stay as they are.
    if (!std::isfinite(scaled)) return x;
    return std::round(scaled) / f;
  });
}

double RET(const Series& s, std::uint64_t n) {
  if (n == 0) throw ValueError("n must be at least 1");
  if (n > s.size()) return kNaN;
  return s[s.size() - n];
}

Series ABS(const Series& s) {
  return map_series(s, [](double x) { return std::fabs(x); });
}

Series LN(const Series& s) {
  return map_series(s, [](double x) { return x > 0.0 ? std::log(x) : kNaN; });
}

Series POW(const Series& s, double n) {
  return map_series(s, [n](double x) { return std::pow(x, n); });
}

Series SQRT(const Series& s) {
  return map_series(s, [](double x) { return std::sqrt(x); });
}

Series SIN(const Series& s) {
  return map_series(s, [](double x) { return std::sin(x); });
}

Series COS(const Series& s) {
  return map_series(s, [](double x) { return std::cos(x); });
}

Series TAN(const Series& s) {
  return map_series(s, [](double x) { return std::tan(x); });
}

Series MAX(const VS& s1, const VS& s2) {
  return pairwise(s1, s2, [](double p, double q) {
    if (std::isnan(p) || std::isnan(q)) return kNaN;
    return p < q ? q : p;
  });
}

Series MIN(const VS& s1, const VS& s2) {
  return pairwise(s1, s2, [](double p, double q) {
    if (std::isnan(p) || std::isnan(q)) return kNaN;
    return q < p ? q : p;
  });
}

Series IF(const Series& s, const VS& a, const VS& b) {
  const VsView yes{a}, no{b};
  const std::size_t len = std::min({s.size(), yes.size(), no.size()});
  Series out(len);
  for (std::size_t i = 0; i < len; ++i) out[i] = is_true(s[i]) ? yes[i] : no[i];
  return out;
}

Series BETWEEN(const Series& s, const Series& a, const Series& b) {
  const std::size_t len = std::min({s.size(), a.size(), b.size()});
  Series out(len);
  for (std::size_t i = 0; i < len; ++i) {
    const double x = s[i], lo = a[i], hi = b[i];
    out[i] = ((x > lo && x < hi) || (x < lo && x > hi)) ? 1.0 : 0.0;
  }
  return out;
}

Series CONST(const Series& s) {
  return s.empty() ? Series() : Series(s.size(), s.back());
}

}  // namespace tarvex
