// The compute routines the array module serves: the registry's functions,
// each bound to its C++ signature, run on one stretch of bars at a time.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "registry/provisional.hpp"
#include "registry/registry.hpp"

namespace tarvex::native {

using registry::Arg;
using registry::ArgKind;
using Routine = registry::Function;

// Every routine of the registry, in its order.
const std::vector<Routine>& routines();

// True when the routine gives one number per stretch instead of one per bar.
inline bool scalar_result(const Routine& r) { return r.shape == registry::Shape::Number; }

// Where a call runs in provisional mode: the commit of each row of the
// columns (null: the routine as it is), and the way it runs.
struct Commits {
  const std::uint8_t* commit = nullptr;
  registry::Way way = registry::Way::kBest;
};

// The routine's result on the bars [first, first + count) of its series.
SeriesList invoke_stretch(const Routine& routine, std::vector<Arg> args, std::size_t first, std::size_t count,
                          Commits commits = {});

// registry() -> tuple of dicts, one per routine: everything the registry
// says about it (the Python package builds its catalog, docstrings and
// types from these).
PyObject* describe_registry(PyObject* self, PyObject* unused);
// tables() -> the table functions' parameters and results, as dicts.
PyObject* describe_tables(PyObject* self, PyObject* unused);

}  // namespace tarvex::native
