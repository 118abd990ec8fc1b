// Functions that walk the bars one after another: sums back to a target,
// ranks within a window, runs of rises, signal filtering, bar counts, and
// the two that read later bars (REFX, BACKSET).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "runtime/interrupt.hpp"
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
// least m long, else 0.0 (m = 0: 1.0 everywhere). test(i, before) judges
// bar i, `before` being the bar before it (len for none): the bar before
// in provisional mode is the last commit.
template <class Test>
Series run_at_least(std::size_t len, std::uint64_t m, Test test) {
  struct Run {
    std::uint64_t length;
    std::size_t last;
  };
  const auto step = [&](Run& run, std::size_t i) {
    run.length = test(i, run.last) ? run.length + 1 : 0;
    run.last = i;
    return run.length >= m ? 1.0 : 0.0;
  };
  if (const CommitLayout* layout = provisional_layout(len)) return step_commits(len, *layout, Run{0, len}, step);
  Series out(len);
  Run run{0, len};
  for (std::size_t i = 0; i < len; ++i) out[i] = step(run, i);
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

// Each value's rank among the distinct numbers of s: 1 the lowest, equal
// numbers sharing a rank, 0 for NaN; and the number of ranks.
std::pair<std::vector<std::size_t>, std::size_t> ranks_of(SeriesView s) {
  std::vector<std::pair<double, std::size_t>> sorted;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!std::isnan(s[i])) sorted.emplace_back(s[i], i);
  }
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::size_t> rank(s.size(), 0);
  std::size_t ranks = 0;
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    if (k == 0 || sorted[k].first != sorted[k - 1].first) ++ranks;
    rank[sorted[k].second] = ranks;
  }
  return {std::move(rank), ranks};
}

// The window of bar i is the bars before it in the history that it keeps,
// then bar i: the n - 1 bars before (n = 0: every one), or in provisional
// mode the n - 1 latest commits. A window is full once the history holds
// n bars. The value at bar i counts the window's values strictly above
// (below) s[i], NaN values not counting, and is NaN at a NaN bar and
// before the window is full.
class RankWindow {
 public:
  RankWindow(SeriesView s, std::uint64_t n, bool higher)
      : s_(s), n_(n), higher_(higher), counted_(n != 0 && n <= kCountedWindow) {
    if (!counted_) {  // longer windows keep the counts of their values by rank in a tree
      auto [rank, ranks] = ranks_of(s);
      rank_ = std::move(rank);
      counts_ = RankCounts(ranks);
    }
  }

  // The value at bar i, the history before it being the bars kept.
  double at(std::size_t i) const {
    const double v = s_[i];
    if (std::isnan(v) || (n_ != 0 && kept_ + 1 < n_)) return kNaN;
    long beyond = 0;
    if (counted_) {  // a NaN compares false, so it does not count
      for (std::size_t k = values_.size() + 1 - n_; k < values_.size(); ++k) {
        beyond += higher_ ? values_[k] > v : values_[k] < v;
      }
    } else {
      beyond = higher_ ? held_ - counts_.up_to(rank_[i]) : counts_.up_to(rank_[i] - 1);
    }
    return static_cast<double>(beyond + 1);
  }

  // Bar i joins the history; the bar leaving the next windows leaves.
  void keep(std::size_t i) {
    ++kept_;
    if (counted_) {
      values_.push_back(s_[i]);
      return;
    }
    bars_.push_back(i);
    count(i, 1);
    if (n_ != 0 && kept_ >= n_) count(bars_[kept_ - n_], -1);
  }

 private:
  void count(std::size_t bar, long delta) {
    if (rank_[bar] == 0) return;
    counts_.add(rank_[bar], delta);
    held_ += delta;
  }

  SeriesView s_;
  std::uint64_t n_;
  bool higher_, counted_;
  std::size_t kept_ = 0;
  std::vector<double> values_;    // the bars kept, for a counted window
  std::vector<std::size_t> bars_;  // the bars kept, for a window in the tree
  std::vector<std::size_t> rank_;
  RankCounts counts_{0};
  long held_ = 0;
};

