// The table of the module's functions: one row per Python function, holding
// its name, description, parameters and handler. The series functions and
// indicators come from the registry; the table functions are written here.
// The registration, the docstrings and the argument binding all read it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "registry/registry.hpp"
#include "tarvex_core/convert.hpp"

namespace tarvex::py {

struct Param {
  const char* name;
  Kind kind;
  const char* default_text;  // nullptr: required
};

inline Param P(const char* name, Kind kind, const char* default_text = nullptr) {
  return Param{name, kind, default_text};
}

// The converted arguments of one call, by parameter index.
class Args {
 public:
  explicit Args(std::vector<Value> values) : values_(std::move(values)) {}
  const Series& series(std::size_t i) const { return std::get<Series>(values_[i]); }
  std::uint64_t u64(std::size_t i) const { return std::get<std::uint64_t>(values_[i]); }
  std::uint32_t u32(std::size_t i) const { return std::get<std::uint32_t>(values_[i]); }
  double f64(std::size_t i) const { return std::get<double>(values_[i]); }
  const VS& vs(std::size_t i) const { return std::get<VS>(values_[i]); }
  const std::vector<std::uint64_t>& u64_list(std::size_t i) const { return std::get<std::vector<std::uint64_t>>(values_[i]); }
  const std::vector<std::int64_t>& i64_list(std::size_t i) const { return std::get<std::vector<std::int64_t>>(values_[i]); }
  const std::vector<std::string>& str_list(std::size_t i) const { return std::get<std::vector<std::string>>(values_[i]); }
  const std::vector<std::vector<std::uint64_t>>& u64_lists(std::size_t i) const {
    return std::get<std::vector<std::vector<std::uint64_t>>>(values_[i]);
  }
  bool flag(std::size_t i) const { return std::get<bool>(values_[i]); }
  // Frees every value once nothing reads them any more.
  void release() { std::vector<Value>().swap(values_); }

 private:
  std::vector<Value> values_;
};

struct FunctionRow;
using Handler = Result (*)(const FunctionRow& row, Args& args);

struct FunctionRow {
  const char* name;
  const char* description;
  std::vector<Param> params;
  Handler handler;
  const registry::Function* routine = nullptr;  // the registry entry a series function runs, or nullptr
};

// "NAME(a, b=1)": the parameter list with the defaults as written.
std::string text_signature(const FunctionRow& row);

// The whole call pipeline: bind, convert in parameter order, compute, build
// the result. Returns a new reference, or NULL with a Python error set.
PyObject* call_row(const FunctionRow& row, PyObject* args, PyObject* kwargs);

// The rows in registration order with one C entry point each.
struct FunctionTable {
  const FunctionRow* rows;
  std::size_t size;
  const PyCFunctionWithKeywords* entry_points;
};
const FunctionTable& function_table();

}  // namespace tarvex::py
