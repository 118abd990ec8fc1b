#include "tarvex_native/tables.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "batch/batch.hpp"
#include "batch/order.hpp"
#include "batch/text_codes.hpp"
#include "index/zhishu.hpp"
#include "bridge/text.hpp"
#include "tarvex_native/boundary.hpp"

namespace tarvex::native {
namespace {

std::vector<std::string> names_of(PyObject* list) {
  std::vector<std::string> out;
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) out.push_back(py::to_utf8(PyList_GetItem(list, i)));
  return out;
}

std::vector<std::vector<std::uint64_t>> params_of(PyObject* list) {
  std::vector<std::vector<std::uint64_t>> out;
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyObject* inner = PyList_GetItem(list, i);
    std::vector<std::uint64_t> values;
    for (Py_ssize_t j = 0; j < PyList_Size(inner); ++j) values.push_back(to_u64(PyList_GetItem(inner, j)));
    out.push_back(std::move(values));
  }
  return out;
}

Ref string_tuple(const std::vector<std::string>& values) {
  Ref out = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* s = PyUnicode_DecodeUTF8(values[i].data(), static_cast<Py_ssize_t>(values[i].size()), "strict");
    if (s == nullptr) throw ErrorSet{};
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), s);
  }
  return out;
}

std::vector<ArrayInput> read_columns(PyObject* args, Py_ssize_t first, Py_ssize_t count) {
  std::vector<ArrayInput> out;
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = first; i < first + count; ++i) out.push_back(read_column(PyTuple_GetItem(args, i), "column"));
  return out;
}

// A code or date column: the Python layer hands over a contiguous array of
// 64-bit integers, read in place (copied when its items are not aligned).
py::IntegerColumn key_column(PyObject* obj, py::ItemType type, const char* what) {
  std::optional<py::IntegerColumn> column = py::IntegerColumn::read(obj, type);
  if (!column) raise(PyExc_TypeError, std::string(what) + " must be a contiguous array of 64-bit integers");
  return std::move(*column);
}

// A tuple of columns of 8-byte items, each read as 64-bit integers.
std::vector<py::IntegerColumn> key_columns(PyObject* given) {
  if (!PyTuple_Check(given)) raise(PyExc_TypeError, "expected a tuple of columns");
  std::vector<py::IntegerColumn> columns;
  for (Py_ssize_t j = 0; j < PyTuple_Size(given); ++j) {
    columns.push_back(key_column(PyTuple_GetItem(given, j), py::ItemType::I64, "a column"));
  }
  return columns;
}

// A table names each column once: a repeated field (the same period given
// twice, say) is refused before anything is computed.
void check_named_once(std::vector<std::string> columns) {
  std::sort(columns.begin(), columns.end());
  const auto twice = std::adjacent_find(columns.begin(), columns.end());
  if (twice != columns.end()) {
    raise(PyExc_ValueError, "the indicators give the field '" + *twice + "' twice; name each period once");
  }
}

}  // namespace

