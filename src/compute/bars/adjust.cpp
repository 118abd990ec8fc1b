#include "bars/adjust.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <sstream>
#include <string>
#include <utility>

#include "batch/table.hpp"
#include "runtime/interrupt.hpp"
#include "runtime/streaming.hpp"

namespace tarvex {

namespace {

// The slot of each of a set of codes (0 .. size - 1 in ascending code
// order): a table indexed by the code's offset from the lowest when the
// codes span a narrow range (exchange codes), else a binary search.
class CodeSlots {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};

  explicit CodeSlots(std::vector<std::uint64_t> codes) : codes_(std::move(codes)) {
    if (codes_.empty() || codes_.back() - codes_.front() >= (std::uint64_t{1} << 24)) return;
    low_ = codes_.front();
    table_.assign(static_cast<std::size_t>(codes_.back() - low_) + 1, kNone);
    for (std::size_t s = 0; s < codes_.size(); ++s) table_[codes_[s] - low_] = static_cast<std::uint32_t>(s);
  }

  std::size_t size() const { return codes_.size(); }

  std::uint32_t operator()(std::uint64_t code) const {
    if (!table_.empty()) return code - low_ < table_.size() ? table_[code - low_] : kNone;
    const auto it = std::lower_bound(codes_.begin(), codes_.end(), code);
    return it != codes_.end() && *it == code ? static_cast<std::uint32_t>(it - codes_.begin()) : kNone;
  }

