// Element-wise pieces the composite indicators share: arithmetic and
// comparisons over the common prefix of two series, a series times or over
// a scalar, the true range and the typical price. Each is written once here
// so every indicator evaluates them with the same operand order. Also the
// loop of the single-pass indicators.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>

#include "indicators/indicators.hpp"
#include "runtime/interrupt.hpp"
#include "series/kernels.hpp"
#include "series/series.hpp"

namespace tarvex {

// a + b, a - b, a * b bar by bar over the common prefix.
Series add(SeriesView a, SeriesView b);
Series sub(SeriesView a, SeriesView b);
Series mul(SeriesView a, SeriesView b);

// x * k and x / k for every bar (k a plain scalar, never guarded).
Series times(SeriesView x, double k);
Series divided_by(SeriesView x, double k);

// Comparisons giving 1.0 where they hold and 0.0 otherwise; a NaN operand
// gives 0.0.
Series greater(SeriesView a, SeriesView b);
Series greater(SeriesView a, double b);
Series less(SeriesView a, SeriesView b);
Series less_equal(SeriesView a, SeriesView b);

// 0.0 where either condition equals 0.0, else 1.0 (NaN counts as true).
Series logical_and(SeriesView a, SeriesView b);

// MAX(x, 0.0): the positive part, NaN kept.
inline double max_with_zero(double x) { return std::isnan(x) ? kNaN : x < 0.0 ? 0.0 : x; }
Series max_with_zero(SeriesView x);

// IF(cond, x, 0.0): x where cond holds, 0.0 elsewhere.
Series where_else_zero(SeriesView cond, SeriesView x);

// MAX(MAX(high - low, ABS(PC - high)), ABS(PC - low)) with PC = REF(close, 1);
// NaN at bar 0. The length is that of the shortest input.
Series true_range(SeriesView close, SeriesView high, SeriesView low);

// ((high + low) + close) / 3.0, added in this grouping.
Series typical_price(SeriesView close, SeriesView high, SeriesView low);

// Rounds `count` values in place as `rounded` rounds a series.
void round_in_place(double* values, std::size_t count, Digits digits);

// The bars first .. first + count - 1 of a single-pass loop, written to
// out[k][0 .. count). A function of its own, with no call inside: the
// chunk loop around it calls out (rounding, interruption), and across a
// call no floating-point register survives, so a loop sharing a function
// with one keeps its running states in memory and waits on a store and a
// load every bar. Here the step's states are a local copy, held in
// registers, and handed back once per chunk.
template <std::size_t K, class Bar>
__attribute__((noinline)) void single_pass_rows(std::optional<Bar>& bar, std::size_t first, std::size_t count,
                                                double* const* out) {
  Bar step(*bar);
  for (std::size_t j = 0; j < count; ++j) {
    const std::array<double, K> row = step(first + j);
    for (std::size_t k = 0; k < K; ++k) out[k][j] = row[k];
  }
  bar.emplace(std::move(step));
}

// K output series of `len` bars computed in one loop: bar(i), called for
// i = 0, 1, ... in order, returns the K unrounded outputs of bar i, with
// every intermediate series of the composition it stands for reduced to a
// local value or a running state. The outputs are written in chunks small
// enough for the first-level cache and rounded there by `digits`, so each
// result is written once instead of once per step of the composition. A
// bar that holds its running states by value (not by reference to the
// caller's) has them kept in registers through each chunk.
template <std::size_t K, class Bar>
SeriesList single_pass(std::size_t len, Digits digits, Bar bar) {
  constexpr std::size_t kChunk = 512;
  SeriesList out;
  out.reserve(K);
  for (std::size_t k = 0; k < K; ++k) out.emplace_back(len);
  std::optional<Bar> held(std::move(bar));
  for (std::size_t first = 0; first < len; first += kChunk) {
    const std::size_t count = std::min(kChunk, len - first);
    double* rows[K];
    for (std::size_t k = 0; k < K; ++k) rows[k] = out[k].data() + first;
    single_pass_rows<K>(held, first, count, rows);
    for (std::size_t k = 0; k < K; ++k) round_in_place(rows[k], count, digits);
    interruption_point(16 * count);  // a dozen or so operations per bar
  }
  return out;
}

}  // namespace tarvex
