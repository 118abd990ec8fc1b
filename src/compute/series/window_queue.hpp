// The best value of every window of n bars in linear time, through a
// monotone queue of bar indices whose front is the best of the current
// window. HHV, LLV, HHVBARS, LLVBARS and BARSSINCEN all read it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "runtime/interrupt.hpp"
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

}  // namespace tarvex