PyObject* batch(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 13) raise(PyExc_TypeError, "batch() takes 13 arguments");
    const bool cross = PyObject_IsTrue(PyTuple_GetItem(args, 0)) == 1;
    const bool keep_values = PyObject_IsTrue(PyTuple_GetItem(args, 1)) == 1;
    const std::vector<std::string> names = names_of(PyTuple_GetItem(args, 2));
    const std::vector<std::vector<std::uint64_t>> params = params_of(PyTuple_GetItem(args, 3));
    const py::IntegerColumn code = key_column(PyTuple_GetItem(args, 4), py::ItemType::U64, "code");
    const py::IntegerColumn date = key_column(PyTuple_GetItem(args, 5), py::ItemType::I64, "date");
    const std::vector<ArrayInput> columns = read_columns(args, 6, 5);
    const std::size_t threads = static_cast<std::size_t>(to_u64(PyTuple_GetItem(args, 11)));
    check_named_once(table_columns(names, params, cross, keep_values));

    BatchInput in{names, params, code.view<std::uint64_t>(), date.view<std::int64_t>(), columns[0].view(),
                  columns[1].view(), columns[2].view(), columns[3].view(), columns[4].view()};
    in.sources = PyObject_IsTrue(PyTuple_GetItem(args, 12)) == 1;
    // Names arrive lower-cased, so the whole computation runs without the
    // interpreter lock.
    BatchTable table;
    {
      Unlocked unlocked;
      const ForEachGroup spread = on_pool(threads, [&] { return unlocked.poll(); });
      table = cross ? BATCH_CROSS(in, keep_values, spread) : BATCH(in, spread);
    }
    std::vector<Ref> results;
    for (Series& c : table.columns) results.push_back(hand_over(std::move(c)));
    Ref codes = hand_over(std::move(table.codes));
    Ref dates = hand_over(std::move(table.dates));
    Ref fields = string_tuple(table.fields);
    Ref values = tuple_of(std::move(results));
    Ref sources = in.sources ? hand_over(std::move(table.sources)) : Ref::borrow(Py_None);
    Ref repeats = Ref::check(PyLong_FromSize_t(table.repeats));
    return PyTuple_Pack(6, codes.get(), dates.get(), fields.get(), values.get(), sources.get(), repeats.get());
  });
}

PyObject* order(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 3) raise(PyExc_TypeError, "order() takes 3 arguments");
    const py::IntegerColumn code = key_column(PyTuple_GetItem(args, 0), py::ItemType::I64, "code");
    PyObject* date_obj = PyTuple_GetItem(args, 1);
    std::optional<py::IntegerColumn> date;
    if (date_obj != Py_None) date = key_column(date_obj, py::ItemType::I64, "date");
    const std::vector<py::IntegerColumn> columns = key_columns(PyTuple_GetItem(args, 2));
    std::vector<KeyView<std::int64_t>> views;
    for (const py::IntegerColumn& c : columns) views.push_back(c.view<std::int64_t>());
    RowOrder o;
    {
      Unlocked unlocked;
      o = order_rows(code.view<std::int64_t>(), date ? date->view<std::int64_t>() : KeyView<std::int64_t>(), views,
                     on_pool(0, [&] { return unlocked.poll(); }));
    }
    Ref rows = hand_over(std::move(o.rows));
    Ref starts = hand_over(std::move(o.starts));
    Ref repeats = Ref::check(PyLong_FromSize_t(o.repeats));
    Ref dates = date ? hand_over(std::move(o.dates)) : Ref::borrow(Py_None);
    std::vector<Ref> moved;
    for (RowColumn& c : o.columns) moved.push_back(hand_over(std::move(c)));
    Ref taken = tuple_of(std::move(moved));
    return PyTuple_Pack(5, rows.get(), starts.get(), repeats.get(), dates.get(), taken.get());
  });
}

