// ZHISHU: daily composite index bars chained from a base level. Each date's
// bar is the weighted mean of its constituents' price relatives against
// their previous usable close, times the index level before that date.
#include "index/zhishu.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <unordered_map>

#include "batch/table.hpp"

namespace tarvex {

namespace {

// Strictly positive and finite (subnormals count).
bool usable(double x) { return x > 0.0 && x < std::numeric_limits<double>::infinity(); }

double finite_or_zero(double x) { return std::isfinite(x) ? x : 0.0; }

// The column that weighs each row under a method, or null for equal weights.
const Series* weight_column(const ZhishuInput& in, std::uint64_t method) {
  switch (method) {
    case 2: return &in.float_mv;
    case 3: return &in.amount;
    case 4: return &in.volume;
    case 5: return &in.total_mv;
    default: return nullptr;
  }
}

// Previous usable close per code. A hash map keyed by code rather than a
// table indexed by code, so codes up to 2^64 - 1 cost no more than small ones.
class LastClose {
 public:
  double get(std::uint64_t code) const {
    auto it = closes_.find(code);
    return it == closes_.end() ? std::numeric_limits<double>::quiet_NaN() : it->second;
  }
  void set(std::uint64_t code, double close) { closes_[code] = close; }

 private:
  std::unordered_map<std::uint64_t, double> closes_;
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

  std::map<std::int64_t, std::vector<std::size_t>> by_date;
  for (std::size_t r = 0; r < in.date.size(); ++r) by_date[in.date[r]].push_back(r);

  const Series* weights = weight_column(in, method);
  LastClose last;
  ZhishuResult out;
  double h = base;
  for (const auto& [day, rows] : by_date) {
    DateSums s;
    for (std::size_t r : rows) {
      const double p = last.get(in.code[r]);
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
    for (std::size_t r : rows) {
      if (usable(in.close[r])) last.set(in.code[r], in.close[r]);
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
