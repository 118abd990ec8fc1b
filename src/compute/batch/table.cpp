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

std::vector<SecurityGroup> group_rows(const std::vector<std::uint64_t>& code,
                                      const std::vector<std::int64_t>& date, const Series& close) {
  // The rows by date first, then by code: the second sort is stable, so each
  // code's rows come out in date order, and rows of one code and date in
  // input order.
  std::vector<KeyedRow> items;
  items.reserve(close.size());
  for (std::size_t r = 0; r < close.size(); ++r) {
    if (std::isfinite(close[r])) items.push_back({date_key(date[r]), r});
  }
  sort_by_key(items);
  for (KeyedRow& item : items) item.key = code[item.row];
  sort_by_key(items);

  std::vector<SecurityGroup> groups;
  for (std::size_t first = 0, last = 0; first < items.size(); first = last) {
    last = run_end(items, first);
    SecurityGroup g{items[first].key, {}};
    g.rows.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) g.rows.push_back(items[i].row);
    groups.push_back(std::move(g));
  }
  return groups;
}

namespace {

Series gather_column(const std::vector<std::size_t>& rows, const Series& column) {
  Series out;
  out.reserve(rows.size());
  for (std::size_t r : rows) out.push_back(column[r]);
  return out;
}

}  // namespace

GroupSeries gather(const SecurityGroup& group, const BatchInput& in) {
  return GroupSeries{gather_column(group.rows, in.close), gather_column(group.rows, in.high),
                     gather_column(group.rows, in.low), gather_column(group.rows, in.open),
                     gather_column(group.rows, in.volume)};
}

}  // namespace tarvex