namespace {

// The Arrow string chunks of a tuple of (offsets as int32 or int64 or
// string views as uint8, a tuple of byte buffers as uint8, the first text
// used, the count used), read in place while `held` holds them.
std::vector<TextChunk> text_chunks(PyObject* given, std::vector<py::IntegerColumn>& held) {
  if (!PyTuple_Check(given)) raise(PyExc_TypeError, "expected a tuple of chunks");
  const auto hold = [&](py::IntegerColumn&& column, auto& view, auto type_tag) {
    using Item = decltype(type_tag);
    view = column.template view<Item>();
    held.push_back(std::move(column));
  };
  std::vector<TextChunk> chunks;
  for (Py_ssize_t k = 0; k < PyTuple_Size(given); ++k) {
    PyObject* chunk = PyTuple_GetItem(given, k);
    if (!PyTuple_Check(chunk) || PyTuple_Size(chunk) != 4) {
      raise(PyExc_TypeError, "a chunk is (offsets or views, buffers, first, length)");
    }
    TextChunk c;
    PyObject* layout = PyTuple_GetItem(chunk, 0);
    if (auto views = py::IntegerColumn::read(layout, py::ItemType::U8)) {
      hold(std::move(*views), c.views, std::uint8_t{});
    } else if (auto wide = py::IntegerColumn::read(layout, py::ItemType::I64)) {
      hold(std::move(*wide), c.offsets64, std::int64_t{});
    } else if (auto narrow = py::IntegerColumn::read(layout, py::ItemType::I32)) {
      hold(std::move(*narrow), c.offsets32, std::int32_t{});
    } else {
      raise(PyExc_TypeError, "a chunk's offsets must be a contiguous int32 or int64 array, or its views uint8");
    }
    PyObject* buffers = PyTuple_GetItem(chunk, 1);
    if (!PyTuple_Check(buffers)) raise(PyExc_TypeError, "a chunk's buffers must be a tuple");
    for (Py_ssize_t b = 0; b < PyTuple_Size(buffers); ++b) {
      auto bytes = py::IntegerColumn::read(PyTuple_GetItem(buffers, b), py::ItemType::U8);
      if (!bytes) raise(PyExc_TypeError, "a chunk's buffers must be contiguous uint8 arrays");
      c.buffers.emplace_back();
      hold(std::move(*bytes), c.buffers.back(), std::uint8_t{});
    }
    c.first = static_cast<std::size_t>(to_u64(PyTuple_GetItem(chunk, 2)));
    c.length = static_cast<std::size_t>(to_u64(PyTuple_GetItem(chunk, 3)));
    chunks.push_back(std::move(c));
  }
  return chunks;
}

}  // namespace

PyObject* text_ids(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 1) raise(PyExc_TypeError, "text_ids() takes 1 argument");
    std::vector<py::IntegerColumn> held;
    const std::vector<TextChunk> chunks = text_chunks(PyTuple_GetItem(args, 0), held);
    TextNumbers numbers;
    {
      Unlocked unlocked;
      numbers = number_texts(chunks, on_pool(0, [&] { return unlocked.poll(); }));
    }
    Ref ids = hand_over(std::move(numbers.ids));
    Ref firsts = hand_over(std::move(numbers.firsts));
    return PyTuple_Pack(2, ids.get(), firsts.get());
  });
}

PyObject* text_keys(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 2) raise(PyExc_TypeError, "text_keys() takes 2 arguments");
    std::vector<py::IntegerColumn> held;
    const std::vector<TextChunk> chunks = text_chunks(PyTuple_GetItem(args, 0), held);
    const std::uint64_t span = to_u64(PyTuple_GetItem(args, 1));
    std::optional<RowColumn> keys;
    {
      Unlocked unlocked;
      keys = tarvex::text_keys(chunks, span, on_pool(0, [&] { return unlocked.poll(); }));
    }
    if (!keys) Py_RETURN_NONE;
    return hand_over(std::move(*keys)).release();
  });
}

PyObject* first_rows(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 2) raise(PyExc_TypeError, "first_rows() takes 2 arguments");
    const py::IntegerColumn keys = key_column(PyTuple_GetItem(args, 0), py::ItemType::I64, "keys");
    const std::size_t span = static_cast<std::size_t>(to_u64(PyTuple_GetItem(args, 1)));
    RowColumn first;
    {
      Unlocked unlocked;
      first = tarvex::first_rows(keys.view<std::int64_t>(), span);
    }
    return hand_over(std::move(first)).release();
  });
}

