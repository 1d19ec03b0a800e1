// The entry of the package's compiled module, tavkin._native. It lives in the same shared
// library as the C exports, and the package loads it from that very file (under a second
// module name), so the module and the exports share one copy of the process-wide tables:
// contexts, compressors, fusion states.
#include <string>

#include "compressor/compressor_table.h"
#include "compressor/fact_text_writer.h"
#include "dict_fact_reader.h"
#include "errors.h"
#include "names.h"
#include "scratch.h"
#include "python_api.h"
#include "receiver.h"
#include "sender.h"

namespace {

// compress_fact(handle, fact): the compact text of a fact dict, for tavkin.Compressor.
PyObject* compress_fact(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "compress_fact() takes a compressor handle and a fact");
    return nullptr;
  }
  const unsigned long long handle = PyLong_AsUnsignedLongLong(args[0]);
  if (handle == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  const auto compressor = vm::acquire_compressor(vm::CompressorHandle{handle});
  if (!compressor) {
    PyErr_SetString(vm::py::errors.tavkin_error, "the compressor is closed");
    return nullptr;
  }
  vm::py::Scratch<std::string> text;
  text->clear();
  vm::py::DictFactReader reader(args[1], -1);
  if (!vm::compress_fact_from(*compressor, reader, *text)) return nullptr;
  return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), nullptr);
}

PyMethodDef kFunctions[] = {
    {"compress_fact", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compress_fact)), METH_FASTCALL,
     "compress_fact(handle, fact)\n--\n\nThe compact text of a fact dict with the compressor of ``handle``."},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: CPython then calls the entry again in every interpreter instead
// of copying a cached module dict, so the interpreter check below is always reached.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tavkin._native", "The native sending and receiving road of the tavkin package.",
    0, kFunctions, nullptr, nullptr, nullptr, nullptr,
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
