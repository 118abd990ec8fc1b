// The array module `tarvex._native`: compute routines over caller memory
// with the interpreter lock released, whole markets segment by segment on
// the thread pool, results handed to NumPy without a copy. The Python
// package `tarvex` validates and shapes arguments; this layer trusts their
// types but still checks everything that could read out of bounds.
#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/text.hpp"
#include "runtime/blocks.hpp"
#include "runtime/pool.hpp"
#include "runtime/streaming.hpp"
#include "series/series.hpp"
#include "tarvex_native/bars.hpp"
#include "tarvex_native/boundary.hpp"
#include "tarvex_native/tables.hpp"
#include "tarvex_native/routines.hpp"

namespace tarvex::native {
namespace {

// A routine's arguments as read from Python: the columns (kept alive while
// the routine reads them), the arguments in the routine's order and the
// common length of the series among them.
struct Arguments {
  std::vector<ArrayInput> columns;
  std::vector<Arg> args;
  std::size_t rows = 0;
};

Arguments read_arguments(const Routine& routine, PyObject* given) {
  if (!PyTuple_Check(given) || PyTuple_Size(given) != static_cast<Py_ssize_t>(routine.kinds.size())) {
    raise(PyExc_TypeError, std::string(routine.name) + ": wrong number of arguments");
  }
  Arguments in;
  in.columns.reserve(routine.kinds.size());
  in.args.resize(routine.kinds.size());
  bool have_rows = false;
  for (std::size_t i = 0; i < in.args.size(); ++i) {
    PyObject* obj = PyTuple_GetItem(given, static_cast<Py_ssize_t>(i));
    const ArgKind kind = routine.kinds[i];
    Arg& a = in.args[i];
    if (kind == ArgKind::Series || (kind == ArgKind::ScalarOrSeries && !PyFloat_Check(obj))) {
      in.columns.push_back(read_column(obj, routine.name));
      a.is_series = true;
      a.series = in.columns.back().view();
      if (have_rows && a.series.size() != in.rows) raise(PyExc_ValueError, "series of different lengths");
      have_rows = true;
      in.rows = a.series.size();
    } else if (kind == ArgKind::Digits && obj == Py_None) {
      a.none = true;
    } else if (kind == ArgKind::U64 || kind == ArgKind::U32 || kind == ArgKind::Digits) {
      a.integer = to_u64(obj);
      if (kind != ArgKind::U64 && a.integer > 0xFFFFFFFFu) raise(PyExc_OverflowError, "value out of range");
    } else {
      a.number = to_double(obj);
    }
  }
  return in;
}

// Runs the routine on each segment of the columns (one stretch when there
// is one segment: its own result vectors are the results), with the
// interpreter lock released.
SeriesList run_segments(const Routine& routine, const std::vector<Arg>& args, const std::vector<std::size_t>& starts,
                        std::size_t rows, std::size_t threads, Commits commits) {
  const std::size_t segments = starts.size();
  auto end_of = [&](std::size_t k) { return k + 1 < segments ? starts[k + 1] : rows; };
  SeriesList outputs;
  Unlocked unlocked;
  auto poll = [&] { return unlocked.poll(); };
  if (segments <= 1) {
    parallel_for(1, 1, 1, [&](std::size_t) { outputs = invoke_stretch(routine, args, 0, rows, commits); }, poll);
    return outputs;
  }
  const bool scalar = scalar_result(routine);
  const std::size_t width = invoke_stretch(routine, args, 0, 0).size();
  // Unwritten columns: each segment first touches its own stretch.
  for (std::size_t j = 0; j < width; ++j) outputs.emplace_back(scalar ? segments : rows);
  parallel_for(segments, threads, 1, [&](std::size_t k) {
    const std::size_t first = starts[k], count = end_of(k) - first;
    SeriesList part = invoke_stretch(routine, args, first, count, commits);
    for (std::size_t j = 0; j < width; ++j) {
      const std::size_t at = scalar ? k : first;
      if (part[j].size() != (scalar ? 1 : count)) {
        throw std::logic_error("a routine's result does not match its segment");
      }
      stream_copy(outputs[j].data() + at, part[j].data(), part[j].size());
    }
    stream_fence();
  }, poll);
  return outputs;
}

// The results as a tuple of memory objects NumPy reads without a copy.
PyObject* hand_over_all(SeriesList outputs) {
  Ref result = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(outputs.size())));
  for (std::size_t j = 0; j < outputs.size(); ++j) {
    PyTuple_SetItem(result.get(), static_cast<Py_ssize_t>(j), hand_over(std::move(outputs[j])).release());
  }
  return result.release();
}

