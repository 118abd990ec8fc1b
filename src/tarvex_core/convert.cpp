#include "tarvex_core/convert.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <type_traits>

#include "bridge/arrays.hpp"
#include "bridge/text.hpp"

namespace tarvex::py {
namespace {

// Upper bound on the first reservation taken from a sequence's reported
// length: a lying __len__ must not trigger a huge allocation.
constexpr Py_ssize_t kMaxFirstReservation = Py_ssize_t{1} << 20;

[[noreturn]] void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw ErrorSet{};
}

[[noreturn]] void raise(PyObject* type, Ref message) {
  PyErr_SetObject(type, message.get());
  throw ErrorSet{};
}

Ref type_attr(PyObject* obj, const char* attr) {
  return Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), attr));
}

// TypeError "'<type>' object is not an instance of '<target>'", or
// "'None' is not an instance of '<target>'" for None.
[[noreturn]] void raise_not_instance(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    raise(PyExc_TypeError, Ref::check(PyUnicode_FromFormat("'None' is not an instance of '%s'", target)));
  }
  Ref name = type_attr(obj, "__qualname__");
  raise(PyExc_TypeError, Ref::check(PyUnicode_FromFormat("'%U' object is not an instance of '%s'", name.get(), target)));
}

// The int `ndim` an object states, or an empty Ref when it has none (or a
// non-int one). A lookup failing otherwise than with AttributeError throws.
Ref stated_dimensions(PyObject* obj) {
  PyObject* raw = PyObject_GetAttrString(obj, "ndim");
  if (raw == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorSet{};
    PyErr_Clear();
    return Ref();
  }
  Ref ndim(raw);
  return PyLong_Check(ndim.get()) ? std::move(ndim) : Ref();
}

bool dimensions_are(PyObject* ndim, long long n) {
  int overflow = 0;
  return PyLong_AsLongLongAndOverflow(ndim, &overflow) == n && overflow == 0;
}

[[noreturn]] void raise_dimensions(PyObject* obj, PyObject* ndim, long expected) {
  Ref name = type_attr(obj, "__qualname__");
  raise(PyExc_TypeError, Ref::check(PyUnicode_FromFormat("expected %s-dimensional data, got a %S-dimensional %U",
                                                         expected == 1 ? "one" : "two", ndim, name.get())));
}

// Refuses an object that states a number of dimensions other than the one
// expected: a two-dimensional table is a sequence too, but iterating it gives
// rows or (a pandas DataFrame) column labels, not values. An object without
// an int ndim is taken as it iterates.
void require_dimensions(PyObject* obj, long expected) {
  Ref ndim = stated_dimensions(obj);
  if (ndim && !dimensions_are(ndim.get(), expected)) raise_dimensions(obj, ndim.get(), expected);
}

// The vector converted elements of type T are collected in: a Series for
// doubles.
template <class T>
using VectorOf = std::conditional_t<std::is_same_v<T, double>, Series, std::vector<T>>;

// An exact list or tuple is read by index, the length read afresh after
// every element whose conversion may run Python code: it may shrink or grow
// the list, and the list iterator would see exactly that. Such an item is
// held while it converts. An exact float or int converts without running
// any code, so neither the list nor the item can change meanwhile. Element
// i goes to out[i]: the vector is sized to the length up front and only
// grows when a conversion grew the list past it.
template <class T, class Element>
VectorOf<T> convert_items_of(PyObject* obj, Element element) {
  const bool is_list = PyList_CheckExact(obj);
  auto size = [&] { return is_list ? PyList_Size(obj) : PyTuple_Size(obj); };
  Py_ssize_t n = size();
  const std::size_t first_size = static_cast<std::size_t>(n);
  VectorOf<T> out(first_size);
  Py_ssize_t i = 0;
  for (; i < n; ++i) {
    PyObject* borrowed = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    if (PyFloat_CheckExact(borrowed) || PyLong_CheckExact(borrowed)) {
      out[static_cast<std::size_t>(i)] = element(borrowed);
      continue;
    }
    Ref item = Ref::borrow(borrowed);
    T value = element(item.get());
    n = size();
    if (static_cast<std::size_t>(n) > out.size()) out.resize(static_cast<std::size_t>(n));
    out[static_cast<std::size_t>(i)] = std::move(value);
  }
  out.resize(static_cast<std::size_t>(i));
  if (first_size > out.size()) out.shrink_to_fit();
  return out;
}

