// The time order of a market's rows: by code, then by date within a code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "batch/batch.hpp"
#include "runtime/blocks.hpp"
#include "series/series.hpp"

namespace tarvex {

// Long columns live in the runtime's blocks: a fresh column of a market's
// length would otherwise be zeroed and faulted in page by page at every call.
using RowColumn = std::vector<std::int64_t, BlockAllocator<std::int64_t>>;

struct RowOrder {
  RowColumn rows;                    // the rows by code, then date; ties in the given order
  std::vector<std::int64_t> starts;  // the position of each code's first row among `rows`
  std::size_t repeats = 0;           // rows whose code and date equal those of the row before them
  RowColumn dates;                   // the date of each of `rows`, in their order (empty without dates)
  std::vector<RowColumn> columns;    // each column asked for at `rows`, as bits
};

// Orders the rows of `code` and `date` (signed 64-bit keys, equal lengths;
// `date` may be empty: by code alone, given order within), and moves the
// items of each of `columns` (any 8-byte items, as bits) into that order on
// the way. Each key and item is read once, so a column written while this
// runs cannot make the order inconsistent (a code that leaves the range
// first read is a ValueError). Parts of the work go through `for_each`; the
// result does not depend on how it spreads them.
RowOrder order_rows(KeyView<std::int64_t> code, KeyView<std::int64_t> date,
                    const std::vector<KeyView<std::int64_t>>& columns, const ForEachGroup& for_each);

// The items of `column` at `rows`, in the order of `rows`, copied as bits (a
// column of any 8-byte items read as integers), on up to `threads` threads
// (0: the default). A gather over rows in random order waits on memory at
// every item; the threads wait side by side. A row outside the column is a
// ValueError. `poll` as for parallel_for.
RowColumn take_rows(KeyView<std::int64_t> rows, KeyView<std::int64_t> column, std::size_t threads,
                    const std::function<bool()>& poll = {});

}  // namespace tarvex
