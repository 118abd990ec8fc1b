// Functions that walk the bars one after another: sums back to a target,
// ranks within a window, runs of rises, signal filtering, bar counts, and
// the two that read later bars (REFX, BACKSET).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "series/kernels.hpp"
#include "series/series.hpp"

namespace tarvex {

namespace {

// The value of a at bar i, a number or a series.
double at(const VSView& a, std::size_t i) {
  if (const double* scalar = std::get_if<double>(&a)) return *scalar;
  const SeriesView& s = std::get<SeriesView>(a);
  return i < s.size() ? s[i] : kNaN;
}

// 1.0 where the run of bars passing `test` that ends at the bar is at
// least m long, else 0.0 (m = 0: 1.0 everywhere).
template <class Test>
Series run_at_least(std::size_t len, std::uint64_t m, Test test) {
  Series out(len);
  std::uint64_t run = 0;
  for (std::size_t i = 0; i < len; ++i) {
    run = test(i) ? run + 1 : 0;
    out[i] = run >= m ? 1.0 : 0.0;
  }
  return out;
}

// Counts of values by rank (1-based), a Fenwick tree over the sorted
// distinct numbers of a series.
class RankCounts {
 public:
  explicit RankCounts(std::size_t ranks) : tree_(ranks + 1, 0) {}
  void add(std::size_t rank, long delta) {
    for (; rank < tree_.size(); rank += rank & (~rank + 1)) tree_[rank] += delta;
  }
  // The number of values of rank 1 .. rank.
  long up_to(std::size_t rank) const {
    long total = 0;
    for (; rank > 0; rank &= rank - 1) total += tree_[rank];
    return total;
  }

 private:
  std::vector<long> tree_;
};

// Windows up to this many bars are counted bar by bar, which beats the
// sorting and the tree for them.
constexpr std::uint64_t kCountedWindow = 64;

// rank_in_window for a short window: the window counted directly (a NaN
// compares false, so it does not count).
Series rank_by_counting(SeriesView s, std::size_t n, bool higher) {
  Series out = nan_series(s.size());
  for (std::size_t i = n - 1; i < s.size(); ++i) {
    const double v = s[i];
    if (std::isnan(v)) continue;
    std::size_t beyond = 0;
    for (std::size_t j = i + 1 - n; j <= i; ++j) beyond += higher ? s[j] > v : s[j] < v;
    out[i] = static_cast<double>(beyond + 1);
  }
  return out;
}

// HOD (higher = true) or LOD: 1 + the number of values in the window of
// n bars (n = 0: every bar so far) strictly above (below) the current one.
// NaN values do not count; the result is NaN at a NaN bar and before the
// first full window. Long windows keep the counts of the window's values
// by rank in a tree.
Series rank_in_window(SeriesView s, std::uint64_t n, bool higher) {
  const std::size_t len = s.size();
  if (n > len) return nan_series(len);
  if (n != 0 && n <= kCountedWindow) return rank_by_counting(s, n, higher);
  Series out = nan_series(len);
  // Rank 1 is the lowest number, equal numbers share a rank; 0 marks NaN.
  std::vector<std::pair<double, std::size_t>> sorted;
  for (std::size_t i = 0; i < len; ++i) {
    if (!std::isnan(s[i])) sorted.emplace_back(s[i], i);
  }
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::size_t> rank(len, 0);
  std::size_t ranks = 0;
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    if (k == 0 || sorted[k].first != sorted[k - 1].first) ++ranks;
    rank[sorted[k].second] = ranks;
  }
  RankCounts counts(ranks);
  long held = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (rank[i] != 0) {
      counts.add(rank[i], 1);
      ++held;
    }
    if (n != 0 && i >= n && rank[i - n] != 0) {
      counts.add(rank[i - n], -1);
      --held;
    }
    if (rank[i] == 0 || (n != 0 && i + 1 < n)) continue;
    const long beyond = higher ? held - counts.up_to(rank[i]) : counts.up_to(rank[i] - 1);
    out[i] = static_cast<double>(beyond + 1);
  }
  return out;
}

}  // namespace

