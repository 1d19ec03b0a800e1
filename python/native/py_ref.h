// An owned reference to a Python object, released when it goes out of scope. With the GIL
// held only.
#pragma once

#include "python_api.h"

namespace vm::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over `owned` (a new reference, or null).
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = p_;
    p_ = owned;
    Py_XDECREF(old);
  }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace vm::py
