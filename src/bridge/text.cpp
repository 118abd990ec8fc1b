#include "bridge/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bridge/pyref.hpp"

namespace tarvex::py {

std::string to_utf8(PyObject* str) {
  Ref bytes = Ref::check(PyUnicode_AsUTF8String(str));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) throw ErrorSet{};
  return std::string(data, static_cast<std::size_t>(size));
}

namespace {

// Appends the UTF-8 form of `c` (any code point, surrogates included) at
// `out`; returns the end.
std::uint8_t* put_utf8(Py_UCS4 c, std::uint8_t* out) {
  if (c < 0x80) {
    *out++ = static_cast<std::uint8_t>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<std::uint8_t>(0xC0 | (c >> 6));
    *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<std::uint8_t>(0xE0 | (c >> 12));
    *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<std::uint8_t>(0xF0 | (c >> 18));
    *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  }
  return out;
}

// The texts of `count` objects, each an exact str, as UTF-8 bytes one
// after another with offsets into them; nothing when an item is anything
// else (a subclass may order itself otherwise). The items are read afresh
// after each check for signals.
std::optional<TextColumn> utf8_column(PyObject* const* items, std::size_t count) {
  // The objects lie wherever they were made, often in another order than
  // the column's (a sorted frame): each is asked for this many rows ahead.
  constexpr std::size_t kAhead = 16;
  constexpr std::size_t kSignalRows = std::size_t{1} << 20;
  // Columns often hold a few objects many times over (a file's reader
  // shares equal texts, a repeated code): the objects met last are kept
  // by address, each with where its bytes were written. Where each row
  // holds its own object the table only costs, so a window of rows that
  // found few objects again leaves it unused for the next windows but
  // every kProbe-th.
  constexpr std::size_t kWindow = std::size_t{1} << 16, kProbe = 16;
  bool use_met = true;
  std::size_t found = 0;
  struct Met {
    const PyObject* object = nullptr;
    std::size_t begin = 0, size = 0;
  };
  constexpr unsigned kMetBits = 14;
  std::vector<Met> met(std::size_t{1} << kMetBits);
  const auto slot = [&](const PyObject* o) -> Met& {
    const std::uint64_t a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(o)) >> 4;
    return met[static_cast<std::size_t>((a * 0x9E3779B97F4A7C15ULL) >> (64 - kMetBits))];
  };
  TextColumn out;
  out.offsets.resize(count + 1);
  out.offsets[0] = 0;
  std::vector<Py_UCS4> chars(64);
  std::size_t used = 0;
  // Room for `more` bytes after row i and 16 more (a short text is copied
  // 16 bytes at a time): grown to what the rows so far project for all.
  const auto room = [&](std::size_t i, std::size_t more) {
    const std::size_t needed = used + more + 16;
    if (out.bytes.size() >= needed) return;
    const std::size_t projected = used / (i + 1) * (count + 1) + used / 8;
    out.bytes.resize(std::max({needed, projected, 2 * out.bytes.size()}));
  };
  for (std::size_t i = 0; i < count; ++i) {
    if (i % kSignalRows == kSignalRows - 1) {
      if (PyErr_CheckSignals() < 0) throw ErrorSet{};
      // A handler may have freed an object met and made another at its address.
      std::fill(met.begin(), met.end(), Met{});
    }
    if (i % kWindow == 0 && i > 0) {
      use_met = found * 16 >= kWindow || (i / kWindow) % kProbe == 0;
      found = 0;
    }
    if (i + kAhead < count) {  // its header, and the line its characters may run into
      const char* ahead = reinterpret_cast<const char*>(items[i + kAhead]);
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + 64);
    }
    PyObject* item = items[i];
    Met* m = use_met ? &slot(item) : nullptr;
    if (m != nullptr && m->object == item && item != nullptr) {  // met before: its bytes again
      ++found;
      room(i, m->size);
      std::uint8_t* to = out.bytes.data() + used;
      const std::uint8_t* from = out.bytes.data() + m->begin;
      if (m->size <= 16) {  // the text and what follows it (within the buffer), overwritten by the next row
        std::uint8_t text[16];
        std::memcpy(text, from, 16);
        std::memcpy(to, text, 16);
      } else {
        std::copy_n(from, m->size, to);
      }
      used += m->size;
      out.offsets[i + 1] = static_cast<std::int64_t>(used);
      continue;
    }
    if (item == nullptr || !PyUnicode_CheckExact(item)) return std::nullopt;
    const Py_ssize_t length = PyUnicode_GetLength(item);
    if (length < 0) throw ErrorSet{};
    const auto n = static_cast<std::size_t>(length);
    if (chars.size() < n) chars.resize(n);
    if (n > 0 && PyUnicode_AsUCS4(item, chars.data(), length, 0) == nullptr) throw ErrorSet{};
    room(i, 4 * n);
    std::uint8_t* end = out.bytes.data() + used;
    for (std::size_t k = 0; k < n; ++k) end = put_utf8(chars[k], end);
    const std::size_t size = static_cast<std::size_t>(end - out.bytes.data()) - used;
    if (m != nullptr) *m = Met{item, used, size};
    used += size;
    out.offsets[i + 1] = static_cast<std::int64_t>(used);
  }
  out.bytes.resize(used);
  return out;
}

