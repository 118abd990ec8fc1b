// Adjusted prices: the prices of a market scaled across ex-dividend,
// bonus-share and rights dates, so that a series shows the moves a holder
// saw and not the drops of the ex-dates.
#pragma once

#include <cstdint>
#include <vector>

#include "batch/batch.hpp"

namespace tarvex {

// The bars of a market, rows in any order. Stamps count time in one unit
// (days or minutes); rows with a finite close are the bars. A stamp of
// the lowest int64 (a missing date) is refused with ValueError. Any of open,
// high, low and volume may be an empty view (the market has no such column).
struct AdjustBars {
  KeyView<std::uint64_t> code;
  KeyView<std::int64_t> stamp;
  SeriesView open, high, low, close, volume;
  std::int64_t day = 1;  // stamps in a day (the events' stamps count the same)
};

// The prices that stay as they are: those of the latest bars (forward), of
// the earliest (backward) or of the bars at a stamp.
struct AdjustAnchor {
  enum Kind { kLatest, kEarliest, kAt } kind = kLatest;
  std::int64_t at = 0;
};

// One row per event: the security, the first stamp of its ex-date, and the
// cash dividend, bonus shares, rights shares and rights price per `per`
// shares (NaN reads as 0).
struct AdjustEvents {
  KeyView<std::uint64_t> code;
  KeyView<std::int64_t> stamp;
  SeriesView cash, bonus, rights, rights_price;
  double per = 1.0;
};

// The adjusted columns, in the rows of the input (empty where the input
// column is; volume only when asked), and the rows of the events whose code
// the market lacks.
struct Adjusted {
  Series open, high, low, close, volume;
  std::vector<std::size_t> unmatched;
};

// Every price times the row's multiplier m, the volume (when `volume`)
// divided by it. From events, with F(t) the product of the ratios of the
// events after stamp t and A the anchor, m = F(row) / F(A); see
// docs/guide.md for the ratio of an event.
Adjusted adjust_by_events(const AdjustBars& bars, const AdjustEvents& events, AdjustAnchor anchor, bool volume,
                          const ForEachGroup& for_each);

// From a cumulative adjustment factor column c: m = c(row) / c(anchor row),
// the anchor row being a security's latest bar, its earliest, or its latest
// bar at or before the anchor stamp (else its earliest).
Adjusted adjust_by_factor(const AdjustBars& bars, SeriesView factor, AdjustAnchor anchor, bool volume,
                          const ForEachGroup& for_each);

}  // namespace tarvex
