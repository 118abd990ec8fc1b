// The module's functions in registration order. Each row gives the Python
// name, the docstring's description line, the parameters with their kinds
// and defaults (the text signature is generated from them), and the handler
// that calls the compute routine.
#include "module/function_table.hpp"

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
     [](Args& a) -> Result { return MAX(a.vs(0), a.vs(1)); }},
    {"MIN", "序列逐元素取最小值", {P("s1", Kind::VS), P("s2", Kind::VS)},
     [](Args& a) -> Result { return MIN(a.vs(0), a.vs(1)); }},
    {"IF", "序列条件判断  IF(cond, A, B) → A if True else B", {P("s", Kind::Series), P("a", Kind::VS), P("b", Kind::VS)},
     [](Args& a) -> Result { return IF(a.series(0), a.vs(1), a.vs(2)); }},
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
     [](Args& a) -> Result { return DMA(a.series(0), a.vs(1)); }},
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

    // ---- table functions (rows 72-74) ----
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
