// Element-wise pieces the composite indicators share: arithmetic and
// comparisons over the common prefix of two series, a series times or over
// a scalar, the true range and the typical price. Each is written once here
// so every indicator evaluates them with the same operand order.
#pragma once

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
Series max_with_zero(SeriesView x);

// IF(cond, x, 0.0): x where cond holds, 0.0 elsewhere.
Series where_else_zero(SeriesView cond, SeriesView x);

// MAX(MAX(high - low, ABS(PC - high)), ABS(PC - low)) with PC = REF(close, 1);
// NaN at bar 0. The length is that of the shortest input.
Series true_range(SeriesView close, SeriesView high, SeriesView low);

// ((high + low) + close) / 3.0, added in this grouping.
Series typical_price(SeriesView close, SeriesView high, SeriesView low);

}  // namespace tarvex
