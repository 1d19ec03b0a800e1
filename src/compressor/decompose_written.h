// Decomposition of a compact text that compression has just written, from the layout the
// writer recorded: no search for separators. The result is always the one decompose()
// gives for the text; where the fact's own texts hold a byte that decompose() would take
// for a separator, it is decompose() that answers.
#pragma once

#include <string_view>

#include "compressor/decompose.h"
#include "compressor/fact_layout.h"

namespace vm {

// `text` is the string that compression wrote into with `layout` (routing prefix
// included). False only where decompose(text, out) is false.
[[nodiscard]] bool decompose_written(std::string_view text, const FactLayout& layout, DecomposedFact& out);

}  // namespace vm
