// The registry of the series functions and indicators: one declarative
// entry per function, from which both extension modules build their
// function tables, the batch engine its indicators, field names, defaults
// and crossing pairs, and the Python package its documentation and types.
//
// How an argument is read is not written per entry: it is deduced from the
// compute routine's C++ signature (SeriesView, VSView, the integer and
// floating types, Digits), so an entry names the routine and describes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "series/series.hpp"

namespace tarvex::registry {

// What a routine's parameter takes from the caller, deduced from its type.
enum class ArgKind { Series, ScalarOrSeries, U64, U32, Float, Digits };

// One argument as the caller has it; `series` views memory the caller owns.
struct Arg {
  bool is_series = false;
  SeriesView series;
  double number = 0.0;
  std::uint64_t integer = 0;
  bool none = false;  // Digits: no rounding at all
};

// Runs the routine on its arguments: one Series per output, or for a
// routine with a number for a result (RET) one Series holding that number.
using Invoke = SeriesList (*)(const std::vector<Arg>& args);

// The C++ type of a routine's result.
enum class Shape { Number, Series, Lines };

enum class Family { Elementwise, Smoothing, Windows, Conditions, Lookahead, Trend, Oscillators, Channels, Volume };

// A parameter the caller names. Integer parameters accept `minimum` up to
// the largest value of their type; `default_text` is the default as the
// signature shows it (nullptr: required). A `condition` series is tested
// bar by bar for truth (the routine takes nonzero as true; the formula
// language also takes NaN as false and hands it 1.0 / 0.0).
struct Param {
  const char* name;
  const char* about;  // what it is, in English
  const char* default_text = nullptr;
  std::uint64_t minimum = 0;
  bool condition = false;
};

// How the whole-market tables offer a function, under its lower-case name.
enum class BatchRole {
  None,
  // Fixed outputs named by `outputs`, numeric parameters from p0 on.
  Fixed,
  // One output per value of p0, named by the name and the value (ma5, ma10).
  Expanding,
};

struct Batch {
  BatchRole role = BatchRole::None;
  // Defaults of p0, p1, ... where they are not the function's own.
  std::vector<std::uint64_t> defaults = {};
  // A scalar-or-series parameter is given as an integer count of
  // 1/divisor (DMA's weight in percent).
  std::uint64_t divisor = 1;
};

struct Function {
  // Described per entry.
  const char* name = nullptr;
  Family family = Family::Elementwise;
  const char* zh = "";       // the one-line description in Chinese (the tarvex_core docstring)
  const char* en = "";       // the one-line description in English
  const char* formula = "";  // how the values are computed, in words
  // Leading bars without a value on ordinary data, as an expression of the
  // parameters; several lines give one expression each, separated by "; ".
  const char* warmup = "0";
  std::vector<Param> params;
  std::vector<const char*> outputs;  // field names of the lines; empty: one line
  const char* cross_fast = nullptr;  // the crossing pair, or nullptr
  const char* cross_slow = nullptr;
  const char* units = nullptr;  // a note on the units of the values, or nullptr
  Batch batch;
  // A function of tarvex_core as well as of the array package (whose
  // function list is fixed); false: the array package's only.
  bool core = true;
  // The value on a bar depends on later bars, so it changes as bars arrive.
  bool lookahead = false;
  // Every value is 1.0 or 0.0 (never NaN), so it needs no truth test.
  bool boolean = false;
  // The value on a bar reads only that bar of the arguments, so the
  // routine may run over rows in any grouping and any pieces.
  bool rowwise = false;
  // The routine runs in provisional mode as it is (runtime/provisional.hpp):
  // every step of it is element-wise or a primitive that honours the
  // commit layout. The others take the generic way (registry/provisional).
  bool provisional = false;
  // Deduced from the compute routine.
  std::vector<ArgKind> kinds;  // params in order, then an indicator's rounding
  Shape shape = Shape::Series;
  Invoke invoke = nullptr;

  bool rounds() const { return !kinds.empty() && kinds.back() == ArgKind::Digits; }
  // The field names: the outputs, or the lower-case name for one line.
  std::vector<std::string> fields() const;
};

// Every function in the order both modules list them.
const std::vector<Function>& functions();

// The table functions (whole-market tables and the composite index): their
// parameters as tarvex_core shows them and the parts of their results, read
// by both modules and the package.
enum class TableArg { Names, ParamLists, Codes, Dates, Column, Integer, Number, Flag };
enum class TablePart { Integers, Numbers, Texts, Columns };

struct TableParam {
  const char* name;
  TableArg kind;
  const char* default_text = nullptr;  // nullptr: required
};

struct TableResult {
  const char* name;
  TablePart kind;
};

struct TableFunction {
  const char* name;
  std::vector<TableParam> params;
  std::vector<TableResult> results;
};

// ZHISHU, BATCH and BATCH_CROSS, in the order tarvex_core lists them.
const std::vector<TableFunction>& table_functions();
const TableFunction& table_function(const std::string& name);

// The bar column a series parameter names ("open", "high", "low", "close",
// "volume"), or nullptr for a series of the caller's choice ("s", "s1" ...).
const char* bar_column(const char* param);

// The family's name as the documentation uses it ("elementwise", ...).
const char* family_name(Family family);

}  // namespace tarvex::registry
