#include "batch/order.hpp"

#include <algorithm>
#include <utility>

#include "batch/table.hpp"
#include "runtime/pool.hpp"

namespace tarvex {
namespace {

// The rows grouped by code (in code order, each code's rows in the given
// order) as (date key, row) items, and each code's first position. Codes
// within a span a table of counts holds take one counting pass, each row
// moved once; wider ones go through the radix sort.
using Keys = std::vector<std::uint64_t, BlockAllocator<std::uint64_t>>;

KeyedRows by_code(const Keys& codes, const Keys& dates, std::vector<std::int64_t>& starts) {
  const std::size_t n = codes.size();
  KeyedRows items(n);
  if (n == 0) return items;
  auto date_of = [&](std::size_t r) { return dates.empty() ? 0 : dates[r]; };
  const auto [low_at, high_at] = std::minmax_element(codes.begin(), codes.end());
  const std::uint64_t low = *low_at, span = *high_at - low;
  constexpr std::uint64_t kCountedSpan = std::uint64_t{1} << 18;
  if (span >= kCountedSpan) {
    for (std::size_t r = 0; r < n; ++r) items[r] = {codes[r], r};
    sort_by_key(items);
    for (std::size_t j = 0; j < n; ++j) {
      if (j == 0 || items[j].key != items[j - 1].key) starts.push_back(static_cast<std::int64_t>(j));
    }
    for (KeyedRow& item : items) item.key = date_of(item.row);
    return items;
  }
  // A counting sort in a fixed number of chunks of rows, so that the result
  // does not depend on the threads: each chunk counts its rows of every
  // code, then moves them after those of the chunks before it, which keeps
  // each code's rows in the given order.
  const std::size_t securities = static_cast<std::size_t>(span) + 1;
  const std::size_t chunks = std::clamp<std::size_t>(std::min(n / 65536, n / (8 * securities)), 1, 16);
  const auto begin = [&](std::size_t c) { return c * n / chunks; };
  std::vector<std::vector<std::size_t>> next(chunks);
  parallel_for(chunks, 0, 1, [&](std::size_t c) {
    std::vector<std::size_t> counts(securities, 0);
    for (std::size_t r = begin(c), end = begin(c + 1); r < end; ++r) ++counts[codes[r] - low];
    next[c] = std::move(counts);
  });
  std::size_t offset = 0;
  for (std::size_t k = 0; k < securities; ++k) {
    const std::size_t first = offset;
    for (std::vector<std::size_t>& counts : next) offset += std::exchange(counts[k], offset);
    if (offset != first) starts.push_back(static_cast<std::int64_t>(first));
  }
  parallel_for(chunks, 0, 1, [&](std::size_t c) {
    std::size_t* const slot = next[c].data();
    for (std::size_t r = begin(c), end = begin(c + 1); r < end; ++r) {
      const std::size_t j = slot[codes[r] - low]++;
      // The codes' stretches fill far apart: the line this code's next row
      // goes to is asked for now, so that writing it then does not wait.
      if (j + 1 < n) __builtin_prefetch(items.data() + j + 1, 1);
      items[j] = {date_of(r), r};
    }
  });
  return items;
}

}  // namespace

RowOrder order_rows(KeyView<std::int64_t> code, KeyView<std::int64_t> date) {
  const std::size_t n = code.size();
  const bool dated = date.size() != 0;
  if (dated) check_same_length(n, {date.size()});
  Keys codes(n), dates(dated ? n : 0);
  for (std::size_t r = 0; r < n; ++r) codes[r] = date_key(code[r]);
  for (std::size_t r = 0; r < dates.size(); ++r) dates[r] = date_key(date[r]);
  RowOrder out;
  KeyedRows items = by_code(codes, dates, out.starts);
  out.rows.resize(n);
  out.dates.resize(dated ? n : 0);
  // Each security's rows by date, stably, in place: a stretch that stays in
  // cache. Securities are independent, so they are sorted on the pool.
  const std::size_t groups = out.starts.size();
  std::vector<std::size_t> repeats(groups, 0);
  parallel_for(groups, 0, 16, [&](std::size_t k) {
    const std::size_t first = static_cast<std::size_t>(out.starts[k]);
    const std::size_t end = k + 1 < groups ? static_cast<std::size_t>(out.starts[k + 1]) : n;
    KeyedRows group(items.begin() + first, items.begin() + end);
    if (dated) sort_by_key(group);
    for (std::size_t j = 0; j < group.size(); ++j) {
      out.rows[first + j] = static_cast<std::int64_t>(group[j].row);
      if (!dated) continue;
      out.dates[first + j] = static_cast<std::int64_t>(group[j].key ^ (std::uint64_t{1} << 63));  // date_key undone
      if (j > 0 && group[j].key == group[j - 1].key) ++repeats[k];
    }
  });
  for (std::size_t r : repeats) out.repeats += r;
  return out;
}

RowColumn take_rows(KeyView<std::int64_t> rows, KeyView<std::int64_t> column, std::size_t threads,
                    const std::function<bool()>& poll) {
  const std::size_t n = rows.size(), size = column.size();
  RowColumn out(n);
  // Stretches of the result large enough that handing them out costs
  // nothing, small enough that both threads finish together.
  constexpr std::size_t kStretch = std::size_t{1} << 16;
  parallel_for((n + kStretch - 1) / kStretch, threads, 1, [&](std::size_t k) {
    const std::size_t first = k * kStretch, last = std::min(n, first + kStretch);
    // The rows are checked first, so the gather itself is a plain loop
    // that asks for the items a few dozen rows ahead.
    for (std::size_t j = first; j < last; ++j) {
      if (static_cast<std::uint64_t>(rows[j]) >= size) throw ValueError("a row lies outside the column");
    }
    constexpr std::size_t kAhead = 32;
    const std::int64_t* at = rows.data();
    const std::int64_t* from = column.data();
    std::int64_t* to = out.data();
    for (std::size_t j = first; j < last; ++j) {
      if (j + kAhead < last) __builtin_prefetch(from + std::min<std::uint64_t>(static_cast<std::uint64_t>(at[j + kAhead]), size - 1));
      to[j] = from[static_cast<std::uint64_t>(at[j]) < size ? at[j] : 0];
    }
  }, poll);
  return out;
}

}  // namespace tarvex
