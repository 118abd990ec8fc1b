// Column-table input of the whole-market functions: validation, ordering of
// rows by code or date, grouping of the rows per security, and gathering of
// one security's series.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "batch/batch.hpp"

namespace tarvex {

// Throws ValueError unless every length in `others` equals `n`.
void check_same_length(std::size_t n, std::initializer_list<std::size_t> others);

// Lengths of the seven columns first, then a non-empty name list.
void check_table(const BatchInput& in);

// A row with the key it is ordered by.
struct KeyedRow {
  std::uint64_t key;
  std::size_t row;
};

// The price columns of a table, in this order wherever they are numbered.
enum PriceColumn : std::size_t { kClose, kHigh, kLow, kOpen, kVolume, kAmount, kPriceColumns };
// Their names, as the registry's bar columns and the frames call them.
inline constexpr const char* kPriceColumnNames[kPriceColumns] = {"close", "high", "low", "open", "volume", "amount"};

// Which price columns a computation reads: bit c for column c. Close is
// always read (it decides which rows take part).
using ColumnSet = unsigned;

using KeyedRows = std::vector<KeyedRow, BlockAllocator<KeyedRow>>;

// Orders `items` by ascending key, stably (equal keys keep their order). A
// least-significant-digit radix sort over the span of the keys, eight to
// eleven bits a pass: the cost is linear in the number of items whatever the
// key values are; no chain of colliding keys or comparisons an unlucky or
// hostile set of codes can lengthen.
void sort_by_key(KeyedRows& items);

// The end of the run of equal keys that starts at `first` in sorted items.
std::size_t run_end(const KeyedRows& items, std::size_t first);

// The rows of a table cut into a few chunks, spread like the groups: a fixed
// number for a given table, so the result is the same however many threads
// take them. A chunk that keeps a count for each of `securities` gets at
// least eight rows a count, so that the counts of all chunks stay within
// the table's size.
struct Chunks {
  std::size_t rows, count;
  explicit Chunks(std::size_t n, std::size_t securities = 0)
      : rows(n),
        count(std::clamp<std::size_t>(std::min(n / 65536, securities == 0 ? n : n / (8 * securities)), 1, 16)) {}
  std::size_t begin(std::size_t c) const { return c * rows / count; }
};

// The lowest and highest of the `n` keys (both zero when there are none),
// the chunks read side by side through `for_each`.
template <class Key>
std::pair<Key, Key> key_range(const Key* keys, std::size_t n, const ForEachGroup& for_each) {
  if (n == 0) return {Key{}, Key{}};
  const Chunks chunks(n);
  std::vector<std::pair<Key, Key>> ranges(chunks.count, {keys[0], keys[0]});
  for_each(chunks.count, [&](std::size_t c) {
    const std::size_t begin = chunks.begin(c), end = chunks.begin(c + 1);
    if (begin == end) return;
    // Four running ranges, so that the comparisons do not wait on each other.
    Key low[4], high[4];
    std::fill(low, low + 4, keys[begin]);
    std::fill(high, high + 4, keys[begin]);
    std::size_t r = begin;
    for (; r + 4 <= end; r += 4) {
      for (std::size_t k = 0; k < 4; ++k) {
        low[k] = std::min(low[k], keys[r + k]);
        high[k] = std::max(high[k], keys[r + k]);
      }
    }
    for (; r < end; ++r) {
      low[0] = std::min(low[0], keys[r]);
      high[0] = std::max(high[0], keys[r]);
    }
    ranges[c] = {std::min({low[0], low[1], low[2], low[3]}), std::max({high[0], high[1], high[2], high[3]})};
  });
  std::pair<Key, Key> out = ranges[0];
  for (const auto& [low, high] : ranges) {
    out.first = std::min(out.first, low);
    out.second = std::max(out.second, high);
  }
  return out;
}

// The key under which signed dates sort in their own order.
inline std::uint64_t date_key(std::int64_t date) {
  return static_cast<std::uint64_t>(date) ^ (std::uint64_t{1} << 63);
}

// The taking-part rows of one security: rows[first .. first + count) of its
// grouping, sorted by date (stable). `first` is also where the group starts
// in a table of every group's rows in order.
struct SecurityGroup {
  std::uint64_t code;
  std::size_t first;
  std::size_t count;
};

// Rows with a finite close, grouped by code in ascending code order: either
// the input rows of every group, group after group, by date (a table that
// came ordered), or the bars themselves moved to their group's stretch, in
// input order there (the group orders them by date when it is gathered).
// A moved bar is `width` values: its date's bits, then the price columns
// read, in column order, then (when the input asks for its sources) its
// row's bits.
struct Grouping {
  std::vector<std::size_t, BlockAllocator<std::size_t>> rows;
  Series bars;
  std::size_t width = 0;
  std::vector<PriceColumn> columns;  // moved and gathered, in column order
  std::vector<SecurityGroup> groups;

  std::size_t size() const { return width == 0 ? rows.size() : bars.size() / width; }  // rows of every group
  const std::size_t* rows_of(const SecurityGroup& g) const { return rows.data() + g.first; }
};

// Only the price columns in `columns` (and close) are moved and gathered.
// Parts of the work go through `for_each`, as the groups' computations do.
// Bars::kCopied moves the bars of an ordered table too.
Grouping group_rows(const BatchInput& in, ColumnSet columns, const ForEachGroup& for_each, Bars bars);

// One group's columns (those its grouping moved), element j of its rows by
// date: views straight into the input when the rows are one consecutive
// run (a table ordered by code and date), otherwise views of contiguous
// copies the group owns.
struct GroupSeries {
  GroupSeries() = default;
  GroupSeries(GroupSeries&&) = default;  // a moved vector keeps its memory, so the views stay valid
  GroupSeries(const GroupSeries&) = delete;
  GroupSeries& operator=(const GroupSeries&) = delete;

  SeriesView prices[kPriceColumns];  // by PriceColumn
  KeyView<std::int64_t> date;
  Series copies[kPriceColumns];
  std::vector<std::int64_t, BlockAllocator<std::int64_t>> date_copy;
  // The input row of each element (when the input asks for its sources),
  // and how many elements repeat the date of the one before them.
  std::vector<std::int64_t, BlockAllocator<std::int64_t>> sources;
  std::size_t repeats = 0;
};

GroupSeries gather(const Grouping& grouping, const SecurityGroup& group, const BatchInput& in);

}  // namespace tarvex
