// Bars of a longer period built from shorter ones: weeks, months, quarters
// and years from daily bars; 5-, 15-, 30- and 60-minute bars and days from
// 1-minute bars, within the exchange sessions.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "batch/batch.hpp"

namespace tarvex {

enum class Period { kWeek, kMonth, kQuarter, kYear, kMin5, kMin15, kMin30, kMin60, kDay };

// What the stamps of the bars count: whole days since 1970-01-01, or whole
// minutes since its midnight (exchange local time, a minute bar stamped
// with the minute it ends).
enum class Stamp { kDay, kMinute };

// Which bar a stamp belongs to and when that bar is complete.
//
// Daily periods: calendar weeks from Monday to Sunday, months, quarters,
// years and days. A daily period is complete once the market has reached
// its last weekday (at 15:00 for minute stamps).
//
// Minute periods: the sessions 09:30-11:30 and 13:00-15:00 are cut into
// bars of k minutes from their starts, so a bar never spans the midday
// break (60-minute bars end at 10:30, 11:30, 14:00 and 15:00). A minute
// joins the first bar of its session ending at or after its stamp: a stamp
// up to 09:30 (the opening auction) joins the first bar of the day, one
// after 11:30 and up to 13:00 the first bar of the afternoon, one after
// 15:00 the last bar. A minute bar is complete at its nominal end.
class PeriodRule {
 public:
  PeriodRule(Period period, Stamp stamp);  // ValueError for minute bars from daily stamps

  std::int64_t key(std::int64_t stamp) const;       // ascending with the stamp
  std::int64_t complete_at(std::int64_t key) const;  // the first stamp at which the bar is complete

 private:
  Period period_;
  Stamp stamp_;
  int minutes_ = 0;   // the length of a minute bar
  int months_ = 0;    // the length of a month, quarter or year period
};

struct ResampleInput {
  KeyView<std::uint64_t> code;
  KeyView<std::int64_t> stamp;
  SeriesView close;                      // rows with a finite close are the bars
  SeriesView open, high, low, volume, amount;  // an empty view: the market has no such column
};

// The period bars, by code then stamp. A bar's stamp is that of its last
// row. Open is the first value, high the largest, low the smallest, close
// the last, volume and amount the sums (added in stamp order); NaN values
// are skipped, and a field with no value in the period is NaN. `partial` is
// 1 on the last bar of a security when the market's latest stamp lies in
// that bar's period and the period is not complete.
// How a period bar's field gathers the values of its rows, a row at a
// time: open the first value that is not NaN, high the largest and low the
// smallest of those, close the last value, volume and amount the sum of
// those not NaN (NaN while there is none). A bar of the period so far (the
// partial bars of a formula's periods) and a finished one (resample) are
// the same fold, stopped at a different row.
enum class Fold { kFirst, kHighest, kLowest, kLast, kSum };

// The folds of open, high, low, close, volume and amount, in that order.
inline constexpr Fold kBarFolds[] = {Fold::kFirst, Fold::kHighest, Fold::kLowest, Fold::kLast, Fold::kSum, Fold::kSum};

// The field after one more row of value x (the row's own value on the
// period's first row).
inline double fold(Fold how, double so_far, double x, bool first_row) {
  if (first_row) return x;
  switch (how) {
    case Fold::kFirst: return std::isnan(so_far) ? x : so_far;
    case Fold::kHighest: return std::isnan(so_far) || x > so_far ? x : so_far;
    case Fold::kLowest: return std::isnan(so_far) || x < so_far ? x : so_far;
    case Fold::kLast: return x;
    case Fold::kSum: return std::isnan(x) ? so_far : std::isnan(so_far) ? x : so_far + x;
  }
  return x;
}

struct PeriodBars {
  std::vector<std::uint64_t, BlockAllocator<std::uint64_t>> codes;
  std::vector<std::int64_t, BlockAllocator<std::int64_t>> stamps;
  Series open, high, low, close, volume, amount;  // empty where the input column is
  std::vector<std::int64_t, BlockAllocator<std::int64_t>> partial;
};

PeriodBars resample(const ResampleInput& in, const PeriodRule& rule, const ForEachGroup& for_each);

}  // namespace tarvex
