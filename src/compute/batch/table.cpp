#include "batch/table.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

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

void sort_by_key(KeyedRows& items) {
  const std::size_t n = items.size();
  const auto by_key = [](const KeyedRow& a, const KeyedRow& b) { return a.key < b.key; };
  if (std::is_sorted(items.begin(), items.end(), by_key)) return;  // dates often come in order

  std::uint64_t varying = 0;
  for (const KeyedRow& item : items) varying |= item.key ^ items[0].key;
  const int low = __builtin_ctzll(varying);  // not sorted: some bit varies
  const int high = 64 - __builtin_clzll(varying);

  constexpr int kDigitBits = 11;
  constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << kDigitBits) - 1;
  std::vector<std::size_t> next(std::size_t{1} << kDigitBits);
  KeyedRows scratch(n);
  for (int shift = low; shift < high; shift += kDigitBits) {
    const auto digit = [shift](const KeyedRow& item) { return static_cast<std::size_t>((item.key >> shift) & kDigitMask); };
    std::fill(next.begin(), next.end(), 0);
    for (const KeyedRow& item : items) ++next[digit(item)];
    std::size_t offset = 0;
    for (std::size_t& slot : next) offset += std::exchange(slot, offset);
    for (const KeyedRow& item : items) scratch[next[digit(item)]++] = item;
    items.swap(scratch);
  }
}

std::size_t run_end(const KeyedRows& items, std::size_t first) {
  std::size_t end = first;
  while (end < items.size() && items[end].key == items[first].key) ++end;
  return end;
}

namespace {

int bit_width(std::uint64_t x) { return x == 0 ? 0 : 64 - __builtin_clzll(x); }

// Groups the rows of `grouping` (in final order) into runs of equal code.
template <class CodeOf>
void split_groups(Grouping& grouping, CodeOf code_of) {
  for (std::size_t j = 0; j < grouping.rows.size(); ++j) {
    const std::uint64_t c = code_of(j);
    if (grouping.groups.empty() || grouping.groups.back().code != c) grouping.groups.push_back({c, j, 0});
    ++grouping.groups.back().count;
  }
}

}  // namespace

Grouping group_rows(KeyView<std::uint64_t> code, KeyView<std::int64_t> date, SeriesView close) {
  Grouping grouping;

  // Tables often come ordered by code and date already: one pass finds out
  // (and the ranges of codes and dates), and such a table is grouped
  // without sorting.
  bool ordered = true;
  std::size_t taking = 0, prev = 0;
  std::uint64_t code_min = ~std::uint64_t{0}, code_max = 0, date_min = ~std::uint64_t{0}, date_max = 0;
  for (std::size_t r = 0; r < close.size(); ++r) {
    if (!std::isfinite(close[r])) continue;
    ordered = ordered && !(taking && (code[r] < code[prev] || (code[r] == code[prev] && date[r] < date[prev])));
    prev = r;
    ++taking;
    code_min = std::min(code_min, code[r]);
    code_max = std::max(code_max, code[r]);
    date_min = std::min(date_min, date_key(date[r]));
    date_max = std::max(date_max, date_key(date[r]));
  }
  grouping.rows.reserve(taking);
  if (ordered) {
    for (std::size_t r = 0; r < close.size(); ++r) {
      if (std::isfinite(close[r])) grouping.rows.push_back(r);
    }
    split_groups(grouping, [&](std::size_t j) { return code[grouping.rows[j]]; });
    return grouping;
  }

  KeyedRows items;
  items.reserve(taking);
  const int code_bits = bit_width(code_max - code_min), date_bits = bit_width(date_max - date_min);
  if (code_bits + date_bits <= 64) {
    // Code and date offsets fit one key side by side: one sort orders the
    // rows by code, then date, then input position.
    const auto key_of = [&](std::size_t r) {
      const std::uint64_t day = date_key(date[r]) - date_min;
      return code_bits == 0 ? day : (code[r] - code_min) << date_bits | day;
    };
    for (std::size_t r = 0; r < close.size(); ++r) {
      if (std::isfinite(close[r])) items.push_back({key_of(r), r});
    }
    sort_by_key(items);
    for (const KeyedRow& item : items) grouping.rows.push_back(item.row);
    split_groups(grouping, [&](std::size_t j) {
      return code_bits == 0 ? code_min : code_min + (items[j].key >> date_bits);
    });
    return grouping;
  }

  // Otherwise the rows by date first, then by code: the second sort is
  // stable, so each code's rows come out in date order, and rows of one
  // code and date in input order.
  for (std::size_t r = 0; r < close.size(); ++r) {
    if (std::isfinite(close[r])) items.push_back({date_key(date[r]), r});
  }
  sort_by_key(items);
  for (KeyedRow& item : items) item.key = code[item.row];
  sort_by_key(items);
  for (const KeyedRow& item : items) grouping.rows.push_back(item.row);
  split_groups(grouping, [&](std::size_t j) { return items[j].key; });
  return grouping;
}

GroupSeries gather(const Grouping& grouping, const SecurityGroup& group, const BatchInput& in) {
  const std::size_t* rows = grouping.rows_of(group);
  const std::size_t m = group.count;
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
