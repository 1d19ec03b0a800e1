#include "names.h"

#include <string>
#include <vector>

namespace vm::py {

Names names;

namespace {

bool intern(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

// Four keys per reading number, made the first time a fact has that many readings.
std::vector<PyObject*> g_reading_keys;

}  // namespace

bool init_names() {
  Names& n = names;
  return intern(n.id, "id") && intern(n.s, "s") && intern(n.timestamp, "timestamp") &&
         intern(n.readings, "readings") && intern(n.geohash, "geohash") && intern(n.url, "url") &&
         intern(n.msg, "msg") && intern(n.aid, "aid") && intern(n.v, "v") && intern(n.u, "u") &&
         intern(n.packet_meta, "__packet_meta__") && intern(n.base_cmd, "base_cmd") && intern(n.cmd, "cmd") &&
         intern(n.crc16_ok, "crc16_ok") && intern(n.secure, "secure") && intern(n.source_aid, "source_aid") &&
         intern(n.tid, "tid") && intern(n.timestamp_raw, "timestamp_raw") && intern(n.t_raw, "t_raw") &&
         intern(n.error, "error");
}

PyObject* reading_key(std::size_t n, int suffix) {
  static constexpr const char* kSuffixes[4] = {"id", "s", "u", "v"};
  while (g_reading_keys.size() < 4 * n) {
    const std::size_t number = g_reading_keys.size() / 4 + 1;
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for operator+ from a literal.
    std::string key = "s";
    key += std::to_string(number);
    key += '_';
    key += kSuffixes[g_reading_keys.size() % 4];
    PyObject* text = PyUnicode_InternFromString(key.c_str());
    if (text == nullptr) return nullptr;
    g_reading_keys.push_back(text);
  }
  return g_reading_keys[4 * (n - 1) + static_cast<std::size_t>(suffix)];
}

}  // namespace vm::py
