#include "dict_fact_reader.h"

#include <cstdio>

#include "names.h"

namespace vm::py {
namespace {

// The fact's own keys and the one key a list item may carry besides them.
constexpr int kFactKeys = 8;

}  // namespace

DictFactReader::~DictFactReader() {
  for (std::size_t i = 0; i < held_count_; ++i) Py_DECREF(held_[i]);
  for (PyObject* o : more_held_) Py_DECREF(o);
}

void DictFactReader::fail(PyObject* type, const char* field, Py_ssize_t reading,
                          const std::string& message) const {
  char where[96];
  if (reading >= 0)
    std::snprintf(where, sizeof where, "fact['readings'][%zd]%s", reading, field);
  else
    std::snprintf(where, sizeof where, "fact%s", field);
  if (item_ >= 0)
    PyErr_Format(type, "item %zd: %s %s", item_, where, message.c_str());
  else
    PyErr_Format(type, "%s %s", where, message.c_str());
}

PyObject* DictFactReader::lookup(PyObject* dict, PyObject* key, bool& failed) {
  PyObject* value = nullptr;
  const int found = PyDict_GetItemRef(dict, key, &value);
  if (found < 0) {
    failed = true;
    return nullptr;
  }
  if (found == 0) return nullptr;
  hold(value);
  return value;
}

bool DictFactReader::text(PyObject* value, std::string_view& out, const char* field, Py_ssize_t reading) {
  if (!PyUnicode_Check(value)) {
    fail(PyExc_TypeError, field, reading, std::string("must be a str, not ") + Py_TYPE(value)->tp_name);
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    fail(PyExc_ValueError, field, reading, "is not valid UTF-8 text (it holds a lone surrogate)");
    return false;
  }
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool DictFactReader::number(PyObject* value, double& out, const char* field, Py_ssize_t reading) {
  if (PyFloat_Check(value)) {
    out = PyFloat_AS_DOUBLE(value);
    return true;
  }
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    out = PyLong_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      fail(PyExc_OverflowError, field, reading, "is too large for a float");
      return false;
    }
    return true;
  }
  fail(PyExc_TypeError, field, reading, std::string("must be a number, not ") + Py_TYPE(value)->tp_name);
  return false;
}

std::optional<FactHeader> DictFactReader::header() {
  if (!PyDict_Check(fact_)) {
    if (item_ >= 0)
      PyErr_Format(PyExc_TypeError, "item %zd: a fact must be a dict, not %s", item_, Py_TYPE(fact_)->tp_name);
    else
      PyErr_Format(PyExc_TypeError, "a fact must be a dict, not %s", Py_TYPE(fact_)->tp_name);
    return std::nullopt;
  }
  bool failed = false;
  PyObject* const keys[4] = {names.id, names.s, names.timestamp, names.readings};
  PyObject* values[4];
  for (int i = 0; i < 4; ++i) {
    values[i] = lookup(fact_, keys[i], failed);
    if (failed) return std::nullopt;
    if (values[i] == nullptr) {
      fail(PyExc_ValueError, "", -1, std::string("needs '") + PyUnicode_AsUTF8(keys[i]) + "'");
      return std::nullopt;
    }
  }
  FactHeader h;
  if (!text(values[0], h.id, "['id']", -1) || !text(values[1], h.state, "['s']", -1) ||
      !number(values[2], h.timestamp, "['timestamp']", -1))
    return std::nullopt;
  readings_ = values[3];
  if (!PyList_Check(readings_) && !PyTuple_Check(readings_)) {
    fail(PyExc_TypeError, "['readings']", -1, std::string("must be a list of dicts, not ") + Py_TYPE(readings_)->tp_name);
    return std::nullopt;
  }
  count_ = PySequence_Fast_GET_SIZE(readings_);
  if (count_ > 0xFFFFFFFF) {
    fail(PyExc_ValueError, "['readings']", -1, "holds more than 4294967295 readings");
    return std::nullopt;
  }
  h.reading_count = static_cast<std::uint32_t>(count_);
  return h;
}

std::optional<SensorReadingView> DictFactReader::next_reading() {
  const Py_ssize_t i = next_++;
  // A list may have shrunk while its items were looked up (a key's __eq__ can run code).
  if (i >= PySequence_Fast_GET_SIZE(readings_)) {
    fail(PyExc_RuntimeError, "", i, "vanished while the fact was read");
    return std::nullopt;
  }
  PyObject* reading = PySequence_Fast_GET_ITEM(readings_, i);
  hold(Py_NewRef(reading));
  if (!PyDict_Check(reading)) {
    fail(PyExc_TypeError, "", i, std::string("must be a dict, not ") + Py_TYPE(reading)->tp_name);
    return std::nullopt;
  }
  bool failed = false;
  PyObject* const keys[4] = {names.id, names.s, names.v, names.u};
  PyObject* values[4];
  for (int k = 0; k < 4; ++k) {
    values[k] = lookup(reading, keys[k], failed);
    if (failed) return std::nullopt;
  }
  if (values[0] == nullptr || values[1] == nullptr || values[2] == nullptr || values[3] == nullptr ||
      PyDict_GET_SIZE(reading) != 4) {
    fail(PyExc_ValueError, "", i, "needs exactly the keys id, s, v, u");
    return std::nullopt;
  }
  SensorReadingView r;
  if (!text(values[0], r.id, "['id']", i) || !text(values[1], r.state, "['s']", i) ||
      !number(values[2], r.value, "['v']", i) || !text(values[3], r.unit, "['u']", i))
    return std::nullopt;
  return r;
}

