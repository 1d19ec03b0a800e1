// The CPython 3.13 extension-module entry of the shared library: single-phase init, one
// function `abi_info_py`. The library must also load in C hosts that have no Python in
// the process, so every CPython symbol used here is referenced weakly: in such a host the
// references resolve to null and this code is never reached.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#pragma weak PyModule_Create2
#pragma weak PyModule_AddObjectRef
#pragma weak PyUnicode_FromStringAndSize
#pragma weak PyList_New
#pragma weak PyList_SetItem
#pragma weak PyErr_SetString
#pragma weak PyInterpreterState_Get
#pragma weak PyInterpreterState_GetID
#pragma weak PyExc_ImportError
#pragma weak _Py_Dealloc

namespace {

// A fixed answer that hosts compare byte for byte to recognise the interface: contract, so
// it stays exactly this text whatever the code behind it becomes.
constexpr char kAbiInfo[] = "velmarinthos_tavkin c-api+pyo3";

PyObject* abi_info_py(PyObject*, PyObject*) noexcept {
  return PyUnicode_FromStringAndSize(kAbiInfo, sizeof kAbiInfo - 1);
}

PyMethodDef kMethods[] = {
    {"abi_info_py", abi_info_py, METH_NOARGS, "abi_info_py()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: CPython then calls the entry again in every interpreter instead
// of copying a cached module dict, so the interpreter check below is always reached.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "velmarinthos_tavkin", nullptr, 0, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that imported the module first; -1 before any import. Import runs with
// the GIL of the main interpreter held, so a plain static is enough.
int64_t g_owner_interpreter = -1;

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmarinthos_tavkin() noexcept {
  const int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_owner_interpreter == -1) {
    g_owner_interpreter = interp;
  } else if (g_owner_interpreter != interp) {
    PyErr_SetString(PyExc_ImportError,
                    "velmarinthos_tavkin does not support loading in subinterpreters");
    return nullptr;
  }

  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  PyObject* all = PyList_New(1);
  PyObject* name = all != nullptr ? PyUnicode_FromStringAndSize("abi_info_py", 11) : nullptr;
  if (name == nullptr || PyList_SetItem(all, 0, name) < 0 ||
      PyModule_AddObjectRef(module, "__all__", all) < 0) {
    Py_XDECREF(all);
    Py_DECREF(module);
    return nullptr;
  }
  Py_DECREF(all);
  return module;
}