 private:
  std::vector<std::uint64_t> codes_;
  std::uint64_t low_ = 0;
  std::vector<std::uint32_t> table_;
};

// The distinct codes of a market, ascending.
std::vector<std::uint64_t> distinct_codes(KeyView<std::uint64_t> code) {
  std::vector<std::uint64_t> out;
  if (code.size() == 0) return out;
  const auto [low, high] = std::minmax_element(code.data(), code.data() + code.size());
  if (*high - *low <= code.size() + 65536) {
    std::vector<bool> present(static_cast<std::size_t>(*high - *low) + 1, false);
    for (std::size_t r = 0; r < code.size(); ++r) present[code[r] - *low] = true;
    for (std::size_t k = 0; k < present.size(); ++k) {
      if (present[k]) out.push_back(*low + k);
    }
    return out;
  }
  out.assign(code.data(), code.data() + code.size());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// A bar picked for a security or an event: the latest (or earliest) by
// stamp, then by row, of those offered.
struct Pick {
  std::int64_t stamp = 0;
  std::size_t row = 0;
  bool any = false;

  void offer(std::int64_t s, std::size_t r, bool later) {
    const bool better = later ? (s > stamp || (s == stamp && r > row)) : (s < stamp || (s == stamp && r < row));
    if (!any || better) *this = Pick{s, r, true};
  }
  void merge(const Pick& other, bool later) {
    if (other.any) offer(other.stamp, other.row, later);
  }
};

// Every price column times the multiplier of its row, the volume divided
// by it; `multipliers(first, count, m)` writes those of rows first ..
// first + count - 1 to m. Rows go in blocks: their multipliers first, then
// each column in one tight loop, written by streaming stores (the columns
// are far larger than the caches, and nothing reads them before the call
// returns).
template <class Multipliers>
Adjusted apply(const AdjustBars& bars, bool volume, const ForEachGroup& for_each, Multipliers multipliers) {
  const std::size_t n = bars.close.size();
  Adjusted out;
  const SeriesView in[] = {bars.open, bars.high, bars.low, bars.close};
  Series* prices[] = {&out.open, &out.high, &out.low, &out.close};
  for (std::size_t k = 0; k < 4; ++k) {
    if (in[k].size() != 0) prices[k]->resize(n);
  }
  const bool scale_volume = volume && bars.volume.size() != 0;
  if (scale_volume) out.volume.resize(n);
  const Chunks chunks(n);
  for_each(chunks.count, [&](std::size_t c) {
    constexpr std::size_t kBlock = 1024;
    double m[kBlock];
    for (std::size_t first = chunks.begin(c), end = chunks.begin(c + 1); first < end; first += kBlock) {
      const std::size_t count = std::min(kBlock, end - first);
      multipliers(first, count, m);
      for (std::size_t k = 0; k < 4; ++k) {
        if (in[k].size() == 0) continue;
        const double* x = in[k].data() + first;
        stream_to(prices[k]->data() + first, count, [x, &m](std::size_t j) { return x[j] * m[j]; });
      }
      if (scale_volume) {
        const double* x = bars.volume.data() + first;
        stream_to(out.volume.data() + first, count, [x, &m](std::size_t j) { return x[j] / m[j]; });
      }
    }
    stream_fence();
    interruption_point(8 * (chunks.begin(c + 1) - chunks.begin(c)));
  });
  return out;
}

// Days before an event within which its previous close is looked for
// first.
constexpr std::int64_t kNearby = 16;

// The number of `stamps[0 .. count)` (ascending) at or before `at`,
// without a branch to mispredict.
std::size_t count_at_or_before(const std::int64_t* stamps, std::size_t count, std::int64_t at) {
  if (count == 0) return 0;
  const std::int64_t* base = stamps;
  while (count > 1) {
    const std::size_t half = count / 2;
    base = base[half] <= at ? base + half : base;
    count -= half;
  }
  return static_cast<std::size_t>(base - stamps) + (*base <= at ? 1 : 0);
}

// A missing date (NumPy's NaT): the stamps come as they were given, and
// the passes over the rows refuse it.
constexpr std::int64_t kMissingStamp = std::numeric_limits<std::int64_t>::min();

[[noreturn]] void throw_missing_stamp() { throw ValueError("the dates must not be missing"); }

void check_bars(const AdjustBars& bars) {
  const std::size_t n = bars.close.size();
  check_same_length(n, {bars.code.size(), bars.stamp.size()});
  for (SeriesView v : {bars.open, bars.high, bars.low, bars.volume}) {
    if (v.size() != 0) check_same_length(n, {v.size()});
  }
}

// The events merged by security and ex-date (the figures of the events of
// one security on one date add up), ordered by code, then date.
struct EventTable {
  std::vector<std::size_t> begin;  // the events of slot s: [begin[s], begin[s + 1])
  std::vector<std::int64_t> stamp;
  std::vector<double> cash, bonus, rights, payment;  // per share; payment: rights price times rights
  std::vector<std::size_t> row;  // the first event row merged into each
  std::vector<std::uint64_t> codes;  // of the slots
};

double event_figure(SeriesView column, std::size_t row, const char* what) {
  if (column.size() == 0) return 0.0;
  const double v = column[row];
  if (std::isnan(v)) return 0.0;
  if (!(v >= 0.0) || std::isinf(v)) {
    std::ostringstream text;
    text << "the " << what << " of the event in row " << row << " must be a finite number, 0 or more, not " << v;
    throw ValueError(text.str());
  }
  return v;
}

EventTable event_table(const AdjustEvents& ev) {
  const std::size_t q = ev.code.size();
  check_same_length(q, {ev.stamp.size()});
  for (SeriesView v : {ev.cash, ev.bonus, ev.rights, ev.rights_price}) {
    if (v.size() != 0) check_same_length(q, {v.size()});
  }
  if (!(ev.per > 0.0) || std::isinf(ev.per)) throw ValueError("per must be a positive number of shares");
  std::vector<std::size_t> order(q);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return ev.code[a] < ev.code[b] || (ev.code[a] == ev.code[b] && ev.stamp[a] < ev.stamp[b]);
  });
  EventTable t;
  for (std::size_t i = 0; i < q; ++i) {
    const std::size_t r = order[i];
    const double cash = event_figure(ev.cash, r, "cash") / ev.per;
    const double bonus = event_figure(ev.bonus, r, "bonus") / ev.per;
    const double rights = event_figure(ev.rights, r, "rights") / ev.per;
    const double payment = event_figure(ev.rights_price, r, "rights_price") * rights;
    const bool new_code = t.codes.empty() || t.codes.back() != ev.code[r];
    if (new_code) {
      t.codes.push_back(ev.code[r]);
      t.begin.push_back(t.stamp.size());
    }
    if (!new_code && t.stamp.back() == ev.stamp[r]) {
      t.cash.back() += cash;
      t.bonus.back() += bonus;
      t.rights.back() += rights;
      t.payment.back() += payment;
      continue;
    }
    t.stamp.push_back(ev.stamp[r]);
    t.cash.push_back(cash);
    t.bonus.push_back(bonus);
    t.rights.push_back(rights);
    t.payment.push_back(payment);
    t.row.push_back(r);
  }
  t.begin.push_back(t.stamp.size());
  return t;
}

}  // namespace

