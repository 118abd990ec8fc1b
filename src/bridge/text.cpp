#include "bridge/text.hpp"

#include "bridge/pyref.hpp"

namespace tarvex::py {

std::string to_utf8(PyObject* str) {
  Ref bytes = Ref::check(PyUnicode_AsUTF8String(str));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) throw ErrorSet{};
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace tarvex::py
