// The bars of a longer period as they stand on each row: for a formula's
// `X#WEEK`, row t carries the week's bar built from the week's rows up to
// and including t, the way resample builds a finished one (open the first,
// high the highest, low the lowest, close the last, volume and amount the
// sums, NaN skipped), and whether t is the last row of its period.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bars/periods.hpp"
#include "batch/batch.hpp"

namespace tarvex {

struct PartialInput {
  KeyView<std::int64_t> key;  // each row's period: PeriodRule::key of its stamp
  const std::vector<std::size_t>& starts;  // one segment per security, its rows by stamp
  SeriesView open, high, low, close, volume, amount;  // an empty view: the market has no such column
};

struct PartialBars {
  Series open, high, low, close, volume, amount;  // empty where the input column is
  Series commit;  // 1.0 on the last row of a period within its segment, else 0.0
};

// The partial period bars of every row. Every row is a bar: the caller
// leaves out the rows resample leaves out (those without a finite close).
PartialBars partial_bars(const PartialInput& in, const ForEachGroup& for_each);

// PeriodRule::key of every stamp.
std::vector<std::int64_t> period_keys(KeyView<std::int64_t> stamps, const PeriodRule& rule);

}  // namespace tarvex