// HOD (higher = true) or LOD over RankWindow's windows.
Series rank_in_window(SeriesView s, std::uint64_t n, bool higher) {
  const std::size_t len = s.size();
  const CommitLayout* layout = provisional_layout(len);
  if (n > len) return nan_series(len);
  RankWindow window(s, n, higher);
  Series out(len);
  for (std::size_t i = 0; i < len; ++i) {
    out[i] = window.at(i);
    if (layout == nullptr || layout->commit[i] != 0) window.keep(i);
    if (i % kRowsBetweenPolls == kRowsBetweenPolls - 1) interruption_point(8 * kRowsBetweenPolls);
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
//
// In provisional mode the bars before a row are the commits before it: the
// totals and the stack are those of the commits (the stack at a bar reads
// only the totals before it), and a row's own value only ends its sum.
Series SUMBARS(SeriesView s, VSView a) {
  const std::size_t len = s.size();
  const CommitLayout* layout = provisional_layout(len);
  Series out = nan_series(len);
  std::vector<double> total{0.0};  // P over the bars before the row in its history
  total.reserve(len + 1);
  std::vector<std::size_t> minima{0};  // the stack for the row: starts 0 .. seen
  std::size_t seen = 0;                // the bars before the row in its history
  for (std::size_t i = 0; i < len; ++i) {
    const double target = at(a, i);
    const double end = std::isfinite(s[i]) ? total[seen] + s[i] : total[seen];
    if (!std::isnan(target) && end - total[minima.front()] >= target) {
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
      out[i] = static_cast<double>(seen + 1 - minima[lo]);
    }
    if (layout == nullptr || layout->commit[i] != 0) {  // the row joins the history, its end the next start
      total.push_back(end);
      ++seen;
      while (!minima.empty() && total[minima.back()] >= end) minima.pop_back();
      minima.push_back(seen);
    }
  }
  return out;
}

Series HOD(SeriesView s, std::uint64_t n) { return rank_in_window(s, n, true); }

Series LOD(SeriesView s, std::uint64_t n) { return rank_in_window(s, n, false); }

// 1.0 where s rose (fell) on each of the last m bars, each bar against the
// bar before it; a comparison with NaN is no rise.
Series UPNDAY(SeriesView s, std::uint64_t m) {
  return run_at_least(s.size(), m, [&](std::size_t i, std::size_t before) {
    return before < s.size() && s[i] > s[before];
  });
}

Series DOWNNDAY(SeriesView s, std::uint64_t m) {
  return run_at_least(s.size(), m, [&](std::size_t i, std::size_t before) {
    return before < s.size() && s[i] < s[before];
  });
}

// 1.0 where s1 > s2 on each of the last n bars.
Series NDAY(SeriesView s1, SeriesView s2, std::uint64_t n) {
  if (s2.size() < s1.size()) throw ValueError("s2 must be at least as long as s1");
  return run_at_least(s1.size(), n, [&](std::size_t i, std::size_t) { return s1[i] > s2[i]; });
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
  const auto step = [&](bool& open, std::size_t i) {  // the state: whether a position is open
    if (holds(buy[i]) && !(filter_buys && open)) {
      open = true;
      return 1.0;
    }
    if (holds(sell[i]) && !(filter_sells && !open)) {
      open = false;
      return 2.0;
    }
    return 0.0;
  };
  if (const CommitLayout* layout = provisional_layout(buy.size())) {
    return step_commits(buy.size(), *layout, false, step);
  }
  Series out(buy.size());
  bool open = false;
  for (std::size_t i = 0; i < buy.size(); ++i) out[i] = step(open, i);
  return out;
}

// The number of bars from the first number of s through the current bar
// (1.0 on that first bar); NaN before it.
Series BARSCOUNT(SeriesView s) {
  if (const CommitLayout* layout = provisional_layout(s.size())) {
    // The state: the count as of a bar, NaN until the first number.
    return step_commits(s.size(), *layout, kNaN, [&](double& count, std::size_t i) {
      return count = !std::isnan(count) ? count + 1.0 : std::isnan(s[i]) ? kNaN : 1.0;
    });
  }
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
