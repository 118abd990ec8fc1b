// Binding of positional and keyword arguments to a row's parameters, and the
// fixed pipeline every function runs: bind, convert, compute, build.
#include <new>
#include <stdexcept>
#include <utility>

#include "runtime/interrupt.hpp"
#include "tarvex_core/function_table.hpp"

namespace tarvex::py {
namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw ErrorSet{};
}

std::size_t required_count(const FunctionRow& row) {
  std::size_t k = 0;
  for (const Param& p : row.params) k += p.default_text == nullptr ? 1 : 0;
  return k;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += std::string("'") + names[i] + "'";
  }
  return out;
}

// One strong reference per parameter; an empty Ref is an unbound parameter.
std::vector<Ref> bind(const FunctionRow& row, PyObject* args, PyObject* kwargs) {
  const std::string f = row.name;
  const std::size_t max = row.params.size();
  const std::size_t given = static_cast<std::size_t>(PyTuple_Size(args));
  if (given > max) {
    const std::size_t min = required_count(row);
    std::string takes = min == max ? std::to_string(max) : "from " + std::to_string(min) + " to " + std::to_string(max);
    raise_type_error(f + "() takes " + takes + " positional arguments but " + std::to_string(given) +
                     (given == 1 ? " was" : " were") + " given");
  }
  std::vector<Ref> bound(max);
  for (std::size_t i = 0; i < given; ++i) bound[i] = Ref::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t j = 0;
      while (j < max && !(PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, row.params[j].name) == 0)) ++j;
      if (j == max) {
        Ref msg = Ref::check(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", row.name, key));
        PyErr_SetObject(PyExc_TypeError, msg.get());
        throw ErrorSet{};
      }
      if (bound[j]) raise_type_error(f + "() got multiple values for argument '" + row.params[j].name + "'");
      bound[j] = Ref::borrow(value);
    }
  }

  std::vector<const char*> missing;
  for (std::size_t j = 0; j < max; ++j) {
    if (!bound[j] && row.params[j].default_text == nullptr) missing.push_back(row.params[j].name);
  }
  if (!missing.empty()) {
    raise_type_error(f + "() missing " + std::to_string(missing.size()) + " required positional " +
                     (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
  }
  return bound;
}

// Converts in parameter order; the first failure gets the parameter's note
// and ends the call.
Args convert_all(const FunctionRow& row, const std::vector<Ref>& bound) {
  std::vector<Value> values;
  values.reserve(row.params.size());
  for (std::size_t j = 0; j < row.params.size(); ++j) {
    const Param& p = row.params[j];
    if (!bound[j]) {
      values.push_back(parse_default(p.kind, p.default_text));
      continue;
    }
    try {
      values.push_back(convert(p.kind, bound[j].get()));
    } catch (const ErrorSet&) {
      add_argument_note(p.name);
      throw;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      add_argument_note(p.name);
      throw ErrorSet{};
    }
  }
  return Args(std::move(values));
}

// Converts the arguments and runs the handler. The converted copies are
// freed on return, before the caller builds the result objects (a table
// function builds its own while it computes, and frees them as it goes).
Result compute(const FunctionRow& row, std::vector<Ref>& bound) {
  Args converted = convert_all(row, bound);
  bound.clear();
  return row.handler(row, converted);
}

// Lets a long computation stop when a signal handler raised, as the
// interpreter's default SIGINT handler does (KeyboardInterrupt). Called with
// the interpreter lock held; PyErr_CheckSignals runs the pending handlers
// and leaves their exception set.
class SignalCheck final : public InterruptHook {
 public:
  bool stop() override { return PyErr_CheckSignals() != 0; }
};

}  // namespace

std::string text_signature(const FunctionRow& row) {
  std::string sig = std::string(row.name) + "(";
  for (std::size_t j = 0; j < row.params.size(); ++j) {
    if (j > 0) sig += ", ";
    sig += row.params[j].name;
    if (row.params[j].default_text != nullptr) sig += std::string("=") + row.params[j].default_text;
  }
  return sig + ")";
}

PyObject* call_row(const FunctionRow& row, PyObject* args, PyObject* kwargs) {
  SignalCheck signals;
  InterruptScope interruptible(&signals);
  try {
    std::vector<Ref> bound = bind(row, args, kwargs);
    Result result = compute(row, bound);
    return build_result(std::move(result)).release();
  } catch (const ErrorSet&) {
  } catch (const Interrupted&) {
    // SignalCheck stopped the computation with the handler's exception set.
  } catch (const ValueError& e) {
    PyObject* message = PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace");
    if (message != nullptr) {
      PyErr_SetObject(PyExc_ValueError, message);
      Py_DecRef(message);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a vector asked for more than the address space holds
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected native failure");
  }
  return nullptr;
}

}  // namespace tarvex::py