Adjusted adjust_by_events(const AdjustBars& bars, const AdjustEvents& events, AdjustAnchor anchor, bool volume,
                          const ForEachGroup& for_each) {
  check_bars(bars);
  const EventTable t = event_table(events);
  const CodeSlots slots(t.codes);
  const std::size_t securities = t.codes.size(), count = t.stamp.size();
  // The events of slot s after stamp `at`: from the first of them on.
  // A security's events in two cache lines: where they start, how many,
  // and the first kFew stamps padded with the largest. The rows come in any
  // order, so a security with that many events or fewer finds where a row
  // lies among them by four halvings of its fifteen stamps, with its lines
  // fetched ahead and no branch taken one way or the other at random.
  constexpr std::size_t kFew = 14;
  constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  struct alignas(64) Few {
    std::int64_t stamp[kFew + 1];  // 15 = 2^4 - 1 stamps
    std::uint32_t first, count;
  };
  std::vector<Few> few(securities);
  for (std::size_t s = 0; s < securities; ++s) {
    const std::size_t a = t.begin[s], m = t.begin[s + 1] - a;
    std::fill_n(few[s].stamp, kFew + 1, kNever);
    std::copy_n(t.stamp.data() + a, std::min(m, kFew), few[s].stamp);
    few[s].first = static_cast<std::uint32_t>(a);
    few[s].count = static_cast<std::uint32_t>(m);
  }
  const auto first_after = [&](std::uint32_t s, std::int64_t at) -> std::size_t {
    const Few& e = few[s];
    if (e.count > kFew) return e.first + count_at_or_before(t.stamp.data() + e.first, e.count, at);
    std::size_t n = e.stamp[7] <= at ? 8 : 0;
    n += e.stamp[n + 3] <= at ? 4 : 0;
    n += e.stamp[n + 1] <= at ? 2 : 0;
    n += e.stamp[n] <= at ? 1 : 0;
    return e.first + n;
  };
  // The stamp of event k of slot s (kNever past the last).
  const auto event_stamp = [&](std::uint32_t s, std::size_t k) {
    const Few& e = few[s];
    if (e.count <= kFew) return e.stamp[k - e.first];
    return k < std::size_t{e.first} + e.count ? t.stamp[k] : kNever;
  };

  // One pass over the rows finds, for each security, whether the market
  // holds it and how many events its bars reach, and, as candidates for
  // the previous close of each event (the latest bar before it and after
  // the event before it), the bars of the last days before it; it notes
  // where each row's multiplier will be (the last place, holding 1, for
  // the rows of securities without events). The candidates are listed and
  // picked from after the pass: a pick per event updated as the rows come
  // would be touched at random.
  struct Findings {
    std::vector<std::pair<std::uint32_t, std::size_t>> near;  // (event, row)
    bool missing = false;  // a stamp is missing
    // By slot: 0 for no row, 1 for rows but no bar, else 2 + the most
    // events any bar is after.
    std::vector<std::uint32_t> mark;
  };
  const std::size_t n = bars.close.size();
  const Chunks chunks(n);
  std::vector<Findings> found(chunks.count);
  std::vector<std::uint32_t, BlockAllocator<std::uint32_t>> place(n);
  const std::uint32_t no_events = static_cast<std::uint32_t>(count + securities);
  for_each(chunks.count, [&](std::size_t c) {
    Findings& f = found[c];
    f.mark.assign(securities, 0);
    bool missing = false;
    // Rows ask early for the lines of the security kAhead rows on, whose
    // slot waits in a ring until its row comes.
    constexpr std::size_t kAhead = 16;
    std::uint32_t ahead[kAhead];
    const std::size_t begin = chunks.begin(c), end = chunks.begin(c + 1);
    for (std::size_t r = begin; r < begin + kAhead && r < end; ++r) ahead[r % kAhead] = slots(bars.code[r]);
    for (std::size_t r = begin; r < end; ++r) {
      missing |= bars.stamp[r] == kMissingStamp;
      const std::uint32_t s = ahead[r % kAhead];
      if (r + kAhead < end) {
        const std::uint32_t later = slots(bars.code[r + kAhead]);
        ahead[r % kAhead] = later;
        if (later != CodeSlots::kNone) {
          __builtin_prefetch(&few[later]);
          __builtin_prefetch(&few[later].stamp[8]);
        }
      }
      if (s == CodeSlots::kNone) {
        place[r] = no_events;
        continue;
      }
      const std::size_t k = first_after(s, bars.stamp[r]);
      place[r] = static_cast<std::uint32_t>(k + s);
      if (!std::isfinite(bars.close[r])) {
        f.mark[s] = std::max<std::uint32_t>(f.mark[s], 1);
        continue;
      }
      if (bars.stamp[r] >= event_stamp(s, k) - kNearby * bars.day) {
        f.near.emplace_back(static_cast<std::uint32_t>(k), r);
      }
      f.mark[s] = std::max(f.mark[s], static_cast<std::uint32_t>(k - few[s].first + 2));
    }
    f.missing = missing;
    interruption_point(16 * (end - begin));
  });
  std::vector<Pick> previous_bar(count);
  std::vector<std::uint32_t> mark(securities, 0);
  for (const Findings& f : found) {
    if (f.missing) throw_missing_stamp();
    for (const auto& [k, r] : f.near) previous_bar[k].offer(bars.stamp[r], r, true);
    for (std::size_t s = 0; s < securities; ++s) mark[s] = std::max(mark[s], f.mark[s]);
  }
  // An event with a bar on or after it but none in its last days before
  // it (a long suspension) is offered every bar between it and the event
  // before it, in one more pass.
  std::vector<char> unpicked(count + securities + 1, 0);
  bool any_unpicked = false;
  for (std::uint32_t s = 0; s < securities; ++s) {
    for (std::size_t k = t.begin[s]; k < t.begin[s + 1]; ++k) {
      if (previous_bar[k].any || mark[s] <= k - t.begin[s] + 2) continue;
      unpicked[k + s] = 1;
      any_unpicked = true;
    }
  }
  if (any_unpicked) {
    for_each(chunks.count, [&](std::size_t c) {
      Findings& f = found[c];
      f.near.clear();
      for (std::size_t r = chunks.begin(c), end = chunks.begin(c + 1); r < end; ++r) {
        if (!unpicked[place[r]] || !std::isfinite(bars.close[r])) continue;
        f.near.emplace_back(place[r] - slots(bars.code[r]), r);
      }
      interruption_point(4 * (chunks.begin(c + 1) - chunks.begin(c)));
    });
    for (const Findings& f : found) {
      for (const auto& [k, r] : f.near) previous_bar[k].offer(bars.stamp[r], r, true);
    }
  }

  // multiplier[k + s]: that of the rows of slot s after the events before
  // event k (k = begin[s + 1]: after all of them).
  std::vector<double> multiplier(count + securities + 1, 1.0);
  std::vector<double> ratio;
  std::vector<std::size_t> unmatched;
  for (std::uint32_t s = 0; s < securities; ++s) {
    const std::size_t a = t.begin[s], b = t.begin[s + 1];
    if (mark[s] == 0) {
      for (std::size_t j = a; j < b; ++j) unmatched.push_back(t.row[j]);
    }
    // An event takes effect at the first bar on or after its date, from
    // the previous close; events with no bar between them chain, each from
    // the reference price of the one before.
    ratio.assign(b - a, 1.0);
    double previous = 0.0;
    bool have_previous = false;
    for (std::size_t j = a; j < b; ++j) {
      if (previous_bar[j].any) {
        previous = bars.close[previous_bar[j].row];
        have_previous = true;
      }
      if (!have_previous || mark[s] <= j - a + 2) continue;  // no bar before it, or none on or after it
      const double reference = ((previous - t.cash[j]) + t.payment[j]) / ((1.0 + t.bonus[j]) + t.rights[j]);
      if (!(previous > 0.0) || !(reference > 0.0)) {
        std::ostringstream text;
        text << "the event in row " << t.row[j] << " of the events leaves a reference price of " << reference
             << " from a previous close of " << previous << "; the reference price must be above 0";
        throw ValueError(text.str());
      }
      ratio[j - a] = reference / previous;
      previous = reference;
    }
    double* f = multiplier.data() + a + s;  // f[k - a], k from a to b
    f[b - a] = 1.0;
    for (std::size_t j = b; j-- > a;) f[j - a] = f[j - a + 1] * ratio[j - a];
    const double at = anchor.kind == AdjustAnchor::kLatest     ? f[b - a]
                      : anchor.kind == AdjustAnchor::kEarliest ? f[0]
                                                               : f[first_after(s, anchor.at) - a];
    for (std::size_t k = a; k <= b; ++k) f[k - a] = f[k - a] / at;
  }

  Adjusted adjusted = apply(bars, volume, for_each, [&](std::size_t first, std::size_t count, double* m) {
    for (std::size_t j = 0; j < count; ++j) m[j] = multiplier[place[first + j]];
  });
  adjusted.unmatched = std::move(unmatched);
  std::sort(adjusted.unmatched.begin(), adjusted.unmatched.end());
  return adjusted;
}