PyObject* repeat_texts(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 3) raise(PyExc_TypeError, "repeat_texts() takes 3 arguments");
    std::vector<py::IntegerColumn> held;
    const std::vector<TextChunk> chunks = text_chunks(PyTuple_GetItem(args, 0), held);
    const py::IntegerColumn rows = key_column(PyTuple_GetItem(args, 1), py::ItemType::I64, "rows");
    const py::IntegerColumn counts = key_column(PyTuple_GetItem(args, 2), py::ItemType::I64, "counts");
    TextColumn column;
    {
      Unlocked unlocked;
      column = tarvex::repeat_texts(chunks, rows.view<std::int64_t>(), counts.view<std::int64_t>(),
                                    on_pool(0, [&] { return unlocked.poll(); }));
    }
    Ref offsets = hand_over(std::move(column.offsets));
    Ref bytes = hand_over(std::move(column.bytes));
    return PyTuple_Pack(2, offsets.get(), bytes.get());
  });
}

PyObject* str_texts(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 1) raise(PyExc_TypeError, "str_texts() takes 1 argument");
    const std::optional<py::ObjectColumn> objects = py::ObjectColumn::read(PyTuple_GetItem(args, 0));
    if (!objects) raise(PyExc_TypeError, "expected a contiguous NumPy array of objects");
    std::optional<py::StrTexts> read = py::str_texts(objects->items(), objects->size());
    if (!read) Py_RETURN_NONE;
    Ref offsets = hand_over(std::move(read->texts.offsets));
    Ref bytes = hand_over(std::move(read->texts.bytes));
    if (!read->by_object) return PyTuple_Pack(4, offsets.get(), bytes.get(), Py_None, Py_None);
    Ref object_of = hand_over(std::move(read->object_of));
    Ref first_row = hand_over(std::move(read->first_row));
    return PyTuple_Pack(4, offsets.get(), bytes.get(), object_of.get(), first_row.get());
  });
}

PyObject* take(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 3) raise(PyExc_TypeError, "take() takes 3 arguments");
    const py::IntegerColumn rows = key_column(PyTuple_GetItem(args, 0), py::ItemType::I64, "rows");
    const std::vector<py::IntegerColumn> columns = key_columns(PyTuple_GetItem(args, 1));
    const std::size_t threads = static_cast<std::size_t>(to_u64(PyTuple_GetItem(args, 2)));
    std::vector<RowColumn> taken;
    {
      Unlocked unlocked;
      const auto poll = [&] { return unlocked.poll(); };
      for (const py::IntegerColumn& c : columns) {
        taken.push_back(take_rows(rows.view<std::int64_t>(), c.view<std::int64_t>(), threads, poll));
      }
    }
    std::vector<Ref> results;
    for (auto& t : taken) results.push_back(hand_over(std::move(t)));
    return tuple_of(std::move(results)).release();
  });
}

PyObject* zhishu(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 12) raise(PyExc_TypeError, "zhishu() takes 12 arguments");
    const py::IntegerColumn code = key_column(PyTuple_GetItem(args, 0), py::ItemType::U64, "code");
    const py::IntegerColumn date = key_column(PyTuple_GetItem(args, 1), py::ItemType::I64, "date");
    const std::vector<ArrayInput> c = read_columns(args, 2, 8);
    const std::uint64_t method = to_u64(PyTuple_GetItem(args, 10));
    const double base = to_double(PyTuple_GetItem(args, 11));
    const ZhishuInput in{code.view<std::uint64_t>(), date.view<std::int64_t>(), c[0].view(), c[1].view(),
                         c[2].view(), c[3].view(), c[4].view(), c[5].view(), c[6].view(), c[7].view()};
    ZhishuResult z;
    {
      Unlocked unlocked;
      z = ZHISHU(in, method, base);
    }
    std::vector<Ref> items;
    items.push_back(hand_over(std::move(z.date)));
    for (Series* s : {&z.open, &z.high, &z.low, &z.close, &z.change, &z.volume, &z.amount}) {
      items.push_back(hand_over(std::move(*s)));
    }
    items.push_back(hand_over(std::move(z.count)));
    return tuple_of(std::move(items)).release();
  });
}

}  // namespace tarvex::native
