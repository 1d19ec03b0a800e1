// Interned Python strings the extension looks up or writes again and again (dict keys of
// facts and of answers), made once when the module is imported and kept for the process.
#pragma once

#include <cstddef>
#include <string_view>

#include "python_api.h"

namespace vm::py {

struct Names {
  // Keys of a fact dict and of its readings.
  PyObject *id, *s, *timestamp, *readings, *geohash, *url, *msg, *aid, *v, *u;
  // Keys of a received fact dict and of its header summary.
  PyObject *packet_meta, *base_cmd, *cmd, *crc16_ok, *secure, *source_aid, *tid, *timestamp_raw, *t_raw, *error;
};

// Valid once init_names() has succeeded.
extern Names names;

// False with a Python exception set when a string could not be made.
[[nodiscard]] bool init_names();

// The interned key "s<n>_<suffix>" of reading n (from 1) for suffix 0..3 = id, s, u, v; a
// borrowed reference, or null with an exception set.
[[nodiscard]] PyObject* reading_key(std::size_t n, int suffix);

}  // namespace vm::py
