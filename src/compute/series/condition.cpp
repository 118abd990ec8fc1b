// Condition and event functions. Unless stated, a bar counts as true when
// it is not equal to 0.0 (NaN true, -0.0 false).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "series/kernels.hpp"
#include "series/series.hpp"
#include "series/window_queue.hpp"

namespace tarvex {

namespace {

// Number of bars strictly between each bar and the latest earlier bar j
// whose value `reaches` it (reaches(s[j], s[i])); 0 when there is none.
// A stack keeps the candidates: an earlier value that the current one
// reaches past can never be the answer for a later bar, because the current
// bar is nearer and reaches at least as far. NaN never reaches anything.
// In provisional mode the bars before a row are the commits before it: a
// row that is no commit searches the stack without popping it, the
// candidates that reach its value lying at the bottom (each value on the
// stack reaches those above it).
template <class Reaches>
Series range_since(SeriesView s, Reaches reaches) {
  const CommitLayout* layout = provisional_layout(s.size());
  Series out(s.size(), 0.0);
  std::vector<std::size_t> position;  // the candidates: their places in the history
  std::vector<double> value;
  std::size_t seen = 0;  // the bars before the row in its history
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double v = s[i];
    const bool commit = layout == nullptr || layout->commit[i] != 0;
    if (!std::isnan(v)) {
      std::size_t reaching = 0;
      if (commit) {
        while (!value.empty() && !reaches(value.back(), v)) {
          value.pop_back();
          position.pop_back();
        }
        reaching = value.size();
      } else {
        reaching = static_cast<std::size_t>(
            std::partition_point(value.begin(), value.end(), [&](double e) { return reaches(e, v); }) -
            value.begin());
      }
      if (reaching > 0) out[i] = static_cast<double>(seen - position[reaching - 1] - 1);
      if (commit) {
        value.push_back(v);
        position.push_back(seen);
      }
    }
    if (commit) ++seen;
  }
  return out;
}

}  // namespace

Series COUNT(SeriesView s, std::uint64_t n) { return SUM(s, n); }

Series EVERY(SeriesView s, std::uint64_t n) {
  const double want = static_cast<double>(n);
  return map_series(SUM(s, n), [want](double t) { return t == want ? 1.0 : 0.0; });
}

Series EXIST(SeriesView s, std::uint64_t n) {
  return map_series(SUM(s, n), [](double t) { return 0.0 < t ? 1.0 : 0.0; });
}

// Bars i-a .. i-b all true: the run of true bars ending at bar i-b spans at
// least a-b+1 bars. With a < b the span is empty and holds.
Series LAST(SeriesView s, std::uint64_t a, std::uint64_t b) {
  // The runs ending at each bar of the history (in provisional mode the
  // commits before a row), then the row's own.
  const CommitLayout* layout = provisional_layout(s.size());
  Series out = nan_series(s.size());
  std::vector<std::size_t> runs;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const std::size_t seen = runs.size(), run = is_true(s[i]) ? (seen > 0 ? runs.back() : 0) + 1 : 0;
    if (seen >= a) out[i] = a < b || (b == 0 ? run : runs[seen - b]) >= a - b + 1 ? 1.0 : 0.0;
    if (layout == nullptr || layout->commit[i] != 0) runs.push_back(run);
  }
  return out;
}

// Each accepted true bar clears the n bars after it; cleared bars are 0.0,
// so the scan resumes after the cleared stretch.
Series FILTER(SeriesView s, std::uint64_t n) {
  if (const CommitLayout* layout = provisional_layout(s.size())) {
    // The state: how many bars the last accepted one still clears.
    return step_commits(s.size(), *layout, std::uint64_t{0}, [&](std::uint64_t& cleared, std::size_t i) {
      if (cleared > 0) {
        --cleared;
        return 0.0;
      }
      if (is_true(s[i])) cleared = n;
      return s[i];
    });
  }
  Series out(s.begin(), s.end());
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (!is_true(out[i])) continue;
    const std::size_t rest = out.size() - 1 - i;
    const std::size_t last = i + (n < rest ? n : rest);
    for (std::size_t j = i + 1; j <= last; ++j) out[j] = 0.0;
    i = last;
  }
  return out;
}

// Bars since the latest true bar, counting as if a true bar stood just
// before bar 0.
Series BARSLAST(SeriesView s) {
  if (const CommitLayout* layout = provisional_layout(s.size())) {
    return step_commits(s.size(), *layout, 0.0, [&](double& counter, std::size_t i) {
      return counter = is_true(s[i]) ? 0.0 : counter + 1.0;
    });
  }
  Series out(s.size());
  double counter = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    counter = is_true(s[i]) ? 0.0 : counter + 1.0;
    out[i] = counter;
  }
  return out;
}

Series BARSLASTCOUNT(SeriesView s) {
  if (const CommitLayout* layout = provisional_layout(s.size())) {
    return step_commits(s.size(), *layout, 0.0, [&](double& counter, std::size_t i) {
      return counter = is_true(s[i]) ? counter + 1.0 : 0.0;
    });
  }
  Series out(s.size());
  double counter = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    counter = is_true(s[i]) ? counter + 1.0 : 0.0;
    out[i] = counter;
  }
  return out;
}

