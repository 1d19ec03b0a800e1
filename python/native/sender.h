// tavkin.Sender: fact dicts to wire packets on one context, with one compressor.
#pragma once

#include "python_api.h"

namespace vm::py {

extern PyTypeObject sender_type;

// Fills the type's slots; false with an exception set.
[[nodiscard]] bool init_sender_type();

}  // namespace vm::py
