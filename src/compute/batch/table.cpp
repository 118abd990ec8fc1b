#include "batch/table.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace tarvex {

void check_same_length(std::size_t n, std::initializer_list<std::size_t> others) {
  for (std::size_t len : others) {
    if (len != n) throw ValueError("all input vectors must have the same length");
  }
}

void check_table(const BatchInput& in) {
  check_same_length(in.date.size(), {in.code.size(), in.open.size(), in.high.size(), in.low.size(),
                                     in.close.size(), in.volume.size()});
  if (in.names.empty()) throw ValueError("names must not be empty");
}

void sort_by_key(std::vector<KeyedRow>& items) {
  const std::size_t n = items.size();
  const auto by_key = [](const KeyedRow& a, const KeyedRow& b) { return a.key < b.key; };
  if (std::is_sorted(items.begin(), items.end(), by_key)) return;  // dates often come in order

  constexpr int kBytes = 8;
  const auto byte_of = [](std::uint64_t key, int b) { return static_cast<std::size_t>((key >> (8 * b)) & 0xff); };
  std::array<std::array<std::size_t, 256>, kBytes> counts{};
  for (const KeyedRow& item : items) {
    for (int b = 0; b < kBytes; ++b) ++counts[b][byte_of(item.key, b)];
  }
  std::vector<KeyedRow> scratch(n);
  for (int b = 0; b < kBytes; ++b) {
    std::array<std::size_t, 256>& next = counts[b];
    if (next[byte_of(items[0].key, b)] == n) continue;  // the same byte everywhere orders nothing
    std::size_t offset = 0;
    for (std::size_t& slot : next) offset += std::exchange(slot, offset);
    for (const KeyedRow& item : items) scratch[next[byte_of(item.key, b)]++] = item;
    items.swap(scratch);
  }
}

std::size_t run_end(const std::vector<KeyedRow>& items, std::size_t first) {
  std::size_t end = first;
  while (end < items.size() && items[end].key == items[first].key) ++end;
  return end;
}

std::vector<SecurityGroup> group_rows(KeyView<std::uint64_t> code, KeyView<std::int64_t> date, SeriesView close) {
  std::vector<SecurityGroup> groups;
  const auto add = [&groups](std::uint64_t c, std::size_t r) {
    if (groups.empty() || groups.back().code != c) groups.push_back(SecurityGroup{c, {}});
    groups.back().rows.push_back(r);
  };

  // Tables often come ordered by code and date already: one pass finds out,
  // and such a table is grouped without sorting.
  bool ordered = true;
  for (std::size_t r = 0, prev = 0, seen = 0; r < close.size() && ordered; ++r) {
    if (!std::isfinite(close[r])) continue;
    ordered = !(seen && (code[r] < code[prev] || (code[r] == code[prev] && date[r] < date[prev])));
    prev = r;
    seen = 1;
  }
  if (ordered) {
    for (std::size_t r = 0; r < close.size(); ++r) {
      if (std::isfinite(close[r])) add(code[r], r);
    }
    return groups;
  }

  // Otherwise the rows by date first, then by code: the second sort is
  // stable, so each code's rows come out in date order, and rows of one code
  // and date in input order.
  std::vector<KeyedRow> items;
  items.reserve(close.size());
  for (std::size_t r = 0; r < close.size(); ++r) {
    if (std::isfinite(close[r])) items.push_back({date_key(date[r]), r});
  }
  sort_by_key(items);
  for (KeyedRow& item : items) item.key = code[item.row];
  sort_by_key(items);
  for (const KeyedRow& item : items) add(item.key, item.row);
  return groups;
}

GroupSeries gather(const SecurityGroup& group, const BatchInput& in) {
  const std::vector<std::size_t>& rows = group.rows;
  const std::size_t m = rows.size();
  GroupSeries g;
  SeriesView GroupSeries::*const fields[] = {&GroupSeries::close, &GroupSeries::high, &GroupSeries::low,
                                             &GroupSeries::open, &GroupSeries::volume};
  const SeriesView columns[] = {in.close, in.high, in.low, in.open, in.volume};
  bool consecutive = true;
  for (std::size_t j = 0; j < m && consecutive; ++j) consecutive = rows[j] == rows[0] + j;
  for (std::size_t k = 0; k < 5; ++k) {
    if (consecutive) {
      g.*fields[k] = columns[k].sub(m == 0 ? 0 : rows[0], m);
      continue;
    }
    Series& copy = g.copies[k];
    copy.resize(m);
    for (std::size_t j = 0; j < m; ++j) copy[j] = columns[k][rows[j]];
    g.*fields[k] = copy;
  }
  return g;
}

}  // namespace tarvex
