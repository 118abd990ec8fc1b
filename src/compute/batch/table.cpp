#include "batch/table.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

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

void sort_by_key(KeyedRows& items) {
  const std::size_t n = items.size();
  if (n < 2) return;
  // One pass finds whether the keys are in order already (dates often
  // come so) and their range.
  std::uint64_t low = items[0].key, high = low;
  bool in_order = true;
  for (std::size_t j = 1; j < n; ++j) {
    const std::uint64_t key = items[j].key;
    in_order &= items[j - 1].key <= key;
    low = std::min(low, key);
    high = std::max(high, key);
  }
  if (in_order) return;

  // The digits are those of the key's offset from the lowest key, so the
  // passes cover only the span the keys take. Digits are as wide as the
  // count of items allows (eight to eleven bits), and the passes share the
  // span's bits evenly: a security's thousand bars of consecutive days take
  // one pass.
  constexpr int kMaxDigitBits = 11;
  const int span_bits = 64 - __builtin_clzll(high - low);  // not in order: the span is not zero
  const int size_bits = std::clamp(64 - __builtin_clzll(static_cast<std::uint64_t>(n)), 8, kMaxDigitBits);
  const int passes = (span_bits + size_bits - 1) / size_bits;
  const int digit_bits = (span_bits + passes - 1) / passes;
  const std::uint64_t digit_mask = (std::uint64_t{1} << digit_bits) - 1;
  std::size_t next[std::size_t{1} << kMaxDigitBits];
  KeyedRows scratch(n);
  for (int shift = 0; shift < span_bits; shift += digit_bits) {
    const auto digit = [shift, digit_mask, low](const KeyedRow& item) {
      return static_cast<std::size_t>(((item.key - low) >> shift) & digit_mask);
    };
    std::fill(next, next + digit_mask + 1, 0);
    for (const KeyedRow& item : items) ++next[digit(item)];
    std::size_t offset = 0;
    for (std::size_t d = 0; d <= digit_mask; ++d) offset += std::exchange(next[d], offset);
    for (const KeyedRow& item : items) scratch[next[digit(item)]++] = item;
    items.swap(scratch);
  }
}

std::size_t run_end(const KeyedRows& items, std::size_t first) {
  std::size_t end = first;
  while (end < items.size() && items[end].key == items[first].key) ++end;
  return end;
}

