#include "bridge/arrays.hpp"

#include <cstring>
#include <type_traits>

namespace tarvex::py {
namespace {

// ---- item types and their conversion ----

struct ItemTypeInfo {
  ItemType type;
  char kind;
  std::size_t size;
};

constexpr ItemTypeInfo kItemTypes[] = {
    {ItemType::F16, 'f', 2}, {ItemType::F32, 'f', 4}, {ItemType::F64, 'f', 8},  {ItemType::I8, 'i', 1},
    {ItemType::I16, 'i', 2}, {ItemType::I32, 'i', 4}, {ItemType::I64, 'i', 8},  {ItemType::U8, 'u', 1},
    {ItemType::U16, 'u', 2}, {ItemType::U32, 'u', 4}, {ItemType::U64, 'u', 8},  {ItemType::Bool, 'b', 1},
};

constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

template <class Bits>
Bits swap_bytes(Bits b) {
  if constexpr (sizeof(Bits) == 1) {
    return b;
  } else if constexpr (sizeof(Bits) == 2) {
    return __builtin_bswap16(b);
  } else if constexpr (sizeof(Bits) == 4) {
    return __builtin_bswap32(b);
  } else {
    return __builtin_bswap64(b);
  }
}

template <class Bits, bool Swap>
Bits load(const unsigned char* p) {
  Bits b;
  std::memcpy(&b, p, sizeof b);
  if constexpr (Swap) b = swap_bytes(b);
  return b;
}

// The contiguous case gets its own loop so that the compiler can vectorise it.
template <class Bits, bool Swap, double (*widen)(Bits)>
void convert_loop(const unsigned char* data, std::size_t count, std::ptrdiff_t stride, double* out) {
  if (stride == static_cast<std::ptrdiff_t>(sizeof(Bits))) {
    for (std::size_t i = 0; i < count; ++i) out[i] = widen(load<Bits, Swap>(data + i * sizeof(Bits)));
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = widen(load<Bits, Swap>(data + static_cast<std::ptrdiff_t>(i) * stride));
    }
  }
}

// The widening is a template argument: every item type gets its own loops
// with the conversion inlined.
template <class Bits, double (*widen)(Bits)>
void convert_as(const void* data, std::size_t count, std::ptrdiff_t stride, bool swap, double* out) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (swap) {
    convert_loop<Bits, true, widen>(bytes, count, stride, out);
  } else {
    convert_loop<Bits, false, widen>(bytes, count, stride, out);
  }
}

template <class To, class From>
To bit_cast(From from) {
  static_assert(sizeof(To) == sizeof(From));
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}

// IEEE half precision to double, exactly: every half is a double. A NaN
// keeps its sign and payload, quiet or signalling, as NumPy's own widening
// does.
double half_to_double(std::uint16_t h) {
  const std::uint64_t sign = static_cast<std::uint64_t>(h & 0x8000u) << 48;
  const unsigned exponent = (h >> 10) & 0x1fu;
  const std::uint64_t mantissa = h & 0x3ffu;
  if (exponent == 0) {  // zero or subnormal: mantissa * 2**-24
    const double magnitude = static_cast<double>(mantissa) * 0x1p-24;
    return sign != 0 ? -magnitude : magnitude;
  }
  const std::uint64_t biased = exponent == 0x1f ? 0x7ff : exponent - 15 + 1023;
  return bit_cast<double>(sign | (biased << 52) | (mantissa << 42));
}

template <class Signed>
double widen_signed(std::make_unsigned_t<Signed> b) {
  return static_cast<double>(bit_cast<Signed>(b));
}

template <class Bits>
double widen_unsigned(Bits b) {
  return static_cast<double>(b);
}

double widen_float(std::uint32_t b) { return static_cast<double>(bit_cast<float>(b)); }

double widen_bool(std::uint8_t b) { return b != 0 ? 1.0 : 0.0; }

// ---- reading the objects ----

// An exception raised while looking at an object that may be a typed array:
// an ordinary one means "not an array read here" (the element-wise path
// meets the object afresh and reports what it finds), any other propagates.
std::nullopt_t pass_over() {
  if (!pending_error_is_ordinary()) throw ErrorSet{};
  PyErr_Clear();
  return std::nullopt;
}

