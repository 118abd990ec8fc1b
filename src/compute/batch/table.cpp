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
  // the stable sort below keeps that order among equal dates. Each entry
  // carries its date so the sort does not chase rows across the table.
  using Entry = std::pair<std::int64_t, std::size_t>;
  std::map<std::uint64_t, std::vector<Entry>> by_code;
  auto current = by_code.end();  // rows of one code often come in runs
  for (std::size_t r = 0; r < close.size(); ++r) {
    if (!std::isfinite(close[r])) continue;
    if (current == by_code.end() || current->first != code[r]) current = by_code.try_emplace(code[r]).first;
    current->second.emplace_back(date[r], r);
  }

  std::vector<SecurityGroup> groups;
  groups.reserve(by_code.size());
  for (auto& [c, entries] : by_code) {
    const auto by_date = [](const Entry& a, const Entry& b) { return a.first < b.first; };
    if (!std::is_sorted(entries.begin(), entries.end(), by_date)) {
      std::stable_sort(entries.begin(), entries.end(), by_date);
    }
    SecurityGroup g{c, {}};
    g.rows.reserve(entries.size());
    for (const Entry& e : entries) g.rows.push_back(e.second);
    groups.push_back(std::move(g));
    std::vector<Entry>().swap(entries);
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
