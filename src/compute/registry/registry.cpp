// The entries of the registry, in the order both modules list them. An
// entry names its compute routine (whose signature gives the argument
// kinds and the result shape) and describes the function: parameters with
// defaults and smallest valid values, output lines, warm-up, crossing pair
// and how the whole-market tables offer it.
#include "registry/registry.hpp"

#include <cctype>
#include <stdexcept>
#include <utility>

#include "registry/binding.hpp"

namespace tarvex::registry {
namespace {

// An entry under construction; the modifiers add what only some entries have.
struct Entry {
  Function f;

  Entry& lines(std::vector<const char*> outputs) {
    f.outputs = std::move(outputs);
    return *this;
  }
  Entry& crossing(const char* fast, const char* slow) {
    f.cross_fast = fast;
    f.cross_slow = slow;
    return *this;
  }
  Entry& units(const char* text) {
    f.units = text;
    return *this;
  }
  Entry& array_only() {
    f.core = false;
    return *this;
  }
  Entry& looks_ahead() {
    f.lookahead = true;
    return *this;
  }
  Entry& boolean() {
    f.boolean = true;
    return *this;
  }
  Entry& rowwise() {
    f.rowwise = true;
    return *this;
  }
  Entry& provisional() {
    f.provisional = true;
    return *this;
  }
  Entry& fixed() {
    f.batch.role = BatchRole::Fixed;
    return *this;
  }
  Entry& fixed(std::vector<std::uint64_t> defaults) {
    f.batch = Batch{BatchRole::Fixed, std::move(defaults), 1};
    return *this;
  }
  Entry& expanding(std::vector<std::uint64_t> defaults, std::uint64_t divisor = 1) {
    f.batch = Batch{BatchRole::Expanding, std::move(defaults), divisor};
    return *this;
  }
};

template <auto F>
Entry fn(const char* name, Family family, const char* zh, const char* en, const char* formula, const char* warmup,
         std::vector<Param> params) {
  Entry e;
  e.f.name = name;
  e.f.family = family;
  e.f.zh = zh;
  e.f.en = en;
  e.f.formula = formula;
  e.f.warmup = warmup;
  e.f.params = std::move(params);
  binding::deduce<F>(e.f, F);
  return e;
}

// The parameters most functions share.
const Param S{"s", "input series"};
const Param COND{"s", "condition series (nonzero is true)", nullptr, 0, true};
const Param CLOSE{"close", "closing prices"};
const Param HIGH{"high", "high prices"};
const Param LOW{"low", "low prices"};
const Param OPEN{"open", "opening prices"};
const Param VOL{"vol", "volume"};

// A window or period length in bars.
Param bars(const char* name, const char* about, const char* default_text = nullptr, std::uint64_t minimum = 1) {
  return Param{name, about, default_text, minimum};
}
const Param N{"n", "window length in bars", nullptr, 1};

// DMA has a scalar and a series form; the scalar-or-series one picks.
constexpr Series (*kDma)(SeriesView, VSView) = &DMA;

constexpr Family kElem = Family::Elementwise, kSmooth = Family::Smoothing, kWin = Family::Windows,
                 kCond = Family::Conditions, kTrend = Family::Trend, kOsc = Family::Oscillators,
                 kChan = Family::Channels, kVol = Family::Volume, kAhead = Family::Lookahead;

std::vector<Function> build() {
  // clang-format off
  const Entry entries[] = {
    // ---- element-wise ----
    fn<&RD>("RD", kElem, "四舍五入取 D 位小数", "Round to d decimal places.",
            "each value rounded half away from zero to d decimals", "0",
            {{"n", "input series"}, {"d", "decimal places", "3"}})
        .rowwise(),
    fn<&RET>("RET", kElem, "返回序列倒数第 N 个值", "The n-th value from the end.",
             "s[len(s) - n], a single number", "0", {S, bars("n", "position from the end (1 is the last value)", "1")}),
    fn<&ABS>("ABS", kElem, "绝对值", "Absolute value.", "|s| bar by bar", "0", {S})
        .rowwise(),
    fn<&LN>("LN", kElem, "自然对数", "Natural logarithm.", "ln(s) bar by bar (NaN for s <= 0)", "0", {S})
        .rowwise(),
    fn<&POW>("POW", kElem, "S 的 N 次方", "Power.", "s raised to the power n bar by bar", "0",
             {S, {"n", "exponent"}})
        .rowwise(),
    fn<&SQRT>("SQRT", kElem, "平方根", "Square root.", "sqrt(s) bar by bar (NaN for s < 0)", "0", {S})
        .rowwise(),
    fn<&SIN>("SIN", kElem, "正弦", "Sine.", "sin(s) bar by bar, s in radians", "0", {S})
        .rowwise(),
    fn<&COS>("COS", kElem, "余弦", "Cosine.", "cos(s) bar by bar, s in radians", "0", {S})
        .rowwise(),
    fn<&TAN>("TAN", kElem, "正切", "Tangent.", "tan(s) bar by bar, s in radians", "0", {S})
        .rowwise(),
    fn<&MAX>("MAX", kElem, "序列逐元素取最大值", "Element-wise maximum.",
             "the larger of s1 and s2 bar by bar; a number applies to every bar", "0",
             {{"s1", "series or number"}, {"s2", "series or number"}})
        .rowwise(),
    fn<&MIN>("MIN", kElem, "序列逐元素取最小值", "Element-wise minimum.",
             "the smaller of s1 and s2 bar by bar; a number applies to every bar", "0",
             {{"s1", "series or number"}, {"s2", "series or number"}})
        .rowwise(),
    fn<&IF>("IF", kElem, "序列条件判断  IF(cond, A, B) → A if True else B", "Choose by condition.",
            "a where the condition s is nonzero, else b, bar by bar", "0",
            {COND, {"a", "value where true (series or number)"}, {"b", "value where false (series or number)"}})
        .rowwise(),
    // ---- windows (shifts and rolling statistics) ----
    fn<&REF>("REF", kWin, "序列下移 N (shift)", "Value n bars ago.", "s shifted n bars later (lagged)", "n",
             {S, bars("n", "lag in bars", "1", 0)})
        .expanding({1}).provisional(),
    fn<&DIFF>("DIFF", kWin, "前后差分", "Difference from n bars ago.", "s - REF(s, n)", "n",
              {S, bars("n", "lag in bars", "1", 0)})
        .provisional(),
    fn<&STD>("STD", kWin, "N 日滚动标准差 (ddof=0)", "Rolling standard deviation.",
             "population standard deviation (ddof = 0) of the last n values", "n - 1", {S, N})
        .expanding({5}).provisional(),
    fn<&SUM>("SUM", kWin, "N 日滚动求和 (N=0 时为累积求和)", "Rolling sum.",
             "sum of the last n values; n = 0 sums from the first bar", "max(n - 1, 0)",
             {S, bars("n", "window length in bars (0: cumulative)", nullptr, 0)})
        .expanding({5}).provisional(),
    fn<&CONST>("CONST", kElem, "用序列最后一个值构造常量序列", "Constant series of the last value.",
               "every bar takes the value of the last bar", "0", {S})
        .provisional(),
    fn<&HHV>("HHV", kWin, "N 日最高值", "Highest value over n bars.", "maximum of the last n values", "n - 1", {S, N})
        .expanding({5}).provisional(),
    fn<&LLV>("LLV", kWin, "N 日最低值", "Lowest value over n bars.", "minimum of the last n values", "n - 1", {S, N})
        .expanding({5}).provisional(),
    fn<&HHVBARS>("HHVBARS", kWin, "N 日最高值到当前的周期数", "Bars since the highest value of the window.",
                 "how many bars ago the maximum of the last n values occurred", "n - 1", {S, N})
        .provisional(),
    fn<&LLVBARS>("LLVBARS", kWin, "N 日最低值到当前的周期数", "Bars since the lowest value of the window.",
                 "how many bars ago the minimum of the last n values occurred", "n - 1", {S, N})
        .provisional(),
    // ---- smoothing ----
    fn<&MA>("MA", kSmooth, "N 日简单移动平均", "Simple moving average.", "mean of the last n values", "n - 1", {S, N})
        .expanding({5}).provisional(),
    fn<&EMA>("EMA", kSmooth, "N 日指数移动平均 alpha=2/(N+1)", "Exponential moving average.",
             "y = alpha * s + (1 - alpha) * y[-1] with alpha = 2 / (n + 1), seeded with the first value", "0",
             {S, N})
        .expanding({5}).provisional(),
    fn<&SMA>("SMA", kSmooth, "中国式 SMA  alpha=M/N", "Smoothed moving average (weight m of n).",
             "y = (m * s + (n - m) * y[-1]) / n, i.e. alpha = m / n, seeded with the first value", "0",
             {S, N, bars("m", "weight of the newest value", "1", 0)})
        .expanding({5, 1}).provisional(),
    fn<&WMA>("WMA", kSmooth, "加权移动平均", "Linearly weighted moving average.",
             "weights 1, 2, ..., n over the last n values, the newest weighing most", "n - 1", {S, N})
        .expanding({5}).provisional(),
    fn<kDma>("DMA", kSmooth, "动态移动平均 (A 为标量或序列)", "Dynamic moving average.",
             "y = a * s + (1 - a) * y[-1], where the weight a is a number or a series per bar", "0",
             {S, {"a", "smoothing weight in (0, 1], number or series"}})
        .expanding({10}, 100).provisional(),
    fn<&AVEDEV>("AVEDEV", kWin, "平均绝对偏差", "Mean absolute deviation.",
                "mean of |s - mean| over the last n values", "n - 1", {S, N})
        .provisional(),
    fn<&SLOPE>("SLOPE", kWin, "N 周期线性回归斜率", "Slope of the linear regression.",
               "least-squares slope of the last n values against their bar positions", "n - 1",
               {S, bars("n", "window length in bars", nullptr, 2)})
        .provisional(),
    fn<&FORCAST>("FORCAST", kWin, "N 周期线性回归预测值", "Linear regression value.",
                 "the least-squares line of the last n values evaluated at the current bar", "n - 1",
                 {S, bars("n", "window length in bars", nullptr, 2)})
        .provisional(),
    // ---- conditions and events ----
    fn<&LAST>("LAST", kCond, "从前 A 日到前 B 日一直满足条件", "Condition held from a bars ago to b bars ago.",
              "1 where s is nonzero on every bar from a bars ago through b bars ago, else 0", "a",
              {COND, bars("a", "start, in bars ago", nullptr, 0), bars("b", "end, in bars ago", nullptr, 0)})
        .provisional(),
    fn<&COUNT>("COUNT", kCond, "最近 N 天满足条件的天数", "Count of true bars.",
               "number of nonzero values among the last n (n = 0: since the first bar)", "max(n - 1, 0)",
               {COND, bars("n", "window length in bars (0: cumulative)", nullptr, 0)})
        .provisional(),
    fn<&EVERY>("EVERY", kCond, "最近 N 天是否全部满足条件", "Condition held on every bar of the window.",
               "1 where the last n values are all nonzero, else 0", "0", {COND, N})
        .boolean().provisional(),
    fn<&EXIST>("EXIST", kCond, "N 日内是否存在满足条件", "Condition held on some bar of the window.",
               "1 where any of the last n values is nonzero, else 0", "0", {COND, N})
        .boolean().provisional(),
    fn<&FILTER>("FILTER", kCond, "满足条件后将其后 N 周期置 0", "Keep a signal, silence the next n bars.",
                "1 where s is nonzero and no kept signal lies within the previous n bars, else 0", "0",
                {COND, bars("n", "bars silenced after a kept signal", nullptr, 0)})
        .boolean().provisional(),
    fn<&BARSLAST>("BARSLAST", kCond, "上一次条件成立到当前的周期数", "Bars since the condition last held.",
                  "0 on a true bar, counting up until the next (NaN before the first)", "0", {COND})
        .provisional(),
    fn<&BARSLASTCOUNT>("BARSLASTCOUNT", kCond, "连续满足条件的周期数", "Length of the current run of true bars.",
                       "consecutive nonzero bars ending at the current bar", "0", {COND})
        .provisional(),
    fn<&BARSSINCEN>("BARSSINCEN", kCond, "N 周期内第一次条件成立到现在的周期数",
                    "Bars since the condition first held within the window.",
                    "bars from the first nonzero value among the last n to the current bar", "n - 1", {COND, N})
        .provisional(),
    fn<&CROSS>("CROSS", kCond, "金叉判断 (S1 从下方穿越 S2)", "Upward crossing.",
               "1 where s1 rises from below or at s2 to above it, -1 where it falls from above or at s2 to below "
               "it, else 0", "0",
               {{"s1", "fast series"}, {"s2", "slow series"}})
        .provisional(),
    fn<&LONGCROSS>("LONGCROSS", kCond, "S1 在 N 周期内都小于 S2 后穿越",
                   "Upward crossing after n bars below.",
                   "1 where s1 crosses above s2 after staying below it for the previous n bars, else 0", "0",
                   {{"s1", "fast series"}, {"s2", "slow series"}, bars("n", "bars below before the crossing", nullptr, 0)})
        .boolean().provisional(),
    fn<&VALUEWHEN>("VALUEWHEN", kCond, "当 S 条件成立时取 X 值,否则取上个成立时的值",
                   "Value at the last true bar.",
                   "x where s is nonzero, otherwise the value taken at the last such bar (NaN before)", "0",
                   {COND, {"x", "values to take"}})
        .provisional(),
    fn<&BETWEEN>("BETWEEN", kCond, "S 处于 A 和 B 之间", "Between two bounds.",
                 "1 where s lies strictly between a and b (either order), else 0", "0",
                 {S, {"a", "one bound"}, {"b", "the other bound"}})
        .boolean().rowwise(),
    fn<&TOPRANGE>("TOPRANGE", kCond, "当前值是近多少周期内的最大值", "Bars the current value has been the highest.",
                  "number of preceding bars all below the current value", "0", {S})
        .provisional(),
    fn<&LOWRANGE>("LOWRANGE", kCond, "当前值是近多少周期内的最小值", "Bars the current value has been the lowest.",
                  "number of preceding bars all above the current value", "0", {S})
        .provisional(),

    // ---- composite indicators ----
    fn<&MACD>("MACD", kTrend, "MACD 指标", "Moving average convergence divergence.",
              "DIF = EMA(close, short) - EMA(close, long); DEA = EMA(DIF, m); MACD = 2 * (DIF - DEA)", "0",
              {CLOSE, bars("short", "fast EMA period", "12"), bars("long", "slow EMA period", "26"),
               bars("m", "signal EMA period", "9")})
        .lines({"dif", "dea", "macd"}).crossing("dif", "dea").fixed().provisional(),
    fn<&KDJ>("KDJ", kOsc, "KDJ 指标", "Stochastic oscillator KDJ.",
             "RSV = 100 * (close - LLV(low, n)) / (HHV(high, n) - LLV(low, n)); K = SMA-style smoothing of RSV "
             "with alpha 1/m1, D of K with alpha 1/m2; J = 3K - 2D",
             "n - 1", {CLOSE, HIGH, LOW, bars("n", "RSV window", "9"), bars("m1", "K smoothing", "3"),
                       bars("m2", "D smoothing", "3")})
        .lines({"k", "d", "j"}).crossing("k", "d").fixed().provisional(),
    fn<&RSI>("RSI", kOsc, "RSI 指标", "Relative strength index.",
             "100 * smoothed gains / smoothed absolute changes, both smoothed with alpha 1/n", "1",
             {CLOSE, bars("n", "smoothing period", "24")})
        .fixed().provisional(),
    fn<&WR>("WR", kOsc, "W&R 威廉指标", "Williams %R over two windows.",
            "100 * (HHV(high, p) - close) / (HHV(high, p) - LLV(low, p)) for p = n and p = n1", "n - 1; n1 - 1",
            {CLOSE, HIGH, LOW, bars("n", "first window", "10"), bars("n1", "second window", "6")})
        .lines({"wr", "wr1"}).fixed().provisional(),
    fn<&BIAS>("BIAS", kOsc, "BIAS 乖离率", "Deviation from the moving average (bias ratio), three periods.",
              "100 * (close - MA(close, p)) / MA(close, p) for p = l1, l2, l3", "l1 - 1; l2 - 1; l3 - 1",
              {CLOSE, bars("l1", "first period", "6"), bars("l2", "second period", "12"),
               bars("l3", "third period", "24")})
        .lines({"bias1", "bias2", "bias3"}).fixed().provisional(),
    fn<&BOLL>("BOLL", kChan, "BOLL 布林带", "Bollinger bands.",
              "MID = MA(close, n); UPPER/LOWER = MID +/- p * STD(close, n)", "n - 1",
              {CLOSE, bars("n", "window length", "20"), {"p", "band width in standard deviations", "2.0"}})
        .lines({"upper", "mid", "lower"}).fixed().provisional(),
    fn<&PSY>("PSY", kOsc, "PSY 心理线", "Psychological line.",
             "PSY = 100 * (rising bars among the last n) / n; PSYMA = MA(PSY, m)", "n - 1; n + m - 2",
             {CLOSE, bars("n", "counting window", "12"), bars("m", "average period", "6")})
        .lines({"psy", "psyma"}).fixed().provisional(),
    fn<&CCI>("CCI", kOsc, "CCI 顺势指标", "Commodity channel index.",
             "(TP - MA(TP, n)) / (0.015 * AVEDEV(TP, n)) with TP = (high + low + close) / 3", "n - 1",
             {CLOSE, HIGH, LOW, bars("n", "window length", "14", 2)})
        .fixed().provisional(),
    fn<&ATR>("ATR", kChan, "ATR 真实波动 N 日均值", "Average true range.",
             "MA of the true range max(high - low, |high - prev close|, |low - prev close|) over n bars", "n",
             {CLOSE, HIGH, LOW, bars("n", "window length", "20")})
        .fixed().provisional(),
    fn<&BBI>("BBI", kTrend, "BBI 多空指标", "Bull and bear index.",
             "(MA(close, m1) + MA(close, m2) + MA(close, m3) + MA(close, m4)) / 4", "max(m1, m2, m3, m4) - 1",
             {CLOSE, bars("m1", "first period", "3"), bars("m2", "second period", "6"),
              bars("m3", "third period", "12"), bars("m4", "fourth period", "20")})
        .fixed().provisional(),
    fn<&DMI>("DMI", kVol, "DMI 动向指标", "Directional movement index.",
             "PDI/MDI = 100 * SUM(+DM/-DM, m1) / SUM(TR, m1); ADX = MA(100 * |MDI - PDI| / (MDI + PDI), m2); "
             "ADXR = (ADX + REF(ADX, m2)) / 2",
             "m1; m1; m1 + m2 - 1; m1 + 2 * m2 - 1",
             {CLOSE, HIGH, LOW, bars("m1", "directional sum period", "14"), bars("m2", "ADX period", "6")})
        .lines({"pdi", "mdi", "adx", "adxr"}).crossing("pdi", "mdi").fixed().provisional(),
    fn<&TAQ>("TAQ", kChan, "唐安奇通道 (海龟交易)", "Donchian channel.",
             "UP = HHV(high, n); DOWN = LLV(low, n); MID = (UP + DOWN) / 2", "n - 1",
             {HIGH, LOW, N})
        .lines({"taq_up", "taq_mid", "taq_down"}).fixed({20}).provisional(),
    fn<&KTN>("KTN", kChan, "KTN 肯特纳通道", "Keltner channel.",
             "MID = EMA(TP, n) with TP = (high + low + close) / 3; UP/DOWN = MID +/- 2 * MA(true range, m)",
             "m; 0; m", {CLOSE, HIGH, LOW, bars("n", "middle line EMA period", "20"), bars("m", "range average period", "10")})
        .lines({"ktn_up", "ktn_mid", "ktn_down"}).fixed().provisional(),
    fn<&TRIX>("TRIX", kTrend, "TRIX 三重指数平滑", "Triple exponential average.",
              "TR = EMA(EMA(EMA(close, m1), m1), m1); TRIX = 100 * (TR - REF(TR, 1)) / REF(TR, 1); TRMA = MA(TRIX, m2)",
              "1; m2", {CLOSE, bars("m1", "EMA period", "12"), bars("m2", "average period", "20")})
        .lines({"trix", "trma"}).crossing("trix", "trma").fixed().provisional(),
    fn<&VR>("VR", kVol, "VR 容量比率", "Volume ratio.",
            "100 * SUM(volume on rising bars, m1) / SUM(volume on other bars, m1)", "max(m1 - 1, 2)",
            {CLOSE, VOL, bars("m1", "window length", "26")})
        .fixed().provisional(),
    fn<&CR>("CR", kVol, "CR 价格动量指标", "CR momentum index.",
            "100 * SUM(max(high - M, 0), n) / SUM(max(M - low, 0), n), M the previous bar's typical price", "max(n, 2)",
            {CLOSE, HIGH, LOW, bars("n", "window length", "20")})
        .fixed().provisional(),
    fn<&EMV>("EMV", kVol, "EMV 简易波动指标", "Ease of movement.",
             "MA over n of the midpoint move times MA(vol, n) / vol times the range, over MA(range, n); "
             "MAEMV = MA(EMV, m)",
             "max(2 * n - 2, 1); max(2 * n - 2, 1) + m - 1",
             {HIGH, LOW, VOL, bars("n", "window length", "14"), bars("m", "average period", "9")})
        .lines({"emv", "maemv"}).crossing("emv", "maemv").fixed().provisional(),
    fn<&DPO>("DPO", kTrend, "DPO 区间震荡线", "Detrended price oscillator.",
             "DPO = close - REF(MA(close, m1), m2); MADPO = MA(DPO, m3)", "m1 + m2 - 1; m1 + m2 + m3 - 2",
             {CLOSE, bars("m1", "average period", "20"), bars("m2", "shift", "10", 0), bars("m3", "signal period", "6")})
        .lines({"dpo", "madpo"}).crossing("dpo", "madpo").fixed().provisional(),
    fn<&BRAR>("BRAR", kVol, "BRAR 情绪指标", "Sentiment indicators AR and BR.",
              "AR = 100 * SUM(high - open, m1) / SUM(open - low, m1); "
              "BR = 100 * SUM(max(high - prev close, 0), m1) / SUM(max(prev close - low, 0), m1)",
              "m1 - 1; max(m1, 2)", {OPEN, CLOSE, HIGH, LOW, bars("m1", "window length", "26")})
        .lines({"ar", "br"}).fixed().provisional(),
    fn<&DFMA>("DFMA", kTrend, "DFMA 平行线差指标", "Difference of moving averages.",
              "DIF = MA(close, n1) - MA(close, n2); DIFMA = MA(DIF, m)", "max(n1, n2) - 1; max(n1, n2) + m - 2",
              {CLOSE, bars("n1", "short period", "10"), bars("n2", "long period", "50"), bars("m", "signal period", "10")})
        .lines({"dfma_dif", "dfma_difma"}).crossing("dfma_dif", "dfma_difma").fixed().provisional(),
    fn<&MTM>("MTM", kTrend, "MTM 动量指标", "Momentum.", "MTM = close - REF(close, n); MTMMA = MA(MTM, m)",
             "n; n + m - 1", {CLOSE, bars("n", "lag in bars", "12", 0), bars("m", "signal period", "6")})
        .lines({"mtm", "mtmma"}).crossing("mtm", "mtmma").fixed().provisional(),
    fn<&MASS>("MASS", kChan, "MASS 梅斯线", "Mass index.",
              "SUM over n2 of MA(high - low, n1) / MA(MA(high - low, n1), n1); MA of that over m",
              "2 * n1 + n2 - 3; 2 * n1 + n2 + m - 4",
              {HIGH, LOW, bars("n1", "range average period", "9"), bars("n2", "sum period", "25"),
               bars("m", "signal period", "6")})
        .lines({"mass", "ma"}).crossing("mass", "ma").fixed().provisional(),
    fn<&ROC>("ROC", kTrend, "ROC 变动率指标", "Rate of change.",
             "ROC = 100 * (close - REF(close, n)) / REF(close, n); MAROC = MA(ROC, m)", "n; n + m - 1",
             {CLOSE, bars("n", "lag in bars", "12", 0), bars("m", "signal period", "6")})
        .lines({"roc", "maroc"}).crossing("roc", "maroc").fixed().provisional(),
    fn<&EXPMA>("EXPMA", kTrend, "EXPMA 指数平均数指标", "Two exponential moving averages.",
               "EXP1 = EMA(close, n1); EXP2 = EMA(close, n2)", "0; 0",
               {CLOSE, bars("n1", "short period", "12"), bars("n2", "long period", "50")})
        .lines({"exp1", "exp2"}).fixed().provisional(),
    fn<&OBV>("OBV", kVol, "OBV 能量潮指标", "On-balance volume.",
             "cumulative sum of vol on rising closes minus vol on falling closes, divided by 10,000", "0",
             {CLOSE, VOL})
        .units("in units of 10,000 shares (the volume's units / 10,000)").fixed().provisional(),
    fn<&MFI>("MFI", kVol, "MFI 资金流量指标", "Money flow index.",
             "100 - 100 / (1 + SUM(rising money flow, n) / SUM(falling money flow, n)), money flow = TP * vol",
             "max(n - 1, 2)", {CLOSE, HIGH, LOW, VOL, bars("n", "window length", "14")})
        .fixed().provisional(),
    fn<&ASI>("ASI", kVol, "ASI 振动升降指标", "Accumulation swing index.",
             "ASI = SUM of the swing index SI over m1 bars; ASIT = MA(ASI, m2)", "m1; m1 + m2 - 1",
             {OPEN, CLOSE, HIGH, LOW, bars("m1", "sum period", "26"), bars("m2", "signal period", "10")})
        .lines({"asi", "asit"}).crossing("asi", "asit").fixed().provisional(),
    fn<&XSII>("XSII", kChan, "XSII 薛斯通道II", "Xue's channel II.",
              "AA = (2 * close + high + low) / 4; TD1/TD2 = MA(AA, 5) * n / 100 and * (200 - n) / 100; "
              "TD3/TD4 = DMA(close, |AA - MA(close, 20)| / MA(close, 20)) * (1 +/- m / 100)",
              "4; 4; 0; 0",
              {CLOSE, HIGH, LOW, bars("n", "short channel factor in percent", "102", 0),
               bars("m", "long channel width in percent", "7", 0)})
        .lines({"td1", "td2", "td3", "td4"}).fixed().provisional(),

    // ---- the array package's own: loops over bars ----
    fn<&SAR>("SAR", kTrend, "抛物线转向 SAR", "Parabolic stop and reverse.",
             "a stop trailing the trend: from the n-th bar, the far extreme of the first n bars (rising when "
             "their highest high came no earlier than their lowest low); then stop + acceleration * (extreme "
             "point - stop), kept beyond the two previous bars' lows (highs); a bar crossing it reverses the "
             "trend, the stop jumping to the old extreme point; acceleration starts at step percent and grows "
             "by step percent with each new extreme point, up to limit percent",
             "n - 1", {HIGH, LOW, bars("n", "bars of the first extremes", "10"),
                       {"step", "acceleration step in percent", "2.0"}, {"limit", "acceleration limit in percent", "20.0"}})
        .array_only().provisional(),
    fn<&SARTURN>("SARTURN", kTrend, "抛物线转向点", "Turns of the parabolic stop and reverse.",
                 "+1 where SAR's trend turns up (the stop jumps below the prices), -1 where it turns down, "
                 "0 on the other bars with a stop",
                 "n - 1", {HIGH, LOW, bars("n", "bars of the first extremes", "10"),
                           {"step", "acceleration step in percent", "2.0"},
                           {"limit", "acceleration limit in percent", "20.0"}})
        .array_only().provisional(),
    fn<&SUMBARS>("SUMBARS", kWin, "向前累加到 A 所需的周期数", "Bars needed for the sum to reach a target.",
                 "the fewest latest bars (the current one counting 1) whose sum reaches a, the sum taken as the "
                 "difference of running totals in which values that are not finite add nothing; NaN where a "
                 "is NaN or the whole history falls short", "0",
                 {S, {"a", "target sum (series or number)"}})
        .array_only().provisional(),
    fn<&HOD>("HOD", kWin, "当前值是 N 周期内的第几高", "Rank of the value among the highest of the window.",
             "1 + the number of values of the last n bars (n = 0: every bar so far) above the current one; "
             "NaN values do not count, NaN at a NaN bar", "max(n - 1, 0)",
             {S, bars("n", "window length in bars (0: every bar so far)", nullptr, 0)})
        .array_only().provisional(),
    fn<&LOD>("LOD", kWin, "当前值是 N 周期内的第几低", "Rank of the value among the lowest of the window.",
             "1 + the number of values of the last n bars (n = 0: every bar so far) below the current one; "
             "NaN values do not count, NaN at a NaN bar", "max(n - 1, 0)",
             {S, bars("n", "window length in bars (0: every bar so far)", nullptr, 0)})
        .array_only().provisional(),
    fn<&UPNDAY>("UPNDAY", kCond, "连涨 M 周期", "Rose on each of the last m bars.",
                "1 where s > REF(s, 1) on each of the last m bars, else 0 (a comparison with NaN fails)", "0",
                {S, bars("m", "bars in a row", nullptr, 0)})
        .array_only().provisional(),
    fn<&DOWNNDAY>("DOWNNDAY", kCond, "连跌 M 周期", "Fell on each of the last m bars.",
                  "1 where s < REF(s, 1) on each of the last m bars, else 0 (a comparison with NaN fails)", "0",
                  {S, bars("m", "bars in a row", nullptr, 0)})
        .array_only().provisional(),
    fn<&NDAY>("NDAY", kCond, "连续 N 周期 S1 > S2", "Above on each of the last n bars.",
              "1 where s1 > s2 on each of the last n bars, else 0 (a comparison with NaN fails)", "0",
              {{"s1", "upper series"}, {"s2", "lower series"}, bars("n", "bars in a row", nullptr, 0)})
        .array_only().provisional(),
    fn<&TFILTER>("TFILTER", kCond, "过滤连续出现的买卖信号", "Filter repeated buy and sell signals.",
                 "1 at a kept buy, 2 at a kept sell, else 0: a kept buy opens a position, a kept sell closes it; "
                 "n = 0 keeps a buy only with no position and a sell only with one, n = 1 filters buys only, "
                 "n = 2 sells only; a bar where both are kept keeps the buy; NaN is false", "0",
                 {{"buy", "buy condition (neither 0 nor NaN is true)", nullptr, 0, true},
                  {"sell", "sell condition (neither 0 nor NaN is true)", nullptr, 0, true},
                  {"n", "0 filter both, 1 filter buys, 2 filter sells", "0"}})
        .array_only().provisional(),
    fn<&BARSCOUNT>("BARSCOUNT", kCond, "第一个有效值到当前的周期数", "Bars since the first number.",
                   "the number of bars from the first non-NaN value through the current bar (1 on that bar), "
                   "NaN before it", "0", {S})
        .array_only().provisional(),
    // ---- reading later bars ----
    fn<&ZIG>("ZIG", kAhead, "之字转向", "Zigzag line.",
             "the turning points where s reverses by at least n percent of the extreme, joined by straight "
             "lines from the first number of s; the last leg runs from the last turning point to the last bar",
             "0", {S, {"n", "reversal in percent"}})
        .array_only().looks_ahead(),
    fn<&PEAK>("PEAK", kAhead, "之字转向前 M 个波峰值", "Value of the m-th latest zigzag peak.",
              "s at the m-th latest peak of ZIG(s, n) at or before the bar (m = 1: the latest), NaN before it",
              "until the m-th peak", {S, {"n", "reversal in percent"}, bars("m", "which peak back", "1")})
        .array_only().looks_ahead(),
    fn<&PEAKBARS>("PEAKBARS", kAhead, "之字转向前 M 个波峰到当前的周期数", "Bars since the m-th latest zigzag peak.",
                  "bars since the m-th latest peak of ZIG(s, n) at or before the bar, NaN before it",
                  "until the m-th peak", {S, {"n", "reversal in percent"}, bars("m", "which peak back", "1")})
        .array_only().looks_ahead(),
    fn<&TROUGH>("TROUGH", kAhead, "之字转向前 M 个波谷值", "Value of the m-th latest zigzag trough.",
                "s at the m-th latest trough of ZIG(s, n) at or before the bar (m = 1: the latest), NaN before it",
                "until the m-th trough", {S, {"n", "reversal in percent"}, bars("m", "which trough back", "1")})
        .array_only().looks_ahead(),
    fn<&TROUGHBARS>("TROUGHBARS", kAhead, "之字转向前 M 个波谷到当前的周期数",
                    "Bars since the m-th latest zigzag trough.",
                    "bars since the m-th latest trough of ZIG(s, n) at or before the bar, NaN before it",
                    "until the m-th trough", {S, {"n", "reversal in percent"}, bars("m", "which trough back", "1")})
        .array_only().looks_ahead(),
    fn<&REFX>("REFX", kAhead, "引用 N 周期后的值", "Value n bars later.",
              "s shifted n bars earlier (the value n bars ahead), NaN on the last n bars", "0",
              {S, bars("n", "lead in bars", "1", 0)})
        .array_only().looks_ahead(),
    fn<&BACKSET>("BACKSET", kAhead, "条件成立时将当前及之前共 N 个周期置 1", "Mark the n bars ending at a true bar.",
                 "1 on every true bar of s (neither 0 nor NaN) and on the n - 1 bars before it, else 0 "
                 "(n = 0: 0 everywhere)", "0", {COND, bars("n", "bars marked, the true bar included", nullptr, 0)})
        .array_only().looks_ahead(),
  };
  // clang-format on
  std::vector<Function> out;
  for (const Entry& e : entries) {
    const Function& f = e.f;
    std::size_t named = f.kinds.size() - (f.rounds() ? 1 : 0);
    if (named != f.params.size()) {
      throw std::logic_error(std::string(f.name) + ": the entry's parameters do not match the routine");
    }
    const bool lines = f.shape == Shape::Lines;
    if (lines == f.outputs.empty()) throw std::logic_error(std::string(f.name) + ": output names do not match");
    out.push_back(f);
  }
  return out;
}

}  // namespace

std::vector<std::string> Function::fields() const {
  std::vector<std::string> out(outputs.begin(), outputs.end());
  if (out.empty()) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out.push_back(std::move(lower));
  }
  return out;
}

