// ZHISHU: daily composite index bars chained from a base level. Each date's
// bar is the weighted mean of its constituents' price relatives against
// their previous usable close, times the index level before that date.
#include "index/zhishu.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "batch/table.hpp"

namespace tarvex {

namespace {

// Strictly positive and finite (subnormals count).
bool usable(double x) { return x > 0.0 && x < std::numeric_limits<double>::infinity(); }

double finite_or_zero(double x) { return std::isfinite(x) ? x : 0.0; }

// The column that weighs each row under a method, or null for equal weights.
const SeriesView* weight_column(const ZhishuInput& in, std::uint64_t method) {
  switch (method) {
    case 2: return &in.float_mv;
    case 3: return &in.amount;
    case 4: return &in.volume;
    case 5: return &in.total_mv;
    default: return nullptr;
  }
}

// Previous usable close per code, addressed by row. Each code gets a dense
// slot from one sort of the code column, so neither huge codes nor codes
// that collide in a hash table make a lookup cost more.
class LastClose {
 public:
  explicit LastClose(KeyView<std::uint64_t> code) : slot_(code.size()) {
    KeyedRows items(code.size());
    for (std::size_t r = 0; r < code.size(); ++r) items[r] = {code[r], r};
    sort_by_key(items);
    std::size_t slots = 0;
    for (std::size_t first = 0, end = 0; first < items.size(); first = end, ++slots) {
      end = run_end(items, first);
      for (std::size_t i = first; i < end; ++i) slot_[items[i].row] = slots;
    }
    closes_.assign(slots, std::numeric_limits<double>::quiet_NaN());
  }
  std::size_t slot(std::size_t row) const { return slot_[row]; }
  double get(std::size_t slot) const { return closes_[slot]; }
  void set(std::size_t slot, double close) { closes_[slot] = close; }

 private:
  std::vector<std::size_t> slot_;
  std::vector<double> closes_;
};

// What the date loop reads of one constituent row, in one cache line: the
// rows of a date lie anywhere in the columns, and reading them there would
// touch a line of every column for each row.
struct Constituent {
  double close, open, high, low, volume, amount, weight;
  std::size_t slot;  // its code's in LastClose
};

// The rows of a date are asked for this many ahead of their use.
constexpr std::size_t kAhead = 16;

struct DateSums {
  double w = 0.0, sc = 0.0, so = 0.0, sh = 0.0, sl = 0.0, v = 0.0, a = 0.0;
  std::uint64_t k = 0;
};

}  // namespace

ZhishuResult ZHISHU(const ZhishuInput& in, std::uint64_t method, double base) {
  if (method < 1 || method > 5) throw ValueError("method must be 1..5");
  check_same_length(in.date.size(), {in.code.size(), in.open.size(), in.high.size(), in.low.size(), in.close.size(),
                                     in.volume.size(), in.amount.size(), in.float_mv.size(), in.total_mv.size()});

  LastClose last(in.code);
  // Rows by date; rows of one date stay in input order, the order they are summed in.
  KeyedRows by_date(in.date.size());
  for (std::size_t r = 0; r < in.date.size(); ++r) by_date[r] = {date_key(in.date[r]), r};
  sort_by_key(by_date);

  const SeriesView* weights = weight_column(in, method);
  std::vector<Constituent, BlockAllocator<Constituent>> rows(in.date.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    rows[r] = Constituent{in.close[r], in.open[r], in.high[r], in.low[r], in.volume[r], in.amount[r],
                          weights != nullptr ? (*weights)[r] : 1.0, last.slot(r)};
  }
  ZhishuResult out;
  double h = base;
  for (std::size_t first = 0, end = 0; first < by_date.size(); first = end) {
    end = run_end(by_date, first);
    const std::int64_t day = in.date[by_date[first].row];
    DateSums s;
    for (std::size_t i = first; i < end; ++i) {
      if (i + kAhead < by_date.size()) __builtin_prefetch(&rows[by_date[i + kAhead].row]);
      const Constituent& c = rows[by_date[i].row];
      const double p = last.get(c.slot);
      const double w = c.weight;
      if (!(usable(c.close) && usable(p) && usable(w) && usable(c.open) && usable(c.high) && usable(c.low))) {
        continue;
      }
      s.w += w;
      s.sc += (c.close / p) * w;
      s.so += (c.open / p) * w;
      s.sh += (c.high / p) * w;
      s.sl += (c.low / p) * w;
      s.v += finite_or_zero(c.volume);
      s.a += finite_or_zero(c.amount);
      ++s.k;
    }
    // Only after the whole date was summed, so no row sees a close of its own date.
    for (std::size_t i = first; i < end; ++i) {
      const Constituent& c = rows[by_date[i].row];
      if (usable(c.close)) last.set(c.slot, c.close);
    }
    if (!(s.w > 0.0)) continue;

    const double c = (s.sc / s.w) * h;
    const double o = (s.so / s.w) * h;
    const double hi = (s.sh / s.w) * h;
    const double lo = h * (s.sl / s.w);
    out.date.push_back(day);
    out.open.push_back(o);
    out.high.push_back(std::fmax(std::fmax(hi, o), c));
    out.low.push_back(std::fmin(std::fmin(lo, o), c));
    out.close.push_back(c);
    out.change.push_back((c / h - 1.0) * 100.0);
    out.volume.push_back(s.v);
    out.amount.push_back(s.a);
    out.count.push_back(s.k);
    h = c;
  }
  return out;
}

}  // namespace tarvex
