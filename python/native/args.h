// Argument reading shared by the extension's methods. With the GIL held; each returns
// false with a Python exception set on a fault.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python_api.h"

namespace vm::py {

// Fast-call arguments matched to parameter names: positional ones first, then keywords.
// `found` gets one borrowed reference (or null) per name.
[[nodiscard]] bool match_arguments(const char* call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                   std::initializer_list<const char*> parameters, std::size_t required,
                                   PyObject** found);

// A device id: an int from 0 to 4294967295 (not a bool). `item` >= 0 names a list item.
[[nodiscard]] bool read_aid(PyObject* value, Py_ssize_t item, std::uint32_t& aid);

// A context number: an int from 0 to 2**64 - 1 (not a bool).
[[nodiscard]] bool read_ctx_id(PyObject* value, std::uint64_t& ctx_id);

// A registry directory: None, or a str or path-like object (kept as UTF-8); an empty one is
// no directory.
[[nodiscard]] bool read_registry_root(PyObject* value, std::optional<std::string>& root);

}  // namespace vm::py