// The sequence rules shared by every list kind: a str is refused, an exact
// list or tuple is read by index, anything else must not state other
// dimensions than `dimensions` and must be a sequence, its reported length
// only sizes a bounded reservation, and its elements are read once by
// iteration. The elements of a Series may also come from a typed array read
// as memory.
template <class T, class Element>
VectorOf<T> convert_sequence(PyObject* obj, Element element, long dimensions = 1) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return convert_items_of<T>(obj, element);
  require_dimensions(obj, dimensions);
  if constexpr (std::is_same_v<T, double>) {
    if (std::optional<ArrayInput> array = ArrayInput::read(obj)) return std::move(*array).take();
  }
  if (!PySequence_Check(obj)) raise_not_instance(obj, "Sequence");
  VectorOf<T> out;
  Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  const std::size_t reserved = static_cast<std::size_t>(std::min(hint, kMaxFirstReservation));
  out.reserve(reserved);
  Ref iter = Ref::check(PyObject_GetIter(obj));
  while (PyObject* raw = PyIter_Next(iter.get())) {
    Ref item(raw);
    out.push_back(element(item.get()));
  }
  if (PyErr_Occurred()) throw ErrorSet{};
  // A length that overstated the contents must not leave its reservation
  // behind: many such lists (the inner lists of params_in) would add up.
  if (reserved > out.size()) out.shrink_to_fit();
  return out;
}

// An exact int converts straight through PyLong_AsDouble, which is what
// its __float__ returns (and raises), without making a float object first.
double to_float(PyObject* obj) {
  double v = PyLong_CheckExact(obj) ? PyLong_AsDouble(obj) : PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw ErrorSet{};
  return v;
}

// An int is read directly; anything else goes through __index__ first.
template <class T, T (*read)(PyObject*)>
T to_integer(PyObject* obj) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref::check(PyNumber_Index(obj));
    obj = index.get();
  }
  T v = read(obj);
  if (v == static_cast<T>(-1) && PyErr_Occurred()) throw ErrorSet{};
  return v;
}

std::uint64_t read_u64(PyObject* obj) { return PyLong_AsUnsignedLongLong(obj); }
std::int64_t read_i64(PyObject* obj) { return PyLong_AsLongLong(obj); }
constexpr auto to_u64 = to_integer<std::uint64_t, read_u64>;
constexpr auto to_i64 = to_integer<std::int64_t, read_i64>;

std::uint32_t to_u32(PyObject* obj) {
  std::uint64_t v = to_u64(obj);
  if (v > std::numeric_limits<std::uint32_t>::max()) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(v);
}

Series to_series(PyObject* obj) { return convert_sequence<double>(obj, to_float); }

std::vector<std::uint64_t> to_u64_list(PyObject* obj) { return convert_sequence<std::uint64_t>(obj, to_u64); }

std::string to_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_not_instance(obj, "str");
  return to_utf8(obj);
}

// Takes the pending exception and describes it as "<TypeName>: <message>".
std::string take_error_description() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), v(value), trace(tb);
  Ref name = Ref::check(PyObject_GetAttrString(t.get(), "__name__"));
  Ref text = Ref::check(PyObject_Str(v.get()));
  return to_utf8(name.get()) + ": " + to_utf8(text.get());
}