namespace {

// The price columns of the input, by PriceColumn.
std::array<SeriesView, kPriceColumns> price_columns(const BatchInput& in) {
  return {in.close, in.high, in.low, in.open, in.volume, in.amount};
}

// The columns of `columns`, in column order.
std::vector<PriceColumn> listed(ColumnSet columns) {
  std::vector<PriceColumn> out;
  for (std::size_t c = 0; c < kPriceColumns; ++c) {
    if (columns >> c & 1) out.push_back(static_cast<PriceColumn>(c));
  }
  return out;
}

// Security numbers of the rows, one a row: a row that takes no part has
// kNoSecurity, a number no security has.
using SecurityNumbers = std::vector<std::uint32_t, BlockAllocator<std::uint32_t>>;
constexpr std::uint32_t kNoSecurity = ~std::uint32_t{0};

// Moves every taking row's bar, in one stable pass, to the stretch of its
// security (numbered 0 .. securities - 1, the code of number k being
// `code_of(k)`), and makes the groups: each chunk counts the bars of every
// security, and writes them after those of the chunks before it.
// `number(r)` gives row r's number and leaves it in numbers[r] (or finds it
// there), so that the moving pass reads what the counting pass counted: the
// columns may change under a running call (another thread writing them),
// and a row must neither take part in one pass only nor change security.
template <class Number, class CodeOf>
void move_bars(const BatchInput& in, const ForEachGroup& for_each, std::size_t securities, Number number,
               const std::uint32_t* numbers, CodeOf code_of, Grouping& grouping) {
  const Chunks chunks(in.close.size(), securities);
  std::vector<std::vector<std::size_t>> next(chunks.count);
  for_each(chunks.count, [&](std::size_t c) {
    std::vector<std::size_t> counts(securities, 0);
    for (std::size_t r = chunks.begin(c), end = chunks.begin(c + 1); r < end; ++r) {
      const std::size_t s = number(r);
      if (s < securities) ++counts[s];
    }
    next[c] = std::move(counts);
  });
  std::size_t offset = 0;
  for (std::size_t k = 0; k < securities; ++k) {
    const std::size_t group_first = offset;
    for (std::vector<std::size_t>& counts : next) offset += std::exchange(counts[k], offset);
    if (offset != group_first) grouping.groups.push_back({code_of(k), group_first, offset - group_first});
  }
  const std::size_t taking = offset;
  const std::array<SeriesView, kPriceColumns> prices = price_columns(in);
  const std::vector<PriceColumn>& moved = grouping.columns;
  const std::size_t width = grouping.width = 1 + moved.size() + (in.sources ? 1 : 0);
  grouping.bars.resize(taking * width);
  double* const bars = grouping.bars.data();
  const double* from[kPriceColumns] = {};
  for (std::size_t k = 0; k < moved.size(); ++k) from[k] = prices[moved[k]].data();
  for_each(chunks.count, [&](std::size_t c) {
    const auto move_chunk = [&](auto width_constant, auto row_constant) {
      constexpr std::size_t kWidth = decltype(width_constant)::value;
      constexpr std::size_t kPriced = kWidth - (decltype(row_constant)::value ? 1 : 0);
      std::size_t* const slot = next[c].data();
      const std::int64_t* const dates = in.date.data();
      for (std::size_t r = chunks.begin(c), end = chunks.begin(c + 1); r < end; ++r) {
        const std::size_t s = numbers[r];
        if (s >= securities) continue;
        const std::size_t j = slot[s]++;
        double* bar = bars + j * kWidth;
        // The stretches fill far apart: ask for the line this security's
        // next bar goes to now, so that writing it later does not wait.
        if (j + 1 < taking) __builtin_prefetch(bar + kWidth, 1);
        std::memcpy(bar, dates + r, sizeof(std::int64_t));
        for (std::size_t k = 1; k < kPriced; ++k) bar[k] = from[k - 1][r];
        if constexpr (kPriced < kWidth) {
          const std::int64_t row = static_cast<std::int64_t>(r);
          std::memcpy(bar + kPriced, &row, sizeof row);
        }
      }
    };
    const auto by_width = [&](auto row_constant) {
      constexpr std::size_t kRow = decltype(row_constant)::value ? 1 : 0;
      switch (width - kRow) {
        case 2: return move_chunk(std::integral_constant<std::size_t, 2 + kRow>{}, row_constant);
        case 3: return move_chunk(std::integral_constant<std::size_t, 3 + kRow>{}, row_constant);
        case 4: return move_chunk(std::integral_constant<std::size_t, 4 + kRow>{}, row_constant);
        case 5: return move_chunk(std::integral_constant<std::size_t, 5 + kRow>{}, row_constant);
        case 6: return move_chunk(std::integral_constant<std::size_t, 6 + kRow>{}, row_constant);
        default:  // every column
          return move_chunk(std::integral_constant<std::size_t, 1 + kPriceColumns + kRow>{}, row_constant);
      }
    };
    return in.sources ? by_width(std::true_type{}) : by_width(std::false_type{});
  });
}

// A row's place in the table's order: by code, then by date.
struct OrderKey {
  std::uint64_t code;
  std::int64_t date;
  bool operator<(const OrderKey& o) const { return code < o.code || (code == o.code && date < o.date); }
};

// What one chunk's pass over its rows found: whether its taking rows are in
// order, how many there are, the keys of the first and last, and their runs
// of one code (`first` counted from the chunk's first taking row).
struct ChunkScan {
  bool ordered = true;
  std::size_t taking = 0;
  OrderKey first{}, last{};
  std::vector<SecurityGroup> runs;
};

// Strategy for a table ordered by code and date already, as tables often
// come: one pass finds out, each chunk stopping at its first row out of
// order, and such a table is grouped without moving anything. The pass
// reads each row once and keeps what it found (the taking rows, written
// from the chunk's first row on, and their runs of one code), so a column
// that changes under the call changes no count after it was made. False
// when the table is not in order (nothing is kept then).
bool group_in_order(const BatchInput& in, const ForEachGroup& for_each, Grouping& grouping) {
  const KeyView<std::uint64_t> code = in.code;
  const KeyView<std::int64_t> date = in.date;
  const SeriesView close = in.close;
  const std::size_t n = close.size();
  const Chunks chunks(n);
  std::vector<ChunkScan> scans(chunks.count);
  std::vector<std::size_t, BlockAllocator<std::size_t>> rows(n);
  for_each(scans.size(), [&](std::size_t c) {
    ChunkScan& scan = scans[c];
    std::size_t* const taken = rows.data() + chunks.begin(c);
    for (std::size_t r = chunks.begin(c); r < chunks.begin(c + 1); ++r) {
      if (!std::isfinite(close[r])) continue;
      const OrderKey key{code[r], date[r]};
      if (scan.taking == 0) {
        scan.first = key;
      } else if (key < scan.last) {
        scan.ordered = false;
        break;
      }
      if (scan.runs.empty() || scan.runs.back().code != key.code) scan.runs.push_back({key.code, scan.taking, 0});
      ++scan.runs.back().count;
      taken[scan.taking++] = r;
      scan.last = key;
    }
  });
  bool ordered = true;
  std::size_t taking = 0;
  OrderKey last{};
  for (const ChunkScan& scan : scans) {
    if (scan.taking == 0) continue;
    ordered = ordered && scan.ordered && !(taking != 0 && scan.first < last);
    last = scan.last;
    taking += scan.taking;
  }
  if (!ordered) return false;
  // The chunks' rows follow those of the chunks before them (where they
  // already are when no row was skipped); a run that goes on into the next
  // chunk is joined.
  std::vector<std::size_t> offsets(chunks.count);
  for (std::size_t c = 0, j = 0; c < chunks.count; j += scans[c++].taking) {
    offsets[c] = j;
    for (SecurityGroup run : scans[c].runs) {
      run.first += j;
      if (!grouping.groups.empty() && grouping.groups.back().code == run.code) {
        grouping.groups.back().count += run.count;
      } else {
        grouping.groups.push_back(run);
      }
    }
  }
  if (taking == n) {
    grouping.rows = std::move(rows);
  } else {
    grouping.rows.resize(taking);
    for_each(chunks.count, [&](std::size_t c) {
      std::copy_n(rows.data() + chunks.begin(c), scans[c].taking, grouping.rows.data() + offsets[c]);
    });
  }
  return true;
}

// The lowest and highest code of every row (a skipped row's code can only
// widen the range).
std::pair<std::uint64_t, std::uint64_t> code_range(const BatchInput& in, const ForEachGroup& for_each) {
  return key_range(in.code.data(), in.close.size(), for_each);
}

// Strategy for codes spanning a range no larger than the table (the usual
// exchange codes): a security is numbered by its code's offset from the
// lowest, and the bars move to its stretch. (A code read outside the range
// found is a column changed under the call: the row is left out.)
void group_by_code_offset(const BatchInput& in, const ForEachGroup& for_each, std::uint64_t code_min,
                          std::size_t securities, Grouping& grouping) {
  SecurityNumbers numbers(in.close.size());
  const auto number = [&, codes = in.code.data(), closes = in.close.data()](std::size_t r) {
    const std::uint64_t offset = codes[r] - code_min;
    return numbers[r] = std::isfinite(closes[r]) && offset < securities ? static_cast<std::uint32_t>(offset)
                                                                        : kNoSecurity;
  };
  move_bars(in, for_each, securities, number, numbers.data(), [&](std::size_t k) { return code_min + k; },
            grouping);
}

// Strategy for wide codes: a security is numbered by its rank among the
// codes, which a radix sort of the taking rows' codes finds, and the bars
// move to its stretch.
void group_by_code_rank(const BatchInput& in, const ForEachGroup& for_each, Grouping& grouping) {
  const std::size_t n = in.close.size();
  KeyedRows items;
  items.reserve(n);
  for (std::size_t r = 0; r < n; ++r) {
    if (std::isfinite(in.close[r])) items.push_back({in.code[r], r});
  }
  sort_by_key(items);
  SecurityNumbers rank(n, kNoSecurity);  // of each taking row's code among the codes
  std::vector<std::uint64_t> codes;
  for (const KeyedRow& item : items) {
    if (codes.empty() || codes.back() != item.key) codes.push_back(item.key);
    rank[item.row] = static_cast<std::uint32_t>(codes.size() - 1);
  }
  move_bars(in, for_each, codes.size(), [rank = rank.data()](std::size_t r) { return rank[r]; }, rank.data(),
            [&](std::size_t k) { return codes[k]; }, grouping);
}

}  // namespace

