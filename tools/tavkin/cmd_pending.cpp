// Temporary: the request exports these subcommands use are not in the library yet.
#include <fmt/format.h>

#include "commands.h"

namespace tavkin {
int run_demo(const DemoOptions&) { fmt::print(stderr, "tavkin demo: not available in this build\n"); return 1; }
int run_encode(const EncodeOptions&) { fmt::print(stderr, "tavkin encode: not available in this build\n"); return 1; }
int run_decode(const DecodeOptions&) { fmt::print(stderr, "tavkin decode: not available in this build\n"); return 1; }
}  // namespace tavkin
