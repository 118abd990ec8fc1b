// Typed one-dimensional arrays read as memory: an exact numpy.ndarray, an
// array.array or a memoryview of real numbers becomes doubles without one
// Python object per element, giving exactly the values that converting its
// elements one by one gives.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/pyref.hpp"
#include "series/series.hpp"

namespace tarvex::py {

// The real-number item types a block of memory can hold.
enum class ItemType : std::uint8_t { F16, F32, F64, I8, I16, I32, I64, U8, U16, U32, U64, Bool };

// The item type of a kind letter ('f' floating point, 'i' signed integer,
// 'u' unsigned integer, 'b' boolean) and a size in bytes; nothing for a
// combination without one (a long double, a 3-byte integer).
std::optional<ItemType> item_type(char kind, std::size_t size);

// Converts `count` items of `type`, the first at `data` and each next one
// `stride` bytes further (negative and zero strides included, no alignment
// needed), into out[0 .. count). `byte_swapped` says the items are stored in
// the other byte order than this machine's. Float16 and float32 widen
// exactly (a NaN keeps its payload; float32 goes through the hardware
// conversion as every C cast does), 64-bit integers round to nearest even as
// float(int) does, a boolean byte is 1.0 when non-zero.
void convert_items(const void* data, std::size_t count, std::ptrdiff_t stride, ItemType type, bool byte_swapped,
                   double* out);

// The C structure in the capsule of an array's __array_struct__, as NumPy's
// array interface protocol defines it, with the flags this package reads
// and writes.
struct ArrayStruct {
  static constexpr int kContiguous = 0x1 | 0x2, kAligned = 0x100, kNotSwapped = 0x200, kWriteable = 0x400;
  int two;  // 2, a sanity check
  int nd;
  char typekind;
  int itemsize;
  int flags;
  Py_intptr_t* shape;
  Py_intptr_t* strides;
  void* data;
  PyObject* descr;
};

// Whether the pending Python exception is an ordinary failure that a
// conversion may clear or describe and try another way: a subclass of
// Exception other than MemoryError. KeyboardInterrupt, SystemExit,
// GeneratorExit and MemoryError must reach the caller unchanged.
bool pending_error_is_ordinary();

// One-dimensional real-number data of an exact numpy.ndarray, array.array or
// memoryview.
//
// An ndarray or array.array is read in place through the address its
// __array_struct__ or buffer_info() gives, while a buffer export of it is
// held: neither can resize or free its memory while exported. A memoryview
// is copied once with tobytes() (logical order), since the stable ABI
// offers no way to its address. Only the item formats that iterating the
// object converts element by element are taken, so the values (and the
// failures of everything else) are those of the element-wise conversion.
class ArrayInput {
 public:
  // Nothing when `obj` is not such an array (a subclass, another item type,
  // another number of dimensions, an interface that does not look as
  // expected); throws ErrorSet when reading it raised an exception that
  // must not be passed over.
  static std::optional<ArrayInput> read(PyObject* obj);

  // The doubles: in place when the memory holds contiguous, aligned,
  // native-endian float64 (valid while this object lives, and showing any
  // later write to the array), else an owned converted copy.
  SeriesView view() const { return in_place_ != nullptr ? SeriesView(in_place_, size_) : SeriesView(owned_); }
  // The doubles as an owned Series (a copy only when read in place).
  Series take() &&;
  std::size_t size() const { return size_; }

 private:
  ArrayInput() = default;

  Ref pin_;  // the export, or the bytes copy, that keeps the memory valid
  Series owned_;
  const double* in_place_ = nullptr;
  std::size_t size_ = 0;
};

// A column of integers of an exact numpy.ndarray: one dimension,
// contiguous, native-endian items of the asked type (an integer type), read
// in place while a buffer export of it is held, or copied when its items
// are not aligned.
class IntegerColumn {
 public:
  // Nothing when `obj` is not such an array; throws ErrorSet when reading
  // it raised an exception that must not be passed over.
  static std::optional<IntegerColumn> read(PyObject* obj, ItemType type);

  // The integers, as the type asked for when reading (std::uint64_t for U64,
  // std::int64_t for I64, std::int32_t for I32 ...); valid while this object
  // lives.
  template <class T>
  KeyView<T> view() const {
    return KeyView<T>(static_cast<const T*>(data_), size_);
  }

 private:
  IntegerColumn() = default;

  Ref pin_;
  std::vector<std::uint64_t> owned_;
  const void* data_ = nullptr;
  std::size_t size_ = 0;
};

// The items of an exact numpy.ndarray of Python objects: one dimension,
// contiguous, read in place while a buffer export of it is held. The
// references are borrowed from the array: they stay valid while no Python
// code runs that could store into it.
class ObjectColumn {
 public:
  // Nothing when `obj` is not such an array; throws ErrorSet when reading
  // it raised an exception that must not be passed over.
  static std::optional<ObjectColumn> read(PyObject* obj);

  PyObject* const* items() const { return items_; }
  std::size_t size() const { return size_; }

 private:
  ObjectColumn() = default;

  Ref pin_;
  PyObject* const* items_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tarvex::py