// Bars from the first (oldest) maximum of each window to its newest bar;
// NaN when that maximum is the window's oldest value and equals 0.0. NaN
// never counts as the maximum and neither does -inf: a window of nothing
// else counts from its oldest bar.
Series BARSSINCEN(SeriesView s, std::uint64_t n) {
  Series out = nan_series(s.size());
  const CommitLayout* layout = provisional_layout(s.size());
  if (n == 0 || n > s.size()) return out;
  const auto displaces = [](double newer, double older) { return newer > older; };
  if (layout != nullptr) {
    // Counted back from the row (0) through its window's commits (n - 1 the oldest).
    std::vector<double> committed;
    scan_provisional_windows(s, n, *layout, displaces, committed,
                             [&](std::size_t i, std::size_t seen, std::size_t best, bool own, bool) {
      const std::size_t oldest = n - 1;
      const double oldest_value = oldest == 0 ? s[i] : committed[seen - oldest];
      std::size_t back = oldest;
      if (own && s[i] > -kInf) {
        back = 0;
      } else if (!own && best != kNoBar && committed[best] > -kInf) {
        back = seen - best;
      }
      if (!(back == oldest && oldest_value == 0.0)) out[i] = static_cast<double>(back);
    });
    return out;
  }
  scan_windows(s, n, displaces, [&](std::size_t i, std::size_t best, bool) {
    const std::size_t first = i + 1 - n;
    const std::size_t m = best != kNoBar && s[best] > -kInf ? best : first;
    if (!(m == first && s[first] == 0.0)) out[i] = static_cast<double>(i - m);
  });
  return out;
}

// +1.0 where s1 moves from at or below s2 to strictly above it, -1.0 for the
// opposite move, 0.0 otherwise and wherever one of the four values is NaN.
Series CROSS(SeriesView s1, SeriesView s2) {
  if (s1.size() >= 2 && s2.size() < s1.size()) throw ValueError("s2 must be at least as long as s1");
  if (const CommitLayout* layout = provisional_layout(s1.size())) {
    // The previous bar is the last commit before the row.
    struct Previous {
      double p1 = kNaN, p2 = kNaN;  // NaN before the first commit: no crossing
    };
    return step_commits(s1.size(), *layout, Previous{}, [&](Previous& prev, std::size_t i) {
      const double c1 = s1[i], c2 = s2[i];
      double value = 0.0;
      if (!(std::isnan(prev.p1) || std::isnan(prev.p2) || std::isnan(c1) || std::isnan(c2))) {
        value = prev.p1 <= prev.p2 && c1 > c2 ? 1.0 : prev.p1 >= prev.p2 && c1 < c2 ? -1.0 : 0.0;
      }
      prev = Previous{c1, c2};
      return value;
    });
  }
  Series out(s1.size(), 0.0);
  for (std::size_t i = 1; i < s1.size(); ++i) {
    const double p1 = s1[i - 1], p2 = s2[i - 1], c1 = s1[i], c2 = s2[i];
    if (std::isnan(p1) || std::isnan(p2) || std::isnan(c1) || std::isnan(c2)) continue;
    if (p1 <= p2 && c1 > c2) {
      out[i] = 1.0;
    } else if (p1 >= p2 && c1 < c2) {
      out[i] = -1.0;
    }
  }
  return out;
}

// 1.0 where s1 is above s2 and was below it on each of the n bars before;
// before bar n only the "above" test applies.
Series LONGCROSS(SeriesView s1, SeriesView s2, std::uint64_t n) {
  const std::size_t len = std::min(s1.size(), s2.size());
  struct Below {
    std::size_t bars;  // the bars before
    std::size_t run;   // the run of bars below that ends at the last of them
  };
  const auto step = [&](Below& before, std::size_t i) {
    const bool held = n == 0 || before.bars < n || before.run >= n;
    before = Below{before.bars + 1, s1[i] < s2[i] ? before.run + 1 : 0};
    return held && s2[i] < s1[i] ? 1.0 : 0.0;
  };
  if (const CommitLayout* layout = provisional_layout(len)) return step_commits(len, *layout, Below{0, 0}, step);
  Series out(len);
  Below before{0, 0};
  for (std::size_t i = 0; i < len; ++i) out[i] = step(before, i);
  return out;
}

// The value of x at the latest true bar of s whose x is a number.
Series VALUEWHEN(SeriesView s, SeriesView x) {
  if (const CommitLayout* layout = provisional_layout(std::min(s.size(), x.size()))) {
    return step_commits(layout->rows, *layout, kNaN, [&](double& last, std::size_t i) {
      if (is_true(s[i]) && !std::isnan(x[i])) last = x[i];
      return last;
    });
  }
  double last = kNaN;
  return zip_prefix(s, x, [&last](double cond, double value) {
    if (is_true(cond) && !std::isnan(value)) last = value;
    return last;
  });
}

Series TOPRANGE(SeriesView s) {
  return range_since(s, [](double earlier, double v) { return earlier >= v; });
}

Series LOWRANGE(SeriesView s) {
  return range_since(s, [](double earlier, double v) { return earlier <= v; });
}

}  // namespace tarvex
