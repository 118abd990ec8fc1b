// The batch indicator registry: short lower-case names, their parameter
// defaults, output field names, and the compute routine each one runs on a
// security's gathered series.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "batch/batch.hpp"
#include "batch/table.hpp"

namespace tarvex {

// p0..p3, always complete (defaults applied, a 0 replaced by its default).
using ParamSet = std::array<std::uint64_t, 4>;

struct Indicator {
  const char* name;
  std::array<std::uint64_t, 3> defaults;  // p3 defaults to 20 for every name
  // One task per value when given two or more values; its single field is
  // the name followed by p0 in decimal.
  bool expanding;
  // Output field names of a non-expanding indicator, unused slots null.
  std::array<const char*, 4> fields;
  SeriesList (*compute)(const GroupSeries& g, const ParamSet& p);
};

struct Task {
  const Indicator* indicator;
  std::size_t name_index;  // position of its name in names_in
  ParamSet params;
  std::vector<std::string> fields;
};

// Tasks in names_in order, an expanding indicator's values in list order.
// Throws ValueError "unsupported indicator: <lower-cased name>".
std::vector<Task> build_tasks(const std::vector<std::string>& names,
                              const std::vector<std::vector<std::uint64_t>>& params, const LowerCase& lower);

// The concatenated field names of all tasks, in task order.
std::vector<std::string> field_names(const std::vector<Task>& tasks);

// Appends the task's outputs (one Series per field name) to `out`.
void compute_task(const Task& task, const GroupSeries& g, SeriesList& out);

}  // namespace tarvex
