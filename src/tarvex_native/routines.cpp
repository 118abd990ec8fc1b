#include "tarvex_native/routines.hpp"

#include <string>
#include <utility>

#include "batch/registry.hpp"
#include "registry/provisional.hpp"
#include "tarvex_native/boundary.hpp"

namespace tarvex::native {
namespace {

using registry::BatchRole;
using registry::Function;

char kind_letter(ArgKind k) {
  switch (k) {
    case ArgKind::Series: return 's';
    case ArgKind::ScalarOrSeries: return 'v';
    case ArgKind::U64: return 'u';
    case ArgKind::U32: return 'd';
    case ArgKind::Digits: return 'r';
    case ArgKind::Float: return 'f';
  }
  return '?';
}

Ref text_or_none(const char* text) {
  if (text == nullptr) return Ref::borrow(Py_None);
  return Ref::check(PyUnicode_FromString(text));
}

template <class T, class Make>
Ref tuple_of(const std::vector<T>& items, Make make) {
  Ref out = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), make(items[i]).release());
  }
  return out;
}

// The bar columns the whole-market tables feed the indicator of `f`, in
// argument order.
Ref batch_inputs(const Function& f) {
  std::vector<const char*> columns;
  for (const Indicator& ind : indicators()) {
    if (ind.function != &f) continue;
    for (const Source& s : ind.sources) {
      if (s.from == Source::From::Column) columns.push_back(kPriceColumnNames[s.column]);
    }
  }
  return tuple_of(columns, [](const char* c) { return Ref::check(PyUnicode_FromString(c)); });
}

Ref describe(const Function& f) {
  std::string kinds;
  for (ArgKind k : f.kinds) kinds += kind_letter(k);
  Ref params = tuple_of(f.params, [&](const registry::Param& p) {
    Ref name = Ref::check(PyUnicode_FromString(p.name));
    Ref about = Ref::check(PyUnicode_FromString(p.about));
    Ref default_text = text_or_none(p.default_text);
    Ref minimum = Ref::check(PyLong_FromUnsignedLongLong(p.minimum));
    Ref column = text_or_none(registry::bar_column(p.name));
    Ref condition = Ref::borrow(p.condition ? Py_True : Py_False);
    return Ref::check(PyTuple_Pack(6, name.get(), about.get(), default_text.get(), minimum.get(), column.get(),
                                   condition.get()));
  });
  Ref outputs = tuple_of(f.fields(), [](const std::string& s) { return Ref::check(PyUnicode_FromString(s.c_str())); });
  Ref cross = f.cross_fast == nullptr ? Ref::borrow(Py_None)
                                      : Ref::check(Py_BuildValue("(ss)", f.cross_fast, f.cross_slow));
  Ref batch = Ref::borrow(Py_None);
  if (f.batch.role != BatchRole::None) {
    Ref defaults = tuple_of(f.batch.defaults, [](std::uint64_t v) { return Ref::check(PyLong_FromUnsignedLongLong(v)); });
    Ref inputs = batch_inputs(f);
    batch = Ref::check(Py_BuildValue("{s:O,s:O,s:K,s:O}", "expanding", f.batch.role == BatchRole::Expanding ? Py_True : Py_False,
                                     "defaults", defaults.get(), "divisor",
                                     static_cast<unsigned long long>(f.batch.divisor), "inputs", inputs.get()));
  }
  Ref units = text_or_none(f.units);
  return Ref::check(Py_BuildValue("{s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O}", "name", f.name,
                                  "family", registry::family_name(f.family), "zh", f.zh, "en", f.en, "formula",
                                  f.formula, "warmup", f.warmup, "kinds", kinds.c_str(), "params", params.get(),
                                  "outputs", outputs.get(), "cross", cross.get(), "units", units.get(), "batch",
                                  batch.get(), "scalar_result", scalar_result(f) ? Py_True : Py_False, "core",
                                  f.core ? Py_True : Py_False, "lookahead", f.lookahead ? Py_True : Py_False,
                                  "boolean", f.boolean ? Py_True : Py_False, "provisional",
                                  f.provisional ? Py_True : Py_False, "rowwise", f.rowwise ? Py_True : Py_False));
}

const char* arg_name(registry::TableArg kind) {
  switch (kind) {
    case registry::TableArg::Names: return "names";
    case registry::TableArg::ParamLists: return "param_lists";
    case registry::TableArg::Codes: return "codes";
    case registry::TableArg::Dates: return "dates";
    case registry::TableArg::Column: return "column";
    case registry::TableArg::Integer: return "integer";
    case registry::TableArg::Number: return "number";
    case registry::TableArg::Flag: return "flag";
  }
  return "";
}

const char* part_name(registry::TablePart kind) {
  switch (kind) {
    case registry::TablePart::Integers: return "integers";
    case registry::TablePart::Numbers: return "numbers";
    case registry::TablePart::Texts: return "texts";
    case registry::TablePart::Columns: return "columns";
  }
  return "";
}

Ref describe_table(const registry::TableFunction& t) {
  Ref params = tuple_of(t.params, [](const registry::TableParam& p) {
    Ref default_text = text_or_none(p.default_text);
    return Ref::check(Py_BuildValue("(ssO)", p.name, arg_name(p.kind), default_text.get()));
  });
  Ref results = tuple_of(t.results, [](const registry::TableResult& r) {
    return Ref::check(Py_BuildValue("(ss)", r.name, part_name(r.kind)));
  });
  return Ref::check(Py_BuildValue("{s:s,s:O,s:O}", "name", t.name, "params", params.get(), "results", results.get()));
}

}  // namespace

const std::vector<Routine>& routines() { return registry::functions(); }

SeriesList invoke_stretch(const Routine& routine, std::vector<Arg> args, std::size_t first, std::size_t count,
                          Commits commits) {
  for (Arg& a : args) {
    if (a.is_series) a.series = a.series.sub(first, count);
  }
  if (commits.commit == nullptr) return routine.invoke(args);
  return registry::invoke_provisional(routine, args, commits.commit + first, count, commits.way);
}

PyObject* describe_registry(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return tuple_of(routines(), describe).release(); });
}

PyObject* describe_tables(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return tuple_of(registry::table_functions(), describe_table).release(); });
}

}  // namespace tarvex::native
