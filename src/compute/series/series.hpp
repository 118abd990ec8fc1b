// Series primitives of the formula language: element-wise functions,
// moving averages, rolling windows and condition functions, plus the two
// shared operations every indicator reuses (exp_smooth and shift).
//
// Every routine reads its inputs through views (SeriesView, VSView), so a
// caller passes a Series or contiguous memory of its own alike, and returns
// newly allocated series; none of them touches a Python object. Index 0 is the oldest bar and NaN marks
// a missing or undefined value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "runtime/blocks.hpp"

namespace tarvex {

// Long series take their memory through BlockAllocator, which reuses the
// blocks of freed series instead of faulting in fresh pages for each one.
// `Series(n)` leaves its n values unset: the routine that makes it writes
// every one.
using Series = std::vector<double, BlockAllocator<double>>;
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

// A read-only window onto contiguous integers owned by someone else: the
// code and date columns of a market table, from a vector or an array the
// caller reads in place. A std::vector of them converts to it implicitly.
template <class T>
class KeyView {
 public:
  KeyView() = default;
  KeyView(const T* data, std::size_t size) : data_(data), size_(size) {}
  template <class Alloc>
  KeyView(const std::vector<T, Alloc>& v) : data_(v.data()), size_(v.size()) {}  // NOLINT: implicit by design

  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  T operator[](std::size_t i) const { return data_[i]; }

 private:
  const T* data_ = nullptr;
  std::size_t size_ = 0;
};

// An input the computation cannot serve. The boundary raises it as ValueError
// with the whole message (which may quote a caller's text holding NUL).
struct ValueError : std::runtime_error {
  explicit ValueError(const std::string& text) : std::runtime_error(text), message(text) {}
  std::string message;
};

// Scalar-or-series argument: a scalar applies to every bar. VS owns its
// series (what argument conversion produces); the routines read a VSView.
using VS = std::variant<double, Series>;
using VSView = std::variant<double, SeriesView>;

// A view of v, valid while v lives and is not changed.
inline VSView view(const VS& v) {
  if (const double* scalar = std::get_if<double>(&v)) return *scalar;
  return SeriesView(std::get<Series>(v));
}

// ---- element-wise (elementwise.cpp) ----
Series RD(SeriesView s, std::uint32_t d);
double RET(SeriesView s, std::uint64_t n);
Series ABS(SeriesView s);
Series LN(SeriesView s);
Series POW(SeriesView s, double n);
Series SQRT(SeriesView s);
Series SIN(SeriesView s);
Series COS(SeriesView s);
Series TAN(SeriesView s);
// The formula language's element-wise words beyond the library's, the C
// library's functions bar by bar: EXP is +inf where it overflows, LOG
// (base 10) NaN for x <= 0 as LN, ASIN and ACOS NaN outside [-1, 1].
Series EXP(SeriesView s);
Series LOG(SeriesView s);
Series ATAN(SeriesView s);
Series ASIN(SeriesView s);
Series ACOS(SeriesView s);
Series MAX(VSView s1, VSView s2);
Series MIN(VSView s1, VSView s2);
Series IF(SeriesView s, VSView a, VSView b);
Series BETWEEN(SeriesView s, SeriesView a, SeriesView b);
Series CONST(SeriesView s);

// ---- smoothing (smoothing.cpp) ----
Series exp_smooth(SeriesView s, double alpha);
Series MA(SeriesView s, std::uint64_t n);
Series EMA(SeriesView s, std::uint64_t n);
Series SMA(SeriesView s, std::uint64_t n, std::uint64_t m);
Series WMA(SeriesView s, std::uint64_t n);
Series DMA(SeriesView s, double a);         // exp_smooth with alpha = a
Series DMA(SeriesView s, SeriesView a);     // per-bar weights, no seeding
Series DMA(SeriesView s, VSView a);

// ---- rolling windows (window.cpp) ----
// Lag by k bars: k = 0 copies, k >= len(s) gives all NaN.
Series shift(SeriesView s, std::uint64_t k);
Series REF(SeriesView s, std::uint64_t n);
Series DIFF(SeriesView s, std::uint64_t n);
Series SUM(SeriesView s, std::uint64_t n);
Series STD(SeriesView s, std::uint64_t n);
Series HHV(SeriesView s, std::uint64_t n);
Series LLV(SeriesView s, std::uint64_t n);
Series HHVBARS(SeriesView s, std::uint64_t n);
Series LLVBARS(SeriesView s, std::uint64_t n);
Series AVEDEV(SeriesView s, std::uint64_t n);
Series SLOPE(SeriesView s, std::uint64_t n);
Series FORCAST(SeriesView s, std::uint64_t n);

// ---- conditions and events (condition.cpp) ----
Series COUNT(SeriesView s, std::uint64_t n);
Series EVERY(SeriesView s, std::uint64_t n);
Series EXIST(SeriesView s, std::uint64_t n);
Series LAST(SeriesView s, std::uint64_t a, std::uint64_t b);
Series FILTER(SeriesView s, std::uint64_t n);
Series BARSLAST(SeriesView s);
Series BARSLASTCOUNT(SeriesView s);
Series BARSSINCEN(SeriesView s, std::uint64_t n);
Series CROSS(SeriesView s1, SeriesView s2);
Series LONGCROSS(SeriesView s1, SeriesView s2, std::uint64_t n);
Series VALUEWHEN(SeriesView s, SeriesView x);
Series TOPRANGE(SeriesView s);
Series LOWRANGE(SeriesView s);


// ---- loops over bars (bar_loops.cpp) ----
// Conditions are read by the formula language's truth rule (holds): a bar
// is true when its value is neither 0.0 nor NaN.
Series SUMBARS(SeriesView s, VSView a);
Series HOD(SeriesView s, std::uint64_t n);
Series LOD(SeriesView s, std::uint64_t n);
Series UPNDAY(SeriesView s, std::uint64_t m);
Series DOWNNDAY(SeriesView s, std::uint64_t m);
Series NDAY(SeriesView s1, SeriesView s2, std::uint64_t n);
Series TFILTER(SeriesView buy, SeriesView sell, std::uint64_t n);
Series BARSCOUNT(SeriesView s);
// These two read later bars: a bar's value changes as bars arrive.
Series REFX(SeriesView s, std::uint64_t n);
Series BACKSET(SeriesView s, std::uint64_t n);

// ---- the zigzag and its turning points (zigzag.cpp), all reading later bars ----
Series ZIG(SeriesView s, double n);
Series PEAK(SeriesView s, double n, std::uint64_t m);
Series PEAKBARS(SeriesView s, double n, std::uint64_t m);
Series TROUGH(SeriesView s, double n, std::uint64_t m);
Series TROUGHBARS(SeriesView s, double n, std::uint64_t m);

}  // namespace tarvex
