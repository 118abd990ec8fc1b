// The module's functions in registration order. Each row gives the Python
// name, the docstring's description line, the parameters with their kinds
// and defaults (the text signature is generated from them), and the handler
// that calls the compute routine.
#include "tarvex_core/function_table.hpp"

#include <array>
#include <utility>

#include "batch/batch.hpp"
#include "index/zhishu.hpp"
#include "indicators/indicators.hpp"
#include "series/series.hpp"

namespace tarvex::py {
namespace {

const FunctionRow kRows[] = {
    // ---- series primitives (rows 1-43) ----
    {"RD", "四舍五入取 D 位小数", {P("n", Kind::Series), P("d", Kind::U32, "3")},
     [](Args& a) -> Result { return RD(a.series(0), a.u32(1)); }},
    {"RET", "返回序列倒数第 N 个值", {P("s", Kind::Series), P("n", Kind::U64, "1")},
     [](Args& a) -> Result { return RET(a.series(0), a.u64(1)); }},
    {"ABS", "绝对值", {P("s", Kind::Series)}, [](Args& a) -> Result { return ABS(a.series(0)); }},
    {"LN", "自然对数", {P("s", Kind::Series)}, [](Args& a) -> Result { return LN(a.series(0)); }},
    {"POW", "S 的 N 次方", {P("s", Kind::Series), P("n", Kind::Float)},
     [](Args& a) -> Result { return POW(a.series(0), a.f64(1)); }},
    {"SQRT", "平方根", {P("s", Kind::Series)}, [](Args& a) -> Result { return SQRT(a.series(0)); }},
    {"SIN", "正弦", {P("s", Kind::Series)}, [](Args& a) -> Result { return SIN(a.series(0)); }},
    {"COS", "余弦", {P("s", Kind::Series)}, [](Args& a) -> Result { return COS(a.series(0)); }},
    {"TAN", "正切", {P("s", Kind::Series)}, [](Args& a) -> Result { return TAN(a.series(0)); }},
    {"MAX", "序列逐元素取最大值", {P("s1", Kind::VS), P("s2", Kind::VS)},
     [](Args& a) -> Result { return MAX(view(a.vs(0)), view(a.vs(1))); }},
    {"MIN", "序列逐元素取最小值", {P("s1", Kind::VS), P("s2", Kind::VS)},
     [](Args& a) -> Result { return MIN(view(a.vs(0)), view(a.vs(1))); }},
    {"IF", "序列条件判断  IF(cond, A, B) → A if True else B", {P("s", Kind::Series), P("a", Kind::VS), P("b", Kind::VS)},
     [](Args& a) -> Result { return IF(a.series(0), view(a.vs(1)), view(a.vs(2))); }},
    {"REF", "序列下移 N (shift)", {P("s", Kind::Series), P("n", Kind::U64, "1")},
     [](Args& a) -> Result { return REF(a.series(0), a.u64(1)); }},
    {"DIFF", "前后差分", {P("s", Kind::Series), P("n", Kind::U64, "1")},
     [](Args& a) -> Result { return DIFF(a.series(0), a.u64(1)); }},
    {"STD", "N 日滚动标准差 (ddof=0)", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return STD(a.series(0), a.u64(1)); }},
    {"SUM", "N 日滚动求和 (N=0 时为累积求和)", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return SUM(a.series(0), a.u64(1)); }},
    {"CONST", "用序列最后一个值构造常量序列", {P("s", Kind::Series)},
     [](Args& a) -> Result { return CONST(a.series(0)); }},
    {"HHV", "N 日最高值", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return HHV(a.series(0), a.u64(1)); }},
    {"LLV", "N 日最低值", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return LLV(a.series(0), a.u64(1)); }},
    {"HHVBARS", "N 日最高值到当前的周期数", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return HHVBARS(a.series(0), a.u64(1)); }},
    {"LLVBARS", "N 日最低值到当前的周期数", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return LLVBARS(a.series(0), a.u64(1)); }},
    {"MA", "N 日简单移动平均", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return MA(a.series(0), a.u64(1)); }},
    {"EMA", "N 日指数移动平均 alpha=2/(N+1)", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return EMA(a.series(0), a.u64(1)); }},
    {"SMA", "中国式 SMA  alpha=M/N", {P("s", Kind::Series), P("n", Kind::U64), P("m", Kind::U64, "1")},
     [](Args& a) -> Result { return SMA(a.series(0), a.u64(1), a.u64(2)); }},
    {"WMA", "加权移动平均", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return WMA(a.series(0), a.u64(1)); }},
    {"DMA", "动态移动平均 (A 为标量或序列)", {P("s", Kind::Series), P("a", Kind::VS)},
     [](Args& a) -> Result { return DMA(a.series(0), view(a.vs(1))); }},
    {"AVEDEV", "平均绝对偏差", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return AVEDEV(a.series(0), a.u64(1)); }},
    {"SLOPE", "N 周期线性回归斜率", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return SLOPE(a.series(0), a.u64(1)); }},
    {"FORCAST", "N 周期线性回归预测值", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return FORCAST(a.series(0), a.u64(1)); }},
    {"LAST", "从前 A 日到前 B 日一直满足条件", {P("s", Kind::Series), P("a", Kind::U64), P("b", Kind::U64)},
     [](Args& a) -> Result { return LAST(a.series(0), a.u64(1), a.u64(2)); }},
    {"COUNT", "最近 N 天满足条件的天数", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return COUNT(a.series(0), a.u64(1)); }},
    {"EVERY", "最近 N 天是否全部满足条件", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return EVERY(a.series(0), a.u64(1)); }},
    {"EXIST", "N 日内是否存在满足条件", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return EXIST(a.series(0), a.u64(1)); }},
    {"FILTER", "满足条件后将其后 N 周期置 0", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return FILTER(a.series(0), a.u64(1)); }},
    {"BARSLAST", "上一次条件成立到当前的周期数", {P("s", Kind::Series)},
     [](Args& a) -> Result { return BARSLAST(a.series(0)); }},
    {"BARSLASTCOUNT", "连续满足条件的周期数", {P("s", Kind::Series)},
     [](Args& a) -> Result { return BARSLASTCOUNT(a.series(0)); }},
    {"BARSSINCEN", "N 周期内第一次条件成立到现在的周期数", {P("s", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return BARSSINCEN(a.series(0), a.u64(1)); }},
    {"CROSS", "金叉判断 (S1 从下方穿越 S2)", {P("s1", Kind::Series), P("s2", Kind::Series)},
     [](Args& a) -> Result { return CROSS(a.series(0), a.series(1)); }},
    {"LONGCROSS", "S1 在 N 周期内都小于 S2 后穿越", {P("s1", Kind::Series), P("s2", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return LONGCROSS(a.series(0), a.series(1), a.u64(2)); }},
    {"VALUEWHEN", "当 S 条件成立时取 X 值,否则取上个成立时的值", {P("s", Kind::Series), P("x", Kind::Series)},
     [](Args& a) -> Result { return VALUEWHEN(a.series(0), a.series(1)); }},
    {"BETWEEN", "S 处于 A 和 B 之间", {P("s", Kind::Series), P("a", Kind::Series), P("b", Kind::Series)},
     [](Args& a) -> Result { return BETWEEN(a.series(0), a.series(1), a.series(2)); }},
    {"TOPRANGE", "当前值是近多少周期内的最大值", {P("s", Kind::Series)},
     [](Args& a) -> Result { return TOPRANGE(a.series(0)); }},
    {"LOWRANGE", "当前值是近多少周期内的最小值", {P("s", Kind::Series)},
     [](Args& a) -> Result { return LOWRANGE(a.series(0)); }},

    // ---- composite indicators (rows 44-71) ----
    {"MACD", "MACD 指标",
     {P("close", Kind::Series), P("short", Kind::U64, "12"), P("long", Kind::U64, "26"), P("m", Kind::U64, "9")},
     [](Args& a) -> Result { return MACD(a.series(0), a.u64(1), a.u64(2), a.u64(3)); }},
    {"KDJ", "KDJ 指标",
     {P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series), P("n", Kind::U64, "9"),
      P("m1", Kind::U64, "3"), P("m2", Kind::U64, "3")},
     [](Args& a) -> Result { return KDJ(a.series(0), a.series(1), a.series(2), a.u64(3), a.u64(4), a.u64(5)); }},
    {"RSI", "RSI 指标", {P("close", Kind::Series), P("n", Kind::U64, "24")},
     [](Args& a) -> Result { return RSI(a.series(0), a.u64(1)); }},
    {"WR", "W&R 威廉指标",
     {P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series), P("n", Kind::U64, "10"),
      P("n1", Kind::U64, "6")},
     [](Args& a) -> Result { return WR(a.series(0), a.series(1), a.series(2), a.u64(3), a.u64(4)); }},
    {"BIAS", "BIAS 乖离率",
     {P("close", Kind::Series), P("l1", Kind::U64, "6"), P("l2", Kind::U64, "12"), P("l3", Kind::U64, "24")},
     [](Args& a) -> Result { return BIAS(a.series(0), a.u64(1), a.u64(2), a.u64(3)); }},
    {"BOLL", "BOLL 布林带", {P("close", Kind::Series), P("n", Kind::U64, "20"), P("p", Kind::Float, "2.0")},
     [](Args& a) -> Result { return BOLL(a.series(0), a.u64(1), a.f64(2)); }},
    {"PSY", "PSY 心理线", {P("close", Kind::Series), P("n", Kind::U64, "12"), P("m", Kind::U64, "6")},
     [](Args& a) -> Result { return PSY(a.series(0), a.u64(1), a.u64(2)); }},
    {"CCI", "CCI 顺势指标",
     {P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series), P("n", Kind::U64, "14")},
     [](Args& a) -> Result { return CCI(a.series(0), a.series(1), a.series(2), a.u64(3)); }},
    {"ATR", "ATR 真实波动 N 日均值",
     {P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series), P("n", Kind::U64, "20")},
     [](Args& a) -> Result { return ATR(a.series(0), a.series(1), a.series(2), a.u64(3)); }},
    {"BBI", "BBI 多空指标",
     {P("close", Kind::Series), P("m1", Kind::U64, "3"), P("m2", Kind::U64, "6"), P("m3", Kind::U64, "12"),
      P("m4", Kind::U64, "20")},
     [](Args& a) -> Result { return BBI(a.series(0), a.u64(1), a.u64(2), a.u64(3), a.u64(4)); }},
    {"DMI", "DMI 动向指标",
     {P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series), P("m1", Kind::U64, "14"),
      P("m2", Kind::U64, "6")},
     [](Args& a) -> Result { return DMI(a.series(0), a.series(1), a.series(2), a.u64(3), a.u64(4)); }},
    {"TAQ", "唐安奇通道 (海龟交易)", {P("high", Kind::Series), P("low", Kind::Series), P("n", Kind::U64)},
     [](Args& a) -> Result { return TAQ(a.series(0), a.series(1), a.u64(2)); }},
    {"KTN", "KTN 肯特纳通道",
     {P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series), P("n", Kind::U64, "20"),
      P("m", Kind::U64, "10")},
     [](Args& a) -> Result { return KTN(a.series(0), a.series(1), a.series(2), a.u64(3), a.u64(4)); }},
    {"TRIX", "TRIX 三重指数平滑", {P("close", Kind::Series), P("m1", Kind::U64, "12"), P("m2", Kind::U64, "20")},
     [](Args& a) -> Result { return TRIX(a.series(0), a.u64(1), a.u64(2)); }},
    {"VR", "VR 容量比率", {P("close", Kind::Series), P("vol", Kind::Series), P("m1", Kind::U64, "26")},
     [](Args& a) -> Result { return VR(a.series(0), a.series(1), a.u64(2)); }},
    {"CR", "CR 价格动量指标",
     {P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series), P("n", Kind::U64, "20")},
     [](Args& a) -> Result { return CR(a.series(0), a.series(1), a.series(2), a.u64(3)); }},
    {"EMV", "EMV 简易波动指标",
     {P("high", Kind::Series), P("low", Kind::Series), P("vol", Kind::Series), P("n", Kind::U64, "14"),
      P("m", Kind::U64, "9")},
     [](Args& a) -> Result { return EMV(a.series(0), a.series(1), a.series(2), a.u64(3), a.u64(4)); }},
    {"DPO", "DPO 区间震荡线",
     {P("close", Kind::Series), P("m1", Kind::U64, "20"), P("m2", Kind::U64, "10"), P("m3", Kind::U64, "6")},
     [](Args& a) -> Result { return DPO(a.series(0), a.u64(1), a.u64(2), a.u64(3)); }},
    {"BRAR", "BRAR 情绪指标",
     {P("open", Kind::Series), P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series),
      P("m1", Kind::U64, "26")},
     [](Args& a) -> Result { return BRAR(a.series(0), a.series(1), a.series(2), a.series(3), a.u64(4)); }},
    {"DFMA", "DFMA 平行线差指标",
     {P("close", Kind::Series), P("n1", Kind::U64, "10"), P("n2", Kind::U64, "50"), P("m", Kind::U64, "10")},
     [](Args& a) -> Result { return DFMA(a.series(0), a.u64(1), a.u64(2), a.u64(3)); }},
    {"MTM", "MTM 动量指标", {P("close", Kind::Series), P("n", Kind::U64, "12"), P("m", Kind::U64, "6")},
     [](Args& a) -> Result { return MTM(a.series(0), a.u64(1), a.u64(2)); }},
    {"MASS", "MASS 梅斯线",
     {P("high", Kind::Series), P("low", Kind::Series), P("n1", Kind::U64, "9"), P("n2", Kind::U64, "25"),
      P("m", Kind::U64, "6")},
     [](Args& a) -> Result { return MASS(a.series(0), a.series(1), a.u64(2), a.u64(3), a.u64(4)); }},
    {"ROC", "ROC 变动率指标", {P("close", Kind::Series), P("n", Kind::U64, "12"), P("m", Kind::U64, "6")},
     [](Args& a) -> Result { return ROC(a.series(0), a.u64(1), a.u64(2)); }},
    {"EXPMA", "EXPMA 指数平均数指标", {P("close", Kind::Series), P("n1", Kind::U64, "12"), P("n2", Kind::U64, "50")},
     [](Args& a) -> Result { return EXPMA(a.series(0), a.u64(1), a.u64(2)); }},
    {"OBV", "OBV 能量潮指标", {P("close", Kind::Series), P("vol", Kind::Series)},
     [](Args& a) -> Result { return OBV(a.series(0), a.series(1)); }},
    {"MFI", "MFI 资金流量指标",
     {P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series), P("vol", Kind::Series),
      P("n", Kind::U64, "14")},
     [](Args& a) -> Result { return MFI(a.series(0), a.series(1), a.series(2), a.series(3), a.u64(4)); }},
    {"ASI", "ASI 振动升降指标",
     {P("open", Kind::Series), P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series),
      P("m1", Kind::U64, "26"), P("m2", Kind::U64, "10")},
     [](Args& a) -> Result {
       return ASI(a.series(0), a.series(1), a.series(2), a.series(3), a.u64(4), a.u64(5));
     }},
    {"XSII", "XSII 薛斯通道II",
     {P("close", Kind::Series), P("high", Kind::Series), P("low", Kind::Series), P("n", Kind::U64, "102"),
      P("m", Kind::U64, "7")},
     [](Args& a) -> Result { return XSII(a.series(0), a.series(1), a.series(2), a.u64(3), a.u64(4)); }},

    // ---- table functions (rows 72-74) ----
    {"ZHISHU", "",
     {P("code_i", Kind::U64List), P("date", Kind::I64List), P("open", Kind::Series), P("high", Kind::Series),
      P("low", Kind::Series), P("close", Kind::Series), P("volume", Kind::Series), P("amount", Kind::Series),
      P("float_mv", Kind::Series), P("total_mv", Kind::Series), P("method", Kind::U64, "1"),
      P("base", Kind::Float, "1000.0")},
     [](Args& a) -> Result {
       return ZHISHU(ZhishuInput{a.u64_list(0), a.i64_list(1), a.series(2), a.series(3), a.series(4), a.series(5),
                                 a.series(6), a.series(7), a.series(8), a.series(9)},
                     a.u64(10), a.f64(11));
     }},
    {"BATCH", "",
     {P("names_in", Kind::StrList), P("params_in", Kind::U64ListList), P("code_i", Kind::U64List),
      P("date", Kind::I64List), P("open", Kind::Series), P("high", Kind::Series), P("low", Kind::Series),
      P("close", Kind::Series), P("volume", Kind::Series)},
     [](Args& a) -> Result {
       return BATCH(BatchInput{a.str_list(0), a.u64_lists(1), a.u64_list(2), a.i64_list(3), a.series(4),
                               a.series(5), a.series(6), a.series(7), a.series(8)},
                    unicode_lower);
     }},
    {"BATCH_CROSS", "",
     {P("names_in", Kind::StrList), P("params_in", Kind::U64ListList), P("code_i", Kind::U64List),
      P("date", Kind::I64List), P("open", Kind::Series), P("high", Kind::Series), P("low", Kind::Series),
      P("close", Kind::Series), P("volume", Kind::Series), P("keep_values", Kind::Bool)},
     [](Args& a) -> Result {
       return BATCH_CROSS(BatchInput{a.str_list(0), a.u64_lists(1), a.u64_list(2), a.i64_list(3), a.series(4),
                                     a.series(5), a.series(6), a.series(7), a.series(8)},
                          a.flag(9), unicode_lower);
     }},
};

constexpr std::size_t kCount = sizeof(kRows) / sizeof(kRows[0]);

template <std::size_t I>
PyObject* entry_point(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_row(kRows[I], args, kwargs);
}

template <std::size_t... I>
constexpr std::array<PyCFunctionWithKeywords, sizeof...(I)> make_entry_points(std::index_sequence<I...>) {
  return {{&entry_point<I>...}};
}

constexpr std::array<PyCFunctionWithKeywords, kCount> kEntryPoints = make_entry_points(std::make_index_sequence<kCount>{});

}  // namespace

const FunctionTable& function_table() {
  static const FunctionTable table{kRows, kCount, kEntryPoints.data()};
  return table;
}

}  // namespace tarvex::py
