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
#include "velmarinthos_tavkin.h"

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

// A size argument: a non-negative int that fits size_t. False with an exception set.
bool read_size(PyObject* object, const char* what, std::size_t& out) {
  out = PyLong_AsSize_t(object);
  if (out == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be an int from 0 up, not %R", what, object);
    return false;
  }
  return true;
}

// The header's bounds, so that the package sizes buffers by the very same rules.
PyObject* packet_bound(PyObject*, PyObject* text_size) {
  std::size_t n;
  if (!read_size(text_size, "text_size", n)) return nullptr;
  return PyLong_FromSize_t(VM_PACKET_BOUND(n));
}

PyObject* compact_text_bound(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "compact_text_bound() takes a record size and the longest code's length");
    return nullptr;
  }
  std::size_t record_size, longest_code;
  if (!read_size(args[0], "record_size", record_size) || !read_size(args[1], "longest_code", longest_code))
    return nullptr;
  return PyLong_FromSize_t(VM_COMPACT_TEXT_BOUND(record_size, longest_code));
}

PyMethodDef kFunctions[] = {
    {"packet_bound", packet_bound, METH_O,
     "packet_bound(text_size)\n--\n\nVM_PACKET_BOUND: a buffer size that holds every answer of a run request\n"
     "for a compact text of ``text_size`` bytes."},
    {"compact_text_bound", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compact_text_bound)),
     METH_FASTCALL,
     "compact_text_bound(record_size, longest_code)\n--\n\nVM_COMPACT_TEXT_BOUND: a buffer size that holds the\n"
     "compact text of a fact record of ``record_size`` bytes."},
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
