#include "batch/order.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

#include "batch/table.hpp"
#include "runtime/pool.hpp"

namespace tarvex {
namespace {

using Numbers = std::vector<std::uint32_t, BlockAllocator<std::uint32_t>>;
using Records = std::vector<std::uint64_t, BlockAllocator<std::uint64_t>>;

// Each row's security, numbered 0 .. securities - 1 in code order, and the
// count of each security's rows in each chunk (the counting sort's first
// pass). Codes within a span about the market's size are numbered by their
// offset from the lowest, counted as they are numbered; wider ones by their
// rank among the codes, which a radix sort finds.
struct Numbering {
  Numbers numbers;
  std::size_t securities = 0;
  std::vector<std::vector<std::size_t>> counts;  // by chunk, then security
};

Numbering number_rows(KeyView<std::int64_t> code, const ForEachGroup& for_each) {
  const std::size_t n = code.size();
  if (n >= std::size_t{1} << 32) throw ValueError("a market of 2**32 rows or more cannot be ordered");
  Numbering out;
  out.numbers.resize(n);
  const auto [low, high] = key_range(code.data(), n, for_each);
  const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
  const bool by_offset = span < n + 65536;
  std::vector<std::uint64_t> ranked;  // the distinct codes' keys, ascending, when numbered by rank
  if (by_offset) {
    out.securities = static_cast<std::size_t>(span) + 1;
  } else {
    KeyedRows items(n);
    for (std::size_t r = 0; r < n; ++r) items[r] = {date_key(code[r]), r};
    sort_by_key(items);
    for (const KeyedRow& item : items) {
      if (ranked.empty() || ranked.back() != item.key) ranked.push_back(item.key);
      out.numbers[item.row] = static_cast<std::uint32_t>(ranked.size() - 1);
    }
    out.securities = ranked.size();
  }
  const Chunks chunks(n, out.securities);
  out.counts.resize(chunks.count);
  std::atomic<bool> moved{false};
  for_each(chunks.count, [&](std::size_t c) {
    std::vector<std::size_t> counts(out.securities, 0);
    std::uint32_t* const numbers = out.numbers.data();
    for (std::size_t r = chunks.begin(c), end = chunks.begin(c + 1); r < end; ++r) {
      if (by_offset) {
        const std::uint64_t offset = static_cast<std::uint64_t>(code[r]) - static_cast<std::uint64_t>(low);
        if (offset >= out.securities) {
          moved.store(true, std::memory_order_relaxed);
          numbers[r] = 0;
          continue;
        }
        numbers[r] = static_cast<std::uint32_t>(offset);
      }
      ++counts[numbers[r]];
    }
    out.counts[c] = std::move(counts);
  });
  if (moved.load()) throw ValueError("the code column changed while it was read");
  return out;
}

// The moved rows: a record a row, its head (its date and its row) and then
// its items of the columns asked for. Where the dates span less than 2**32
// (and the rows are fewer, which number_rows sees to), the head is one
// word, the date's offset from the lowest above the row, so that a record
// of a formula's close column is two words rather than three: the moves
// are what the sort spends its time on.
struct Head {
  bool packed = false;
  std::int64_t low = 0;  // the lowest date, when packed

  std::size_t words() const { return packed ? 1 : 2; }
  void write(std::uint64_t* record, std::int64_t date, std::size_t row) const {
    if (packed) {
      record[0] = (static_cast<std::uint64_t>(date) - static_cast<std::uint64_t>(low)) << 32 | row;
    } else {
      record[0] = date_key(date);
      record[1] = row;
    }
  }
  // Ordered as the dates are.
  std::uint64_t date_order(const std::uint64_t* record) const { return packed ? record[0] >> 32 : record[0]; }
  std::int64_t date(const std::uint64_t* record) const {
    return packed ? static_cast<std::int64_t>((record[0] >> 32) + static_cast<std::uint64_t>(low))
                  : static_cast<std::int64_t>(record[0] ^ (std::uint64_t{1} << 63));  // date_key undone
  }
  std::int64_t row(const std::uint64_t* record) const {
    return static_cast<std::int64_t>(packed ? record[0] & 0xffffffffU : record[1]);
  }
};

Head head_for(KeyView<std::int64_t> date, const ForEachGroup& for_each) {
  if (date.size() == 0) return {true, 0};
  const auto [low, high] = key_range(date.data(), date.size(), for_each);
  return {static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low) < (std::uint64_t{1} << 32), low};
}

}  // namespace