// A number becomes the scalar variant; otherwise a sequence becomes the
// series variant; if both fail, one TypeError describes both failures. Only
// ordinary exceptions are described that way: an interrupt, an exit or a
// MemoryError from either attempt propagates as it is. An object stating two
// or more dimensions is neither a number nor a series, and is told so.
VS to_vs(PyObject* obj) {
  if (!PyFloat_CheckExact(obj) && !PyLong_CheckExact(obj) && !PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
    Ref ndim;
    try {
      ndim = stated_dimensions(obj);
    } catch (const ErrorSet&) {
      if (!pending_error_is_ordinary()) throw;
      PyErr_Clear();  // the series attempt meets the failing lookup again and reports it
    }
    if (ndim && !dimensions_are(ndim.get(), 0) && !dimensions_are(ndim.get(), 1)) {
      raise_dimensions(obj, ndim.get(), 1);
    }
  }
  double v = PyFloat_AsDouble(obj);
  if (!(v == -1.0 && PyErr_Occurred())) return VS{v};
  if (!pending_error_is_ordinary()) throw ErrorSet{};
  std::string scalar_failure = take_error_description();
  try {
    return VS{to_series(obj)};
  } catch (const ErrorSet&) {
    if (!pending_error_is_ordinary()) throw;
  }
  std::string series_failure = take_error_description();
  std::string message = "failed to extract enum VS ('S | V')\n"
                        "- variant S (S): TypeError: failed to extract field VS::S.0, caused by " +
                        scalar_failure +
                        "\n"
                        "- variant V (V): TypeError: failed to extract field VS::V.0, caused by " +
                        series_failure;
  raise(PyExc_TypeError, message.c_str());
}

bool is_numpy_bool_type(PyObject* obj) {
  Ref module = type_attr(obj, "__module__");
  Ref name = type_attr(obj, "__name__");
  return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// Exactly a bool, or a NumPy boolean scalar through its type's __bool__;
// ints (0 and 1 included) are refused.
bool to_bool(PyObject* obj) {
  if (Py_TYPE(obj) == &PyBool_Type) return obj == Py_True;
  if (!is_numpy_bool_type(obj)) raise_not_instance(obj, "bool");
  PyObject* method = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__bool__");
  if (method == nullptr) {
    PyErr_Clear();
    Ref name = type_attr(obj, "__name__");
    raise(PyExc_TypeError,
          Ref::check(PyUnicode_FromFormat("object of type '%U' does not define a '__bool__' conversion", name.get())));
  }
  Ref bound(method);
  Ref result = Ref::check(PyObject_CallFunctionObjArgs(bound.get(), obj, nullptr));
  if (Py_TYPE(result.get()) != &PyBool_Type) raise_not_instance(result.get(), "bool");
  return result.get() == Py_True;
}

}  // namespace

Value convert(Kind kind, PyObject* obj) {
  switch (kind) {
    case Kind::Series: return to_series(obj);
    case Kind::U64: return to_u64(obj);
    case Kind::U32: return to_u32(obj);
    case Kind::Float: return to_float(obj);
    case Kind::VS: return to_vs(obj);
    case Kind::U64List: return to_u64_list(obj);
    case Kind::I64List: return convert_sequence<std::int64_t>(obj, to_i64);
    case Kind::StrList: return convert_sequence<std::string>(obj, to_str);
    case Kind::U64ListList: return convert_sequence<std::vector<std::uint64_t>>(obj, to_u64_list, 2);
    case Kind::Bool: return to_bool(obj);
  }
  raise(PyExc_SystemError, "unknown parameter kind");
}

Value parse_default(Kind kind, const char* text) {
  switch (kind) {
    case Kind::U64: return static_cast<std::uint64_t>(std::strtoull(text, nullptr, 10));
    case Kind::U32: return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    case Kind::Float: return std::strtod(text, nullptr);
    default: raise(PyExc_SystemError, "parameter kind without a default");
  }
}

void add_argument_note(const char* parameter) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr) {
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    // The note is owned here, not handed over with "N": a method call
    // drops such an argument unreleased when the lookup of add_note fails,
    // as it does on every runtime before 3.11.
    Ref add_note(PyObject_GetAttrString(value, "add_note"));
    Ref note(add_note ? PyUnicode_FromFormat("while processing '%s'", parameter) : nullptr);
    Ref noted(note ? PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr) : nullptr);
    if (!noted) PyErr_Clear();  // no add_note before 3.11: the error goes without a note
  }
  PyErr_Restore(type, value, tb);
}

