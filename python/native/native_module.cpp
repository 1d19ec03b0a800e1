// The entry of the package's compiled module, tavkin._native. It lives in the same shared
// library as the C exports, and the package loads it from that very file (under a second
// module name), so the module and the exports share one copy of the process-wide tables:
// contexts, compressors, fusion states.
#include "errors.h"
#include "names.h"
#include "python_api.h"
#include "receiver.h"
#include "sender.h"

namespace {

// m_size 0 rather than -1: CPython then calls the entry again in every interpreter instead
// of copying a cached module dict, so the interpreter check below is always reached.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tavkin._native", "The native sending and receiving road of the tavkin package.",
    0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that imported the module first; the types are static, so one
// interpreter per process. Import runs with the GIL held, so a plain static is enough.
int64_t g_owner_interpreter = -1;

bool add_type(PyObject* module, const char* name, PyTypeObject& type) {
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(&type)) == 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() noexcept {
  const int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_owner_interpreter == -1) {
    g_owner_interpreter = interp;
  } else if (g_owner_interpreter != interp) {
    PyErr_SetString(PyExc_ImportError, "tavkin._native does not support loading in subinterpreters");
    return nullptr;
  }
  if (!vm::py::init_names() || !vm::py::init_errors() || !vm::py::init_sender_type() ||
      !vm::py::init_receiver_type())
    return nullptr;
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  if (!add_type(module, "Sender", vm::py::sender_type) || !add_type(module, "Receiver", vm::py::receiver_type)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
