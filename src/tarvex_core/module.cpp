// Module definition and initialisation: one execution slot registers every
// row of the function table, in order, as a builtin function bound to the
// module, and lists its name in __all__.
#include <string>
#include <vector>

#include "tarvex_core/function_table.hpp"

namespace tarvex::py {
namespace {

// Method definitions and their docstrings ("SIG\n--\n\nDESC"), built once
// from the function table; the runtime keeps pointers into them for the
// life of the process.
struct MethodDefs {
  std::vector<std::string> docs;
  std::vector<PyMethodDef> defs;

  MethodDefs() {
    const FunctionTable& table = function_table();
    docs.reserve(table.size);
    defs.reserve(table.size);
    for (std::size_t i = 0; i < table.size; ++i) {
      const FunctionRow& row = table.rows[i];
      docs.push_back(text_signature(row) + "\n--\n\n" + row.description);
      defs.push_back(PyMethodDef{row.name,
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(table.entry_points[i])),
                                 METH_VARARGS | METH_KEYWORDS, docs.back().c_str()});
    }
  }
};

std::vector<PyMethodDef>& method_defs() {
  static MethodDefs defs;
  return defs.defs;
}

// __all__ of the module, created as an empty list when missing.
Ref all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorSet{};
    PyErr_Clear();
    Ref fresh = Ref::check(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", fresh.get()) < 0) throw ErrorSet{};
    return fresh;
  }
  Ref existing(all);
  if (!PyList_Check(existing.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    throw ErrorSet{};
  }
  return existing;
}

void register_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::check(PyModule_GetNameObject(module));
  Ref function = Ref::check(PyCMethod_New(def, module, module_name.get(), nullptr));
  Ref name = Ref::check(PyObject_GetAttrString(function.get(), "__name__"));
  Ref all = all_list(module);
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_SetString(PyExc_TypeError, "could not append __name__ to __all__");
    throw ErrorSet{};
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw ErrorSet{};
}

int exec_module(PyObject* module) {
  try {
    if (!PyModule_Check(module)) {
      Ref type_name = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(module)), "__qualname__"));
      Ref msg = Ref::check(PyUnicode_FromFormat("'%U' object is not an instance of 'PyModule'", type_name.get()));
      PyErr_SetObject(PyExc_TypeError, msg.get());
      return -1;
    }
    for (PyMethodDef& def : method_defs()) register_function(module, &def);
    return 0;
  } catch (const ErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarvex_core",  // m_name
    "",             // m_doc
    0,              // m_size: the module keeps no state
    no_methods,     // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace
}  // namespace tarvex::py

PyMODINIT_FUNC PyInit_tarvex_core(void) { return PyModuleDef_Init(&tarvex::py::module_def); }
