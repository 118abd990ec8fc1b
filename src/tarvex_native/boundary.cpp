#include "tarvex_native/boundary.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

#include "runtime/interrupt.hpp"
#include "series/series.hpp"

namespace tarvex::native {

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw ErrorSet{};
}

PyObject* guarded(const std::function<PyObject*()>& body) {
  try {
    return body();
  } catch (const ErrorSet&) {
  } catch (const Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.message.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected native failure");
  }
  return nullptr;
}

namespace {

template <class Vector>
void free_vector(PyObject* capsule) {
  delete static_cast<Vector*>(PyCapsule_GetPointer(capsule, "tarvex.vector"));
}

}  // namespace

template <class T, class Alloc>
Ref hand_over(std::vector<T, Alloc> values) {
  using Vector = std::vector<T, Alloc>;
  auto owned = std::make_unique<Vector>(std::move(values));
  Ref address = Ref::check(PyLong_FromVoidPtr(owned->data()));
  Ref length = Ref::check(PyLong_FromSize_t(owned->size()));
  Ref capsule = Ref::check(PyCapsule_New(owned.get(), "tarvex.vector", free_vector<Vector>));
  owned.release();
  return Ref::check(PyTuple_Pack(3, capsule.get(), address.get(), length.get()));
}

template Ref hand_over(Series);
template Ref hand_over(std::vector<std::uint64_t>);
template Ref hand_over(std::vector<std::int64_t>);
template Ref hand_over(std::vector<std::uint64_t, BlockAllocator<std::uint64_t>>);
template Ref hand_over(std::vector<std::int64_t, BlockAllocator<std::int64_t>>);

std::uint64_t to_u64(PyObject* obj) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorSet{};
  return v;
}

double to_double(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw ErrorSet{};
  return v;
}

ArrayInput read_column(PyObject* obj, const char* what) {
  std::optional<ArrayInput> column = ArrayInput::read(obj);
  if (!column) raise(PyExc_TypeError, std::string(what) + ": expected a one-dimensional array of real numbers");
  return std::move(*column);
}

template <class T>
std::vector<T> from_bytes(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) throw ErrorSet{};
  std::vector<T> out(static_cast<std::size_t>(size) / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), data, out.size() * sizeof(T));
  return out;
}

template std::vector<std::int64_t> from_bytes(PyObject*);

}  // namespace tarvex::native
