// Rolling-window statistics over the n bars i-n+1 .. i ending at each bar.
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "series/kernels.hpp"
#include "series/series.hpp"
#include "series/window_kernel.hpp"
#include "series/window_queue.hpp"

namespace tarvex {

namespace {

// Whether a newer value makes an older one useless to every later window
// that looks for the highest (lowest) value and, among equal ones, the
// newest.
bool displaces_higher(double newer, double older) { return newer >= older; }
bool displaces_lower(double newer, double older) { return older >= newer; }

// Highest (or lowest) value of every window; a window holding NaN gives NaN.
// The bars are cut into blocks of n (van Herk / Gil-Werman): a window ending
// at bar i of the block starting at b is the tail i-n+1 .. b-1 of the
// previous block, whose best values are computed backwards once per block,
// joined with the head b .. i of its own block, whose best is a running one.
// That is three comparisons a bar whatever the data, and no queue.
//
// Among equal values the newest wins, as with the queue of HHVBARS: the
// running head takes a newer equal value, the backward tail keeps the newer
// one, and the head, newer than the tail, wins a tie between them (which
// matters for 0.0 and -0.0). A NaN needs no care in the comparisons: a head
// or tail that met one is part of a window holding it, which is NaN anyway.
template <class Displaces>
Series window_extreme(SeriesView s, std::uint64_t n, Displaces displaces) {
  Series out = nan_series(s.size());
  if (n == 0 || n > s.size()) return out;
  const std::size_t size = s.size();
  Series tail(n, kNaN);  // tail[k]: the best of bars b-n+k .. b-1, for the block at b
  std::size_t nan_until = 0;  // windows ending before this bar hold a NaN
  std::size_t unpolled = 0;
  for (std::size_t b = 0; b < size; b += n) {
    const std::size_t end = std::min<std::size_t>(size, b + n);
    double head = s[b];
    for (std::size_t i = b; i < end; ++i) {
      const double x = s[i];
      if (std::isnan(x)) nan_until = i + n;
      head = displaces(x, head) ? x : head;
      const std::size_t k = i - b + 1;  // where the window starts in the previous block
      double best = head;
      if (k < n) best = displaces(head, tail[k]) ? head : tail[k];
      if (b > 0 || k == n) out[i] = i >= nan_until ? best : kNaN;
    }
    if (end - b == n && end < size) {
      double best = s[end - 1];
      tail[n - 1] = best;
      for (std::size_t j = end - 1; j-- > b;) {
        best = displaces(best, s[j]) ? best : s[j];
        tail[j - b] = best;
      }
    }
    unpolled += end - b;
    if (unpolled >= 4096 || end == size) {
      interruption_point(4 * unpolled);  // a handful of operations per bar
      unpolled = 0;
    }
  }
  return out;
}

// Distance back from bar i to the newest best value of its window. NaN
// never wins and neither does `worst`: a window of nothing else gives 0.
template <class Displaces>
Series window_extreme_bars(SeriesView s, std::uint64_t n, double worst, Displaces displaces) {
  Series out = nan_series(s.size());
  if (n == 0 || n > s.size()) return out;
  scan_windows(s, n, displaces, [&](std::size_t i, std::size_t best, bool) {
    out[i] = best != kNoBar && s[best] != worst ? static_cast<double>(i - best) : 0.0;
  });
  return out;
}

// Least-squares fit of every window against positions 0 .. n-1 (oldest to
// newest), each window summed afresh. `fit(slope, sum_y, sum_k)` turns the
// window's slope and sums into the stored value. No window has a slope when
// the positions do not vary (n = 1).
template <class Fit>
Series regression(SeriesView s, std::uint64_t n, Fit fit) {
  if (n == 0 || n > s.size()) return nan_series(s.size());
  const double count = static_cast<double>(n);
  double sk = 0.0, skk = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    sk += static_cast<double>(k);
    skk += static_cast<double>(k) * static_cast<double>(k);
  }
  const double c = skk * count - sk * sk;
  if (c == 0.0) return nan_series(s.size());
  return each_window<2>(s, n, [count, sk, c, fit](const auto& w) {
    auto sy = w.zero(), sky = w.zero();
    for (std::size_t k = 0; k < w.size(); ++k) {
      sy += w[k];
      sky += static_cast<double>(k) * w[k];
    }
    return fit((sky * count - sy * sk) / c, sy, sk);
  });
}

}  // namespace

Series shift(SeriesView s, std::uint64_t k) {
  if (k == 0) return Series(s.begin(), s.end());
  Series out = nan_series(s.size());
  if (k >= s.size()) return out;
  for (std::size_t i = k; i < s.size(); ++i) out[i] = s[i - k];
  return out;
}

Series REF(SeriesView s, std::uint64_t n) { return shift(s, n); }

Series DIFF(SeriesView s, std::uint64_t n) {
  return zip_prefix(s, shift(s, n), [](double now, double then) {
    return std::isnan(now) || std::isnan(then) ? kNaN : now - then;
  });
}

// n = 0: the plain cumulative sum. Otherwise a running total of the finite
// values of the window (the entering value added before the leaving one is
// subtracted) and a count of them; a window with any non-finite value is NaN.
Series SUM(SeriesView s, std::uint64_t n) {
  if (n == 0) {
    Series out(s.size());
    double total = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = total = total + s[i];
    return out;
  }
  Series out = nan_series(s.size());
  if (n > s.size()) return out;
  double total = 0.0;
  std::size_t finite = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (std::isfinite(s[i])) {
      total = total + s[i];
      ++finite;
    }
    if (i >= n && std::isfinite(s[i - n])) {
      total = total - s[i - n];
      --finite;
    }
    if (i + 1 >= n && finite == n) out[i] = total;
  }
  return out;
}

Series STD(SeriesView s, std::uint64_t n) {
  RollingDeviation deviation(s, n);
  Series out(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) out[i] = deviation(i);
  return out;
}

Series HHV(SeriesView s, std::uint64_t n) { return window_extreme(s, n, displaces_higher); }

Series LLV(SeriesView s, std::uint64_t n) { return window_extreme(s, n, displaces_lower); }

Series HHVBARS(SeriesView s, std::uint64_t n) { return window_extreme_bars(s, n, -kInf, displaces_higher); }

Series LLVBARS(SeriesView s, std::uint64_t n) { return window_extreme_bars(s, n, kInf, displaces_lower); }

// Mean absolute deviation from the window mean, every window afresh.
Series AVEDEV(SeriesView s, std::uint64_t n) {
  const double count = static_cast<double>(n);
  return each_window<2>(s, n, [count](const auto& w) {
    const auto mean = window_kernel::window_sum(w) / count;
    auto dev = w.zero();
    for (std::size_t k = 0; k < w.size(); ++k) dev += window_kernel::magnitude(w[k] - mean);
    return dev / count;
  });
}

Series SLOPE(SeriesView s, std::uint64_t n) {
  return regression(s, n, [](const auto& slope, const auto&, double) { return slope; });
}

// The fitted line of each window evaluated at its newest bar.
Series FORCAST(SeriesView s, std::uint64_t n) {
  const double count = static_cast<double>(n);
  const double newest = static_cast<double>(n - 1);
  return regression(s, n, [count, newest](const auto& slope, const auto& sy, double sk) {
    return (sy - slope * sk) / count + newest * slope;
  });
}

}  // namespace tarvex