// The memory an array's items are in and how to read it.
struct Block {
  const void* data;
  std::size_t count;
  std::ptrdiff_t stride;
  ItemType type;
  bool swapped;
};

// Whether `obj` is exactly of the type `name` of the already imported
// module `module`. Nothing is imported: an object of that type cannot exist
// before its module is.
bool has_exact_type(PyObject* obj, const char* module, const char* name) {
  PyObject* found = PyDict_GetItemString(PyImport_GetModuleDict(), module);  // borrowed
  if (found == nullptr) return false;
  Ref owner = Ref::borrow(found);
  Ref type(PyObject_GetAttrString(owner.get(), name));
  if (!type) {
    pass_over();
    return false;
  }
  return type.get() == reinterpret_cast<PyObject*>(Py_TYPE(obj));
}

// An int that fits a Py_ssize_t.
std::optional<std::ptrdiff_t> read_ssize(PyObject* obj) {
  if (obj == nullptr || !PyLong_Check(obj)) return std::nullopt;
  Py_ssize_t v = PyLong_AsSsize_t(obj);
  if (v == -1 && PyErr_Occurred()) return pass_over();
  return static_cast<std::ptrdiff_t>(v);
}

std::optional<std::size_t> read_size(PyObject* obj) {
  const std::optional<std::ptrdiff_t> v = read_ssize(obj);
  if (!v || *v < 0) return std::nullopt;
  return static_cast<std::size_t>(*v);
}

std::optional<const void*> read_address(PyObject* obj) {
  if (obj == nullptr || !PyLong_Check(obj)) return std::nullopt;
  void* p = PyLong_AsVoidPtr(obj);
  if (p == nullptr && PyErr_Occurred()) return pass_over();
  return p;
}

// The one item of a one-element tuple.
PyObject* single_item(PyObject* obj) {
  return obj != nullptr && PyTuple_Check(obj) && PyTuple_Size(obj) == 1 ? PyTuple_GetItem(obj, 0) : nullptr;
}

// The character of a one-character str, also after an optional prefix
// character (the '@' of a native memoryview format); 0 for anything else.
Py_UCS4 single_char(PyObject* obj, Py_UCS4 optional_prefix = 0) {
  if (obj == nullptr || !PyUnicode_Check(obj)) return 0;
  const Py_ssize_t length = PyUnicode_GetLength(obj);
  if (length == 1) return PyUnicode_ReadChar(obj, 0);
  if (length == 2 && optional_prefix != 0 && PyUnicode_ReadChar(obj, 0) == optional_prefix) {
    return PyUnicode_ReadChar(obj, 1);
  }
  return 0;
}

// The kind letter of a struct-module format character as array.array
// typecodes and memoryview formats use them, for the characters whose items
// iterating such an object turns into Python ints, floats or bools. The
// half float 'e' is left out: not every runtime's memoryview iterates it.
char struct_kind(Py_UCS4 c) {
  switch (c) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return 'i';
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': return 'u';
    case 'f': case 'd': return 'f';
    case '?': return 'b';
    default: return 0;
  }
}

Ref attribute(PyObject* obj, const char* name) {
  Ref value(PyObject_GetAttrString(obj, name));
  if (!value) pass_over();
  return value;
}

// The fields of an exact numpy.ndarray of one dimension, read through its
// __array_struct__ (a capsule, far cheaper to make than the dictionary of
// __array_interface__), while `pin` holds a buffer export of it.
const ArrayStruct* ndarray_struct(PyObject* obj, Ref& pin, Ref& capsule) {
  pin = Ref(PyMemoryView_FromObject(obj));
  if (!pin) {
    pass_over();
    return nullptr;
  }
  capsule = attribute(obj, "__array_struct__");
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) return nullptr;
  const auto* s = static_cast<const ArrayStruct*>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (s == nullptr) {
    pass_over();
    return nullptr;
  }
  if (s->two != 2 || s->nd != 1 || s->shape == nullptr || s->itemsize <= 0 || s->shape[0] < 0) return nullptr;
  if (s->shape[0] > 0 && s->data == nullptr) return nullptr;
  return s;
}

// A stride is meaningless for fewer than two items (NumPy may give 0).
std::ptrdiff_t stride_of(const ArrayStruct& s) {
  return s.strides != nullptr && s.shape[0] > 1 ? s.strides[0] : s.itemsize;
}

