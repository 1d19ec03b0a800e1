#include "args.h"

#include <cstring>

#include "py_ref.h"

namespace vm::py {

bool match_arguments(const char* call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::initializer_list<const char*> parameters, std::size_t required, PyObject** found) {
  const auto count = static_cast<Py_ssize_t>(parameters.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)", call, count, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) found[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t index = 0;
    for (const char* parameter : parameters) {
      if (PyUnicode_CompareWithASCIIString(name, parameter) == 0) break;
      ++index;
    }
    if (index == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", call, name);
      return false;
    }
    if (found[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", call, name);
      return false;
    }
    found[index] = args[nargs + k];
  }
  std::size_t i = 0;
  for (const char* parameter : parameters) {
    if (i < required && found[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", call, parameter);
      return false;
    }
    ++i;
  }
  return true;
}

bool read_aid(PyObject* value, Py_ssize_t item, std::uint32_t& aid) {
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0 && v >= 0 && v <= 0xFFFFFFFFLL) {
      aid = static_cast<std::uint32_t>(v);
      return true;
    }
    if (v == -1 && PyErr_Occurred()) return false;
  }
  if (item >= 0)
    PyErr_Format(PyExc_ValueError, "item %zd: aid must be an int from 0 to 4294967295, not %R", item, value);
  else
    PyErr_Format(PyExc_ValueError, "aid must be an int from 0 to 4294967295, not %R", value);
  return false;
}

bool read_ctx_id(PyObject* value, std::uint64_t& ctx_id) {
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      ctx_id = v;
      return true;
    }
    PyErr_Clear();
  }
  PyErr_Format(PyExc_ValueError, "ctx_id must be an int from 0 to 2**64 - 1, not %R", value);
  return false;
}

bool read_registry_root(PyObject* value, std::optional<std::string>& root) {
  root.reset();
  if (value == nullptr || value == Py_None) return true;
  Ref path(PyOS_FSPath(value));
  if (!path) return false;
  if (!PyUnicode_Check(path.get())) {
    PyErr_Format(PyExc_TypeError, "registry_root must be a str or path-like object, not %s",
                 Py_TYPE(path.get())->tp_name);
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path.get(), &size);
  if (utf8 == nullptr) return false;
  if (size > 0) root.emplace(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace vm::py
