// The package's exception classes (tavkin.errors), looked up once when the module is
// imported, and the instances the extension makes of them.
#pragma once

#include <string_view>

#include "python_api.h"
#include "requests/decompress_packet.h"
#include "wire/packet_header.h"

namespace vm::py {

struct ErrorClasses {
  PyObject *tavkin_error, *request_error, *unknown_template, *checksum_error, *malformed_packet, *state_mismatch,
      *not_applicable, *save_error;
};
extern ErrorClasses errors;

// False with a Python exception set when tavkin.errors cannot be imported.
[[nodiscard]] bool init_errors();

// New exception instances, or null with an exception set. `call` names the method.
[[nodiscard]] PyObject* refusal_error(const char* call, PacketRefusal why, const HeaderInfo* header);
[[nodiscard]] PyObject* checksum_error(const char* call, const HeaderInfo& header);
// RequestError(call, {"error": error}).
[[nodiscard]] PyObject* request_error(const char* call, std::string_view error);

// Sets `instance` (a new reference, or null) as the raised exception; returns null.
PyObject* raise(PyObject* instance);

// The header summary {"base_cmd":..,"cmd":..,...} as a new dict, or null.
[[nodiscard]] PyObject* packet_meta(const HeaderInfo& header);

}  // namespace vm::py
