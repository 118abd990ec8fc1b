// Rolling-window statistics over the n bars i-n+1 .. i ending at each bar.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "runtime/interrupt.hpp"
#include "runtime/provisional.hpp"
#include "series/kernels.hpp"
#include "series/series.hpp"
#include "series/window_kernel.hpp"
#include "series/window_queue.hpp"

namespace tarvex {

namespace {

#if defined(__x86_64__)
// SSE2, the x86-64 baseline: two bars a vector.
typedef double Vec2 __attribute__((vector_size(16)));
typedef std::int64_t Bits2 __attribute__((vector_size(16)));
#endif

// Whether a newer value makes an older one useless to every later window
// that looks for the highest (lowest) value and, among equal ones, the
// newest.
bool displaces_higher(double newer, double older) { return newer >= older; }
bool displaces_lower(double newer, double older) { return older >= newer; }

// The rolling deviation keeps its sums over the finite values of the
// window by adding, for every bar, the change f*f - h*h to q and f - h to
// p, with f the entering value and h the leaving one (0.0 for the bars of
// the first window), a non-finite value counting as 0.0. Where a value is
// missing this adds g*g or subtracts x*x (or adds 0.0), which leaves the
// same bits as skipping the absent term: the sums start at +0.0 and never
// become -0.0, so adding a zero of either sign changes nothing.
//
// Bars are computed in groups in three steps: the changes, independent
// (packed arithmetic), the sums, a serial chain of additions, and the
// deviations, independent again (packed division and square root, which
// are correctly rounded in every lane, so the same bits as one bar at a
// time). The divisions of one group overlap the chain of the next.
inline double finite_or_zero(double v) { return std::isfinite(v) ? v : 0.0; }

// The population deviation of a window from its sums q of x*x and p of x.
inline double deviation(double q, double p, double count) {
  double v = q / count - (p / count) * (p / count);
  if (!(v > 0.0)) v = 0.0;
  return std::sqrt(v);
}

// G bars entering at g and leaving at x: the sums q and p moved on past
// them, and their deviations (as if no value were missing) written to out.
// Returns whether any entering value is not finite. Inlined, so that the
// sums stay in registers.
template <std::size_t G>
__attribute__((always_inline)) inline bool deviation_group(const double* g, const double* x, double& q, double& p,
                                                           double count, double* out) {
  double dq[G], dp[G];  // the changes of the sums, then the sums
  bool non_finite = false;
  std::size_t j = 0;
#if defined(__x86_64__)
  const Vec2 zero = {}, max = zero + std::numeric_limits<double>::max();
  const Bits2 sign = Bits2{} + std::numeric_limits<std::int64_t>::min();
  Bits2 entering_ok = Bits2{} - 1;
#pragma GCC unroll 16
  for (; j + 2 <= G; j += 2) {
    Vec2 vg, vx;
    std::memcpy(&vg, g + j, sizeof vg);
    std::memcpy(&vx, x + j, sizeof vx);
    const Bits2 g_ok = reinterpret_cast<Vec2>(reinterpret_cast<Bits2>(vg) & ~sign) <= max;
    const Bits2 x_ok = reinterpret_cast<Vec2>(reinterpret_cast<Bits2>(vx) & ~sign) <= max;
    entering_ok &= g_ok;
    const Vec2 f = reinterpret_cast<Vec2>(reinterpret_cast<Bits2>(vg) & g_ok);
    const Vec2 h = reinterpret_cast<Vec2>(reinterpret_cast<Bits2>(vx) & x_ok);
    const Vec2 vq = f * f - h * h, vp = f - h;
    std::memcpy(dq + j, &vq, sizeof vq);
    std::memcpy(dp + j, &vp, sizeof vp);
  }
  non_finite = (entering_ok[0] & entering_ok[1]) == 0;
#endif
  for (; j < G; ++j) {
    const double f = finite_or_zero(g[j]), h = finite_or_zero(x[j]);
    dq[j] = f * f - h * h;
    dp[j] = f - h;
    non_finite |= !std::isfinite(g[j]);
  }
#pragma GCC unroll 16
  for (j = 0; j < G; ++j) {
    dq[j] = q = q + dq[j];
    dp[j] = p = p + dp[j];
  }
  j = 0;
#if defined(__x86_64__)
#pragma GCC unroll 16
  for (; j + 2 <= G; j += 2) {
    Vec2 vq, vp;
    std::memcpy(&vq, dq + j, sizeof vq);
    std::memcpy(&vp, dp + j, sizeof vp);
    Vec2 v = vq / count - (vp / count) * (vp / count);
    v = reinterpret_cast<Vec2>(reinterpret_cast<Bits2>(v) & (v > zero));  // not positive: 0.0
    const Vec2 r = __builtin_ia32_sqrtpd(v);
    std::memcpy(out + j, &r, sizeof r);
  }
#endif
  for (; j < G; ++j) out[j] = deviation(dq[j], dp[j], count);
  return non_finite;
}

// The better of an older and a newer value of a window, the older one only
// when it is strictly better: among equal values the newer wins (which
// matters for 0.0 and -0.0). Written `older > newer ? older : newer`, the
// comparison is one maxsd (minsd), a short step for the chains of
// window_extreme. NaN needs no care: a window holding one is NaN anyway.
struct Highest {
  static constexpr double kWorst = -kInf;
  static double of(double older, double newer) { return older > newer ? older : newer; }
  static bool displaces(double newer, double older) { return displaces_higher(newer, older); }
#if defined(__x86_64__)
  static Vec2 of(Vec2 older, Vec2 newer) { return __builtin_ia32_maxpd(older, newer); }
#endif
};

struct Lowest {
  static constexpr double kWorst = kInf;
  static double of(double older, double newer) { return older < newer ? older : newer; }
  static bool displaces(double newer, double older) { return displaces_lower(newer, older); }
#if defined(__x86_64__)
  static Vec2 of(Vec2 older, Vec2 newer) { return __builtin_ia32_minpd(older, newer); }
#endif
};

// The window extreme in provisional mode: the best of the n - 1 values at
// the commits before a row, from the queue of scan_windows over the
// committed values (the newest of equal best values, as the fold keeps),
// joined with the row's own value; NaN where any of them is NaN.
template <class Best>
Series provisional_extreme(SeriesView s, std::uint64_t n, const CommitLayout& layout) {
  Series out = nan_series(s.size());
  std::vector<double> committed;
  scan_provisional_windows(s, n, layout, Best::displaces, committed,
                           [&](std::size_t i, std::size_t, std::size_t best, bool, bool clean) {
    const double x = s[i];
    out[i] = std::isnan(x) || !clean ? kNaN : best == kNoBar ? x : Best::of(committed[best], x);
  });
  return out;
}

// out[k - 1] = Best::of(tail[k], out[k - 1]) for k = 1 .. count; whether
// any out[k - 1] was NaN before.
template <class Best>
bool join_tails(const double* tail, std::size_t count, double* out) {
  std::size_t j = 0;
  bool nan = false;
#if defined(__x86_64__)
  Bits2 unordered = {};
  for (; count - j >= 2; j += 2) {
    Vec2 older, newer;
    std::memcpy(&older, tail + j + 1, sizeof older);
    std::memcpy(&newer, out + j, sizeof newer);
    unordered |= newer != newer;
    const Vec2 best = Best::of(older, newer);
    std::memcpy(out + j, &best, sizeof best);
  }
  nan = (unordered[0] | unordered[1]) != 0;
#endif
  for (; j < count; ++j) {
    nan |= std::isnan(out[j]);
    out[j] = Best::of(tail[j + 1], out[j]);
  }
  return nan;
}

// The best of the n values from `oldest` on, folded oldest to newest, for
// `count` windows one bar apart, written to out; whether the newest value
// of any window is NaN. Pairs of windows in packed arithmetic.
template <class Best>
bool fold_windows(const double* oldest, std::size_t n, std::size_t count, double* out) {
  std::size_t j = 0;
  bool nan = false;
#if defined(__x86_64__)
  Bits2 unordered = {};
  for (; count - j >= 2; j += 2) {
    Vec2 best, next;
    std::memcpy(&best, oldest + j, sizeof best);
    for (std::size_t k = 1; k < n; ++k) {
      std::memcpy(&next, oldest + j + k, sizeof next);
      best = Best::of(best, next);
    }
    std::memcpy(&next, oldest + j + n - 1, sizeof next);
    unordered |= next != next;
    std::memcpy(out + j, &best, sizeof best);
  }
  nan = (unordered[0] | unordered[1]) != 0;
#endif
  for (; j < count; ++j) {
    double best = oldest[j];
    for (std::size_t k = 1; k < n; ++k) best = Best::of(best, oldest[j + k]);
    nan |= std::isnan(oldest[j + n - 1]);
    out[j] = best;
  }
  return nan;
}

// Windows up to this long are folded afresh; longer ones take the blocks.
constexpr std::size_t kFoldedWindow = 10;

// Highest (or lowest) value of every window; a window holding NaN gives NaN.
// Each window's best is first found as if there were no NaN, and the
// windows holding one are marked afterwards where a stretch of bars holds a
// NaN or follows one closely.
//
// Short windows are folded value by value. Longer ones are cut into blocks
// of n (van Herk / Gil-Werman): a window ending at bar i of the block
// starting at b is the tail i-n+1 .. b-1 of the previous block, whose best
// values are computed backwards once per block, joined with the head
// b .. i of its own block, whose best is a running one. That is three
// comparisons a bar whatever the window, and no queue. The running head of
// a block and the backward pass over the block before it are independent
// chains, taken in one loop so that their steps overlap; the join is
// packed.
//
// Among equal values the newest wins, as with the queue of HHVBARS: the
// fold and the running head take a newer equal value, the backward tail
// keeps the newer one, and the head, newer than the tail, wins a tie
// between them. A head is NaN at a NaN bar, which is how a block holding
// one is found.
template <class Best>
Series window_extreme(SeriesView s, std::uint64_t n) {
  const std::size_t size = s.size();
  if (n == 0 || n > size) return nan_series(size);
  if (const CommitLayout* layout = provisional_layout(size)) return provisional_extreme<Best>(s, n, *layout);
  Series out(size);
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n - 1), kNaN);
  std::size_t nan_until = 0;  // windows ending before this bar hold a NaN
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (std::isnan(s[i])) nan_until = i + n;
  }
  // The windows ending at bars first .. first+count-1 are computed; `nan`
  // says whether one of those bars is NaN.
  const bool folded = n <= kFoldedWindow;
  const std::size_t work = folded ? n : 4;  // operations a bar, for the interruption count
  std::size_t unpolled = 0;
  const auto computed = [&](std::size_t first, std::size_t count, bool nan) {
    if (nan || nan_until > first) {
      for (std::size_t i = first; i < first + count; ++i) {
        if (std::isnan(s[i])) nan_until = i + n;
        if (i < nan_until) out[i] = kNaN;
      }
    }
    unpolled += count;
    if (unpolled >= 4096 || first + count == size) {
      interruption_point(work * unpolled);
      unpolled = 0;
    }
  };
  if (folded) {
    constexpr std::size_t kChunk = 4096;
    for (std::size_t first = n - 1; first < size; first += kChunk) {
      const std::size_t count = std::min(kChunk, size - first);
      computed(first, count, fold_windows<Best>(s.data() + first + 1 - n, n, count, out.data() + first));
    }
    return out;
  }
  double head = s[0];
  for (std::size_t i = 1; i < n; ++i) head = Best::of(head, s[i]);
  out[n - 1] = head;
  computed(n - 1, 1, std::isnan(s[n - 1]));
  Series tail(n + 1);  // tail[k]: the best of bars b-n+k .. b-1, for the block at b
  tail[n] = Best::kWorst;  // the window of the block's last bar has no tail
  for (std::size_t b = n; b < size; b += n) {
    const std::size_t count = std::min<std::size_t>(n, size - b);
    const double* x = s.data() + b;
    double* o = out.data() + b;
    // Step t: the head takes bar b+t, the tail bar b-1-t (tail[n-1-t]).
    double back = x[-1];
    head = x[0];
    tail[n - 1] = back;
    o[0] = head;
    const std::size_t both = std::max<std::size_t>(1, std::min<std::size_t>(count, n - 1));
    std::size_t t = 1;
    for (; t < both; ++t) {
      back = Best::of(*(x - 1 - t), back);
      tail[n - 1 - t] = back;
      o[t] = head = Best::of(head, x[t]);
    }
    for (std::size_t u = t; u + 1 < n; ++u) {
      back = Best::of(*(x - 1 - u), back);
      tail[n - 1 - u] = back;
    }
    for (; t < count; ++t) o[t] = head = Best::of(head, x[t]);
    computed(b, count, join_tails<Best>(tail.data(), count, o));
  }
  return out;
}

