#include "bars/partial.hpp"

#include <cmath>

#include "batch/table.hpp"
#include "runtime/interrupt.hpp"

namespace tarvex {

namespace {

// One field of the period so far, stepped a row at a time with the rules
// of resample's bars.
enum class Fold { kFirst, kHighest, kLowest, kLast, kSum };

double fold(Fold how, double so_far, double x, bool first_row) {
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

}  // namespace

std::vector<std::int64_t> period_keys(KeyView<std::int64_t> stamps, const PeriodRule& rule) {
  std::vector<std::int64_t> keys(stamps.size());
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = rule.key(stamps[i]);
  return keys;
}

PartialBars partial_bars(const PartialInput& in, const ForEachGroup& for_each) {
  const std::size_t rows = in.close.size();
  check_same_length(rows, {in.key.size()});
  const SeriesView given[] = {in.open, in.high, in.low, in.close, in.volume, in.amount};
  for (SeriesView v : given) {
    if (v.size() != 0) check_same_length(rows, {v.size()});
  }
  PartialBars out;
  Series* fields[] = {&out.open, &out.high, &out.low, &out.close, &out.volume, &out.amount};
  constexpr Fold kFolds[] = {Fold::kFirst, Fold::kHighest, Fold::kLowest, Fold::kLast, Fold::kSum, Fold::kSum};
  for (std::size_t f = 0; f < 6; ++f) {
    if (given[f].size() != 0) fields[f]->resize(rows);
  }
  out.commit.resize(rows);
  const std::size_t segments = in.starts.size();
  for_each(segments, [&](std::size_t k) {
    const std::size_t first = in.starts[k], end = k + 1 < segments ? in.starts[k + 1] : rows;
    std::int64_t key = 0;
    for (std::size_t i = first; i < end; ++i) {
      const std::int64_t next = in.key[i];
      const bool opens = i == first || next != key;
      if (opens && i > first) out.commit[i - 1] = 1.0;
      key = next;
      for (std::size_t f = 0; f < 6; ++f) {
        if (given[f].size() == 0) continue;
        double* x = fields[f]->data();
        x[i] = fold(kFolds[f], opens ? 0.0 : x[i - 1], given[f][i], opens);
      }
      out.commit[i] = 0.0;
    }
    if (end > first) out.commit[end - 1] = 1.0;
    interruption_point(8 * (end - first));
  });
  return out;
}

}  // namespace tarvex