std::string unicode_lower(const std::string& utf8) {
  Ref text = Ref::check(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
  Ref lower = Ref::check(PyObject_CallMethod(text.get(), "lower", nullptr));
  return to_utf8(lower.get());
}

// ---- results ----
namespace {

// A list of n slots, each to be set once with set_items. PyList_New leaves
// the slots as memory never touched, and PyList_SetItem reads a slot (to
// release what it held) before it writes it: every fresh page of slots
// would fault twice, first onto the shared zero page and then for a copy of
// it, and that copy must be flushed from every other CPU running one of the
// process's threads (the pool's workers, while a whole-market table is
// built). A list of a page of slots or more is therefore made as n Nones,
// written once, each page faulting once.
Ref new_list(std::size_t n) {
  constexpr std::size_t kPageOfSlots = 512;
  if (n < kPageOfSlots) return Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
  Ref one = Ref::check(PyList_New(1));
  Py_IncRef(Py_None);
  PyList_SetItem(one.get(), 0, Py_None);  // steals
  return Ref::check(PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(n)));
}

// list[first + j] = item(j) for j < count; item returns a new reference.
template <class Item>
void set_items(PyObject* list, std::size_t first, std::size_t count, Item item) {
  for (std::size_t j = 0; j < count; ++j) {
    PyObject* made = item(j);
    if (made == nullptr) throw ErrorSet{};
    PyList_SetItem(list, static_cast<Py_ssize_t>(first + j), made);  // steals
  }
}

// Each native column is freed as soon as its list is built: a result of
// several columns then never holds more than one of them beside the lists.
template <class V>
void release(V& values) {
  V().swap(values);
}

template <class Values, class Make>
Ref build_list(Values& values, Make make) {
  Ref list = new_list(values.size());
  set_items(list.get(), 0, values.size(), [&](std::size_t i) { return make(values[i]); });
  release(values);
  return list;
}

Ref float_list(Series& s) { return build_list(s, PyFloat_FromDouble); }
template <class Alloc>
Ref code_list(std::vector<std::uint64_t, Alloc>& v) {
  return build_list(v, PyLong_FromUnsignedLongLong);
}
template <class Alloc>
Ref date_list(std::vector<std::int64_t, Alloc>& v) {
  return build_list(v, PyLong_FromLongLong);
}
Ref str_list(std::vector<std::string>& v) {
  return build_list(v, [](const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
  });
}

Ref tuple_of(std::vector<Ref> items) {
  Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());  // steals
  }
  return tuple;
}

struct ResultBuilder {
  Ref operator()(Series& s) const { return float_list(s); }
  Ref operator()(SeriesList& list) const {
    std::vector<Ref> items;
    for (Series& s : list) items.push_back(float_list(s));
    return tuple_of(std::move(items));
  }
  Ref operator()(double v) const { return Ref::check(PyFloat_FromDouble(v)); }
  Ref operator()(Ref& built) const { return std::move(built); }
  Ref operator()(ZhishuResult& z) const {
    std::vector<Ref> items;
    items.push_back(date_list(z.date));
    for (Series* s : {&z.open, &z.high, &z.low, &z.close, &z.change, &z.volume, &z.amount}) {
      items.push_back(float_list(*s));
    }
    items.push_back(code_list(z.count));
    return tuple_of(std::move(items));
  }
};

}  // namespace

Ref build_result(Result&& result) { return std::visit(ResultBuilder{}, result); }

// ---- whole-market tables ----

TableLists::TableLists(std::size_t rows, std::size_t columns) : codes_(new_list(rows)), dates_(new_list(rows)) {
  columns_.reserve(columns);
  for (std::size_t k = 0; k < columns; ++k) columns_.push_back(new_list(rows));
}

void TableLists::append(const GroupRows& rows) {
  const std::size_t first = filled_, m = rows.dates.size();
  set_items(codes_.get(), first, m, [&](std::size_t) { return PyLong_FromUnsignedLongLong(rows.code); });
  set_items(dates_.get(), first, m, [&](std::size_t j) { return PyLong_FromLongLong(rows.dates[j]); });
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    const Series& column = rows.columns[k];
    set_items(columns_[k].get(), first, m, [&](std::size_t j) { return PyFloat_FromDouble(column[j]); });
  }
  filled_ = first + m;
}

Ref TableLists::finish(std::vector<std::string> names) {
  std::vector<Ref> items;
  items.push_back(std::move(codes_));
  items.push_back(std::move(dates_));
  items.push_back(str_list(names));
  Ref columns = new_list(columns_.size());
  set_items(columns.get(), 0, columns_.size(), [&](std::size_t k) { return columns_[k].release(); });
  items.push_back(std::move(columns));
  return tuple_of(std::move(items));
}

}  // namespace tarvex::py
