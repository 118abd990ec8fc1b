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

// The texts of `count` objects, each an exact str, as UTF-8 bytes one after
// another with offsets into them (an Arrow large-string column); nothing
// when an item is anything else (a subclass may order itself otherwise).
// A lone surrogate is written in the three-byte form of its code point, so
// that the bytes of any two strs compare as Python compares the strs: by
// code point. Signals are checked now and then; the items are read afresh
// after each check, so a handler that stores into their array is seen, not
// read stale.
std::optional<TextColumn> utf8_column(PyObject* const* items, std::size_t count);

}  // namespace tarvex::py