RowOrder order_rows(KeyView<std::int64_t> code, KeyView<std::int64_t> date,
                    const std::vector<KeyView<std::int64_t>>& columns, const ForEachGroup& for_each) {
  const std::size_t n = code.size();
  const bool dated = date.size() != 0;
  if (dated) check_same_length(n, {date.size()});
  for (const KeyView<std::int64_t>& c : columns) check_same_length(n, {c.size()});
  RowOrder out;
  out.rows.resize(n);
  out.dates.resize(dated ? n : 0);
  out.columns.resize(columns.size());
  for (RowColumn& c : out.columns) c.resize(n);
  if (n == 0) return out;

  // A counting sort by security: each chunk moves its rows after those of
  // the chunks before it, which keeps each security's rows in the given
  // order.
  Numbering numbering = number_rows(code, for_each);
  std::size_t offset = 0;
  for (std::size_t k = 0; k < numbering.securities; ++k) {
    const std::size_t first = offset;
    for (std::vector<std::size_t>& counts : numbering.counts) offset += std::exchange(counts[k], offset);
    if (offset != first) out.starts.push_back(static_cast<std::int64_t>(first));
  }
  const Head head = head_for(date, for_each);
  const std::size_t width = head.words() + columns.size();
  Records records(n * width);
  const Chunks chunks(n, numbering.securities);
  for_each(chunks.count, [&](std::size_t c) {
    std::size_t* const slot = numbering.counts[c].data();
    const std::uint32_t* const numbers = numbering.numbers.data();
    std::uint64_t* const to = records.data();
    for (std::size_t r = chunks.begin(c), end = chunks.begin(c + 1); r < end; ++r) {
      const std::size_t j = slot[numbers[r]]++;
      std::uint64_t* record = to + j * width;
      // The securities' stretches fill far apart: the line this security's
      // next record goes to is asked for now, so that writing it then does
      // not wait.
      if (j + 1 < n) __builtin_prefetch(record + width, 1);
      head.write(record, dated ? date[r] : 0, r);
      for (std::size_t k = 0; k < columns.size(); ++k) {
        record[head.words() + k] = static_cast<std::uint64_t>(columns[k][r]);
      }
    }
  });

  // Each security's records by date, stably: a stretch that stays in
  // cache, written out column by column.
  const std::size_t groups = out.starts.size();
  std::vector<std::size_t> repeats(groups, 0);
  for_each(groups, [&](std::size_t g) {
    const std::size_t first = static_cast<std::size_t>(out.starts[g]);
    const std::size_t m = (g + 1 < groups ? static_cast<std::size_t>(out.starts[g + 1]) : n) - first;
    const std::uint64_t* const from = records.data() + first * width;
    bool by_date = true;
    for (std::size_t j = 1; j < m && by_date; ++j) {
      by_date = head.date_order(from + (j - 1) * width) <= head.date_order(from + j * width);
    }
    KeyedRows sorted;
    if (!by_date) {
      sorted.resize(m);
      for (std::size_t j = 0; j < m; ++j) sorted[j] = {head.date_order(from + j * width), j};
      sort_by_key(sorted);
    }
    const auto record = [&](std::size_t j) { return from + (by_date ? j : sorted[j].row) * width; };
    std::int64_t* const rows = out.rows.data() + first;
    for (std::size_t j = 0; j < m; ++j) rows[j] = head.row(record(j));
    if (dated) {
      std::int64_t* const dates = out.dates.data() + first;
      for (std::size_t j = 0; j < m; ++j) {
        dates[j] = head.date(record(j));
        if (j > 0 && dates[j] == dates[j - 1]) ++repeats[g];
      }
    }
    for (std::size_t k = 0; k < columns.size(); ++k) {
      std::int64_t* const items = out.columns[k].data() + first;
      const std::size_t at = head.words() + k;
      for (std::size_t j = 0; j < m; ++j) items[j] = static_cast<std::int64_t>(record(j)[at]);
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
