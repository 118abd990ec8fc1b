#include "bars/partial.hpp"

#include "batch/table.hpp"
#include "runtime/interrupt.hpp"

namespace tarvex {

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
        x[i] = fold(kBarFolds[f], opens ? 0.0 : x[i - 1], given[f][i], opens);
      }
      out.commit[i] = 0.0;
    }
    if (end > first) out.commit[end - 1] = 1.0;
    interruption_point(8 * (end - first));
  });
  return out;
}

}  // namespace tarvex
