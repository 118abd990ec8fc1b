// Column-table input of the whole-market functions: validation, grouping of
// the rows per security, and gathering of one security's series.
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

// The taking-part rows of one security, sorted by date (stable).
struct SecurityGroup {
  std::uint64_t code;
  std::vector<std::size_t> rows;
};

// Rows with a finite close, grouped by code in ascending code order.
std::vector<SecurityGroup> group_rows(const std::vector<std::uint64_t>& code,
                                      const std::vector<std::int64_t>& date, const Series& close);

// Contiguous copies of one group's columns, element j taken from rows[j].
struct GroupSeries {
  Series close, high, low, open, volume;
};

GroupSeries gather(const SecurityGroup& group, const BatchInput& in);

}  // namespace tarvex