Adjusted adjust_by_factor(const AdjustBars& bars, SeriesView factor, AdjustAnchor anchor, bool volume,
                          const ForEachGroup& for_each) {
  check_bars(bars);
  const std::size_t n = bars.close.size();
  check_same_length(n, {factor.size()});
  const CodeSlots slots(distinct_codes(bars.code));
  const std::size_t securities = slots.size();
  // Each security's anchor bar: its latest at or before the anchor stamp
  // (any, for the latest), else its earliest.
  struct Picks {
    std::vector<Pick> latest, earliest;
    bool missing = false;  // a stamp is missing
  };
  const Chunks chunks(n);
  std::vector<Picks> found(chunks.count);
  for_each(chunks.count, [&](std::size_t c) {
    Picks& p = found[c];
    p.latest.resize(securities);
    p.earliest.resize(securities);
    bool missing = false;
    for (std::size_t r = chunks.begin(c), end = chunks.begin(c + 1); r < end; ++r) {
      missing |= bars.stamp[r] == kMissingStamp;
      if (!std::isfinite(bars.close[r])) continue;
      const std::uint32_t s = slots(bars.code[r]);
      const std::int64_t stamp = bars.stamp[r];
      if (anchor.kind == AdjustAnchor::kLatest || (anchor.kind == AdjustAnchor::kAt && stamp <= anchor.at)) {
        p.latest[s].offer(stamp, r, true);
      }
      p.earliest[s].offer(stamp, r, false);
    }
    p.missing = missing;
    interruption_point(8 * (chunks.begin(c + 1) - chunks.begin(c)));
  });
  for (const Picks& p : found) {
    if (p.missing) throw_missing_stamp();
  }
  std::vector<double> base(securities, std::numeric_limits<double>::quiet_NaN());
  for (std::size_t s = 0; s < securities; ++s) {
    Pick latest, earliest;
    for (const Picks& p : found) {
      latest.merge(p.latest[s], true);
      earliest.merge(p.earliest[s], false);
    }
    const Pick& at = anchor.kind != AdjustAnchor::kEarliest && latest.any ? latest : earliest;
    if (at.any) base[s] = factor[at.row];
  }
  return apply(bars, volume, for_each, [&](std::size_t first, std::size_t count, double* m) {
    for (std::size_t j = 0; j < count; ++j) m[j] = factor[first + j] / base[slots(bars.code[first + j])];
  });
}

}  // namespace tarvex
