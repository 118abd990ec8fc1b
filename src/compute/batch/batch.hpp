// Whole-market tables: many indicators for many securities in one call.
#pragma once

#include <functional>
#include <memory>
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
  // With BatchInput::sources: each row's input row. How many rows repeat
  // the code and date of the row before them.
  std::vector<std::int64_t, BlockAllocator<std::int64_t>> sources;
  std::size_t repeats = 0;
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
  SeriesView amount{};  // read only by the groupings that ask for it (period bars)
  bool sources = false;  // whether the table says where each row came from (BatchTable::sources)
};

// Runs body(k) once for every k in [0, count), in any order, on any thread.
// The engine hands it the security groups, which write disjoint rows of the
// table, so the result is the same however they are spread.
using ForEachGroup = std::function<void(std::size_t count, const std::function<void(std::size_t)>& body)>;

// The groups spread over the thread pool, on `threads` threads (0: the
// default count); the calling thread asks `poll` every few tens of
// milliseconds whether to stop (see parallel_for).
ForEachGroup on_pool(std::size_t threads, std::function<bool()> poll);

// Whether a run reads a table that came ordered by code and date in place,
// or copies out the bars of every table, so that its caller may free the
// input as soon as the run is made.
enum class Bars { kInPlace, kCopied };

// One security's rows of a table, computed: its code, its dates in order
// and one series per column.
struct GroupRows {
  std::uint64_t code = 0;
  std::vector<std::int64_t, BlockAllocator<std::int64_t>> dates;
  SeriesList columns;
};

// A whole-market computation made ready: its input checked, its tasks
// built and its rows grouped by security (through `for_each`). Each group
// is then computed on its own, on any thread, into its rows of the table
// (groups lie in code order, and write disjoint rows) or handed out whole.
// The run reads the input's columns while it lives; made with Bars::kCopied,
// it reads nothing of the input once made.
//
// Indicator names come lower-cased: the caller maps them (with the full
// Unicode mapping) before the computation starts.
class BatchRun {
 public:
  // BATCH's columns: every task's fields.
  BatchRun(const BatchInput& in, const ForEachGroup& for_each, Bars bars = Bars::kInPlace);
  // BATCH_CROSS's columns: the cross signals, after the fields when keep_values.
  BatchRun(const BatchInput& in, bool keep_values, const ForEachGroup& for_each, Bars bars = Bars::kInPlace);
  ~BatchRun();
  BatchRun(const BatchRun&) = delete;
  BatchRun& operator=(const BatchRun&) = delete;

  const std::vector<std::string>& columns() const;
  std::size_t rows() const;
  std::size_t groups() const;

  // The table laid out, every column at full length and unwritten, so that
  // each group first touches its own stretch on whichever thread computes it.
  BatchTable lay_out() const;
  // Computes group k into its rows of the table; returns how many of them
  // repeat the date of the row before them.
  std::size_t compute_into(BatchTable& table, std::size_t k) const;
  GroupRows compute(std::size_t k) const;

  // Groups 0 to k are computed, never to be again: the memory of what the
  // grouping copied out for them goes back to the system.
  void release_through(std::size_t k);

 private:
  struct Plan;
  std::unique_ptr<Plan> plan_;
};

// The columns of a BATCH table of these names and parameters (cross false),
// or of a BATCH_CROSS table; found without reading a table, with the same
// failures as a run.
std::vector<std::string> table_columns(const std::vector<std::string>& names,
                                       const std::vector<std::vector<std::uint64_t>>& params, bool cross,
                                       bool keep_values);

BatchTable BATCH(const BatchInput& in, const ForEachGroup& for_each);
BatchTable BATCH_CROSS(const BatchInput& in, bool keep_values, const ForEachGroup& for_each);

}  // namespace tarvex
