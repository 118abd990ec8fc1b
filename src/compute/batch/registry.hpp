// The batch indicators: the registry's functions the whole-market tables
// offer, under their lower-case names, with their parameter defaults,
// output field names and crossing pairs, each run on a security's gathered
// series.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "batch/batch.hpp"
#include "batch/table.hpp"
#include "registry/registry.hpp"

namespace tarvex {

// p0, p1, ... one per numeric parameter of the indicator, always complete
// (defaults applied, a 0 replaced by its default).
using ParamSet = std::vector<std::uint64_t>;

// Where one argument of an indicator's routine comes from.
struct Source {
  enum class From { Column, Param, Rounding } from;
  PriceColumn column;  // From::Column
  std::size_t slot;             // From::Param: index into the ParamSet
  registry::ArgKind kind;
};

struct Indicator {
  std::string name;  // lower case
  const registry::Function* function;
  ParamSet defaults;  // the batch defaults, else the function's own
  // One task per value when given two or more values; its single field is
  // the name followed by p0 in decimal.
  bool expanding;
  std::vector<std::string> fields;  // output field names of a non-expanding indicator
  std::vector<Source> sources;      // the routine's arguments in order
  std::uint64_t divisor;            // a scalar-or-series argument is p / divisor
};

// Every batch indicator in registry order.
const std::vector<Indicator>& indicators();

struct Task {
  const Indicator* indicator;
  std::size_t name_index;  // position of its name in names_in
  ParamSet params;
  std::vector<std::string> fields;
};

// Tasks in names_in order, an expanding indicator's values in list order.
// Names come lower-cased. Throws ValueError "unsupported indicator: <name>".
std::vector<Task> build_tasks(const std::vector<std::string>& names,
                              const std::vector<std::vector<std::uint64_t>>& params);

// The concatenated field names of all tasks, in task order.
std::vector<std::string> field_names(const std::vector<Task>& tasks);

// The price columns the tasks read (the grouping adds close, which decides
// the rows, itself).
ColumnSet columns_read(const std::vector<Task>& tasks);

// Appends the task's outputs (one Series per field name) to `out`.
void compute_task(const Task& task, const GroupSeries& g, SeriesList& out);

}  // namespace tarvex