std::optional<FactTrailers> DictFactReader::trailers() {
  bool failed = false;
  int known = 4;
  PyObject* const keys[3] = {names.geohash, names.url, names.msg};
  const char* const fields[3] = {"['geohash']", "['url']", "['msg']"};
  FactTrailers t;
  std::optional<std::string_view>* const out[3] = {&t.geohash, &t.url, &t.msg};
  for (int k = 0; k < 3; ++k) {
    PyObject* value = lookup(fact_, keys[k], failed);
    if (failed) return std::nullopt;
    if (value == nullptr) continue;
    ++known;
    if (value == Py_None) continue;
    std::string_view view;
    if (!text(value, view, fields[k], -1)) return std::nullopt;
    *out[k] = view;
  }
  if (PyDict_GET_SIZE(fact_) > known) {
    const int has_aid = PyDict_Contains(fact_, names.aid);
    if (has_aid < 0) return std::nullopt;
    if (PyDict_GET_SIZE(fact_) > known + has_aid) {
      // Name the keys that are not a fact's, as the record builder does.
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      std::string unknown;
      PyObject* const all[kFactKeys] = {names.id, names.s, names.timestamp, names.readings,
                                        names.geohash, names.url, names.msg, names.aid};
      while (PyDict_Next(fact_, &pos, &key, &value)) {
        bool is_known = false;
        for (PyObject* k : all) is_known = is_known || key == k || (PyUnicode_Check(key) && PyUnicode_Compare(key, k) == 0);
        if (is_known) continue;
        PyObject* text = PyObject_Str(key);
        if (text == nullptr) return std::nullopt;
        if (!unknown.empty()) unknown += ", ";
        const char* utf8 = PyUnicode_AsUTF8(text);
        unknown += utf8 != nullptr ? utf8 : "?";
        PyErr_Clear();
        Py_DECREF(text);
      }
      if (item_ >= 0)
        PyErr_Format(PyExc_ValueError, "item %zd: unknown fact keys: %s", item_, unknown.c_str());
      else
        PyErr_Format(PyExc_ValueError, "unknown fact keys: %s", unknown.c_str());
      return std::nullopt;
    }
  }
  return t;
}

void FactBatch::clear() noexcept {
  text_.clear();
  readings_.clear();
  facts_.clear();
}

FactBatch::Span FactBatch::keep(std::string_view text) {
  Span s{text_.size(), text.size(), true};
  text_.append(text);
  return s;
}

FactBatch::Span FactBatch::keep(const std::optional<std::string_view>& text) {
  if (!text) return Span{0, 0, false};
  return keep(*text);
}

bool FactBatch::add(PyObject* fact, Py_ssize_t item) {
  DictFactReader reader(fact, item);
  const auto h = reader.header();
  if (!h) return false;
  Fact f;
  f.id = keep(h->id);
  f.state = keep(h->state);
  f.timestamp = h->timestamp;
  f.first_reading = readings_.size();
  f.reading_count = h->reading_count;
  for (std::uint32_t i = 0; i < h->reading_count; ++i) {
    const auto r = reader.next_reading();
    if (!r) {
      readings_.resize(f.first_reading);
      return false;
    }
    readings_.push_back(Reading{keep(r->id), keep(r->state), keep(r->unit), r->value});
  }
  const auto t = reader.trailers();
  if (!t) {
    readings_.resize(f.first_reading);
    return false;
  }
  f.geohash = keep(t->geohash);
  f.url = keep(t->url);
  f.msg = keep(t->msg);
  facts_.push_back(f);
  return true;
}

std::optional<FactHeader> FactBatch::Reader::header() const noexcept {
  const Fact& f = batch_.facts_[index_];
  return FactHeader{batch_.view(f.id), batch_.view(f.state), f.timestamp,
                    static_cast<std::uint32_t>(f.reading_count)};
}

std::optional<SensorReadingView> FactBatch::Reader::next_reading() noexcept {
  const Fact& f = batch_.facts_[index_];
  const Reading& r = batch_.readings_[f.first_reading + next_++];
  return SensorReadingView{batch_.view(r.id), batch_.view(r.state), r.value, batch_.view(r.unit)};
}

std::optional<FactTrailers> FactBatch::Reader::trailers() const noexcept {
  const Fact& f = batch_.facts_[index_];
  return FactTrailers{batch_.optional_view(f.geohash), batch_.optional_view(f.url), batch_.optional_view(f.msg)};
}

std::size_t FactBatch::Reader::readings_room() const noexcept { return batch_.facts_[index_].reading_count; }

}  // namespace vm::py
