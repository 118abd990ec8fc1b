// The best value of every window of n bars in linear time, through a
// monotone queue of bar indices whose front is the best of the current
// window. HHV, LLV, HHVBARS, LLVBARS and BARSSINCEN all read it, and in
// provisional mode the windows of a row's commits and its own value.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "runtime/interrupt.hpp"
#include "runtime/provisional.hpp"
#include "series/series.hpp"

namespace tarvex {

// No bar: the front of a queue that is empty.
inline constexpr std::size_t kNoBar = static_cast<std::size_t>(-1);

// Calls visit(i, best, clean) for every bar i that ends a full window of n
// bars (1 <= n <= len(s)), in order: best is the index at the front of the
// queue (kNoBar when the window holds only NaN) and clean says the window
// holds no NaN. `displaces(newer, older)` says whether a newer value makes
// an older one useless for every later window: with >= the front is the
// newest of equal highest values, with > the oldest. NaN never enters.
template <class Displaces, class Visit>
void scan_windows(SeriesView s, std::size_t n, Displaces displaces, Visit visit) {
  // The live entries all lie in one window, so a ring of n slots holds them.
  std::size_t capacity = 1;
  while (capacity < n) capacity *= 2;
  const std::size_t mask = capacity - 1;
  std::vector<std::size_t> ring(capacity);
  std::size_t head = 0, tail = 0;  // live entries: ring[head..tail) modulo capacity
  std::size_t nan_until = 0;       // windows ending before this bar hold a NaN

  constexpr std::size_t kChunk = 4096;  // bars between interruption points
  for (std::size_t start = 0; start < s.size(); start += kChunk) {
    const std::size_t end = std::min(s.size(), start + kChunk);
    for (std::size_t i = start; i < end; ++i) {
      while (head != tail && ring[head & mask] + n <= i) ++head;
      if (std::isnan(s[i])) {
        nan_until = i + n;
      } else {
        while (head != tail && displaces(s[i], s[ring[(tail - 1) & mask]])) --tail;
        ring[tail++ & mask] = i;
      }
      if (i + 1 >= n) visit(i, head != tail ? ring[head & mask] : kNoBar, i >= nan_until);
    }
    interruption_point(4 * (end - start));  // a handful of operations per bar
  }
}

// scan_windows in provisional mode: the window of row i is the n - 1
// values at the commits before it, then its own. Fills `committed` with the
// values at the commits, and calls visit(i, seen, best, own, clean) for
// every row whose window is full, in order: `seen` commits lie before it,
// `best` indexes the best of the window's commits in `committed` (kNoBar
// when they are all NaN or there are none), `own` says the row's value
// displaces that best or is the window's only number, and `clean` says the
// window's commits hold no NaN.
template <class Displaces, class Visit>
void scan_provisional_windows(SeriesView s, std::size_t n, const CommitLayout& layout, Displaces displaces,
                              std::vector<double>& committed, Visit visit) {
  committed.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (layout.commit[i] != 0) committed.push_back(s[i]);
  }
  const std::size_t before = n - 1;
  // For the `before` committed values ending at j: their best, and whether they hold no NaN.
  std::vector<std::size_t> front(committed.size(), kNoBar);
  std::vector<unsigned char> clean(committed.size(), 1);
  if (before >= 1 && before <= committed.size()) {
    scan_windows(SeriesView(committed.data(), committed.size()), before, displaces,
                 [&](std::size_t j, std::size_t best, bool none) {
                   front[j] = best;
                   clean[j] = none ? 1 : 0;
                 });
  }
  std::size_t seen = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (seen >= before) {
      const double x = s[i];
      const std::size_t best = before == 0 ? kNoBar : front[seen - 1];
      visit(i, seen, best, !std::isnan(x) && (best == kNoBar || displaces(x, committed[best])),
            before == 0 || clean[seen - 1] != 0);
    }
    seen += layout.commit[i] != 0 ? 1 : 0;
  }
}

}  // namespace tarvex