// The distinct objects of a column, as first met, and each row's, read
// from the addresses alone; nothing once they pass `limit`.
struct DistinctObjects {
  std::vector<PyObject*> objects;
  std::vector<Ref> held;  // so that a signal handler run while their texts are read frees none
  RowColumn object_of, first_row;
};

std::optional<DistinctObjects> distinct_objects(PyObject* const* items, std::size_t count, std::size_t limit) {
  struct Slot {
    PyObject* object = nullptr;
    std::int64_t id = 0;
  };
  unsigned bits = 10;
  std::vector<Slot> table(std::size_t{1} << bits);
  DistinctObjects out;
  out.object_of.reserve(count);
  const auto place = [&](PyObject* o) -> Slot& {  // its slot, or the empty one where it goes
    const std::uint64_t a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(o)) >> 4;
    std::size_t at = static_cast<std::size_t>((a * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
    while (table[at].object != nullptr && table[at].object != o) at = (at + 1) & (table.size() - 1);
    return table[at];
  };
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = items[i];
    if (i > 0 && item == items[i - 1]) {  // a run of one object, as in a market ordered by code
      out.object_of.push_back(out.object_of.back());
      continue;
    }
    if (item == nullptr) return std::nullopt;
    Slot* s = &place(item);
    if (s->object == nullptr) {
      if (out.objects.size() == limit) return std::nullopt;
      *s = Slot{item, static_cast<std::int64_t>(out.objects.size())};
      out.objects.push_back(item);
      out.first_row.push_back(static_cast<std::int64_t>(i));
      if (2 * out.objects.size() > table.size()) {  // kept at most half full
        ++bits;
        table.assign(std::size_t{1} << bits, Slot{});
        for (std::size_t k = 0; k < out.objects.size(); ++k) {
          place(out.objects[k]) = Slot{out.objects[k], static_cast<std::int64_t>(k)};
        }
        s = &place(item);
      }
    }
    out.object_of.push_back(s->id);
  }
  out.held.reserve(out.objects.size());
  for (PyObject* o : out.objects) out.held.push_back(Ref::borrow(o));
  return out;
}

}  // namespace

std::optional<StrTexts> str_texts(PyObject* const* items, std::size_t count) {
  // Distinct objects pay where they are few: the text of each is read
  // once, not at each of its rows, where reading waits on memory (objects
  // lie scattered) and on the interpreter's calls. Where most rows hold an
  // object of their own, the addresses looked up only cost: a sixteenth of
  // the rows bounds the table and the work given up.
  if (std::optional<DistinctObjects> distinct = distinct_objects(items, count, count / 16 + 1)) {
    std::optional<TextColumn> texts = utf8_column(distinct->objects.data(), distinct->objects.size());
    if (!texts) return std::nullopt;
    return StrTexts{std::move(*texts), true, std::move(distinct->object_of), std::move(distinct->first_row)};
  }
  std::optional<TextColumn> texts = utf8_column(items, count);
  if (!texts) return std::nullopt;
  return StrTexts{std::move(*texts), false, {}, {}};
}

}  // namespace tarvex::py
