// The CPython C API as the package's extension code uses it. The shared library also loads
// in C hosts with no Python in the process, so every CPython symbol that this code
// references is declared weak (weak_symbols.h, checked by the exported-symbols test): in
// such a host the references resolve to null and this code is never reached.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "weak_symbols.h"
