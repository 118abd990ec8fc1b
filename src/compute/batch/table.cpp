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

namespace {

// The stable radix sort behind sort_by_key, for any item with a key.
template <class Item>
void radix_sort(std::vector<Item, BlockAllocator<Item>>& items) {
  const std::size_t n = items.size();
  const auto by_key = [](const Item& a, const Item& b) { return a.key < b.key; };
  if (std::is_sorted(items.begin(), items.end(), by_key)) return;  // dates often come in order

  std::uint64_t varying = 0;
  for (const Item& item : items) varying |= item.key ^ items[0].key;
  const int low = __builtin_ctzll(varying);  // not sorted: some bit varies
  const int high = 64 - __builtin_clzll(varying);

  // Eleven-bit digits for long sorts; a short one (a security's bars) takes
  // eight-bit digits, whose counts cost less to clear and sum than its items.
  const int digit_bits = n < 16384 ? 8 : 11;
  const std::uint64_t digit_mask = (std::uint64_t{1} << digit_bits) - 1;
  std::vector<std::size_t> next(std::size_t{1} << digit_bits);
  std::vector<Item, BlockAllocator<Item>> scratch(n);
  for (int shift = low; shift < high; shift += digit_bits) {
    const auto digit = [shift, digit_mask](const Item& item) {
      return static_cast<std::size_t>((item.key >> shift) & digit_mask);
    };
    std::fill(next.begin(), next.end(), 0);
    for (const Item& item : items) ++next[digit(item)];
    std::size_t offset = 0;
    for (std::size_t& slot : next) offset += std::exchange(slot, offset);
    for (const Item& item : items) scratch[next[digit(item)]++] = item;
    items.swap(scratch);
  }
}

}  // namespace

void sort_by_key(KeyedRows& items) { radix_sort(items); }
void sort_by_key(KeyedBars& items) { radix_sort(items); }

std::size_t run_end(const KeyedRows& items, std::size_t first) {
  std::size_t end = first;
  while (end < items.size() && items[end].key == items[first].key) ++end;
  return end;
}

namespace {

// Groups the `count` rows of `grouping` (in final order) into runs of equal
// code.
template <class CodeOf>
void split_groups(Grouping& grouping, std::size_t count, CodeOf code_of) {
  for (std::size_t j = 0; j < count; ++j) {
    const std::uint64_t c = code_of(j);
    if (grouping.groups.empty() || grouping.groups.back().code != c) grouping.groups.push_back({c, j, 0});
    ++grouping.groups.back().count;
  }
}

KeyedBar bar_of(const BatchInput& in, std::size_t r) {
  return KeyedBar{in.code[r], in.date[r], in.close[r], in.high[r], in.low[r], in.open[r], in.volume[r]};
}

}  // namespace

