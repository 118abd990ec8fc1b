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
  double get(std::size_t row) const { return closes_[slot_[row]]; }
  void set(std::size_t row, double close) { closes_[slot_[row]] = close; }

 private:
  std::vector<std::size_t> slot_;
  std::vector<double> closes_;
};

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
  ZhishuResult out;
  double h = base;
  for (std::size_t first = 0, end = 0; first < by_date.size(); first = end) {
    end = run_end(by_date, first);
    const std::int64_t day = in.date[by_date[first].row];
    DateSums s;
    for (std::size_t i = first; i < end; ++i) {
      const std::size_t r = by_date[i].row;
      const double p = last.get(r);
      const double w = weights != nullptr ? (*weights)[r] : 1.0;
      if (!(usable(in.close[r]) && usable(p) && usable(w) && usable(in.open[r]) && usable(in.high[r]) &&
            usable(in.low[r]))) {
        continue;
      }
      s.w += w;
      s.sc += (in.close[r] / p) * w;
      s.so += (in.open[r] / p) * w;
      s.sh += (in.high[r] / p) * w;
      s.sl += (in.low[r] / p) * w;
      s.v += finite_or_zero(in.volume[r]);
      s.a += finite_or_zero(in.amount[r]);
      ++s.k;
    }
    // Only after the whole date was summed, so no row sees a close of its own date.
    for (std::size_t i = first; i < end; ++i) {
      const std::size_t r = by_date[i].row;
      if (usable(in.close[r])) last.set(r, in.close[r]);
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