// call(index, args, starts, threads[, commit, way]) -> tuple of result
// memory (see hand_over). `commit`, the bytes of one uint8 per row, runs the
// routine in provisional mode (registry/provisional.hpp), `way` 0 the best
// way, 1 the generic way alone, 2 the routine's own form alone.
PyObject* call(PyObject*, PyObject* tuple) {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t given = PyTuple_Size(tuple);
    if (given != 4 && given != 6) raise(PyExc_TypeError, "call() takes 4 or 6 arguments");
    const std::vector<Routine>& table = routines();
    const std::uint64_t index = to_u64(PyTuple_GetItem(tuple, 0));
    if (index >= table.size()) raise(PyExc_ValueError, "no such routine");
    const Routine& routine = table[index];
    Arguments in = read_arguments(routine, PyTuple_GetItem(tuple, 1));
    const std::size_t threads = static_cast<std::size_t>(to_u64(PyTuple_GetItem(tuple, 3)));
    const std::vector<std::size_t> starts = read_starts(PyTuple_GetItem(tuple, 2), in.rows);
    std::vector<std::uint8_t> commit;
    Commits commits;
    if (given == 6) {
      commit = from_bytes<std::uint8_t>(PyTuple_GetItem(tuple, 4));
      if (commit.size() != in.rows) raise(PyExc_ValueError, "commit must give one value per row");
      if (scalar_result(routine)) {
        raise(PyExc_ValueError, std::string(routine.name) + " gives one number per security and has no value per period");
      }
      const std::uint64_t way = to_u64(PyTuple_GetItem(tuple, 5));
      if (way > static_cast<std::uint64_t>(registry::Way::kOwn)) raise(PyExc_ValueError, "no such way");
      commits = Commits{commit.data(), static_cast<registry::Way>(way)};
    }
    SeriesList outputs = run_segments(routine, in.args, starts, in.rows, threads, commits);
    in.columns.clear();
    return hand_over_all(std::move(outputs));
  });
}

// The formula language's element-wise words that the library lacks.
struct Word {
  const char* name;
  Series (*run)(SeriesView);
};
constexpr Word kWords[] = {{"EXP", EXP}, {"LOG", LOG}, {"ATAN", ATAN}, {"ASIN", ASIN}, {"ACOS", ACOS}};

PyObject* each(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 2) raise(PyExc_TypeError, "each() takes 2 arguments");
    const std::string name = py::to_utf8(PyTuple_GetItem(args, 0));
    const Word* word = std::find_if(std::begin(kWords), std::end(kWords), [&](const Word& w) { return name == w.name; });
    if (word == std::end(kWords)) raise(PyExc_ValueError, "no element-wise word " + name);
    const ArrayInput x = read_column(PyTuple_GetItem(args, 1), word->name);
    Series out;
    {
      Unlocked unlocked;
      out = word->run(x.view());
    }
    return hand_over(std::move(out)).release();
  });
}

PyObject* threads(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return PyLong_FromSize_t(default_threads()); });
}

PyMethodDef methods[] = {
    {"call", call, METH_VARARGS,
     "call(index, args, starts, threads[, commit, way]): run one routine, in provisional mode over the "
     "commits of the rows when given; results as memory for numpy.asarray"},
    {"registry", describe_registry, METH_NOARGS, "registry(): the description of every routine, as dicts"},
    {"tables", describe_tables, METH_NOARGS, "tables(): the parameters and results of the table functions"},
    {"each", each, METH_VARARGS, "each(name, x): the element-wise word EXP, LOG, ATAN, ASIN or ACOS of x, as memory"},
    {"default_threads", threads, METH_NOARGS, "default_threads(): threads used when a call does not say"},
    {"batch", batch, METH_VARARGS,
     "batch(cross, keep_values, names, params, code, date, open, high, low, close, volume, threads, sources)"},
    {"order", order, METH_VARARGS,
     "order(code, date, columns): rows by code then date, each code's first position, the count of repeated "
     "pairs, each row's date and each column's items in that order"},
    {"text_ids", text_ids, METH_VARARGS,
     "text_ids(chunks): each text's rank among the distinct texts of Arrow string chunks, and their first rows"},
    {"text_keys", text_keys, METH_VARARGS,
     "text_keys(chunks, span): each text's key in byte order, or None when the keys would span more than span"},
    {"first_rows", first_rows, METH_VARARGS, "first_rows(keys, span): the first row of each key value below span"},
    {"repeat_texts", repeat_texts, METH_VARARGS,
     "repeat_texts(chunks, rows, counts): the texts at rows, each repeated, as Arrow large-string buffers"},
    {"str_texts", str_texts, METH_VARARGS,
     "str_texts(objects): the strs of an object array as Arrow large-string buffers (UTF-8) and, where it holds few "
     "distinct objects, each row's object (numbered as first met) and each object's first row; or None"},
    {"take", take, METH_VARARGS, "take(rows, columns, threads): each column's items at rows, as memory"},
    {"zhishu", zhishu, METH_VARARGS,
     "zhishu(code, date, open, high, low, close, volume, amount, float_mv, total_mv, method, base)"},
    {"period_keys", period_keys, METH_VARARGS, "period_keys(stamp, minutes, period): each stamp's period"},
    {"partial_bars", partial_bars, METH_VARARGS,
     "partial_bars(key, starts, open, high, low, close, volume, amount, threads)"},
    {"resample", resample, METH_VARARGS, "resample(code, stamp, minutes, period, open, high, low, close, volume, amount, threads)"},
    {"adjust", adjust, METH_VARARGS,
     "adjust(code, stamp, open, high, low, close, volume, events, factor, per, anchor, at, scale_volume, threads, "
     "ticks_per_day)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tarvex._native", "Native routines of the tarvex package.", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tarvex::native

PyMODINIT_FUNC PyInit__native(void) {
  // The package's callers run indicator after indicator over the same long
  // columns: freed series blocks stay for reuse instead of page-faulting anew.
  tarvex::keep_freed_blocks(true);
  if (!tarvex::native::make_memory_type()) return nullptr;
  return PyModule_Create(&tarvex::native::module_def);
}
