// Text across the boundary: Python str to UTF-8, one at a time or a column
// of them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>

#include "batch/text_codes.hpp"

namespace tarvex::py {

// The UTF-8 bytes of a str; throws ErrorSet when it has none (a lone
// surrogate, say).
std::string to_utf8(PyObject* str);

// The texts of a column of objects, each an exact str (nothing otherwise):
// where the column holds few distinct objects many times over (a file
// reader shares equal texts), the texts of those objects alone, numbered
// as first met, with each row's object and each object's first row; else
// each row's text, `by_object` false and the rest empty.
// Equal texts held by two objects stay two objects. A lone surrogate is
// written in the three-byte form of its code point, so that the bytes of
// any two strs compare as Python compares the strs: by code point.
// Signals are checked now and then; a handler that stores into the
// column's array is seen, not read stale, where rows are read one by one.
struct StrTexts {
  TextColumn texts;
  bool by_object = false;
  RowColumn object_of;
  RowColumn first_row;
};
std::optional<StrTexts> str_texts(PyObject* const* items, std::size_t count);

}  // namespace tarvex::py
