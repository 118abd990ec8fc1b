#include "bars/periods.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "batch/table.hpp"
#include "runtime/interrupt.hpp"

namespace tarvex {

namespace {

constexpr std::int64_t kMinutesPerDay = 1440;
constexpr int kMorningOpen = 9 * 60 + 30, kMorningClose = 11 * 60 + 30;
constexpr int kAfternoonOpen = 13 * 60, kAfternoonClose = 15 * 60;
constexpr int kSessionMinutes = 120;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Months since January of year 0 of the day `days` after 1970-01-01 (the
// civil calendar of the proleptic Gregorian reckoning).
std::int64_t month_of(std::int64_t days) {
  const std::int64_t z = days + 719468;  // days since 0000-03-01
  const std::int64_t era = floor_div(z, 146097);
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;  // months since March
  const std::int64_t month = mp < 10 ? mp + 2 : mp - 10;  // 0 = January
  return (yoe + era * 400 + (month < 2 ? 1 : 0)) * 12 + month;
}

// The day (after 1970-01-01) on which the month `months` (since January of
// year 0) begins.
std::int64_t first_day(std::int64_t months) {
  std::int64_t year = floor_div(months, 12);
  const std::int64_t month = months - year * 12;  // 0 = January
  year -= month < 2 ? 1 : 0;
  const std::int64_t era = floor_div(year, 400);
  const std::int64_t yoe = year - era * 400;
  const std::int64_t mp = month < 2 ? month + 10 : month - 2;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + (153 * mp + 2) / 5;
  return era * 146097 + doe - 719468;
}

// Monday is 0; 1970-01-01 was a Thursday.
std::int64_t weekday(std::int64_t days) { return days + 3 - floor_div(days + 3, 7) * 7; }

std::int64_t last_weekday_until(std::int64_t days) {
  while (weekday(days) >= 5) --days;
  return days;
}

}  // namespace

PeriodRule::PeriodRule(Period period, Stamp stamp) : period_(period), stamp_(stamp) {
  switch (period) {
    case Period::kMin5: minutes_ = 5; break;
    case Period::kMin15: minutes_ = 15; break;
    case Period::kMin30: minutes_ = 30; break;
    case Period::kMin60: minutes_ = 60; break;
    case Period::kMonth: months_ = 1; break;
    case Period::kQuarter: months_ = 3; break;
    case Period::kYear: months_ = 12; break;
    case Period::kWeek: case Period::kDay: break;
  }
  if (minutes_ != 0 && stamp != Stamp::kMinute) {
    throw ValueError(std::to_string(minutes_) + "-minute bars are built from minute bars, and these bars carry no time of day");
  }
}

std::int64_t PeriodRule::key(std::int64_t stamp) const {
  const std::int64_t day = stamp_ == Stamp::kMinute ? floor_div(stamp, kMinutesPerDay) : stamp;
  if (minutes_ != 0) {
    const int minute = static_cast<int>(stamp - day * kMinutesPerDay);
    const int per_session = kSessionMinutes / minutes_;
    const int bar = minute <= kMorningClose
                        ? (std::max(minute - kMorningOpen, 1) - 1) / minutes_
                        : per_session + (std::clamp(minute - kAfternoonOpen, 1, kSessionMinutes) - 1) / minutes_;
    return day * 64 + bar;
  }
  if (months_ != 0) return floor_div(month_of(day), months_);
  if (period_ == Period::kWeek) return floor_div(day + 3, 7);  // weeks from Monday 1969-12-29
  return day;
}

std::int64_t PeriodRule::complete_at(std::int64_t key) const {
  if (minutes_ != 0) {
    const std::int64_t day = floor_div(key, 64);
    const int bar = static_cast<int>(key - day * 64), per_session = kSessionMinutes / minutes_;
    const int end = bar < per_session ? kMorningOpen + (bar + 1) * minutes_
                                      : kAfternoonOpen + (bar - per_session + 1) * minutes_;
    return day * kMinutesPerDay + end;
  }
  std::int64_t last;  // the period's last calendar day
  if (months_ != 0) {
    last = first_day((key + 1) * months_) - 1;
  } else if (period_ == Period::kWeek) {
    last = key * 7 - 3 + 6;
  } else {
    last = key;
  }
  const std::int64_t day = last_weekday_until(last);
  return stamp_ == Stamp::kMinute ? day * kMinutesPerDay + kAfternoonClose : day;
}

namespace {

enum Field : std::size_t { kOpenField, kHighField, kLowField, kCloseField, kVolumeField, kAmountField, kFields };

// One security's period bars.
struct GroupPeriods {
  std::vector<std::int64_t> stamps;
  Series fields[kFields];
  std::int64_t last_key = 0;
};

// The period bars of one security whose bars, by stamp, are `stamps` and
// `columns` (empty views where the market has no such column).
GroupPeriods periods_of(const PeriodRule& rule, KeyView<std::int64_t> stamps, const SeriesView (&columns)[kFields]) {
  GroupPeriods out;
  const std::size_t m = stamps.size();
  for (std::size_t first = 0; first < m;) {
    const std::int64_t key = rule.key(stamps[first]);
    std::size_t end = first + 1;
    while (end < m && rule.key(stamps[end]) == key) ++end;
    const std::size_t n = end - first;
    out.stamps.push_back(stamps[end - 1]);
    out.last_key = key;
    for (std::size_t f = 0; f < kFields; ++f) {
      if (columns[f].size() == 0) continue;
      const double* x = columns[f].data() + first;
      double value = x[0];
      for (std::size_t j = 1; j < n; ++j) value = fold(kBarFolds[f], value, x[j], false);
      out.fields[f].push_back(value);
    }
    first = end;
  }
  return out;
}

}  // namespace

PeriodBars resample(const ResampleInput& in, const PeriodRule& rule, const ForEachGroup& for_each) {
  const std::size_t n = in.close.size();
  check_same_length(n, {in.code.size(), in.stamp.size()});
  for (SeriesView v : {in.open, in.high, in.low, in.volume, in.amount}) {
    if (v.size() != 0) check_same_length(n, {v.size()});
  }
  // One grouping of the batch engine moves every field present.
  static const std::vector<std::string> no_names;
  static const std::vector<std::vector<std::uint64_t>> no_params;
  ColumnSet read = 0;
  if (in.open.size() != 0) read |= ColumnSet{1} << kOpen;
  if (in.high.size() != 0) read |= ColumnSet{1} << kHigh;
  if (in.low.size() != 0) read |= ColumnSet{1} << kLow;
  if (in.volume.size() != 0) read |= ColumnSet{1} << kVolume;
  if (in.amount.size() != 0) read |= ColumnSet{1} << kAmount;
  const BatchInput prices{no_names, no_params, in.code, in.stamp, in.open, in.high, in.low, in.close, in.volume,
                          in.amount};
  const Grouping grouping = group_rows(prices, read, for_each, Bars::kInPlace);

  const std::size_t groups = grouping.groups.size();
  std::vector<GroupPeriods> parts(groups);
  for_each(groups, [&](std::size_t k) {
    const SecurityGroup& group = grouping.groups[k];
    const GroupSeries bars = gather(grouping, group, prices);
    const SeriesView columns[kFields] = {bars.prices[kOpen],  bars.prices[kHigh],   bars.prices[kLow],
                                         bars.prices[kClose], bars.prices[kVolume], bars.prices[kAmount]};
    parts[k] = periods_of(rule, bars.date, columns);
    interruption_point(8 * group.count);
  });

  // The market's latest stamp decides whether the last period is complete.
  bool any = false;
  std::int64_t latest = 0;
  for (const GroupPeriods& part : parts) {
    if (part.stamps.empty()) continue;
    latest = any ? std::max(latest, part.stamps.back()) : part.stamps.back();
    any = true;
  }
  const std::int64_t latest_key = any ? rule.key(latest) : 0;
  const bool unfinished = any && latest < rule.complete_at(latest_key);

  std::vector<std::size_t> offset(groups + 1, 0);
  for (std::size_t k = 0; k < groups; ++k) offset[k + 1] = offset[k] + parts[k].stamps.size();
  const std::size_t rows = offset[groups];
  PeriodBars out;
  out.codes.resize(rows);
  out.stamps.resize(rows);
  out.partial.resize(rows);
  Series* fields[kFields] = {&out.open, &out.high, &out.low, &out.close, &out.volume, &out.amount};
  const SeriesView given[kFields] = {in.open, in.high, in.low, in.close, in.volume, in.amount};
  for (std::size_t f = 0; f < kFields; ++f) {
    if (given[f].size() != 0 || f == kCloseField) fields[f]->resize(rows);
  }
  for_each(groups, [&](std::size_t k) {
    const GroupPeriods& part = parts[k];
    const std::size_t first = offset[k], m = part.stamps.size();
    std::fill_n(out.codes.data() + first, m, grouping.groups[k].code);
    std::copy_n(part.stamps.data(), m, out.stamps.data() + first);
    std::fill_n(out.partial.data() + first, m, 0);
    if (m != 0 && unfinished && part.last_key == latest_key) out.partial[first + m - 1] = 1;
    for (std::size_t f = 0; f < kFields; ++f) {
      if (!part.fields[f].empty()) std::copy_n(part.fields[f].data(), m, fields[f]->data() + first);
    }
  });
  return out;
}

}  // namespace tarvex