// An exact numpy.ndarray of real numbers, one dimension: kind and item
// size, shape (n,), stride, address, and whether the items are in this
// machine's byte order.
std::optional<Block> ndarray_block(PyObject* obj, Ref& pin) {
  Ref capsule;
  const ArrayStruct* s = ndarray_struct(obj, pin, capsule);
  if (s == nullptr) return std::nullopt;
  const std::optional<ItemType> type = item_type(s->typekind, static_cast<std::size_t>(s->itemsize));
  if (!type) return std::nullopt;
  return Block{s->data, static_cast<std::size_t>(s->shape[0]), stride_of(*s), *type,
               (s->flags & ArrayStruct::kNotSwapped) == 0};
}

// An exact array.array: its typecode and itemsize, and buffer_info()'s
// (address, length). Its items are native-endian and contiguous.
std::optional<Block> array_block(PyObject* obj, Ref& pin) {
  pin = Ref(PyMemoryView_FromObject(obj));
  if (!pin) return pass_over();
  Ref typecode = attribute(obj, "typecode");
  Ref itemsize = attribute(obj, "itemsize");
  if (!typecode || !itemsize) return std::nullopt;
  const std::optional<std::size_t> size = read_size(itemsize.get());
  if (!size) return std::nullopt;
  const std::optional<ItemType> type = item_type(struct_kind(single_char(typecode.get())), *size);
  if (!type) return std::nullopt;
  Ref info(PyObject_CallMethod(obj, "buffer_info", nullptr));
  if (!info) return pass_over();
  if (!PyTuple_Check(info.get()) || PyTuple_Size(info.get()) != 2) return std::nullopt;
  const std::optional<const void*> address = read_address(PyTuple_GetItem(info.get(), 0));
  const std::optional<std::size_t> count = read_size(PyTuple_GetItem(info.get(), 1));
  if (!address || !count || (*count > 0 && *address == nullptr)) return std::nullopt;
  return Block{*address, *count, static_cast<std::ptrdiff_t>(*size), *type, false};
}

// A memoryview of one dimension in a native format ("d", "@i", "?" ...):
// tobytes() copies its items in logical order, whatever its strides.
std::optional<Block> memoryview_block(PyObject* obj, Ref& pin) {
  Ref ndim = attribute(obj, "ndim");
  if (!ndim || read_size(ndim.get()) != std::optional<std::size_t>(1)) return std::nullopt;
  Ref format = attribute(obj, "format");
  Ref itemsize = attribute(obj, "itemsize");
  Ref shape = attribute(obj, "shape");
  if (!format || !itemsize || !shape) return std::nullopt;
  const std::optional<std::size_t> size = read_size(itemsize.get());
  const std::optional<std::size_t> count = read_size(single_item(shape.get()));
  if (!size || !count) return std::nullopt;
  const std::optional<ItemType> type = item_type(struct_kind(single_char(format.get(), '@')), *size);
  if (!type) return std::nullopt;
  pin = Ref(PyObject_CallMethod(obj, "tobytes", nullptr));
  if (!pin) return pass_over();
  if (!PyBytes_Check(pin.get()) || static_cast<std::size_t>(PyBytes_Size(pin.get())) != *count * *size) {
    return std::nullopt;
  }
  return Block{PyBytes_AsString(pin.get()), *count, static_cast<std::ptrdiff_t>(*size), *type, false};
}

}  // namespace

std::optional<ItemType> item_type(char kind, std::size_t size) {
  for (const ItemTypeInfo& info : kItemTypes) {
    if (info.kind == kind && info.size == size) return info.type;
  }
  return std::nullopt;
}

