// The module's functions in registration order: every function of the
// registry that belongs to the module (its parameters and kinds from the entry and the routine's
// signature, its docstring the entry's Chinese line), then the table
// functions, whose parameters the registry lists too and whose computations
// are written here.
#include "tarvex_core/function_table.hpp"

#include <array>
#include <stdexcept>
#include <utility>

#include "batch/batch.hpp"
#include "index/zhishu.hpp"
#include "indicators/indicators.hpp"
#include "runtime/pool.hpp"

namespace tarvex::py {
namespace {

Kind kind_of(registry::ArgKind kind) {
  switch (kind) {
    case registry::ArgKind::Series: return Kind::Series;
    case registry::ArgKind::ScalarOrSeries: return Kind::VS;
    case registry::ArgKind::U64: return Kind::U64;
    case registry::ArgKind::U32: return Kind::U32;
    case registry::ArgKind::Float: return Kind::Float;
    case registry::ArgKind::Digits: break;
  }
  throw std::logic_error("a rounding is not a parameter of the module's functions");
}

// Views of the converted values, in the routine's argument order; an
// indicator's rounding is its default (three decimals).
Result run_routine(const FunctionRow& row, Args& a) {
  const registry::Function& f = *row.routine;
  std::vector<registry::Arg> args(f.kinds.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    registry::Arg& arg = args[i];
    switch (f.kinds[i]) {
      case registry::ArgKind::Series:
        arg.is_series = true;
        arg.series = a.series(i);
        break;
      case registry::ArgKind::ScalarOrSeries:
        if (const double* scalar = std::get_if<double>(&a.vs(i))) {
          arg.number = *scalar;
        } else {
          arg.is_series = true;
          arg.series = std::get<Series>(a.vs(i));
        }
        break;
      case registry::ArgKind::U64: arg.integer = a.u64(i); break;
      case registry::ArgKind::U32: arg.integer = a.u32(i); break;
      case registry::ArgKind::Float: arg.number = a.f64(i); break;
      case registry::ArgKind::Digits: arg.integer = Digits{}.places; break;
    }
  }
  SeriesList out = f.invoke(args);
  switch (f.shape) {
    case registry::Shape::Number: return out.at(0).at(0);
    case registry::Shape::Series: return std::move(out.at(0));
    case registry::Shape::Lines: break;
  }
  return out;
}

FunctionRow routine_row(const registry::Function& f) {
  std::vector<Param> params;
  for (std::size_t i = 0; i < f.params.size(); ++i) {
    params.push_back(Param{f.params[i].name, kind_of(f.kinds[i]), f.params[i].default_text});
  }
  return FunctionRow{f.name, f.zh, std::move(params), run_routine, &f};
}

// BATCH and BATCH_CROSS spread their securities over the thread pool. The
// calling thread keeps the interpreter lock throughout and polls for
// signals as the single-threaded loop would; the workers touch no Python
// object, and the table does not depend on who computed which security.
bool signalled() { return PyErr_CheckSignals() != 0; }

ForEachGroup groups_on_pool() { return on_pool(0, signalled); }

// The calling thread fills the result lists with each security's rows as
// soon as they are computed (making the Python objects takes it several
// times longer than the computation takes the pool), and computes a
// security itself when it would otherwise wait. The pool stays a security
// or two ahead of it, no further, so no native table is laid out and the
// rows it reads are still in the caches. The run copies out the bars it
// needs (even of a table that came ordered), so the converted columns are
// freed before any list is made, and the copies as their securities are done.
Result table_lists(BatchRun& run, Args& inputs) {
  inputs.release();
  TableLists lists(run.rows(), run.columns().size());
  const std::size_t threads = default_threads();
  const std::size_t window = 2 * threads;
  std::vector<GroupRows> ring(std::min(window, run.groups()));
  parallel_in_order(
      run.groups(), threads, window, [&](std::size_t k) { ring[k % window] = run.compute(k); },
      [&](std::size_t k) {
        const GroupRows rows = std::move(ring[k % window]);
        lists.append(rows);
        run.release_through(k);
      },
      signalled);
  return lists.finish(run.columns());
}

// BATCH's and BATCH_CROSS's table, from their converted arguments.
BatchInput table_input(const Args& a, const std::vector<std::string>& names) {
  return BatchInput{names,       a.u64_lists(1), a.u64_list(2), a.i64_list(3), a.series(4),
                    a.series(5), a.series(6),    a.series(7),   a.series(8)};
}

// The indicator names of BATCH and BATCH_CROSS, lower-cased once up front by
// the runtime's str.lower, so the engine never calls back into Python.
std::vector<std::string> lowered(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const std::string& name : names) out.push_back(unicode_lower(name));
  return out;
}

Kind table_kind(registry::TableArg kind) {
  switch (kind) {
    case registry::TableArg::Names: return Kind::StrList;
    case registry::TableArg::ParamLists: return Kind::U64ListList;
    case registry::TableArg::Codes: return Kind::U64List;
    case registry::TableArg::Dates: return Kind::I64List;
    case registry::TableArg::Column: return Kind::Series;
    case registry::TableArg::Integer: return Kind::U64;
    case registry::TableArg::Number: return Kind::Float;
    case registry::TableArg::Flag: return Kind::Bool;
  }
  throw std::logic_error("a table parameter of no kind");
}

// The computation of a table function; its arguments come in the order of
// its parameters in the registry.
Handler table_handler(const std::string& name) {
  if (name == "ZHISHU") {
    return [](const FunctionRow&, Args& a) -> Result {
      return ZHISHU(ZhishuInput{a.u64_list(0), a.i64_list(1), a.series(2), a.series(3), a.series(4), a.series(5),
                                a.series(6), a.series(7), a.series(8), a.series(9)},
                    a.u64(10), a.f64(11));
    };
  }
  if (name == "BATCH") {
    return [](const FunctionRow&, Args& a) -> Result {
      const std::vector<std::string> names = lowered(a.str_list(0));
      BatchRun run(table_input(a, names), groups_on_pool(), Bars::kCopied);
      return table_lists(run, a);
    };
  }
  if (name == "BATCH_CROSS") {
    return [](const FunctionRow&, Args& a) -> Result {
      const std::vector<std::string> names = lowered(a.str_list(0));
      BatchRun run(table_input(a, names), a.flag(9), groups_on_pool(), Bars::kCopied);
      return table_lists(run, a);
    };
  }
  throw std::logic_error("no computation for the table function " + name);
}

std::vector<FunctionRow> build_rows() {
  std::vector<FunctionRow> rows;
  for (const registry::Function& f : registry::functions()) {
    if (f.core) rows.push_back(routine_row(f));
  }
  for (const registry::TableFunction& t : registry::table_functions()) {
    std::vector<Param> params;
    for (const registry::TableParam& p : t.params) params.push_back(P(p.name, table_kind(p.kind), p.default_text));
    rows.push_back(FunctionRow{t.name, "", std::move(params), table_handler(t.name)});
  }
  return rows;
}

// One C entry point per row, from a pool larger than the table.
constexpr std::size_t kEntryPointPool = 128;

template <std::size_t I>
PyObject* entry_point(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_row(function_table().rows[I], args, kwargs);
}

template <std::size_t... I>
constexpr std::array<PyCFunctionWithKeywords, sizeof...(I)> make_entry_points(std::index_sequence<I...>) {
  return {{&entry_point<I>...}};
}

constexpr std::array<PyCFunctionWithKeywords, kEntryPointPool> kEntryPoints =
    make_entry_points(std::make_index_sequence<kEntryPointPool>{});

}  // namespace

const FunctionTable& function_table() {
  static const std::vector<FunctionRow> rows = build_rows();
  static const FunctionTable table{rows.data(), rows.size(), kEntryPoints.data()};
  if (rows.size() > kEntryPointPool) throw std::logic_error("more functions than entry points");
  return table;
}

}  // namespace tarvex::py