// The fewest latest bars whose sum reaches a: the smallest k >= 1 with
// P[i+1] - P[i+1-k] >= a, where P[0] = 0 and P[j+1] = P[j] + s[j] is the
// running total (a value that is not finite adds nothing). Subtraction is
// monotone, so the starts t that qualify for bar i are those whose P[t] is
// low enough; the latest of them is a strict minimum of P over t .. i and
// so sits in a stack of those minima (ascending in t and in P), where a
// binary search finds it. NaN where a is NaN or no k reaches it.
Series SUMBARS(SeriesView s, VSView a) {
  const std::size_t len = s.size();
  Series out = nan_series(len);
  std::vector<double> total(len + 1);
  total[0] = 0.0;
  for (std::size_t j = 0; j < len; ++j) total[j + 1] = std::isfinite(s[j]) ? total[j] + s[j] : total[j];
  std::vector<std::size_t> minima;
  for (std::size_t i = 0; i < len; ++i) {
    while (!minima.empty() && total[minima.back()] >= total[i]) minima.pop_back();
    minima.push_back(i);
    const double target = at(a, i), end = total[i + 1];
    if (std::isnan(target) || !(end - total[minima.front()] >= target)) continue;
    // The last start in the stack that still reaches the target.
    std::size_t lo = 0, hi = minima.size() - 1;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo + 1) / 2;
      if (end - total[minima[mid]] >= target) {
        lo = mid;
      } else {
        hi = mid - 1;
      }
    }
    out[i] = static_cast<double>(i + 1 - minima[lo]);
  }
  return out;
}

Series HOD(SeriesView s, std::uint64_t n) { return rank_in_window(s, n, true); }

Series LOD(SeriesView s, std::uint64_t n) { return rank_in_window(s, n, false); }

// 1.0 where s rose (fell) on each of the last m bars, each bar against the
// bar before it; a comparison with NaN is no rise.
Series UPNDAY(SeriesView s, std::uint64_t m) {
  return run_at_least(s.size(), m, [&](std::size_t i) { return i > 0 && s[i] > s[i - 1]; });
}

Series DOWNNDAY(SeriesView s, std::uint64_t m) {
  return run_at_least(s.size(), m, [&](std::size_t i) { return i > 0 && s[i] < s[i - 1]; });
}

// 1.0 where s1 > s2 on each of the last n bars.
Series NDAY(SeriesView s1, SeriesView s2, std::uint64_t n) {
  if (s2.size() < s1.size()) throw ValueError("s2 must be at least as long as s1");
  return run_at_least(s1.size(), n, [&](std::size_t i) { return s1[i] > s2[i]; });
}

// 1.0 at a kept buy, 2.0 at a kept sell, 0.0 elsewhere. A kept buy opens a
// position and a kept sell closes it. n = 0: a buy is kept only when no
// position is open and a sell only when one is; n = 1: buys are filtered
// so, every sell is kept; n = 2: sells are filtered so, every buy is kept.
// On a bar where both are kept, the buy is.
Series TFILTER(SeriesView buy, SeriesView sell, std::uint64_t n) {
  if (n > 2) throw ValueError("n must be 0 (filter both), 1 (filter buys) or 2 (filter sells)");
  if (sell.size() < buy.size()) throw ValueError("sell must be at least as long as buy");
  const bool filter_buys = n != 2, filter_sells = n != 1;
  Series out(buy.size(), 0.0);
  bool open = false;
  for (std::size_t i = 0; i < buy.size(); ++i) {
    if (holds(buy[i]) && !(filter_buys && open)) {
      out[i] = 1.0;
      open = true;
    } else if (holds(sell[i]) && !(filter_sells && !open)) {
      out[i] = 2.0;
      open = false;
    }
  }
  return out;
}

// The number of bars from the first number of s through the current bar
// (1.0 on that first bar); NaN before it.
Series BARSCOUNT(SeriesView s) {
  Series out = nan_series(s.size());
  std::size_t first = 0;
  while (first < s.size() && std::isnan(s[first])) ++first;
  for (std::size_t i = first; i < s.size(); ++i) out[i] = static_cast<double>(i - first + 1);
  return out;
}

// s n bars later; NaN where that bar lies past the end.
Series REFX(SeriesView s, std::uint64_t n) {
  Series out = nan_series(s.size());
  for (std::size_t i = 0; n < s.size() && i < s.size() - n; ++i) out[i] = s[i + n];
  return out;
}

// 1.0 on the n bars ending at every true bar (the bar itself and the n - 1
// before it), else 0.0: walked from the end, a true bar opens a stretch of
// n bars reaching back.
Series BACKSET(SeriesView s, std::uint64_t n) {
  Series out(s.size(), 0.0);
  std::uint64_t left = 0;
  for (std::size_t i = s.size(); i-- > 0;) {
    if (holds(s[i])) left = n;
    if (left > 0) {
      out[i] = 1.0;
      --left;
    }
  }
  return out;
}

}  // namespace tarvex