Grouping group_rows(const BatchInput& in, const ForEachGroup& for_each) {
  const KeyView<std::uint64_t> code = in.code;
  const KeyView<std::int64_t> date = in.date;
  const SeriesView close = in.close;
  const std::size_t n = close.size();
  Grouping grouping;

  // The rows are read in a few chunks, spread like the groups: a fixed
  // number for a given table, so the result is the same however many
  // threads take them.
  const std::size_t chunks = std::clamp<std::size_t>(n / 65536, 1, 16);
  const auto chunk_begin = [&](std::size_t c) { return c * n / chunks; };
  const auto before = [&](std::size_t a, std::size_t b) {  // row a goes after row b in a grouped table
    return code[a] < code[b] || (code[a] == code[b] && date[a] < date[b]);
  };

  // Tables often come ordered by code and date already: one pass finds out
  // (and the range of the codes), and such a table is grouped without
  // moving anything.
  struct Scan {
    bool ordered = true;
    std::size_t taking = 0, first = 0, last = 0;  // first and last taking row
    std::uint64_t code_min = ~std::uint64_t{0}, code_max = 0;
  };
  std::vector<Scan> scans(chunks);
  for_each(chunks, [&](std::size_t c) {
    Scan& scan = scans[c];
    for (std::size_t r = chunk_begin(c); r < chunk_begin(c + 1); ++r) {
      if (!std::isfinite(close[r])) continue;
      if (scan.taking == 0) scan.first = r;
      scan.ordered = scan.ordered && !(scan.taking != 0 && before(r, scan.last));
      scan.last = r;
      ++scan.taking;
      scan.code_min = std::min(scan.code_min, code[r]);
      scan.code_max = std::max(scan.code_max, code[r]);
    }
  });
  bool ordered = true;
  std::size_t taking = 0, last = 0;
  std::uint64_t code_min = ~std::uint64_t{0}, code_max = 0;
  for (const Scan& scan : scans) {
    if (scan.taking == 0) continue;
    ordered = ordered && scan.ordered && !(taking != 0 && before(scan.first, last));
    last = scan.last;
    taking += scan.taking;
    code_min = std::min(code_min, scan.code_min);
    code_max = std::max(code_max, scan.code_max);
  }
  if (ordered) {
    grouping.rows.reserve(taking);
    for (std::size_t r = 0; r < n; ++r) {
      if (std::isfinite(close[r])) grouping.rows.push_back(r);
    }
    split_groups(grouping, grouping.rows.size(), [&](std::size_t j) { return code[grouping.rows[j]]; });
    return grouping;
  }

  // Otherwise the bars move, in one stable pass, to the stretch of their
  // code; each group orders its own bars by date when it is gathered. A
  // counting pass finds the stretches when the codes span a range no
  // larger than the table (the usual exchange codes): each chunk counts its
  // codes, and writes its bars after those of the chunks before it. A radix
  // sort on the code otherwise.
  KeyedBars& bars = grouping.bars;
  bars.resize(taking);
  if (code_max - code_min <= taking + 65536) {
    const std::size_t codes = code_max - code_min + 1;
    std::vector<std::vector<std::size_t>> next(chunks);
    for_each(chunks, [&](std::size_t c) {
      next[c].assign(codes, 0);
      for (std::size_t r = chunk_begin(c); r < chunk_begin(c + 1); ++r) {
        if (std::isfinite(close[r])) ++next[c][code[r] - code_min];
      }
    });
    std::size_t offset = 0;
    for (std::size_t k = 0; k < codes; ++k) {
      const std::size_t group_first = offset;
      for (std::vector<std::size_t>& counts : next) offset += std::exchange(counts[k], offset);
      if (offset != group_first) grouping.groups.push_back({code_min + k, group_first, offset - group_first});
    }
    for_each(chunks, [&](std::size_t c) {
      std::vector<std::size_t>& slot = next[c];
      for (std::size_t r = chunk_begin(c); r < chunk_begin(c + 1); ++r) {
        if (!std::isfinite(close[r])) continue;
        const std::size_t j = slot[code[r] - code_min]++;
        // The stretches fill far apart: ask for the line this code's next
        // bars go to now, so that writing them later does not wait for it.
        __builtin_prefetch(&bars[j] + 6, 1);
        bars[j] = bar_of(in, r);
      }
    });
    return grouping;
  }
  for (std::size_t r = 0, j = 0; r < n; ++r) {
    if (std::isfinite(close[r])) bars[j++] = bar_of(in, r);
  }
  sort_by_key(bars);
  split_groups(grouping, bars.size(), [&](std::size_t j) { return bars[j].key; });
  return grouping;
}

GroupSeries gather(const Grouping& grouping, const SecurityGroup& group, const BatchInput& in) {
  const std::size_t m = group.count;
  GroupSeries g;
  SeriesView GroupSeries::*const fields[] = {&GroupSeries::close, &GroupSeries::high, &GroupSeries::low,
                                             &GroupSeries::open, &GroupSeries::volume};
  if (!grouping.bars.empty()) {  // the group's bars, in input order: copied out by date
    const KeyedBar* bars = grouping.bars.data() + group.first;
    KeyedRows by_date(m);
    for (std::size_t j = 0; j < m; ++j) by_date[j] = {date_key(bars[j].date), j};
    sort_by_key(by_date);
    double KeyedBar::*const values[] = {&KeyedBar::close, &KeyedBar::high, &KeyedBar::low, &KeyedBar::open,
                                        &KeyedBar::volume};
    for (std::size_t k = 0; k < 5; ++k) {
      Series& copy = g.copies[k];
      copy.resize(m);
      for (std::size_t j = 0; j < m; ++j) copy[j] = bars[by_date[j].row].*values[k];
      g.*fields[k] = copy;
    }
    g.date_copy.resize(m);
    for (std::size_t j = 0; j < m; ++j) g.date_copy[j] = bars[by_date[j].row].date;
    g.date = g.date_copy;
    return g;
  }

  const std::size_t* rows = grouping.rows_of(group);
  const SeriesView columns[] = {in.close, in.high, in.low, in.open, in.volume};
  bool consecutive = true;
  for (std::size_t j = 0; j < m && consecutive; ++j) consecutive = rows[j] == rows[0] + j;
  if (consecutive) {  // one run of input rows: read in place
    const std::size_t first = m == 0 ? 0 : rows[0];
    for (std::size_t k = 0; k < 5; ++k) g.*fields[k] = columns[k].sub(first, m);
    g.date = KeyView<std::int64_t>(in.date.data() + first, m);
    return g;
  }
  for (std::size_t k = 0; k < 5; ++k) {  // rows in order with gaps (skipped bars): copied
    Series& copy = g.copies[k];
    copy.resize(m);
    for (std::size_t j = 0; j < m; ++j) copy[j] = columns[k][rows[j]];
    g.*fields[k] = copy;
  }
  g.date_copy.resize(m);
  for (std::size_t j = 0; j < m; ++j) g.date_copy[j] = in.date[rows[j]];
  g.date = g.date_copy;
  return g;
}

}  // namespace tarvex