// window_extreme_bars in provisional mode: the window is the n - 1 values
// at the commits before a row and the row's own value, which is the best
// when it displaces the newest best of the committed ones; the distance is
// counted in those values.
template <class Displaces>
Series provisional_extreme_bars(SeriesView s, std::uint64_t n, double worst, Displaces displaces,
                                const CommitLayout& layout) {
  Series out = nan_series(s.size());
  std::vector<double> committed;
  scan_provisional_windows(s, n, layout, displaces, committed,
                           [&](std::size_t i, std::size_t seen, std::size_t best, bool own, bool) {
    out[i] = own || best == kNoBar || committed[best] == worst ? 0.0 : static_cast<double>(seen - best);
  });
  return out;
}

// Distance back from bar i to the newest best value of its window. NaN
// never wins and neither does `worst`: a window of nothing else gives 0.
template <class Displaces>
Series window_extreme_bars(SeriesView s, std::uint64_t n, double worst, Displaces displaces) {
  Series out = nan_series(s.size());
  if (n == 0 || n > s.size()) return out;
  if (const CommitLayout* layout = provisional_layout(s.size())) {
    return provisional_extreme_bars(s, n, worst, displaces, *layout);
  }
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

void RollingDeviation::next(std::size_t count, double* out) {
  if (n_ == 0 || n_ > s_.size()) {
    std::fill(out, out + count, kNaN);
    bar_ += count;
    return;
  }
  constexpr std::size_t kGroup = 16;
  static constexpr double kAbsent = 0.0;  // what leaves during the first window
  const double* s = s_.data();
  double q = q_, p = p_;  // locals, which stores to out cannot alias
  for (std::size_t done = 0; done < count;) {
    const std::size_t first = bar_;
    std::size_t bars = 1;
    bool non_finite;
    if (first >= n_ && count - done >= kGroup) {
      bars = kGroup;
      non_finite = deviation_group<kGroup>(s + first, s + first - n_, q, p, count_, out + done);
    } else {
      const double* leaving = first >= n_ ? s + first - n_ : &kAbsent;
      non_finite = deviation_group<1>(s + first, leaving, q, p, count_, out + done);
    }
    if (non_finite || clean_from_ > first) {  // NaN where the window is incomplete or holds a non-finite value
      for (std::size_t i = first; i < first + bars; ++i) {
        if (!std::isfinite(s[i])) clean_from_ = i + n_;
        if (i < clean_from_) out[done + i - first] = kNaN;
      }
    }
    bar_ += bars;
    done += bars;
  }
  q_ = q;
  p_ = p;
}

Series shift(SeriesView s, std::uint64_t k) {
  if (const CommitLayout* layout = provisional_layout(s.size())) {
    return over_commits(s, *layout, [k](const double* history, std::size_t count) {
      return count > k ? history[count - 1 - k] : kNaN;
    });
  }
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

namespace {

// SUM in provisional mode: the running total and count of finite values as
// of the last commit, stepped once by each row, with the value leaving the
// window taken from the commits.
Series provisional_sum(SeriesView s, std::uint64_t n, const CommitLayout& layout) {
  struct Total {
    double total = 0.0;
    std::size_t finite = 0;
    std::size_t seen = 0;  // commits so far
  };
  if (n == 0) {
    return step_commits(s.size(), layout, Total{}, [&](Total& t, std::size_t i) {
      return t.total = t.total + s[i];
    });
  }
  if (n > s.size()) return nan_series(s.size());
  std::vector<double> committed;
  committed.reserve(s.size());
  return step_commits(s.size(), layout, Total{}, [&](Total& t, std::size_t i) {
    // t is the state after `t.seen` commits; row i makes the next bar.
    const double x = s[i];
    if (std::isfinite(x)) {
      t.total = t.total + x;
      ++t.finite;
    }
    if (t.seen >= n && std::isfinite(committed[t.seen - n])) {
      t.total = t.total - committed[t.seen - n];
      --t.finite;
    }
    if (layout.commit[i] != 0) committed.push_back(x);
    ++t.seen;
    return t.seen >= n && t.finite == n ? t.total : kNaN;
  });
}

}  // namespace

// n = 0: the plain cumulative sum. Otherwise a running total of the finite
// values of the window (the entering value added before the leaving one is
// subtracted) and a count of them; a window with any non-finite value is NaN.
Series SUM(SeriesView s, std::uint64_t n) {
  if (const CommitLayout* layout = provisional_layout(s.size())) return provisional_sum(s, n, *layout);
  if (n == 0) {
    Series out(s.size());
    double total = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = total = total + s[i];
    return out;
  }
  if (n > s.size()) return nan_series(s.size());
  Series out(s.size());
  double total = 0.0;
  std::size_t finite = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isfinite(s[i])) {
      total = total + s[i];
      ++finite;
    }
    out[i] = kNaN;
  }
  out[n - 1] = finite == n ? total : kNaN;
  chained_bars(n, s.size(), s.data(), out.data(), [&](std::size_t i) {
    if (std::isfinite(s[i])) {
      total = total + s[i];
      ++finite;
    }
    if (std::isfinite(s[i - n])) {
      total = total - s[i - n];
      --finite;
    }
    out[i] = finite == n ? total : kNaN;
  });
  return out;
}

