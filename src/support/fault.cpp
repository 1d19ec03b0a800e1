#include "support/fault.h"

#include <cstdio>
#include <cstdlib>

namespace vm {

void fatal(const char* what, const char* file, int line) noexcept {
  std::fprintf(stderr, "velmarinthos_tavkin: internal fault: %s (%s:%d)\n", what, file, line);
  std::abort();
}

}  // namespace vm
