// Small helpers over simdjson's DOM for elements whose type was checked already. Named
// results avoid iterating over temporaries, which GCC 12 warns about inside simdjson.
#pragma once

#include <string_view>

#include <simdjson.h>

namespace tavkin {

inline simdjson::dom::object object_of(simdjson::dom::element e) {
  simdjson::dom::object o;
  if (e.get(o) != simdjson::SUCCESS) return {};
  return o;
}

inline simdjson::dom::array array_of(simdjson::dom::element e) {
  simdjson::dom::array a;
  if (e.get(a) != simdjson::SUCCESS) return {};
  return a;
}

inline std::string_view string_of(simdjson::dom::element e) {
  std::string_view s;
  if (e.get(s) != simdjson::SUCCESS) return {};
  return s;
}

}  // namespace tavkin
