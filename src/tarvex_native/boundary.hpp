// The array module's side of the Python boundary: errors, the interpreter
// lock, and native memory handed to NumPy.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bridge/arrays.hpp"
#include "bridge/pyref.hpp"

namespace tarvex::native {

using py::ArrayInput;
using py::ErrorSet;
using py::Ref;

[[noreturn]] void raise(PyObject* type, const std::string& message);

// Runs `body` with the C++ failures mapped to Python errors (an interrupted
// computation to the KeyboardInterrupt its signal handler raised); returns
// NULL when one was raised.
PyObject* guarded(const std::function<PyObject*()>& body);

// Releases the interpreter lock for its lifetime; `poll` takes it back
// briefly to run the signal handlers and says whether one raised.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  bool poll() {
    PyEval_RestoreThread(state_);
    const bool raised = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_;
};

// The vector's memory as an object NumPy makes an array over without a copy
// (numpy.asarray), through its read-only __array_interface__: the array's
// base, which frees the vector with the last array over it.
template <class T, class Alloc>
Ref hand_over(std::vector<T, Alloc> values);

// A tuple of the objects `items` hold, which it takes over.
Ref tuple_of(std::vector<Ref> items);

// Makes the type of hand_over's objects, once, as the module is made; false
// with the Python error set when that failed.
bool make_memory_type();

std::uint64_t to_u64(PyObject* obj);
double to_double(PyObject* obj);

// A column argument: a one-dimensional typed array, read in place where its
// memory already holds native float64.
ArrayInput read_column(PyObject* obj, const char* what);

// The native values in the bytes of a packed array of T.
template <class T>
std::vector<T> from_bytes(PyObject* bytes);

// Segment starts, given as the bytes of native int64 values (None: one
// segment): ascending, the first 0, all below `rows` (an empty column has
// none). ValueError otherwise.
std::vector<std::size_t> read_starts(PyObject* obj, std::size_t rows);

}  // namespace tarvex::native
