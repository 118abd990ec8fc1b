#include "batch/registry.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "indicators/indicators.hpp"

namespace tarvex {

namespace {

constexpr std::uint64_t kDefaultP3 = 20;

SeriesList one(Series s) {
  SeriesList out;
  out.push_back(std::move(s));
  return out;
}

using G = const GroupSeries&;
using P = const ParamSet&;

// clang-format off
const Indicator kRegistry[] = {
  // Expanding moving averages and windows of close.
  {"ma",  {5, 0, 0},  true, {}, [](G g, P p) { return one(MA(g.close, p[0])); }},
  {"ema", {5, 0, 0},  true, {}, [](G g, P p) { return one(EMA(g.close, p[0])); }},
  {"sma", {5, 1, 0},  true, {}, [](G g, P p) { return one(SMA(g.close, p[0], p[1])); }},
  {"wma", {5, 0, 0},  true, {}, [](G g, P p) { return one(WMA(g.close, p[0])); }},
  {"dma", {10, 0, 0}, true, {}, [](G g, P p) { return one(DMA(g.close, static_cast<double>(p[0]) / 100.0)); }},
  {"std", {5, 0, 0},  true, {}, [](G g, P p) { return one(STD(g.close, p[0])); }},
  {"sum", {5, 0, 0},  true, {}, [](G g, P p) { return one(SUM(g.close, p[0])); }},
  {"hhv", {5, 0, 0},  true, {}, [](G g, P p) { return one(HHV(g.close, p[0])); }},
  {"llv", {5, 0, 0},  true, {}, [](G g, P p) { return one(LLV(g.close, p[0])); }},
  {"ref", {1, 0, 0},  true, {}, [](G g, P p) { return one(REF(g.close, p[0])); }},
  // Trend and momentum.
  {"macd",  {12, 26, 9}, false, {"dif", "dea", "macd"},
   [](G g, P p) { return MACD(g.close, p[0], p[1], p[2]); }},
  {"trix",  {12, 20, 0}, false, {"trix", "trma"}, [](G g, P p) { return TRIX(g.close, p[0], p[1]); }},
  {"dfma",  {10, 50, 10}, false, {"dfma_dif", "dfma_difma"},
   [](G g, P p) { return DFMA(g.close, p[0], p[1], p[2]); }},
  {"expma", {12, 50, 0}, false, {"exp1", "exp2"}, [](G g, P p) { return EXPMA(g.close, p[0], p[1]); }},
  {"bbi",   {3, 6, 12},  false, {"bbi"}, [](G g, P p) { return one(BBI(g.close, p[0], p[1], p[2], p[3])); }},
  {"dpo",   {20, 10, 6}, false, {"dpo", "madpo"}, [](G g, P p) { return DPO(g.close, p[0], p[1], p[2]); }},
  {"mtm",   {12, 6, 0},  false, {"mtm", "mtmma"}, [](G g, P p) { return MTM(g.close, p[0], p[1]); }},
  {"roc",   {12, 6, 0},  false, {"roc", "maroc"}, [](G g, P p) { return ROC(g.close, p[0], p[1]); }},
  // Oscillators.
  {"kdj",  {9, 3, 3},   false, {"k", "d", "j"}, [](G g, P p) { return KDJ(g.close, g.high, g.low, p[0], p[1], p[2]); }},
  {"rsi",  {24, 0, 0},  false, {"rsi"}, [](G g, P p) { return one(RSI(g.close, p[0])); }},
  {"wr",   {10, 6, 0},  false, {"wr", "wr1"}, [](G g, P p) { return WR(g.close, g.high, g.low, p[0], p[1]); }},
  {"bias", {6, 12, 24}, false, {"bias1", "bias2", "bias3"}, [](G g, P p) { return BIAS(g.close, p[0], p[1], p[2]); }},
  {"psy",  {12, 6, 0},  false, {"psy", "psyma"}, [](G g, P p) { return PSY(g.close, p[0], p[1]); }},
  {"cci",  {14, 0, 0},  false, {"cci"}, [](G g, P p) { return one(CCI(g.close, g.high, g.low, p[0])); }},
  // Channels and volatility.
  {"boll", {20, 2, 0},  false, {"upper", "mid", "lower"},
   [](G g, P p) { return BOLL(g.close, p[0], static_cast<double>(p[1])); }},
  {"atr",  {20, 0, 0},  false, {"atr"}, [](G g, P p) { return one(ATR(g.close, g.high, g.low, p[0])); }},
  {"taq",  {20, 0, 0},  false, {"taq_up", "taq_mid", "taq_down"}, [](G g, P p) { return TAQ(g.high, g.low, p[0]); }},
  {"ktn",  {20, 10, 0}, false, {"ktn_up", "ktn_mid", "ktn_down"},
   [](G g, P p) { return KTN(g.close, g.high, g.low, p[0], p[1]); }},
  {"xsii", {102, 7, 0}, false, {"td1", "td2", "td3", "td4"},
   [](G g, P p) { return XSII(g.close, g.high, g.low, p[0], p[1]); }},
  {"mass", {9, 25, 6},  false, {"mass", "ma"}, [](G g, P p) { return MASS(g.high, g.low, p[0], p[1], p[2]); }},
  // Volume and directional.
  {"obv",  {0, 0, 0},   false, {"obv"}, [](G g, P) { return one(OBV(g.close, g.volume)); }},
  {"vr",   {26, 0, 0},  false, {"vr"}, [](G g, P p) { return one(VR(g.close, g.volume, p[0])); }},
  {"cr",   {20, 0, 0},  false, {"cr"}, [](G g, P p) { return one(CR(g.close, g.high, g.low, p[0])); }},
  {"emv",  {14, 9, 0},  false, {"emv", "maemv"}, [](G g, P p) { return EMV(g.high, g.low, g.volume, p[0], p[1]); }},
  {"brar", {26, 0, 0},  false, {"ar", "br"}, [](G g, P p) { return BRAR(g.open, g.close, g.high, g.low, p[0]); }},
  {"asi",  {26, 10, 0}, false, {"asi", "asit"},
   [](G g, P p) { return ASI(g.open, g.close, g.high, g.low, p[0], p[1]); }},
  {"dmi",  {14, 6, 0},  false, {"pdi", "mdi", "adx", "adxr"},
   [](G g, P p) { return DMI(g.close, g.high, g.low, p[0], p[1]); }},
  {"mfi",  {14, 0, 0},  false, {"mfi"}, [](G g, P p) { return one(MFI(g.close, g.high, g.low, g.volume, p[0])); }},
};
// clang-format on

const Indicator* find_indicator(const std::string& name) {
  auto it = std::find_if(std::begin(kRegistry), std::end(kRegistry),
                         [&name](const Indicator& ind) { return name == ind.name; });
  return it == std::end(kRegistry) ? nullptr : &*it;
}

ParamSet defaults_of(const Indicator& ind) {
  return ParamSet{ind.defaults[0], ind.defaults[1], ind.defaults[2], kDefaultP3};
}

std::vector<std::string> fields_of(const Indicator& ind, const ParamSet& p) {
  std::vector<std::string> out;
  if (ind.expanding) {
    out.push_back(ind.name + std::to_string(p[0]));
    return out;
  }
  for (const char* f : ind.fields) {
    if (f != nullptr) out.emplace_back(f);
  }
  return out;
}

// The parameter sets one name and its list give: one per value for an
// expanding indicator with two or more values, otherwise exactly one.
std::vector<ParamSet> param_sets(const Indicator& ind, const std::vector<std::uint64_t>& values) {
  const ParamSet defaults = defaults_of(ind);
  std::vector<ParamSet> sets;
  if (ind.expanding && values.size() >= 2) {
    for (std::uint64_t x : values) {
      ParamSet p = defaults;
      if (x != 0) p[0] = x;
      sets.push_back(p);
    }
    return sets;
  }
  ParamSet p = defaults;
  for (std::size_t k = 0; k < p.size() && k < values.size(); ++k) {
    if (values[k] != 0) p[k] = values[k];
  }
  sets.push_back(p);
  return sets;
}

}  // namespace

std::vector<Task> build_tasks(const std::vector<std::string>& names,
                              const std::vector<std::vector<std::uint64_t>>& params, const LowerCase& lower) {
  static const std::vector<std::uint64_t> kNoValues;
  std::vector<Task> tasks;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string name = lower(names[i]);
    const std::vector<std::uint64_t>& values = i < params.size() ? params[i] : kNoValues;
    const Indicator* ind = find_indicator(name);
    if (ind == nullptr) throw ValueError("unsupported indicator: " + name);
    for (const ParamSet& p : param_sets(*ind, values)) {
      tasks.push_back(Task{ind, i, p, fields_of(*ind, p)});
    }
  }
  return tasks;
}

std::vector<std::string> field_names(const std::vector<Task>& tasks) {
  std::vector<std::string> out;
  for (const Task& t : tasks) out.insert(out.end(), t.fields.begin(), t.fields.end());
  return out;
}

void compute_task(const Task& task, const GroupSeries& g, SeriesList& out) {
  SeriesList result = task.indicator->compute(g, task.params);
  for (Series& s : result) out.push_back(std::move(s));
}

}  // namespace tarvex