const std::vector<Function>& functions() {
  static const std::vector<Function> table = build();
  return table;
}

const std::vector<TableFunction>& table_functions() {
  using A = TableArg;
  using P = TablePart;
  static const std::vector<TableResult> kTableResults = {
      {"code", P::Integers}, {"date", P::Integers}, {"fields", P::Texts}, {"columns", P::Columns}};
  static const std::vector<TableFunction> tables = {
      {"ZHISHU",
       {{"code_i", A::Codes}, {"date", A::Dates}, {"open", A::Column}, {"high", A::Column}, {"low", A::Column},
        {"close", A::Column}, {"volume", A::Column}, {"amount", A::Column}, {"float_mv", A::Column},
        {"total_mv", A::Column}, {"method", A::Integer, "1"}, {"base", A::Number, "1000.0"}},
       {{"date", P::Integers}, {"open", P::Numbers}, {"high", P::Numbers}, {"low", P::Numbers},
        {"close", P::Numbers}, {"change", P::Numbers}, {"volume", P::Numbers}, {"amount", P::Numbers},
        {"count", P::Integers}}},
      {"BATCH",
       {{"names_in", A::Names}, {"params_in", A::ParamLists}, {"code_i", A::Codes}, {"date", A::Dates},
        {"open", A::Column}, {"high", A::Column}, {"low", A::Column}, {"close", A::Column}, {"volume", A::Column}},
       kTableResults},
      {"BATCH_CROSS",
       {{"names_in", A::Names}, {"params_in", A::ParamLists}, {"code_i", A::Codes}, {"date", A::Dates},
        {"open", A::Column}, {"high", A::Column}, {"low", A::Column}, {"close", A::Column}, {"volume", A::Column},
        {"keep_values", A::Flag}},
       kTableResults},
  };
  return tables;
}

const TableFunction& table_function(const std::string& name) {
  for (const TableFunction& t : table_functions()) {
    if (name == t.name) return t;
  }
  throw std::logic_error("no table function " + name);
}

const char* bar_column(const char* param) {
  static const char* const kNamed[][2] = {
      {"open", "open"}, {"high", "high"}, {"low", "low"}, {"close", "close"}, {"vol", "volume"}};
  for (const auto& [name, column] : kNamed) {
    if (std::string(param) == name) return column;
  }
  return nullptr;
}

const char* family_name(Family family) {
  switch (family) {
    case Family::Elementwise: return "elementwise";
    case Family::Smoothing: return "smoothing";
    case Family::Windows: return "windows";
    case Family::Conditions: return "conditions";
    case Family::Lookahead: return "lookahead";
    case Family::Trend: return "trend";
    case Family::Oscillators: return "oscillators";
    case Family::Channels: return "channels";
    case Family::Volume: return "volume";
  }
  return "";
}

}  // namespace tarvex::registry