// A table already in order is taken as it is (when its bars may be read in
// place); otherwise the bars move to the stretch of their security, each
// group ordering its own bars by date when it is gathered, the securities
// numbered by code offset or by rank.
Grouping group_rows(const BatchInput& in, ColumnSet columns, const ForEachGroup& for_each, Bars bars) {
  Grouping grouping;
  grouping.columns = listed(columns | ColumnSet{1} << kClose);
  if (bars == Bars::kInPlace && group_in_order(in, for_each, grouping)) return grouping;
  const auto [code_min, code_max] = code_range(in, for_each);
  if (code_max - code_min <= in.close.size() + 65536) {
    group_by_code_offset(in, for_each, code_min, static_cast<std::size_t>(code_max - code_min) + 1, grouping);
  } else {
    group_by_code_rank(in, for_each, grouping);
  }
  return grouping;
}

namespace {

// The group's own copies of the dates and of `columns`, element j from
// date_of(j) and price_of(j, column).
template <class DateOf, class PriceOf>
void copy_bars(GroupSeries& g, std::size_t m, const std::vector<PriceColumn>& columns, DateOf date_of,
               PriceOf price_of) {
  g.date_copy.resize(m);
  for (std::size_t j = 0; j < m; ++j) g.date_copy[j] = date_of(j);
  g.date = g.date_copy;
  for (PriceColumn c : columns) {
    Series& copy = g.copies[c];
    copy.resize(m);
    for (std::size_t j = 0; j < m; ++j) copy[j] = price_of(j, c);
    g.prices[c] = copy;
  }
}

// The group's input rows, source(j) of element j, when the input asks for
// them, and its repeated dates (the dates are in order).
template <class Source>
void note_sources(const BatchInput& in, GroupSeries& g, std::size_t m, Source source) {
  if (in.sources) {
    g.sources.resize(m);
    for (std::size_t j = 0; j < m; ++j) g.sources[j] = source(j);
  }
  for (std::size_t j = 1; j < m; ++j) g.repeats += g.date[j] == g.date[j - 1] ? 1 : 0;
}

}  // namespace