namespace {

// STD in provisional mode: the sums q and p as of the last commit, stepped
// once by each row as RollingDeviation steps a bar, the value leaving the
// window taken from the commits.
Series provisional_std(SeriesView s, std::uint64_t n, const CommitLayout& layout) {
  if (n == 0 || n > s.size()) return nan_series(s.size());
  struct Sums {
    double q = 0.0, p = 0.0;
    std::size_t seen = 0;        // commits so far
    std::size_t clean_from = 0;  // the first bar whose window is complete and finite, as far as seen
  };
  const double count = static_cast<double>(n);
  std::vector<double> committed;
  committed.reserve(s.size());
  Sums start;
  start.clean_from = n - 1;
  return step_commits(s.size(), layout, start, [&](Sums& t, std::size_t i) {
    const double x = s[i];
    const double f = finite_or_zero(x), h = t.seen >= n ? finite_or_zero(committed[t.seen - n]) : 0.0;
    t.q = t.q + (f * f - h * h);
    t.p = t.p + (f - h);
    if (!std::isfinite(x)) t.clean_from = t.seen + n;
    const bool clean = t.seen >= t.clean_from;
    if (layout.commit[i] != 0) committed.push_back(x);
    ++t.seen;
    return clean ? deviation(t.q, t.p, count) : kNaN;
  });
}

}  // namespace

Series STD(SeriesView s, std::uint64_t n) {
  if (const CommitLayout* layout = provisional_layout(s.size())) return provisional_std(s, n, *layout);
  RollingDeviation deviation(s, n);
  Series out(s.size());
  constexpr std::size_t kChunk = 4096;
  for (std::size_t i = 0; i < s.size(); i += kChunk) {
    const std::size_t count = std::min(kChunk, s.size() - i);
    deviation.next(count, out.data() + i);
    interruption_point(16 * count);  // a dozen or so operations per bar
  }
  return out;
}

Series HHV(SeriesView s, std::uint64_t n) { return window_extreme<Highest>(s, n); }

Series LLV(SeriesView s, std::uint64_t n) { return window_extreme<Lowest>(s, n); }

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
