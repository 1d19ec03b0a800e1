// tavkin.Receiver: wire packets to fact dicts on one context.
#pragma once

#include "python_api.h"

namespace vm::py {

extern PyTypeObject receiver_type;

// Fills the type's slots; false with an exception set.
[[nodiscard]] bool init_receiver_type();

}  // namespace vm::py
