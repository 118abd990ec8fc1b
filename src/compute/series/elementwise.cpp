// Element-wise functions: each bar of the result depends only on the same
// bar of the inputs.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "runtime/simd.hpp"
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

// round(x * f) / f with round() half away from zero; NaN, infinities, and
// values too large to scale stay as they are. Rounding without the library
// call: with a = |x * f| and t = trunc(a), a - t is exact (it is the
// fraction of a), so round(a) is t + 1 exactly when a - t >= 0.5; copysign
// restores the sign, -0.0 included. From 2^52 up every double is an
// integer: t = a and the fraction is 0. Both arms are computed and one is
// selected, so the loop has no data-dependent branch.
inline double rounded(double x, double f) {
  const double scaled = x * f;
  const double a = std::fabs(scaled);
  const double t = std::trunc(a);
  const double r = std::copysign(t + (a - t >= 0.5 ? 1.0 : 0.0), scaled) / f;
  return a <= std::numeric_limits<double>::max() ? r : x;  // false for NaN
}

#if defined(__x86_64__)
// `rounded` four bars at a time, operation for operation; returns the
// number of bars done (all but the last len % 4).
__attribute__((target("avx2"))) std::size_t rounded_avx2(const double* s, std::size_t len, double f, double* out) {
  typedef double Vec4 __attribute__((vector_size(32)));
  typedef std::int64_t Bits4 __attribute__((vector_size(32)));
  const Vec4 zero = {}, one = zero + 1.0, half = zero + 0.5, max = zero + std::numeric_limits<double>::max();
  const Bits4 sign = Bits4{} + std::numeric_limits<std::int64_t>::min();
  std::size_t i = 0;
  for (; len - i >= 4; i += 4) {
    Vec4 x;
    std::memcpy(&x, s + i, sizeof x);
    const Vec4 scaled = x * f;
    const Vec4 a = reinterpret_cast<Vec4>(reinterpret_cast<Bits4>(scaled) & ~sign);
    const Vec4 t = __builtin_ia32_roundpd256(a, 3);  // toward zero
    const Vec4 up = t + (a - t >= half ? one : zero);
    const Vec4 r = reinterpret_cast<Vec4>(reinterpret_cast<Bits4>(up) | (reinterpret_cast<Bits4>(scaled) & sign)) / f;
    const Vec4 y = a <= max ? r : x;
    std::memcpy(out + i, &y, sizeof y);
  }
  return i;
}
#endif

}  // namespace

void round_values(const double* s, std::size_t count, std::uint32_t d, double* out) {
  const double f = std::pow(10.0, static_cast<double>(d));
  std::size_t i = 0;
#if defined(__x86_64__)
  if (simd_level() == SimdLevel::kAvx2) i = rounded_avx2(s, count, f, out);
#endif
  for (; i < count; ++i) out[i] = rounded(s[i], f);
}

Series RD(SeriesView s, std::uint32_t d) {
  Series out(s.size());
  round_values(s.data(), s.size(), d, out.data());
  return out;
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

Series EXP(SeriesView s) {
  return map_series(s, [](double x) { return std::exp(x); });
}

Series LOG(SeriesView s) {
  return map_series(s, [](double x) { return x > 0.0 ? std::log10(x) : kNaN; });
}

Series ATAN(SeriesView s) {
  return map_series(s, [](double x) { return std::atan(x); });
}

Series ASIN(SeriesView s) {
  return map_series(s, [](double x) { return x >= -1.0 && x <= 1.0 ? std::asin(x) : kNaN; });
}

Series ACOS(SeriesView s) {
  return map_series(s, [](double x) { return x >= -1.0 && x <= 1.0 ? std::acos(x) : kNaN; });
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
  // In provisional mode a row's history ends with the row itself.
  if (provisional_layout(s.size()) != nullptr) return Series(s.begin(), s.end());
  return s.empty() ? Series() : Series(s.size(), s.back());
}

}  // namespace tarvex
