// Text across the boundary: Python str to and from UTF-8 std::string.
#pragma once

#include <Python.h>

#include <string>

namespace tarvex::py {

// The UTF-8 bytes of a str; throws ErrorSet when it has none (a lone
// surrogate, say).
std::string to_utf8(PyObject* str);

}  // namespace tarvex::py
