// Owning handle for a Python object reference, and the exception that says
// "a Python error is already set".
#pragma once

#include <Python.h>

namespace tarvex::py {

// Thrown after a Python API call failed with the error indicator set; the
// call boundary returns NULL so the interpreter raises that error.
struct ErrorSet {};

// Owns one strong reference; releases it when it goes out of scope.
//
// Reference counts change only through the interpreter's own Py_IncRef and
// Py_DecRef. The inline macros of the 3.9 limited API bump the count field
// directly, which a debug interpreter's total reference count does not see:
// every reference the interpreter hands out and the module drops inline would
// show there as a leak, and hide a real one.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  static Ref borrow(PyObject* o) {
    Py_IncRef(o);
    return Ref(o);
  }
  // Takes a new reference from an API call that returns NULL on failure.
  static Ref check(PyObject* owned) {
    if (owned == nullptr) throw ErrorSet{};
    return Ref(owned);
  }
  ~Ref() { Py_DecRef(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_DecRef(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* o = p_;
    p_ = nullptr;
    return o;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace tarvex::py
