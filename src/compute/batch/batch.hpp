// Whole-market tables: many indicators for many securities in one call.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "series/series.hpp"

namespace tarvex {

// Flat result of BATCH and BATCH_CROSS: one row per kept input row, grouped by
// ascending code and ascending date; one column per field name.
struct BatchTable {
  std::vector<std::uint64_t, BlockAllocator<std::uint64_t>> codes;
  std::vector<std::int64_t, BlockAllocator<std::int64_t>> dates;
  std::vector<std::string> fields;
  SeriesList columns;
};

struct BatchInput {
  const std::vector<std::string>& names;
  const std::vector<std::vector<std::uint64_t>>& params;
  KeyView<std::uint64_t> code;
  KeyView<std::int64_t> date;
  SeriesView open;
  SeriesView high;
  SeriesView low;
  SeriesView close;
  SeriesView volume;
};

// Runs body(k) once for every k in [0, count), in any order, on any thread.
// The engine hands it the security groups, which write disjoint rows of the
// table, so the result is the same however they are spread.
using ForEachGroup = std::function<void(std::size_t count, const std::function<void(std::size_t)>& body)>;

// The groups spread over the thread pool, on `threads` threads (0: the
// default count); the calling thread asks `poll` every few tens of
// milliseconds whether to stop (see parallel_for).
ForEachGroup on_pool(std::size_t threads, std::function<bool()> poll);

// Indicator names come lower-cased: the caller maps them (with the full
// Unicode mapping) before the computation starts.
BatchTable BATCH(const BatchInput& in, const ForEachGroup& for_each);
BatchTable BATCH_CROSS(const BatchInput& in, bool keep_values, const ForEachGroup& for_each);

}  // namespace tarvex