void convert_items(const void* data, std::size_t count, std::ptrdiff_t stride, ItemType type, bool byte_swapped,
                   double* out) {
  const bool s = byte_swapped;
  switch (type) {
    case ItemType::F16: return convert_as<std::uint16_t, half_to_double>(data, count, stride, s, out);
    case ItemType::F32: return convert_as<std::uint32_t, widen_float>(data, count, stride, s, out);
    case ItemType::F64: return convert_as<std::uint64_t, bit_cast<double, std::uint64_t>>(data, count, stride, s, out);
    case ItemType::I8: return convert_as<std::uint8_t, widen_signed<std::int8_t>>(data, count, stride, s, out);
    case ItemType::I16: return convert_as<std::uint16_t, widen_signed<std::int16_t>>(data, count, stride, s, out);
    case ItemType::I32: return convert_as<std::uint32_t, widen_signed<std::int32_t>>(data, count, stride, s, out);
    case ItemType::I64: return convert_as<std::uint64_t, widen_signed<std::int64_t>>(data, count, stride, s, out);
    case ItemType::U8: return convert_as<std::uint8_t, widen_unsigned<std::uint8_t>>(data, count, stride, s, out);
    case ItemType::U16: return convert_as<std::uint16_t, widen_unsigned<std::uint16_t>>(data, count, stride, s, out);
    case ItemType::U32: return convert_as<std::uint32_t, widen_unsigned<std::uint32_t>>(data, count, stride, s, out);
    case ItemType::U64: return convert_as<std::uint64_t, widen_unsigned<std::uint64_t>>(data, count, stride, s, out);
    case ItemType::Bool: return convert_as<std::uint8_t, widen_bool>(data, count, stride, s, out);
  }
}

bool pending_error_is_ordinary() {
  return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

std::optional<ArrayInput> ArrayInput::read(PyObject* obj) {
  Ref pin;
  std::optional<Block> block;
  if (PyMemoryView_Check(obj)) {
    block = memoryview_block(obj, pin);
  } else if (has_exact_type(obj, "numpy", "ndarray")) {
    block = ndarray_block(obj, pin);
  } else if (has_exact_type(obj, "array", "array")) {
    block = array_block(obj, pin);
  }
  if (!block) return std::nullopt;
  ArrayInput input;
  input.size_ = block->count;
  const bool aligned = reinterpret_cast<std::uintptr_t>(block->data) % alignof(double) == 0;
  if (block->type == ItemType::F64 && !block->swapped && block->stride == sizeof(double) && aligned &&
      block->count > 0) {
    input.in_place_ = static_cast<const double*>(block->data);
    input.pin_ = std::move(pin);
  } else {
    input.owned_.resize(block->count);
    convert_items(block->data, block->count, block->stride, block->type, block->swapped, input.owned_.data());
  }
  return input;
}

std::optional<IntegerColumn> IntegerColumn::read(PyObject* obj, ItemType type) {
  if (!has_exact_type(obj, "numpy", "ndarray")) return std::nullopt;
  Ref pin;
  const std::optional<Block> block = ndarray_block(obj, pin);
  std::size_t bytes = 0;
  for (const ItemTypeInfo& t : kItemTypes) bytes = t.type == type ? t.size : bytes;
  if (!block || block->type != type || block->swapped || block->stride != static_cast<std::ptrdiff_t>(bytes)) {
    return std::nullopt;
  }
  IntegerColumn column;
  column.size_ = block->count;
  if (reinterpret_cast<std::uintptr_t>(block->data) % bytes == 0) {
    column.pin_ = std::move(pin);
    column.data_ = block->data;
  } else {  // a view at an odd offset into its buffer: copied to aligned memory
    column.owned_.resize((block->count * bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (block->count > 0) std::memcpy(column.owned_.data(), block->data, block->count * bytes);
    column.data_ = column.owned_.data();
  }
  return column;
}

Series ArrayInput::take() && {
  if (in_place_ != nullptr) return Series(in_place_, in_place_ + size_);
  return std::move(owned_);
}

std::optional<ObjectColumn> ObjectColumn::read(PyObject* obj) {
  if (!has_exact_type(obj, "numpy", "ndarray")) return std::nullopt;
  ObjectColumn column;
  Ref capsule;
  const ArrayStruct* s = ndarray_struct(obj, column.pin_, capsule);
  if (s == nullptr || s->typekind != 'O' || s->itemsize != static_cast<int>(sizeof(PyObject*)) ||
      stride_of(*s) != s->itemsize || reinterpret_cast<std::uintptr_t>(s->data) % alignof(PyObject*) != 0) {
    return std::nullopt;
  }
  column.items_ = static_cast<PyObject* const*>(s->data);
  column.size_ = static_cast<std::size_t>(s->shape[0]);
  return column;
}

}  // namespace tarvex::py
