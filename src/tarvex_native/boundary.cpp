#include "tarvex_native/boundary.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>

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

// A result's memory as Python sees it: an object whose one face is a
// read-only __array_interface__. The array made from it keeps it as its
// base, and nothing reachable from Python can let go of the memory while
// an array uses it: the object frees it when the last array is gone.
struct Memory {
  PyObject_HEAD
  void* vector;  // the owned std::vector, freed by free_vector
  void (*free_vector)(void*);
  const void* data;
  std::size_t length;
  const char* typestr;
  int itemsize;
};

PyObject* g_memory_type = nullptr;

PyObject* memory_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "result memory is made by tarvex only");
  return nullptr;
}

void memory_dealloc(PyObject* self) {
  Memory* m = reinterpret_cast<Memory*>(self);
  if (m->vector != nullptr) m->free_vector(m->vector);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* memory_interface(PyObject* self, void*) {
  const Memory* m = reinterpret_cast<const Memory*>(self);
  PyObject* address = PyLong_FromVoidPtr(const_cast<void*>(m->data));
  if (address == nullptr) return nullptr;
  PyObject* out = Py_BuildValue("{s:i,s:(n),s:s,s:(OO)}", "version", 3, "shape", static_cast<Py_ssize_t>(m->length),
                                "typestr", m->typestr, "data", address, Py_False);
  Py_DecRef(address);
  return out;
}

// The same memory as NumPy's C structure (see the array interface
// protocol), which NumPy prefers: no dictionary to build and parse. The
// capsule keeps the object, and so the memory, alive while it lives.
using py::ArrayStruct;

struct StructCapsule {
  ArrayStruct face;
  Py_intptr_t shape;
  Py_intptr_t stride;
  PyObject* owner;
};

void free_struct_capsule(PyObject* capsule) {
  auto* c = static_cast<StructCapsule*>(PyCapsule_GetPointer(capsule, nullptr));
  if (c == nullptr) {
    PyErr_Clear();
    return;
  }
  Py_DecRef(c->owner);
  delete c;
}

PyObject* memory_struct(PyObject* self, void*) {
  const Memory* m = reinterpret_cast<const Memory*>(self);
  auto* c = new (std::nothrow) StructCapsule{};
  if (c == nullptr) return PyErr_NoMemory();
  c->shape = static_cast<Py_intptr_t>(m->length);
  c->stride = m->itemsize;
  c->face = ArrayStruct{2, 1, m->typestr[1], m->itemsize,
                        ArrayStruct::kContiguous | ArrayStruct::kAligned | ArrayStruct::kNotSwapped |
                            ArrayStruct::kWriteable,
                        &c->shape, &c->stride, const_cast<void*>(m->data), nullptr};
  c->owner = self;
  Py_IncRef(self);
  PyObject* capsule = PyCapsule_New(c, nullptr, free_struct_capsule);
  if (capsule == nullptr) {
    Py_DecRef(self);
    delete c;
  }
  return capsule;
}

PyGetSetDef memory_getset[] = {
    {"__array_interface__", memory_interface, nullptr, nullptr, nullptr},
    {"__array_struct__", memory_struct, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot memory_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(memory_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(memory_dealloc)},
    {Py_tp_getset, memory_getset},
    {0, nullptr},
};

PyType_Spec memory_spec = {"tarvex._native.Memory", sizeof(Memory), 0, Py_TPFLAGS_DEFAULT, memory_slots};

template <class Vector>
void free_vector(void* vector) {
  delete static_cast<Vector*>(vector);
}

constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// NumPy's type string of T in this machine's byte order.
template <class T>
const char* typestr() {
  static_assert(sizeof(T) == 8 || std::is_same_v<T, std::uint8_t>);
  if constexpr (sizeof(T) == 1) {
    return "|u1";
  } else if constexpr (std::is_floating_point_v<T>) {
    return kLittleEndianHost ? "<f8" : ">f8";
  } else if constexpr (std::is_signed_v<T>) {
    return kLittleEndianHost ? "<i8" : ">i8";
  } else {
    return kLittleEndianHost ? "<u8" : ">u8";
  }
}

}  // namespace

bool make_memory_type() {
  g_memory_type = PyType_FromSpec(&memory_spec);
  return g_memory_type != nullptr;
}

template <class T, class Alloc>
Ref hand_over(std::vector<T, Alloc> values) {
  using Vector = std::vector<T, Alloc>;
  auto owned = std::make_unique<Vector>(std::move(values));
  auto* type = reinterpret_cast<PyTypeObject*>(g_memory_type);
  Ref out = Ref::check(reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));
  Memory* m = reinterpret_cast<Memory*>(out.get());
  m->data = owned->data();
  m->length = owned->size();
  m->typestr = typestr<T>();
  m->itemsize = static_cast<int>(sizeof(T));
  m->free_vector = free_vector<Vector>;
  m->vector = owned.release();
  return out;
}

template Ref hand_over(Series);
template Ref hand_over(std::vector<std::uint64_t>);
template Ref hand_over(std::vector<std::int64_t>);
template Ref hand_over(std::vector<std::uint64_t, BlockAllocator<std::uint64_t>>);
template Ref hand_over(std::vector<std::int64_t, BlockAllocator<std::int64_t>>);
template Ref hand_over(std::vector<std::uint8_t, BlockAllocator<std::uint8_t>>);

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

Ref tuple_of(std::vector<Ref> items) {
  Ref out = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), items[i].release());
  }
  return out;
}

template std::vector<std::int64_t> from_bytes(PyObject*);
template std::vector<std::uint8_t> from_bytes(PyObject*);

// Segment starts, given as the bytes of native int64 values: ascending, the
// first 0, all below `rows` (an empty column has none).
std::vector<std::size_t> read_starts(PyObject* obj, std::size_t rows) {
  std::vector<std::size_t> starts;
  if (obj == Py_None) {
    if (rows > 0) starts.push_back(0);
    return starts;
  }
  for (std::int64_t v : from_bytes<std::int64_t>(obj)) {
    const bool ascending = starts.empty() ? v == 0 : v > static_cast<std::int64_t>(starts.back());
    if (!ascending || static_cast<std::uint64_t>(v) >= rows) {
      raise(PyExc_ValueError, "starts must ascend strictly from 0 and stay below the column length");
    }
    starts.push_back(static_cast<std::size_t>(v));
  }
  if (starts.empty() && rows > 0) raise(PyExc_ValueError, "starts must begin with 0");
  return starts;
}

}  // namespace tarvex::native
