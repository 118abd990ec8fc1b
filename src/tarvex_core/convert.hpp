// Conversion of Python arguments into native values and of native results
// into Python objects. Every failure leaves a Python error set and throws
// py::ErrorSet.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "batch/batch.hpp"
#include "index/zhishu.hpp"
#include "bridge/pyref.hpp"
#include "series/series.hpp"

namespace tarvex::py {

// The kinds of parameter a function can declare.
enum class Kind { Series, U64, U32, Float, VS, U64List, I64List, StrList, U64ListList, Bool };

using Value = std::variant<std::monostate, tarvex::Series, std::uint64_t, std::uint32_t, double, tarvex::VS,
                           std::vector<std::uint64_t>, std::vector<std::int64_t>, std::vector<std::string>,
                           std::vector<std::vector<std::uint64_t>>, bool>;

// Converts one argument of the given kind.
Value convert(Kind kind, PyObject* obj);

// The value of an omitted optional parameter, from the text its signature shows.
Value parse_default(Kind kind, const char* text);

// Attaches "while processing '<parameter>'" to the pending exception where
// the runtime supports exception notes (3.11 and later).
void add_argument_note(const char* parameter);

// Full Unicode lower-case mapping of UTF-8 text, by the runtime's str.lower.
std::string unicode_lower(const std::string& utf8);

// A native result, or the Python object a handler built itself.
using Result = std::variant<tarvex::Series, tarvex::SeriesList, double, tarvex::ZhishuResult, Ref>;

// Builds the Python object of a native result: a list of floats, a tuple of
// such lists, a float, or the index's tuple. The native result is used up:
// each column is freed once its list is built.
Ref build_result(Result&& result);

// The lists of a whole-market table, filled in row order a security at a
// time: codes, dates, then one list per column.
class TableLists {
 public:
  TableLists(std::size_t rows, std::size_t columns);
  // Fills the next rows with one security's.
  void append(const tarvex::GroupRows& rows);
  // The result tuple (codes, dates, column names, columns), every row filled.
  Ref finish(std::vector<std::string> names);

 private:
  Ref codes_, dates_;
  std::vector<Ref> columns_;
  std::size_t filled_ = 0;
};

}  // namespace tarvex::py
