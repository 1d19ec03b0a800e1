#include "fact_dict.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

#include "errors.h"
#include "names.h"
#include "py_ref.h"
#include "requests/compact_fact_json.h"
#include "requests/decompress_answer.h"
#include "scratch.h"

namespace vm::py {
namespace {

// Steals `value`; false (with an exception set) when it is null or cannot be stored.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* decode(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

// The short texts of a fleet's facts (sensor ids, state and unit codes) repeat packet after
// packet, so the str objects made last are kept in a small table indexed by a hash of the
// bytes and handed out again (str objects are immutable). Used with the GIL held.
class TextCache {
 public:
  static constexpr std::size_t kLongest = 15;

  PyObject* get(std::string_view s) {
    if (s.size() > kLongest) return decode(s);
    Entry& e = entries_[slot_of(s)];
    if (e.object != nullptr && e.size == s.size() && std::memcmp(e.bytes, s.data(), s.size()) == 0)
      return Py_NewRef(e.object);
    PyObject* object = decode(s);
    if (object == nullptr) return nullptr;
    Py_XSETREF(e.object, Py_NewRef(object));
    std::memcpy(e.bytes, s.data(), s.size());
    e.size = static_cast<std::uint8_t>(s.size());
    return object;
  }

 private:
  struct Entry {
    PyObject* object = nullptr;
    std::uint8_t size = 0;
    char bytes[kLongest];
  };
  static std::size_t slot_of(std::string_view s) noexcept {
    std::uint32_t h = 2166136261u;  // FNV-1a
    for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h % kSlots;
  }
  static constexpr std::size_t kSlots = 256;
  Entry entries_[kSlots];
};

TextCache g_texts;

// The texts are valid UTF-8 (checked before the fact was read).
PyObject* text(std::string_view s) { return g_texts.get(s); }

bool put_text(PyObject* dict, PyObject* key, const std::optional<std::string_view>& value) {
  return !value || put(dict, key, text(*value));
}

bool put_reading(PyObject* dict, std::size_t n, const CompactFactReading& r, int precision) {
  PyObject* keys[4];
  for (int k = 0; k < 4; ++k)
    if ((keys[k] = reading_key(n, k)) == nullptr) return false;
  return put(dict, keys[0], text(r.id)) && put(dict, keys[1], text(r.state)) && put(dict, keys[2], text(r.unit)) &&
         put(dict, keys[3], PyFloat_FromDouble(reading_value_at(r, precision)));
}


struct Members {
  CompactFactMembers fact;
};

}  // namespace

PyObject* fact_dict(std::string_view fact_text, const HeaderInfo& header, int precision) {
  Scratch<Members> scratch;
  CompactFactMembers& m = scratch->fact;
  // The decompress export answers {"error":"invalid_json"} for a fact with more readings
  // than can be answered within memory; so does the dict road.
  if (!read_compact_fact(fact_text, m)) return raise(request_error("receive", "invalid_json"));
  return fact_members_dict(m, header, precision);
}

PyObject* fact_members_dict(const CompactFactMembers& m, const HeaderInfo& header, int precision) {
  Scratch<std::vector<std::uint32_t>> order;
  Ref dict(_PyDict_NewPresized(static_cast<Py_ssize_t>(8 + 4 * m.readings.size())));
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  if (!put(d, names.packet_meta, packet_meta(header)) || !put_text(d, names.geohash, m.geohash) ||
      !put_text(d, names.id, m.id) || !put_text(d, names.msg, m.msg) || !put_text(d, names.s, m.s))
    return nullptr;
  const std::size_t n = m.readings.size();
  if (n < 10) {
    for (std::size_t i = 0; i < n; ++i)
      if (!put_reading(d, i + 1, m.readings[i], precision)) return nullptr;
  } else {
    order_readings_by_key(n, *order);
    for (std::uint32_t number : *order)
      if (!put_reading(d, number, m.readings[number - 1], precision)) return nullptr;
  }
  if (m.t_raw && !put(d, names.t_raw, PyLong_FromUnsignedLongLong(*m.t_raw))) return nullptr;
  if (!put_text(d, names.url, m.url)) return nullptr;
  return dict.release();
}

}  // namespace vm::py
