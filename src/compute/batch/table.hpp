// Column-table input of the whole-market functions: validation, ordering of
// rows by code or date, grouping of the rows per security, and gathering of
// one security's series.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
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

// Orders `items` by ascending key, stably (equal keys keep their order). A
// least-significant-byte radix sort: one counting pass per key byte that is
// not the same in every item, so the cost is linear in the number of items
// whatever the key values are; no chain of colliding keys or comparisons an
// unlucky or hostile set of codes can lengthen.
void sort_by_key(std::vector<KeyedRow>& items);

// The end of the run of equal keys that starts at `first` in sorted items.
std::size_t run_end(const std::vector<KeyedRow>& items, std::size_t first);

// The key under which signed dates sort in their own order.
inline std::uint64_t date_key(std::int64_t date) {
  return static_cast<std::uint64_t>(date) ^ (std::uint64_t{1} << 63);
}

// The taking-part rows of one security, sorted by date (stable).
struct SecurityGroup {
  std::uint64_t code;
  std::vector<std::size_t> rows;
};

// Rows with a finite close, grouped by code in ascending code order.
std::vector<SecurityGroup> group_rows(KeyView<std::uint64_t> code, KeyView<std::int64_t> date, SeriesView close);

// One group's columns, element j taken from rows[j]: views straight into
// the input when the rows are one consecutive run (a table ordered by code
// and date), otherwise views of contiguous copies the group owns.
struct GroupSeries {
  GroupSeries() = default;
  GroupSeries(GroupSeries&&) = default;  // a moved vector keeps its memory, so the views stay valid
  GroupSeries(const GroupSeries&) = delete;
  GroupSeries& operator=(const GroupSeries&) = delete;

  SeriesView close, high, low, open, volume;
  Series copies[5];
};

GroupSeries gather(const SecurityGroup& group, const BatchInput& in);

}  // namespace tarvex
