#include "errors.h"

#include "names.h"
#include "py_ref.h"

namespace vm::py {

ErrorClasses errors;

namespace {

bool take(PyObject* module, const char* name, PyObject*& slot) {
  slot = PyObject_GetAttrString(module, name);
  return slot != nullptr;
}

PyObject* answer_with_error(std::string_view error) {
  Ref answer(PyDict_New());
  Ref text(PyUnicode_FromStringAndSize(error.data(), static_cast<Py_ssize_t>(error.size())));
  if (!answer || !text || PyDict_SetItem(answer.get(), names.error, text.get()) < 0) return nullptr;
  return answer.release();
}

bool set_uint(PyObject* dict, PyObject* key, unsigned long long value) {
  Ref number(PyLong_FromUnsignedLongLong(value));
  return number && PyDict_SetItem(dict, key, number.get()) == 0;
}

}  // namespace

bool init_errors() {
  Ref module(PyImport_ImportModule("tavkin.errors"));
  if (!module) return false;
  return take(module.get(), "TavkinError", errors.tavkin_error) &&
         take(module.get(), "RequestError", errors.request_error) &&
         take(module.get(), "UnknownTemplate", errors.unknown_template) &&
         take(module.get(), "StateMismatch", errors.state_mismatch) &&
         take(module.get(), "ChecksumError", errors.checksum_error) &&
         take(module.get(), "MalformedPacket", errors.malformed_packet);
}

PyObject* packet_meta(const HeaderInfo& h) {
  Ref meta(PyDict_New());
  if (!meta || !set_uint(meta.get(), names.base_cmd, h.base_cmd) || !set_uint(meta.get(), names.cmd, h.cmd) ||
      PyDict_SetItem(meta.get(), names.crc16_ok, h.crc16_ok ? Py_True : Py_False) < 0 ||
      PyDict_SetItem(meta.get(), names.secure, h.secure ? Py_True : Py_False) < 0 ||
      !set_uint(meta.get(), names.source_aid, h.source_aid) || !set_uint(meta.get(), names.tid, h.tid) ||
      !set_uint(meta.get(), names.timestamp_raw, h.timestamp_raw))
    return nullptr;
  return meta.release();
}

PyObject* request_error(const char* call, std::string_view error) {
  Ref answer(answer_with_error(error));
  if (!answer) return nullptr;
  return PyObject_CallFunction(errors.request_error, "sO", call, answer.get());
}

PyObject* refusal_error(const char* call, PacketRefusal why, const HeaderInfo* header) {
  const char* text = "";
  switch (why) {
    case PacketRefusal::too_short: text = "Packet too short"; break;
    case PacketRefusal::incomplete_header: text = "Incomplete Binary Header"; break;
    case PacketRefusal::unknown_command: text = "unknown_command"; break;
    case PacketRefusal::unknown_template:
    case PacketRefusal::not_applicable: text = "fusion_receive_apply_failed"; break;
    case PacketRefusal::state_mismatch: text = "state_mismatch"; break;
    case PacketRefusal::already_applied: text = "already_applied"; break;  // receivers never ask to apply once
  }
  if (why == PacketRefusal::state_mismatch) {
    // Members in the order of the JSON answer: the header summary first.
    Ref answer(PyDict_New());
    Ref meta(packet_meta(*header));
    Ref error(PyUnicode_FromString(text));
    if (!answer || !meta || !error || PyDict_SetItem(answer.get(), names.packet_meta, meta.get()) < 0 ||
        PyDict_SetItem(answer.get(), names.error, error.get()) < 0)
      return nullptr;
    return PyObject_CallFunction(errors.state_mismatch, "sOkk", call, answer.get(),
                                 static_cast<unsigned long>(header->source_aid),
                                 static_cast<unsigned long>(header->tid));
  }
  Ref answer(answer_with_error(text));
  if (!answer) return nullptr;
  if (why == PacketRefusal::unknown_template)
    return PyObject_CallFunction(errors.unknown_template, "sOkk", call, answer.get(),
                                 static_cast<unsigned long>(header->source_aid),
                                 static_cast<unsigned long>(header->tid));
  return PyObject_CallFunction(errors.malformed_packet, "sO", call, answer.get());
}

PyObject* checksum_error(const char* call, const HeaderInfo& header) {
  // Members in the order of the JSON answer: the header summary first.
  Ref answer(PyDict_New());
  Ref meta(packet_meta(header));
  Ref text(PyUnicode_FromString("CRC16 mismatch"));
  if (!answer || !meta || !text || PyDict_SetItem(answer.get(), names.packet_meta, meta.get()) < 0 ||
      PyDict_SetItem(answer.get(), names.error, text.get()) < 0)
    return nullptr;
  return PyObject_CallFunction(errors.checksum_error, "sO", call, answer.get());
}

PyObject* raise(PyObject* instance) {
  if (instance == nullptr) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance)), instance);
  Py_DECREF(instance);
  return nullptr;
}

}  // namespace vm::py