GroupSeries gather(const Grouping& grouping, const SecurityGroup& group, const BatchInput& in) {
  const std::size_t m = group.count;
  GroupSeries g;
  if (grouping.width != 0) {  // the group's bars, in input order: copied out by date
    const std::size_t width = grouping.width;
    const double* bars = grouping.bars.data() + group.first * width;
    std::size_t slot[kPriceColumns] = {};  // where a bar holds each column
    for (std::size_t k = 0; k < grouping.columns.size(); ++k) slot[grouping.columns[k]] = 1 + k;
    const auto day = [&](std::size_t j) {
      std::int64_t d;
      std::memcpy(&d, bars + j * width, sizeof d);
      return d;
    };
    bool by_date = true;
    for (std::size_t j = 1; j < m && by_date; ++j) by_date = day(j - 1) <= day(j);
    KeyedRows order;
    if (!by_date) {
      order.resize(m);
      for (std::size_t j = 0; j < m; ++j) order[j] = {date_key(day(j)), j};
      sort_by_key(order);
    }
    const auto bar = [&](std::size_t j) { return by_date ? j : order[j].row; };
    copy_bars(g, m, grouping.columns, [&](std::size_t j) { return day(bar(j)); },
              [&](std::size_t j, PriceColumn c) { return bars[bar(j) * width + slot[c]]; });
    note_sources(in, g, m, [&](std::size_t j) {
      std::int64_t row;
      std::memcpy(&row, bars + bar(j) * width + width - 1, sizeof row);
      return row;
    });
    return g;
  }

  const std::size_t* rows = grouping.rows_of(group);
  const std::array<SeriesView, kPriceColumns> prices = price_columns(in);
  bool consecutive = true;
  for (std::size_t j = 0; j < m && consecutive; ++j) consecutive = rows[j] == rows[0] + j;
  if (consecutive) {  // one run of input rows: read in place
    const std::size_t first = m == 0 ? 0 : rows[0];
    for (PriceColumn c : grouping.columns) g.prices[c] = prices[c].sub(first, m);
    g.date = KeyView<std::int64_t>(in.date.data() + first, m);
  } else {
    copy_bars(g, m, grouping.columns, [&](std::size_t j) { return in.date[rows[j]]; },  // rows in order with gaps
              [&](std::size_t j, PriceColumn c) { return prices[c][rows[j]]; });
  }
  note_sources(in, g, m, [&](std::size_t j) { return static_cast<std::int64_t>(rows[j]); });
  return g;
}

}  // namespace tarvex
