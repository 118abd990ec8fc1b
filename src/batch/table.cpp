#include "batch/table.hpp"

#include <algorithm>
#include <cmath>
#include <map>
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

std::vector<SecurityGroup> group_rows(const std::vector<std::uint64_t>& code,
                                      const std::vector<std::int64_t>& date, const Series& close) {
  // One pass in input order, so every row list starts out in input order and
  // the stable sort below keeps that order among equal dates.
  std::map<std::uint64_t, std::vector<std::size_t>> by_code;
  for (std::size_t r = 0; r < close.size(); ++r) {
    if (std::isfinite(close[r])) by_code[code[r]].push_back(r);
  }

  std::vector<SecurityGroup> groups;
  groups.reserve(by_code.size());
  for (auto& [c, rows] : by_code) {
    std::stable_sort(rows.begin(), rows.end(),
                     [&date](std::size_t a, std::size_t b) { return date[a] < date[b]; });
    groups.push_back(SecurityGroup{c, std::move(rows)});
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
