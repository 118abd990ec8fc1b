// The compute routines the array module serves, each bound to its C++
// signature: the kinds of its arguments are deduced from the parameter
// types, so a row names the routine and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "series/series.hpp"

namespace tarvex::native {

// What a routine's parameter takes from the caller.
enum class ArgKind { Series, ScalarOrSeries, U64, U32, Float };

// One argument as the module received it; `series` views caller memory.
struct Arg {
  bool is_series = false;
  SeriesView series;
  double number = 0.0;
  std::uint64_t integer = 0;
};

// A routine's result on one stretch of bars [first, first + count): one
// Series per output, or for a routine with a number for a result (RET) one
// Series holding that number.
using Invoke = SeriesList (*)(const std::vector<Arg>& args, std::size_t first, std::size_t count);

struct Routine {
  const char* name;
  std::vector<ArgKind> kinds;
  bool scalar_result;  // one value per stretch instead of one per bar
  Invoke invoke;
};

// Every routine in the order of tarvex_core's function table.
const std::vector<Routine>& routines();

}  // namespace tarvex::native
