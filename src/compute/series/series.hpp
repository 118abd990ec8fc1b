// Series primitives of the formula language: element-wise functions,
// moving averages, rolling windows and condition functions, plus the two
// shared operations every indicator reuses (exp_smooth and shift).
//
// Every routine reads its inputs and returns newly allocated series; none
// of them touches a Python object. Index 0 is the oldest bar and NaN marks
// a missing or undefined value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace tarvex {

using Series = std::vector<double>;
using SeriesList = std::vector<Series>;

// A read-only window onto contiguous doubles owned by someone else: a
// Series, or an array the caller reads in place. A Series converts to it
// implicitly.
class SeriesView {
 public:
  SeriesView() = default;
  SeriesView(const double* data, std::size_t size) : data_(data), size_(size) {}
  SeriesView(const Series& s) : data_(s.data()), size_(s.size()) {}  // NOLINT: implicit by design

  const double* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  double operator[](std::size_t i) const { return data_[i]; }
  const double* begin() const { return data_; }
  const double* end() const { return data_ + size_; }
  double back() const { return data_[size_ - 1]; }
  SeriesView sub(std::size_t first, std::size_t count) const { return SeriesView(data_ + first, count); }

 private:
  const double* data_ = nullptr;
  std::size_t size_ = 0;
};

// An input the computation cannot serve. The boundary raises it as ValueError
// with the whole message (which may quote a caller's text holding NUL).
struct ValueError : std::runtime_error {
  explicit ValueError(const std::string& text) : std::runtime_error(text), message(text) {}
  std::string message;
};

// Scalar-or-series argument: a scalar applies to every bar.
using VS = std::variant<double, Series>;

// ---- element-wise (elementwise.cpp) ----
Series RD(const Series& s, std::uint32_t d);
double RET(const Series& s, std::uint64_t n);
Series ABS(const Series& s);
Series LN(const Series& s);
Series POW(const Series& s, double n);
Series SQRT(const Series& s);
Series SIN(const Series& s);
Series COS(const Series& s);
Series TAN(const Series& s);
Series MAX(const VS& s1, const VS& s2);
Series MIN(const VS& s1, const VS& s2);
Series IF(const Series& s, const VS& a, const VS& b);
Series BETWEEN(const Series& s, const Series& a, const Series& b);
Series CONST(const Series& s);

// ---- smoothing (smoothing.cpp) ----
Series exp_smooth(const Series& s, double alpha);
Series MA(const Series& s, std::uint64_t n);
Series EMA(const Series& s, std::uint64_t n);
Series SMA(const Series& s, std::uint64_t n, std::uint64_t m);
Series WMA(const Series& s, std::uint64_t n);
Series DMA(const Series& s, double a);         // exp_smooth with alpha = a
Series DMA(const Series& s, const Series& a);  // per-bar weights, no seeding
Series DMA(const Series& s, const VS& a);

// ---- rolling windows (window.cpp) ----
// Lag by k bars: k = 0 copies, k >= len(s) gives all NaN.
Series shift(const Series& s, std::uint64_t k);
Series REF(const Series& s, std::uint64_t n);
Series DIFF(const Series& s, std::uint64_t n);
Series SUM(const Series& s, std::uint64_t n);
Series STD(const Series& s, std::uint64_t n);
Series HHV(const Series& s, std::uint64_t n);
Series LLV(const Series& s, std::uint64_t n);
Series HHVBARS(const Series& s, std::uint64_t n);
Series LLVBARS(const Series& s, std::uint64_t n);
Series AVEDEV(const Series& s, std::uint64_t n);
Series SLOPE(const Series& s, std::uint64_t n);
Series FORCAST(const Series& s, std::uint64_t n);

// ---- conditions and events (condition.cpp) ----
Series COUNT(const Series& s, std::uint64_t n);
Series EVERY(const Series& s, std::uint64_t n);
Series EXIST(const Series& s, std::uint64_t n);
Series LAST(const Series& s, std::uint64_t a, std::uint64_t b);
Series FILTER(const Series& s, std::uint64_t n);
Series BARSLAST(const Series& s);
Series BARSLASTCOUNT(const Series& s);
Series BARSSINCEN(const Series& s, std::uint64_t n);
Series CROSS(const Series& s1, const Series& s2);
Series LONGCROSS(const Series& s1, const Series& s2, std::uint64_t n);
Series VALUEWHEN(const Series& s, const Series& x);
Series TOPRANGE(const Series& s);
Series LOWRANGE(const Series& s);

}  // namespace tarvex
