// The zigzag: the turning points where s reverses by at least n percent,
// joined by straight lines, and the peaks and troughs among them. A
// turning point is known only once the reversal from it has happened, so
// every value here depends on later bars.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "series/kernels.hpp"
#include "series/series.hpp"

namespace tarvex {

namespace {

struct Turn {
  std::size_t at;
  bool peak;  // else a trough
};

// v has risen from `base` by at least the fraction q of |base| (and by
// something at all, so that q = 0 turns on every strict reversal).
bool risen(double v, double base, double q) { return v > base && v >= base + std::fabs(base) * q; }
bool fallen(double v, double base, double q) { return v < base && v <= base - std::fabs(base) * q; }

// The confirmed turning points of s, oldest first. Until the first turn the
// direction is open: the highest and lowest values so far are tracked, and
// the first reversal of n percent from one of them makes it the first
// turning point. Then each leg tracks its extreme (the first of equal
// extremes) until s reverses from it by n percent. NaN bars are passed over.
std::vector<Turn> turning_points(SeriesView s, double n) {
  if (!(n >= 0.0)) throw ValueError("n must be a percentage of 0 or more");
  const double q = n / 100.0;
  std::vector<Turn> turns;
  std::size_t i = 0;
  while (i < s.size() && std::isnan(s[i])) ++i;
  if (i == s.size()) return turns;
  int leg = 0;  // +1 rising, -1 falling, 0 not yet known
  std::size_t high = i, low = i, extreme = i;
  for (++i; i < s.size(); ++i) {
    const double v = s[i];
    if (std::isnan(v)) continue;
    if (leg == 0) {
      if (risen(v, s[low], q)) {
        turns.push_back({low, false});
        leg = 1;
        extreme = i;
      } else if (fallen(v, s[high], q)) {
        turns.push_back({high, true});
        leg = -1;
        extreme = i;
      } else {
        if (v > s[high]) high = i;
        if (v < s[low]) low = i;
      }
    } else if (leg > 0) {
      if (v > s[extreme]) {
        extreme = i;
      } else if (fallen(v, s[extreme], q)) {
        turns.push_back({extreme, true});
        leg = -1;
        extreme = i;
      }
    } else {
      if (v < s[extreme]) {
        extreme = i;
      } else if (risen(v, s[extreme], q)) {
        turns.push_back({extreme, false});
        leg = 1;
        extreme = i;
      }
    }
  }
  return turns;
}

// PEAK/TROUGH (bars = false) or PEAKBARS/TROUGHBARS: at every bar, the
// value of (the bars since) the m-th latest peak or trough at or before it;
// NaN until m of them have passed (m = 0: NaN everywhere).
Series latest_turn(SeriesView s, double n, std::uint64_t m, bool peak, bool bars) {
  Series out = nan_series(s.size());
  std::vector<std::size_t> at;
  for (const Turn& t : turning_points(s, n)) {
    if (t.peak == peak) at.push_back(t.at);
  }
  if (m == 0) return out;
  std::size_t passed = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    while (passed < at.size() && at[passed] <= i) ++passed;
    if (passed < m) continue;
    const std::size_t p = at[passed - m];
    out[i] = bars ? static_cast<double>(i - p) : s[p];
  }
  return out;
}

}  // namespace

// The line through the first number of s, the turning points and the last
// number of s: the last leg, not yet confirmed, runs straight from the last
// turning point to the last bar. A bar between two vertices a and b takes
// s[a] + (s[b] - s[a]) * ((i - a) / (b - a)); a vertex takes its own value
// and a NaN bar stays NaN.
Series ZIG(SeriesView s, double n) {
  Series out = nan_series(s.size());
  const std::vector<Turn> turns = turning_points(s, n);
  std::vector<std::size_t> vertices;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!std::isnan(s[i])) {
      vertices.push_back(i);
      break;
    }
  }
  if (vertices.empty()) return out;
  for (const Turn& t : turns) {
    if (t.at != vertices.back()) vertices.push_back(t.at);
  }
  std::size_t last = s.size() - 1;
  while (std::isnan(s[last])) --last;
  if (last != vertices.back()) vertices.push_back(last);
  out[vertices[0]] = s[vertices[0]];
  for (std::size_t k = 1; k < vertices.size(); ++k) {
    const std::size_t a = vertices[k - 1], b = vertices[k];
    const double from = s[a], rise = s[b] - s[a], span = static_cast<double>(b - a);
    for (std::size_t i = a + 1; i < b; ++i) {
      if (!std::isnan(s[i])) out[i] = from + rise * (static_cast<double>(i - a) / span);
    }
    out[b] = s[b];
  }
  return out;
}

Series PEAK(SeriesView s, double n, std::uint64_t m) { return latest_turn(s, n, m, true, false); }
Series PEAKBARS(SeriesView s, double n, std::uint64_t m) { return latest_turn(s, n, m, true, true); }
Series TROUGH(SeriesView s, double n, std::uint64_t m) { return latest_turn(s, n, m, false, false); }
Series TROUGHBARS(SeriesView s, double n, std::uint64_t m) { return latest_turn(s, n, m, false, true); }

}  // namespace tarvex
